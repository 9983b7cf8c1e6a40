// Tunnel wire format shared by the client and the gateway: the common
// handshake header, the CRC trailer, the TLV area and the key derivations of
// the handshake. Every multi-byte field is little-endian.
//
// Choices this implementation (and the gateway simulator in tools/gwsim)
// makes where the format leaves them open:
//  - SYN RQ: the header as fixed (variant 16: 20 bytes around the TLV area,
//    variant 17: 36, with the 16-byte client nonce at 12). The request header
//    length the service reads back (reply word 16) is 0: the SYN RQ always
//    travels as one datagram. TLVs: with auxiliary flag bit 4 set (the
//    request payload is the 124-byte ephemeral key record) 'A' carries only
//    the record's 64-byte public key (its private scalar stays in the client
//    record, apart from the master key, until the SYN OKF is taken; every
//    agreement, by SYN RR or by RQC_CREATETRANSPORTKEY, uses it), then 'G'
//    (auxiliary bytes 136..167), 'F' (auxiliary u32 at 168), 0x19. Without
//    bit 4, 'A' carries the caller's
//    request block (the whole request payload), then 0x19. The probe of
//    request 7 carries the same TLVs (its scalar is not kept). 0x19 holds the
//    extended authentication type (request 39) when it is non-zero, else the
//    auxiliary variant byte.
//  - SYN OK (type 4): 8 u8 SYN packet number, 9..11 zero, 12..27 client
//    nonce, 28..43 gateway nonce, TLV area from 44, then a u32 imitation
//    (ImPrefixMAGMA under the "SynOKImit" key over everything before it) and
//    the CRC trailer: TLV length + 52 bytes. Its one TLV is 'A', enciphered
//    under the "SynOKAddData" key, holding the authentication block.
//  - KDF seeds: "vesk seskey" and "client seskey" use the one byte 0x01;
//    every other label uses the 16-byte gateway nonce of the SYN RR as seed.
//    Output lengths: TLV keys 64 bytes, imitation keys 32 bytes.
//  - TLV 20's imitation is ImPrefixMAGMA under the "SynOKFImit" key (derived
//    in both variants).
//  - Session keys: "vesk seskey" (the gateway's direction) is the receive
//    master key and the receive control key; "client seskey" (the client's
//    direction) is the send control key and the packet-key base. The send
//    master key is the SYN OKF's 32 bytes at 40 (variant 16, marked as given
//    by the gateway) or the fixed value below (variant 17). Packet keys are
//    made from these by the data path. The 64-byte key block returned after
//    the SYN OKF is "vesk seskey" then "client seskey" (the reply's u32 at 64
//    is the session id); RQC_SETKEYS must hand back that same block.
//  - Session id: the u32 at SYN OKF offset 72 (variant 16) or 40 (variant
//    17); variant 16's u32 at 76 is kept as the second session value.
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

// Header sizes: bytes in front of the TLV area; the trailer is 4 more.
constexpr uint32_t kSynRqHead16 = 16, kSynRqHead17 = 32;
constexpr uint32_t kSynRrHead = 32;
constexpr uint32_t kStatusHead = 16;
constexpr uint32_t kSynOkHead = 44;
constexpr uint32_t kSynOkfHead16 = 84, kSynOkfHead17 = 48;

// Fixed send master value of variant 17 (four little-endian 64-bit words).
constexpr uint64_t kSendMasterWords[4] = {
    0x6e2f8d41c3a95b17ull, 0x1d7c64e0b58a3f92ull,
    0xa4503be9726cd81full, 0x39f1c6a85e0d2b74ull};

enum Tag : uint8_t {
  kTagDynCfg = 0x14, kTagOkfBlock = 0x18, kTagAuthVariant = 0x19,
  kTagRrExtra = 0x1a, kTagRrWord = 0x1b, kTagTimeout = 0x1c,
  kTagA = 0x41, kTagB = 0x42, kTagF = 0x46, kTagG = 0x47, kTagH = 0x48,
  kTagJ = 0x4a, kTagText = 0x4d,
};
constexpr uint8_t kTlvEnciphered = 2;

inline uint8_t PacketTypeOf(const uint8_t *d) { return d[4] & 0x0f; }
inline uint8_t VariantOf(const uint8_t *d) { return d[5]; }
inline uint16_t TlvLengthOf(const uint8_t *d) { return load_le16(d + 6); }

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
