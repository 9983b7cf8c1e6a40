// Debian's GOST package for OpenSSL as an independent oracle of the crypto
// library, for its tests and the benchmark; never part of a deliverable. The
// provider "gostprov" (GostEngine) gives the Magma modes, Streebog, HMAC and
// GOST 28147-89; the engine "gost" (GostKeyEngine) makes 34.10-2012 key
// pairs. Keys, IVs, blocks and MACs go in the standards' byte order.
#pragma once
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/crypto/test_bytes.h"

namespace zor::test {

// Why a cross-check is skipped: the provider or engine cannot be loaded.
inline constexpr const char *kNoGostProvider =
    "the OpenSSL provider \"gostprov\" (package libengine-gost-openssl) cannot be loaded: cross-check skipped";
inline constexpr const char *kNoGostEngine =
    "the OpenSSL engine \"gost\" (package libengine-gost-openssl) cannot be loaded: cross-check skipped";

class GostEngine {
 public:
  // The loaded provider, or nullptr when it cannot be loaded here.
  static GostEngine *get() {
    static GostEngine engine;
    return engine.ok_ ? &engine : nullptr;
  }

  enum Cipher { kCtr, kCtrAcpkm, kCbc, kCiphers };

  // Encrypts len bytes in place (CBC without padding: whole blocks); false
  // when the provider refuses. Each cipher keeps its own context, reset and
  // initialised with its cipher every time: the provider cannot re-key a
  // context otherwise.
  bool cipher(Cipher which, const uint8_t *key, const uint8_t *iv, uint8_t *data, size_t len) {
    EVP_CIPHER_CTX *ctx = ctx_[which];
    int out = 0, fin = 0;
    EVP_CIPHER_CTX_reset(ctx);
    if (EVP_CipherInit_ex2(ctx, cipher_[which], key, iv, 1, nullptr) != 1) return false;
    if (which == kCbc) EVP_CIPHER_CTX_set_padding(ctx, 0);
    if (len > 0 && EVP_CipherUpdate(ctx, data, &out, data, int(len)) != 1) return false;
    if (EVP_CipherFinal_ex(ctx, data + out, &fin) != 1) return false;
    return size_t(out + fin) == len;
  }

  // The 64-bit Magma MAC ("magma-mac").
  bool mac(const uint8_t *key, const uint8_t *data, size_t len, uint8_t out[8]) {
    EVP_MAC_CTX *m = EVP_MAC_CTX_new(mac_);
    size_t n = 0;
    const bool ok = m && EVP_MAC_init(m, key, 32, nullptr) == 1 &&
                    EVP_MAC_update(m, data, len) == 1 && EVP_MAC_final(m, out, &n, 8) == 1 &&
                    n == 8;
    EVP_MAC_CTX_free(m);
    return ok;
  }

 private:
  GostEngine() {
    gost_ = OSSL_PROVIDER_load(nullptr, "gostprov");
    base_ = OSSL_PROVIDER_load(nullptr, "default");
    if (!gost_) return;
    const char *names[kCiphers] = {"magma-ctr", "magma-ctr-acpkm", "magma-cbc"};
    ok_ = true;
    for (int i = 0; i < kCiphers; ++i) {
      cipher_[i] = EVP_CIPHER_fetch(nullptr, names[i], nullptr);
      ctx_[i] = EVP_CIPHER_CTX_new();
      ok_ = ok_ && cipher_[i] && ctx_[i];
    }
    mac_ = EVP_MAC_fetch(nullptr, "magma-mac", nullptr);
    ok_ = ok_ && mac_;
  }
  ~GostEngine() {
    for (int i = 0; i < kCiphers; ++i) {
      EVP_CIPHER_CTX_free(ctx_[i]);
      EVP_CIPHER_free(cipher_[i]);
    }
    EVP_MAC_free(mac_);
    if (base_) OSSL_PROVIDER_unload(base_);
    if (gost_) OSSL_PROVIDER_unload(gost_);
  }

  OSSL_PROVIDER *gost_ = nullptr, *base_ = nullptr;
  EVP_CIPHER *cipher_[kCiphers] = {};
  EVP_CIPHER_CTX *ctx_[kCiphers] = {};
  EVP_MAC *mac_ = nullptr;
  bool ok_ = false;
};


// Streebog-256 ("md_gost12_256"); empty when the provider refuses.
inline std::vector<uint8_t> engine_streebog256(const uint8_t *data, size_t len) {
  std::vector<uint8_t> out(32);
  EVP_MD *md = EVP_MD_fetch(nullptr, "md_gost12_256", nullptr);
  unsigned int n = 0;
  if (!md || !EVP_Digest(data, len, out.data(), &n, md, nullptr) || n != 32) out.clear();
  EVP_MD_free(md);
  return out;
}

// A MAC of out_len bytes through the named EVP_MAC (params may be null);
// empty when the provider refuses.
inline std::vector<uint8_t> engine_mac(const char *name, const OSSL_PARAM *params, const uint8_t *key,
                                       size_t key_len, const uint8_t *data, size_t len, size_t out_len) {
  std::vector<uint8_t> out(out_len);
  EVP_MAC *mac = EVP_MAC_fetch(nullptr, name, nullptr);
  EVP_MAC_CTX *ctx = mac ? EVP_MAC_CTX_new(mac) : nullptr;
  const uint8_t none = 0;
  size_t n = 0;
  const bool ok = ctx && EVP_MAC_init(ctx, key_len ? key : &none, key_len, params) &&
                  EVP_MAC_update(ctx, data, len) && EVP_MAC_final(ctx, out.data(), &n, out.size()) &&
                  n == out_len;
  if (!ok) out.clear();
  EVP_MAC_CTX_free(ctx);
  EVP_MAC_free(mac);
  return out;
}

// HMAC over Streebog-256 (the default provider's HMAC on "md_gost12_256").
inline std::vector<uint8_t> engine_hmac_streebog256(const uint8_t *key, size_t key_len, const uint8_t *data,
                                                    size_t len) {
  char digest[] = "md_gost12_256";
  const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digest, 0), OSSL_PARAM_construct_end()};
  return engine_mac("HMAC", params, key, key_len, data, len, 32);
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
  const std::string cmd = std::string("CRYPT_PARAMS=") + paramset +
                          " openssl enc -provider gostprov -provider default -gost89 -K " + to_hex(key, 32) +
                          " -iv " + to_hex(iv, 8) + " -in " + path + " 2>/dev/null";
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
  return engine_mac("gost-mac-12", nullptr, key, 32, data, len, 4);
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
