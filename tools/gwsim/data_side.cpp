#include "tools/gwsim/data_side.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/wire_format.h"
#include "tools/gwsim/tun_device.h"

namespace gwsim {
namespace {

using zor::wire::As;
using zor::wire::DataHead;

constexpr size_t kDataHead = sizeof(DataHead);
// Receives per batch once the kernel joins datagrams (each up to 64 KiB):
// a batch stays a share of work that one worker does in a few hundred
// microseconds.
constexpr size_t kCoalescedMessages = 2;
// Frames read from the device per batch: while there is room for one of
// the largest (room for kDownFrames of them) and fewer datagrams than
// kDownDatagrams.
constexpr size_t kDownFrames = 2;
constexpr size_t kDownDatagrams = 64;
constexpr uint16_t kKeepAlive = 16384;
constexpr uint16_t kAccessLevel = 2;

size_t SlotsFor(unsigned workers) { return workers < 2 ? 1 : 3 * (size_t)workers; }

bool IsHandshake(const uint8_t *d, size_t n) {
  uint8_t type = n > 4 ? zor::wire::PacketTypeOf(d) : 0;
  return type == zor::wire::kSynRq || type == zor::wire::kSynOk;
}

void Report(const TunnelPeer::Result &r) {
  using Kind = TunnelPeer::Kind;
  if (!r.error.empty()) fprintf(stderr, "gwsim: tunnel datagram refused: %s\n", r.error.c_str());
  if (r.kind == Kind::kOob && r.code != kKeepAlive)
    fprintf(stderr, "gwsim: out-of-band code %u\n", r.code);
  if (r.kind == Kind::kKeyChange) fprintf(stderr, "gwsim: client key change\n");
  if (r.kind == Kind::kAck) fprintf(stderr, "gwsim: key change acknowledged\n");
}

}  // namespace

void DataSide::Keys::Add(const uint8_t *key) {
  if (keys.empty() || memcmp(keys.back().data(), key, sizeof(Key)) != 0) {
    keys.emplace_back();
    memcpy(keys.back().data(), key, sizeof(Key));
  }
  of.push_back((uint32_t)keys.size() - 1);
}

void DataSide::Keys::Point(std::vector<GuardDataJob> &jobs) const {
  for (size_t k = 0; k < jobs.size(); k++) jobs[k].key = keys[of[k]].data();
}

void DataSide::Keys::Clear() {
  keys.clear();
  of.clear();
}

size_t DataSide::Arena::Take(size_t n) {
  if (used + n > size) {
    size_t grown = std::max(used + n, 2 * size);
    std::unique_ptr<uint8_t[]> q(new uint8_t[grown]);
    if (used) memcpy(q.get(), p.get(), used);
    p = std::move(q);
    size = grown;
  }
  used += n;
  return used - n;
}

void DataSide::DownSlot::Clear() {
  frames.clear();
  cuts.clear();
  jobs.clear();
  keys.Clear();
  out.used = 0;
  off.clear();
  len.clear();
  df.clear();
  data = false;
}

DataSide::DataSide(const DataConfig &config)
    : config_(config), up_slots_(SlotsFor(config.workers)), down_slots_(SlotsFor(config.workers)) {
  for (DownSlot &s : down_slots_) s.in.reset(new uint8_t[kDownFrames * kTunFrameRoom]);
  using zor::pipeline::OrderedPipeline;
  up_ = std::make_unique<OrderedPipeline>(
      config.workers, up_slots_.size(), [this](size_t s) { UpWork(s); },
      [this](size_t s) { UpFinish(s); });
  down_ = std::make_unique<OrderedPipeline>(
      config.workers, down_slots_.size(), [this](size_t s) { DownWork(s); },
      [this](size_t s) { DownFinish(s); });
}

void DataSide::StartSession(const TunnelSession &s, const sockaddr_in &client) {
  std::scoped_lock both(recv_mu_, send_mu_);
  peer_ = std::make_unique<TunnelPeer>(s);
  client_ = client;
}

void DataSide::EndSession() {
  std::scoped_lock both(recv_mu_, send_mu_);
  up_->Drain();
  down_->Drain();
  peer_.reset();
}

void DataSide::Drain() {
  up_->Drain();
  std::lock_guard<std::mutex> send(send_mu_);
  down_->Drain();
}

// From the client.

void DataSide::FromClient(const Handshake &handshake) {
  UpSlot &slot = up_slots_[up_->Next()];
  const size_t messages = messages_;
  int got = slot.rx.Receive(config_.udp, messages);
  if (got <= 0 || silent_) return;
  messages_ = slot.rx.coalesced() ? kCoalescedMessages : ReceiveBatch::kMessages;
  {
    std::lock_guard<std::mutex> recv(recv_mu_);
    if (!NeedsHandshake(slot.rx)) {
      HandUp(slot, (size_t)got < messages);
      return;
    }
  }
  TakeOneByOne(slot.rx, handshake);
}

void DataSide::HandUp(UpSlot &slot, bool caught_up) {
  slot.jobs.clear();
  slot.keys.Clear();
  for (const ReceiveBatch::Datagram &g : slot.rx.datagrams()) {
    if (peer_->IsSessionData(g.d, g.n))
      AddDatagram(slot, g.d, g.n);
    else
      TakeOne(g.d, g.n);
  }
  if (slot.jobs.empty()) return;
  const TunnelSession &session = peer_->session();
  memcpy(slot.nonce, session.gw_nonce, sizeof slot.nonce);
  slot.mgm = session.mgm;
  slot.client_addr = client_.sin_addr.s_addr;
  slot.keys.Point(slot.jobs);
  up_->Submit(caught_up);
}

bool DataSide::NeedsHandshake(const ReceiveBatch &rx) const {
  if (!peer_) return true;
  return std::any_of(rx.datagrams().begin(), rx.datagrams().end(),
                     [](const ReceiveBatch::Datagram &g) { return IsHandshake(g.d, g.n); });
}

void DataSide::AddDatagram(UpSlot &slot, uint8_t *d, uint32_t n) {
  const uint32_t counter = As<DataHead>(d)->counter;
  slot.keys.Add(peer_->RecvKey(counter));
  slot.jobs.push_back({d, n, counter, nullptr, 0});
}

void DataSide::TakeOne(const uint8_t *d, size_t n) {
  std::lock_guard<std::mutex> send(send_mu_);
  TunnelPeer::Result r = peer_->Take(d, n, client_.sin_addr.s_addr, TunnelPeer::kOuterUnknown);
  Report(r);
  if (r.kind == TunnelPeer::Kind::kData && config_.tun >= 0) {
    const zor::offload::FrameBytes one{r.inner.data(), r.inner.size()};
    WritePackets(config_.tun, zor::offload::plan_writes(&one, 1, zor::offload::Link::kNone, false),
                 &one, &udp_runs_);
  }
  QueueToClient(r.replies);
}

void DataSide::TakeOneByOne(const ReceiveBatch &rx, const Handshake &handshake) {
  // What went before is written first; the data datagrams here are then
  // opened one by one in their place.
  up_->Drain();
  for (const ReceiveBatch::Datagram &g : rx.datagrams()) {
    std::unique_lock<std::mutex> recv(recv_mu_);
    if (peer_ && !IsHandshake(g.d, g.n)) {
      TakeOne(g.d, g.n);
      continue;
    }
    recv.unlock();
    handshake(g.d, g.n, rx.sender(g.message));
  }
}

void DataSide::UpWork(size_t s) {
  UpSlot &slot = up_slots_[s];
  GuardOpenDataBatch(slot.jobs.data(), (uint32_t)slot.jobs.size(), slot.nonce, slot.mgm);
  // Each inner packet is built in place: its IPv4 header over the last 20
  // bytes of the datagram's head, its payload where it is.
  slot.packets.clear();
  for (const GuardDataJob &job : slot.jobs) {
    if (!job.ok) continue;
    const DataHead h = *As<DataHead>(job.d);
    const uint32_t payload = job.len - (uint32_t)kDataHead;
    uint8_t *ip = job.d + kDataHead - IPH_MIN_LEN;
    TunnelPeer::InnerHeader(h, payload, slot.client_addr, TunnelPeer::kOuterUnknown, ip);
    slot.packets.push_back({ip, IPH_MIN_LEN + payload});
  }
  slot.writes = zor::offload::plan_writes(slot.packets.data(), slot.packets.size(),
                                          zor::offload::Link::kNone, udp_runs_);
}

void DataSide::UpFinish(size_t s) {
  UpSlot &slot = up_slots_[s];
  for (const GuardDataJob &job : slot.jobs)
    if (!job.ok) fprintf(stderr, "gwsim: tunnel datagram refused: authentication\n");
  if (config_.tun >= 0) WritePackets(config_.tun, slot.writes, slot.packets.data(), &udp_runs_);
}

// To the client.

void DataSide::FromTun() {
  std::lock_guard<std::mutex> send(send_mu_);
  DownSlot &slot = down_slots_[down_->Next()];
  slot.Clear();
  bool caught_up = false;
  for (size_t used = 0;
       slot.jobs.size() < kDownDatagrams && used + kTunFrameRoom <= kDownFrames * kTunFrameRoom;) {
    uint8_t *buf = slot.in.get() + used;
    ssize_t n = read(config_.tun, buf, kTunFrameRoom);
    if (n <= 0) {
      caught_up = true;
      break;
    }
    size_t len = (size_t)n;
    TunFrame f;
    if (!peer_ || !fragments_.Take(buf, &len, kTunFrameRoom) || !PlanFrame(buf, len, &f)) continue;
    used += len;
    AddFrame(slot, f);
  }
  if (slot.jobs.empty()) return;
  slot.data = true;
  const TunnelSession &session = peer_->session();
  memcpy(slot.nonce, session.client_nonce, sizeof slot.nonce);
  slot.mgm = session.mgm;
  slot.keys.Point(slot.jobs);
  for (size_t k = 0; k < slot.jobs.size(); k++) slot.jobs[k].d = slot.out.p.get() + slot.off[k];
  HandDown(slot, caught_up);
}

void DataSide::AddFrame(DownSlot &slot, const TunFrame &f) {
  const uint32_t frame = (uint32_t)slot.frames.size();
  slot.frames.push_back(f);
  const bool df = TunnelPeer::OuterFlags(f.ip) != 0;
  for (uint32_t i = 0; i < f.count; i++) {
    const uint32_t len = (uint32_t)kDataHead + PacketPayloadLen(f, i);
    const size_t off = slot.out.Take(len);
    const uint32_t counter = peer_->StartData(slot.out.p.get() + off, len, f.ip + IPH_SRC,
                                              PacketId(f, i), f.ip[IPH_PROTO]);
    slot.keys.Add(peer_->SendKey(counter));
    slot.jobs.push_back({nullptr, len, counter, nullptr, 0});
    slot.cuts.push_back({frame, i});
    slot.off.push_back((uint32_t)off);
    slot.len.push_back(len);
    slot.df.push_back(df);
  }
}

void DataSide::QueueToClient(const std::vector<Bytes> &datagrams) {
  if (datagrams.empty()) return;
  DownSlot &slot = down_slots_[down_->Next()];
  slot.Clear();
  for (const Bytes &d : datagrams) {
    const size_t off = slot.out.Take(d.size());
    memcpy(slot.out.p.get() + off, d.data(), d.size());
    slot.off.push_back((uint32_t)off);
    slot.len.push_back((uint32_t)d.size());
    // The session's own datagrams go without DF, as the client sends its own.
    slot.df.push_back(false);
  }
  HandDown(slot, true);
}

void DataSide::HandDown(DownSlot &slot, bool caught_up) {
  slot.client = client_;
  down_->Submit(caught_up);
}

void DataSide::DownWork(size_t s) {
  DownSlot &slot = down_slots_[s];
  if (!slot.data) return;
  for (size_t k = 0; k < slot.jobs.size(); k++)
    PutPacketPayload(slot.frames[slot.cuts[k].frame], slot.cuts[k].index,
                     slot.jobs[k].d + kDataHead);
  GuardSealDataBatch(slot.jobs.data(), (uint32_t)slot.jobs.size(), slot.nonce, slot.mgm);
}

void DataSide::DownFinish(size_t s) {
  DownSlot &slot = down_slots_[s];
  if (silent_) return;
  slot.iov.clear();
  for (size_t k = 0; k < slot.off.size(); k++) {
    uint8_t *d = slot.out.p.get() + slot.off[k];
    int left = corrupt_.load();
    if (slot.data && left > 0 && corrupt_.compare_exchange_strong(left, left - 1))
      d[slot.len[k] - 1] ^= 0x01;
    slot.iov.push_back({d, slot.len[k]});
  }
  SendDatagrams(config_.udp, slot.client, slot.iov, slot.df);
}

// Commands.

void DataSide::Command(const std::string &line) {
  std::scoped_lock both(recv_mu_, send_mu_);
  if (!peer_) return;
  unsigned v = 0;
  std::vector<Bytes> out;
  if (line == "keychange") out.push_back(peer_->KeyChange());
  else if (sscanf(line.c_str(), "status %u", &v) == 1) out.push_back(peer_->Status(v));
  else if (sscanf(line.c_str(), "oob-level %u", &v) == 1)
    out.push_back(peer_->Oob(kAccessLevel, {(uint8_t)v}));
  else if (sscanf(line.c_str(), "corrupt %u", &v) == 1) corrupt_ = (int)v;
  else if (line == "silent") silent_ = true;
  else fprintf(stderr, "gwsim: unknown command %s\n", line.c_str());
  QueueToClient(out);
  fprintf(stderr, "gwsim: command %s\n", line.c_str());
}

}  // namespace gwsim
