#pragma once
// The daemon's base directories, without a trailing '/'.

// Directory of the daemon's executable; it holds the registry file.
extern char installDir[2048];
// Copy of installDir made at start-up.
extern char settingsDir[2048];

// Sets installDir to the directory of the running executable (from the link
// /proc/<pid>/exe) and makes it the working directory; a failing chdir is
// reported to syslog as "ERROR chdir: %s".
void ReadExecutionDir(int argc, char** argv);
