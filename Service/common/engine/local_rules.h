#pragma once
// The local rules image (loaded in ordered chunks of RQC_SETLOCALCFG, read
// back with RQC_GETLOCALCFG), the white lists, the DNS update servers and
// the fail-rate switch.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cross/utils/ss_list.h"

constexpr uint32_t RULES_FORMAT = 0x00011000;
constexpr uint32_t RULES_HEADER_SIZE = 32;
constexpr uint32_t RULES_TABLE_SIZE = 3080;
constexpr uint32_t RULES_IMAGE_SIZE = RULES_HEADER_SIZE + RULES_TABLE_SIZE;  // 3112
constexpr uint32_t FCS32_RESIDUE_VALUE = 0xDEBB20E3;

struct __attribute__((packed)) rulesfileheadertype {
  uint32_t format;      // RULES_FORMAT
  uint32_t word4;       // 0x80 in the empty image
  uint32_t tailLength;  // bytes after the table
  uint8_t other[16];    // carried unchanged
  uint32_t seal;        // ~FCS32 over bytes 0..27
};
static_assert(sizeof(rulesfileheadertype) == RULES_HEADER_SIZE);

struct __attribute__((packed)) addrobjtype {
  uint8_t entries[256][12];  // each begins with an i32, negative when unused
  uint32_t count;            // used entries
  uint32_t seal;             // ~FCS32 over bytes 0..3075
};
static_assert(sizeof(addrobjtype) == RULES_TABLE_SIZE);

// Chunk of RQC_SETLOCALCFG: total image length, offset of the chunk, bytes.
struct __attribute__((packed)) RulesChunkHead {
  uint32_t total;
  uint32_t offset;
};
// The filter's answer to a chunk: next expected offset, error word.
struct __attribute__((packed)) RulesChunkAnswer {
  uint32_t next;
  int32_t error;
};

// Texts of the last read-back's tail, or of client command 17.
constexpr unsigned SS_ENTRY_SIZE = 48;  // characters an entry keeps
extern SSList SS;

void SealRulesHeader(rulesfileheadertype* h);
void SealRulesTable(addrobjtype* t);

int setFilterRulesWithoutConnect(const rulesfileheadertype* header, const addrobjtype* table);
int getFilterRulesWithoutConnect(rulesfileheadertype* header, addrobjtype* table);
int32_t SetIPWhiteList(const std::vector<uint32_t>& addresses);     // 44; -2 for -1001
int32_t SetHostWhiteList(const std::vector<uint8_t>& names);        // 38; u16 length + names
int32_t SetProtocolsWhiteList(uint32_t mask);                       // 45
int32_t SetDnsUpdateServers(const std::vector<uint32_t>& addresses);  // 46
int32_t setFailRate(bool on);                                       // 43
