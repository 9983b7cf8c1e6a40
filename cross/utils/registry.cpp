#include "cross/utils/registry.h"

#include "cross/utils/file_replace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

const char kFileName[] = "registry";
const size_t kPathMax = 2048;
// Lines are looked at in pieces of at most this many characters.
const size_t kPieceMax = 1023;
// Every user may write the file: a larger one is no registry of this
// daemon's few dozen settings, and is not read (nor rewritten) at all.
const size_t kFileMax = 64 * 1024;

std::mutex g_writeLock;

// "%s/%s" of the directory and the file name, bounded like every path here.
std::string registryPath(const char* dir) {
  char buf[kPathMax];
  snprintf(buf, sizeof buf, "%s/%s", dir, kFileName);
  return buf;
}

// Reads the whole file without following a symbolic link; anything but a
// regular file of at most kFileMax bytes is refused (also one that grows
// past it while it is read). A missing file reads as empty when
// missingIsEmpty is set.
bool readFile(const std::string& path, std::string* content, bool missingIsEmpty) {
  content->clear();
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return missingIsEmpty && errno == ENOENT;
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= kFileMax;
  char buf[4096];
  while (ok) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    content->append(buf, static_cast<size_t>(n));
    ok = content->size() <= kFileMax;
  }
  close(fd);
  if (!ok) content->clear();
  return ok;
}

// Next piece of the text from pos: up to and including a LF, at most
// kPieceMax characters.
std::string nextPiece(const std::string& text, size_t pos) {
  size_t end = pos;
  while (end < text.size() && end - pos < kPieceMax) {
    if (text[end++] == '\n') break;
  }
  return text.substr(pos, end - pos);
}

bool isOneOf(char c, const char* set) { return c != '\0' && strchr(set, c) != nullptr; }

// Tests one piece against name; on a match stores its value text.
bool matchPiece(const std::string& piece, const char* name, std::string* value) {
  size_t i = 0;
  while (i < piece.size() && isOneOf(piece[i], "\t\n\r ")) i++;
  size_t nameLen = strlen(name);
  if (i >= piece.size() || piece.compare(i, nameLen, name) != 0) return false;
  i += nameLen;
  if (i >= piece.size()) return false;  // nothing after the name
  i++;                                  // the separator, whatever it is
  while (i < piece.size() && isOneOf(piece[i], "\n\r ")) i++;
  if (i >= piece.size()) return false;  // a name without a value
  if (piece[i] == '"' || piece[i] == '\'') i++;
  size_t end = piece.size();
  while (end > i && (piece[end - 1] == '\r' || piece[end - 1] == '\n')) end--;
  if (end > i && (piece[end - 1] == '"' || piece[end - 1] == '\'')) end--;
  *value = piece.substr(i, end - i);
  return true;
}

bool validName(const char* dir, const char* name) {
  return dir != nullptr && *dir != '\0' && name != nullptr && *name != '\0';
}

// The value of the first matching line, cut at its first '%'.
bool findValue(const char* dir, const char* name, std::string* value) {
  if (!validName(dir, name)) return false;
  std::string text;
  if (!readFile(registryPath(dir), &text, false)) return false;
  for (size_t pos = 0; pos < text.size();) {
    std::string piece = nextPiece(text, pos);
    pos += piece.size();
    if (matchPiece(piece, name, value)) {
      size_t cut = value->find('%');
      if (cut != std::string::npos) value->resize(cut);
      return true;
    }
  }
  return false;
}

int digitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// Every character shifts; one that is no digit of the base adds 0.
uint64_t parseInBase(const std::string& s, unsigned base) {
  uint64_t v = 0;
  for (char c : s) {
    int d = digitValue(c);
    v = v * base + (d < static_cast<int>(base) ? static_cast<uint64_t>(d) : 0);
  }
  return v;
}

uint64_t parseNumber(std::string s) {
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) return parseInBase(s.substr(2), 16);
  char last = s.empty() ? '\0' : s.back();
  if (last == 'x' || last == 'X') return parseInBase(s.substr(0, s.size() - 1), 16);
  if (s.find_first_of("abcdefABCDEF") != std::string::npos) return parseInBase(s, 16);
  if (last == 'o' || last == 'O') return parseInBase(s.substr(0, s.size() - 1), 8);
  return parseInBase(s, 10);
}

// Drops every matching piece together with the LF, CR and blank characters
// that follow it.
std::string withoutName(const std::string& text, const char* name) {
  std::string kept, value;
  size_t pos = 0;
  while (pos < text.size()) {
    std::string piece = nextPiece(text, pos);
    pos += piece.size();
    if (!matchPiece(piece, name, &value)) {
      kept += piece;
      continue;
    }
    while (pos < text.size() && isOneOf(text[pos], "\n\r ")) pos++;
  }
  return kept;
}

// Readers see either the old or the new file, never a mix; the file is left
// with mode 0666.
bool replaceFile(const std::string& path, const std::string& text) {
  return ReplaceFileAtomically(path, text,
                               [](int fd, const std::string&) { return fchmod(fd, 0666) == 0; });
}

}  // namespace

int Registry_RegGetValueString(const char* dir, const char* name, char* out, int size) {
  if (out == nullptr || size <= 0) return 0;
  std::string value;
  if (!findValue(dir, name, &value)) return 0;
  size_t n = value.size() < static_cast<size_t>(size) - 1 ? value.size() : static_cast<size_t>(size) - 1;
  memcpy(out, value.data(), n);
  out[n] = '\0';
  return 1;
}

int Registry_RegGetValueUnsignedLongLong(const char* dir, const char* name, uint64_t* out) {
  if (out == nullptr) return 0;
  std::string value;
  if (!findValue(dir, name, &value)) return 0;
  if (value.size() > 1024) value.resize(1024);
  if (value.empty()) return 0;
  *out = parseNumber(value);
  return 1;
}

int Registry_RegGetValueLongInt(const char* dir, const char* name, long* out) {
  uint64_t v = 0;
  if (out == nullptr || !Registry_RegGetValueUnsignedLongLong(dir, name, &v)) return 0;
  *out = static_cast<long>(v);
  return 1;
}

int Registry_RegGetValueInt(const char* dir, const char* name, int* out) {
  uint64_t v = 0;
  if (out == nullptr || !Registry_RegGetValueUnsignedLongLong(dir, name, &v)) return 0;
  *out = static_cast<int>(static_cast<uint32_t>(v));
  return 1;
}

int Registry_RegSetValueString(const char* dir, const char* name, const unsigned char* value,
                               int length) {
  if (!validName(dir, name) || value == nullptr || value[0] == '\0') return 0;
  if (length < 1 || length > static_cast<int>(kPieceMax)) return 0;
  std::string text(reinterpret_cast<const char*>(value), static_cast<size_t>(length));
  for (char& c : text) {
    if (c == '\0') c = '%';
  }
  std::string path = registryPath(dir);
  std::lock_guard<std::mutex> lock(g_writeLock);
  std::string content;
  if (!readFile(path, &content, true)) return 0;
  std::string kept = withoutName(content, name);
  // A hand-edited last line without its LF must not swallow the new line.
  if (!kept.empty() && kept.back() != '\n') kept += '\n';
  // The line form "%s\t \"%s\"\n".
  kept += std::string(name) + "\t \"" + text + "\"\n";
  return replaceFile(path, kept) ? 1 : 0;
}

int Registry_RegSetValueUnsignedLongLongHex(const char* dir, const char* name, uint64_t v) {
  char text[32];
  snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
  return Registry_RegSetValueString(dir, name, reinterpret_cast<const unsigned char*>(text),
                                    static_cast<int>(strlen(text)));
}

int Registry_RegSetValueLongIntHex(const char* dir, const char* name, long v) {
  return Registry_RegSetValueUnsignedLongLongHex(dir, name, static_cast<uint64_t>(v));
}
