#include "Service/common/engine/drv_channel.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "Service/common/engine/filter_netlink_seam.h"
#include "Service/common/engine/genl_family.h"
#include "cross/utils/log.h"

int ZorVpnNLSK = -1;
int ZorVpnNLSK_fID = -1;
const char* nm_drvdevname = "/tmp/SolvrnVpn";
std::mutex SendIRP_Busy;
unsigned SendIRP_ReplyTimeoutMs = 10000;

namespace {

constexpr uint32_t NL_SEQ = 50;
constexpr uint8_t REQUEST_CMD = 1;
constexpr uint16_t REQUEST_ATTR = 1;
constexpr unsigned FAMILY_WAIT_MS = 11;

uint32_t u32At(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
uint16_t u16At(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

// A wiped heap buffer that never throws on allocation.
struct NlBuffer {
  uint8_t* p = new (std::nothrow) uint8_t[DRV_NL_BUFFER];
  ~NlBuffer() {
    if (p) DRV_Wipe(p, DRV_NL_BUFFER);
    delete[] p;
  }
};

// Where one exchange goes: the socket (opened on first use, -1 closed), the
// family id (looked up on first use, -1 unknown), the socket's port and how
// long the reply may take.
struct Channel {
  int& sock;
  int& familyId;
  uint32_t port;  // 0: whatever the kernel gave the socket
  unsigned replyTimeoutMs;
};

void closeSocket(Channel& ch) {
  if (ch.sock >= 0) close(ch.sock);
  ch.sock = -1;
}

bool openSocket(Channel& ch, const FilterSeam& seam) {
  if (ch.sock >= 0) return true;
  ch.sock = FilterSeam_OpenSocket(seam, ch.port);
  if (ch.sock >= 0 && ch.port == 0) ch.port = FilterSeam_BoundPort(ch.sock);
  return ch.sock >= 0;
}

size_t buildRequest(const Channel& ch, uint8_t* m, uint32_t code, const void* buf, uint32_t len) {
  uint32_t alen = len + 8;
  uint32_t mlen = 20 + ((alen + 3u) & ~3u);
  std::memset(m, 0, mlen);
  GenlPutHeaders(m, mlen, static_cast<uint16_t>(ch.familyId), NL_SEQ, ch.port, REQUEST_CMD);
  GenlPutAttribute(m + 20, static_cast<uint16_t>(alen), REQUEST_ATTR);
  std::memcpy(m + 24, &code, 4);
  if (len) std::memcpy(m + 28, buf, len);
  return mlen;
}

// The reply checks of one exchange: length, type, sequence, command and
// the attribute bounded by the message.
bool replyValid(const Channel& ch, const uint8_t* r, ssize_t n) {
  if (n < 24) return false;  // the attribute header must have come
  uint32_t nlen = u32At(r);
  if (nlen < 24 || nlen > static_cast<uint32_t>(n)) return false;
  if (u16At(r + 4) != static_cast<uint16_t>(ch.familyId)) return false;
  if (u32At(r + 8) != NL_SEQ || r[16] != REQUEST_CMD || u16At(r + 22) != REQUEST_ATTR) return false;
  uint16_t alen = u16At(r + 20);
  return alen >= 8 && alen <= nlen - 20;
}

// One request is in flight at a time, so whatever waits before a request
// is sent is late: the reply to an earlier request that timed out (every
// reply carries sequence number 50, so it would pass for the next one's).
void dropStaleReplies(const Channel& ch, uint8_t* scratch) {
  while (recv(ch.sock, scratch, DRV_NL_BUFFER, MSG_DONTWAIT) > 0) {
  }
}

// Receives one reply within the channel's time-out.
ssize_t receiveReply(const Channel& ch, uint8_t* r) {
  if (!GenlWaitReadable(ch.sock, static_cast<int>(ch.replyTimeoutMs))) return -1;
  return recv(ch.sock, r, DRV_NL_BUFFER, MSG_DONTWAIT);
}

void logFailure(bool withLead, uint32_t code) {
  std::string text = withLead ? "Can't open device driver. IRP " : "";
  text += DrvRequestName(code);
  text += " (Code " + std::to_string(code) + ") err=5";
  GetLog().WriteToLogFL(__FILE__, __LINE__, "SendIRP", text.c_str());
}

// One exchange on ch, as SendIRP_LINUXNETLINK describes it.
int32_t exchange(Channel& ch, uint32_t code, void* buf, uint32_t len, uint32_t* got) {
  if (got) *got = 0;
  NlBuffer out, in;
  if (!out.p || !in.p) return 1;
  if (len > DRV_MAX_EXCHANGE) return 1;
  FilterSeam seam = FilterSeam_Get();
  if (!openSocket(ch, seam)) return 1;
  bool ok = false;
  if (ch.familyId < 0) ch.familyId = GenlLookupFamily(ch.sock, seam, ch.port, nm_drvdevname, FAMILY_WAIT_MS);
  if (ch.familyId >= 0) {
    dropStaleReplies(ch, in.p);
    size_t mlen = buildRequest(ch, out.p, code, buf, len);
    sockaddr_nl to{};
    to.nl_family = AF_NETLINK;
    to.nl_pid = seam.port;
    if (sendto(ch.sock, out.p, mlen, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0) {
      ssize_t n = receiveReply(ch, in.p);
      ok = replyValid(ch, in.p, n);
    }
  }
  if (!ok) {
    closeSocket(ch);
    return 1;
  }
  uint32_t have = u16At(in.p + 20) - 4u;  // the answer area after the code slot
  uint32_t m = have < len ? have : len;
  if (m) std::memcpy(buf, in.p + 24, m);
  if (len > m) std::memset(static_cast<uint8_t*>(buf) + m, 0, len - m);
  if (got) *got = m;
  return 0;
}

// SendIRP's framing around one exchange: the length prefix in front, the
// status word and the reply size checked after.
template <typename Exchange>
int32_t framedExchange(uint32_t code, void* data, uint32_t len, uint32_t* got, Exchange exchangeOne) {
  if (got) *got = 0;
  uint8_t* prefix = data ? static_cast<uint8_t*>(data) - DRV_PREFIX_ROOM : nullptr;
  uint32_t total = len ? len + 4 : 0;
  uint32_t reply = 0;
  if (prefix) std::memcpy(prefix, &total, 4);
  if (exchangeOne(prefix, prefix ? total : 0, &reply) != 0) {
    logFailure(true, code);
    return DRV_CHANNEL_FAILED;
  }
  if (!data) {
    if (got && reply >= 4) *got = reply - 4;
    return 0;
  }
  if (reply >= 4 && reply <= total) {
    int32_t status;
    std::memcpy(&status, prefix, 4);
    if (got) *got = reply - 4;
    return status < 0 ? status : 0;
  }
  logFailure(false, code);
  return DRV_CHANNEL_FAILED;
}

}  // namespace

bool DrvReply::read(size_t offset, void* dest, size_t count) const {
  if (offset > payload.size() || count > payload.size() - offset) return false;
  if (count) std::memcpy(dest, payload.data() + offset, count);
  return true;
}

void DrvReply::clear() {
  header = DrvRequestHeader{};
  std::vector<uint8_t>().swap(payload);
}

void DRV_Wipe(void* p, size_t count) {
  volatile uint8_t* b = static_cast<volatile uint8_t*>(p);
  for (size_t i = 0; i < count; i++) b[i] = 0;
}

int32_t SendIRP_LINUXNETLINK(uint32_t code, void* buf, uint32_t len, uint32_t* got) {
  Channel process{ZorVpnNLSK, ZorVpnNLSK_fID, static_cast<uint32_t>(getpid()), SendIRP_ReplyTimeoutMs};
  return exchange(process, code, buf, len, got);
}

int32_t SendIRP(uint32_t code, void* data, uint32_t len, uint32_t* got) {
  return framedExchange(code, data, len, got, [code](void* buf, uint32_t n, uint32_t* reply) {
    std::lock_guard<std::mutex> lock(SendIRP_Busy);
    return SendIRP_LINUXNETLINK(code, buf, n, reply);
  });
}

int32_t SendIRP_OwnSocket(uint32_t code, void* data, uint32_t len, uint32_t* got, unsigned replyTimeoutMs) {
  int sock = -1, familyId = -1;
  Channel own{sock, familyId, 0, replyTimeoutMs};
  int32_t r = framedExchange(code, data, len, got, [&](void* buf, uint32_t n, uint32_t* reply) {
    return exchange(own, code, buf, n, reply);
  });
  closeSocket(own);
  return r;
}

namespace {

// DrvBuf: 16 spare bytes and the 18432 travelling ones, wiped on release.
struct DrvBuf {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(DRV_BUF_SIZE, 0);
  ~DrvBuf() { DRV_Wipe(bytes.data(), bytes.size()); }
  uint8_t* travelling() { return bytes.data() + DRV_BUF_SPARE; }
};

void putHeader(uint8_t* at, uint32_t lengthField) {
  DrvRequestHeader h{};
  h.magic = DRV_REQUEST_MAGIC;
  h.length = lengthField;
  std::memcpy(at, &h, sizeof h);
}

}  // namespace

int32_t DRV_Request(int code, const void* payload, uint32_t inLen, uint32_t room, DrvReply& reply) {
  reply.clear();
  DrvBuf buf;
  if (room > DRV_MAX_PAYLOAD || inLen > DRV_MAX_PAYLOAD || (inLen > 0 && !payload))
    return DRV_REPLY_MALFORMED;
  uint8_t* t = buf.travelling();
  putHeader(t, room);
  if (inLen) std::memcpy(t + sizeof(DrvRequestHeader), payload, inLen);
  uint32_t got = 0;
  int32_t r = SendIRP(static_cast<uint32_t>(code), t, DRV_BUFFER_SIZE, &got);
  if (r != 0) return r;
  if (got < sizeof(DrvRequestHeader)) return DRV_REPLY_MALFORMED;
  std::memcpy(&reply.header, t, sizeof reply.header);
  uint32_t L = reply.header.length;
  if (L > DRV_MAX_PAYLOAD || L > got - sizeof(DrvRequestHeader)) return DRV_REPLY_MALFORMED;
  reply.payload.assign(t + sizeof(DrvRequestHeader), t + sizeof(DrvRequestHeader) + L);
  r = reply.header.status;
  if (r == 0 && reply.header.magic != DRV_REQUEST_MAGIC) r = DRV_REPLY_BAD_MAGIC;
  return r;
}

int32_t DRV_RawRequest(int code, const void* data, uint32_t inLen, std::vector<uint8_t>& out,
                       uint32_t* got) {
  out.clear();
  if (got) *got = 0;
  DrvBuf buf;
  if (inLen > DRV_BUFFER_SIZE || (inLen > 0 && !data)) return DRV_REPLY_MALFORMED;
  uint8_t* t = buf.travelling();
  if (inLen) std::memcpy(t, data, inLen);
  uint32_t n = 0;
  int32_t r = SendIRP(static_cast<uint32_t>(code), t, DRV_BUFFER_SIZE, &n);
  if (r == 0) {
    if (got) *got = n;
    out.assign(t, t + DRV_BUFFER_SIZE);
  }
  return r;
}

int32_t DrvRequestFull(int code, const void* payload, uint32_t inLen, uint32_t lengthField,
                       transfertype& header, std::vector<uint8_t>& payloadOut) {
  header = transfertype{};
  payloadOut.clear();
  if (inLen > 0 && !payload) return DRV_REPLY_MALFORMED;
  if (inLen > DRV_MAX_PAYLOAD) return DRV_REPLY_MALFORMED;
  std::vector<uint8_t> request(sizeof(DrvRequestHeader) + inLen);
  putHeader(request.data(), lengthField);
  if (inLen) std::memcpy(request.data() + sizeof(DrvRequestHeader), payload, inLen);
  std::vector<uint8_t> out;
  uint32_t got = 0;
  int32_t r = DRV_RawRequest(code, request.data(), static_cast<uint32_t>(request.size()), out, &got);
  if (r != 0) {
    DRV_Wipe(out.data(), out.size());
    return r;
  }
  if (got < sizeof(DrvRequestHeader)) {
    DRV_Wipe(out.data(), out.size());
    return DRV_REPLY_MALFORMED;
  }
  std::memcpy(&header, out.data(), sizeof header);
  payloadOut.assign(out.begin() + sizeof(DrvRequestHeader), out.begin() + got);
  DRV_Wipe(out.data(), out.size());
  return 0;
}
