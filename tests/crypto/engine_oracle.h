// Debian's GOST engine for OpenSSL as an independent oracle for the crypto
// tests: the provider "gostprov" for digests and ciphers, the engine "gost"
// for GOST R 34.10-2012 keys. Test code only; nothing here reaches a
// deliverable. Each accessor returns null (or false) when the oracle cannot be
// loaded, and the tests then skip with the reason.
#pragma once
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/engine.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace oracle {

// The 28147-89 cipher reads its S-box choice once per process from this
// variable: param-Z, the table that makes 28147-89 equal Magma.
inline void choose_param_z() { setenv("CRYPT_PARAMS", "id-tc26-gost-28147-param-Z", 0); }

// Loaded on first use, unloaded at exit (so leak checkers see them released).
struct Providers {
  OSSL_PROVIDER *gost = nullptr, *base = nullptr;
  Providers() {
    choose_param_z();
    gost = OSSL_PROVIDER_load(nullptr, "gostprov");
    base = OSSL_PROVIDER_load(nullptr, "default");
  }
  ~Providers() {
    if (gost) OSSL_PROVIDER_unload(gost);
    if (base) OSSL_PROVIDER_unload(base);
  }
};

inline bool provider_loaded() {
  static const Providers p;
  return p.gost && p.base;
}

inline std::vector<uint8_t> streebog256(const uint8_t *data, size_t len) {
  std::vector<uint8_t> out(32);
  EVP_MD *md = EVP_MD_fetch(nullptr, "md_gost12_256", nullptr);
  unsigned int n = 0;
  if (!md || !EVP_Digest(data, len, out.data(), &n, md, nullptr) || n != 32) out.clear();
  EVP_MD_free(md);
  return out;
}

// GOST 28147-89 in CFB mode (the engine meshes keys every 1 KiB, so keep the
// data shorter than that).
inline std::vector<uint8_t> gost89_cfb(const uint8_t key[32], const uint8_t iv[8], const uint8_t *data,
                                       size_t len) {
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

struct Engine {
  ENGINE *e = ENGINE_by_id("gost");
  bool ready = e && ENGINE_init(e);
  // Its key types must be known to the library before keys are made.
  bool registered = ready && ENGINE_register_pkey_asn1_meths(e);
  ~Engine() {
    if (ready) ENGINE_finish(e);
    if (e) ENGINE_free(e);
  }
};

// The 28147-89 imitation MAC under param-Z, 4 bytes (the engine's first
// block rule differs for data of 8 bytes or less: use longer data).
inline std::vector<uint8_t> gost89_mac_param_z(const uint8_t key[32], const uint8_t *data, size_t len) {
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

inline ENGINE *gost_engine() {
  static const Engine eng;
  return eng.registered ? eng.e : nullptr;
}

// A GOST R 34.10-2012 256-bit key pair on paramSetA made by the engine, as
// little-endian bytes: private scalar, public X then Y.
struct KeyPair {
  std::vector<uint8_t> priv, pub;
  EC_POINT *point = nullptr;  // owned by key
  const EC_GROUP *group = nullptr;
  EVP_PKEY *key = nullptr;
  ~KeyPair() { EVP_PKEY_free(key); }
};

inline std::vector<uint8_t> bn_le(const BIGNUM *bn) {
  std::vector<uint8_t> out(32);
  BN_bn2lebinpad(bn, out.data(), 32);
  return out;
}

inline bool generate_key(KeyPair &kp) {
  ENGINE *e = gost_engine();
  if (!e) return false;
  EVP_PKEY_CTX *ctx = EVP_PKEY_CTX_new_id(NID_id_GostR3410_2012_256, e);
  bool ok = ctx && EVP_PKEY_keygen_init(ctx) > 0 && EVP_PKEY_CTX_ctrl_str(ctx, "paramset", "TCA") > 0 &&
            EVP_PKEY_keygen(ctx, &kp.key) > 0;
  EVP_PKEY_CTX_free(ctx);
  const EC_KEY *ec = ok ? static_cast<const EC_KEY *>(EVP_PKEY_get0(kp.key)) : nullptr;
  if (!ec) return false;
  kp.group = EC_KEY_get0_group(ec);
  kp.priv = bn_le(EC_KEY_get0_private_key(ec));
  BIGNUM *x = BN_new(), *y = BN_new();
  EC_POINT_get_affine_coordinates(kp.group, EC_KEY_get0_public_key(ec), x, y, nullptr);
  kp.pub = bn_le(x);
  const std::vector<uint8_t> yb = bn_le(y);
  kp.pub.insert(kp.pub.end(), yb.begin(), yb.end());
  BN_free(x);
  BN_free(y);
  kp.point = const_cast<EC_POINT *>(EC_KEY_get0_public_key(ec));
  return true;
}

// X of priv * point on the engine's curve, little-endian.
inline std::vector<uint8_t> shared_x(const KeyPair &mine, const KeyPair &peer) {
  BIGNUM *d = BN_lebin2bn(mine.priv.data(), 32, nullptr), *x = BN_new();
  EC_POINT *r = EC_POINT_new(mine.group);
  EC_POINT_mul(mine.group, r, nullptr, peer.point, d, nullptr);
  EC_POINT_get_affine_coordinates(mine.group, r, x, nullptr, nullptr);
  std::vector<uint8_t> out = bn_le(x);
  EC_POINT_free(r);
  BN_free(d);
  BN_free(x);
  return out;
}

}  // namespace oracle
