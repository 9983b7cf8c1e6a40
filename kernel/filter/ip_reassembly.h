// IPv4 fragment reassembly, one store per port direction: fragments of one
// packet (same addresses, protocol and identification) wait in offset order
// in the memory pool until the received bytes reach the total that the last
// fragment gives; the packet is then rebuilt in `defragpack`. Callers hold
// filter lock 0.
#pragma once
#include "kern_host.h"
#include "kernel/filter/ip_helpers.h"

constexpr uint32_t REASM_RECORDS = 32;
// One store per port direction (PORT_TERM, PORT_NET).
constexpr uint32_t REASM_DIRECTIONS = 2;
constexpr uint32_t REASM_MAX_PACKET = 65536;
// The longest link header + the largest IPv4 header + the largest payload.
constexpr uint32_t DEFRAG_BUFFER_SIZE = LINK_MAX_HEADER_LEN + IPH_MAX_LEN + REASM_MAX_PACKET;

extern "C" {
extern uint8_t defragpack[DEFRAG_BUFFER_SIZE];

void IPStartPortState(uint32_t direction);
void IPStopPortState(uint32_t direction);
// Drops the entries of the direction whose deadline has passed.
void IPPortTimer(uint32_t direction);

// Takes one fragment. 0: the packet is complete and p now describes it in
// defragpack (p->reassembled set), behind the first fragment's link header;
// 1: taken (kept or discarded; a link header longer than
// LINK_MAX_HEADER_LEN is discarded).
uint32_t IPReassemble(IPPacket *p, uint32_t direction);
// Entries in use in a direction.
uint32_t IPReassemblyCount(uint32_t direction);
}
