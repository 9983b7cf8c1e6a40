// The test host's check that no hook waits: while a thread is inside one of
// the library's packet, completion, timer, power, adapter or control entry
// points (each wrapped by the linker, --wrap), a wait the library asks of the
// host (KERN_work_flush) stops the test. Linked into a test with the
// test_hook_checks library, which also runs the test's library on the
// number of workers in ZOR_TEST_WORKERS (0 when unset).
#pragma once

namespace testhost {

// True while the calling thread is inside a wrapped entry point.
bool in_hook();

}  // namespace testhost
