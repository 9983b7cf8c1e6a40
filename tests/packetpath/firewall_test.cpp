// The stateful firewall: TCP flows through the session table, refusal of
// segments without a session, expiry with reset frames, the table's bound
// under many flows, and the lock order of the frames it sends.
#include <gtest/gtest.h>

#include <chrono>
#include <future>

#include "byte_order.h"
#include "drv_requests.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/firewall_checks.h"
#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/send_queues.h"
#include "tests/packetpath/harness.h"

namespace pp {
namespace {

constexpr uint32_t kRemote = 0xCB00710Au;  // 203.0.113.10, a plain peer

Bytes Le(std::initializer_list<uint32_t> words) {
  Bytes b;
  for (uint32_t w : words)
    for (int i = 0; i < 4; i++) b.push_back((uint8_t)(w >> (8 * i)));
  return b;
}

// Timestamps option: NOP NOP kind 8 length 10 TSval TSecr.
Bytes Timestamps(uint32_t tsval, uint32_t tsecr) {
  Bytes o = {1, 1, 8, 10, 0, 0, 0, 0, 0, 0, 0, 0};
  store_be32(&o[4], tsval);
  store_be32(&o[8], tsecr);
  return o;
}

class Firewall : public ::testing::Test {
 protected:
  FilterAdapter *adapter() {
    return &static_cast<HostAdapter *>(Zor_NETDEV_getaddinfo(&h.dev))->filter;
  }
  // A segment of the local end (outgoing 1) or of the remote end.
  Bytes Segment(bool outgoing, uint8_t flags, uint32_t seq, uint32_t ack, size_t datalen = 0,
                Bytes options = {}, uint16_t local_port = 40001) {
    Ip ip;
    ip.proto = 6;
    ip.src = outgoing ? kClientIp : kRemote;
    ip.dst = outgoing ? kRemote : kClientIp;
    ip.id = outgoing ? 0x100 : 0x200;
    Tcp t;
    t.sport = outgoing ? local_port : 80;
    t.dport = outgoing ? 80 : local_port;
    t.seq = seq;
    t.ack = ack;
    t.flags = flags;
    t.options = options;
    t.payload.assign(datalen, 'd');
    return outgoing ? FromClient(ip, TcpSegment(t)) : FromGateway(ip, TcpSegment(t));
  }
  uint32_t Check(Bytes f, bool outgoing, FirewallSession **s = nullptr, uint32_t tunnel = 0) {
    return FIREWALL_CheckPacket(tunnel, adapter(), f.data(), f.data() + 14, (uint32_t)f.size(),
                                outgoing ? 1 : 0, s);
  }
  // SYN, SYN+ACK, ACK: local sequence 1000, remote 5000.
  FirewallSession *Establish(Bytes local_opts = {}, Bytes remote_opts = {}, uint32_t tunnel = 0,
                             uint16_t port = 40001) {
    FirewallSession *s = nullptr;
    EXPECT_EQ(Check(Segment(true, TCP_SYN, 999, 0, 0, local_opts, port), true, &s, tunnel), 0u);
    EXPECT_EQ(Check(Segment(false, TCP_SYN | TCP_ACK, 4999, 1000, 0, remote_opts, port), false, &s,
                    tunnel),
              0u);
    EXPECT_EQ(Check(Segment(true, TCP_ACK, 1000, 5000, 0, local_opts, port), true, &s, tunnel), 0u);
    return s;
  }
  uint32_t Sessions() {
    uint32_t info[4];
    FIREWALL_GetInformation(info);
    return info[0];
  }

  Harness h;
};

TEST_F(Firewall, TcpFlowTable) {
  struct Step {
    bool outgoing;
    uint8_t flags;
    uint32_t seq, ack;
    size_t data;
    uint32_t verdict;
    uint8_t synstate, finstate;
  };
  const Step steps[] = {
      {true, TCP_SYN, 999, 0, 0, 0, 1, 0},
      {false, TCP_SYN | TCP_ACK, 4999, 1000, 0, 0, 3, 0},
      {true, TCP_ACK, 1000, 5000, 0, 0, 3, 0},
      {true, TCP_ACK | TCP_PSH, 1000, 5000, 100, 0, 3, 0},
      {false, TCP_ACK | TCP_PSH, 5000, 1100, 50, 0, 3, 0},
      {true, TCP_FIN | TCP_ACK, 1100, 5050, 0, 0, 3, 2},
      {false, TCP_FIN | TCP_ACK, 5050, 1101, 0, 0, 3, 4},
      {true, TCP_ACK, 1101, 5051, 0, 0, 3, 4},
  };
  FirewallSession *s = nullptr;
  for (const Step &st : steps) {
    EXPECT_EQ(Check(Segment(st.outgoing, st.flags, st.seq, st.ack, st.data), st.outgoing, &s),
              st.verdict);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(FwTcp(s)->synstate, st.synstate) << "after flags " << int(st.flags);
    EXPECT_EQ(FwTcp(s)->finstate, st.finstate) << "after flags " << int(st.flags);
  }
  EXPECT_EQ(load_be32(reinterpret_cast<uint8_t *>(&FwTcp(s)->seqend1)), 1102u - 1) << "FIN counts one";
  EXPECT_EQ(load_be32(reinterpret_cast<uint8_t *>(&FwTcp(s)->seqend2)), 5051u);
  EXPECT_EQ(s->expiry, fw_curtick + f_FW_TCP_SESSION_CLOSEAFTERFIN_TIMEOUT);
  EXPECT_EQ(Check(Segment(false, TCP_RST, 5051, 0), false, &s), 0u);
  EXPECT_EQ(s->expiry, fw_curtick + f_FW_TCP_SESSION_CLOSEAFTERRST_TIMEOUT);
  EXPECT_EQ(Sessions(), 1u);
}

TEST_F(Firewall, SegmentsWithoutASessionAreRefusedButFinOpensOne) {
  EXPECT_EQ(Check(Segment(true, TCP_ACK, 1, 1, 10), true), 1u);
  EXPECT_EQ(Check(Segment(false, TCP_ACK | TCP_PSH, 1, 1, 10), false), 1u);
  EXPECT_EQ(Check(Segment(false, TCP_RST, 1, 0), false), 1u);
  EXPECT_EQ(Sessions(), 0u);
  FirewallSession *s = nullptr;
  EXPECT_EQ(Check(Segment(true, TCP_FIN | TCP_ACK, 1, 1), true, &s), 0u);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(FwTcp(s)->synstate, 3);
  EXPECT_EQ(FwTcp(s)->finstate, 3);
}

TEST_F(Firewall, SynStatesCapAndRestartFromFin) {
  FirewallSession *s = Establish();
  EXPECT_EQ(Check(Segment(true, TCP_SYN, 999, 0), true, &s), 0u);
  EXPECT_EQ(FwTcp(s)->synstate, 3) << "a fourth SYN keeps the state at 3";
  EXPECT_EQ(Check(Segment(true, TCP_FIN | TCP_ACK, 1000, 5000), true, &s), 0u);
  ASSERT_NE(FwTcp(s)->finstate, 0);
  EXPECT_EQ(Check(Segment(true, TCP_SYN, 2000, 0), true, &s), 0u);
  EXPECT_EQ(FwTcp(s)->finstate, 0);
  EXPECT_EQ(FwTcp(s)->synstate, 1) << "a SYN in FIN state starts over";
}

TEST_F(Firewall, ReverseLookupAndMacRefresh) {
  FirewallSession *s = Establish();
  const uint8_t zero[6] = {};
  uint32_t a = 0, b = 0;
  store_be32(reinterpret_cast<uint8_t *>(&a), kRemote);
  store_be32(reinterpret_cast<uint8_t *>(&b), kClientIp);
  uint8_t key[4];
  memcpy(key, &FwTcp(s)->port1, 4);
  EXPECT_EQ(FIREWALL_FindSession(zero, zero, a, b, 6, key, 4, 0), s) << "named from the far end";
  EXPECT_EQ(Bytes(s->mac1, s->mac1 + 6), Bytes(kClientMac, kClientMac + 6))
      << "an all-zero MAC leaves the stored one";
}

TEST_F(Firewall, MalformedAndUnjudgedFrames) {
  Bytes f = Segment(true, TCP_ACK, 1, 1, 20);
  store_be16(&f[16], (uint16_t)(load_be16(&f[16]) + 100));  // total length beyond the frame
  store_be16(&f[24], 0);
  store_be16(&f[24], (uint16_t)~InetSum(&f[14], 20));
  EXPECT_EQ(Check(f, true), 0u) << "passes unchecked, no session";
  EXPECT_EQ(Sessions(), 0u);

  Bytes bad = Segment(false, TCP_SYN, 1, 0);
  bad[24] ^= 0xFF;  // header checksum
  EXPECT_EQ(Check(bad, false), 1u) << "refused from the network";
  EXPECT_EQ(Check(bad, true), 0u) << "not checked for the local stack's frames";

  Bytes offset = Segment(true, TCP_SYN, 1, 0);
  offset[46] = 0x40;  // data offset 4
  Reseal(&offset[14]);
  EXPECT_EQ(Check(offset, true), 1u);
  offset[46] = 0xF0;  // 60 bytes of header in a 20-byte segment
  EXPECT_EQ(Check(offset, true), 1u);

  Bytes tiny(14, 0);
  EXPECT_EQ(FIREWALL_CheckPacket(0, adapter(), tiny.data(), nullptr, 14, 1, nullptr), 1u);
  Bytes arp = Ether(kGatewayMac, kClientMac, 0x0806, Bytes(28, 0));
  EXPECT_EQ(FIREWALL_CheckPacket(0, adapter(), arp.data(), nullptr, (uint32_t)arp.size(), 1, nullptr), 0u);
}

TEST_F(Firewall, TimestampScanStopsAtTheBytesPresent) {
  // Option kinds that claim more bytes than the header holds.
  Bytes opts = {1, 1, 3, 40};
  FirewallSession *s = Establish(opts, opts);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(FwTcp(s)->timestamps, 0u);
  EXPECT_EQ(FwTcp(s)->synstate, 3);
}

// Parses one reset frame and checks it against the expected ends.
void ExpectReset(const Sent &r, bool to_network, uint32_t src, uint32_t dst, uint16_t sport,
                 uint16_t dport, uint32_t seq, uint32_t ack, size_t len) {
  const uint8_t *f = r.bytes.data();
  ASSERT_GE(r.bytes.size(), len);
  EXPECT_EQ(r.to_network, to_network);
  const uint8_t *ip = f + 14, *tcp = ip + 20;
  EXPECT_EQ(load_be16(ip + 2), len - 14);
  EXPECT_TRUE(IpChecksumOk(ip));
  EXPECT_TRUE(TransportChecksumOk(ip));
  EXPECT_EQ(load_be32(ip + 12), src);
  EXPECT_EQ(load_be32(ip + 16), dst);
  EXPECT_EQ(ip[8], 64);
  EXPECT_EQ(load_be16(tcp), sport);
  EXPECT_EQ(load_be16(tcp + 2), dport);
  EXPECT_EQ(load_be32(tcp + 4), seq);
  EXPECT_EQ(load_be32(tcp + 8), ack);
  EXPECT_EQ(tcp[13], TCP_RST | TCP_ACK);
}

TEST_F(Firewall, IdleSessionsExpireWithCorrectResets) {
  // Request 23: every time-out 1 minute, TOS and TTL unchanged.
  ASSERT_GT(h.Request(RQC_SETFILTERPARAMS, Le({1, 1, 1, 1, 1, 0, 0})), 0);
  EXPECT_EQ(f_FW_TCP_SESSION_IDLE_TIMEOUT, 1080u);
  FirewallSession *s = Establish(Timestamps(700, 0), Timestamps(900, 700));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(Check(Segment(true, TCP_ACK | TCP_PSH, 1000, 5000, 10, Timestamps(710, 900)), true), 0u);
  h.Drain();
  for (int i = 0; i < 1080; i++) FIREWALL_Timer();
  Bytes other = Segment(true, TCP_SYN, 1, 0, 0, {}, 40002);
  Check(other, true);  // the next check sweeps
  EXPECT_EQ(Sessions(), 1u) << "only the new one";
  std::vector<Sent> resets = h.Drain();
  ASSERT_EQ(resets.size(), 2u);
  // To the local stack, in the remote end's name; then its mirror to the
  // remote end.
  ExpectReset(resets[0], false, kRemote, kClientIp, 80, 40001, 5000, 1010, 66);
  ExpectReset(resets[1], true, kClientIp, kRemote, 40001, 80, 1010, 5000, 66);
  const uint8_t *opt0 = resets[0].bytes.data() + 54, *opt1 = resets[1].bytes.data() + 54;
  EXPECT_EQ(load_be32(opt0 + 4), 1900u) << "remote TSval + 1000";
  EXPECT_EQ(load_be32(opt0 + 8), 710u);
  EXPECT_EQ(load_be32(opt1 + 4), 1710u);
  EXPECT_EQ(load_be32(opt1 + 8), 900u);
  EXPECT_EQ(Bytes(resets[0].bytes.begin(), resets[0].bytes.begin() + 6),
            Bytes(kClientMac, kClientMac + 6));
}

TEST_F(Firewall, ResetCarriesAnInitialSequenceFromTheUpperHalf) {
  FirewallSession *s = nullptr;
  ASSERT_EQ(Check(Segment(true, TCP_SYN, 999, 0), true, &s), 0u);
  ASSERT_EQ(Check(Segment(false, TCP_SYN | TCP_ACK, 0x90000000u, 1000), false, &s), 0u);
  ASSERT_EQ(Check(Segment(true, TCP_ACK, 1000, 0x90000001u), true, &s), 0u);
  h.Drain();
  EXPECT_EQ(FIREWALL_RejectSession(s, 0), 0u);
  std::vector<Sent> resets = h.Drain();
  ASSERT_EQ(resets.size(), 2u);
  ExpectReset(resets[0], false, kRemote, kClientIp, 80, 40001, 0x90000001u, 1000, 54);
}

TEST_F(Firewall, TunnelledSessionResetGoesOnlyToTheLocalStack) {
  FirewallSession *s = Establish({}, {}, 1);
  ASSERT_NE(s, nullptr);
  h.Drain();
  EXPECT_EQ(FIREWALL_RejectSession(s, 0), 0u);
  std::vector<Sent> resets = h.Drain();
  ASSERT_EQ(resets.size(), 1u);
  ExpectReset(resets[0], false, kRemote, kClientIp, 80, 40001, 5000, 1000, 54);
  EXPECT_EQ(Sessions(), 0u);
}

TEST_F(Firewall, CloseOnDisconnectResetsTunnelledSessionsAtTheNextTick) {
  FIREWALL_EnableTcpVpnCloseOnDisconnect(1);
  EXPECT_EQ(fw_tcp_vpn_close_on_disconnect_tick, fw_curtick) << "tick 0 means none";
  FIREWALL_Timer();
  Establish({}, {}, 1);
  Establish({}, {}, 0, 40002);
  h.Drain();
  FIREWALL_EnableTcpVpnCloseOnDisconnect(1);
  FIREWALL_Timer();
  EXPECT_EQ(h.Drain().size(), 1u) << "one reset to the local stack";
  EXPECT_EQ(Sessions(), 1u) << "the plain session stays";
}

TEST_F(Firewall, ParametersOutOfRangeLeaveTheTimeouts) {
  uint64_t fin = f_FW_TCP_SESSION_CLOSEAFTERFIN_TIMEOUT, syn = f_FW_TCP_SESSION_AFTERFIRSTSYN_TIMEOUT;
  ASSERT_GT(h.Request(RQC_SETFILTERPARAMS, Le({121, 0, 46, 0, 0, 0x10, 32})), 0);
  EXPECT_EQ(f_FW_TCP_SESSION_CLOSEAFTERFIN_TIMEOUT, fin);
  EXPECT_EQ(f_FW_TCP_SESSION_AFTERFIRSTSYN_TIMEOUT, syn);
  EXPECT_EQ(FLT_IPH_TOS, 0x10);
  EXPECT_EQ(FLT_IPH_DEFTTL, 32);
  ASSERT_GT(h.Request(RQC_SETFILTERPARAMS, Le({0, 0, 45, 0, 0, 0, 0})), 0);
  EXPECT_EQ(f_FW_TCP_SESSION_AFTERFIRSTSYN_TIMEOUT, 45u * 1080) << "minutes, up to 45";
  EXPECT_EQ(FLT_IPH_DEFTTL, 32) << "0 keeps the TTL";
  FLT_IPH_TOS = 0;
  FLT_IPH_DEFTTL = 64;
  f_FW_TCP_SESSION_AFTERFIRSTSYN_TIMEOUT = syn;
}

TEST_F(Firewall, CloseListKeepsOrderAndPlace) {
  FirewallSession *a = Establish({}, {}, 0);
  Check(Segment(true, TCP_SYN, 1, 0, 0, {}, 40002), true);
  Check(Segment(true, TCP_SYN, 1, 0, 0, {}, 40003), true);
  SessionBlock *b = a->block;
  FIREWALL_AddForCloseByTimeout(a, 10, 1);
  FirewallSession *second = b->closelist->cnext, *third = second->cnext;
  ASSERT_EQ(b->closelist, a);
  FIREWALL_AddForCloseByTimeout(second, 20, 1);
  FIREWALL_AddForCloseByTimeout(third, 30, 1);
  FIREWALL_AddForCloseByTimeout(second, 25, 1);
  EXPECT_EQ(a->cnext, second) << "a later expiry still below its successor keeps its place";
  FIREWALL_AddForCloseByTimeout(a, 40, 1);
  EXPECT_EQ(b->closelist, second);
  EXPECT_EQ(third->cnext, a);
}

TEST_F(Firewall, TableStaysBoundedUnderAHundredThousandFlows) {
  uint32_t info[4];
  FIREWALL_GetInformation(info);
  EXPECT_EQ(info[0], 0u);
  EXPECT_EQ(info[1], 50216u) << "one block and the buckets";
  EXPECT_EQ(info[2], 0u);
  EXPECT_EQ(info[3], 0u);
  // Far ends spread over the three documentation networks (the hash sees
  // only addresses), ports telling the flows of one pair apart.
  static const uint32_t kNets[3] = {0xC0000200u, 0xC6336400u, 0xCB007100u};
  auto flow = [](uint32_t i, Bytes &f) {
    store_be32(&f[30], kNets[i % 3] + (i / 3) % 256);
    store_be16(&f[34], (uint16_t)(1024 + i / 768));
    Reseal(&f[14]);
  };
  Bytes f = Segment(true, TCP_SYN, 1, 0);
  for (uint32_t i = 0; i < 100000; i++) {
    flow(i, f);
    ASSERT_EQ(FIREWALL_CheckPacket(0, nullptr, f.data(), f.data() + 14, (uint32_t)f.size(), 1,
                                   nullptr),
              0u)
        << "flow " << i;
  }
  FIREWALL_GetInformation(info);
  EXPECT_LE(info[0], FW_MAX_BLOCKS * FW_BLOCK_SESSIONS);
  EXPECT_GT(info[0], FW_MAX_BLOCKS * FW_BLOCK_SESSIONS - 2 * FW_MAX_BLOCKS * 5);
  EXPECT_EQ(info[1], FW_MAX_BLOCKS * 17448u + 32768u);
  EXPECT_EQ(FIREWALL_BlockCount(), FW_MAX_BLOCKS);
  // The latest flow is there, the first one was evicted.
  uint32_t a = 0, b = 0;
  store_be32(reinterpret_cast<uint8_t *>(&a), kClientIp);
  memcpy(&b, &f[30], 4);
  uint8_t key[4];
  memcpy(key, &f[34], 4);
  EXPECT_NE(FIREWALL_FindSession(nullptr, nullptr, a, b, 6, key, 4, 1), nullptr);
  flow(0, f);
  memcpy(&b, &f[30], 4);
  memcpy(key, &f[34], 4);
  EXPECT_EQ(FIREWALL_FindSession(nullptr, nullptr, a, b, 6, key, 4, 1), nullptr);
  // Emptying gives the blocks back down to what the reclaim keeps.
  FIREWALL_RemoveAllSessions(0);
  EXPECT_LT(FIREWALL_BlockCount(), FW_MAX_BLOCKS);
}

TEST_F(Firewall, ResetsAreQueuedWithoutTheAdapterListLock) {
  ASSERT_GT(h.Request(RQC_SETFILTERPARAMS, Le({1, 1, 1, 1, 1, 0, 0})), 0);
  Establish();
  h.Drain();
  for (int i = 0; i < 1080; i++) FIREWALL_Timer();
  // Another context holds the adapter-list lock while the sweep sends its
  // resets under lock 0.
  KERN_spin_lock_lock(&extension_data->adapterlistlock);
  auto sweep = std::async(std::launch::async, [&] {
    DrvFilterLock(FLT_LOCK_CORE);
    FIREWALL_CheckForClosedSessionsByTimeout();
    DrvFilterUnLock(FLT_LOCK_CORE);
  });
  bool done = sweep.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  KERN_spin_lock_unlock(&extension_data->adapterlistlock);
  sweep.wait();
  EXPECT_TRUE(done);
  EXPECT_EQ(h.Drain().size(), 2u);
}

}  // namespace
}  // namespace pp
