#pragma once
// Host utilities of the service core: finding a running program through
// /proc, running NetworkManager's dispatcher scripts by hand, testing a path.
#include <string>

// The directory (no trailing '/') of the executable of the first process in
// /proc order whose comm, or whose command line's program name, is name;
// empty when there is none.
std::string getProcessPathByName(const std::string& name);

// Runs every file of the dispatcher directory in byte order with
// NM_DISPATCHER_ACTION and CONNECTIVITY_STATE set: 0 all ran and exited 0,
// -1 the directory cannot be opened, -2 a script exited non-zero (the rest
// are not run). A script ended by a signal counts as success.
int RunDispatcherScripts(const std::string& action, const std::string& connectivityState,
                         const std::string& dir = "/etc/NetworkManager/dispatcher.d/");

bool IsDirectory(const std::string& path);
