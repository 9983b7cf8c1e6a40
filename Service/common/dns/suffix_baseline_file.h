#pragma once
// The baseline file's text: one line, no blanks,
//   {"connections":[{"id":"Wired 1","search":["corp","lab"]}]}\n
// with objects in id order, and its strict reader.
#include <optional>
#include <string>

#include "Service/common/dns/nm_suffixes.h"

namespace suffix_baseline {

// A JSON string: '"' and '\' behind a backslash, bytes 0x00-0x1F as \u00xx
// (lower-case hex), every other byte as it is.
std::string SuffixJsonString(const std::string& text);

// The whole file text for map, line feed included.
std::string SuffixBaselineText(const PreviousSuffixMap& map);

// The map of a file text; nullopt when the text does not follow the format
// (members in order, only \", \/, \\ and \u escapes up to 0x7F, nothing but
// blanks after the closing brace). An id given twice keeps its last list.
std::optional<PreviousSuffixMap> ParseSuffixBaseline(const std::string& text);

// Writes map to path through a temporary file renamed over it (directory
// 0700, file 0600); an empty map removes the file. Failures are logged.
void SaveSuffixBaselineFile(const std::string& path, const PreviousSuffixMap& map);

}  // namespace suffix_baseline
