// The gateway's side of the tunnel's data and control datagrams, for the
// simulator and the tests: unwraps the client's data datagrams into IPv4
// packets, wraps packets for the client, answers keep-alives and key
// changes, starts key changes of its own and builds out-of-band messages
// and in-tunnel status datagrams. It follows the choices written down in
// kernel/filter/tunnel_data.h and tunnel_control.h, with the protection of
// kernel/filter/tunnel_crypto.h.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/gwsim/handshake_peer.h"

namespace gwsim {

// What the handshake left for the session.
// Keys as kernel/filter/wire_format.h maps them: "vesk seskey" is the
// gateway's send master and control key, "client seskey" the client's
// control key and the packet-key base, the SYN OKF's send master value the
// client's send master.
struct TunnelSession {
  uint8_t to_client[32];    // "vesk seskey"
  uint8_t from_client[32];  // "client seskey"
  uint8_t client_master[32];  // the SYN OKF's send master value
  uint8_t gw_nonce[16];
  uint8_t client_nonce[16];
  uint32_t session_id = 0;
  uint8_t variant = 17;
  bool mgm = false;
  bool protocol_flag = true;  // the client's enciphered-data option
};

// The session a completed handshake leaves; mgm as the client chose it.
TunnelSession SessionOf(const HandshakePeer &peer, bool mgm);

class TunnelPeer {
 public:
  explicit TunnelPeer(const TunnelSession &s);

  enum class Kind { kError, kData, kOob, kKeyChange, kAck };
  struct Result {
    Kind kind = Kind::kError;
    Bytes inner;           // kData: the IPv4 packet
    uint16_t code = 0;     // kOob
    Bytes data;            // kOob
    std::vector<Bytes> replies;
    std::string error;
  };
  // One datagram of the client (UDP payload); client_addr is the outer
  // source address (network order), the inner packet's source, and
  // outer_flags the outer header's flags word: the inner packet keeps its
  // DF bit (as the client does on its side), never MF or an offset.
  Result Take(const uint8_t *d, size_t n, uint32_t client_addr, uint16_t outer_flags);
  // The flags word taken for an outer header that is not known (a UDP
  // socket does not show it): the inner packets carry no DF bit.
  static constexpr uint16_t kOuterUnknown = 0;
  // A data datagram of this session (the rest may change the send side too).
  bool IsSessionData(const uint8_t *d, size_t n) const;
  // The data datagram for an IPv4 packet going to the client.
  Bytes Wrap(const uint8_t *ip, size_t n);
  // The flags word of the outer IPv4 header that carries the datagram of
  // the packet at ip: the packet's DF bit only.
  static uint16_t OuterFlags(const uint8_t *ip);

  // The steps of the data path that keep the session's order, for callers
  // that protect and open data datagrams elsewhere (GuardSealDataBatch,
  // GuardOpenDataBatch with the session's nonces and mode):
  // The packet key of a received datagram's counter; valid until the next
  // call that changes the receive side.
  const uint8_t *RecvKey(uint32_t counter);
  // The packet key of a counter of the send side; valid until the next call
  // that changes the send side.
  const uint8_t *SendKey(uint32_t counter);
  // Writes the head of a data datagram of len bytes (the inner payload
  // follows it) for an inner packet from far (network order) with that
  // identification and protocol, at the next send counter, which is
  // returned; the counter moves on past the datagram.
  uint32_t StartData(uint8_t *d, uint32_t len, const uint8_t far[4], uint16_t id, uint8_t proto);
  // The inner packet's IPv4 header (IPH_MIN_LEN bytes at ip) for an opened
  // data datagram's head h and payload bytes; see Take for the addresses
  // and flags.
  static void InnerHeader(const zor::wire::DataHead &h, size_t payload, uint32_t client_addr,
                          uint16_t outer_flags, uint8_t *ip);
  const TunnelSession &session() const { return s_; }

  // A key change of the gateway's direction, with a fresh master key.
  Bytes KeyChange();
  Bytes Oob(uint16_t code, const Bytes &data);
  Bytes Status(uint32_t code) const;

  uint32_t keychanges_taken() const { return keychanges_taken_; }
  uint32_t acks_taken() const { return acks_taken_; }

 private:
  Result TakeData(uint8_t *d, size_t n, uint32_t client_addr, uint16_t outer_flags);
  // The inner packet of an opened data datagram.
  static Result Inner(const uint8_t *d, size_t n, uint32_t client_addr, uint16_t outer_flags);
  Result TakeOob(uint8_t *d, size_t n);
  Result TakeKeyChange(uint8_t *d, size_t n);
  Result TakeAck(uint8_t *d, size_t n);
  Bytes ControlHead(uint8_t type, size_t len) const;

  TunnelSession s_;
  uint8_t send_master_[32], recv_master_[32];
  uint8_t send_packet_[32], recv_packet_[32];
  uint32_t send_index_ = 0, recv_index_ = 0;
  uint32_t send_counter_ = 0;
  uint8_t send_gen_ = 0, recv_gen_ = 0, pending_gen_ = 0;
  bool keychange_pending_ = false;
  uint32_t keychanges_taken_ = 0, acks_taken_ = 0;
};

}  // namespace gwsim
