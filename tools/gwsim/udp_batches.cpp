#include "tools/gwsim/udp_batches.h"

#include <netinet/udp.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace gwsim {
namespace {

// One segmentation send: at most this many datagrams, and no more bytes
// than one IPv4 packet's payload after the UDP header.
constexpr size_t kSendSegments = 64;
constexpr size_t kSendBytes = 65535 - 20 - 8;
// Segmentation sends per sendmmsg call.
constexpr size_t kSendRuns = 16;

// The run of datagrams from dg[0] that one segmentation send takes: all of
// the first one's size, the last one maybe shorter.
size_t RunAt(const iovec *dg, size_t n) {
  size_t m = 1, bytes = dg[0].iov_len;
  while (m < n && m < kSendSegments && dg[m].iov_len <= dg[0].iov_len &&
         bytes + dg[m].iov_len <= kSendBytes) {
    bytes += dg[m].iov_len;
    if (dg[m++].iov_len < dg[0].iov_len) break;
  }
  return m;
}

void SendEach(int fd, const sockaddr_in &to, const iovec *dg, size_t n) {
  mmsghdr msgs[kSendSegments] = {};
  for (size_t k = 0; k < n; k++) {
    msgs[k].msg_hdr.msg_iov = const_cast<iovec *>(&dg[k]);
    msgs[k].msg_hdr.msg_iovlen = 1;
    msgs[k].msg_hdr.msg_name = const_cast<sockaddr_in *>(&to);
    msgs[k].msg_hdr.msg_namelen = sizeof to;
  }
  for (size_t sent = 0; sent < n;) {
    int r = sendmmsg(fd, msgs + sent, (unsigned)(n - sent), 0);
    sent += r > 0 ? (size_t)r : 1;  // one the socket refuses is lost
  }
}

// Datagrams of one DF mode, in segmentation sends.
void SendStretch(int fd, const sockaddr_in &to, const iovec *dg, size_t n) {
  mmsghdr msgs[kSendRuns] = {};
  alignas(cmsghdr) uint8_t control[kSendRuns][CMSG_SPACE(sizeof(uint16_t))] = {};
  size_t start[kSendRuns], len[kSendRuns];
  for (size_t i = 0; i < n;) {
    size_t runs = 0;
    for (; runs < kSendRuns && i < n; runs++) {
      start[runs] = i;
      len[runs] = RunAt(dg + i, n - i);
      msghdr &h = msgs[runs].msg_hdr;
      h = msghdr{};
      h.msg_name = const_cast<sockaddr_in *>(&to);
      h.msg_namelen = sizeof to;
      h.msg_iov = const_cast<iovec *>(dg + i);
      h.msg_iovlen = len[runs];
      h.msg_control = control[runs];
      h.msg_controllen = sizeof control[runs];
      cmsghdr *c = CMSG_FIRSTHDR(&h);
      c->cmsg_level = SOL_UDP;
      c->cmsg_type = UDP_SEGMENT;
      c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
      const uint16_t size = (uint16_t)dg[i].iov_len;
      memcpy(CMSG_DATA(c), &size, sizeof size);
      i += len[runs];
    }
    for (size_t sent = 0; sent < runs;) {
      int r = sendmmsg(fd, msgs + sent, (unsigned)(runs - sent), 0);
      if (r > 0) {
        sent += (size_t)r;
        continue;
      }
      SendEach(fd, to, dg + start[sent], len[sent]);
      sent++;
    }
  }
}

}  // namespace

void EnableReceiveCoalescing(int fd) {
  int one = 1;
  if (setsockopt(fd, SOL_UDP, UDP_GRO, &one, sizeof one) != 0) perror("gwsim: UDP_GRO");
}

void SetPathMtuMode(int fd, int mode) {
  if (setsockopt(fd, IPPROTO_IP, IP_MTU_DISCOVER, &mode, sizeof mode) != 0)
    perror("gwsim: IP_MTU_DISCOVER");
}

ReceiveBatch::ReceiveBatch() : room_(new uint8_t[kMessages * kRoom]) {}

int ReceiveBatch::Receive(int fd, size_t messages) {
  messages = std::min(messages, kMessages);
  for (size_t k = 0; k < messages; k++) {
    iov_[k] = {room_.get() + k * kRoom, kRoom};
    msgs_[k] = {};
    msghdr &h = msgs_[k].msg_hdr;
    h.msg_iov = &iov_[k];
    h.msg_iovlen = 1;
    h.msg_name = &from_[k];
    h.msg_namelen = sizeof from_[k];
    h.msg_control = control_[k];
    h.msg_controllen = sizeof control_[k];
  }
  datagrams_.clear();
  coalesced_ = false;
  int got = recvmmsg(fd, msgs_, (unsigned)messages, MSG_DONTWAIT, nullptr);
  for (int k = 0; k < got; k++) {
    uint8_t *buf = room_.get() + (size_t)k * kRoom;
    const size_t len = msgs_[k].msg_len;
    const size_t size = CoalescedSize((size_t)k) ? CoalescedSize((size_t)k) : len;
    coalesced_ = coalesced_ || size < len;
    for (size_t off = 0; off < len; off += size)
      datagrams_.push_back({buf + off, (uint32_t)std::min(size, len - off), (uint32_t)k});
  }
  return got;
}

uint16_t ReceiveBatch::CoalescedSize(size_t k) const {
  msghdr *h = const_cast<msghdr *>(&msgs_[k].msg_hdr);
  for (cmsghdr *c = CMSG_FIRSTHDR(h); c; c = CMSG_NXTHDR(h, c)) {
    if (c->cmsg_level != SOL_UDP || c->cmsg_type != UDP_GRO) continue;
    int size;
    memcpy(&size, CMSG_DATA(c), sizeof size);
    return (uint16_t)(size > 0 ? size : 0);
  }
  return 0;
}

void SendDatagrams(int fd, const sockaddr_in &to, const std::vector<iovec> &dg,
                   const std::vector<bool> &df) {
  const size_t n = dg.size();
  for (size_t i = 0; i < n;) {
    size_t end = i + 1;
    while (end < n && df[end] == df[i]) end++;
    if (!df[i]) SetPathMtuMode(fd, IP_PMTUDISC_DONT);
    SendStretch(fd, to, dg.data() + i, end - i);
    if (!df[i]) SetPathMtuMode(fd, IP_PMTUDISC_WANT);
    i = end;
  }
}

}  // namespace gwsim
