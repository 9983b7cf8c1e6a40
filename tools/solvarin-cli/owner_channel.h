#pragma once
// Between `solvarin-cli up`, which owns the tunnel in the background, and
// the same user's later commands (down, status): a stream socket in a
// directory only this user can write to, so no other user can take its name
// first: the user's runtime directory ($XDG_RUNTIME_DIR, else
// /run/user/UID), else ~/.solvarin-cli (made 0700). A directory that is not
// the user's own with no access for others is not used. `up` holds a lock
// beside the socket for its life, so two `up` of one user cannot run. Each
// end checks that the other runs under the same user. A request is one line
// ("down [REASON]" or "info"); the answer is lines, the last one "exit N".
#include <sys/types.h>

#include <string>
#include <vector>

// Listens on this user's socket; -1 with errno (EADDRINUSE: one runs
// already) and the reason in words in *error.
int OwnerChannelListen(std::string* error);
// Sends request to this user's `up` and reads its answer: the lines before
// "exit N" and N. False when no `up` of this user answers.
bool OwnerChannelAsk(const std::string& request, std::vector<std::string>* lines, int* exitCode);
// An answer as it came: its lines before "exit N" into *lines, N into
// *exitCode. False when it has no "exit" line (cut short).
bool ParseOwnerAnswer(const std::string& text, std::vector<std::string>* lines, int* exitCode);
// The value of the "KEY VALUE" line with this key ("" when there is none).
std::string OwnerChannelValue(const std::vector<std::string>& lines, const std::string& key);
// Takes the next request (the listening socket is ready): the connection
// to answer it on, or -1 when none came (a peer of another user is closed
// unheard, as is one that sends no line in time).
int OwnerChannelNext(int listenFd, std::string* request);
// Sends the answer and closes the connection.
void OwnerChannelAnswer(int fd, const std::vector<std::string>& lines, int exitCode);
