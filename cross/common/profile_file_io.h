#pragma once
// File helpers of the profile store.
#include <fstream>
#include <string>

// The file can be opened for reading.
template <class Path>
bool file_exists(const Path& path) {
  std::ifstream f(path);
  return f.good();
}

// Copies the bytes of one file into another (created or emptied): true when
// both opened and every byte was read and written.
template <class Path>
bool copy_file(const Path& from, const Path& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  if (!in || !out) return false;
  char buf[4096];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    if (!out.write(buf, in.gcount())) return false;
  }
  out.close();
  return in.eof() && !in.bad() && out.good();
}

// The path exists and is a directory.
bool dir_exists(const std::string& path);
// mkdir with mode 0755 succeeded, or the path already exists.
bool make_dir(const std::string& path);

// The profile file in a directory: dir + "/cfg.ini".
std::string CfgIniPath(const char* dir);

// The whole content of a file; false when it cannot be opened or read.
bool ReadFileText(const std::string& path, std::string* text);

// Replaces the file at path by text: writes a temporary file beside it,
// flushes it to disk and renames it over path, so that readers and a crash
// see the old or the new content, never a part. The new file keeps the mode
// and owner of the old one (a new file gets mode 0644). False when any step
// fails; the old file is then untouched and the temporary file removed.
bool WriteFileAtomically(const std::string& path, const std::string& text);
