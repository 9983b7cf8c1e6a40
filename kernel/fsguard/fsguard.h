// The file guard's interface to its host: the configuration block that the
// host saves, the control-request buffer with its sub-codes, and the entry
// points that the host calls by name.
#pragma once
#include <stddef.h>
#include <stdint.h>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the guard block and the control buffer are little-endian");

// The configuration block: this 96-byte header, then the records one after the
// other without gaps, all in one allocation. The host saves it as it stands, so
// the layout is a file format. The reserved bytes are never read or written.
struct GuardConfigBlock {
  uint8_t reserved0[4];
  uint32_t totalSize;      // bytes, header included; 96 for an empty list
  uint8_t reserved8[2];
  uint16_t flags;          // GUARD_FLAG_*; other bits are left untouched
  uint8_t digest[32];      // Streebog-256 of the password; zeros when none
  uint32_t recordCount;
  uint32_t changeCounter;  // +1 per record added or removed, per emptying
  uint32_t lastChange;     // DOS date-time of the last change of the list
  uint8_t reserved56[40];
};

// One guarded file. The name (n bytes) follows the 32-byte record header and
// is padded with zeros to P = (n + 5) & ~3 bytes, so at least two zero bytes
// follow it and it is always zero-terminated.
struct GuardFileRecord {
  uint16_t length;      // 32 + P
  uint16_t nameLength;  // n
  uint32_t id;          // the change counter's value after this record was added
  uint32_t inserted;    // DOS date-time of the insertion
  uint16_t kind;        // GUARD_KIND_*
  uint8_t zero[18];
};

static_assert(sizeof(GuardConfigBlock) == 96);
static_assert(offsetof(GuardConfigBlock, totalSize) == 4);
static_assert(offsetof(GuardConfigBlock, flags) == 10);
static_assert(offsetof(GuardConfigBlock, digest) == 12);
static_assert(offsetof(GuardConfigBlock, recordCount) == 44);
static_assert(offsetof(GuardConfigBlock, changeCounter) == 48);
static_assert(offsetof(GuardConfigBlock, lastChange) == 52);
static_assert(sizeof(GuardFileRecord) == 32);
static_assert(offsetof(GuardFileRecord, id) == 4);
static_assert(offsetof(GuardFileRecord, inserted) == 8);
static_assert(offsetof(GuardFileRecord, kind) == 12);

constexpr uint16_t GUARD_FLAG_PASSWORD = 0x0001;
constexpr uint16_t GUARD_FLAG_ENABLED = 0x0002;

constexpr uint16_t GUARD_KIND_REQUEST = 1;   // added by a control request
constexpr uint16_t GUARD_KIND_PUT_BACK = 2;  // put back after a failed delete from disk

// The control-request buffer (4-byte aligned). On input: the number of bytes
// in the buffer (at least 8), the sub-code, the argument (a length, a flag or
// a record number) and from offset 12 the data (a password or a file name of
// argument bytes). On output: the answer's length, the result and a value.
// Only the fields that the length covers exist.
struct FsIoctlBuffer {
  uint32_t length;
  uint32_t code;
  uint32_t argument;
};

enum FsGuardSubCode : uint32_t {
  FSG_HASPASSWORD = 0,
  FSG_SETPASSWORD = 1,
  FSG_LOGIN = 2,
  FSG_ISLOGGED = 3,
  FSG_LOGOUT = 4,
  FSG_GETENABLED = 5,
  FSG_SETENABLED = 6,
  FSG_GETCHANGECOUNTER = 7,
  FSG_ADDFILE = 8,
  FSG_DELETEFILE = 9,
  FSG_DELETEALLFILES = 10,
  FSG_UNLINKFILE = 11,
  FSG_GETFILECOUNT = 12,
  FSG_GETFILERECORD = 13,
  FSG_ADDTOLOG = 14,
  FSG_GETFROMLOG = 15,
  FSG_CLEARLOG = 16,
  FSG_GETLOGSIZE = 17,
};

// Results of the entry points and control requests.
enum FsGuardResult : uint32_t {
  FSG_OK = 0,
  FSG_FAILED = 1,          // failure, bad argument or no state
  FSG_NO_MEMORY = 2,
  FSG_LOGIN_REQUIRED = 3,  // control requests only
  FSG_WRONG_PASSWORD = 4,
  FSG_UNLINK_FAILED = 8,   // the delete from disk failed
  FSG_WALK_PAST_END = 9,   // control requests only: the block's records end early
};

extern "C" {

// Module start: both answer 1 (the configuration load always fails, so the
// module keeps no state) or 2 when the state could not be allocated.
// init_module prints its load lines, DriverEntry does not.
uint32_t Zor_FS_init_module(void);
uint32_t Zor_FS_DriverEntry(void);
// Module stop: releases the state and the block; cleanup_module prints its
// unload lines, DriverUnload does not.
void Zor_FS_cleanup_module(void);
void Zor_FS_DriverUnload(void);

// The guard's lock, for the host. Not recursive: no other entry point may be
// called while the host holds it.
uint32_t Zor_FS_GuardLock(void);
uint32_t Zor_FS_GuardUnlock(void);

uint32_t Zor_FS_HasPassword(uint32_t *out);
uint32_t Zor_FS_SetPassword(const uint8_t *password, uint32_t length);
uint32_t Zor_FS_Login(const uint8_t *password, uint32_t length);
uint32_t Zor_FS_IsLoged(uint32_t *out);
uint32_t Zor_FS_Logout(void);
uint32_t Zor_FS_GetGuardEnabled(uint32_t *out);
uint32_t Zor_FS_SetGuardEnabled(const uint32_t *value);

// The record points into the block: valid until the list next changes.
GuardFileRecord *Zor_FS_FindGuardFile(const uint8_t *name, uint32_t length);
uint32_t Zor_FS_AddGuardFile(const uint8_t *name, uint32_t length, uint16_t kind);
uint32_t Zor_FS_DeleteGuardFile(const uint8_t *name, uint32_t length);
uint32_t Zor_FS_DeleteAllGuardFiles(void);
uint32_t Zor_FS_RenameGuardFile(const uint8_t *oldName, uint32_t oldLength,
                                const uint8_t *newName, uint32_t newLength);
uint32_t Zor_FS_DeleteNotExistGuardFiles(void);
// Deletes the file from disk, with or without state, and drops its record.
uint32_t Zor_FS_UnlinkGuardFile(const uint8_t *name, uint32_t length);

// A control request: returns the result that it writes at offset 4, or 1
// with the buffer untouched (no state or block, no buffer, length below 8).
uint32_t Zor_FS_Ioctl(FsIoctlBuffer *buffer);

uint32_t Zor_FS_LoadGuardCfg(void);
uint32_t Zor_FS_SaveGuardCfg(void);

// The guard keeps no log: each of these answers 1.
uint32_t Zor_FS_AddToLog(void);
uint32_t Zor_FS_GetFromLog(void);
uint32_t Zor_FS_ClearLog(void);
uint32_t Zor_FS_GetLogSize(void);

}  // extern "C"
