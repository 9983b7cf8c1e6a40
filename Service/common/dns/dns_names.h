#pragma once
// The gateway's DNS search suffixes as NetworkManager gets them: of the
// ";"-separated text that the filter hands on (request 41) only DNS names
// are kept (dot-separated labels of 1-63 letters, digits and inner hyphens,
// 253 characters at most in all), each once, at most kMostSearchNames.
#include <cstddef>
#include <list>
#include <string>

// Every search name costs each lookup of a name that is not found one
// query and its time-out; 32 is far more than a site's suffix list holds and
// keeps a hostile list from making every failed lookup take minutes.
inline constexpr size_t kMostSearchNames = 32;

// True when name is a DNS name as above (without a final dot).
bool IsDnsName(const std::string& name);

// The names of text in their order: split at ';', the blanks (space, tab,
// LF, CR, FF, VT) around each piece cut, empty pieces skipped. A piece that
// is no DNS name, repeats an earlier one (letter case aside) or comes after
// kMostSearchNames names is left out and logged.
std::list<std::string> SearchNamesOfText(const std::string& text);
