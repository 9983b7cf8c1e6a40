#include "kernel/filter/tunnel_batch.h"

#include "byte_order.h"
#include "crypto/wipe.h"

#include "kernel/filter/filter_core.h"
#include "kernel/filter/memory_pool.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/send_queues.h"
#include "kernel/filter/statistics.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_control.h"
#include "kernel/filter/tunnel_data.h"
#include "kernel/filter/wire_format.h"

using zor::tunnel::client;
using zor::tunnel::ClientMagic;

namespace {

// One batch at a time, under lock 0: the frames built, their datagrams.
struct SendBatch {
  FilterFrame *frame[GUARD_BATCH_MAX];
  GuardDataJob job[GUARD_BATCH_MAX];
  uint32_t count;
} batch;

// Works go to the host's workers in turn.
uint32_t next_lane;

// Frames wait in the pool while workers protect them. The reader waits for
// the workers when less than this is left: enough for the datagrams of the
// largest frame, so none finds the pool empty.
constexpr uint32_t kPoolReserve = FLT_POOL_ARENA_SIZE / 4;

// A datagram opened ahead: its received bytes, the opened ones and what
// they were opened under.
struct Ahead {
  uint32_t len, counter, mgm, ok, taken;
  uint8_t key[32], nonce[8];
  uint8_t received[GUARD_AHEAD_SLOT], opened[GUARD_AHEAD_SLOT];
};

struct AheadSet {
  Ahead e[GUARD_AHEAD_MAX];
  uint32_t count;
  GuardDataJob job[GUARD_AHEAD_MAX];
  uint32_t pending;  // entries from count - pending on wait for their opening
} ahead;

void open_pending(uint32_t mgm) {
  if (!ahead.pending) return;
  uint32_t first = ahead.count - ahead.pending;
  GuardOpenDataBatch(ahead.job, ahead.pending, client.client_nonce, mgm);
  for (uint32_t i = 0; i < ahead.pending; i++) ahead.e[first + i].ok = ahead.job[i].ok;
  ahead.pending = 0;
}

constexpr uint32_t kNotTunnel = 0, kData = 1, kControl = 2;

// Where a frame from the network holds a datagram of the gateway: its
// kind, and the datagram in *d, *len.
uint32_t gateway_datagram(uint8_t *f, uint32_t n, uint8_t **d, uint32_t *len) {
  if (n < ETH_HEADER_LEN + IPH_MIN_LEN + UDPH_SIZE || load_be16(f + ETHH_TYPE) != ETH_TYPE_IPV4)
    return kNotTunnel;
  uint8_t *ip = f + ETH_HEADER_LEN;
  uint32_t ihl = IpHeaderLen(ip);
  if (IpVersion(ip) != IP_VERSION_4 || ihl < IPH_MIN_LEN || ip[IPH_PROTO] != IPPROTO_UDP_NUM)
    return kNotTunnel;
  if (load_be16(ip + IPH_FRAG) & (IP_MORE_FRAGMENTS | IP_OFFSET_MASK)) return kNotTunnel;
  if (load_be32(ip + IPH_SRC) != GuardGatewayAddress()) return kNotTunnel;
  uint8_t *udp = ip + ihl;
  uint32_t udplen = ETH_HEADER_LEN + ihl + UDPH_SIZE <= n ? load_be16(udp + UDPH_LEN) : 0;
  if (udplen < GUARD_MIN_UDP || ETH_HEADER_LEN + ihl + udplen > n) return kNotTunnel;
  if (load_be16(udp + UDPH_SPORT) != zor::wire::kGatewayPort ||
      load_be16(udp + UDPH_DPORT) != client.sock_port)
    return kNotTunnel;
  *d = udp + UDPH_SIZE;
  *len = udplen - UDPH_SIZE;
  return zor::wire::PacketTypeOf(*d) == zor::wire::kData ? kData : kControl;
}

}  // namespace

extern "C" {

uint32_t GuardBatchAdd(IPPacket *p, const uint8_t link[ETH_HEADER_LEN]) {
  if (batch.count == GUARD_BATCH_MAX || (batch.count && GuardSendKeyChanges())) {
    uint32_t v = GuardBatchFlush(p->ctx);
    if (v != VERDICT_TAKEN) return v;
  }
  uint32_t ihl = p->ihl;
  FilterFrame *frame =
      FilterNewFrame(p->ctx, 1, 1, ETH_HEADER_LEN + ihl + UDPH_SIZE + GUARD_DATA_HEAD + p->payload);
  if (!frame) return VERDICT_NOT_HANDLED;
  uint32_t n = batch.count;
  uint8_t *ip = frame->data + ETH_HEADER_LEN;
  uint32_t udplen = GuardBuildSendPack(p, ip, &batch.job[n]);
  // A packet that cannot be wrapped is dropped, never sent in clear.
  if (!udplen) {
    MVFree(frame);
    return VERDICT_TAKEN;
  }
  memcpy(frame->data, link, ETH_HEADER_LEN);
  GuardFillOuterHeadersButSum(ip, ihl, udplen);
  batch.frame[n] = frame;
  batch.count = n + 1;
  return VERDICT_TAKEN;
}

uint32_t GuardBatchFlush(FrameContext *ctx) {
  uint32_t n = batch.count, v = VERDICT_TAKEN;
  batch.count = 0;
  if (!n) return v;
  GuardSealWork *w = static_cast<GuardSealWork *>(KERN_kmalloc(sizeof(GuardSealWork)));
  if (!w) {
    for (uint32_t i = 0; i < n; i++) MVFree(batch.frame[i]);
    return VERDICT_NOT_HANDLED;
  }
  // The work keeps what it needs of the session: the next batch may change it.
  w->work.fn = GuardSealAndSend;
  memcpy(w->key, batch.job[0].key, sizeof w->key);
  memcpy(w->nonce, client.gw_nonce, sizeof w->nonce);
  w->mgm = GuardUsesMgm();
  w->count = 0;
  w->lane = next_lane++;
  // Each frame takes its place in the send list now and waits there, marked,
  // until it is protected: whatever is queued after it goes after it.
  for (uint32_t i = 0; i < n; i++) {
    FilterFrame *frame = batch.frame[i];
    frame->sealing = 1;
    if (DrvSetFrameToSend(frame) != 0) {
      MVFree(frame);
      v = VERDICT_NOT_HANDLED;
      continue;
    }
    w->frame[w->count] = frame;
    w->job[w->count] = batch.job[i];
    w->job[w->count].key = w->key;
    w->count++;
    StatIncOkRecvSend(ctx->stat_entry);
  }
  if (KERN_work_workers() == 0 || !w->count) {
    GuardSeal(w, 0);
  } else {
    w->next = ctx->to_hand_off;
    ctx->to_hand_off = w;
  }
  return v;
}

void GuardSeal(GuardSealWork *w, uint32_t drain) {
  GuardSealDataBatch(w->job, w->count, w->nonce, w->mgm);
  for (uint32_t i = 0; i < w->count; i++) CalcUdpTcpChkSum(w->frame[i]->data + ETH_HEADER_LEN);
  DrvFramesSealed(w->frame, w->count, drain);
  zor::crypto::wipe(w->key, sizeof w->key);
  KERN_kfree(w);
}

void GuardSealAndSend(KERN_work *work) { GuardSeal(reinterpret_cast<GuardSealWork *>(work), 1); }

void GuardHandOff(GuardSealWork *works) {
  // Built last first: handed over in the order they were built.
  GuardSealWork *ordered = nullptr;
  while (works) {
    GuardSealWork *next = works->next;
    works->next = ordered;
    ordered = works;
    works = next;
  }
  while (ordered) {
    GuardSealWork *next = ordered->next;
    KERN_work_queue(&ordered->work, ordered->lane);
    ordered = next;
  }
}

void GuardLeaveRoom(void) {
  if (KERN_work_workers() == 0 || MVFreeBytes() >= kPoolReserve) return;
  DrvFilterUnLock(FLT_LOCK_CORE);
  KERN_work_flush();
  DrvFilterLock(FLT_LOCK_CORE);
}

}  // extern "C"

extern "C" {

void GuardOpenAhead(void *const *netbufs, uint32_t count) {
  DrvFilterLock(0);
  ahead.count = 0;
  ahead.pending = 0;
  uint32_t mgm = GuardUsesMgm();
  bool keys = (client.session_flags & GUARD_KEYS_EXIST) && ClientMagic() == zor::wire::kMagic;
  // framePORTNET is the copy area of frames from the network, free under lock 0.
  for (uint32_t k = 0; keys && k < count && k < GUARD_AHEAD_MAX; k++) {
    uint32_t n = KERN_netbuf_len(netbufs[k]);
    if (n > FRAME_COPY_SIZE || KERN_netbuf_getdata(netbufs[k], framePORTNET, n)) continue;
    uint8_t *d;
    uint32_t len;
    uint32_t kind = gateway_datagram(framePORTNET, n, &d, &len);
    if (kind == kControl) break;
    if (kind != kData || len < GUARD_DATA_HEAD || len > GUARD_AHEAD_SLOT) continue;
    uint32_t counter = zor::wire::As<zor::wire::DataHead>(d)->counter;
    // The receive key buffer changes with the key index: open what waits first.
    if (GuardKeyIndex(counter) != guard.recv_index) open_pending(mgm);
    UpdatePacketKey(0, counter);
    Ahead &e = ahead.e[ahead.count];
    e.len = len;
    e.counter = counter;
    e.mgm = mgm;
    e.ok = 0;
    e.taken = 0;
    memcpy(e.key, client.keys.recv_packet_key, 32);
    memcpy(e.nonce, client.client_nonce, 8);
    memcpy(e.received, d, len);
    memcpy(e.opened, d, len);
    ahead.job[ahead.pending++] = {e.opened, len, counter, client.keys.recv_packet_key, 0};
    ahead.count++;
  }
  open_pending(mgm);
  DrvFilterUnLock(0);
}

uint32_t GuardTakeOpenedAhead(uint8_t *d, uint32_t len, const uint8_t key[32], uint32_t counter,
                              const uint8_t nonce[8], uint32_t mgm, uint32_t *ok) {
  for (uint32_t i = 0; i < ahead.count; i++) {
    Ahead &e = ahead.e[i];
    if (e.taken || e.len != len || e.counter != counter || e.mgm != mgm) continue;
    if (!zor::wire::SameBytes(e.key, key, 32) || !zor::wire::SameBytes(e.nonce, nonce, 8)) continue;
    if (!zor::wire::SameBytes(e.received, d, len)) continue;
    e.taken = 1;
    memcpy(d, e.opened, len);
    *ok = e.ok;
    return 1;
  }
  return 0;
}

}  // extern "C"
