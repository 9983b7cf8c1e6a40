// For the tests of the TAP writer's coalescing: UDP datagrams as the filter
// hands them over, the bytes of a write, and a UDP run cut as the kernel
// cuts it.
#pragma once
#include <sys/uio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "byte_order.h"
#include "host/checksum.h"
#include "host/tap_coalesce.h"

namespace tap_runs {

using Bytes = std::vector<uint8_t>;

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
  store_be16(ip + 10, zornfhost::checksum_fold(zornfhost::checksum_add(0, ip, 20)) ^ d.ip_csum_xor);
  store_be16(udp, d.sport);
  store_be16(udp + 2, d.dport);
  const size_t udplen = 8 + d.len + d.udp_len_delta;
  store_be16(udp + 4, static_cast<uint16_t>(udplen));
  for (size_t i = 0; i < d.len; i++) udp[8 + i] = static_cast<uint8_t>(d.id + i);
  auto right = [&] {
    return zornfhost::checksum_fold(zornfhost::checksum_add(0, ip + 12, 8) + 17 + udplen +
                                    zornfhost::checksum_add(0, udp, udplen));
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

// The bytes of a write, without its virtio-net header.
inline Bytes written(const zornfhost::TapWrite &w, const zornfhost::FrameBytes *frames) {
  std::vector<iovec> iov(2 + w.frames);
  size_t parts = zornfhost::tap_write_iov(w, frames, iov.data());
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
inline std::vector<Bytes> cut_udp_run(const zornfhost::VnetHeader &vnet, const Bytes &whole) {
  using zornfhost::checksum_add;
  using zornfhost::checksum_fold;
  const size_t ihl = vnet.csum_start - 14u;
  if (vnet.csum_start < 14 + 20 || vnet.hdr_len != vnet.csum_start + 8u || !vnet.gso_size ||
      whole.size() <= vnet.hdr_len)
    return {};
  std::vector<Bytes> out;
  for (size_t at = vnet.hdr_len, i = 0; at < whole.size(); at += vnet.gso_size, i++) {
    const size_t len = std::min<size_t>(vnet.gso_size, whole.size() - at);
    Bytes seg(whole.begin(), whole.begin() + vnet.hdr_len);
    seg.insert(seg.end(), whole.begin() + at, whole.begin() + at + len);
    uint8_t *ip = &seg[14], *udp = &seg[vnet.csum_start];
    store_be16(ip + 2, static_cast<uint16_t>(seg.size() - 14));
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
    zornfhost::complete_partial_checksum(vnet, seg.data(), seg.size(), &saved);
    out.push_back(seg);
  }
  return out;
}

}  // namespace tap_runs
