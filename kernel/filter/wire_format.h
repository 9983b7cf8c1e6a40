// Tunnel wire format shared by the client and the gateway: the layouts of
// every datagram, the CRC trailer, the TLV area and the key derivations of
// the handshake. Every multi-byte field is little-endian; addresses are in
// network order as they stand in the IPv4 header.
//
// Choices this implementation (and the gateway simulator in tools/gwsim)
// makes where the format leaves them open; those of a layout stand at its
// struct below:
//  - SYN RQ TLVs (syn_builders.cpp): the first 64 bytes of 'A' are the
//    client's public key of the session. With auxiliary flag bit 4 set (the
//    request payload is the 124-byte ephemeral key record) 'A' carries only
//    the record's public key, then 'G' (auxiliary bytes 136..167), 'F'
//    (auxiliary u32 at 168), 0x19. Without bit 4 (a certificate profile)
//    the filter makes the key pair and 'A' carries its public point, then
//    the caller's request block (the whole request payload), then 0x19.
//    Either way the private scalar stays in the client record, apart from
//    the master key, until the SYN OKF is taken or the session ends; every
//    agreement, by SYN RR or by RQC_CREATETRANSPORTKEY, uses it. The probe
//    of request 7 carries the same TLVs without a key of its own (a payload
//    that is no key record goes into 'A' as it stands). 0x19 holds the
//    extended authentication type (request 39) when it is non-zero, else
//    the auxiliary variant byte.
//  - KDF seeds: "vesk seskey" and "client seskey" use the one byte 0x01;
//    every other label uses the 16-byte gateway nonce of the SYN RR as seed.
//    Output lengths: TLV keys 64 bytes, imitation keys 32 bytes.
//  - TLV 20's imitation is ImPrefixMAGMA under the "SynOKFImit" key (derived
//    in both variants).
//  - Session keys: "vesk seskey" (the gateway's direction) is the receive
//    master key and the receive control key; "client seskey" (the client's
//    direction) is the send control key and the packet-key base. The send
//    master key is the SYN OKF's key block (variant 16, marked as given by
//    the gateway) or the fixed value below (variant 17). Packet keys are
//    made from these by the data path. The 64-byte key block returned after
//    the SYN OKF is "vesk seskey" then "client seskey" (the reply's u32 at 64
//    is the session id); RQC_SETKEYS must hand back that same block.
//  - The fixed 32-byte send master value of variant 17 is built from
//    kSendMasterWords (below), little-endian.
//  - MGM protects the tunnel's packets when option bit 5 is set (this CPU
//    has the instructions and the gateway offers it) and request 37
//    (magma_enabled) enabled it (tunnel_data.h); the service never sends
//    request 37, so its tunnel runs with MAC + OFB.
//  - The authentication block's two fixed digit texts are "260001" and
//    "0100" (tunnel_client.cpp); the gateway checks them in the SYN OK.
//  - Status code 34 clears the 16-byte SYN OKF block and the access level
//    (the 17-byte area).
//  - The gateway's DNS search suffixes come in one TLV of the SYN OKF that
//    no other datagram uses, kTagDnsSuffixes (0x44, 'D'): the text request 41
//    returns, entries separated by ";" (e.g. "a.example;b.example"), clear
//    or enciphered under the SYN OKF's TLV key. The filter takes it only as
//    1 to 1022 bytes of letters, digits, '-', '_', '.', ';' and blanks, so a
//    gateway's own use of that tag for anything else (binary data, text of
//    another kind) stores no suffixes and leaves the handshake as it is.
//    Each accepted SYN OKF replaces the stored list (none when the TLV is
//    absent or refused); a disconnect drops it.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "byte_order.h"

namespace zor::wire {

constexpr uint32_t kMagic = 0xb0ca0010u;
constexpr uint32_t kMagicDefault = 0xb0ca0001u;   // init record carrying 0
constexpr uint32_t kMagicAuxAlt = 0xb0ca0002u;
constexpr uint16_t kGatewayPort = 87;
constexpr uint32_t kCrcResidue = 0xDEBB20E3u;

enum PacketType : uint8_t {
  kSynRq = 1, kSynRr = 2, kStatus = 3, kSynOk = 4, kSynOkf = 5,
  kKeyChange = 7, kAck = 8, kOob = 11, kData = 14,
};
constexpr uint8_t kTypeMask = 0x0F;   // the type byte's high bits are not the type

// The two protocol variants (the header's variant byte).
enum Variant : uint8_t { kVariant16 = 16, kVariant17 = 17 };
inline bool KnownVariant(uint8_t v) { return v == kVariant16 || v == kVariant17; }

// The structs below are packed views of datagram bytes (may_alias: they
// are laid over byte buffers). Their multi-byte fields hold the format's
// little-endian values as they stand, which this host reads natively.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "wire fields are little-endian");
#define ZOR_WIRE_LAYOUT __attribute__((packed, may_alias))

// Leads every handshake datagram (types 1-5).
struct ZOR_WIRE_LAYOUT Header {
  uint32_t magic;     // kMagic
  uint8_t type;       // PacketType in the low four bits
  uint8_t variant;    // protocol variant: 16 or 17
  uint16_t tlv_len;   // bytes of the TLV area
};
static_assert(sizeof(Header) == 8, "the common header is 8 bytes");

// SYN RQ, variant 16: TLV area from 16, then the CRC trailer (TLV + 20).
struct ZOR_WIRE_LAYOUT SynRqHead16 {
  Header h;
  uint8_t syn_number;   // SYN packet number (the service stamps it anew)
  uint8_t zero[7];
};
static_assert(sizeof(SynRqHead16) == 16, "variant 16 SYN RQ header");

// SYN RQ, variant 17: TLV area from 32, then the CRC trailer (TLV + 36).
// The request header length the service reads back (reply word 16) is 0:
// the SYN RQ always travels as one datagram.
struct ZOR_WIRE_LAYOUT SynRqHead17 {
  Header h;
  uint8_t syn_number;
  uint8_t zero[3];
  uint8_t client_nonce[16];   // 16 fresh random bytes
  uint32_t zero2;
};
static_assert(sizeof(SynRqHead17) == 32, "variant 17 SYN RQ header");

// A SYN RQ the service sends in pieces, as the filter recognises the pieces
// after the first: the bytes from offset 20 on stand at 20 + piece_offset
// in the whole datagram (0: the datagram is whole).
struct ZOR_WIRE_LAYOUT SynRqPiece {
  Header h;
  uint8_t syn_number;
  uint8_t unread;
  uint32_t piece_offset;
  uint8_t unread2[6];
};
static_assert(sizeof(SynRqPiece) == 20, "a SYN RQ piece's bytes start at 20");
static_assert(offsetof(SynRqPiece, piece_offset) == 10, "the piece offset is the u32 at 10");
constexpr uint32_t kSynRqPieceHead = sizeof(SynRqPiece);

// SYN RR as reassembled: TLV area from 32, CRC trailer (TLV + 36). Every
// fragment repeats the first 12 bytes.
struct ZOR_WIRE_LAYOUT SynRrHead {
  Header h;               // variant: the one the gateway chose
  uint8_t bundle;         // the same in all fragments of one SYN RR
  uint8_t reserved;
  uint16_t frag_offset;   // where the fragment's bytes from 12 on go, less 12
  uint8_t gw_nonce[16];
  uint32_t options;       // gateway options word (mode bits 0-1, 0x100, 0x400, 0x800)
};
static_assert(sizeof(SynRrHead) == 32, "SYN RR header");
constexpr uint32_t kFragmentHead = offsetof(SynRrHead, gw_nonce);   // repeated per fragment
// The gateway options word: the protection mode in bits 0-1 (bit 0 also
// offers MGM), and the key-area requests.
constexpr uint32_t kGwModeMask = 0x03, kGwModeCipherOnly = 2, kGwModeEither = 3;
constexpr uint32_t kGwMgmOffered = 0x01;
constexpr uint32_t kGwWantsKeyAreas = 0x100;   // empty key areas are asked for
constexpr uint32_t kGwKeyAreasStrict = 0x400;  // ... and then required
constexpr uint32_t kGwRenewKeyAreas = 0x800;   // without a kept SYN OKF block: renewal

// Status: TLV area from 16 ('H' for code 24, 'J' for code 19), CRC trailer
// (exactly TLV + 20).
struct ZOR_WIRE_LAYOUT StatusHead {
  Header h;
  uint32_t code;
  uint32_t unread;
};
static_assert(sizeof(StatusHead) == 16, "status header");

// SYN OK: TLV area from 44, then a u32 imitation (ImPrefixMAGMA under the
// "SynOKImit" key over everything before it) and the CRC trailer: TLV + 52.
// Its one TLV is 'A', enciphered under the "SynOKAddData" key, holding the
// authentication block.
struct ZOR_WIRE_LAYOUT SynOkHead {
  Header h;
  uint8_t syn_number;
  uint8_t zero[3];
  uint8_t client_nonce[16];
  uint8_t gw_nonce[16];
};
static_assert(sizeof(SynOkHead) == 44, "SYN OK header");

// SYN OKF, variant 16: TLV area from 84, CRC trailer (TLV + 88).
struct ZOR_WIRE_LAYOUT SynOkfHead16 {
  Header h;
  uint8_t unread[32];
  uint8_t send_master[32];   // the gateway's key block: this side's send master key
  uint32_t session_id;
  uint32_t session_value2;   // kept as the second session value
  uint8_t unread2[4];
};
static_assert(sizeof(SynOkfHead16) == 84, "variant 16 SYN OKF header");

// SYN OKF, variant 17: TLV area from 48, then an ImPrefixMAGMA imitation
// over the first 48 + TLV bytes (TLV + 52).
struct ZOR_WIRE_LAYOUT SynOkfHead17 {
  Header h;
  uint8_t unread[32];
  uint32_t session_id;
  uint8_t unread2[4];
};
static_assert(sizeof(SynOkfHead17) == 48, "variant 17 SYN OKF header");

// Header sizes: bytes in front of the TLV area; the trailer is 4 more.
constexpr uint32_t kSynRqHead16 = sizeof(SynRqHead16), kSynRqHead17 = sizeof(SynRqHead17);
constexpr uint32_t kSynRrHead = sizeof(SynRrHead);
constexpr uint32_t kStatusHead = sizeof(StatusHead);
constexpr uint32_t kSynOkHead = sizeof(SynOkHead);
constexpr uint32_t kSynOkfHead16 = sizeof(SynOkfHead16), kSynOkfHead17 = sizeof(SynOkfHead17);
constexpr uint32_t kTrailer = 4;

// Data datagram (type 14, the UDP payload): this header, then the inner
// packet's payload. Protection (words A and B, what is enciphered):
// tunnel_crypto.h.
struct ZOR_WIRE_LAYOUT DataHead {
  uint32_t word_b;        // authentication word B
  uint8_t type;           // kData
  uint8_t key_gen;        // the sender's key generation
  uint32_t counter;       // send counter, in 16-byte units
  uint32_t session_id;
  uint32_t word_a;        // authentication word A
  uint8_t far_addr[4];    // the inner packet's far address
  uint16_t inner_id;      // the inner IPv4 identification
  uint8_t size_limit8;    // the inner size limit / 8; 0: none
  uint8_t inner_proto;    // the inner IPv4 protocol
};
static_assert(sizeof(DataHead) == 26, "the data header is 26 bytes");

// Leads the key change (type 7) and its acknowledgement (type 8). Sent
// with the peer's nonce, received with one's own; bytes 4..11 stay clear
// for the receiver's dispatch, the rest is enciphered (tunnel_crypto.h).
struct ZOR_WIRE_LAYOUT ControlHead {
  uint32_t magic;        // kMagic
  uint8_t type;          // kKeyChange, or kAck with bit 4 = the session's protocol flag
  uint8_t variant;
  uint16_t zero;
  uint32_t session_id;
  uint8_t nonce[16];
};
static_assert(sizeof(ControlHead) == 28, "the control header is 28 bytes");

struct ZOR_WIRE_LAYOUT KeyChange {
  ControlHead h;
  uint8_t key_gen;          // generation of the new master key
  uint8_t new_master[32];   // the sender's new send master key
  uint32_t imitation;       // over bytes 4.. with this field zero
};
static_assert(sizeof(KeyChange) == 65, "a key change is 65 bytes");

struct ZOR_WIRE_LAYOUT KeyChangeAck {
  ControlHead h;
  uint8_t acked_gen;        // the key generation acknowledged
  uint32_t imitation;
};
static_assert(sizeof(KeyChangeAck) == 33, "an acknowledgement is 33 bytes");

// Out-of-band datagram (type 11): this header, n data bytes, then
// OobTrailer; 27 + n bytes.
struct ZOR_WIRE_LAYOUT OobHead {
  uint32_t magic;       // kMagic
  uint8_t type;         // kOob
  uint8_t variant;
  uint16_t length;      // n
  uint8_t key_gen;      // the sender's key generation
  uint32_t counter;     // send counter
  uint32_t session_id;
  uint16_t code;        // OOB_* (bit 0x4000: sent without encipherment)
};
static_assert(sizeof(OobHead) == 19, "the out-of-band header is 19 bytes");

struct ZOR_WIRE_LAYOUT OobTrailer {
  uint32_t word_b;
  uint32_t word_a;
};
static_assert(sizeof(OobTrailer) == 8, "the out-of-band trailer is 8 bytes");

// The field places the gateway reads.
static_assert(offsetof(SynRrHead, frag_offset) == 10 && offsetof(SynRrHead, gw_nonce) == 12 &&
                  offsetof(SynRrHead, options) == 28,
              "SYN RR fields");
static_assert(offsetof(SynOkfHead16, send_master) == 40 &&
                  offsetof(SynOkfHead16, session_id) == 72 &&
                  offsetof(SynOkfHead16, session_value2) == 76 &&
                  offsetof(SynOkfHead17, session_id) == 40,
              "SYN OKF fields");
static_assert(offsetof(DataHead, counter) == 6 && offsetof(DataHead, session_id) == 10 &&
                  offsetof(DataHead, word_a) == 14 && offsetof(DataHead, far_addr) == 18 &&
                  offsetof(DataHead, inner_id) == 22 && offsetof(DataHead, size_limit8) == 24,
              "data header fields");
static_assert(offsetof(KeyChange, key_gen) == 28 && offsetof(KeyChange, new_master) == 29 &&
                  offsetof(KeyChange, imitation) == 61 && offsetof(KeyChangeAck, acked_gen) == 28 &&
                  offsetof(KeyChangeAck, imitation) == 29,
              "key change and acknowledgement fields");
static_assert(offsetof(OobHead, counter) == 9 && offsetof(OobHead, session_id) == 13 &&
                  offsetof(OobHead, code) == 17,
              "out-of-band fields");

#undef ZOR_WIRE_LAYOUT

// A layout laid over datagram bytes.
template <typename Layout>
inline Layout *As(uint8_t *d) { return reinterpret_cast<Layout *>(d); }
template <typename Layout>
inline const Layout *As(const uint8_t *d) { return reinterpret_cast<const Layout *>(d); }

// Fixed send master value of variant 17 (four little-endian 64-bit words).
constexpr uint64_t kSendMasterWords[4] = {
    0x6e2f8d41c3a95b17ull, 0x1d7c64e0b58a3f92ull,
    0xa4503be9726cd81full, 0x39f1c6a85e0d2b74ull};

enum Tag : uint8_t {
  kTagDynCfg = 0x14, kTagOkfBlock = 0x18, kTagAuthVariant = 0x19,
  kTagRrExtra = 0x1a, kTagRrWord = 0x1b, kTagTimeout = 0x1c,
  kTagA = 0x41, kTagB = 0x42, kTagF = 0x46, kTagG = 0x47, kTagH = 0x48,
  kTagJ = 0x4a, kTagText = 0x4d,
  kTagDnsSuffixes = 0x44,   // SYN OKF: the gateway's DNS search suffixes (see above)
};
constexpr uint8_t kTlvEnciphered = 2;
// A TLV entry: this head, then the value.
struct __attribute__((packed, may_alias)) TlvHead {
  uint8_t tag;       // Tag; 0 once consumed
  uint8_t flags;     // kTlvEnciphered
  uint16_t length;   // of the value
};
static_assert(sizeof(TlvHead) == 4, "a TLV head is 4 bytes");
constexpr uint32_t kTlvHead = sizeof(TlvHead);
// A u32 imitation inside a datagram (the SYN OK's, ahead of its trailer).
constexpr uint32_t kImitationSize = 4;

inline uint8_t PacketTypeOf(const uint8_t *d) { return As<Header>(d)->type & kTypeMask; }
inline uint8_t VariantOf(const uint8_t *d) { return As<Header>(d)->variant; }
inline uint16_t TlvLengthOf(const uint8_t *d) { return As<Header>(d)->tlv_len; }

// Writes magic, type, variant and TLV length.
void PutHeader(uint8_t *d, uint8_t type, uint8_t variant, uint16_t tlv_len);

// Stores ~FCS32 of the first len - 4 bytes in the last 4.
void SealCrc(uint8_t *d, uint32_t len);
// FCS32 over the whole datagram (trailer included) gives the residue.
bool CrcOk(const uint8_t *d, uint32_t len);

// The TLV key of one packet: Magma CTR key and the nonce word of its counter.
struct TlvKey {
  uint32_t nonce;
  uint8_t key[32];
};

// One TLV entry found in an area.
struct Tlv {
  uint8_t *entry;     // tag byte
  uint8_t *value;
  uint16_t length;
  bool enciphered;
};

// Walks the area for the first entry with the tag. An enciphered entry is
// deciphered in place under key (flag cleared so a second look reads it
// clear); without a key it is not found. consume overwrites the tag with 0.
bool TLVGetField(uint8_t tag, uint8_t *area, uint32_t area_len, const TlvKey *key,
                 bool consume, Tlv *out);
// The same walk without deciphering: an enciphered entry counts as absent.
bool TLVFindClear(uint8_t tag, uint8_t *area, uint32_t area_len, Tlv *out);

// Appends one entry at area + *used when it fits within cap; enciphers the
// value when key is given. Returns false (nothing written) when it does not.
bool TLVPut(uint8_t *area, uint32_t cap, uint32_t *used, uint8_t tag, const void *value,
            uint16_t length, const TlvKey *key);

// Magma CTR over a TLV value, counter = nonce << 32 | tag << 16.
void TLVCipher(const TlvKey &key, uint8_t tag, uint8_t *value, uint32_t length);

// KDF_TREE over the 32-byte master key with the label (no NUL) and seed.
void DeriveKey(const uint8_t master[32], const char *label, const uint8_t *seed,
               uint32_t seed_len, uint8_t *out, uint32_t out_len);
// A TLV key from the 64-byte output of DeriveKey for the label.
void DeriveTlvKey(const uint8_t master[32], const char *label, const uint8_t gw_nonce[16],
                  TlvKey *out);
// A 32-byte imitation key for the label.
void DeriveImitKey(const uint8_t master[32], const char *label, const uint8_t gw_nonce[16],
                   uint8_t out[32]);
// The two session keys ("vesk seskey", "client seskey").
void DeriveSessionKeys(const uint8_t master[32], uint8_t vesk_key[32], uint8_t client_key[32]);
// The fixed send master value of variant 17.
void SendMasterFixed(uint8_t out[32]);
// True when the n bytes at a and b are equal (time independent of where
// they differ).
bool SameBytes(const void *a, const void *b, uint32_t n);

// ImPrefixMAGMA with a byte key.
uint32_t Imitation(const uint8_t key[32], const uint8_t *data, uint32_t len);

}  // namespace zor::wire
