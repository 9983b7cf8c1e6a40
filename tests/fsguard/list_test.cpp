// The list operations on an installed block: name lengths at the limit of
// the record format, rename, the prune of missing files and the delete from
// disk, including the ways they can fail.
#include <atomic>
#include <thread>

#include "kernel/fsguard/guard_block.h"
#include "tests/fsguard/guard_fixture.h"

namespace {

using namespace zor::fsguard;

const uint8_t *bytes(const std::string &s) { return reinterpret_cast<const uint8_t *>(s.data()); }
uint32_t size32(const std::string &s) { return static_cast<uint32_t>(s.size()); }

class GuardList : public GuardFixture {
 protected:
  uint32_t rename(const std::string &from, const std::string &to) {
    return rename_file(g, bytes(from), size32(from), bytes(to), size32(to));
  }
  uint32_t unlink(const std::string &name) { return unlink_file(g, bytes(name), size32(name)); }
  const GuardFileRecord *record(const std::string &name) {
    return find_file(g, bytes(name), size32(name));
  }
};

TEST_F(GuardList, NameLengthsUpToTheRecordLimitAndNoFurther) {
  std::string longest(kMaxNameLength, 'n');
  ASSERT_EQ(add(longest), FSG_OK);
  const GuardFileRecord *r = record(longest);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->length, 65532u);
  EXPECT_EQ(r->nameLength, kMaxNameLength);

  // Longer names would wrap the u16 record length or P itself; the name
  // buffer is short, so any read of it would be caught by the sanitizer.
  std::string before = block_hex();
  const uint8_t shortName[4] = {'/', 'a', 'b', 'c'};
  for (uint32_t n : {kMaxNameLength + 1, 0xFFFFu, 0xFFFFFFFBu, 0xFFFFFFFFu}) {
    SCOPED_TRACE(n);
    EXPECT_EQ(add_file(g, shortName, n, GUARD_KIND_REQUEST), FSG_FAILED);
    EXPECT_EQ(rename_file(g, bytes(longest), size32(longest), shortName, n), FSG_FAILED);
    EXPECT_EQ(unlink_file(g, shortName, n), FSG_FAILED);
  }
  EXPECT_EQ(block_hex(), before);
  EXPECT_TRUE(fake_files::unlinked().empty());
}

TEST_F(GuardList, RenameThatCannotCompleteKeepsTheRecord) {
  ASSERT_EQ(add("/old", GUARD_KIND_PUT_BACK), FSG_OK);
  std::string before = block_hex();
  int saves = fake_files::saves();

  testhost::state().fail_alloc_at = 1;
  EXPECT_EQ(rename("/old", "/new"), FSG_NO_MEMORY);
  EXPECT_EQ(block_hex(), before);
  EXPECT_EQ(rename_file(g, bytes("/old"), 4, nullptr, 4), FSG_FAILED);
  EXPECT_EQ(rename_file(g, bytes("/old"), 4, bytes("/new"), 0), FSG_FAILED);
  EXPECT_EQ(rename("/missing", "/new"), FSG_FAILED);
  EXPECT_EQ(block_hex(), before);
  EXPECT_EQ(fake_files::saves(), saves);

  ASSERT_EQ(rename("/old", "/new"), FSG_OK);
  EXPECT_FALSE(listed("/old"));
  const GuardFileRecord *r = record("/new");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->kind, GUARD_KIND_PUT_BACK);  // the old record's kind
  EXPECT_EQ(r->id, 3u);                      // one removal, then the add
  EXPECT_EQ(cfg->changeCounter, 3u);
}

TEST_F(GuardList, RenameOntoAListedNameOnlyRemovesTheOld) {
  ASSERT_EQ(add("/a"), FSG_OK);
  ASSERT_EQ(add("/b"), FSG_OK);
  EXPECT_EQ(rename("/a", "/b"), FSG_OK);
  EXPECT_FALSE(listed("/a"));
  EXPECT_TRUE(listed("/b"));
  EXPECT_EQ(cfg->recordCount, 1u);
  EXPECT_EQ(cfg->changeCounter, 3u);
  // A rename onto its own name gives the record a fresh id.
  EXPECT_EQ(rename("/b", "/b"), FSG_OK);
  ASSERT_TRUE(listed("/b"));
  EXPECT_EQ(record("/b")->id, 5u);
}

TEST_F(GuardList, PruneHoldsTheLockAndExaminesEachRecordOnce) {
  for (const char *name : {"/gone1", "/kept", "/gone2", "/gone3"}) ASSERT_EQ(add(name), FSG_OK);
  fake_files::existing() = {"/kept"};
  int saves = fake_files::saves();
  EXPECT_EQ(delete_missing_files(g), FSG_OK);
  EXPECT_EQ(fake_files::opens(), 4);
  EXPECT_EQ(fake_files::opens_under_lock(), 4);
  EXPECT_EQ(fake_files::closes(), 1);
  EXPECT_EQ(cfg->recordCount, 1u);
  EXPECT_TRUE(listed("/kept"));
  EXPECT_EQ(cfg->totalSize, kHeaderSize + 40);
  EXPECT_EQ(fake_files::saves(), saves + 1);
  EXPECT_EQ(fake_files::saves_under_lock(), 0);
  // Nothing changed: no save.
  EXPECT_EQ(delete_missing_files(g), FSG_OK);
  EXPECT_EQ(fake_files::saves(), saves + 1);
}

TEST_F(GuardList, PruneOfAFreshBlockStillQueuesASave) {
  EXPECT_EQ(delete_missing_files(g), FSG_OK);
  EXPECT_EQ(fake_files::saves(), 1);
}

// Adds grow (and so move) the block while another thread prunes; with the
// walk under the lock the sanitizer build sees no access to a freed block.
TEST_F(GuardList, PruneBesideAddsAndRemovals) {
  fake_files::existing() = {"/stay"};
  ASSERT_EQ(add("/stay"), FSG_OK);
  std::atomic<bool> done{false};
  std::thread pruner([&] {
    while (!done) delete_missing_files(g);
  });
  for (int i = 0; i < 2000; ++i) {
    std::string name = "/f" + std::to_string(i % 7);
    add(name);
    if (i % 3 == 0) zor::fsguard::delete_file(g, bytes(name), size32(name));
  }
  done = true;
  pruner.join();
  delete_missing_files(g);
  EXPECT_EQ(cfg->recordCount, 1u);
  EXPECT_TRUE(listed("/stay"));
}

TEST_F(GuardList, UnlinkDeletesFileAndRecord) {
  fake_files::existing() = {"/doc"};
  ASSERT_EQ(add("/doc"), FSG_OK);
  ASSERT_EQ(add("/other"), FSG_OK);  // missing: the prune drops it
  EXPECT_EQ(unlink("/doc"), FSG_OK);
  ASSERT_EQ(fake_files::unlinked().size(), 1u);
  EXPECT_EQ(fake_files::unlinked()[0], "/doc");
  EXPECT_EQ(fake_files::unlinks_under_lock(), 0);
  EXPECT_EQ(cfg->recordCount, 0u);
}

TEST_F(GuardList, FailedUnlinkKeepsOrPutsBackTheRecord) {
  fake_files::existing() = {"/doc"};
  fake_files::set_unlink_fails(true);
  ASSERT_EQ(add("/doc"), FSG_OK);
  std::string before = block_hex();
  EXPECT_EQ(unlink("/doc"), FSG_UNLINK_FAILED);
  EXPECT_EQ(block_hex(), before);  // still there, untouched

  // The record goes while the delete runs: it is put back with kind 2.
  testhost::state().dos_now = 0x5A210A0A;
  fake_files::on_next_unlink([this] { zor::fsguard::delete_file(g, bytes("/doc"), 4); });
  EXPECT_EQ(unlink("/doc"), FSG_UNLINK_FAILED);
  const GuardFileRecord *r = record("/doc");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->kind, GUARD_KIND_PUT_BACK);
  EXPECT_EQ(r->id, 3u);
  EXPECT_EQ(r->inserted, 0x5A210A0Au);

  // A name that was not listed is not added.
  EXPECT_EQ(unlink("/unlisted"), FSG_UNLINK_FAILED);
  EXPECT_FALSE(listed("/unlisted"));
}

TEST_F(GuardList, UnlinkWithoutMemoryForTheNameTouchesNothing) {
  fake_files::existing() = {"/doc"};
  ASSERT_EQ(add("/doc"), FSG_OK);
  testhost::state().fail_alloc_at = 1;
  EXPECT_EQ(unlink("/doc"), FSG_NO_MEMORY);
  EXPECT_TRUE(fake_files::unlinked().empty());
  EXPECT_TRUE(listed("/doc"));
}

TEST_F(GuardList, EmptyingKeepsPasswordAndCountsOn) {
  ASSERT_EQ(set_password(g, bytes("pw"), 2), FSG_OK);
  ASSERT_EQ(add("/a"), FSG_OK);
  ASSERT_EQ(add("/b"), FSG_OK);
  uint16_t flags = cfg->flags;
  std::vector<uint8_t> digest(cfg->digest, cfg->digest + 32);
  EXPECT_EQ(delete_all_files(g), FSG_OK);
  EXPECT_EQ(cfg->recordCount, 0u);
  EXPECT_EQ(cfg->totalSize, kHeaderSize);
  EXPECT_EQ(cfg->changeCounter, 3u);
  EXPECT_EQ(cfg->flags, flags);
  EXPECT_EQ(std::vector<uint8_t>(cfg->digest, cfg->digest + 32), digest);
  ASSERT_EQ(add("/c"), FSG_OK);
  EXPECT_EQ(record("/c")->id, 4u);
  EXPECT_EQ(delete_file(g, bytes("/a"), 2), FSG_FAILED);
}

}  // namespace
