// Starting the programs the benchmark times. See programs.h.
#include "programs.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char** environ;

pid_t StartProgram(const std::vector<std::string>& args, const std::string& folder,
                   const std::vector<std::string>& settings, const std::string& output) {
  std::vector<std::string> keep(settings);
  for (char** e = environ; *e != nullptr; ++e) keep.push_back(*e);
  std::vector<char*> env, argv;
  for (std::string& e : keep) env.push_back(e.data());
  env.push_back(nullptr);
  std::vector<std::string> copy(args);
  for (std::string& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.empty() ? "/dev/null" : output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  pid_t pid = 0;
  int failed = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}

bool WaitForProgram(pid_t pid, double* cpu_seconds) {
  int status = 0;
  rusage usage = {};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
  *cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

long long FileSize(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}
