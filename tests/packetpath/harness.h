// The filter module in-process on the recording test host, with one bound
// Ethernet adapter "wire0" that carries the client's address; frames are
// offered as the host's hooks would offer them, produced frames collected
// from the send queues, and a connection brought up against the gateway
// simulator's peers.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "tests/packetpath/frames.h"
#include "tools/gwsim/handshake_peer.h"
#include "tools/gwsim/tunnel_peer.h"

namespace pp {

constexpr uint16_t kClientPort = 40000;

struct Sent {
  bool to_network;
  Bytes bytes;
};

class Harness {
 public:
  // Loads the module and binds wire0 of the adapter type.
  explicit Harness(uint32_t adapter_type = 0);
  ~Harness();

  // A frame from the network / from the local stack: the verdict.
  uint32_t FromNet(const Bytes &frame);
  uint32_t FromStack(const Bytes &frame);
  // Frames from the network handed over together: their verdicts.
  std::vector<uint32_t> FromNetBatch(const std::vector<Bytes> &frames);
  // Drains the send queues and completes what the host took.
  std::vector<Sent> Drain();
  void Tick(uint32_t n = 1);
  // A framed request: the answer word; reply gets header and payload.
  int32_t Request(uint32_t code, const Bytes &payload, Bytes *reply = nullptr);
  // Events queued for the service, oldest first (popped).
  std::vector<uint32_t> Events();

  // How far Connect goes: the SYN RQ or the SYN OK sent (the filter waits
  // for the gateway's answer), or connected.
  enum class Stage { kSynRqSent, kSynOkSent, kConnected };
  // Key pairs made once for many handshakes: the gateway's, and the
  // daemon's ephemeral one as the record of its SYN RQ request. Making them
  // is most of what a handshake costs; nonces and session keys stay fresh.
  struct Keys {
    gwsim::KeyPair gateway;
    Bytes ephemeral;
    static Keys Make();
  };
  // Runs the handshake with a simulated gateway up to the connected state
  // (or the stage given) and names wire0 the tunnel adapter. mgm asks for
  // MGM (request 37); keys, when given, stand in for fresh key pairs.
  bool Connect(bool mgm = false, Stage until = Stage::kConnected, const Keys *keys = nullptr);
  gwsim::TunnelPeer &gateway() { return *tunnel_; }
  gwsim::HandshakePeer &handshake() { return *peer_; }

  // A datagram of the gateway to the client's tunnel port, as a frame; its
  // outer IPv4 header carries the flags word given.
  Bytes GatewayFrame(const Bytes &datagram, uint16_t outer_flags = 0) const;
  // The UDP payload of a frame the filter sent towards the gateway (empty
  // when it is not one).
  static Bytes DatagramOf(const Sent &s);
  // Hands every datagram for the gateway in sent to the tunnel peer and
  // offers its replies back; returns the peer's results.
  std::vector<gwsim::TunnelPeer::Result> ToGateway(const std::vector<Sent> &sent);

  int dev = 0;

 private:
  std::unique_ptr<gwsim::HandshakePeer> peer_;
  std::unique_ptr<gwsim::TunnelPeer> tunnel_;
};

}  // namespace pp
