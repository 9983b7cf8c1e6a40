#include "kernel/filter/packet_path.h"

#include "byte_order.h"
#include "crypto/random.h"
#include "kernel/filter/dns_inspection.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/firewall_checks.h"
#include "kernel/filter/flow_control.h"
#include "kernel/filter/icmp_redirect.h"
#include "kernel/filter/memory_pool.h"
#include "kernel/filter/request_dispatcher.h"
#include "kernel/filter/send_queues.h"
#include "kernel/filter/statistics.h"
#include "kernel/filter/syn_replies.h"
#include "kernel/filter/tunnel_batch.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_data.h"
#include "kernel/filter/wire_format.h"

using namespace zor::tunnel;

extern "C" {
alignas(8) uint8_t framePORTTERM[FRAME_COPY_SIZE];
alignas(8) uint8_t framePORTNET[FRAME_COPY_SIZE];
alignas(8) uint8_t fragframe[FRAME_COPY_SIZE];
}

namespace {

constexpr uint16_t kEthRarp = 0x8035, kEthIpv6 = 0x86DD;
constexpr uint16_t kPppIpv4 = 0x0021;
// A PPP frame starts with its 2-byte protocol field, copied to where the
// EtherType of the Ethernet shape goes.
constexpr uint32_t kPppProtoLen = 2;
constexpr uint32_t kMinSynCopyUdp = 44;
constexpr uint8_t kDynCfgBlockUnknown = 0x01;

bool connected(void) { return client.state == kConnected; }

uint32_t tonet(uint32_t direction) { return direction == PORT_TERM ? 1 : 0; }

void put_macs(uint8_t *f, const char *twelve) { memcpy(f, twelve, ETHH_TYPE); }

// A raw IPv4 header gets its checksum only when the sender left it to be
// filled in (0); a header too short for one, or a wrong checksum, stays as
// it came, for the IPv4 checks to judge.
void fill_raw_checksum(uint8_t *ip, uint32_t len) {
  if (len < IPH_MIN_LEN || IpVersion(ip) != IP_VERSION_4) return;
  uint32_t ihl = IpHeaderLen(ip);
  if (ihl < IPH_MIN_LEN || ihl > len) return;
  if (load_be16(ip + IPH_CHECKSUM) == 0) CalcChecksum(ip);
}

// The frame's len bytes to dst: from the copy the frame came in, or from the
// host's buffer. 0 on success.
uint32_t copy_frame(const FrameContext *ctx, uint8_t *dst, uint32_t len) {
  if (!ctx->copy) return DrvCopyFrame(nullptr, ctx->netbuf, dst, len);
  memcpy(dst, ctx->copy, len);
  return 0;
}

// Copies the frame into f with an Ethernet shape. VERDICT_CONTINUE when it
// was shaped (length updated), else the verdict.
uint32_t shape(const FrameContext *ctx, uint8_t *f, uint32_t *length) {
  const FilterAdapter *a = ctx->adapter;
  uint32_t len = *length;
  switch (a->type) {
    case ADAPTER_RAWIP:
      if (copy_frame(ctx, f + ETH_HEADER_LEN, len)) return VERDICT_NOT_HANDLED;
      put_macs(f, "EIPMACEIPMAC");
      store_be16(f + ETHH_TYPE, ETH_TYPE_IPV4);
      fill_raw_checksum(f + ETH_HEADER_LEN, len);
      *length = len + ETH_HEADER_LEN;
      return VERDICT_CONTINUE;
    case ADAPTER_PPP:
      if (len < kPppProtoLen) return VERDICT_PASS;
      if (copy_frame(ctx, f + ETHH_TYPE, len)) return VERDICT_NOT_HANDLED;
      if (load_be16(f + ETHH_TYPE) != kPppIpv4 || len <= kPppProtoLen ||
          IpVersion(f + ETH_HEADER_LEN) != IP_VERSION_4)
        return VERDICT_PASS;
      put_macs(f, "PPPMACPPPMAC");
      store_be16(f + ETHH_TYPE, ETH_TYPE_IPV4);
      fill_raw_checksum(f + ETH_HEADER_LEN, len - kPppProtoLen);
      *length = len + ETHH_TYPE;
      return VERDICT_CONTINUE;
    case ADAPTER_NOMAC:
      if (copy_frame(ctx, f + ETHH_TYPE, len)) return VERDICT_NOT_HANDLED;
      put_macs(f, "NOMACSNOMACS");
      *length = len + ETHH_TYPE;
      return VERDICT_CONTINUE;
    case ADAPTER_ETHERNET:
      if (len < ETH_HEADER_LEN) return VERDICT_TAKEN;
      if (copy_frame(ctx, f, len)) return VERDICT_NOT_HANDLED;
      return VERDICT_CONTINUE;
    default:
      return VERDICT_PASS;
  }
}

uint32_t masked(uint32_t verdict, uint32_t direction, uint8_t *f, uint32_t len) {
  if (verdict != VERDICT_PASS && direction == PORT_TERM) CLI_MASK_OPEN_DATA(f, len, 0);
  return verdict;
}

// Non-IP frames: bit 0 of the policy byte blocks them; on the tunnel
// adapter of a connected session the tunnel's merged flags decide.
uint32_t check_non_ip(const FrameContext *ctx, uint32_t len) {
  uint8_t policy = client.init_record[init::kDirFlags1];
  if (connected() && ctx->adapter == FilterGetVpnAdapter()) policy = client.dir_flags1;
  if (!(policy & DIR_BLOCK_NON_IP)) {
    StatIncOpenOkRecvSend();
    return VERDICT_PASS;
  }
  StatIncProhibitRecvSend(ctx->stat_entry);
  return masked(VERDICT_TAKEN, ctx->direction, ctx->frame, len);
}

// The handshake datagrams of the service while the SYN-copy window is open:
// VERDICT_PASS lets the frame pass, VERDICT_CONTINUE goes on with the IPv4
// decision.
uint32_t syn_copy_window(uint32_t direction, uint8_t *ip, uint32_t len) {
  if (curtick >= probe_deadline || len < IPH_MIN_LEN + UDPH_SIZE ||
      ip[IPH_PROTO] != IPPROTO_UDP_NUM)
    return VERDICT_CONTINUE;
  uint32_t ihl = IpHeaderLen(ip);
  if (ihl < IPH_MIN_LEN || ihl + UDPH_SIZE > len) return VERDICT_CONTINUE;
  uint8_t *udp = ip + ihl;
  uint32_t ulen = load_be16(udp + UDPH_LEN);
  if (ulen < UDPH_SIZE || ihl + ulen > len) return VERDICT_CONTINUE;
  const uint32_t n = ulen - UDPH_SIZE;
  if (direction == PORT_TERM) {
    bool own = n == client.last_datagram_len &&
               zor::wire::SameBytes(udp + UDPH_SIZE, client.last_datagram, n);
    return own ? VERDICT_PASS : VERDICT_CONTINUE;
  }
  if (!IsValidIpChkSum(ip) || ulen < kMinSynCopyUdp) return VERDICT_CONTINUE;
  uint32_t out = 0;
  return ClientTreatSynPacket(udp + UDPH_SIZE, n, n, &out, 1) == 0 ? VERDICT_PASS
                                                                   : VERDICT_CONTINUE;
}

uint32_t handle_frame(FrameContext *ctx, uint32_t length) {
  FilterAdapter *a = ctx->adapter;
  uint32_t direction = ctx->direction;
  if (a->filterstate != ADAPTER_READY) return VERDICT_NOT_HANDLED;
  if (length > MAX_FRAME_LEN) return VERDICT_TAKEN;
  if (direction > PORT_NET) return VERDICT_NOT_HANDLED;
  uint8_t *f = ctx->frame = direction == PORT_NET ? framePORTNET : framePORTTERM;
  uint32_t len = length;
  uint32_t v = shape(ctx, f, &len);
  if (v != VERDICT_CONTINUE) return masked(v, direction, f, len);
  ctx->port = &a->ports[direction];
  LinkInfo link = DetectFrameAndPid(f, len);
  if (link.headerlen == LINK_TOO_SHORT || link.headerlen > len)
    return masked(VERDICT_TAKEN, direction, f, len);
  if (link.kind != LINK_ETHERNET_II) return check_non_ip(ctx, len);
  if (link.pid != ETH_TYPE_IPV4) {
    if (FIREWALL_CheckPacket(FW_DIRECT, a, f, nullptr, len, tonet(direction), nullptr))
      return masked(VERDICT_TAKEN, direction, f, len);
    switch (link.pid) {
      case ETH_TYPE_ARP:
        if (!connected() || direction == PORT_NET) return VERDICT_PASS;
        return masked(ARPPacketReceived(ctx, ETH_HEADER_LEN, f + ETH_HEADER_LEN,
                                        len - ETH_HEADER_LEN),
                      direction, f, len);
      case kEthRarp:
      case ETH_TYPE_EAPOL: return VERDICT_PASS;
      case kEthIpv6: return masked(VERDICT_TAKEN, direction, f, len);
      default: return check_non_ip(ctx, len);
    }
  }
  uint8_t *ip = f + ETH_HEADER_LEN;
  v = syn_copy_window(direction, ip, len - ETH_HEADER_LEN);
  if (v == VERDICT_CONTINUE) v = IPPacketReceived(ctx, ETH_HEADER_LEN, ip, len - ETH_HEADER_LEN);
  return masked(v, direction, f, len);
}

// ---- IPv4 decision -------------------------------------------------------

uint32_t queue_parts(const FrameContext *ctx, const uint8_t *head, uint32_t headlen,
                     const uint8_t *body, uint32_t bodylen, uint32_t tunnel, uint32_t tonetwork) {
  // What the tunnel's batch holds was built first, and goes first.
  if (tonetwork) GuardBatchFlush();
  FilterFrame *frame = FilterNewFrame(ctx, tunnel, tonetwork, headlen + bodylen);
  if (!frame) return 1;
  memcpy(frame->data, head, headlen);
  if (bodylen) memcpy(frame->data + headlen, body, bodylen);
  if (DrvSetFrameToSend(frame) == 0) return 0;
  MVFree(frame);
  return 1;
}

uint32_t final_step(IPPacket *p) {
  if (!p->reassembled) return VERDICT_PASS;
  if (AddToSend(p->ctx, p->frame, p->linklen + p->total, 0, tonet(p->ctx->direction)))
    return VERDICT_NOT_HANDLED;
  StatIncOkRecvSend(p->ctx->stat_entry);
  return VERDICT_TAKEN;
}

uint32_t local_filter_step(IPPacket *p) {
  if (IPCheckFilter(p)) return VERDICT_TAKEN;
  return final_step(p);
}

uint32_t firewall_step(IPPacket *p) {
  if (FIREWALL_CheckPacket(FW_DIRECT, p->ctx->adapter, p->frame, p->ip, p->linklen + p->total,
                           tonet(p->ctx->direction), nullptr)) {
    StatIncProhibitRecvSend(p->ctx->stat_entry);
    return VERDICT_TAKEN;
  }
  return final_step(p);
}

uint32_t tunnel_mtu(void) {
  FilterAdapter *t = FilterGetVpnAdapter();
  if (!t) return ETH_DEFAULT_MTU;
  if (t->mtu) return t->mtu > IP_MAX_TOTAL_LEN ? IP_MAX_TOTAL_LEN : t->mtu;
  return t->maxframelen - ETH_HEADER_LEN;
}

void record_segment_size(FirewallSession *s, IPPacket *p) {
  uint32_t mss = IPClampMss(p, tunnel_mtu());
  if (!mss || !s || s->proto != IPPROTO_TCP_NUM) return;
  FwTcpData *d = FwTcp(s);
  if (!d->segsize || mss < d->segsize) d->segsize = (uint16_t)mss;
}

// The link header of a datagram to the gateway.
void gateway_link_header(const IPPacket *p, uint8_t eth[ETH_HEADER_LEN]) {
  FilterAdapter *t = FilterGetVpnAdapter();
  memcpy(eth + ETHH_DST, guard.gwmac, ETHH_SRC - ETHH_DST);
  memcpy(eth + ETHH_SRC, t ? t->hardaddr : p->frame + ETHH_SRC, ETHH_TYPE - ETHH_SRC);
  store_be16(eth + ETHH_TYPE, ETH_TYPE_IPV4);
}

// One packet, or one segment of a cut packet, into the tunnel's batch.
uint32_t batch_into_tunnel(IPPacket *p) {
  StatIncRecvPacks(p->ctx->stat_entry);
  if (ProxyRewritePacket(p, 0)) return VERDICT_TAKEN;
  uint8_t eth[ETH_HEADER_LEN];
  gateway_link_header(p, eth);
  return GuardBatchAdd(p, eth);
}

// Encapsulates one packet and queues it for the gateway: in the batch of the
// call when it has one, else protected in place.
uint32_t send_into_tunnel(IPPacket *p) {
  const FrameContext *ctx = p->ctx;
  if (ctx->batched) return batch_into_tunnel(p);
  StatIncRecvPacks(ctx->stat_entry);
  if (ProxyRewritePacket(p, 0)) return VERDICT_TAKEN;
  uint32_t ihl = p->ihl;
  uint32_t udplen = GuardTreatSendPack(p);
  // A packet that cannot be wrapped is dropped, never sent in clear.
  if (!udplen) return VERDICT_TAKEN;
  uint8_t eth[ETH_HEADER_LEN];
  gateway_link_header(p, eth);
  if (queue_parts(ctx, eth, ETH_HEADER_LEN, ctx->work, ihl + udplen, 1, 1))
    return VERDICT_NOT_HANDLED;
  StatIncOkRecvSend(ctx->stat_entry);
  return VERDICT_TAKEN;
}

// Cuts a TCP packet larger than the session's segment size into segments
// and adds them to the tunnel's batch. Each segment's headers
// are made in fragframe; its data stays where it is until its datagram is
// built (IPPacket::cut_data).
uint32_t segment_into_tunnel(IPPacket *p, uint32_t segsize) {
  uint8_t *tcp = p->ip + p->ihl;
  uint32_t thl = TcpHeaderLen(tcp);
  uint32_t limit = tunnel_mtu();
  uint32_t room = limit > thl + FilterGetMaxHeaderSize() + IPH_MIN_LEN
                      ? limit - (thl + FilterGetMaxHeaderSize() + IPH_MIN_LEN)
                      : 0;
  if (room && room < segsize) segsize = room;
  if (!segsize || thl + segsize >= p->payload) return send_into_tunnel(p);
  uint32_t data = p->payload - thl, seq = load_be32(tcp + TCPH_SEQ);
  uint8_t flags = tcp[TCPH_FLAGS];
  uint32_t head = p->linklen + p->ihl + thl;
  for (uint32_t off = 0; off < data; off += segsize) {
    uint32_t n = data - off < segsize ? data - off : segsize;
    bool last = off + n == data;
    memcpy(fragframe, p->frame, head);
    IPPacket s = *p;
    s.frame = fragframe;
    s.ip = fragframe + p->linklen;
    s.cut_data = tcp + thl + off;
    uint8_t *st = s.ip + p->ihl;
    store_be32(st + TCPH_SEQ, seq + off);
    st[TCPH_FLAGS] = last ? flags : (uint8_t)(flags & ~(TCP_PSH | TCP_FIN));
    s.total = p->ihl + thl + n;
    s.payload = thl + n;
    s.buflen = s.total;
    store_be16(s.ip + IPH_TOTAL_LEN, (uint16_t)s.total);
    CalcChecksum(s.ip);
    uint32_t v = batch_into_tunnel(&s);
    if (v != VERDICT_TAKEN) return v;
  }
  return VERDICT_TAKEN;
}

uint32_t outgoing_tunnelled(IPPacket *p) {
  FrameContext *ctx = p->ctx;
  if (ctx->port->redirectpending) {
    SendIcmpRedirect(p, ctx->port->redirectcode);
    ctx->port->redirectpending = 0;
  }
  FirewallSession *s = nullptr;
  if (FIREWALL_CheckPacket(FW_TUNNELLED, ctx->adapter, p->frame, p->ip, p->linklen + p->total,
                           1, &s)) {
    StatIncRecvErrPacks(ctx->stat_entry);
    return VERDICT_TAKEN;
  }
  record_segment_size(s, p);
  const uint32_t segsize = s && s->proto == IPPROTO_TCP_NUM ? FwTcp(s)->segsize : 0;
  const bool cut = segsize && p->payload - TcpHeaderLen(p->ip + p->ihl) > segsize;
  const uint32_t v = cut ? segment_into_tunnel(p, segsize) : send_into_tunnel(p);
  // A packet for the tunnel that finds no frame memory or queue is dropped:
  // let through, it would go on the wire in clear.
  return v == VERDICT_NOT_HANDLED ? VERDICT_TAKEN : v;
}

uint32_t outgoing(IPPacket *p) {
  if (DNS_CheckPacket(p, 1)) return VERDICT_TAKEN;
  if (connected() && IPCheckNonGuardPacket(p) == 0) return final_step(p);
  uint32_t index = FindClient(p->dst, true, true);
  if (index == zor::addr::kNotFound) return local_filter_step(p);
  p->ctx->stat_entry = index;
  if (connected()) return outgoing_tunnelled(p);
  if (client.table.e[index].kind != zor::addr::kGateway || client.state < kTransportReady)
    return local_filter_step(p);
  if (ClientIsSendInitVPNPack(p->ip, p->total) == 1) {
    static const uint8_t zero[ETH_ADDR_LEN] = {};
    if (!zor::wire::SameBytes(p->frame, zero, ETH_ADDR_LEN))
      memcpy(guard.gwmac, p->frame, ETH_ADDR_LEN);
    memcpy(guard.ownip, p->ip + IPH_SRC, 4);
  }
  return firewall_step(p);
}

uint32_t from_gateway(IPPacket *p) {
  FrameContext *ctx = p->ctx;
  if (p->proto != IPPROTO_UDP_NUM || p->sport != zor::wire::kGatewayPort ||
      p->dport != client.sock_port || IsInvalidUdpTcpChkSum(p->ip)) {
    StatIncRecvErrPacks(ctx->stat_entry);
    return VERDICT_TAKEN;
  }
  int32_t r = GuardTreatRecvPack(p);
  if (r < 0) {
    StatIncRecvErrPacks(ctx->stat_entry);
    return VERDICT_TAKEN;
  }
  memcpy(guard.gwmac, p->frame + ETHH_SRC, ETH_ADDR_LEN);
  if (r > 0) return VERDICT_TAKEN;
  if (p->clientindex) ctx->stat_entry = p->clientindex;
  if (IPParsePacket(p) || ProxyRewritePacket(p, 1)) return VERDICT_TAKEN;
  CalcChecksum(p->ip);
  if (DNS_CheckPacket(p, 0)) return VERDICT_TAKEN;
  FirewallSession *s = nullptr;
  if (FIREWALL_CheckPacket(FW_TUNNELLED, ctx->adapter, p->frame, p->ip, p->linklen + p->total,
                           0, &s)) {
    StatIncRecvErrPacks(ctx->stat_entry);
    return VERDICT_TAKEN;
  }
  record_segment_size(s, p);
  StatIncRecvPacks(ctx->stat_entry);
  // An opened packet that cannot be queued is dropped and counted: handed
  // back, the host would pass the gateway's datagram up to the stack unopened.
  if (AddToSend(ctx, p->frame, p->linklen + p->total, 1, 0)) {
    StatIncRecvErrPacks(ctx->stat_entry);
    return VERDICT_TAKEN;
  }
  StatIncOkRecvSend(ctx->stat_entry);
  return VERDICT_TAKEN;
}

uint32_t incoming_not_connected(IPPacket *p, uint32_t index) {
  if (index == zor::addr::kNotFound || client.table.e[index].kind != zor::addr::kGateway ||
      client.state < kTransportReady)
    return local_filter_step(p);
  static const uint8_t zero[ETH_ADDR_LEN] = {};
  if (zor::wire::SameBytes(p->frame + ETHH_SRC, zero, ETH_ADDR_LEN)) return firewall_step(p);
  memcpy(guard.gwmac, p->frame + ETHH_SRC, ETH_ADDR_LEN);
  if (p->tos == FLT_IPH_TOS) return firewall_step(p);
  p->ip[IPH_TOS] = FLT_IPH_TOS;
  CalcChecksum(p->ip);
  if (AddToSend(p->ctx, p->frame, p->linklen + p->total, 1, 0)) return VERDICT_NOT_HANDLED;
  StatIncOkRecvSend(p->ctx->stat_entry);
  return VERDICT_TAKEN;
}

uint32_t incoming(IPPacket *p) {
  if (connected() && IPCheckNonGuardPacket(p) == 0) return final_step(p);
  uint32_t index = FindClient(p->src, true, false);
  if (index != zor::addr::kNotFound) p->ctx->stat_entry = index;
  if (!connected()) return incoming_not_connected(p, index);
  // ICMP errors go to the firewall check; nothing in them is refused here.
  if (p->proto == IPPROTO_ICMP_NUM) return firewall_step(p);
  if (index == zor::addr::kNotFound) {
    if (zor::addr::DynCfgOf(client.DynCfg)->flags & kDynCfgBlockUnknown) return VERDICT_TAKEN;
    return local_filter_step(p);
  }
  uint8_t kind = client.table.e[index].kind;
  if (kind == zor::addr::kGateway) return from_gateway(p);
  if (kind != zor::addr::kTunnelled && kind != zor::addr::kLearnt)
    StatIncRecvErrPacks(p->ctx->stat_entry);
  else if (!IPCheckFilter(p))
    StatIncRecvErrPacks(p->ctx->stat_entry);
  return VERDICT_TAKEN;
}

// The packet path for one frame, lock 0 held. A copied frame it lets
// through goes up to the local stack in its place, behind what the packet
// path queued before it.
uint32_t decide(FrameContext *ctx, uint32_t length) {
  uint32_t v = handle_frame(ctx, length);
  if (ctx->direction == PORT_TERM && vmeminfo) FlowAfterStackFrame(ctx->adapter->host->netdev);
  if (ctx->copy && v != VERDICT_TAKEN) {
    if (AddToSend(ctx, ctx->copy, length, 0, 0)) StatIncRecvErrPacks(STAT_NO_ENTRY);
    v = VERDICT_TAKEN;
  }
  return v;
}

// Lock 0 is released with the tunnel's batch closed; its batches go to the
// workers after.
void release_core_lock(void) {
  GuardBatchFlush();
  DrvFilterUnLock(FLT_LOCK_CORE);
  GuardHandOff();
}

FrameContext context_of(FilterAdapter *adapter, void *netbuf, uint32_t direction) {
  return {adapter, netbuf, nullptr, nullptr, direction, STAT_NO_ENTRY, compack, nullptr, nullptr, 0};
}

uint32_t receive(FrameContext *ctx, uint32_t length) {
  if (!CLI_FilterStarted) return VERDICT_PASS;
  if (!ctx->adapter) return VERDICT_NOT_HANDLED;
  DrvFilterLock(FLT_LOCK_CORE);
  uint32_t v = decide(ctx, length);
  release_core_lock();
  return v;
}

}  // namespace

extern "C" {

uint32_t RecvHandler(FilterAdapter *adapter, uint32_t direction, void *netbuf, uint32_t length) {
  FrameContext ctx = context_of(adapter, netbuf, direction);
  ctx.batched = KERN_work_workers() != 0;
  return receive(&ctx, length);
}

uint32_t RecvFromNetwork(FilterAdapter *adapter, void *netbuf, const uint8_t *copy,
                         uint32_t length, const GuardOpened *opened) {
  FrameContext ctx = context_of(adapter, netbuf, PORT_NET);
  ctx.copy = copy;
  ctx.opened = opened;
  return receive(&ctx, length);
}

void RecvFromStack(FilterAdapter *adapter, void *const *netbufs, uint32_t count,
                   uint32_t *verdicts) {
  if (!CLI_FilterStarted) {
    for (uint32_t i = 0; i < count; i++) verdicts[i] = VERDICT_PASS;
    return;
  }
  DrvFilterLock(FLT_LOCK_CORE);
  for (uint32_t i = 0; i < count; i++) {
    FrameContext ctx = context_of(adapter, netbufs[i], PORT_TERM);
    ctx.batched = 1;
    verdicts[i] = decide(&ctx, KERN_netbuf_len(netbufs[i]));
  }
  release_core_lock();
}

uint32_t IPPacketReceived(FrameContext *ctx, uint32_t linklen, uint8_t *ip, uint32_t length) {
  if (length < IPH_MIN_LEN) return VERDICT_TAKEN;
  if (IpVersion(ip) != IP_VERSION_4) return VERDICT_PASS;
  uint32_t ihl = IpHeaderLen(ip);
  if (ihl < IPH_MIN_LEN || ihl > length) return VERDICT_TAKEN;
  uint32_t direction = ctx->direction;
  if (direction == PORT_NET && !IsValidIpChkSum(ip)) return VERDICT_TAKEN;
  uint32_t total = load_be16(ip + IPH_TOTAL_LEN);
  if (direction == PORT_TERM && total == 0)
    store_be16(ip + IPH_TOTAL_LEN, (uint16_t)(total = length));
  if (total > length) return VERDICT_PASS;
  if (total < ihl) store_be16(ip + IPH_TOTAL_LEN, (uint16_t)(total = length));

  IPPacket p = {};
  p.frame = ctx->frame;
  p.linklen = linklen;
  p.ip = ip;
  p.buflen = total;
  p.ctx = ctx;
  if (IPParsePacket(&p)) return VERDICT_TAKEN;
  if ((p.mf || p.fragoff) && IPReassemble(&p, direction)) return VERDICT_TAKEN;
  if (ProxyIsProxyPacket(&p)) return final_step(&p);
  DNS_InspectPacket(&p);
  return direction == PORT_TERM ? outgoing(&p) : incoming(&p);
}

uint32_t ARPPacketReceived(const FrameContext *ctx, uint32_t linklen, uint8_t *body,
                           uint32_t bodylen) {
  const uint8_t *frame = ctx->frame;
  const auto *rq = reinterpret_cast<const ArpEthIpv4 *>(body);
  if (linklen != ETH_HEADER_LEN || bodylen < sizeof(ArpEthIpv4) ||
      load_be16(rq->htype) != ARP_HTYPE_ETHERNET || load_be16(rq->ptype) != ETH_TYPE_IPV4 ||
      rq->hlen != ARP_HLEN_ETHERNET || rq->plen != ARP_PLEN_IPV4 ||
      load_be16(rq->op) != ARP_REQUEST)
    return 0;
  uint32_t index = FindClient(load_be32(rq->tpa), false, false);
  if (index == zor::addr::kNotFound) return 0;
  uint8_t kind = client.table.e[index].kind;
  if (kind != zor::addr::kExtraServer && kind != zor::addr::kTunnelled &&
      kind != zor::addr::kLearnt)
    return 0;
  uint8_t reply[ETH_HEADER_LEN + sizeof(ArpEthIpv4)];
  memcpy(reply, frame + ETHH_SRC, ETH_ADDR_LEN);
  memcpy(reply + ETHH_SRC, guard.gwmac, ETH_ADDR_LEN);
  memcpy(reply + ETHH_TYPE, frame + ETHH_TYPE, 2);
  auto *arp = reinterpret_cast<ArpEthIpv4 *>(reply + ETH_HEADER_LEN);
  store_be16(arp->htype, ARP_HTYPE_ETHERNET);
  store_be16(arp->ptype, ETH_TYPE_IPV4);
  arp->hlen = ARP_HLEN_ETHERNET;
  arp->plen = ARP_PLEN_IPV4;
  store_be16(arp->op, ARP_REPLY);
  memcpy(arp->sha, guard.gwmac, ETH_ADDR_LEN);
  memcpy(arp->spa, rq->tpa, 4);
  memcpy(arp->tha, rq->sha, ETH_ADDR_LEN);
  memcpy(arp->tpa, rq->spa, 4);
  // The answer is as long as the request; what follows the ARP body is
  // the request's own bytes.
  const uint32_t rest = bodylen - sizeof(ArpEthIpv4);
  if (queue_parts(ctx, reply, sizeof reply, body + sizeof(ArpEthIpv4), rest, 0, 0)) return 0;
  return 1;
}

LinkInfo DetectFrameAndPid(const uint8_t *f, uint32_t len) {
  LinkInfo too_short = {LINK_TOO_SHORT, 0, 0};
  if (len < LLC_SSAP) return too_short;
  uint16_t type = load_be16(f + ETHH_TYPE);
  if (type >= ETH_MIN_TYPE) return {ETH_HEADER_LEN, LINK_ETHERNET_II, type};
  // An 802.3 frame needs both saps before either is looked at.
  if (len <= LLC_SSAP) return too_short;
  if (f[LLC_DSAP] == LLC_SAP_RAW_IPX && f[LLC_SSAP] == LLC_SAP_RAW_IPX)
    return {ETH_HEADER_LEN, LINK_RAW_8023, ETH_TYPE_IPX};
  bool snap = f[LLC_DSAP] == LLC_SAP_SNAP && f[LLC_SSAP] == LLC_SAP_SNAP;
  bool control3 = len > LLC_CONTROL && f[LLC_CONTROL] == LLC_CONTROL_UI;
  if (snap && control3) {
    if (len < SNAP_HEADER_LEN) return too_short;
    // Only an OUI starting with 0 carries an EtherType.
    uint32_t pid = f[SNAP_OUI] == 0 ? load_be16(f + SNAP_TYPE) : 0;
    return {SNAP_HEADER_LEN, LINK_SNAP, pid};
  }
  if (len < LLC_HEADER_UI_LEN) return too_short;
  uint32_t pid = f[LLC_DSAP] == LLC_SAP_IPX       ? ETH_TYPE_IPX
                 : f[LLC_DSAP] == LLC_SAP_NETBIOS ? LLC_SAP_NETBIOS
                                                  : 0;
  if (snap) pid = 0;
  if (control3 && !snap) return {LLC_HEADER_UI_LEN, LINK_8022, pid};
  if (len == LLC_HEADER_UI_LEN) return too_short;
  return {LLC_HEADER_LEN, LINK_8022, pid};
}

uint32_t AddToSend(const FrameContext *ctx, const uint8_t *frame, uint32_t length, uint32_t tunnel,
                   uint32_t tonetwork) {
  return queue_parts(ctx, frame, length, nullptr, 0, tunnel, tonetwork);
}

FilterFrame *FilterNewFrame(const FrameContext *ctx, uint32_t tunnel, uint32_t tonetwork,
                            uint32_t length) {
  FilterAdapter *a = tunnel ? FilterGetVpnAdapter() : ctx->adapter;
  if (!a || !FilterAdapterListed(a) || a->filterstate != ADAPTER_READY) return nullptr;
  if (length > 0xFFFF) return nullptr;
  auto *frame = static_cast<FilterFrame *>(MVAlloc((uint32_t)sizeof(FilterFrame) + length));
  if (!frame) return nullptr;
  memset(frame, 0, sizeof(FilterFrame));
  frame->adapter = a;
  frame->direction = (uint16_t)(tonetwork ? 1 : 0);
  frame->length = (uint16_t)length;
  return frame;
}

void CLI_MASK_OPEN_DATA(uint8_t *data, uint32_t length, uint32_t) {
  if (!data) return;
  if (!CLI_MASK_OPEN_DATA_rndinited) {
    GetRandomEx(CLI_MASK_OPEN_DATA_rnd, sizeof CLI_MASK_OPEN_DATA_rnd, 0);
    CLI_MASK_OPEN_DATA_rndinited = 1;
  }
  static uint32_t start;
  start++;
  // data[i] = rnd[(i + start) % size]: the table from its start offset, then
  // whole tables, then the table's head.
  const uint32_t size = sizeof CLI_MASK_OPEN_DATA_rnd;
  const uint32_t off = start % size;
  uint32_t i = length < size - off ? length : size - off;
  memcpy(data, CLI_MASK_OPEN_DATA_rnd + off, i);
  for (; i + size <= length; i += size) memcpy(data + i, CLI_MASK_OPEN_DATA_rnd, size);
  memcpy(data + i, CLI_MASK_OPEN_DATA_rnd, length - i);
}

}  // extern "C"
