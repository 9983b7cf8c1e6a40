#include "Service/common/dns/dns_text.h"

#include <errno.h>
#include <string.h>

#include <cctype>
#include <stdexcept>

std::string trim(const std::string& s) {
  auto blank = [](char c) { return isspace(static_cast<unsigned char>(c)) != 0; };
  size_t begin = 0, end = s.size();
  while (begin < end && blank(s[begin])) begin++;
  while (end > begin && blank(s[end - 1])) end--;
  return s.substr(begin, end - begin);
}

std::string trim_trailing_dot(std::string s) {
  while (!s.empty() && s.back() == '.') s.pop_back();
  return s;
}

void throw_errno(const std::string& what) {
  int error = errno;
  throw std::runtime_error(what + ": " + strerror(error));
}
