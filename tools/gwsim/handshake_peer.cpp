#include "tools/gwsim/handshake_peer.h"

#include <sys/random.h>

#include <algorithm>
#include <ctime>
#include <cstring>

#include "byte_order.h"
#include "crypto/crc32.h"
#include "crypto/gost3410.h"
#include "kernel/filter/wire_format.h"

namespace gwsim {
namespace {

using namespace zor::wire;

constexpr uint8_t kAuthKeyAgreement = 131;
constexpr char kGatewayBlock[] = "gateway certificate block";

void Random(void *p, size_t n) {
  if (getrandom(p, n, 0) != (ssize_t)n) abort();
}

void Append32(Bytes &b, uint32_t v) {
  const size_t at = b.size();
  b.resize(at + 4);
  store_le32(b.data() + at, v);
}

void AppendBytes(Bytes &b, std::initializer_list<uint8_t> bytes) {
  for (uint8_t x : bytes) b.push_back(x);
}

// TLV area into b (which holds the header); returns nothing, grows b.
void PutTlv(Bytes &b, uint8_t tag, const void *value, uint16_t len, const TlvKey *key) {
  size_t at = b.size();
  b.resize(at + 4 + len);
  uint32_t used = 0;
  TLVPut(b.data() + at, 4 + len, &used, tag, value, len, key);
}

void Seal(Bytes &b) {
  b.resize(b.size() + 4);
  SealCrc(b.data(), (uint32_t)b.size());
}

}  // namespace

bool ParseFault(const std::string &name, Fault *out) {
  static const std::pair<const char *, Fault> kNames[] = {
      {"none", Fault::kNone},           {"bad-crc", Fault::kBadCrc},
      {"bad-magic", Fault::kBadMagic},  {"wrong-variant", Fault::kWrongVariant},
      {"truncate", Fault::kTruncate},   {"oversize", Fault::kOversize},
      {"frag-past", Fault::kFragPast},  {"bad-okf-imit", Fault::kBadOkfImit},
      {"silent-synok", Fault::kSilentSynOk}, {"bad-dyncfg-imit", Fault::kBadDynCfgImit},
  };
  for (auto &[n, f] : kNames)
    if (name == n) {
      *out = f;
      return true;
    }
  return false;
}

KeyPair MakeKeyPair() {
  KeyPair k;
  do Random(k.priv, sizeof k.priv);
  while (R3410_256_PubKey(R34101_SelectParams(R3410_PARAMSET_256_A), k.pub, k.priv) != 0);
  return k;
}

HandshakePeer::HandshakePeer(const Options &o) : HandshakePeer(o, MakeKeyPair()) {}

HandshakePeer::HandshakePeer(const Options &o, const KeyPair &keys) : o_(o) {
  memcpy(priv_, keys.priv, sizeof priv_);
  memcpy(pub_, keys.pub, sizeof pub_);
  Random(gw_nonce_, sizeof gw_nonce_);
}

std::vector<Bytes> HandshakePeer::Handle(const uint8_t *d, size_t n) {
  error_.clear();
  if (n < 8 || load_le32(d) != kMagic) {
    error_ = "not a handshake datagram";
    return {};
  }
  Bytes whole;
  switch (PacketTypeOf(d)) {
    case kSynRq:
      if (n < SynRequestAssembly::WholeLength(d, n)) {
        if (!assembly_.Take(d, n)) return {};
        whole = assembly_.whole();
        d = whole.data();
        n = whole.size();
      }
      if (!TakeSynRq(d, n)) return {};
      return AnswerSynRq();
    case kSynOk:
      if (!TakeSynOk(d, n)) return {};
      if (o_.fault == Fault::kSilentSynOk) return {};
      if (o_.okf_status_code >= 0)
        return {Status((uint32_t)o_.okf_status_code, kTagH, o_.status_value, o_.variant)};
      return {SynOkf()};
    default:
      error_ = "unexpected packet type";
      return {};
  }
}

bool HandshakePeer::Fail(const char *why) {
  error_ = why;
  return false;
}

bool HandshakePeer::TakeSynRq(const uint8_t *d, size_t n) {
  uint8_t variant = VariantOf(d);
  uint32_t head = variant == 16 ? kSynRqHead16 : kSynRqHead17;
  if (variant != 16 && variant != 17) return Fail("SYN RQ variant");
  if (n != head + TlvLengthOf(d) + 4) return Fail("SYN RQ length");
  if (!CrcOk(d, (uint32_t)n)) return Fail("SYN RQ check value");
  Bytes copy(d, d + n);
  uint8_t *area = copy.data() + head;
  Tlv a, v;
  if (!TLVFindClear(kTagA, area, TlvLengthOf(d), &a) || a.length < 64)
    return Fail("SYN RQ without the client's key");
  if (!TLVFindClear(kTagAuthVariant, area, TlvLengthOf(d), &v) || v.length != 1 ||
      v.value + 1 != area + TlvLengthOf(d))
    return Fail("SYN RQ without the authentication variant last");
  memcpy(client_pub_, a.value, 64);
  if (variant == 17) memcpy(client_nonce_, d + 12, 16);
  client_variant_ = variant;
  agreement_ = v.value[0] == kAuthKeyAgreement;
  keys_ready_ = false;
  if (R3410_256_ECDHE(R34101_SelectParams(R3410_PARAMSET_256_A), master_, priv_, client_pub_, 64))
    return Fail("client key not on the curve");
  ++bundle_;
  return true;
}

std::vector<Bytes> HandshakePeer::AnswerSynRq() {
  if (o_.status_code >= 0) {
    uint8_t tag = o_.status_code == 19 ? kTagJ : kTagH;
    return {Status((uint32_t)o_.status_code, tag, o_.status_value, client_variant_)};
  }
  Bytes rr = SynRr();
  switch (o_.fault) {
    case Fault::kBadCrc: rr[rr.size() - 1] ^= 0x55; break;
    case Fault::kBadMagic: store_le32(rr.data(), kMagic + 1); break;
    case Fault::kWrongVariant: rr[5] = 18; SealCrc(rr.data(), (uint32_t)rr.size()); break;
    case Fault::kTruncate: rr.resize(10); break;
    case Fault::kOversize: rr.resize(rr.size() + 8, 0); break;
    default: break;
  }
  return Fragments(rr);
}

Bytes HandshakePeer::SynRr() const {
  Bytes b(kSynRrHead, 0);
  b[8] = bundle_;
  memcpy(b.data() + 12, gw_nonce_, 16);
  store_le32(b.data() + 28, o_.options);
  PutTlv(b, kTagB, kGatewayBlock, sizeof kGatewayBlock - 1, nullptr);
  PutTlv(b, kTagA, pub_, 64, nullptr);
  uint8_t timeout[4];
  store_le32(timeout, o_.stage_timeout);
  PutTlv(b, kTagTimeout, timeout, 4, nullptr);
  if (agreement_) {
    TlvKey key;
    DeriveTlvKey(master_, "SynRRAddData", gw_nonce_, &key);
    static const char kExtra[] = "ocsp data";
    PutTlv(b, kTagRrExtra, kExtra, sizeof kExtra - 1, &key);
    if (o_.push_deadline) PutDeadline(b, key);
  }
  PutHeader(b.data(), kSynRr, o_.variant, (uint16_t)(b.size() - kSynRrHead));
  Seal(b);
  return b;
}

void HandshakePeer::PutDeadline(Bytes &b, const TlvKey &key) const {
  int64_t at = (int64_t)time(nullptr) + o_.push_deadline_s;
  uint8_t word[8];
  store_le32(word, (uint32_t)at);
  store_le32(word + 4, (uint32_t)((uint64_t)at >> 32));
  PutTlv(b, kTagRrWord, word, at > 0xFFFFFFFFLL ? 8 : 4, &key);
}

std::vector<Bytes> HandshakePeer::Fragments(const Bytes &rr) const {
  std::vector<Bytes> out;
  if (o_.fault == Fault::kFragPast && rr.size() > 40) {
    Bytes f(rr.begin(), rr.begin() + 40);
    store_le16(f.data() + 10, (uint16_t)(rr.size() - 20));   // ends 8 bytes past the bundle
    out.push_back(rr);
    out.front().resize(32);                            // a first piece, then the stray one
    out.push_back(f);
    return out;
  }
  if (o_.fragment == 0 || rr.size() <= o_.fragment || rr.size() < 12) {
    out.push_back(rr);
  } else {
    uint32_t step = o_.fragment - 12;
    out.emplace_back(rr.begin(), rr.begin() + o_.fragment);
    for (size_t at = o_.fragment; at < rr.size(); at += step) {
      size_t end = std::min(rr.size(), at + step);
      Bytes f(rr.begin(), rr.begin() + 12);
      store_le16(f.data() + 10, (uint16_t)(at - 12));
      f.insert(f.end(), rr.begin() + at, rr.begin() + end);
      out.push_back(f);
    }
  }
  if (o_.shuffle) std::reverse(out.begin(), out.end());
  if (o_.duplicate) {
    std::vector<Bytes> twice;
    for (auto &f : out) {
      twice.push_back(f);
      twice.push_back(f);
    }
    out.swap(twice);
  }
  return out;
}

Bytes HandshakePeer::Status(uint32_t code, uint8_t tag, const std::string &value,
                            uint8_t variant) const {
  Bytes b(kStatusHead, 0);
  store_le32(b.data() + 8, code);
  if (!value.empty()) PutTlv(b, tag, value.data(), (uint16_t)value.size(), nullptr);
  if (o_.fault == Fault::kWrongVariant) variant = variant == 17 ? 16 : 17;
  PutHeader(b.data(), kStatus, variant, (uint16_t)(b.size() - kStatusHead));
  Seal(b);
  return b;
}

bool HandshakePeer::TakeSynOk(const uint8_t *d, size_t n) {
  uint32_t tlv_len = TlvLengthOf(d);
  if (VariantOf(d) != o_.variant) return Fail("SYN OK variant");
  if (n != kSynOkHead + tlv_len + 8) return Fail("SYN OK length");
  if (!CrcOk(d, (uint32_t)n)) return Fail("SYN OK check value");
  if (!SameBytes(d + 28, gw_nonce_, 16)) return Fail("SYN OK gateway nonce");
  if (o_.variant == 17 && !SameBytes(d + 12, client_nonce_, 16))
    return Fail("SYN OK client nonce");
  uint8_t imit_key[32];
  DeriveImitKey(master_, "SynOKImit", gw_nonce_, imit_key);
  uint32_t imit_at = (uint32_t)n - 8;
  if (Imitation(imit_key, d, imit_at) != load_le32(d + imit_at)) return Fail("SYN OK imitation");
  Bytes copy(d, d + n);
  TlvKey key;
  DeriveTlvKey(master_, "SynOKAddData", gw_nonce_, &key);
  Tlv a;
  if (!TLVGetField(kTagA, copy.data() + kSynOkHead, tlv_len, &key, false, &a) || a.length < 4)
    return Fail("SYN OK without the authentication block");
  auth_text_.assign((const char *)a.value, a.length);
  if (auth_text_.find("260001") == std::string::npos || auth_text_.find("0100") == std::string::npos)
    return Fail("SYN OK authentication block");
  if (o_.variant == 16) memcpy(client_nonce_, d + 12, 16);
  DeriveSessionKeys(master_, keys_, keys_ + 32);
  keys_ready_ = true;
  return true;
}

Bytes HandshakePeer::DynCfg() const {
  Bytes v(16, 0);
  store_le16(v.data() + 4, o_.dyncfg_format);
  store_le32(v.data() + 8, 0x08);   // local flags: flush DNS
  AppendBytes(v, {8, 0, 3, 24});
  Append32(v, 0xC6336400);   // 198.51.100.0/24
  AppendBytes(v, {8, 0, 2, 1});
  Append32(v, 0xC6336435);   // 198.51.100.53
  store_le16(v.data() + 6, (uint16_t)v.size());
  return v;
}

Bytes HandshakePeer::SynOkf() const {
  uint8_t variant = o_.variant;
  uint32_t head = variant == 17 ? kSynOkfHead17 : kSynOkfHead16;
  Bytes b(head, 0);
  if (variant == 17) {
    store_le32(b.data() + 40, o_.session_id);
    SendMasterFixed(okf_send_master_);
  } else {
    Random(b.data() + 40, 32);
    memcpy(okf_send_master_, b.data() + 40, 32);
    store_le32(b.data() + 72, o_.session_id);
    store_le32(b.data() + 76, o_.session_id + 1);
  }
  uint8_t imit_key[32];
  DeriveImitKey(master_, "SynOKFImit", gw_nonce_, imit_key);
  TlvKey key;
  DeriveTlvKey(master_, "SynOKFAddData", gw_nonce_, &key);
  Bytes dyn = DynCfg();
  store_le32(dyn.data(), Imitation(imit_key, dyn.data(), (uint32_t)dyn.size()));
  if (o_.fault == Fault::kBadDynCfgImit) dyn[0] ^= 1;
  PutTlv(b, kTagDynCfg, dyn.data(), (uint16_t)dyn.size(), &key);
  uint8_t timeout[4];
  store_le32(timeout, o_.stage_timeout);
  PutTlv(b, kTagTimeout, timeout, 4, &key);
  PutTlv(b, kTagText, o_.status_text.data(), (uint16_t)o_.status_text.size(), nullptr);
  if (!o_.dns_suffixes.empty())
    PutTlv(b, kTagDnsSuffixes, o_.dns_suffixes.data(), (uint16_t)o_.dns_suffixes.size(), &key);
  PutHeader(b.data(), kSynOkf, variant, (uint16_t)(b.size() - head));
  b.resize(b.size() + 4);
  uint32_t end = (uint32_t)b.size() - 4;
  if (variant == 17) {
    store_le32(b.data() + end, Imitation(imit_key, b.data(), end));
    if (o_.fault == Fault::kBadOkfImit) b[end] ^= 1;
  } else {
    SealCrc(b.data(), (uint32_t)b.size());
  }
  return b;
}

}  // namespace gwsim
