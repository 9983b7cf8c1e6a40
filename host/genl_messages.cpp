#include "host/genl_messages.h"

#include <linux/genetlink.h>
#include <linux/netlink.h>

#include <cstring>

#include "byte_order.h"

namespace zornfhost {
namespace {

static_assert(kNlHeader == NLMSG_HDRLEN && kGenlHeader == NLMSG_HDRLEN + GENL_HDRLEN,
              "the headers as netlink lays them out");

size_t align4(size_t n) { return (n + 3) & ~size_t{3}; }

// Appends netlink/generic-netlink pieces; the message length is fixed at
// the end.
class Builder {
 public:
  Builder(uint16_t type, uint16_t flags, uint32_t seq, uint32_t pid) {
    NlHeader h{0, type, flags, seq, pid};
    put(&h, sizeof h);
  }
  void genl(uint8_t cmd, uint8_t version) {
    genlmsghdr g{cmd, version, 0};
    put(&g, sizeof g);
  }
  void attr(uint16_t type, const void *data, size_t len) {
    nlattr a{static_cast<uint16_t>(NLA_HDRLEN + len), type};
    put(&a, sizeof a);
    put(data, len);
    pad();
  }
  void attr_u16(uint16_t type, uint16_t v) { attr(type, &v, 2); }
  void attr_u32(uint16_t type, uint32_t v) { attr(type, &v, 4); }
  size_t begin_nest(uint16_t type) {
    size_t at = buf_.size();
    attr(type, nullptr, 0);
    return at;
  }
  void end_nest(size_t at) {
    store_ne16(&buf_[at + offsetof(nlattr, nla_len)], static_cast<uint16_t>(buf_.size() - at));
  }
  void put(const void *data, size_t len) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    if (len) buf_.insert(buf_.end(), p, p + len);
  }
  std::vector<uint8_t> finish() {
    store_ne32(buf_.data() + offsetof(NlHeader, len), static_cast<uint32_t>(buf_.size()));
    return std::move(buf_);
  }

 private:
  void pad() { buf_.resize(align4(buf_.size()), 0); }
  std::vector<uint8_t> buf_;
};

}  // namespace

std::vector<Message> split_datagram(const uint8_t *data, size_t len) {
  std::vector<Message> out;
  size_t at = 0;
  while (len - at >= kNlHeader) {
    Message m;
    std::memcpy(&m.hdr, data + at, sizeof m.hdr);
    if (m.hdr.len < kNlHeader || m.hdr.len > len - at) break;
    m.bytes = data + at;
    out.push_back(m);
    at += align4(m.hdr.len);
    if (at > len) break;
  }
  return out;
}

uint8_t genl_command(const Message &m) {
  genlmsghdr g;
  std::memcpy(&g, m.bytes + kNlHeader, sizeof g);
  return g.cmd;
}

const uint8_t *find_attribute(const Message &m, uint16_t type, size_t *payload_len) {
  *payload_len = 0;
  size_t at = kGenlHeader;
  while (at + NLA_HDRLEN <= m.hdr.len) {
    nlattr a;
    std::memcpy(&a, m.bytes + at, sizeof a);
    uint16_t atype = a.nla_type & NLA_TYPE_MASK;
    if (a.nla_len < NLA_HDRLEN || a.nla_len > m.hdr.len - at) return nullptr;
    if (atype == type) {
      *payload_len = a.nla_len - NLA_HDRLEN;
      return m.bytes + at + NLA_HDRLEN;
    }
    at += align4(a.nla_len);
  }
  return nullptr;
}

std::string_view requested_family(const Message &m) {
  size_t len = 0;
  const uint8_t *name = find_attribute(m, CTRL_ATTR_FAMILY_NAME, &len);
  if (!name) return {};
  const char *text = reinterpret_cast<const char *>(name);
  size_t n = strnlen(text, len);
  if (n == len) return {};  // not terminated inside the attribute
  return {text, n};
}

std::vector<uint8_t> build_family_reply(const NlHeader &request, std::string_view name,
                                        uint16_t id) {
  Builder b(GENL_ID_CTRL, 0, request.seq, request.pid);
  b.genl(kCtrlCmdNewFamily, 2);
  std::string text(name);
  b.attr(CTRL_ATTR_FAMILY_NAME, text.c_str(), text.size() + 1);
  b.attr_u16(CTRL_ATTR_FAMILY_ID, id);
  b.attr_u32(CTRL_ATTR_VERSION, 1);
  b.attr_u32(CTRL_ATTR_HDRSIZE, 0);
  b.attr_u32(CTRL_ATTR_MAXATTR, 1);
  size_t ops = b.begin_nest(CTRL_ATTR_OPS);
  size_t op = b.begin_nest(1);
  b.attr_u32(CTRL_ATTR_OP_ID, kRequestCommand);
  b.attr_u32(CTRL_ATTR_OP_FLAGS, 0);
  b.end_nest(op);
  b.end_nest(ops);
  return b.finish();
}

std::vector<uint8_t> build_error(const NlHeader &request, int error) {
  Builder b(NLMSG_ERROR, NLM_F_CAPPED, request.seq, request.pid);
  b.put(&error, sizeof error);
  b.put(&request, sizeof request);
  return b.finish();
}

std::vector<uint8_t> build_request_reply(const NlHeader &request, const uint8_t *data,
                                         size_t len) {
  Builder b(request.type, 0, request.seq, request.pid);
  b.genl(kRequestCommand, 1);
  b.attr(kRequestAttribute, data, len);
  return b.finish();
}

std::vector<uint8_t> build_doorbell(uint32_t sender_port) {
  Builder b(kEventFamilyId, 0, 0, sender_port);
  b.genl(kRequestCommand, 1);
  return b.finish();
}

}  // namespace zornfhost
