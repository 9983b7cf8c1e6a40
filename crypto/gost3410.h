// GOST R 34.10-2012, 256-bit curves: public keys and the raw Diffie-Hellman
// point of the tunnel handshake. Curves are short Weierstrass
// y^2 = x^3 + a x + b over a 256-bit prime; every integer of the interface is
// 32 bytes little-endian, a point is X then Y.
//
// Scalars are used as the full 256-bit values given (not reduced). The
// multiplication is a Montgomery ladder over complete projective formulas:
// its time and memory accesses do not depend on the scalar.
#pragma once
#include <stdint.h>

#include "crypto/fp256.h"

struct R3410_256_Params {
  zor::crypto::MontField f;
  zor::crypto::U256 a, b, b3;  // a, b and 3b in the field's form
  zor::crypto::U256 gx, gy;    // base point in the field's form
  zor::crypto::U256 q;         // order of the base point
  uint32_t cofactor;           // group order / q
};

// Parameter-set identifier of id-tc26-gost-3410-2012-256-paramSetA.
constexpr uint32_t R3410_PARAMSET_256_A = 1148;

extern "C" {
// The parameter set with this identifier, or null (only 1148 is known).
const R3410_256_Params *R34101_SelectParams(uint32_t id);

// pub := priv * G. Result 0; 1 (pub zeroed) for no parameters or a scalar that
// gives the identity.
uint32_t R3410_256_PubKey(const R3410_256_Params *params, uint8_t pub[64], const uint8_t priv[32]);

// shared_x := X coordinate of priv * peer. The peer key must be 64 bytes, a
// point on the curve with canonical coordinates and not of small order (its
// cofactor multiple is not the identity); the product must not be the
// identity. No cofactor multiplication. shared_x may be the priv buffer.
// Result 0; 1 for a refused key (shared_x then zeroed).
uint32_t R3410_256_ECDHE(const R3410_256_Params *params, uint8_t shared_x[32], const uint8_t priv[32],
                         const uint8_t *peer_pub, uint32_t peer_len);
}

namespace zor::crypto {
// Builds a parameter set from numbers printed most significant digit first
// (64 hex digits each): how the built-in sets are made, and how tests bring
// the example curves of the standards.
constexpr R3410_256_Params r3410_params(const char *p, const char *a, const char *b, const char *q,
                                        const char *gx, const char *gy, uint32_t cofactor) {
  R3410_256_Params s{};
  s.f = make_field(from_hex(p));
  s.a = to_mont(s.f, from_hex(a));
  s.b = to_mont(s.f, from_hex(b));
  s.b3 = fadd(s.f, fadd(s.f, s.b, s.b), s.b);
  s.gx = to_mont(s.f, from_hex(gx));
  s.gy = to_mont(s.f, from_hex(gy));
  s.q = from_hex(q);
  s.cofactor = cofactor;
  return s;
}
}  // namespace zor::crypto
