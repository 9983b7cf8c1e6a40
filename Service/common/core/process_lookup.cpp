#include "Service/common/core/process_lookup.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace {

bool allDigits(const char* s) {
  if (*s == '\0') return false;
  for (; *s; s++) {
    if (*s < '0' || *s > '9') return false;
  }
  return true;
}

bool commIs(const std::string& pid, const std::string& name) {
  std::ifstream in("/proc/" + pid + "/comm");
  std::string line;
  return in && std::getline(in, line) && line == name;
}

// The last component of the program path at the start of the command line.
bool cmdlineProgramIs(const std::string& pid, const std::string& name) {
  std::ifstream in("/proc/" + pid + "/cmdline", std::ios::binary);
  if (!in) return false;
  std::string bytes(4096, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<size_t>(in.gcount()));
  std::string program = bytes.substr(0, bytes.find('\0'));
  if (program.empty()) return false;
  size_t slash = program.rfind('/');
  return (slash == std::string::npos ? program : program.substr(slash + 1)) == name;
}

std::string exeDirectory(const std::string& pid) {
  char target[4096];
  ssize_t n = readlink(("/proc/" + pid + "/exe").c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  std::string path(target, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? "" : path.substr(0, slash);
}

// The daemon's environment with the two dispatcher variables set, made
// before the fork so that the child only has to exec.
std::vector<std::string> scriptEnvironment(const std::string& action, const std::string& connectivityState) {
  std::vector<std::string> env;
  for (char** var = environ; *var != nullptr; var++) {
    std::string text = *var;
    if (text.rfind("NM_DISPATCHER_ACTION=", 0) != 0 && text.rfind("CONNECTIVITY_STATE=", 0) != 0) env.push_back(text);
  }
  env.push_back("NM_DISPATCHER_ACTION=" + action);
  env.push_back("CONNECTIVITY_STATE=" + connectivityState);
  return env;
}

}  // namespace

std::string getProcessPathByName(const std::string& name) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return "";
  std::string result;
  while (result.empty()) {
    dirent* entry = readdir(proc);
    if (entry == nullptr) break;
    if (entry->d_type != DT_DIR || !allDigits(entry->d_name)) continue;
    std::string pid = entry->d_name;
    if (commIs(pid, name) || cmdlineProgramIs(pid, name)) result = exeDirectory(pid);
  }
  closedir(proc);
  return result;
}

int RunDispatcherScripts(const std::string& action, const std::string& connectivityState, const std::string& dir) {
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  std::vector<std::string> scripts;
  while (dirent* entry = readdir(d)) {
    std::string file = entry->d_name;
    if (file == "." || file == "..") continue;
    std::string path = dir + file;
    if (!IsDirectory(path)) scripts.push_back(path);
  }
  closedir(d);
  std::sort(scripts.begin(), scripts.end());
  std::vector<std::string> env = scriptEnvironment(action, connectivityState);
  std::vector<char*> envp;
  for (std::string& var : env) envp.push_back(var.data());
  envp.push_back(nullptr);
  for (const std::string& path : scripts) {
    printf("Executing script: %s\n", path.c_str());
    fflush(stdout);
    pid_t child = fork();
    if (child < 0) {
      perror("fork");
      continue;
    }
    if (child == 0) {
      // Only async-signal-safe calls here: the daemon has threads.
      char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
      execve(path.c_str(), argv, envp.data());
      static const char kFailed[] = "execl: exec failed\n";
      ssize_t ignored = write(2, kFailed, sizeof kFailed - 1);
      (void)ignored;
      _exit(1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
      printf("Script %s failed with exit code %d\n", path.c_str(), WEXITSTATUS(status));
      return -2;
    }
  }
  return 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
