#include "tools/gwsim/inner_fragments.h"

#include <cstring>

#include "byte_order.h"
#include "kernel/filter/ip_helpers.h"
#include "offload/checksum.h"
#include "offload/vnet_header.h"

namespace gwsim {

using zor::offload::VnetHeader;

namespace {
constexpr uint32_t kMaxPacket = 65535;
constexpr uint32_t kUnit = 8;
}  // namespace

void InnerFragments::Expire(std::chrono::steady_clock::time_point now) {
  for (auto i = entries_.begin(); i != entries_.end();)
    i = i->second.deadline <= now ? entries_.erase(i) : std::next(i);
}

bool InnerFragments::Overlaps(const Entry &e, uint32_t off, size_t len) {
  auto next = e.pieces.lower_bound(off);
  if (next != e.pieces.end() && next->first < off + len) return true;
  if (next == e.pieces.begin()) return false;
  auto before = std::prev(next);
  return before->first + before->second.size() > off;
}

bool InnerFragments::Complete(const Entry &e) {
  if (!e.total || e.header.empty()) return false;
  uint32_t at = 0;
  for (const auto &[off, bytes] : e.pieces) {
    if (off != at) return false;
    at += (uint32_t)bytes.size();
  }
  return at == e.total;
}

bool InnerFragments::Take(uint8_t *buf, size_t *n, size_t room,
                          std::chrono::steady_clock::time_point now) {
  if (*n < sizeof(VnetHeader) + IPH_MIN_LEN) return true;
  uint8_t *ip = buf + sizeof(VnetHeader);
  const uint16_t frag = load_be16(ip + IPH_FRAG);
  if (IpVersion(ip) != IP_VERSION_4 || !(frag & (IP_MORE_FRAGMENTS | IP_OFFSET_MASK))) return true;
  const uint32_t ihl = IpHeaderLen(ip), total = load_be16(ip + IPH_TOTAL_LEN);
  const uint32_t off = (frag & IP_OFFSET_MASK) * kUnit;
  const bool more = frag & IP_MORE_FRAGMENTS;
  if (ihl < IPH_MIN_LEN || total < ihl || total > *n - sizeof(VnetHeader)) return false;
  const uint32_t len = total - ihl;
  Expire(now);
  const Key key{load_be32(ip + IPH_SRC), load_be32(ip + IPH_DST), ip[IPH_PROTO],
                load_be16(ip + IPH_ID)};
  auto found = entries_.find(key);
  if (found != entries_.end()) {
    auto same = found->second.pieces.find(off);
    if (same != found->second.pieces.end() && same->second.size() == len) return false;  // a duplicate
  }
  // A packet past the largest, a fragment not in whole units, one over
  // bytes held or past the last: the packet is given up.
  const bool bad = off + len > kMaxPacket - ihl || (more && len % kUnit) ||
                   (found != entries_.end() &&
                    (Overlaps(found->second, off, len) ||
                     (found->second.total && off + len > found->second.total) ||
                     (!more && found->second.total)));
  if (bad) {
    if (found != entries_.end()) entries_.erase(found);
    return false;
  }
  if (found == entries_.end()) {
    if (entries_.size() == kMaxEntries) {
      auto oldest = entries_.begin();
      for (auto i = entries_.begin(); i != entries_.end(); ++i)
        if (i->second.serial < oldest->second.serial) oldest = i;
      entries_.erase(oldest);
    }
    found = entries_.emplace(key, Entry{}).first;
    found->second.serial = ++serial_;
    found->second.deadline = now + kLifetime;
  }
  Entry &e = found->second;
  e.pieces.emplace(off, std::vector<uint8_t>(ip + ihl, ip + total));
  if (!more) e.total = off + len;
  if (off == 0) e.header.assign(ip, ip + ihl);
  if (!Complete(e)) return false;
  const size_t whole = e.header.size() + e.total;
  if (sizeof(VnetHeader) + whole > room) {
    entries_.erase(found);
    return false;
  }
  memset(buf, 0, sizeof(VnetHeader));
  memcpy(ip, e.header.data(), e.header.size());
  for (const auto &[at, bytes] : e.pieces) memcpy(ip + e.header.size() + at, bytes.data(), bytes.size());
  store_be16(ip + IPH_TOTAL_LEN, (uint16_t)whole);
  store_be16(ip + IPH_FRAG, (uint16_t)(load_be16(ip + IPH_FRAG) & IP_DONT_FRAGMENT));
  store_be16(ip + IPH_CHECKSUM, 0);
  store_be16(ip + IPH_CHECKSUM,
             zor::offload::checksum_fold(zor::offload::checksum_add(0, ip, e.header.size())));
  *n = sizeof(VnetHeader) + whole;
  entries_.erase(found);
  return true;
}

}  // namespace gwsim
