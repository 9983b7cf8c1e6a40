#pragma once
// Version texts of the daemon and of the operating system it runs on.
#include <string>

// The daemon's version text; MakeVersionString() appends the build's version.
extern std::string CLIENT_VERSION;
// The version banner logged at start-up (set by GetSystemVersion()).
extern std::string verstr;

// Appends the daemon's version text to CLIENT_VERSION.
void MakeVersionString();
// Records the operating system's name, release and version text in verstr.
void GetSystemVersion();
// The daemon's version text.
const char* getVrStr();
