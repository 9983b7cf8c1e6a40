#pragma once
// Temporary directories and whole files for tests.
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

// A private directory <parent>/<prefix>-XXXXXX (parent /tmp unless given),
// removed with its content.
class TestDir {
 public:
  explicit TestDir(const std::string& prefix = "zor-test", const std::string& parent = "/tmp") {
    std::string tmpl = parent + "/" + prefix + "-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
    dir = tmpl;
  }
  ~TestDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  const std::string& path() const { return dir; }
  std::string file(const std::string& name) const { return dir + "/" + name; }

 private:
  std::string dir;
};

// The file's bytes; empty when it cannot be read.
inline std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Creates or empties the file and writes text into it.
inline void writeWholeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}
