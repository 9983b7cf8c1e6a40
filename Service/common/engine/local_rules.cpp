#include "Service/common/engine/local_rules.h"

#include <cstring>
#include <string>

#include "Service/common/engine/drv_channel.h"
#include "crypto/crc32.h"
#include "cross/utils/log.h"

SSList SS;

namespace {

constexpr uint32_t READBACK_INFO = 16;  // block information in front of read-back bytes
constexpr uint32_t TAIL_END_MARK = 1;
// The tail's request area beyond the tail: the header and the block information.
constexpr uint32_t TAIL_REQUEST_EXTRA = sizeof(DrvRequestHeader) + READBACK_INFO;

void logLine(int line, const char* function, const std::string& text) {
  GetLog().WriteToLogFL(__FILE__, line, function, text.c_str());
}

// One chunk of RQC_SETLOCALCFG and the checks of its answer; badMagic is
// the result of a reply with a wrong magic.
int sendChunk(uint32_t total, uint32_t offset, const void* bytes, uint32_t len, int badMagic) {
  std::vector<uint8_t> chunk(sizeof(RulesChunkHead) + len);
  RulesChunkHead head{total, offset};
  std::memcpy(chunk.data(), &head, sizeof head);
  std::memcpy(chunk.data() + sizeof head, bytes, len);
  transfertype h;
  std::vector<uint8_t> payload;
  uint32_t n = static_cast<uint32_t>(chunk.size());
  int r = DrvRequestFull(RQC_SETLOCALCFG, chunk.data(), n, n, h, payload);
  if (r == 0 && h.status != 0) r = h.status;
  if (r == 0 && h.magic != DRV_REQUEST_MAGIC) r = badMagic;
  if (r == 0 && payload.size() < sizeof(RulesChunkAnswer)) r = DRV_REPLY_MALFORMED;
  if (r == 0) {
    RulesChunkAnswer answer;
    std::memcpy(&answer, payload.data(), sizeof answer);
    r = -answer.error;
  }
  if (r != 0) logLine(__LINE__, "setFilterRulesWithoutConnect", "Set rules error " + std::to_string(r));
  return r;
}

// One read-back block at offset into out (size bytes after the block information).
int readBlock(uint32_t offset, uint32_t lengthField, void* out, uint32_t size) {
  transfertype h;
  std::vector<uint8_t> payload;
  int r = DrvRequestFull(RQC_GETLOCALCFG, &offset, sizeof offset, lengthField, h, payload);
  if (r != 0) return r;
  if (h.magic != DRV_REQUEST_MAGIC) return DRV_REPLY_BAD_MAGIC;
  if (h.length == 0) {
    std::memset(out, 0, size);
    return 0;
  }
  if (payload.size() < READBACK_INFO + size) return DRV_REPLY_MALFORMED;
  std::memcpy(out, payload.data() + READBACK_INFO, size);
  return 0;
}

bool entryUnused(const addrobjtype* t, uint32_t i) {
  int32_t first;
  std::memcpy(&first, t->entries[i], 4);
  return first < 0;
}

// The tail's texts into SS when its seal checks; the filter's error word.
// Its length comes from the filter: -1 for one shorter than its seal or
// longer than one exchange carries with header and block information.
int readTail(uint32_t tailLength) {
  if (tailLength < 4 || tailLength > DRV_MAX_EXCHANGE - 4 - TAIL_REQUEST_EXTRA) return -1;
  std::vector<uint8_t> buf(DRV_PREFIX_ROOM + tailLength + 44, 0);
  uint8_t* data = buf.data() + DRV_PREFIX_ROOM;
  uint32_t room = tailLength + TAIL_REQUEST_EXTRA;
  DrvRequestHeader h{};
  h.magic = DRV_REQUEST_MAGIC;
  h.length = tailLength;
  uint32_t offset = RULES_IMAGE_SIZE;
  std::memcpy(data, &h, sizeof h);
  std::memcpy(data + sizeof h, &offset, sizeof offset);
  uint32_t got = 0;
  int r = SendIRP(RQC_GETLOCALCFG, data, room, &got);
  if (r != 0) return r;
  std::memcpy(&h, data, sizeof h);
  if (h.magic != DRV_REQUEST_MAGIC) return DRV_REPLY_BAD_MAGIC;
  uint8_t* tail = data + sizeof h + READBACK_INFO;
  int32_t error;
  std::memcpy(&error, data + sizeof h + 4, 4);
  if (FCS32(tail, tailLength) == FCS32_RESIDUE_VALUE) {
    tail[tailLength - 4] = TAIL_END_MARK;
    for (uint32_t at = 0; at < tailLength - 4 && tail[at] != TAIL_END_MARK;) {
      size_t n = strnlen(reinterpret_cast<char*>(tail + at), tailLength - 4 - at);
      std::string text(reinterpret_cast<char*>(tail + at), n);
      addSSList(&SS, text.c_str());
      at += static_cast<uint32_t>(n) + 1;
    }
  }
  return error;
}

}  // namespace

void SealRulesHeader(rulesfileheadertype* h) {
  h->seal = ~FCS32(h, offsetof(rulesfileheadertype, seal));
}

void SealRulesTable(addrobjtype* t) { t->seal = ~FCS32(t, offsetof(addrobjtype, seal)); }

int setFilterRulesWithoutConnect(const rulesfileheadertype* header, const addrobjtype* table) {
  uint32_t total = header->tailLength + RULES_IMAGE_SIZE;
  int r = sendChunk(total, 0, header, sizeof *header, -1);
  if (r != 0) return r;
  return sendChunk(total, RULES_HEADER_SIZE, table, sizeof *table, -2);
}

int getFilterRulesWithoutConnect(rulesfileheadertype* header, addrobjtype* table) {
  int r = readBlock(0, RULES_HEADER_SIZE, header, sizeof *header);
  if (r != 0) return r;
  r = readBlock(RULES_HEADER_SIZE, RULES_TABLE_SIZE, table, sizeof *table);
  if (r != 0) return r;
  if (table->count > 255) table->count = 0;
  for (uint32_t i = table->count; i < 256 && entryUnused(table, i); ++i) table->count++;
  initSSList(&SS, SS_ENTRY_SIZE);
  return header->tailLength ? readTail(header->tailLength) : 0;
}

namespace {

// An address as the list carries it (host order), in dotted form.
std::string dotted(uint32_t a) {
  return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
         std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
}

int32_t listRequest(int code, const void* data, uint32_t bytes, uint32_t lengthField) {
  DrvReply reply;
  int32_t r = DRV_Request(code, data, bytes, lengthField, reply);
  return r == DRV_REPLY_BAD_MAGIC ? -2 : r;
}

}  // namespace

int32_t SetIPWhiteList(const std::vector<uint32_t>& addresses) {
  logLine(__LINE__, "SetIPWhiteList", "IP_LIST size " + std::to_string(addresses.size()));
  for (uint32_t a : addresses) logLine(__LINE__, "SetIPWhiteList", dotted(a));
  logLine(__LINE__, "SetIPWhiteList", "IP copied " + std::to_string(addresses.size()));
  uint32_t bytes = static_cast<uint32_t>(addresses.size() * 4);
  if (addresses.size() * 4 > DRV_MAX_PAYLOAD) return DRV_REPLY_MALFORMED;
  return listRequest(RQC_SETIPWHITELIST, addresses.data(), bytes,
                     static_cast<uint16_t>(addresses.size()));
}

int32_t SetHostWhiteList(const std::vector<uint8_t>& names) {
  if (names.size() > DRV_MAX_PAYLOAD - 2) return DRV_REPLY_MALFORMED;
  std::vector<uint8_t> data(2 + names.size());
  uint16_t n = static_cast<uint16_t>(names.size());
  std::memcpy(data.data(), &n, 2);
  if (!names.empty()) std::memcpy(data.data() + 2, names.data(), names.size());
  uint32_t len = static_cast<uint32_t>(data.size());
  return listRequest(RQC_SETHOSTWHITELIST, data.data(), len, len);
}

int32_t SetProtocolsWhiteList(uint32_t mask) {
  return listRequest(RQC_SETPROTOCOLSWHITELIST, &mask, sizeof mask, sizeof mask);
}

int32_t SetDnsUpdateServers(const std::vector<uint32_t>& addresses) {
  logLine(__LINE__, "SetDnsUpdateServers", "DNS update servers count " + std::to_string(addresses.size()));
  for (uint32_t a : addresses) logLine(__LINE__, "SetDnsUpdateServers", "DNS update server IP " + dotted(a));
  if (addresses.size() * 4 > DRV_MAX_PAYLOAD) return DRV_REPLY_MALFORMED;
  uint32_t bytes = static_cast<uint32_t>(addresses.size() * 4);
  return listRequest(RQC_SETDNSUPDATESERVERS, addresses.data(), bytes, bytes);
}

int32_t setFailRate(bool on) {
  logLine(__LINE__, "setFailRate", std::string("SetFailRate") + (on ? "1" : "0"));
  uint8_t b = on ? 1 : 0;
  DrvReply reply;
  return DRV_Request(RQC_SETFAILRATE, &b, 1, 1, reply);
}
