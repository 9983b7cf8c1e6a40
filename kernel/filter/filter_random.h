// The filter's cipher tables and the seeding of random generator slot 0 at
// filter start.
#pragma once
#include "kern_host.h"

extern "C" {
// Builds the GOST 28147-89 lookup tables and seeds slot 0 from the
// expanded table, fresh monotonic stamps and 64 bytes of the host's
// generator. 0 on success, 1 when the host's generator failed.
uint32_t FilterSeedRandom(void);
}
