// The gateway simulator joins the fragments its tunnel device hands over
// into the packet it wraps: in any order, a duplicate ignored; a missing
// fragment, an overlap, a packet past 65,535 bytes or an old entry deliver
// nothing; what is not a fragment passes untouched.
#include "tools/gwsim/inner_fragments.h"

#include <gtest/gtest.h>

#include <cstring>

#include "byte_order.h"
#include "offload/vnet_header.h"
#include "tests/packetpath/frames.h"
#include "tools/gwsim/tun_device.h"

namespace gwsim {
namespace {

using pp::Bytes;
constexpr size_t kVnet = sizeof(zor::offload::VnetHeader);

Bytes Datagram(size_t n) {
  Bytes data(n);
  for (size_t i = 0; i < n; i++) data[i] = (uint8_t)(i * 13 + i / 256);
  pp::Ip ip;
  ip.src = pp::kCorpIp;
  ip.dst = pp::kClientIp;
  return pp::Ipv4(ip, pp::Udp(9000, 40001, data));
}

// The device frame (virtio-net header, packet) of the fragment of `whole`
// with payload bytes [off, off + n).
Bytes Piece(const Bytes &whole, uint32_t off, uint32_t n) {
  const uint32_t payload = (uint32_t)whole.size() - 20;
  Bytes f(kVnet + 20 + n, 0);
  uint8_t *ip = f.data() + kVnet;
  std::memcpy(ip, whole.data(), 20);
  std::memcpy(ip + 20, whole.data() + 20 + off, n);
  store_be16(ip + 2, (uint16_t)(20 + n));
  store_be16(ip + 6, (uint16_t)(off / 8 | (off + n < payload ? 0x2000 : 0)));
  pp::Reseal(ip);
  return f;
}

std::vector<Bytes> Cut(const Bytes &whole, uint32_t step) {
  std::vector<Bytes> out;
  const uint32_t payload = (uint32_t)whole.size() - 20;
  for (uint32_t off = 0; off < payload; off += step)
    out.push_back(Piece(whole, off, std::min(step, payload - off)));
  return out;
}

// The frames offered in order; what came out, as packets.
std::vector<Bytes> Offer(InnerFragments &j, const std::vector<Bytes> &frames,
                         std::chrono::steady_clock::time_point now = {}) {
  std::vector<Bytes> out;
  std::vector<uint8_t> room(kTunFrameRoom);
  for (const Bytes &f : frames) {
    memcpy(room.data(), f.data(), f.size());
    size_t n = f.size();
    if (j.Take(room.data(), &n, room.size(), now)) out.emplace_back(room.begin() + kVnet, room.begin() + n);
  }
  return out;
}

TEST(InnerFragments, FragmentsAreJoinedIntoTheirPacket) {
  const Bytes whole = Datagram(16000), big = Datagram(65507);
  const std::vector<Bytes> p = Cut(whole, 1480), q = Cut(big, 1480);
  // A last fragment that ends 5 bytes past the largest packet.
  Bytes past = Piece(big, 65504, 8);
  store_be16(past.data() + kVnet + 6, 65512 / 8);
  pp::Reseal(past.data() + kVnet);
  Bytes plain(kVnet, 0);
  plain.insert(plain.end(), whole.begin(), whole.end());
  Bytes overlap = p[1];
  store_be16(overlap.data() + kVnet + 6, 0x2000 | 1000 / 8);
  pp::Reseal(overlap.data() + kVnet);
  struct Case {
    const char *what;
    std::vector<Bytes> frames;
    std::vector<Bytes> want;
  };
  const Case cases[] = {
      {"in order", p, {whole}},
      {"reversed", {p.rbegin(), p.rend()}, {whole}},
      {"a duplicate", {p[0], p[1], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10]},
       {whole}},
      {"one missing", {p[0], p[1], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10]}, {}},
      {"an overlap", {p[0], overlap, p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8], p[9], p[10]},
       {}},
      {"the largest UDP datagram", q, {big}},
      {"past 65,535 bytes", {p[0], past}, {}},
      {"not a fragment", {plain}, {whole}},
  };
  for (const Case &c : cases) {
    InnerFragments j;
    EXPECT_EQ(Offer(j, c.frames), c.want) << c.what;
  }
}

TEST(InnerFragments, EntriesAreBoundedInNumberAndLifetime) {
  InnerFragments j;
  using std::chrono::steady_clock;
  const steady_clock::time_point t0{};
  for (uint16_t id = 0; id < InnerFragments::kMaxEntries + 5; id++) {
    Bytes whole = Datagram(3000);
    store_be16(&whole[4], id);
    pp::Reseal(whole.data());
    Offer(j, {Cut(whole, 1480)[0]}, t0);
  }
  EXPECT_EQ(j.waiting(), InnerFragments::kMaxEntries) << "the oldest make room";
  const std::vector<Bytes> p = Cut(Datagram(3000), 1480);
  Offer(j, {p[0], p[1]}, t0 + InnerFragments::kLifetime + std::chrono::seconds(1));
  EXPECT_EQ(j.waiting(), 1u) << "the old entries expired";
  EXPECT_TRUE(Offer(j, {p[2]}, t0 + InnerFragments::kLifetime * 3).empty())
      << "its first fragments expired too";
}

}  // namespace
}  // namespace gwsim
