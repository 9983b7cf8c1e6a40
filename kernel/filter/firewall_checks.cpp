#include "kernel/filter/firewall_checks.h"

#include "byte_order.h"
#include "kernel/filter/adapters.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/memory_pool.h"
#include "kernel/filter/send_queues.h"

extern "C" {
uint8_t FLT_IPH_DEFTTL = 64;
uint8_t FLT_IPH_TOS = 0;
}

namespace {

constexpr uint64_t kMaxStatGap = 500000;
constexpr uint64_t kTicksPerMinute = 1080;
constexpr uint32_t kMinFrame = 60;
// A reset: Ethernet, IPv4 and TCP headers, with the timestamps option
// (two NOPs ahead of it, TSval, TSecr) or without.
constexpr uint8_t kTsOption[] = {TCPOPT_NOP, TCPOPT_NOP, TCPOPT_TIMESTAMP, TCPOLEN_TIMESTAMP};
constexpr uint32_t kTsOptionsLen = sizeof kTsOption + 8;
constexpr uint32_t kTsvalAt = TCPH_OPTIONS + sizeof kTsOption, kTsecrAt = kTsvalAt + 4;
constexpr uint32_t kResetLen = ETH_HEADER_LEN + IPH_MIN_LEN + TCPH_MIN_LEN;
constexpr uint32_t kResetLenTs = kResetLen + kTsOptionsLen;
static_assert(kResetLen == 54 && kResetLenTs == 66, "reset frame lengths");
constexpr uint32_t kTsvalBump = 1000;

// Network-order u32/u16 fields kept in memory as on the wire.
uint32_t wire32(uint32_t stored) { return load_be32(reinterpret_cast<const uint8_t *>(&stored)); }
uint32_t to_wire32(uint32_t v) {
  uint32_t out;
  store_be32(reinterpret_cast<uint8_t *>(&out), v);
  return out;
}
uint16_t bump16(uint16_t stored) {
  uint16_t out;
  store_be16(reinterpret_cast<uint8_t *>(&out),
             (uint16_t)(load_be16(reinterpret_cast<uint8_t *>(&stored)) + 1));
  return out;
}

bool later(uint32_t a, uint32_t b) { return (int32_t)(a - b) > 0; }

// TSval of the timestamps option, scanned within the header bytes present.
bool find_tsval(const uint8_t *tcp, uint32_t hlen, uint32_t *tsval) {
  const uint8_t *value =
      TcpFindOption(const_cast<uint8_t *>(tcp), hlen, TCPOPT_TIMESTAMP, TCPOLEN_TIMESTAMP);
  if (value) *tsval = load_ne32(value);
  return value != nullptr;
}

void arm(FirewallSession *s, uint64_t ticks) { FIREWALL_AddForCloseByTimeout(s, ticks, 1); }

// The statistics step: the gap since the previous packet of an established
// connection is counted when it is short enough.
void take_stats(uint32_t tunnel, bool established, uint64_t *stamp, uint32_t total,
                uint32_t outgoing) {
  if (!established) {
    *stamp = 0;
    return;
  }
  uint64_t now = 0;
  DrvGetCurFtime(&now);
  if (*stamp && now - *stamp > kMaxStatGap) {
    *stamp = 0;
    return;
  }
  if (*stamp) FIREWALL_AddStat(tunnel, now - *stamp, total, outgoing);
  *stamp = now;
}

// The fields of one TCP segment, in the session's stored order.
struct Segment {
  const uint8_t *tcp;
  uint32_t hlen;      // TCP header bytes
  uint32_t datalen;   // payload bytes
  uint8_t flags;
  uint32_t seq, ack;  // host order
  uint16_t ipid;      // as on the wire
  uint32_t outgoing;

  uint32_t seqend() const {
    return seq + datalen + ((flags & (TCP_SYN | TCP_FIN)) ? 1 : 0);
  }
};

// Advances an existing session; 0 pass, 1 refuse.
uint32_t advance(uint32_t tunnel, FirewallSession *s, const Segment &g, uint32_t total) {
  FwTcpData *d = FwTcp(s);
  const bool open = d->synstate == FW_SYN_ESTABLISHED && d->finstate == FW_FIN_NONE;
  take_stats(tunnel, open, &d->stamp, total, g.outgoing);
  uint32_t &seqend = g.outgoing ? d->seqend1 : d->seqend2;
  // 0 is an end not seen yet (the ACK-less first SYN named no sequence).
  if (!seqend || later(g.seqend(), wire32(seqend))) seqend = to_wire32(g.seqend());
  (g.outgoing ? d->ipid1 : d->ipid2) = g.ipid;
  uint32_t &tsval = g.outgoing ? d->tsval1 : d->tsval2;
  uint32_t ts = 0;
  bool has_ts = find_tsval(g.tcp, g.hlen, &ts);
  if (d->timestamps && has_ts && later(wire32(ts), wire32(tsval))) tsval = ts;

  if (g.flags & TCP_SYN) {
    if (d->finstate) {
      d->finstate = FW_FIN_NONE;
      d->synstate = FW_SYN_NONE;
    }
    arm(s, f_FW_TCP_SESSION_AFTERFIRSTSYN_TIMEOUT);
    bool capped = d->synstate >= FW_SYN_ESTABLISHED;
    if (!capped) d->synstate++;
    if (has_ts) tsval = ts;
    if (capped || !(g.flags & TCP_ACK) || d->synstate != FW_SYN_ANSWERED) return 0;
    d->timestamps = has_ts ? 1 : 0;
  }
  if (g.flags & TCP_FIN) {
    d->finstate = (uint8_t)(d->finstate >= FW_FIN_SECOND_ACKED ? FW_FIN_FIRST : d->finstate + 1);
    arm(s, f_FW_TCP_SESSION_CLOSEAFTERFIN_TIMEOUT);
    if (!(g.flags & TCP_ACK)) return 0;
    if (g.flags & TCP_RST) {
      arm(s, f_FW_TCP_SESSION_CLOSEAFTERRST_TIMEOUT);
      return 0;
    }
  } else {
    if (g.flags & TCP_RST) {
      arm(s, f_FW_TCP_SESSION_CLOSEAFTERRST_TIMEOUT);
      return 0;
    }
    if (!(g.flags & TCP_ACK)) {
      if (d->synstate == FW_SYN_NONE) {
        arm(s, f_FW_TCP_SESSION_CLOSEAFTERFIN_TIMEOUT);
        return 1;
      }
      arm(s, f_FW_TCP_SESSION_IDLE_TIMEOUT);
      return 0;
    }
  }
  if (d->synstate == FW_SYN_ANSWERED) {
    d->synstate = FW_SYN_ESTABLISHED;
    arm(s, f_FW_TCP_SESSION_IDLE_TIMEOUT);
    return 0;
  }
  if (d->finstate == FW_FIN_FIRST || d->finstate == FW_FIN_SECOND) d->finstate++;
  if (d->finstate) {
    arm(s, f_FW_TCP_SESSION_CLOSEAFTERFIN_TIMEOUT);
    return 0;
  }
  if (d->synstate == FW_SYN_NONE) {
    arm(s, f_FW_TCP_SESSION_CLOSEAFTERFIN_TIMEOUT);
    return 1;
  }
  arm(s, f_FW_TCP_SESSION_IDLE_TIMEOUT);
  return 0;
}

// A session for a FIN or a SYN that has none; 0 pass, 1 refuse.
uint32_t open_session(uint32_t tunnel, FilterAdapter *adapter, const uint8_t *frame,
                      const uint8_t *ip, const Segment &g, const uint8_t key[4],
                      FirewallSession **out) {
  bool fin = g.flags & TCP_FIN;
  if (!fin && !(g.flags & TCP_SYN)) return 1;
  FwTcpData d = {};
  memcpy(&d.port1, key, 4);
  uint32_t own = to_wire32(g.seqend()), other = to_wire32(g.ack);
  d.seqend1 = g.outgoing ? own : other;
  d.seqend2 = g.outgoing ? other : own;
  (g.outgoing ? d.ipid1 : d.ipid2) = g.ipid;
  // A session first seen closing counts as established with one FIN acknowledged.
  d.finstate = fin ? FW_FIN_SECOND : FW_FIN_NONE;
  d.synstate = fin ? FW_SYN_ESTABLISHED : FW_SYN_FIRST;
  FirewallSession *s = FIREWALL_AddNewSession(
      tunnel, adapter, frame + ETHH_SRC, frame, load_ne32(ip + IPH_SRC), load_ne32(ip + IPH_DST),
      IPPROTO_TCP_NUM, reinterpret_cast<uint8_t *>(&d), sizeof d, FW_TCP_RejectSession, g.outgoing);
  if (!s) return 1;
  arm(s, fin ? f_FW_TCP_SESSION_CLOSEAFTERFIN_TIMEOUT : f_FW_TCP_SESSION_AFTERFIRSTSYN_TIMEOUT);
  if (out) *out = s;
  return 0;
}

// One reset frame from end `from` to end `to` of the session (0 first end,
// 1 second end); returns its length.
uint32_t build_reset(FirewallSession *s, uint32_t from, uint8_t *f) {
  FwTcpData *d = FwTcp(s);
  bool ts = d->timestamps != 0;
  uint32_t len = ts ? kResetLenTs : kResetLen;
  memset(f, 0, len);
  memcpy(f, from ? s->mac1 : s->mac2, ETH_ADDR_LEN);
  memcpy(f + ETHH_SRC, from ? s->mac2 : s->mac1, ETH_ADDR_LEN);
  store_be16(f + ETHH_TYPE, ETH_TYPE_IPV4);
  uint8_t *ip = f + ETH_HEADER_LEN;
  ip[IPH_VHL] = IP_VHL_V4_MIN;
  ip[IPH_TOS] = FLT_IPH_TOS;
  store_be16(ip + IPH_TOTAL_LEN, (uint16_t)(len - ETH_HEADER_LEN));
  uint16_t &ipid = from ? d->ipid2 : d->ipid1;
  ipid = bump16(ipid);
  memcpy(ip + IPH_ID, &ipid, 2);
  ip[IPH_TTL] = FLT_IPH_DEFTTL;
  ip[IPH_PROTO] = IPPROTO_TCP_NUM;
  uint32_t src = from ? s->addr2 : s->addr1, dst = from ? s->addr1 : s->addr2;
  memcpy(ip + IPH_SRC, &src, 4);
  memcpy(ip + IPH_DST, &dst, 4);
  CalcChecksum(ip);
  uint8_t *tcp = ip + IPH_MIN_LEN;
  memcpy(tcp, from ? &d->port2 : &d->port1, 2);
  memcpy(tcp + TCPH_DPORT, from ? &d->port1 : &d->port2, 2);
  memcpy(tcp + TCPH_SEQ, from ? &d->seqend2 : &d->seqend1, 4);
  memcpy(tcp + TCPH_ACKNUM, from ? &d->seqend1 : &d->seqend2, 4);
  tcp[TCPH_OFFSET] = (uint8_t)((TCPH_MIN_LEN + (ts ? kTsOptionsLen : 0)) / 4 << 4);
  tcp[TCPH_FLAGS] = TCP_RST | TCP_ACK;
  if (ts) {
    memcpy(tcp + TCPH_OPTIONS, kTsOption, sizeof kTsOption);
    store_be32(tcp + kTsvalAt, wire32(from ? d->tsval2 : d->tsval1) + kTsvalBump);
    memcpy(tcp + kTsecrAt, from ? &d->tsval1 : &d->tsval2, 4);
  }
  CalcUdpTcpChkSum(ip);
  return len;
}

// Parameter i in minutes, taken when 1..max (max 0: any non-zero value).
void minutes(const uint8_t *params, int i, uint32_t max, uint64_t *target) {
  uint32_t v = load_ne32(params + 4 * i);
  if (v >= 1 && (max == 0 || v <= max)) *target = v * kTicksPerMinute;
}

template <typename Pred>
uint32_t reject_where(Pred pred) {
  if (!firewallenabled) return 1;
  FIREWALL_ForEachSession(
      [](FirewallSession *s, void *ctx) {
        if ((*static_cast<Pred *>(ctx))(s)) FIREWALL_RejectSession(s, 0);
      },
      &pred);
  FIREWALL_ReclaimEmptyBlock();
  return 0;
}

bool selected(const FirewallSession *s, FilterAdapter *adapter, uint32_t exclude, uint32_t tunnel) {
  if (tunnel != FW_ANY_TUNNEL && s->tunnel != tunnel) return false;
  if (!adapter) return true;
  return exclude ? s->adapter != adapter : s->adapter == adapter;
}

}  // namespace

extern "C" {

uint32_t FIREWALL_CheckPacket(uint32_t tunnel, FilterAdapter *adapter, uint8_t *frame,
                              uint8_t *ip, uint32_t length, uint32_t outgoing,
                              FirewallSession **session) {
  if (session) *session = nullptr;
  if (!firewallenabled) return 0;
  if (fw_curtick != fw_curtick_old) {
    fw_curtick_old = fw_curtick;
    FIREWALL_CheckForClosedSessionsByTimeout();
  }
  if (!frame || length <= ETH_HEADER_LEN) return 1;
  if (load_be16(frame + ETHH_TYPE) != ETH_TYPE_IPV4) return 0;
  return FW_IP_CheckPacket(tunnel, adapter, frame, ip, length, outgoing, session);
}

uint32_t FW_IP_CheckPacket(uint32_t tunnel, FilterAdapter *adapter, uint8_t *frame, uint8_t *ip,
                           uint32_t length, uint32_t outgoing, FirewallSession **session) {
  if (!ip || !frame || length < ETH_HEADER_LEN + IPH_MIN_LEN) return 1;
  if (IpVersion(ip) != IP_VERSION_4) return 0;
  uint32_t hlen = IpHeaderLen(ip);
  if (hlen < IPH_MIN_LEN || hlen > length - ETH_HEADER_LEN) return 1;
  if (!outgoing && !IsValidIpChkSum(ip)) return 1;
  uint32_t total = load_be16(ip + IPH_TOTAL_LEN);
  if (length - ETH_HEADER_LEN < total) return 0;
  if (ip[IPH_PROTO] != IPPROTO_TCP_NUM) return 0;
  return FW_TCP_CheckPacket(tunnel, adapter, frame, ip, length, outgoing, session, hlen, total);
}

uint32_t FW_TCP_CheckPacket(uint32_t tunnel, FilterAdapter *adapter, uint8_t *frame, uint8_t *ip,
                            uint32_t, uint32_t outgoing, FirewallSession **session,
                            uint32_t iphlen, uint32_t iptotal) {
  if (iptotal < iphlen || iphlen == 0) return 1;
  uint32_t seglen = iptotal - iphlen;
  if (seglen < TCPH_MIN_LEN) return 1;
  const uint8_t *tcp = ip + iphlen;
  uint32_t hlen = TcpHeaderLen(tcp);
  if (hlen < TCPH_MIN_LEN || hlen > seglen) return 1;
  Segment g = {tcp,
               hlen,
               seglen - hlen,
               tcp[TCPH_FLAGS],
               load_be32(tcp + TCPH_SEQ),
               load_be32(tcp + TCPH_ACKNUM),
               load_ne16(ip + IPH_ID),
               outgoing};
  uint8_t key[4];
  memcpy(key, outgoing ? tcp : tcp + TCPH_DPORT, 2);
  memcpy(key + 2, outgoing ? tcp + TCPH_DPORT : tcp, 2);
  FirewallSession *s =
      FIREWALL_FindSession(frame + ETHH_SRC, frame, load_ne32(ip + IPH_SRC),
                           load_ne32(ip + IPH_DST), IPPROTO_TCP_NUM, key, 4, outgoing);
  if (!s) return open_session(tunnel, adapter, frame, ip, g, key, session);
  if (session) *session = s;
  return advance(tunnel, s, g, iptotal);
}

uint32_t FW_UDP_CheckPacket(uint32_t tunnel, FilterAdapter *adapter, uint8_t *frame, uint8_t *ip,
                            uint32_t, uint32_t outgoing, FirewallSession **session) {
  if (session) *session = nullptr;
  if (!ip || ip[IPH_PROTO] != IPPROTO_UDP_NUM) return 0;
  const uint8_t *udp = ip + IpHeaderLen(ip);
  uint8_t data[16] = {};
  memcpy(data, outgoing ? udp : udp + UDPH_DPORT, 2);
  memcpy(data + 2, outgoing ? udp + UDPH_DPORT : udp, 2);
  FirewallSession *s =
      FIREWALL_FindSession(frame + ETHH_SRC, frame, load_ne32(ip + IPH_SRC),
                           load_ne32(ip + IPH_DST), IPPROTO_UDP_NUM, data, 4, outgoing);
  if (s) {
    take_stats(tunnel, true, &FwTcp(s)->stamp, load_be16(ip + IPH_TOTAL_LEN), outgoing);
  } else {
    s = FIREWALL_AddNewSession(tunnel, adapter, frame + ETHH_SRC, frame, load_ne32(ip + IPH_SRC),
                               load_ne32(ip + IPH_DST), IPPROTO_UDP_NUM, data, sizeof data, nullptr,
                               outgoing);
    if (!s) return 1;
  }
  (outgoing ? FwTcp(s)->ipid1 : FwTcp(s)->ipid2) = load_ne16(ip + IPH_ID);
  arm(s, f_FW_UDP_SESSION_IDLE_TIMEOUT);
  if (session) *session = s;
  return 0;
}

uint32_t FW_TCP_RejectSession(FirewallSession *session, uint32_t) {
  uint8_t frame[kResetLenTs];
  uint32_t len = build_reset(session, 1, frame);
  if (FIREWALL_SendBuffer(FW_DIRECT, session->adapter, frame, len, 0)) return 1;
  // The mirror is addressed to the remote end, so it goes to the network.
  len = build_reset(session, 0, frame);
  return FIREWALL_SendBuffer(session->tunnel, session->adapter, frame, len, 1);
}

uint32_t FW_TCP_RejectVpnSessionOnDisconnect(FirewallSession *session) {
  uint8_t frame[kResetLenTs];
  uint32_t len = build_reset(session, 1, frame);
  return FIREWALL_SendBuffer(FW_DIRECT, session->adapter, frame, len, 0);
}

uint32_t FIREWALL_RejectSession(FirewallSession *session, uint32_t argument) {
  if (!firewallenabled || !session) return 1;
  FIREWALL_CloseSession(session, argument);
  return 0;
}

uint32_t FIREWALL_RejectAllINSessions(FilterAdapter *adapter, uint32_t exclude, uint32_t tunnel) {
  return reject_where([=](FirewallSession *s) {
    return s->opening == 0 && selected(s, adapter, exclude, tunnel);
  });
}

uint32_t FIREWALL_RejectAllOUTSessions(FilterAdapter *adapter, uint32_t exclude, uint32_t tunnel) {
  return reject_where([=](FirewallSession *s) {
    return s->opening == 1 && selected(s, adapter, exclude, tunnel);
  });
}

uint32_t FIREWALL_RejectAllSessions(FilterAdapter *adapter, uint32_t exclude, uint32_t tunnel) {
  return reject_where([=](FirewallSession *s) { return selected(s, adapter, exclude, tunnel); });
}

uint32_t FIREWALL_RejectAllTcpVpnSessionsOnDisconnect(void) {
  if (!firewallenabled) return 1;
  FIREWALL_ForEachSession(
      [](FirewallSession *s, void *) {
        if (s->tunnel == 1 && s->proto == IPPROTO_TCP_NUM) FW_TCP_RejectVpnSessionOnDisconnect(s);
      },
      nullptr);
  FIREWALL_RemoveAllSessions(FW_TUNNELLED);
  FIREWALL_ReclaimEmptyBlock();
  return 0;
}

uint32_t FIREWALL_SendBuffer(uint32_t tunnel, FilterAdapter *adapter, const uint8_t *bytes,
                             uint32_t length, uint32_t tonetwork) {
  if (!firewallenabled) return 1;
  if (tunnel == 1) return 0;
  if (!adapter || !FilterAdapterListed(adapter) || adapter->filterstate != ADAPTER_READY) return 1;
  uint32_t len = length < kMinFrame ? kMinFrame : length;
  auto *frame = static_cast<FilterFrame *>(MVAlloc((uint32_t)sizeof(FilterFrame) + len));
  if (!frame) return 1;
  memset(frame, 0, sizeof(FilterFrame) + len);
  frame->adapter = adapter;
  frame->direction = (uint16_t)(tonetwork ? 1 : 0);
  frame->length = (uint16_t)len;
  memcpy(frame->data, bytes, length);
  if (DrvSetFrameToSend(frame) == 0) return 0;
  MVFree(frame);
  return 1;
}

void FIREWALL_SetFirewallParams(const uint8_t *params) {
  FW_IP_SetFirewallParams(params);
  FW_TCP_SetFirewallParams(params);
  FW_UDP_SetFirewallParams(params);
}

// The IP stage has no time-outs of its own.
void FW_IP_SetFirewallParams(const uint8_t *) {}

void FW_TCP_SetFirewallParams(const uint8_t *params) {
  minutes(params, 0, 120, &f_FW_TCP_SESSION_CLOSEAFTERFIN_TIMEOUT);
  minutes(params, 1, 60, &f_FW_TCP_SESSION_CLOSEAFTERRST_TIMEOUT);
  minutes(params, 2, 45, &f_FW_TCP_SESSION_AFTERFIRSTSYN_TIMEOUT);
  minutes(params, 3, 0, &f_FW_TCP_SESSION_IDLE_TIMEOUT);
}

void FW_UDP_SetFirewallParams(const uint8_t *params) {
  minutes(params, 4, 0, &f_FW_UDP_SESSION_IDLE_TIMEOUT);
}

}  // extern "C"
