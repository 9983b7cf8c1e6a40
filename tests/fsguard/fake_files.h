// In-test file operations for the guard's list tests: a set of names that
// exist, a delete whose outcome the test chooses, and a count of save
// requests. Opens, deletes and saves note whether the guard's lock was held.
#pragma once
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace fake_files {

void reset();
// Names that KERN_fopen opens.
std::set<std::string> &existing();
// KERN_funlink fails (non-zero) from now on when `fail` is set.
void set_unlink_fails(bool fail);
// Runs inside the next KERN_funlink, before it answers.
void on_next_unlink(std::function<void()> hook);
// Names given to KERN_funlink, in order.
const std::vector<std::string> &unlinked();
int saves();
int opens();
int closes();
// How many opens, deletes and save requests ran with the guard's lock held.
int opens_under_lock();
int unlinks_under_lock();
int saves_under_lock();

}  // namespace fake_files
