// Debian's GOST provider for OpenSSL ("gostprov") as an independent oracle
// of the Magma modes, for the crypto tests and the benchmark; never part of a
// deliverable. The provider takes keys, IVs, blocks and MACs in the
// standards' byte order.
#pragma once
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstddef>
#include <cstdint>

namespace zor::test {

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

}  // namespace zor::test
