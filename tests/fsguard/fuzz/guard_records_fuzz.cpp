// libFuzzer target: the file guard's control requests on a fresh guard, so
// that the records they add, rename, list and delete are built and walked
// by the guard itself. Input: requests, each a chunk (u16 length, bytes)
// copied into a buffer of exactly that length, its first word set to that
// length: the host hands the guard whole buffers whose length word is true.
#include <cstring>
#include <memory>

#include "kernel/fsguard/guard.h"
#include "kern_host.h"
#include "tests/common/fuzz_support.h"
#include "tests/fsguard/fake_files.h"
#include "tests/host/test_host.h"

namespace {

using zor::fuzz::Bytes;

Bytes Request(uint32_t code, uint32_t argument, const std::string &data = {}, size_t room = 0) {
  Bytes b(12 + data.size() + room, 0);
  uint32_t length = static_cast<uint32_t>(b.size());
  memcpy(b.data(), &length, 4);
  memcpy(b.data() + 4, &code, 4);
  memcpy(b.data() + 8, &argument, 4);
  memcpy(b.data() + 12, data.data(), data.size());
  return b;
}

zor::fuzz::Seeds MakeSeeds() {
  Bytes session;
  for (const Bytes &r : {Request(FSG_SETPASSWORD, 6, "secret"), Request(FSG_LOGIN, 6, "secret"),
                         Request(FSG_ADDFILE, 6, "/tmp/a"), Request(FSG_ADDFILE, 3, "abc"),
                         Request(FSG_GETFILECOUNT, 0, {}, 4), Request(FSG_GETFILERECORD, 1, {}, 64),
                         Request(FSG_DELETEFILE, 3, "abc"), Request(FSG_ADDTOLOG, 4, "line"),
                         Request(FSG_GETFROMLOG, 0, {}, 64), Request(FSG_DELETEALLFILES, 0)})
    zor::fuzz::PutChunk(session, r);
  Bytes logged_out;
  zor::fuzz::PutChunk(logged_out, Request(FSG_ADDFILE, 2, "/a"));
  zor::fuzz::PutChunk(logged_out, Request(FSG_ISLOGGED, 0));
  return {{"session", session}, {"logged-out", logged_out}};
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  zor::fuzz::WriteSeedsIfAsked(MakeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  zor::fuzz::Input in(data, size);
  testhost::reset();
  fake_files::reset();
  auto *ext = static_cast<zor::fsguard::GuardState *>(KERN_kmalloc(sizeof(zor::fsguard::GuardState)));
  memset(ext, 0, sizeof *ext);
  KERN_spin_lock_init(&ext->lock);
  auto *cfg = static_cast<GuardConfigBlock *>(KERN_kmalloc(sizeof(GuardConfigBlock)));
  memset(cfg, 0, sizeof *cfg);
  cfg->totalSize = sizeof(GuardConfigBlock);
  zor::fsguard::Guard g{ext, cfg};
  for (int i = 0; i < 32 && !in.empty(); i++) {
    Bytes r = in.Chunk();
    if (r.size() < sizeof(uint32_t)) continue;
    uint32_t length = static_cast<uint32_t>(r.size());
    memcpy(r.data(), &length, 4);
    // An exact heap buffer, so that any access past it is a finding.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[r.size()]);
    memcpy(exact.get(), r.data(), r.size());
    zor::fsguard::ioctl(g, reinterpret_cast<FsIoctlBuffer *>(exact.get()));
  }
  KERN_kfree(g.cfg);
  KERN_spin_lock_free(&ext->lock);
  KERN_kfree(ext);
  return 0;
}
