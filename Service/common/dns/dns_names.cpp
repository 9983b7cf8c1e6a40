#include "Service/common/dns/dns_names.h"

#include <strings.h>

#include <algorithm>

#include "cross/utils/log.h"

namespace {

constexpr size_t kMostLabel = 63;
constexpr size_t kMostName = 253;

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

bool isLetterOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool isLabel(const std::string& name, size_t begin, size_t end) {
  if (end <= begin || end - begin > kMostLabel) return false;
  if (!isLetterOrDigit(name[begin]) || !isLetterOrDigit(name[end - 1])) return false;
  return std::all_of(name.begin() + begin, name.begin() + end,
                     [](char c) { return isLetterOrDigit(c) || c == '-'; });
}

bool sameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

// The piece as the log shows it: bytes that are not printable as '?'.
std::string shown(std::string piece) {
  for (char& c : piece)
    if (c < 0x20 || c > 0x7E) c = '?';
  return piece;
}

void leaveOut(const std::string& piece, const std::string& why) {
  GetLog().WriteToLogFL(__FILE__, __LINE__, "SearchNamesOfText",
                        ("DNS suffix left out (" + why + "): " + shown(piece)).c_str());
}

}  // namespace

bool IsDnsName(const std::string& name) {
  if (name.empty() || name.size() > kMostName) return false;
  for (size_t begin = 0;;) {
    size_t dot = std::min(name.find('.', begin), name.size());
    if (!isLabel(name, begin, dot)) return false;
    if (dot == name.size()) return true;
    begin = dot + 1;
  }
}

std::list<std::string> SearchNamesOfText(const std::string& text) {
  std::list<std::string> names;
  for (size_t start = 0; start <= text.size();) {
    size_t end = std::min(text.find(';', start), text.size());
    size_t a = start, b = end;
    while (a < b && isBlank(text[a])) ++a;
    while (b > a && isBlank(text[b - 1])) --b;
    start = end + 1;
    if (a == b) continue;
    std::string piece = text.substr(a, b - a);
    if (!IsDnsName(piece))
      leaveOut(piece, "not a DNS name");
    else if (std::any_of(names.begin(), names.end(), [&](const std::string& n) { return sameName(n, piece); }))
      leaveOut(piece, "named before");
    else if (names.size() == kMostSearchNames)
      leaveOut(piece, "more than " + std::to_string(kMostSearchNames) + " names");
    else
      names.push_back(piece);
  }
  return names;
}
