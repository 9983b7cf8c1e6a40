#include "tests/packetpath/harness.h"

#include <sys/random.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "byte_order.h"
#include "drv_requests.h"
#include "kern_host.h"
#include "kernel/filter/deferred_work.h"
#include "kernel/filter/filter_core.h"
#include "tests/filter/daemon_records.h"
#include "tests/host/test_host.h"

namespace pp {

using namespace zor::testrec;

Harness::Harness(uint32_t adapter_type) {
  testhost::reset();
  Zor_init_module();
  Zor_DEVN_BindAdapter(&dev, "wire0", adapter_type, 6, kClientMac, 1500);
  Zor_DEVN_ChangeUPAdapter(&dev);
  std::vector<uint8_t> pid(8, 0);
  uint32_t len = 8, p = 4242;
  memcpy(pid.data(), &len, 4);
  memcpy(pid.data() + 4, &p, 4);
  Zor_Filter_DRV_IoControl_Function(IOCTL_SETPID, pid.data(), &len);
}

Harness::~Harness() {
  Drain();
  Zor_DEVN_UnBindAdapter(&dev);
  Zor_cleanup_module();
}

uint32_t Harness::FromNet(const Bytes &frame) {
  testhost::Netbuf nb = testhost::frame(&dev, frame);
  return Zor_net_inputoutputEx(0, &nb, &dev, 0);
}

std::vector<uint32_t> Harness::FromNetBatch(const std::vector<Bytes> &frames) {
  std::vector<testhost::Netbuf> nbs;
  for (const Bytes &f : frames) nbs.push_back(testhost::frame(&dev, f));
  std::vector<void *> ptrs;
  for (auto &nb : nbs) ptrs.push_back(&nb);
  std::vector<uint32_t> verdicts(frames.size(), 99);
  Zor_net_inputoutput_batch(0, ptrs.data(), (uint32_t)ptrs.size(), &dev, verdicts.data());
  return verdicts;
}

uint32_t Harness::FromStack(const Bytes &frame) {
  testhost::Netbuf nb = testhost::frame(&dev, frame);
  return Zor_net_inputoutputEx(1, &nb, &dev, 0);
}

std::vector<Sent> Harness::Drain() {
  FilterSettleWork();  // works may queue others
  Zor_net_inputoutput_CheckQueue();
  std::vector<Sent> out;
  for (testhost::Netbuf *nb : testhost::take_handed_over()) {
    out.push_back({nb->to_network, nb->bytes});
    Zor_net_inputoutput_complete(nullptr, nb, nb->netdev);
    KERN_netbuf_free(nb);
  }
  return out;
}

void Harness::Tick(uint32_t n) {
  for (uint32_t i = 0; i < n; i++) Zor_DEV_NetTimerCallback();
}

int32_t Harness::Request(uint32_t code, const Bytes &payload, Bytes *reply) {
  Bytes buf(24 + 18408, 0);
  store_le16(&buf[0], DRV_REQUEST_MAGIC);
  uint32_t len = (uint32_t)payload.size();
  memcpy(buf.data() + 20, &len, 4);
  std::copy(payload.begin(), payload.end(), buf.begin() + 24);
  int32_t answer = FilterGetInformation(code, buf.data(), (uint32_t)buf.size());
  if (reply) *reply = buf;
  return answer;
}

std::vector<uint32_t> Harness::Events() {
  std::vector<uint32_t> out;
  for (;;) {
    uint8_t buf[8] = {8};
    uint32_t len = 8;
    Zor_Filter_DRV_IoControl_Function(IOCTL_GETCODE, buf, &len);
    uint32_t code;
    memcpy(&code, buf + 4, 4);
    if (!code) return out;
    out.push_back(code);
  }
}

Bytes Harness::GatewayFrame(const Bytes &datagram, uint16_t outer_flags) const {
  Ip h;
  h.src = kGatewayIp;
  h.dst = kClientIp;
  h.frag = outer_flags;
  return FromGateway(h, Udp(87, kClientPort, datagram));
}

Bytes Harness::DatagramOf(const Sent &s) {
  const Bytes &f = s.bytes;
  if (!s.to_network || f.size() < 42 || load_be16(&f[12]) != 0x0800 || f[23] != 17) return {};
  size_t ihl = (f[14] & 15) * 4;
  const uint8_t *udp = f.data() + 14 + ihl;
  if (load_be16(udp + 2) != 87) return {};
  return Bytes(udp + 8, udp + load_be16(udp + 4));
}

std::vector<gwsim::TunnelPeer::Result> Harness::ToGateway(const std::vector<Sent> &sent) {
  std::vector<gwsim::TunnelPeer::Result> results;
  uint32_t client;
  store_be32(reinterpret_cast<uint8_t *>(&client), kClientIp);
  for (const Sent &s : sent) {
    Bytes d = DatagramOf(s);
    if (d.empty()) continue;
    results.push_back(tunnel_->Take(d.data(), d.size(), client, load_be16(&s.bytes[14 + 6])));
    for (const Bytes &r : results.back().replies) FromNet(GatewayFrame(r));
  }
  return results;
}

namespace {

Bytes Payload(const Bytes &reply) {
  uint32_t len;
  memcpy(&len, reply.data() + 20, 4);
  return Bytes(reply.begin() + 24, reply.begin() + 24 + len);
}

Bytes Le(std::initializer_list<uint32_t> words) {
  Bytes b;
  for (uint32_t w : words)
    for (int i = 0; i < 4; i++) b.push_back((uint8_t)(w >> (8 * i)));
  return b;
}

bool Fail(const char *step) {
  fprintf(stderr, "connect failed at %s\n", step);
  return false;
}

}  // namespace

Harness::Keys Harness::Keys::Make() {
  Keys k{gwsim::MakeKeyPair(), {}};
  uint8_t priv[32];
  if (getrandom(priv, sizeof priv, 0) != sizeof priv) abort();
  priv[31] &= 0x3F;
  k.ephemeral = EphemeralRecord(priv);
  return k;
}

bool Harness::Connect(bool mgm, Stage until, const Keys *keys) {
  gwsim::Options o;
  Keys fresh;
  if (!keys) {
    fresh = Keys::Make();
    keys = &fresh;
  }
  peer_ = std::make_unique<gwsim::HandshakePeer>(o, keys->gateway);
  Bytes reply;
  Request(RQC_SETMAGMAENABLED, Le({mgm ? 1u : 0u}));
  if (Request(RQC_INIT, InitRecord(kGatewayIp)) < 0) return Fail("init");
  if (Request(RQC_SETAUXINFO, AuxRecord(true)) < 0) return Fail("auxinfo");
  if (Request(RQC_MAKESYNRQ, keys->ephemeral, &reply) <= 24) return Fail("synrq");
  Bytes synrq = Payload(reply);
  Bytes connecting = Le({0, 0, 0});
  connecting.resize(14, 0);
  Request(RQC_PCONNECTING, connecting);
  Request(RQC_SETCLIENTSOCKET, Le({kClientIp, kClientPort}));
  Ip h;
  h.dst = kGatewayIp;
  if (FromStack(FromClient(h, Udp(kClientPort, 87, synrq))) != 0) return Fail("synrq frame");
  if (until == Stage::kSynRqSent) return true;
  for (const Bytes &rr : peer_->Handle(synrq.data(), synrq.size())) Request(RQC_TREATPACKET, rr);
  Request(RQC_CREATETRANSPORTKEY, Bytes(peer_->public_key(), peer_->public_key() + 64));
  if (Request(RQC_MAKESYNOK, {}, &reply) <= 24) return Fail("synok");
  Bytes synok = Payload(reply);
  if (FromStack(FromClient(h, Udp(kClientPort, 87, synok))) != 0) return Fail("synok frame");
  if (until == Stage::kSynOkSent) return true;
  Bytes block;
  auto okfs = peer_->Handle(synok.data(), synok.size());
  if (okfs.empty()) fprintf(stderr, "gateway refused the SYN OK: %s\n", peer_->error().c_str());
  for (const Bytes &okf : okfs) {
    Request(RQC_TREATPACKET, okf, &reply);
    int32_t status;
    memcpy(&status, reply.data() + 12, 4);
    if (status) fprintf(stderr, "SYN OKF status %d\n", status);
    block = Payload(reply);
  }
  if (block.size() < 64) return Fail("synokf");
  Request(RQC_SETKEYS, KeyRecord(block.data(), kClientIp, kClientPort), &reply);
  if (reply[2] != 7) return Fail("setkeys");
  Bytes name(12, 0);
  uint32_t len = 12;
  memcpy(name.data(), &len, 4);
  memcpy(name.data() + 4, "wire0", 5);
  Zor_Filter_DRV_IoControl_Function(IOCTL_SETVPNADAPTER, name.data(), &len);
  bool uses_mgm = reply[24 + 1] & 0x20;
  tunnel_ = std::make_unique<gwsim::TunnelPeer>(gwsim::SessionOf(*peer_, mgm && uses_mgm));
  Drain();
  return true;
}

}  // namespace pp
