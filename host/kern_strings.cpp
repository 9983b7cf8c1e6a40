// The KERN_ memory and text operations: plain forwards to libc. The real host
// and the tests' small hosts share this file; what they control themselves
// (allocation, locks, the log) lives beside it.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kern_host.h"

extern "C" {

void *KERN_memcpy(void *dst, const void *src, size_t n) { return std::memcpy(dst, src, n); }
void *KERN_memset(void *dst, int c, size_t n) { return std::memset(dst, c, n); }
void *KERN_memmove(void *dst, const void *src, size_t n) { return std::memmove(dst, src, n); }
int KERN_strcmp(const char *a, const char *b) { return std::strcmp(a, b); }
char *KERN_strncpy(char *dst, const char *src, size_t n) { return std::strncpy(dst, src, n); }
size_t KERN_strlen(const char *s) { return std::strlen(s); }
char *KERN_strncat(char *dst, const char *src, size_t n) { return std::strncat(dst, src, n); }

int KERN_snprintf(char *buf, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, size, format, args);
  va_end(args);
  return n;
}

}  // extern "C"
