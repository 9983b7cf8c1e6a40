#pragma once
// Where solvarin-cli's lines go. Replies, pushes, their words and the JSON
// go to standard output; "error: ..." lines to standard error, so that a
// pipe reads only what it asked for. Once `up` owns the tunnel in the
// background, every line goes to syslog and to the standard error `up` was
// started with, while that is still there. Whole lines, one at a time
// across threads.
#include <string>

void Say(const std::string& line);
void SayError(const std::string& line);
// A line of either kind: "error: ..." as SayError, any other as Say.
void SayLine(const std::string& line);
// A copy of standard error that the background owner may keep writing to:
// a terminal, a file or the journal's stream (JOURNAL_STREAM under a service
// manager); -1 for a pipe or socket, whose reader would wait for the owner's end.
int StandardErrorToKeep();
// From now on lines go to syslog (ident "solvarin-cli", with the pid) and to
// keptErr (-1 none) until a write there fails.
void SayInBackground(int keptErr);
