#include "crypto/gost3410.h"

#include "crypto/platform.h"
#include "crypto/wipe.h"

namespace {

using zor::crypto::fadd;
using zor::crypto::fmul;
using zor::crypto::fsub;
using zor::crypto::U256;

// id-tc26-gost-3410-2012-256-paramSetA in its Weierstrass form (cofactor 4).
constexpr R3410_256_Params kParamSetA = zor::crypto::r3410_params(
    "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFD97",
    "C2173F1513981673AF4892C23035A27CE25E2013BF95AA33B22C656F277E7335",
    "295F9BAE7428ED9CCC20E7C359A9D41A22FCCD9108E17BF7BA9337A6F8AE9513",
    "400000000000000000000000000000000FD8CDDFC87B6635C115AF556C360C67",
    "91E38443A5E82C0D880923425712B2BB658B9196932E02C78B2582FE742DAA28",
    "32879423AB1A0375895786C4BB46E9565FDE0B5344766740AF268ADB32322E5C", 4);

// Projective point (X : Y : Z), coordinates in the field's form (fp256.h);
// Z = 0 is the identity (0 : 1 : 0).
struct Point {
  U256 x, y, z;
};

// Complete projective addition for y^2 = x^3 + a x + b (the published
// complete formulas for any a, with 3b precomputed). Correct for every pair of
// points whose difference is not of order 2, the identity included; the
// ladder below only adds points that differ by the input point, which
// validation keeps away from order 2.
Point add(const R3410_256_Params &c, const Point &p1, const Point &p2) {
  const auto &f = c.f;
  U256 t0 = fmul(f, p1.x, p2.x), t1 = fmul(f, p1.y, p2.y), t2 = fmul(f, p1.z, p2.z);
  U256 t3 = fmul(f, fadd(f, p1.x, p1.y), fadd(f, p2.x, p2.y));
  t3 = fsub(f, t3, fadd(f, t0, t1));
  U256 t4 = fmul(f, fadd(f, p1.x, p1.z), fadd(f, p2.x, p2.z));
  t4 = fsub(f, t4, fadd(f, t0, t2));
  U256 t5 = fmul(f, fadd(f, p1.y, p1.z), fadd(f, p2.y, p2.z));
  t5 = fsub(f, t5, fadd(f, t1, t2));
  U256 z3 = fadd(f, fmul(f, c.a, t4), fmul(f, c.b3, t2));
  U256 x3 = fsub(f, t1, z3);
  z3 = fadd(f, t1, z3);
  U256 y3 = fmul(f, x3, z3);
  t1 = fadd(f, fadd(f, t0, t0), t0);
  t2 = fmul(f, c.a, t2);
  t4 = fmul(f, c.b3, t4);
  t1 = fadd(f, t1, t2);
  t2 = fmul(f, c.a, fsub(f, t0, t2));
  t4 = fadd(f, t4, t2);
  y3 = fadd(f, y3, fmul(f, t1, t4));
  x3 = fsub(f, fmul(f, t3, x3), fmul(f, t5, t4));
  z3 = fadd(f, fmul(f, t5, z3), fmul(f, t3, t1));
  return {x3, y3, z3};
}

// Complete projective doubling from the same family of formulas.
Point dbl(const R3410_256_Params &c, const Point &p) {
  const auto &f = c.f;
  U256 t0 = fmul(f, p.x, p.x), t1 = fmul(f, p.y, p.y), t2 = fmul(f, p.z, p.z);
  U256 t3 = fmul(f, p.x, p.y);
  t3 = fadd(f, t3, t3);
  U256 z3 = fmul(f, p.x, p.z);
  z3 = fadd(f, z3, z3);
  U256 x3 = fmul(f, c.a, z3);
  U256 y3 = fadd(f, x3, fmul(f, c.b3, t2));
  x3 = fsub(f, t1, y3);
  y3 = fmul(f, x3, fadd(f, t1, y3));
  x3 = fmul(f, t3, x3);
  z3 = fmul(f, c.b3, z3);
  t2 = fmul(f, c.a, t2);
  t3 = fadd(f, fmul(f, c.a, fsub(f, t0, t2)), z3);
  z3 = fadd(f, t0, t0);
  t0 = fadd(f, fadd(f, z3, t0), t2);
  y3 = fadd(f, y3, fmul(f, t0, t3));
  t2 = fmul(f, p.y, p.z);
  t2 = fadd(f, t2, t2);
  x3 = fsub(f, x3, fmul(f, t2, t3));
  z3 = fmul(f, t2, t1);
  z3 = fadd(f, z3, z3);
  z3 = fadd(f, z3, z3);
  return {x3, y3, z3};
}

void cswap(uint64_t mask, Point &a, Point &b) {
  zor::crypto::cswap(mask, a.x, b.x);
  zor::crypto::cswap(mask, a.y, b.y);
  zor::crypto::cswap(mask, a.z, b.z);
}

// k * p over all 256 bits of k, one addition and one doubling per bit.
Point ladder(const R3410_256_Params &c, const U256 &k, const Point &p) {
  Point r0{{}, c.f.one, {}}, r1 = p;
  for (int bit = 255; bit >= 0; --bit) {
    const uint64_t mask = 0 - ((k.w[bit / 64] >> (bit % 64)) & 1);
    cswap(mask, r0, r1);
    r1 = add(c, r0, r1);
    r0 = dbl(c, r0);
    cswap(mask, r0, r1);
  }
  zor::crypto::wipe(&r1, sizeof r1);
  return r0;
}

// k * p for a small public k (the cofactor): double and add on its bits.
Point small_multiple(const R3410_256_Params &c, uint32_t k, const Point &p) {
  Point r{{}, c.f.one, {}};
  for (int bit = 31; bit >= 0; --bit) {
    r = dbl(c, r);
    if ((k >> bit) & 1) r = add(c, r, p);
  }
  return r;
}

// Affine coordinates (plain form); false for the identity.
bool to_affine(const R3410_256_Params &c, const Point &p, U256 &x, U256 &y) {
  if (zor::crypto::zero_mask(p.z)) return false;
  const U256 zi = zor::crypto::finv(c.f, p.z);
  x = zor::crypto::from_mont(c.f, fmul(c.f, p.x, zi));
  y = zor::crypto::from_mont(c.f, fmul(c.f, p.y, zi));
  return true;
}

// Decodes a peer key: canonical coordinates of a point on the curve that is
// not of small order.
bool decode_peer(const R3410_256_Params &c, const uint8_t *pub, Point &out) {
  const U256 x = zor::crypto::load_le(pub), y = zor::crypto::load_le(pub + 32);
  if (!zor::crypto::less_than(x, c.f.p) || !zor::crypto::less_than(y, c.f.p)) return false;
  const auto &f = c.f;
  const U256 xm = zor::crypto::to_mont(f, x), ym = zor::crypto::to_mont(f, y);
  const U256 rhs = fadd(f, fmul(f, fadd(f, fmul(f, xm, xm), c.a), xm), c.b);
  U256 diff{};
  zor::crypto::sub_raw(diff, fmul(f, ym, ym), rhs);
  if (!zor::crypto::zero_mask(diff)) return false;
  out = {xm, ym, f.one};
  const Point h = small_multiple(c, c.cofactor, out);
  return !zor::crypto::zero_mask(h.z);
}

}  // namespace

extern "C" {

const R3410_256_Params *R34101_SelectParams(uint32_t id) {
  return id == R3410_PARAMSET_256_A ? &kParamSetA : nullptr;
}

uint32_t R3410_256_PubKey(const R3410_256_Params *params, uint8_t pub[64], const uint8_t priv[32]) {
  memset(pub, 0, 64);
  if (!params) return 1;
  U256 k = zor::crypto::load_le(priv);
  Point r = ladder(*params, k, {params->gx, params->gy, params->f.one});
  U256 x{}, y{};
  const bool ok = to_affine(*params, r, x, y);
  if (ok) {
    zor::crypto::store_le(pub, x);
    zor::crypto::store_le(pub + 32, y);
  }
  zor::crypto::wipe(&r, sizeof r);
  zor::crypto::wipe(&k, sizeof k);
  return ok ? 0 : 1;
}

uint32_t R3410_256_ECDHE(const R3410_256_Params *params, uint8_t shared_x[32], const uint8_t priv[32],
                         const uint8_t *peer_pub, uint32_t peer_len) {
  U256 k = zor::crypto::load_le(priv);  // read before shared_x, which may be priv
  memset(shared_x, 0, 32);
  Point peer{};
  bool ok = params && peer_pub && peer_len == 64 && decode_peer(*params, peer_pub, peer);
  if (ok) {
    Point r = ladder(*params, k, peer);
    U256 x{}, y{};
    ok = to_affine(*params, r, x, y);
    if (ok) zor::crypto::store_le(shared_x, x);
    zor::crypto::wipe(&r, sizeof r);
    zor::crypto::wipe(&x, sizeof x);
    zor::crypto::wipe(&y, sizeof y);
  }
  zor::crypto::wipe(&k, sizeof k);
  return ok ? 0 : 1;
}
}
