#include "cross/common/profile_file_io.h"

#include "cross/utils/file_replace.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

namespace {

// Gives the temporary file the old file's mode and owner.
bool takeOverAttributes(int fd, const std::string& path) {
  struct stat old {};
  if (stat(path.c_str(), &old) != 0) return fchmod(fd, 0644) == 0;
  if (fchown(fd, old.st_uid, old.st_gid) != 0 && geteuid() == 0) return false;
  return fchmod(fd, old.st_mode & 07777) == 0;
}

}  // namespace

bool dir_exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool make_dir(const std::string& path) {
  return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

std::string CfgIniPath(const char* dir) {
  return std::string(dir) + "/cfg.ini";
}

bool ReadFileText(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) return false;
  *text = content.str();
  return true;
}

bool WriteFileAtomically(const std::string& path, const std::string& text) {
  return ReplaceFileAtomically(path, text, takeOverAttributes);
}
