# The public keys whose signatures the updater accepts, read at configure
# time and embedded as 65-byte points (0x04, X, Y) in trusted_keys.h.
#
# UPDATER_PUBLIC_KEY names one PEM public key file, or a list of up to four
# (separated by ';'), so that a vendor can ship updaters that trust the
# current and the next key before signing with the next one. Left out, the
# build carries no key and installs any intact archive. A value that is
# given but names no readable P-256 public key (an empty value from an
# unset shell variable, OFF, a *-NOTFOUND, a missing file) stops the
# configuration: a build meant to demand signatures must never quietly
# come out without a key.

set(trusted_key_limit 4)  # kMaxTrustedKeys in src/archive/trailer.h

# Base64 of the bytes written as hex in hex_text, into out_var.
function(hex_to_base64 hex_text out_var)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  string(LENGTH "${hex_text}" hex_length)
  set(encoded "")
  set(at 0)
  while(at LESS hex_length)
    string(SUBSTRING "${hex_text}" ${at} 6 group)
    string(LENGTH "${group}" group_length)
    set(padded "${group}000000")
    string(SUBSTRING "${padded}" 0 6 padded)
    math(EXPR value "0x${padded}")
    foreach(shift 18 12 6 0)
      math(EXPR index "(${value} >> ${shift}) & 63")
      string(SUBSTRING "${alphabet}" ${index} 1 letter)
      string(APPEND encoded "${letter}")
    endforeach()
    if(group_length EQUAL 2)
      string(REGEX REPLACE "..$" "==" encoded "${encoded}")
    elseif(group_length EQUAL 4)
      string(REGEX REPLACE ".$" "=" encoded "${encoded}")
    endif()
    math(EXPR at "${at} + 6")
  endwhile()
  set(${out_var} "${encoded}" PARENT_SCOPE)
endfunction()

# Reads the P-256 public key in the PEM file key_file: its point as C byte
# initialisers into point_var, its key id (the first 8 bytes of the SHA-256
# of the point, as the trailer stores it) as hex into id_var. A key in
# compressed or hybrid point form is converted to the uncompressed form.
# Stops the configuration for anything else.
function(read_trusted_key key_file number point_var id_var)
  set(work ${CMAKE_BINARY_DIR}/generated/key)
  execute_process(COMMAND ${OPENSSL_PROGRAM} pkey -pubin -in ${key_file} -outform DER
                          -ec_conv_form uncompressed -out ${work}/key${number}.der
                  RESULT_VARIABLE status ERROR_VARIABLE error)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "UPDATER_PUBLIC_KEY ${key_file}: not a PEM public key: ${error}")
  endif()
  file(READ ${work}/key${number}.der der_hex HEX)
  # A P-256 SubjectPublicKeyInfo is 91 bytes: 26 of algorithm and bit-string
  # header, then the point, which must be the uncompressed form (04).
  set(p256_prefix "3059301306072a8648ce3d020106082a8648ce3d030107034200")
  string(SUBSTRING "${der_hex}" 0 52 prefix)
  string(LENGTH "${der_hex}" length)
  if(NOT length EQUAL 182 OR NOT prefix STREQUAL p256_prefix)
    message(FATAL_ERROR "UPDATER_PUBLIC_KEY ${key_file}: not an ECDSA P-256 public key "
                        "(an EC key on another curve, or another kind of key)")
  endif()
  string(SUBSTRING "${der_hex}" 52 130 point_hex)
  if(NOT point_hex MATCHES "^04")
    message(FATAL_ERROR "UPDATER_PUBLIC_KEY ${key_file}: the point is not in uncompressed form")
  endif()
  hex_to_base64(${point_hex} point_base64)
  file(WRITE ${work}/key${number}.point.b64 "${point_base64}\n")
  execute_process(COMMAND ${OPENSSL_PROGRAM} base64 -d -in ${work}/key${number}.point.b64
                          -out ${work}/key${number}.point
                  RESULT_VARIABLE status ERROR_VARIABLE error)
  file(SIZE ${work}/key${number}.point point_size)
  if(NOT status EQUAL 0 OR NOT point_size EQUAL 65)
    message(FATAL_ERROR "UPDATER_PUBLIC_KEY ${key_file}: its key id cannot be made: ${error}")
  endif()
  file(SHA256 ${work}/key${number}.point point_digest)
  string(SUBSTRING "${point_digest}" 0 16 key_id)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " point "${point_hex}")
  set(${point_var} "${point}" PARENT_SCOPE)
  set(${id_var} "${key_id}" PARENT_SCOPE)
endfunction()

# Trees configured before the list was taken keep an empty FILEPATH entry
# that was only the default, not a value anyone gave.
get_property(given_type CACHE UPDATER_PUBLIC_KEY PROPERTY TYPE)
if(given_type STREQUAL "FILEPATH" AND "${UPDATER_PUBLIC_KEY}" STREQUAL "")
  unset(UPDATER_PUBLIC_KEY CACHE)
  unset(UPDATER_PUBLIC_KEY)
endif()

set(trusted_points "")
set(trusted_count 0)
if(DEFINED UPDATER_PUBLIC_KEY)
  set(UPDATER_PUBLIC_KEY "${UPDATER_PUBLIC_KEY}" CACHE STRING
      "PEM files of the ECDSA P-256 public keys an archive may be signed with, ';' between (up to 4)")
  set(key_files "${UPDATER_PUBLIC_KEY}")
  list(LENGTH key_files key_file_count)
  if(key_file_count EQUAL 0)
    message(FATAL_ERROR "UPDATER_PUBLIC_KEY is set but empty (an unset shell variable?). Name "
                        "the public key file(s), or leave it out (cmake -U UPDATER_PUBLIC_KEY) "
                        "for an updater without a key.")
  endif()
  if(key_file_count GREATER trusted_key_limit)
    message(FATAL_ERROR "UPDATER_PUBLIC_KEY names ${key_file_count} keys; at most "
                        "${trusted_key_limit}")
  endif()
  find_program(OPENSSL_PROGRAM openssl REQUIRED)
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/generated/key)
  set(seen_ids "")
  foreach(key_file IN LISTS key_files)
    if(NOT IS_ABSOLUTE "${key_file}")
      message(FATAL_ERROR "UPDATER_PUBLIC_KEY '${key_file}' names no key file (give the PEM file's full path)")
    endif()
    if(NOT EXISTS "${key_file}" OR IS_DIRECTORY "${key_file}")
      message(FATAL_ERROR "UPDATER_PUBLIC_KEY '${key_file}': no such file")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${key_file})
    read_trusted_key(${key_file} ${trusted_count} point key_id)
    if(key_id IN_LIST seen_ids)
      message(FATAL_ERROR "UPDATER_PUBLIC_KEY '${key_file}': the same key is named twice")
    endif()
    list(APPEND seen_ids ${key_id})
    string(APPEND trusted_points "    {${point}},\n")
    math(EXPR trusted_count "${trusted_count} + 1")
    message(STATUS "3pupdate: embedded public key ${trusted_count}: key id ${key_id} (${key_file})")
  endforeach()
  message(STATUS "3pupdate: installs only archives signed by one of ${trusted_count} key(s)")
else()
  message(STATUS "3pupdate: no public key embedded (UPDATER_PUBLIC_KEY not given): installs "
                 "any intact archive, signed or not")
endif()
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/generated/key/trusted_keys.h CONTENT
     "// Made by cmake/trusted_keys.cmake from UPDATER_PUBLIC_KEY.\n#pragma once\n\n#include <cstdint>\n\nconstexpr int kTrustedKeyCount = ${trusted_count};\nconstexpr int kTrustedKeyRoom = ${trusted_key_limit};\nconstexpr uint8_t kTrustedKeyPoints[kTrustedKeyRoom][65] = {\n${trusted_points}};\n")
