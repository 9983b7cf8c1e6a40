// The generic-netlink messages of zornfhost's control endpoint: parsing of
// what clients send and building of the replies, errors and doorbells.
// Integers are in host byte order, as netlink carries them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zornfhost {

// The endpoint's fixed port id, above the range of process ids.
constexpr uint32_t kControlPort = 0x7A4E0001;
// Family names the daemon looks up, and the ids this host gives them. Ids
// are fixed (any value from 0x11 up is free on NETLINK_USERSOCK).
constexpr std::string_view kRequestFamily = "/tmp/SolvrnVpn";
constexpr std::string_view kEventFamily = "SolvrnVpnEvent";
constexpr uint16_t kRequestFamilyId = 0x7A4E;
constexpr uint16_t kEventFamilyId = 0x7A4F;

constexpr uint16_t kGenlCtrlType = 0x10;
constexpr uint8_t kCtrlCmdNewFamily = 1;
constexpr uint8_t kCtrlCmdGetFamily = 3;
constexpr uint8_t kRequestCommand = 1;
constexpr uint16_t kRequestAttribute = 1;

// The netlink header (struct nlmsghdr) under the names this host uses.
struct NlHeader {
  uint32_t len;     // the whole message
  uint16_t type;    // family id, or a control type
  uint16_t flags;
  uint32_t seq;
  uint32_t pid;     // the sender's port id
};
static_assert(sizeof(NlHeader) == 16, "the netlink header is 16 bytes");
constexpr size_t kNlHeader = sizeof(NlHeader);
// Netlink and generic-netlink (struct genlmsghdr: cmd, version, 2 reserved)
// headers; the attributes follow.
constexpr size_t kGenlHeader = kNlHeader + 4;

// One message of a datagram, checked against the bytes that came.
struct Message {
  NlHeader hdr;
  const uint8_t *bytes;  // the whole message, hdr.len bytes
};

// Splits a datagram into messages. Stops at the first header that is
// truncated or claims more bytes than came.
std::vector<Message> split_datagram(const uint8_t *data, size_t len);

// The command of the generic-netlink header (the message must hold one).
uint8_t genl_command(const Message &m);

// The first attribute of `type` after the generic-netlink header, bounded
// by the message; nullptr (and len 0) when none or malformed.
const uint8_t *find_attribute(const Message &m, uint16_t type, size_t *payload_len);

// The family name of a CTRL_CMD_GETFAMILY request, empty when there is none.
std::string_view requested_family(const Message &m);

// A controller reply for a family, laid out as a kernel's controller
// reply: name, id, version, header size, maximum attribute, operations.
std::vector<uint8_t> build_family_reply(const NlHeader &request, std::string_view name,
                                        uint16_t id);
// A netlink error (or, with error 0, an acknowledgement) for a request.
std::vector<uint8_t> build_error(const NlHeader &request, int error);
// A request reply carrying `data` in attribute 1.
std::vector<uint8_t> build_request_reply(const NlHeader &request, const uint8_t *data,
                                         size_t len);
// The empty doorbell message of the event family.
std::vector<uint8_t> build_doorbell(uint32_t sender_port);

}  // namespace zornfhost
