#pragma once
// Texts of the connection and driver error codes that the connection engine
// reports to the log and the client programs.
#include <string>

// The text of code; "Unknown Drv error: " and the number for an unknown code.
std::string GetDrvError(int code);
