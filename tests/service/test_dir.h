#pragma once
// A private temporary directory for one test, removed with its content.
#include <string>

class TestDir {
 public:
  TestDir();
  ~TestDir();
  const std::string& path() const { return dir; }
  std::string file(const std::string& name) const { return dir + "/" + name; }

 private:
  std::string dir;
};

std::string readWholeFile(const std::string& path);
void writeWholeFile(const std::string& path, const std::string& text);
