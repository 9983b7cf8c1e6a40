#pragma once
// Small text steps of the DNS registration.
#include <string>

// A copy without leading and trailing isspace characters.
std::string trim(const std::string& s);
// s without any trailing '.'.
std::string trim_trailing_dot(std::string s);
// Throws std::runtime_error(what + ": " + strerror(errno)), errno as on entry.
[[noreturn]] void throw_errno(const std::string& what);
