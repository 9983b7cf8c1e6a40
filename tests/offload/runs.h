// For the tests of the coalescing of device writes: TCP segments and UDP
// datagrams as the filter hands them over, the bytes of a write, and a UDP
// run cut as the kernel cuts it.
#pragma once
#include <sys/uio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "byte_order.h"
#include "offload/checksum.h"
#include "offload/coalesce.h"
#include "tests/packetpath/frames.h"

namespace runs {

using Bytes = std::vector<uint8_t>;
using zor::offload::Link;

// A frame as it is written behind `link`: Ethernet as built, or the bare
// packet.
inline Bytes for_link(Link link, const Bytes &ethernet) {
  return Bytes(ethernet.begin() + (link == Link::kEthernet ? 0 : 14), ethernet.end());
}

// A segment of 192.0.2.2:4000 -> 192.0.2.1:5000 unless varied, ACK with
// timestamps, with right checksums unless spoilt.
struct Segment {
  uint32_t seq;
  size_t len;  // payload bytes; the n-th of them is seq + n
  uint8_t flags = 0x10;
  uint32_t ack = 77;
  uint16_t window = 512;
  uint16_t sport = 4000, dport = 5000;
  uint8_t src_host = 2, dst_host = 1;  // the addresses' last bytes
  uint8_t proto = 6, ttl = 64, tos = 0;
  uint16_t frag = 0x4000;  // flags and fragment offset
  uint8_t dst_mac_last = 1;
  bool timestamps = true;
  uint8_t tsval = 1;
  uint16_t tcp_csum_xor = 0;  // spoils the right TCP checksum
  uint16_t ip_csum_xor = 0;   // spoils the right IPv4 header checksum
};

inline Bytes frame(const Segment &s, const uint8_t *dst_mac = nullptr) {
  pp::Tcp t;
  t.sport = s.sport;
  t.dport = s.dport;
  t.seq = s.seq;
  t.ack = s.ack;
  t.flags = s.flags;
  if (s.timestamps) t.options = {1, 1, 8, 10, 0, 0, 0, s.tsval, 0, 0, 0, 9};
  for (size_t i = 0; i < s.len; i++) t.payload.push_back(static_cast<uint8_t>(s.seq + i));
  Bytes tcp = pp::TcpSegment(t);
  store_be16(&tcp[14], s.window);
  pp::Ip ip;
  ip.src = 0xC0000200u | s.src_host;
  ip.dst = 0xC0000200u | s.dst_host;
  ip.proto = s.proto;
  ip.ttl = s.ttl;
  ip.tos = s.tos;
  ip.id = static_cast<uint16_t>(s.seq);
  ip.frag = s.frag;
  Bytes packet = pp::Ipv4(ip, tcp);
  store_be16(&packet[10], load_be16(&packet[10]) ^ s.ip_csum_xor);
  store_be16(&packet[36], load_be16(&packet[36]) ^ s.tcp_csum_xor);
  const uint8_t mac[6] = {2, 0, 0, 0, 0, s.dst_mac_last};
  return pp::Ether(dst_mac ? dst_mac : mac, pp::kClientMac, 0x0800, packet);
}

// A datagram of 192.0.2.2:4000 -> 192.0.2.1:5000 unless varied, with right
// checksums unless spoilt.
struct Datagram {
  uint16_t id;
  size_t len;           // payload bytes; the n-th of them is id + n
  uint16_t frag = 0;    // flags and fragment offset
  uint16_t sport = 4000, dport = 5000;
  uint8_t src_host = 2, dst_host = 1;  // the addresses' last bytes
  uint8_t ttl = 64;
  uint8_t dst_mac_last = 1;
  int udp_len_delta = 0;     // added to the UDP length (checksum made to suit)
  uint16_t udp_csum_xor = 0;  // spoils the right UDP checksum
  bool no_udp_csum = false;  // the payload made so that 0 sums as a right one
  uint16_t ip_csum_xor = 0;   // spoils the right IPv4 header checksum
};

inline Bytes frame(const Datagram &d, const uint8_t *dst_mac = nullptr) {
  Bytes f(14 + 20 + 8 + d.len);
  const uint8_t mac[6] = {2, 0, 0, 0, 0, d.dst_mac_last};
  std::memcpy(f.data(), dst_mac ? dst_mac : mac, 6);
  std::memcpy(&f[6], "\x02\x00\x00\x00\x00\x02", 6);
  store_be16(&f[12], 0x0800);
  uint8_t *ip = &f[14], *udp = ip + 20;
  ip[0] = 0x45;
  store_be16(ip + 2, static_cast<uint16_t>(28 + d.len));
  store_be16(ip + 4, d.id);
  store_be16(ip + 6, d.frag);
  ip[8] = d.ttl;
  ip[9] = 17;
  const uint8_t src[4] = {192, 0, 2, d.src_host}, dst[4] = {192, 0, 2, d.dst_host};
  std::memcpy(ip + 12, src, 4);
  std::memcpy(ip + 16, dst, 4);
  store_be16(ip + 10, zor::offload::checksum_fold(zor::offload::checksum_add(0, ip, 20)) ^ d.ip_csum_xor);
  store_be16(udp, d.sport);
  store_be16(udp + 2, d.dport);
  const size_t udplen = 8 + d.len + d.udp_len_delta;
  store_be16(udp + 4, static_cast<uint16_t>(udplen));
  for (size_t i = 0; i < d.len; i++) udp[8 + i] = static_cast<uint8_t>(d.id + i);
  auto right = [&] {
    return zor::offload::checksum_fold(zor::offload::checksum_add(0, ip + 12, 8) + 17 + udplen +
                                    zor::offload::checksum_add(0, udp, udplen));
  };
  if (d.no_udp_csum && d.len >= 2) {
    store_be16(udp + 8, 0);
    store_be16(udp + 8, right());  // now the right checksum is 0xFFFF
  }
  uint16_t sum = right();
  if (d.no_udp_csum)
    sum = 0;
  else if (sum == 0)
    sum = 0xFFFF;
  store_be16(udp + 6, sum ^ d.udp_csum_xor);
  return f;
}

// Datagrams of one flow to 192.0.2.`dst_host`: 40 of 1200 bytes and a
// shorter last, 30 with DF and identifications as they come, 100 of 100
// bytes (more than one run holds) with an identification out of turn, one
// without a checksum; one with a wrong checksum among them.
inline std::vector<Datagram> mixed_datagrams(uint8_t dst_host = 1) {
  std::vector<Datagram> out;
  uint16_t id = 65500;
  for (int i = 0; i < 40; i++) out.push_back({id++, i < 39 ? 1200u : 333u});
  for (int i = 0; i < 30; i++) out.push_back({static_cast<uint16_t>(7 * i), 1000, 0x4000});
  for (int i = 0; i < 100; i++) {
    if (i == 70) id += 5;
    out.push_back({id++, 100});
    out.back().udp_csum_xor = i == 50 ? 0x0400 : 0;
  }
  out.push_back({id++, 100});
  out.back().no_udp_csum = true;
  for (Datagram &d : out) d.dst_host = dst_host;
  return out;
}

// The bytes of a write, without its virtio-net header.
inline Bytes written(const zor::offload::DeviceWrite &w, const zor::offload::FrameBytes *frames) {
  std::vector<iovec> iov(2 + w.frames);
  size_t parts = zor::offload::write_iov(w, frames, iov.data());
  Bytes whole;
  for (size_t k = 1; k < parts; k++) {
    auto *p = static_cast<const uint8_t *>(iov[k].iov_base);
    whole.insert(whole.end(), p, p + iov[k].iov_len);
  }
  return whole;
}

// A UDP run cut as the kernel cuts it: each piece the head's headers and
// gso_size bytes (the last what is left), the identification the head's
// + i, the lengths and checksums made for the piece. Empty when the header
// does not fit the bytes.
inline std::vector<Bytes> cut_udp_run(const zor::offload::VnetHeader &vnet, const Bytes &whole,
                                      Link link = Link::kEthernet) {
  using zor::offload::checksum_add;
  using zor::offload::checksum_fold;
  const size_t l2 = static_cast<size_t>(link);
  const size_t ihl = vnet.csum_start - l2;
  if (vnet.csum_start < l2 + 20 || vnet.hdr_len != vnet.csum_start + 8u || !vnet.gso_size ||
      whole.size() <= vnet.hdr_len)
    return {};
  std::vector<Bytes> out;
  for (size_t at = vnet.hdr_len, i = 0; at < whole.size(); at += vnet.gso_size, i++) {
    const size_t len = std::min<size_t>(vnet.gso_size, whole.size() - at);
    Bytes seg(whole.begin(), whole.begin() + vnet.hdr_len);
    seg.insert(seg.end(), whole.begin() + at, whole.begin() + at + len);
    uint8_t *ip = &seg[l2], *udp = &seg[vnet.csum_start];
    store_be16(ip + 2, static_cast<uint16_t>(seg.size() - l2));
    store_be16(ip + 4, static_cast<uint16_t>(load_be16(ip + 4) + i));
    store_be16(ip + 10, 0);
    store_be16(ip + 10, checksum_fold(checksum_add(0, ip, ihl)));
    // The head's partial sum moved from the run's UDP length to the
    // piece's, then the checksum completed from it.
    const size_t udplen = seg.size() - vnet.csum_start;
    const uint64_t partial = load_be16(udp + 6) + static_cast<uint16_t>(~load_be16(udp + 4)) + udplen;
    store_be16(udp + 4, static_cast<uint16_t>(udplen));
    store_be16(udp + 6, static_cast<uint16_t>(~checksum_fold(partial)));
    uint16_t saved;
    zor::offload::complete_partial_checksum(vnet, seg.data(), seg.size(), &saved);
    out.push_back(seg);
  }
  return out;
}

}  // namespace runs
