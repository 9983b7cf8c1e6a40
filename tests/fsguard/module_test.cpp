// The module through its real entry points, with the host's POSIX file
// operations: a started module holds no state, every operation answers as
// without state, and the delete from disk still deletes the file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "kern_host_files.h"
#include "kernel/fsguard/fsguard.h"
#include "tests/host/test_host.h"

namespace {

const uint8_t *bytes(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }
uint32_t size32(const std::string &s) { return static_cast<uint32_t>(s.size()); }

class Module : public ::testing::Test {
 protected:
  void SetUp() override { testhost::reset(); }
  void TearDown() override {
    Zor_FS_DriverUnload();
    EXPECT_EQ(testhost::state().live_allocs, 0);
  }
};

TEST_F(Module, StartPrintsItsLinesAndEndsWithoutState) {
  EXPECT_EQ(Zor_FS_init_module(), FSG_FAILED);
  EXPECT_EQ(testhost::state().live_allocs, 0);
  Zor_FS_cleanup_module();
  const std::vector<std::string> expected = {
      "VUDIVUDI: init_module: Filter driver loading...\n",
      "VUDIVUDI: init_module: Filter driver loaded\n",
      "VUDIVUDI: cleanup_module: Filter driver unloading...\n",
      "VUDIVUDI: cleanup_module: Filter driver unloaded\n",
  };
  EXPECT_EQ(testhost::state().log, expected);
}

TEST_F(Module, DriverEntryAndUnloadPrintNothing) {
  EXPECT_EQ(Zor_FS_DriverEntry(), FSG_FAILED);
  Zor_FS_DriverUnload();
  EXPECT_TRUE(testhost::state().log.empty());
}

TEST_F(Module, StartWithoutMemoryAnswersTwo) {
  testhost::state().fail_alloc_at = 1;
  EXPECT_EQ(Zor_FS_init_module(), FSG_NO_MEMORY);
  EXPECT_EQ(testhost::state().log.size(), 2u);
  EXPECT_EQ(Zor_FS_DriverEntry(), FSG_FAILED);  // and a later start as usual
}

TEST_F(Module, EveryEntryPointAnswersAsWithoutState) {
  ASSERT_EQ(Zor_FS_init_module(), FSG_FAILED);
  const std::string name = "/a";
  uint32_t out = 77, value = 1;
  EXPECT_EQ(Zor_FS_GuardLock(), FSG_FAILED);
  EXPECT_EQ(Zor_FS_GuardUnlock(), FSG_FAILED);
  EXPECT_EQ(Zor_FS_HasPassword(&out), FSG_FAILED);
  EXPECT_EQ(Zor_FS_SetPassword(bytes("pw"), 2), FSG_FAILED);
  EXPECT_EQ(Zor_FS_Login(bytes("pw"), 2), FSG_FAILED);
  EXPECT_EQ(Zor_FS_IsLoged(&out), FSG_FAILED);
  EXPECT_EQ(Zor_FS_Logout(), FSG_FAILED);
  EXPECT_EQ(Zor_FS_GetGuardEnabled(&out), FSG_FAILED);
  EXPECT_EQ(Zor_FS_SetGuardEnabled(&value), FSG_FAILED);
  EXPECT_EQ(out, 77u);
  EXPECT_EQ(Zor_FS_FindGuardFile(bytes(name), 2), nullptr);
  EXPECT_EQ(Zor_FS_AddGuardFile(bytes(name), 2, GUARD_KIND_REQUEST), FSG_FAILED);
  EXPECT_EQ(Zor_FS_FindGuardFile(bytes(name), 2), nullptr);
  EXPECT_EQ(Zor_FS_DeleteGuardFile(bytes(name), 2), FSG_FAILED);
  EXPECT_EQ(Zor_FS_DeleteAllGuardFiles(), FSG_FAILED);
  EXPECT_EQ(Zor_FS_RenameGuardFile(bytes(name), 2, bytes("/b"), 2), FSG_FAILED);
  EXPECT_EQ(Zor_FS_DeleteNotExistGuardFiles(), FSG_FAILED);
  EXPECT_EQ(Zor_FS_LoadGuardCfg(), FSG_FAILED);
  EXPECT_EQ(Zor_FS_SaveGuardCfg(), FSG_FAILED);
  EXPECT_EQ(Zor_FS_AddToLog(), FSG_FAILED);
  EXPECT_EQ(Zor_FS_GetFromLog(), FSG_FAILED);
  EXPECT_EQ(Zor_FS_ClearLog(), FSG_FAILED);
  EXPECT_EQ(Zor_FS_GetLogSize(), FSG_FAILED);
  EXPECT_EQ(testhost::state().live_allocs, 0);
}

TEST_F(Module, EverySubCodeAnswersOneAndLeavesTheBufferUntouched) {
  ASSERT_EQ(Zor_FS_init_module(), FSG_FAILED);
  EXPECT_EQ(Zor_FS_Ioctl(nullptr), FSG_FAILED);
  for (uint32_t code = 0; code <= 19; ++code) {
    for (uint32_t length : {0u, 7u, 8u, 12u, 14u, 64u}) {
      SCOPED_TRACE(testing::Message() << "code " << code << " length " << length);
      std::vector<uint8_t> buffer(length < 8 ? 8 : length, 0x5A);
      memcpy(buffer.data(), &length, 4);
      memcpy(buffer.data() + 4, &code, 4);
      if (buffer.size() >= 12) {
        uint32_t argument = 2;
        memcpy(buffer.data() + 8, &argument, 4);
      }
      std::vector<uint8_t> before = buffer;
      EXPECT_EQ(Zor_FS_Ioctl(reinterpret_cast<FsIoctlBuffer *>(buffer.data())), FSG_FAILED);
      EXPECT_EQ(buffer, before);
    }
  }
}

class TempDir : public Module {
 protected:
  void SetUp() override {
    Module::SetUp();
    char pattern[] = "/tmp/fsguard-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string cmd = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
    Module::TearDown();
  }
  std::string make_file(const std::string &leaf) {
    std::string path = dir_ + "/" + leaf;
    std::ofstream(path) << "guarded\n";
    return path;
  }
  static bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
  }
  std::string dir_;
};

TEST_F(TempDir, UnlinkWithoutStateDeletesTheFile) {
  ASSERT_EQ(Zor_FS_init_module(), FSG_FAILED);
  std::string path = make_file("secret.txt");
  ASSERT_TRUE(exists(path));
  EXPECT_EQ(Zor_FS_UnlinkGuardFile(bytes(path), size32(path)), FSG_OK);
  EXPECT_FALSE(exists(path));
  EXPECT_EQ(Zor_FS_UnlinkGuardFile(bytes(path), size32(path)), FSG_UNLINK_FAILED);
  // The name needs no terminator of its own: only its bytes are used.
  std::string other = make_file("other.txt");
  std::string padded = other + "XYZ";
  EXPECT_EQ(Zor_FS_UnlinkGuardFile(bytes(padded), size32(other)), FSG_OK);
  EXPECT_FALSE(exists(other));
  // A directory is not deleted.
  EXPECT_EQ(Zor_FS_UnlinkGuardFile(bytes(dir_), size32(dir_)), FSG_UNLINK_FAILED);
  EXPECT_TRUE(exists(dir_));
  EXPECT_EQ(testhost::state().live_allocs, 0);
}

TEST_F(TempDir, HostFileOperations) {
  std::string path = make_file("f");
  void *handle = nullptr;
  ASSERT_EQ(KERN_fopen(path.c_str(), &handle, 0, 1), 0);
  EXPECT_EQ(KERN_fclose(handle), 0);
  EXPECT_NE(KERN_fopen((dir_ + "/none").c_str(), &handle, 0, 1), 0);
  EXPECT_EQ(KERN_funlink(path.c_str()), 0);
  EXPECT_NE(KERN_funlink(path.c_str()), 0);
  EXPECT_NE(KERN_fopen(path.c_str(), &handle, 0, 1), 0);
}

TEST(HostFileNames, SameFileOnlyWhenTheBytesAreEqual) {
  struct Case {
    const char *a;
    uint32_t la;
    const char *b;
    uint32_t lb;
    bool same;
  } cases[] = {
      {"/x/y", 4, "/x/y", 4, true},  {"/x/y", 4, "/x/z", 4, false},
      {"/x/y", 4, "/x/yz", 5, false}, {"/x/yz", 4, "/x/y", 4, true},
      {"", 0, "", 0, true},           {"/X/Y", 4, "/x/y", 4, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << " vs " << c.b);
    int r = KERN_fnamecmp(reinterpret_cast<const uint8_t *>(c.a), c.la,
                          reinterpret_cast<const uint8_t *>(c.b), c.lb);
    EXPECT_EQ(r == 0, c.same);
  }
}

}  // namespace
