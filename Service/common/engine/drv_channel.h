#pragma once
// The daemon's request channel to the filter: one generic-netlink socket,
// one request in flight in the whole process (SendIRP_Busy), buffers wiped
// before release. Layers: SendIRP_LINUXNETLINK (one exchange) < SendIRP
// (length prefix, lock, status, log) < DRV_Request / DRV_RawRequest /
// DrvRequestFull (framed and unframed requests).
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "kernel/include/drv_requests.h"

// The request socket (-1 closed) and the cached family id (-1 unknown; once
// found it stays for the life of the process). Touched only under SendIRP_Busy.
extern int ZorVpnNLSK;
extern int ZorVpnNLSK_fID;
// The request family's name, "/tmp/SolvrnVpn".
extern const char* nm_drvdevname;
// Serialises every request; the innermost lock of the daemon.
extern std::mutex SendIRP_Busy;
// How long one exchange may wait for its reply (ms). A dead host counts as a
// transport failure (5) and the socket is reopened by the next request.
extern unsigned SendIRP_ReplyTimeoutMs;

// Spare bytes in front of every buffer handed to SendIRP: it writes its u32
// length prefix into the 4 bytes before `data`.
constexpr size_t DRV_PREFIX_ROOM = 4;
// DrvBuf: 16 spare bytes, then the 18432 bytes that travel.
constexpr size_t DRV_BUF_SPARE = 16;
constexpr size_t DRV_BUF_SIZE = DRV_BUF_SPARE + DRV_BUFFER_SIZE;  // 18448
// Netlink send and receive buffers; data of one exchange stay below 65528.
constexpr size_t DRV_NL_BUFFER = 65556;
// The most bytes one exchange carries (its len; n + 8 must fit the u16
// attribute length).
constexpr uint32_t DRV_MAX_EXCHANGE = 65535 - 8;

// One reply of a framed request: the header copy and exactly header.length
// payload bytes.
struct DrvReply {
  DrvRequestHeader header{};
  std::vector<uint8_t> payload;
  // Copies count payload bytes from offset; false (nothing copied) past the end.
  bool read(size_t offset, void* dest, size_t count) const;
  void clear();
};
// The 24-byte header as DrvRequestFull returns it.
using transfertype = DrvRequestHeader;

// One exchange: sends code + len bytes of buf, overwrites buf with the reply
// data (the rest zeroed, *got = bytes copied). 0 success, 1 any failure
// (the socket is closed; the family id stays cached).
int32_t SendIRP_LINUXNETLINK(uint32_t code, void* buf, uint32_t len, uint32_t* got);
// The gate: writes the u32 prefix (len + 4) at data - 4, exchanges under
// SendIRP_Busy; 0, the negative answer word, or 5 (transport or size
// failure, logged "Can't open device driver. IRP ..."). *got = reply bytes
// after the prefix. data must have DRV_PREFIX_ROOM writable bytes in front.
int32_t SendIRP(uint32_t code, void* data, uint32_t len, uint32_t* got);
// SendIRP on a socket of its own, opened for this one request and closed
// after it, beside the others (SendIRP_Busy is not taken) and with its own
// reply time-out: for the shutdown's watchdog, whose request must not wait
// behind one that hangs.
int32_t SendIRP_OwnSocket(uint32_t code, void* data, uint32_t len, uint32_t* got, unsigned replyTimeoutMs);
// A framed request 0-47: header (magic, length = room) + inLen payload bytes;
// 0, the reply's status (payload still delivered), -1001 (zero status, wrong
// magic), -1002 (sizes), or what SendIRP returned.
int32_t DRV_Request(int code, const void* payload, uint32_t inLen, uint32_t room, DrvReply& reply);
// An unframed request: the 18432 travelling bytes come back in out; *got =
// reply bytes. SendIRP's result, -1002 for inLen > 18432.
int32_t DRV_RawRequest(int code, const void* data, uint32_t inLen, std::vector<uint8_t>& out,
                       uint32_t* got);
// A framed request through DRV_RawRequest: the reply header and payload to
// the caller unexamined; 0, -1002 (short reply or request), or the result.
int32_t DrvRequestFull(int code, const void* payload, uint32_t inLen, uint32_t lengthField,
                       transfertype& header, std::vector<uint8_t>& payloadOut);
// Sets count bytes to zero one at a time (not optimised away).
void DRV_Wipe(void* p, size_t count);
