// libFuzzer target for the block codecs. Work and save areas are heap
// buffers of exactly the variant's sizes, so any access outside them is a
// sanitizer finding.
//
// Input: a control byte (variant = byte % 3; bit 2: start from a save area
// taken from the input; bit 3: round-trip the rest through the compressor),
// then, for decoding, blocks of [u16 size][bytes], each placed at the
// decompressor's input (cut to its room, the rest cleared) and decoded in
// one stream.
#include <cstdint>
#include <cstring>
#include <vector>

#include "kernel/codecs/block_codecs.h"

namespace {

struct Variant {
  void (*new_buf)(void *);
  uint32_t (*block)(void *);
  void (*restore)(void *, const void *);
  uint32_t (*comp_size)(const void *);
  void (*comp_new_buf)(void *);
  uint32_t (*comp_block)(void *, uint32_t);
  uint32_t size_block, max_size, work_size, save_size, input, output;
  uint32_t comp_work_size, comp_input, comp_output;
};

const Variant kVariants[] = {
    {UnComp1x3NewBuf, UnComp1x3Block, UnComp1x3RestBuf, UnComp1x3GetCompSize, Comp1x3NewBuf,
     Comp1x3Block, UnComp1x3Get_SIZEBLOCK(), UnComp1x3Get_MAXSIZE(), UnComp1x3Get_WORKSIZE(),
     UnComp1x3Get_SAVESIZE(), UnComp1x3Get_INPUT(), UnComp1x3Get_OUTPUT(),
     Comp1x3Get_WORKSIZE(), Comp1x3Get_INPUT(), Comp1x3Get_OUTPUT()},
    {UnComp2x3NewBuf, UnComp2x3Block, UnComp2x3RestBuf, UnComp2x3GetCompSize, Comp2x3NewBuf,
     Comp2x3Block, UnComp2x3Get_SIZEBLOCK(), UnComp2x3Get_MAXSIZE(), UnComp2x3Get_WORKSIZE(),
     UnComp2x3Get_SAVESIZE(), UnComp2x3Get_INPUT(), UnComp2x3Get_OUTPUT(),
     Comp2x3Get_WORKSIZE(), Comp2x3Get_INPUT(), Comp2x3Get_OUTPUT()},
    {UnComp8x7NewBuf, UnComp8x7Block, UnComp8x7RestBuf, UnComp8x7GetCompSize, Comp8x7NewBuf,
     Comp8x7Block, UnComp8x7Get_SIZEBLOCK(), UnComp8x7Get_MAXSIZE(), UnComp8x7Get_WORKSIZE(),
     UnComp8x7Get_SAVESIZE(), UnComp8x7Get_INPUT(), UnComp8x7Get_OUTPUT(),
     Comp8x7Get_WORKSIZE(), Comp8x7Get_INPUT(), Comp8x7Get_OUTPUT()},
};

void require(bool ok) {
  if (!ok) __builtin_trap();
}

struct Input {
  const uint8_t *p;
  size_t left;
  size_t take(size_t n) { return n < left ? n : left; }
  const uint8_t *advance(size_t n) {
    const uint8_t *at = p;
    p += n;
    left -= n;
    return at;
  }
};

// Decodes one block and checks the result is a length or the failure value.
void decode_one(const Variant &v, uint8_t *work, const uint8_t *block, size_t n) {
  uint8_t *in = work + v.input;
  std::memset(in, 0, v.max_size);
  std::memcpy(in, block, n < v.max_size ? n : v.max_size);
  uint32_t r = v.block(work);
  if (n >= 2 && (block[1] & 0x80) != 0) {
    require(r == 0xFFFFFFFFu);  // stored: the caller copies it
    v.new_buf(work);
    return;
  }
  if (r == 0xFFFFFFFFu) return;
  require(r >= 1 && r <= v.size_block);
  require(v.comp_size(work) >= 3 && v.comp_size(work) <= v.max_size);
}

void decode_blocks(const Variant &v, Input in, bool from_save) {
  std::vector<uint8_t> work(v.work_size);
  v.new_buf(work.data());
  if (from_save) {
    std::vector<uint8_t> save(v.save_size);
    std::memcpy(save.data(), in.p, in.take(v.save_size));
    in.advance(in.take(v.save_size));
    v.restore(work.data(), save.data());
  }
  while (in.left >= 2) {
    size_t n = in.p[0] | in.p[1] << 8;
    in.advance(2);
    n = in.take(n);
    decode_one(v, work.data(), in.advance(n), n);
  }
}

// Compresses the rest in blocks of up to the block size and decodes each.
void round_trip(const Variant &v, Input in) {
  std::vector<uint8_t> comp(v.comp_work_size), uncomp(v.work_size);
  v.comp_new_buf(comp.data());
  v.new_buf(uncomp.data());
  while (in.left > 0) {
    size_t n = in.take(in.p[0] % 2 ? v.size_block : (in.p[0] * 7u) % v.size_block + 1);
    const uint8_t *plain = in.advance(n);
    std::memcpy(comp.data() + v.comp_input, plain, n);
    uint32_t size = v.comp_block(comp.data(), static_cast<uint32_t>(n));
    const uint8_t *block = comp.data() + v.comp_output;
    require(size >= 3 && size <= n + 2);
    if ((block[1] & 0x80) != 0) {
      require(std::memcmp(block + 2, plain, n) == 0);
      v.new_buf(uncomp.data());
      continue;
    }
    std::memcpy(uncomp.data() + v.input, block, size);
    require(v.block(uncomp.data()) == n);
    require(v.comp_size(uncomp.data()) == size);
    require(std::memcmp(uncomp.data() + v.output, plain, n) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const Variant &v = kVariants[data[0] % 3];
  Input in{data + 1, size - 1};
  if (data[0] & 8)
    round_trip(v, in);
  else
    decode_blocks(v, in, (data[0] & 4) != 0);
  return 0;
}
