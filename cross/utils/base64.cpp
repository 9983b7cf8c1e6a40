#include "cross/utils/base64.h"

namespace {

const char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string b64encode(const unsigned char* data, unsigned int length) {
  std::string out;
  if (data == nullptr || length == 0) return out;
  out.reserve((static_cast<size_t>(length) + 2) / 3 * 4);
  for (unsigned int i = 0; i < length; i += 3) {
    unsigned int left = length - i;
    unsigned int group = static_cast<unsigned int>(data[i]) << 16;
    if (left > 1) group |= static_cast<unsigned int>(data[i + 1]) << 8;
    if (left > 2) group |= data[i + 2];
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    out += left > 2 ? kAlphabet[group & 63] : '=';
  }
  return out;
}

std::vector<unsigned char> b64decode(const std::string& text) {
  std::vector<unsigned char> out;
  out.reserve(text.size() / 4 * 3 + 2);
  unsigned int bits = 0;
  int count = 0;
  for (char c : text) {
    int v = sextet(c);
    if (v < 0) break;  // "=" or a character outside the alphabet
    bits = (bits << 6) | static_cast<unsigned int>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<unsigned char>((bits >> count) & 0xFF));
    }
  }
  return out;
}
