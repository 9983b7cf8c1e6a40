// The in-test file operations of the guard's host.
#include "tests/fsguard/fake_files.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "kern_host_files.h"
#include "tests/host/test_host.h"

namespace fake_files {
namespace {

std::set<std::string> g_existing;
bool g_unlinkFails = false;
std::function<void()> g_unlinkHook;
std::vector<std::string> g_unlinked;
// Counters may be bumped from several threads.
std::atomic<int> g_saves{0}, g_opens{0}, g_closes{0};
std::atomic<int> g_opensUnderLock{0}, g_unlinksUnderLock{0}, g_savesUnderLock{0};
int g_handle = 0;

void count_if_locked(std::atomic<int> &counter) {
  if (testhost::lock_held()) ++counter;
}

}  // namespace

void reset() {
  g_existing.clear();
  g_unlinkFails = false;
  g_unlinkHook = nullptr;
  g_unlinked.clear();
  g_saves = g_opens = g_closes = 0;
  g_opensUnderLock = g_unlinksUnderLock = g_savesUnderLock = 0;
}
std::set<std::string> &existing() { return g_existing; }
void set_unlink_fails(bool fail) { g_unlinkFails = fail; }
void on_next_unlink(std::function<void()> hook) { g_unlinkHook = std::move(hook); }
const std::vector<std::string> &unlinked() { return g_unlinked; }
int saves() { return g_saves; }
int opens() { return g_opens; }
int closes() { return g_closes; }
int opens_under_lock() { return g_opensUnderLock; }
int unlinks_under_lock() { return g_unlinksUnderLock; }
int saves_under_lock() { return g_savesUnderLock; }

}  // namespace fake_files

using namespace fake_files;

extern "C" {

int KERN_fopen(const char *name, void **handle, int flags, int mode) {
  count_if_locked(g_opensUnderLock);
  ++g_opens;
  if (flags != 0 || mode != 1 || g_existing.count(name) == 0) return 2;
  *handle = &g_handle;
  return 0;
}

int KERN_fclose(void *handle) {
  ++g_closes;
  return handle == &g_handle ? 0 : 9;
}

int KERN_funlink(const char *name) {
  count_if_locked(g_unlinksUnderLock);
  g_unlinked.emplace_back(name);
  if (g_unlinkHook) {
    auto hook = std::move(g_unlinkHook);
    g_unlinkHook = nullptr;
    hook();
  }
  if (g_unlinkFails || g_existing.erase(name) == 0) return 2;
  return 0;
}

int KERN_fnamecmp(const uint8_t *name1, uint32_t length1, const uint8_t *name2,
                  uint32_t length2) {
  return length1 == length2 && memcmp(name1, name2, length1) == 0 ? 0 : 1;
}

int KERN_queue_fsguardcfgsave(void) {
  count_if_locked(g_savesUnderLock);
  ++g_saves;
  return 0;
}

}  // extern "C"
