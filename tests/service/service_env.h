#pragma once
// What the service tests share: installDir and the daemon's log point into a
// private temporary directory for the whole test program.
#include <string>

// The daemon log file of this test program, and its text.
std::string ServiceLogPath();
std::string ServiceLogText();
