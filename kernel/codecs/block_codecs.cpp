// The exported entry points of the three variants: each is the shared codec
// run with the variant's numbers.
#include "kernel/codecs/block_codecs.h"

#include "kernel/codecs/block_compressor.h"
#include "kernel/codecs/block_decompressor.h"

namespace zor::codecs {
namespace {

uint8_t *bytes(void *p) { return static_cast<uint8_t *>(p); }
const uint8_t *bytes(const void *p) { return static_cast<const uint8_t *>(p); }

// Where a work area of one direction keeps its stream state.
using StateOf = StreamState &(*)(const CodecVariant &, uint8_t *);

void save_stream(const CodecVariant &v, StateOf state_of, void *save, const void *work) {
  if (save == nullptr || work == nullptr) return;
  uint8_t *w = const_cast<uint8_t *>(bytes(work));
  stream_save(bytes(save), state_of(v, w), v, w);
}
void restore_stream(const CodecVariant &v, StateOf state_of, void *work, const void *save) {
  if (work == nullptr || save == nullptr) return;
  stream_restore(state_of(v, bytes(work)), v, bytes(work), bytes(save));
}
void new_save(const CodecVariant &v, void *save) {
  if (save != nullptr) stream_new_save(bytes(save), v);
}
void comp_new_buf(const CodecVariant &v, void *work) {
  if (work != nullptr) stream_new(compressor_state(v, bytes(work)));
}
void uncomp_new_buf(const CodecVariant &v, void *work) {
  if (work == nullptr) return;
  StreamState &state = decompressor_state(v, bytes(work));
  stream_new(state);
  state.last_comp_size = 0;
}
uint32_t uncomp_comp_size(const CodecVariant &v, const void *work) {
  if (work == nullptr) return 0;
  return decompressor_state(v, const_cast<uint8_t *>(bytes(work))).last_comp_size;
}

// Every area of the variant holds what the codec keeps in it, and every
// distance the compressor reaches fits the 13-bit position value.
constexpr bool fits(const CodecVariant &v) {
  return compressor_fits(v) && decompressor_fits(v) && save_area_need(v) <= v.save_size &&
         v.max_distance() <= kPositionValues;
}
static_assert(fits(kVariant1x3) && fits(kVariant2x3) && fits(kVariant8x7));

}  // namespace
}  // namespace zor::codecs

#define ZOR_BLOCK_CODEC_DEFINE(NxM, NXM, V)                                                  \
  extern "C" {                                                                               \
  void Comp##NxM##NewBuf(void *work) { zor::codecs::comp_new_buf(V, work); }                 \
  uint32_t Comp##NxM##Block(void *work, uint32_t length) {                                   \
    return zor::codecs::compress_block(V, static_cast<uint8_t *>(work), length);             \
  }                                                                                          \
  void Comp##NxM##SaveBuf(void *save, const void *work) {                                    \
    zor::codecs::save_stream(V, zor::codecs::compressor_state, save, work);                  \
  }                                                                                          \
  void Comp##NxM##RestBuf(void *work, const void *save) {                                    \
    zor::codecs::restore_stream(V, zor::codecs::compressor_state, work, save);               \
  }                                                                                          \
  void Comp##NxM##NewSave(void *save) { zor::codecs::new_save(V, save); }                    \
  void UnComp##NxM##NewBuf(void *work) { zor::codecs::uncomp_new_buf(V, work); }             \
  uint32_t UnComp##NxM##Block(void *work) {                                                  \
    return zor::codecs::decompress_block(V, static_cast<uint8_t *>(work));                   \
  }                                                                                          \
  void UnComp##NxM##SaveBuf(void *save, const void *work) {                                  \
    zor::codecs::save_stream(V, zor::codecs::decompressor_state, save, work);                \
  }                                                                                          \
  void UnComp##NxM##RestBuf(void *work, const void *save) {                                  \
    zor::codecs::restore_stream(V, zor::codecs::decompressor_state, work, save);             \
  }                                                                                          \
  void UnComp##NxM##NewSave(void *save) { zor::codecs::new_save(V, save); }                  \
  uint32_t UnComp##NxM##GetCompSize(const void *work) {                                      \
    return zor::codecs::uncomp_comp_size(V, work);                                           \
  }                                                                                          \
  uint32_t Comp##NxM##Get_SIZEBLOCK(void) { return V.block_size; }                           \
  uint32_t UnComp##NxM##Get_SIZEBLOCK(void) { return V.block_size; }                         \
  uint32_t UnComp##NxM##Get_MAXSIZE(void) { return V.max_compressed(); }                     \
  uint32_t Comp##NxM##Get_WORKSIZE(void) { return V.comp_work_size; }                        \
  uint32_t UnComp##NxM##Get_WORKSIZE(void) { return V.uncomp_work_size; }                    \
  uint32_t Comp##NxM##Get_SAVESIZE(void) { return V.save_size; }                             \
  uint32_t UnComp##NxM##Get_SAVESIZE(void) { return V.save_size; }                           \
  uint32_t Comp##NxM##Get_INPUT(void) { return V.comp_input(); }                             \
  uint32_t UnComp##NxM##Get_INPUT(void) { return V.uncomp_input(); }                         \
  uint32_t Comp##NxM##Get_OUTPUT(void) { return V.comp_output(); }                           \
  uint32_t UnComp##NxM##Get_OUTPUT(void) { return V.uncomp_output(); }                       \
  const char COMP##NXM##NAME[] = "\n\rCompression Module, 1.0c, (" #NxM "), \n\r";           \
  const char UNCOMP##NXM##NAME[] = "\n\rDecompression Module, 1.0c, (" #NxM "), \n\r";       \
  }

ZOR_BLOCK_CODEC_DEFINE(1x3, 1X3, zor::codecs::kVariant1x3)
ZOR_BLOCK_CODEC_DEFINE(2x3, 2X3, zor::codecs::kVariant2x3)
ZOR_BLOCK_CODEC_DEFINE(8x7, 8X7, zor::codecs::kVariant8x7)
