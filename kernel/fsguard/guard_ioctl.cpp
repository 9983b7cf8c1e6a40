// The control-request entry: sub-codes 0 to 17 over the FsIoctlBuffer.
#include "kernel/fsguard/guard.h"
#include "kernel/fsguard/guard_block.h"

namespace zor::fsguard {
namespace {

constexpr uint32_t kLastSubCode = FSG_GETLOGSIZE;
// Sub-codes refused with FSG_LOGIN_REQUIRED unless the request is logged in:
// 1, 6, 8, 9, 10, 11 and 16.
constexpr uint32_t kLoginSet = 0x10F42;
constexpr uint32_t kBufferHeader = 8;  // length and sub-code
constexpr uint32_t kDataOffset = 12;   // behind the argument

struct Answer {
  uint32_t length;
  uint32_t result;
};

class Request {
 public:
  explicit Request(FsIoctlBuffer *b) : b_(b) {}
  uint32_t length() const { return b_->length; }
  uint32_t payload() const { return b_->length - kBufferHeader; }
  // The argument field is there: a payload of at least 4 bytes.
  bool has_argument() const { return payload() >= 4; }
  uint32_t argument() const { return b_->argument; }
  // The argument counts bytes of data that the buffer really holds.
  bool data_covers_argument() const { return argument() <= length() - kDataOffset; }
  const uint8_t *data() const { return bytes() + kDataOffset; }
  uint8_t *value_area() { return bytes() + kBufferHeader; }
  void set_value(uint32_t v) { b_->argument = v; }
  Answer unchanged(uint32_t result) const { return {length(), result}; }

 private:
  uint8_t *bytes() const { return reinterpret_cast<uint8_t *>(b_); }
  FsIoctlBuffer *b_;
};

Answer value_answer(Request &r, uint32_t value) {
  r.set_value(value);
  return {12, FSG_OK};
}

uint32_t read_locked(const Guard &g, const uint32_t GuardConfigBlock::*field) {
  lock(g);
  uint32_t v = g.cfg->*field;
  unlock(g);
  return v;
}

// A request whose data is a password or a name of `argument` bytes.
template <typename Op>
Answer with_data(Request &r, Op op) {
  if (!r.data_covers_argument()) return {8, FSG_FAILED};
  return {8, op(r.data(), r.argument())};
}

Answer get_file_record(const Guard &g, Request &r) {
  lock(g);
  Answer a{8, FSG_FAILED};
  if (r.argument() < g.cfg->recordCount) {
    uint32_t offset = record_offset(g.cfg, r.argument());
    if (offset == 0) {
      a.result = FSG_WALK_PAST_END;
    } else {
      const GuardFileRecord *rec = record_at(g.cfg, offset);
      if (r.payload() >= rec->length) {
        KERN_memcpy(r.value_area(), rec, rec->length);
        a = {kBufferHeader + rec->length, FSG_OK};
      }
    }
  }
  unlock(g);
  return a;
}

// One row of the sub-code table; the caller has applied the login rule.
Answer run(const Guard &g, Request &r, uint32_t code, uint32_t loggedIn) {
  uint32_t v = 0;
  switch (code) {
    case FSG_LOGOUT:
      logout(g);
      return {8, FSG_OK};
    case FSG_DELETEALLFILES:
      delete_all_files(g);
      return {8, FSG_OK};
    case FSG_ADDTOLOG:
      return r.payload() > 7 ? Answer{8, FSG_FAILED} : r.unchanged(FSG_FAILED);
    case FSG_GETFROMLOG:
      return r.unchanged(FSG_FAILED);
    case FSG_CLEARLOG:
      return {8, FSG_FAILED};
    case FSG_GETLOGSIZE:
      return r.has_argument() ? Answer{12, FSG_FAILED} : r.unchanged(FSG_FAILED);
    default:
      break;
  }
  if (!r.has_argument()) return r.unchanged(FSG_FAILED);
  switch (code) {
    case FSG_HASPASSWORD:
      has_password(g, &v);
      return value_answer(r, v);
    case FSG_SETPASSWORD:
      return with_data(r, [&](const uint8_t *d, uint32_t n) { return set_password(g, d, n); });
    case FSG_LOGIN:
      return with_data(r, [&](const uint8_t *d, uint32_t n) { return login(g, d, n); });
    case FSG_ISLOGGED:
      return value_answer(r, loggedIn);
    case FSG_GETENABLED:
      get_enabled(g, &v);
      return value_answer(r, v);
    case FSG_SETENABLED:
      v = r.argument();
      set_enabled(g, &v);
      return {12, FSG_OK};
    case FSG_GETCHANGECOUNTER:
      return value_answer(r, read_locked(g, &GuardConfigBlock::changeCounter));
    case FSG_ADDFILE:
      if (r.argument() == 0) return {8, FSG_FAILED};
      return with_data(
          r, [&](const uint8_t *d, uint32_t n) { return add_file(g, d, n, GUARD_KIND_REQUEST); });
    case FSG_DELETEFILE:
      return with_data(r, [&](const uint8_t *d, uint32_t n) { return delete_file(g, d, n); });
    case FSG_UNLINKFILE:
      return with_data(r, [&](const uint8_t *d, uint32_t n) { return unlink_file(g, d, n); });
    case FSG_GETFILECOUNT:
      return value_answer(r, read_locked(g, &GuardConfigBlock::recordCount));
    default:  // FSG_GETFILERECORD
      return get_file_record(g, r);
  }
}

}  // namespace

// Without state or block, with no buffer or one shorter than 8 bytes: 1 and
// the buffer untouched. Otherwise the answer's length and result are written
// back and the result returned. A password or name longer than the data that
// the buffer holds is refused with 1 (length 8).
uint32_t ioctl(const Guard &g, FsIoctlBuffer *buffer) {
  if (!ready(g)) return FSG_FAILED;
  uint32_t loggedIn = 0;
  is_logged(g, &loggedIn);
  if (buffer == nullptr || buffer->length < kBufferHeader) return FSG_FAILED;
  Request r(buffer);
  uint32_t code = buffer->code;
  Answer a{8, FSG_FAILED};
  if (code <= kLastSubCode) {
    bool needsLogin = ((kLoginSet >> code) & 1) != 0;
    a = needsLogin && loggedIn == 0 ? r.unchanged(FSG_LOGIN_REQUIRED)
                                    : run(g, r, code, loggedIn);
  }
  buffer->length = a.length;
  buffer->code = a.result;
  return a.result;
}

}  // namespace zor::fsguard
