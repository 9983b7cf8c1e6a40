#include "cross/common/profile_text.h"

#include <cstring>

std::string FieldText(const char* field, size_t width) {
  const void* zero = memchr(field, 0, width);
  size_t n = zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - field) : width;
  return std::string(field, n);
}

size_t Utf8PrefixLength(const std::string& text, size_t max) {
  if (text.size() <= max) return text.size();
  size_t n = max;
  // A continuation byte (10xxxxxx) at the cut belongs to a character that
  // began before it: cut in front of that character's lead byte instead.
  while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) n--;
  return n;
}

void CopyToField(char* field, size_t width, const std::string& text) {
  memcpy(field, text.data(), Utf8PrefixLength(text, width));
}
