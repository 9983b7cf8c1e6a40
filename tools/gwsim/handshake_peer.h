// The gateway's side of the tunnel handshake, for the simulator and the
// tests: checks the client's SYN RQ and SYN OK, answers with SYN RR (whole or
// in fragments), status datagrams and SYN OKF, and derives the same session
// keys as the client. It follows the wire-format choices written down in
// kernel/filter/wire_format.h. The client's public key is the first 64 bytes
// of the SYN RQ's 'A' block.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "kernel/filter/wire_format.h"
#include "tools/gwsim/syn_request_assembly.h"

namespace gwsim {

using Bytes = std::vector<uint8_t>;

// Ways to misbehave on purpose.
enum class Fault {
  kNone,
  kBadCrc,        // SYN RR trailer wrong
  kBadMagic,      // SYN RR with another protocol magic
  kWrongVariant,  // status (or SYN RR) with a variant the client does not use
  kTruncate,      // SYN RR cut below its fixed header
  kOversize,      // SYN RR datagram longer than its TLV length says
  kFragPast,      // a fragment whose offset lies past the bundle
  kBadOkfImit,    // SYN OKF (variant 17) with a wrong imitation
  kBadDynCfgImit, // SYN OKF whose TLV 20 carries a wrong imitation (trailer right)
  kSilentSynOk,   // the SYN OK is taken but never answered
};

struct Options {
  uint8_t variant = 17;         // the variant the gateway chooses
  uint32_t options = 0x3;       // gateway options word (mode 3, MGM offered)
  uint32_t fragment = 0;        // largest SYN RR datagram; 0 = one datagram
  bool shuffle = false;         // fragments in reverse order
  bool duplicate = false;       // every fragment twice
  int32_t status_code = -1;     // answer the SYN RQ with this status instead
  std::string status_value;     // TLV 'H' (code 24) or 'J' (code 19)
  int32_t okf_status_code = -1; // answer the SYN OK with this status instead
  Fault fault = Fault::kNone;
  uint32_t stage_timeout = 5;
  uint32_t session_id = 0x5e551011;
  std::string status_text = "{\"tunnel\":\"up\"}";
  uint16_t dyncfg_format = 0x0300;   // the format word of TLV 20
  std::string dns_suffixes;          // TLV 0x44 ("a.example;b.example"); empty: none
  // With key agreement: the PKI block's push deadline, in seconds from the
  // SYN RR (negative: already past). A deadline beyond 32 bits is sent as
  // an 8-byte word.
  bool push_deadline = false;
  int64_t push_deadline_s = 0;
};

// The gateway's key pair.
struct KeyPair {
  uint8_t priv[32];
  uint8_t pub[64];
};
KeyPair MakeKeyPair();

class HandshakePeer {
 public:
  // With a key pair of its own, or with the one given (a gateway keeps its
  // key from one handshake to the next).
  explicit HandshakePeer(const Options &o);
  HandshakePeer(const Options &o, const KeyPair &keys);

  // The datagrams that answer one datagram of the client (none when it is
  // refused, error() says why, or when it is a piece of a SYN RQ still
  // incomplete).
  std::vector<Bytes> Handle(const uint8_t *d, size_t n);

  const uint8_t *public_key() const { return pub_; }
  bool keys_ready() const { return keys_ready_; }
  // "vesk seskey" then "client seskey": the client's key block.
  const uint8_t *key_block() const { return keys_; }
  const std::string &error() const { return error_; }
  // What the data side of the session needs.
  const uint8_t *gw_nonce() const { return gw_nonce_; }
  const uint8_t *client_nonce() const { return client_nonce_; }
  // The send master value of the SYN OKF (the fixed one in variant 17).
  const uint8_t *okf_send_master() const { return okf_send_master_; }
  uint32_t session_id() const { return o_.session_id; }
  uint8_t variant() const { return o_.variant; }
  const std::string &auth_block_text() const { return auth_text_; }

  // Builders, public for the tests.
  Bytes SynRr() const;
  Bytes Status(uint32_t code, uint8_t tag, const std::string &value, uint8_t variant) const;
  Bytes SynOkf() const;
  std::vector<Bytes> Fragments(const Bytes &rr) const;

 private:
  bool Fail(const char *why);
  bool TakeSynRq(const uint8_t *d, size_t n);
  bool TakeSynOk(const uint8_t *d, size_t n);
  std::vector<Bytes> AnswerSynRq();
  Bytes DynCfg() const;
  void PutDeadline(Bytes &b, const zor::wire::TlvKey &key) const;

  Options o_;
  uint8_t priv_[32], pub_[64];
  uint8_t client_pub_[64] = {};
  uint8_t master_[32] = {};
  uint8_t gw_nonce_[16];
  uint8_t client_nonce_[16] = {};
  uint8_t client_variant_ = 0;   // the variant of the client's SYN RQ
  uint8_t bundle_ = 0;
  uint8_t keys_[64] = {};
  mutable uint8_t okf_send_master_[32] = {};
  bool keys_ready_ = false;
  bool agreement_ = false;       // authentication variant 131
  std::string error_;
  std::string auth_text_;
  SynRequestAssembly assembly_;
};

// The fault named on the command line, or false.
bool ParseFault(const std::string &name, Fault *out);

}  // namespace gwsim
