#pragma once
// Where solvarin-cli's lines go: standard output, or syslog once `up` runs
// in the background. Whole lines, one at a time across threads.
#include <string>

void Say(const std::string& line);
// From now on lines go to syslog (ident "solvarin-cli", with the pid).
void SayToSyslog();
