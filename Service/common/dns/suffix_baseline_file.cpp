#include "Service/common/dns/suffix_baseline_file.h"

#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>

#include <cctype>

#include "cross/utils/file_replace.h"
#include "cross/utils/log.h"

namespace suffix_baseline {

std::string SuffixJsonString(const std::string& text) {
  static const char hex[] = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string SuffixBaselineText(const PreviousSuffixMap& map) {
  std::string text = "{\"connections\":[";
  bool firstObject = true;
  for (const auto& [id, search] : map) {
    if (!firstObject) text += ',';
    firstObject = false;
    text += "{\"id\":" + SuffixJsonString(id) + ",\"search\":[";
    bool firstSuffix = true;
    for (const std::string& suffix : search) {
      if (!firstSuffix) text += ',';
      firstSuffix = false;
      text += SuffixJsonString(suffix);
    }
    text += "]}";
  }
  return text + "]}\n";
}

namespace {

// A cursor over the file text; every read skips the blanks before its token.
class Reader {
 public:
  explicit Reader(const std::string& text) : s(text) {}

  bool token(char c) {
    skipBlanks();
    if (pos >= s.size() || s[pos] != c) return false;
    pos++;
    return true;
  }
  // Looks at the next token without taking it.
  bool next(char c) {
    skipBlanks();
    return pos < s.size() && s[pos] == c;
  }
  bool string(std::string& out) {
    if (!token('"')) return false;
    out.clear();
    while (pos < s.size()) {
      char c = s[pos++];
      if (c == '"') return true;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos >= s.size()) return false;
      char e = s[pos++];
      if (e == '"' || e == '/' || e == '\\') {
        out += e;
      } else if (e == 'u') {
        int value = hexQuad();
        if (value < 0 || value > 127) return false;
        out += static_cast<char>(value);
      } else {
        return false;
      }
    }
    return false;
  }
  bool name(const char* expected) {
    std::string got;
    return string(got) && got == expected && token(':');
  }
  bool atEnd() {
    skipBlanks();
    return pos == s.size();
  }

 private:
  // The four hex digits of a \u escape, taken; -1 (nothing taken) for
  // anything else (strtoul alone would take a sign, blanks or "0x").
  int hexQuad() {
    if (s.size() - pos < 4) return -1;
    int value = 0;
    for (size_t i = 0; i < 4; i++) {
      unsigned char c = static_cast<unsigned char>(s[pos + i]);
      if (!isxdigit(c)) return -1;
      value = value * 16 + (isdigit(c) ? c - '0' : tolower(c) - 'a' + 10);
    }
    pos += 4;
    return value;
  }
  void skipBlanks() {
    while (pos < s.size() && isspace(static_cast<unsigned char>(s[pos]))) pos++;
  }
  const std::string& s;
  size_t pos = 0;
};

bool readSearch(Reader& in, SuffixList& search) {
  if (!in.token('[')) return false;
  if (in.token(']')) return true;
  do {
    std::string suffix;
    if (!in.string(suffix)) return false;
    search.push_back(suffix);
  } while (in.token(','));
  return in.token(']');
}

bool readObject(Reader& in, PreviousSuffixMap& map) {
  std::string id;
  SuffixList search;
  if (!in.token('{') || !in.name("id") || !in.string(id) || !in.token(',') || !in.name("search") ||
      !readSearch(in, search) || !in.token('}'))
    return false;
  map[id] = search;
  return true;
}

}  // namespace

std::optional<PreviousSuffixMap> ParseSuffixBaseline(const std::string& text) {
  Reader in(text);
  PreviousSuffixMap map;
  if (!in.token('{') || !in.name("connections") || !in.token('[')) return std::nullopt;
  if (!in.next(']')) {
    do {
      if (!readObject(in, map)) return std::nullopt;
    } while (in.token(','));
  }
  if (!in.token(']') || !in.token('}') || !in.atEnd()) return std::nullopt;
  return map;
}

void SaveSuffixBaselineFile(const std::string& path, const PreviousSuffixMap& map) {
  if (path.empty()) return;
  if (map.empty()) {
    remove(path.c_str());
    return;
  }
  size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) mkdir(path.substr(0, slash).c_str(), 0700);
  auto privateMode = [](int fd, const std::string&) { return fchmod(fd, 0600) == 0; };
  // The text goes to a temporary file that is renamed over the old one, so a
  // crash leaves the old baseline or the new one, never a part.
  if (!ReplaceFileAtomically(path, SuffixBaselineText(map), privateMode))
    GetLog().WriteToLogFL(__FILE__, __LINE__, "SaveSuffixBaselineFile", "ERROR! Can't write DNS suffix baseline file");
}

}  // namespace suffix_baseline
