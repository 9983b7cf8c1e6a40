// Debian's GOST package for OpenSSL as an independent oracle of Streebog,
// HMAC, GOST 28147-89 and GOST R 34.10-2012, for the crypto tests and the
// benchmark; never part of a deliverable. The provider "gostprov" is loaded
// through GostEngine (magma_oracle.h); the engine "gost" makes key pairs.
#pragma once
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/crypto/magma_oracle.h"

namespace zor::test {

// Streebog-256 ("md_gost12_256"); empty when the provider refuses.
inline std::vector<uint8_t> engine_streebog256(const uint8_t *data, size_t len) {
  std::vector<uint8_t> out(32);
  EVP_MD *md = EVP_MD_fetch(nullptr, "md_gost12_256", nullptr);
  unsigned int n = 0;
  if (!md || !EVP_Digest(data, len, out.data(), &n, md, nullptr) || n != 32) out.clear();
  EVP_MD_free(md);
  return out;
}

// HMAC over Streebog-256 (the default provider's HMAC on "md_gost12_256");
// empty when the provider refuses.
inline std::vector<uint8_t> engine_hmac_streebog256(const uint8_t *key, size_t key_len, const uint8_t *data,
                                                    size_t len) {
  std::vector<uint8_t> out(32);
  EVP_MAC *mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
  EVP_MAC_CTX *ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
  char digest[] = "md_gost12_256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0), OSSL_PARAM_construct_end()};
  const uint8_t none = 0;
  size_t n = 0;
  const bool ok = ctx && EVP_MAC_init(ctx, key_len ? key : &none, key_len, params) &&
                  EVP_MAC_update(ctx, data, len) && EVP_MAC_final(ctx, out.data(), &n, out.size()) && n == 32;
  if (!ok) out.clear();
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  return out;
}

// GOST 28147-89 ("gost89", "gost-mac") reads its S-box once per process, at
// its first use, from this variable: param-Z, the table that makes it Magma.
inline void choose_gost89_param_z() { setenv("CRYPT_PARAMS", "id-tc26-gost-28147-param-Z", 0); }

// GOST 28147-89 CFB under param-Z ("gost89"; it meshes keys every 1 KiB, so
// keep the data shorter than that); empty when the provider refuses.
inline std::vector<uint8_t> engine_gost89_cfb(const uint8_t key[32], const uint8_t iv[8], const uint8_t *data,
                                              size_t len) {
  choose_gost89_param_z();
  std::vector<uint8_t> out(len + 8);
  EVP_CIPHER *c = EVP_CIPHER_fetch(nullptr, "gost89", nullptr);
  EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
  int n = 0, tail = 0;
  const bool ok = c && ctx && EVP_EncryptInit_ex(ctx, c, nullptr, key, iv) &&
                  EVP_EncryptUpdate(ctx, out.data(), &n, data, int(len)) &&
                  EVP_EncryptFinal_ex(ctx, out.data() + n, &tail);
  out.resize(ok ? size_t(n + tail) : 0);
  EVP_CIPHER_CTX_free(ctx);
  EVP_CIPHER_free(c);
  return out;
}

// GOST 28147-89 CFB under a named S-box set, through the openssl command in
// a process of its own (the S-box choice is fixed once per process); empty
// when the command is missing or refuses.
inline std::vector<uint8_t> engine_cli_gost89_cfb(const char *paramset, const uint8_t key[32], const uint8_t iv[8],
                                                  const std::vector<uint8_t> &data) {
  char path[] = "/tmp/gost89-cfb-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return {};
  const bool written = write(fd, data.data(), data.size()) == ssize_t(data.size());
  close(fd);
  auto hex = [](const uint8_t *p, size_t n) {
    std::string s;
    char two[3];
    for (size_t i = 0; i < n; ++i) snprintf(two, sizeof two, "%02x", p[i]), s += two;
    return s;
  };
  const std::string cmd = std::string("CRYPT_PARAMS=") + paramset +
                          " openssl enc -provider gostprov -provider default -gost89 -K " + hex(key, 32) +
                          " -iv " + hex(iv, 8) + " -in " + path + " 2>/dev/null";
  std::vector<uint8_t> out;
  if (FILE *f = written ? popen(cmd.c_str(), "r") : nullptr) {
    uint8_t buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, f)) > 0;) out.insert(out.end(), buf, buf + n);
    if (pclose(f) != 0) out.clear();
  }
  unlink(path);
  return out;
}

// The 28147-89 imitation MAC under param-Z, 4 bytes ("gost-mac-12"; its rule
// for data of 8 bytes or less differs, so give it more).
inline std::vector<uint8_t> engine_gost89_mac(const uint8_t key[32], const uint8_t *data, size_t len) {
  choose_gost89_param_z();
  std::vector<uint8_t> out(4);
  EVP_MAC *mac = EVP_MAC_fetch(nullptr, "gost-mac-12", nullptr);
  EVP_MAC_CTX *ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
  size_t n = 0;
  const bool ok = ctx && EVP_MAC_init(ctx, key, 32, nullptr) && EVP_MAC_update(ctx, data, len) &&
                  EVP_MAC_final(ctx, out.data(), &n, out.size()) && n == 4;
  if (!ok) out.clear();
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  return out;
}

// The engine "gost" for key pairs, loaded once and released at exit; null
// when it cannot be loaded.
class GostKeyEngine {
 public:
  static ENGINE *get() {
    static GostKeyEngine e;
    return e.registered_ ? e.e_ : nullptr;
  }

 private:
  GostKeyEngine() {
    e_ = ENGINE_by_id("gost");
    ready_ = e_ && ENGINE_init(e_);
    // Its key types must be known to the library before keys are made.
    registered_ = ready_ && ENGINE_register_pkey_asn1_meths(e_);
  }
  ~GostKeyEngine() {
    if (ready_) ENGINE_finish(e_);
    if (e_) ENGINE_free(e_);
  }
  ENGINE *e_ = nullptr;
  bool ready_ = false, registered_ = false;
};

inline std::vector<uint8_t> bn_le32(const BIGNUM *bn) {
  std::vector<uint8_t> out(32);
  BN_bn2lebinpad(bn, out.data(), 32);
  return out;
}

// A GOST R 34.10-2012 256-bit key pair on paramSetA made by the engine, as
// little-endian bytes: the private scalar, the public X then Y.
struct EngineKeyPair {
  std::vector<uint8_t> priv, pub;
  const EC_GROUP *group = nullptr;  // owned by key
  const EC_POINT *point = nullptr;
  EVP_PKEY *key = nullptr;
  EngineKeyPair() = default;
  EngineKeyPair(const EngineKeyPair &) = delete;
  EngineKeyPair &operator=(const EngineKeyPair &) = delete;
  ~EngineKeyPair() { EVP_PKEY_free(key); }

  bool generate() {
    EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(NID_id_GostR3410_2012_256, GostKeyEngine::get());
    const bool ok = ctx && EVP_PKEY_keygen_init(ctx) > 0 &&
                    EVP_PKEY_CTX_ctrl_str(ctx, "paramset", "TCA") > 0 && EVP_PKEY_keygen(ctx, &key) > 0;
    EVP_PKEY_CTX_free(ctx);
    const EC_KEY *ec = ok ? static_cast<const EC_KEY *>(EVP_PKEY_get0(key)) : nullptr;
    if (!ec) return false;
    group = EC_KEY_get0_group(ec);
    point = EC_KEY_get0_public_key(ec);
    priv = bn_le32(EC_KEY_get0_private_key(ec));
    BIGNUM *x = BN_new(), *y = BN_new();
    EC_POINT_get_affine_coordinates(group, point, x, y, nullptr);
    pub = bn_le32(x);
    const std::vector<uint8_t> yb = bn_le32(y);
    pub.insert(pub.end(), yb.begin(), yb.end());
    BN_free(x);
    BN_free(y);
    return true;
  }

  // X of priv * peer's point on the engine's curve, little-endian.
  std::vector<uint8_t> shared_x(const EngineKeyPair &peer) const {
    BIGNUM *d = BN_lebin2bn(priv.data(), 32, nullptr), *x = BN_new();
    EC_POINT *r = EC_POINT_new(group);
    EC_POINT_mul(group, r, nullptr, peer.point, d, nullptr);
    EC_POINT_get_affine_coordinates(group, r, x, nullptr, nullptr);
    std::vector<uint8_t> out = bn_le32(x);
    EC_POINT_free(r);
    BN_free(d);
    BN_free(x);
    return out;
  }
};

}  // namespace zor::test
