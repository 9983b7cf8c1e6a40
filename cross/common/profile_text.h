#pragma once
// Texts in fixed-width fields of the profile records.
#include <stddef.h>

#include <string>

// The bytes of a field up to its first zero byte or its width.
std::string FieldText(const char* field, size_t width);
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return FieldText(field, N);
}

// Copies at most width bytes of text to the start of the field, cut back so
// that no UTF-8 character is split; bytes behind the copy are left as they are.
void CopyToField(char* field, size_t width, const std::string& text);

// The length of the longest prefix of text of at most max bytes that does
// not end inside a UTF-8 character.
size_t Utf8PrefixLength(const std::string& text, size_t max);
