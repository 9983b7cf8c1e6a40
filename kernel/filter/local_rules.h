// Local rules: the CRC-sealed rules image that the service loads in ordered
// chunks (request 17) and reads back (request 16), its flags word, and the
// packet checks of the packet path that consult it.
//
// Image: 32-byte header (u32 format 0x00011000, u32 flags, u32 tail length,
// 16 bytes carried, u32 seal), a 3,080-byte address table (256 entries of
// 12 bytes, u32 count, u32 seal), then the tail. The format of a table entry
// beyond its leading i32 (negative = unused) is not known to the filter, so
// the packet checks apply no address rule: they pass every packet.
#pragma once
#include "kern_host.h"

struct IPPacket;

constexpr uint32_t LCFG_FORMAT = 0x00011000;

// Why a loaded image or chunk is refused.
enum LcfgStatus : int32_t {
  LCFG_SHORT_HEADER = -1,   // shorter than the header
  LCFG_SHORT_IMAGE = -2,    // shorter than header and table
  LCFG_BAD_SEAL = -3,       // header or table fails its CRC
  LCFG_NO_MEMORY = -5,
  LCFG_BAD_CHUNK = -7,      // another format, lengths that do not add up, a chunk out of order
};
constexpr uint32_t LCFG_HEADER_SIZE = 32;
// Header fields: format, flags, tail length; the seal ends each part.
constexpr uint32_t LCFGH_FORMAT = 0, LCFGH_FLAGS = 4, LCFGH_TAIL_LEN = 8, LCFG_SEAL_SIZE = 4;
constexpr uint32_t LCFG_TABLE_SIZE = 3080;
constexpr uint32_t LCFG_IMAGE_SIZE = LCFG_HEADER_SIZE + LCFG_TABLE_SIZE;

extern "C" {
// The header of the rules in force; its u32 at 4 holds the flags.
extern uint8_t clilcfg[LCFG_HEADER_SIZE];

// Request 17: payload u32 image length, u32 offset, chunk bytes (n in all).
// Writes u32 next expected offset and i32 error word (0, -1/-2 image too
// short, -3 a seal does not check, -5 no memory or an image claimed larger
// than 16 MiB, -7 out of order or wrong
// size or format) and returns 8; 0, taking nothing, when the room of the
// payload buffer cannot hold the 8-byte reply.
uint32_t LCFGSetBlock(uint8_t *payload, uint32_t n, uint32_t room);
// Request 16: payload u32 offset (0 header, 32 table, 3112 tail). Writes
// 16 bytes of block information (u32 offset, u32 length, u32 image length,
// u32 0) and the block; returns 16 + length, 0 for another offset or when
// the reply does not fit the room of the payload buffer.
uint32_t LCFGGetBlock(uint8_t *payload, uint32_t room);
// Installs the empty image.
void LCFGReadOnStart(void);
void LCFGFreeMemory(void);
// The low byte of the flags word, and one flag of it set or cleared.
uint8_t LCFGGetFlags(void);
// Flags of that byte: set by request 43; both directions refuse non-IPv4.
constexpr uint8_t LCFG_FLAG_FAIL_RATE = 0x10, LCFG_FLAG_BLOCK_NON_IP = 0x40;
void LCFGSetFlag(uint8_t flag, bool on);

// 1 when the tunnel guards the packet (always, with no rule saying
// otherwise); 0 would let it pass unguarded.
uint32_t IPCheckNonGuardPacket(const IPPacket *p);
// The local filter step: non-zero refuses the packet.
uint32_t IPCheckFilter(const IPPacket *p);
}
