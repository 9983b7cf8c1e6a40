#pragma once
// Standard base64 (alphabet A-Z a-z 0-9 + /, "=" padding).
#include <string>
#include <vector>

// Encodes length bytes; the text is padded with "=" to a multiple of 4.
std::string b64encode(const unsigned char* data, unsigned int length);

// Decodes a base64 text. Decoding stops at the first "=" or at the first
// character outside the alphabet; a final group of 2 or 3 characters gives
// 1 or 2 bytes (a lone last character carries no whole byte). Never fails.
std::vector<unsigned char> b64decode(const std::string& text);
