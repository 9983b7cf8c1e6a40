// A guard with a state and a block installed by the test (the module itself
// never holds one: its configuration load fails), control requests in
// buffers of exactly their length, and block snapshots as hex.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "byte_order.h"
#include "kernel/fsguard/guard.h"
#include "tests/crypto/test_bytes.h"
#include "tests/fsguard/fake_files.h"
#include "tests/host/test_host.h"

// Hex with spaces allowed between the groups.
inline std::vector<uint8_t> hex_bytes(const std::string &spaced) { return zor::test::hex(spaced); }

using zor::test::to_hex;

inline std::vector<uint8_t> text_bytes(const std::string &s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

struct IoctlAnswer {
  uint32_t result;
  std::vector<uint8_t> buffer;  // the whole buffer after the request
  uint32_t length() const { return load_le32(buffer.data()); }
  uint32_t code() const { return load_le32(buffer.data() + 4); }
  uint32_t value() const { return load_le32(buffer.data() + 8); }
};

// A request buffer: u32 length (its own size), u32 code, then `rest`.
inline std::vector<uint8_t> request_bytes(uint32_t code, const std::vector<uint8_t> &rest) {
  std::vector<uint8_t> b(8 + rest.size());
  uint32_t length = static_cast<uint32_t>(b.size());
  memcpy(b.data(), &length, 4);
  memcpy(b.data() + 4, &code, 4);
  if (!rest.empty()) memcpy(b.data() + 8, rest.data(), rest.size());
  return b;
}

// A request with an argument and data: argument, then the data bytes, then
// `room` spare bytes.
inline std::vector<uint8_t> request_bytes(uint32_t code, uint32_t argument,
                                          const std::vector<uint8_t> &data = {},
                                          size_t room = 0) {
  std::vector<uint8_t> rest(4 + data.size() + room, 0);
  memcpy(rest.data(), &argument, 4);
  if (!data.empty()) memcpy(rest.data() + 4, data.data(), data.size());
  return request_bytes(code, rest);
}

class GuardFixture : public ::testing::Test {
 protected:
  // The reserved header bytes and an unknown flag bit carry a pattern that
  // the guard must leave alone.
  static constexpr uint8_t kReservedFill = 0xA5;
  static constexpr uint16_t kForeignFlag = 0x8000;

  void SetUp() override {
    testhost::reset();
    fake_files::reset();
    ext = static_cast<zor::fsguard::GuardState *>(KERN_kmalloc(sizeof(zor::fsguard::GuardState)));
    memset(ext, 0, sizeof *ext);
    KERN_spin_lock_init(&ext->lock);
    cfg = static_cast<GuardConfigBlock *>(KERN_kmalloc(sizeof(GuardConfigBlock)));
    memset(cfg, 0, sizeof *cfg);
    memset(cfg->reserved0, kReservedFill, sizeof cfg->reserved0);
    memset(cfg->reserved8, kReservedFill, sizeof cfg->reserved8);
    memset(cfg->reserved56, kReservedFill, sizeof cfg->reserved56);
    cfg->totalSize = sizeof(GuardConfigBlock);
    cfg->flags = kForeignFlag;
  }

  void TearDown() override {
    KERN_kfree(cfg);
    KERN_spin_lock_free(&ext->lock);
    KERN_kfree(ext);
    EXPECT_EQ(testhost::state().live_allocs, 0);
  }

  std::string block_hex() const {
    return to_hex(reinterpret_cast<const uint8_t *>(cfg), cfg->totalSize);
  }

  IoctlAnswer ioctl(std::vector<uint8_t> request) {
    uint32_t result = zor::fsguard::ioctl(g, reinterpret_cast<FsIoctlBuffer *>(request.data()));
    return IoctlAnswer{result, std::move(request)};
  }

  uint32_t add(const std::string &name, uint16_t kind = GUARD_KIND_REQUEST) {
    return zor::fsguard::add_file(g, reinterpret_cast<const uint8_t *>(name.data()),
                                  static_cast<uint32_t>(name.size()), kind);
  }

  bool listed(const std::string &name) {
    return zor::fsguard::find_file(g, reinterpret_cast<const uint8_t *>(name.data()),
                                   static_cast<uint32_t>(name.size())) != nullptr;
  }

  zor::fsguard::GuardState *ext = nullptr;
  GuardConfigBlock *cfg = nullptr;
  zor::fsguard::Guard g{ext, cfg};
};
