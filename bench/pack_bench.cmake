# The archive tool's packing benchmark (run by hand; --quick for the test
# command). Included from bench/CMakeLists.txt.
find_package(ZLIB REQUIRED)
add_executable(pack_bench ${CMAKE_CURRENT_LIST_DIR}/pack_bench.cpp ${CMAKE_CURRENT_LIST_DIR}/corpora.cpp)
target_link_libraries(pack_bench PRIVATE pack_encoder updater_archive ZLIB::ZLIB)
