// The guard's password (kept as an unsalted Streebog-256 digest), the login
// state and the enabled switch.
#include "crypto/streebog.h"
#include "kernel/fsguard/guard.h"

namespace zor::fsguard {
namespace {

constexpr uint32_t kDigestSize = sizeof(GuardConfigBlock::digest);

bool same_digest(const uint8_t *a, const uint8_t *b) {
  uint8_t diff = 0;
  for (uint32_t i = 0; i < kDigestSize; ++i) diff |= a[i] ^ b[i];
  return diff == 0;
}

// Reads the flags under the lock; the answer is the masked bit as 0 or 1.
uint32_t read_flag(const Guard &g, uint32_t *out, uint16_t flag) {
  if (!ready(g) || out == nullptr) return FSG_FAILED;
  lock(g);
  *out = (g.cfg->flags & flag) != 0 ? 1 : 0;
  unlock(g);
  return FSG_OK;
}

}  // namespace

void Zor_FS_Hash32(const uint8_t *data, uint32_t length, uint8_t out[32]) {
  Hash3411Ctx ctx;
  Hash3411Open(&ctx);
  Hash3411(&ctx, data, length);
  Hash3411Close(&ctx, out);  // also wipes the context
}

uint32_t has_password(const Guard &g, uint32_t *out) {
  return read_flag(g, out, GUARD_FLAG_PASSWORD);
}

uint32_t get_enabled(const Guard &g, uint32_t *out) {
  return read_flag(g, out, GUARD_FLAG_ENABLED);
}

// An empty password clears the password and leaves the login state alone;
// whoever sets a non-empty one is logged in.
uint32_t set_password(const Guard &g, const uint8_t *password, uint32_t length) {
  if (!ready(g) || (password == nullptr && length != 0)) return FSG_FAILED;
  uint8_t digest[kDigestSize] = {};
  if (length != 0) Zor_FS_Hash32(password, length, digest);
  lock(g);
  KERN_memcpy(g.cfg->digest, digest, kDigestSize);
  if (length != 0) {
    g.cfg->flags |= GUARD_FLAG_PASSWORD;
    g.ext->loggedIn = 1;
  } else {
    g.cfg->flags &= static_cast<uint16_t>(~GUARD_FLAG_PASSWORD);
  }
  unlock(g);
  KERN_memset(digest, 0, kDigestSize);
  KERN_queue_fsguardcfgsave();
  return FSG_OK;
}

// No password given (null, 0) succeeds only while none is set; a given one
// only when its digest matches. A refusal keeps an earlier login.
uint32_t login(const Guard &g, const uint8_t *password, uint32_t length) {
  if ((password == nullptr) != (length == 0) || !ready(g)) return FSG_FAILED;
  uint8_t digest[kDigestSize] = {};
  if (length != 0) Zor_FS_Hash32(password, length, digest);
  lock(g);
  bool isSet = (g.cfg->flags & GUARD_FLAG_PASSWORD) != 0;
  bool accepted = length == 0 ? !isSet : isSet && same_digest(digest, g.cfg->digest);
  if (accepted) g.ext->loggedIn = 1;
  unlock(g);
  KERN_memset(digest, 0, kDigestSize);
  return accepted ? FSG_OK : FSG_WRONG_PASSWORD;
}

uint32_t is_logged(const Guard &g, uint32_t *out) {
  if (!ready(g) || out == nullptr) return FSG_FAILED;
  lock(g);
  *out = (g.cfg->flags & GUARD_FLAG_PASSWORD) == 0 || g.ext->loggedIn != 0 ? 1 : 0;
  unlock(g);
  return FSG_OK;
}

uint32_t logout(const Guard &g) {
  if (g.ext == nullptr) return FSG_FAILED;
  lock(g);
  g.ext->loggedIn = 0;
  unlock(g);
  return FSG_OK;
}

uint32_t set_enabled(const Guard &g, const uint32_t *value) {
  if (!ready(g) || value == nullptr) return FSG_FAILED;
  lock(g);
  if (*value != 0)
    g.cfg->flags |= GUARD_FLAG_ENABLED;
  else
    g.cfg->flags &= static_cast<uint16_t>(~GUARD_FLAG_ENABLED);
  unlock(g);
  KERN_queue_fsguardcfgsave();
  return FSG_OK;
}

}  // namespace zor::fsguard
