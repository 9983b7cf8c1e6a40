#pragma once
// Generic-netlink message headers, and the controller's family look-up, as the request channel
// and the event listener send it: type 0x10, flags 1, sequence 0, port id =
// `senderPort`, command 3 (get family), version 1, attribute 2 = the
// NUL-terminated name. The reply is read after `waitMs` (up to 276 bytes):
// the attribute after the first must be type 1 and holds the u16 id.
#include <cstdint>

#include "Service/common/engine/filter_netlink_seam.h"

// Writes the netlink header (flags: request) and the generic-netlink
// header (command, version 1) at m.
void GenlPutHeaders(uint8_t* m, uint32_t len, uint16_t type, uint32_t seq, uint32_t port, uint8_t cmd);
// Writes an attribute header at at.
void GenlPutAttribute(uint8_t* at, uint16_t len, uint16_t type);
// True once sock has a message within timeoutMs; signals do not restart
// the wait (the daemon's SIGIO interrupts any thread).
bool GenlWaitReadable(int sock, int timeoutMs);

// The family id, or -1 (messages on stderr: perror("recv"),
// "invalid reply message\n", "received error\n"; none with quiet, for a
// probe to which "no such family" is an answer, not a fault).
int GenlLookupFamily(int sock, const FilterSeam& seam, uint32_t senderPort, const char* name,
                     unsigned waitMs, bool quiet = false);
// Parses a controller reply of `len` bytes (at most 276 are looked at); the
// id or -1. Shared with the device helpers.
int GenlParseFamilyReply(const uint8_t* reply, long len, bool quiet = false);
