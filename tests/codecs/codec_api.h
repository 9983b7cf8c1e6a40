// The three codec variants seen through one table, so every test runs over
// all of them, and work areas sized exactly as the variant asks.
#pragma once
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "kernel/codecs/block_codecs.h"
#include "kernel/codecs/block_format.h"

namespace zor::codecs::test {

inline constexpr uint32_t kFail = 0xFFFFFFFFu;

struct Api {
  const char *name;
  void (*comp_new_buf)(void *);
  uint32_t (*comp_block)(void *, uint32_t);
  void (*comp_save)(void *, const void *);
  void (*comp_restore)(void *, const void *);
  void (*comp_new_save)(void *);
  void (*uncomp_new_buf)(void *);
  uint32_t (*uncomp_block)(void *);
  void (*uncomp_save)(void *, const void *);
  void (*uncomp_restore)(void *, const void *);
  void (*uncomp_new_save)(void *);
  uint32_t (*uncomp_comp_size)(const void *);
  uint32_t (*comp_sizeblock)();
  uint32_t (*uncomp_sizeblock)();
  uint32_t (*uncomp_maxsize)();
  uint32_t (*comp_worksize)();
  uint32_t (*uncomp_worksize)();
  uint32_t (*comp_savesize)();
  uint32_t (*uncomp_savesize)();
  uint32_t (*comp_input)();
  uint32_t (*uncomp_input)();
  uint32_t (*comp_output)();
  uint32_t (*uncomp_output)();
  const CodecVariant *variant;
};

#define ZOR_CODEC_API(NxM)                                                                    \
  Api {                                                                                       \
    #NxM, Comp##NxM##NewBuf, Comp##NxM##Block, Comp##NxM##SaveBuf, Comp##NxM##RestBuf,        \
        Comp##NxM##NewSave, UnComp##NxM##NewBuf, UnComp##NxM##Block, UnComp##NxM##SaveBuf,   \
        UnComp##NxM##RestBuf, UnComp##NxM##NewSave, UnComp##NxM##GetCompSize,                 \
        Comp##NxM##Get_SIZEBLOCK, UnComp##NxM##Get_SIZEBLOCK, UnComp##NxM##Get_MAXSIZE,       \
        Comp##NxM##Get_WORKSIZE, UnComp##NxM##Get_WORKSIZE, Comp##NxM##Get_SAVESIZE,          \
        UnComp##NxM##Get_SAVESIZE, Comp##NxM##Get_INPUT, UnComp##NxM##Get_INPUT,              \
        Comp##NxM##Get_OUTPUT, UnComp##NxM##Get_OUTPUT, &kVariant##NxM                       \
  }

inline const Api kApis[] = {ZOR_CODEC_API(1x3), ZOR_CODEC_API(2x3), ZOR_CODEC_API(8x7)};

#undef ZOR_CODEC_API

inline std::string api_name(const Api &api) { return api.name; }
inline void PrintTo(const Api &api, std::ostream *os) { *os << api.name; }

using Bytes = std::vector<uint8_t>;

// A compressor stream in its own exactly sized work area.
class Compressor {
 public:
  explicit Compressor(const Api &api) : api_(api), work_(api.comp_worksize()) {
    api_.comp_new_buf(work_.data());
  }
  // The compressed block (length field first) of `plain`.
  Bytes compress(const Bytes &plain) {
    std::memcpy(work_.data() + api_.comp_input(), plain.data(), plain.size());
    uint32_t size = api_.comp_block(work_.data(), static_cast<uint32_t>(plain.size()));
    const uint8_t *out = work_.data() + api_.comp_output();
    return Bytes(out, out + size);
  }
  void *work() { return work_.data(); }

 private:
  const Api &api_;
  Bytes work_;
};

// A decompressor stream in its own exactly sized work area. Stored blocks are
// handled as a caller must: copied out, and a new stream started.
class Decompressor {
 public:
  explicit Decompressor(const Api &api) : api_(api), work_(api.uncomp_worksize()) {
    api_.uncomp_new_buf(work_.data());
  }
  // The result of UnCompNxMBlock on `block`.
  // A block longer than the input room is cut to it; the rest of the room
  // is cleared.
  uint32_t decode(const Bytes &block) {
    uint8_t *in = work_.data() + api_.uncomp_input();
    size_t n = block.size() < api_.uncomp_maxsize() ? block.size() : api_.uncomp_maxsize();
    std::memset(in, 0, api_.uncomp_maxsize());
    std::memcpy(in, block.data(), n);
    return api_.uncomp_block(work_.data());
  }
  // The plain bytes of a coded or stored block; none on a failure.
  Bytes decompress(const Bytes &block) {
    if (block.size() >= 2 && (block[1] & 0x80) != 0) {
      api_.uncomp_new_buf(work_.data());
      return Bytes(block.begin() + 2, block.end());
    }
    uint32_t n = decode(block);
    if (n == kFail) return Bytes{};
    const uint8_t *out = work_.data() + api_.uncomp_output();
    return Bytes(out, out + n);
  }
  void *work() { return work_.data(); }

 private:
  const Api &api_;
  Bytes work_;
};

}  // namespace zor::codecs::test
