// An in-test kernel host for the file guard: heap memory with failure
// injection and a live count, real spin locks that notice a recursive take,
// captured printk lines and a settable clock.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace test_host {

// Clears the counters, the failure injection and the captured lines.
void reset();
// The allocation `n` calls from now (1: the next) fails; 0 turns it off.
void fail_allocation(int n);
// Allocations not yet freed.
long live_allocations();
// True while the calling thread holds a guard lock.
bool lock_held();
// The DOS date-time that DrvGetCurFtime answers.
void set_now(uint32_t dosTime);
// Lines printed through KERN_printk, in order.
const std::vector<std::string> &printed();

}  // namespace test_host
