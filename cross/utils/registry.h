#pragma once
// The registry file of settings: one text file "registry" in a directory,
// one line per setting: the name, a TAB, a blank and the value in double
// quotes ("%s\t \"%s\"\n"). Numbers are stored as "0x" + upper-case hex.
// Every accessor returns 1 on success and 0 on failure; an output is written
// only on success. The file stays writable by every user (other programs
// share it), so its callers bound every value they take from it, and a file
// of more than 64 KiB is neither read nor rewritten (every accessor fails).
#include <cstdint>

// Copies the value of the first line matching name into out (at most size
// bytes, always NUL-terminated, so a value is cut at size - 1 characters);
// every '%' in the copy ends the value.
int Registry_RegGetValueString(const char* dir, const char* name, char* out, int size);

// The value parsed as a number: "0x.." hex, ".."x hex, any hex letter hex,
// ".."o octal, else decimal; a non-digit adds 0 but still shifts; wraps
// modulo 2^64. An empty value fails.
int Registry_RegGetValueUnsignedLongLong(const char* dir, const char* name, uint64_t* out);
int Registry_RegGetValueLongInt(const char* dir, const char* name, long* out);
int Registry_RegGetValueInt(const char* dir, const char* name, int* out);

// Removes every line matching name (and the blank characters and empty lines
// right after each) and appends the line of name with the first length bytes
// of value, NUL bytes written as '%'. Refuses a null or empty dir or name, a
// value whose first byte is NUL and a length outside 1..1023. The file is
// rewritten into a temporary file and renamed over the old one, under one
// process-wide lock, and left with mode 0666.
int Registry_RegSetValueString(const char* dir, const char* name, const unsigned char* value,
                               int length);
int Registry_RegSetValueUnsignedLongLongHex(const char* dir, const char* name, uint64_t v);
int Registry_RegSetValueLongIntHex(const char* dir, const char* name, long v);
