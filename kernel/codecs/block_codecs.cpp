// The exported entry points of the three variants: each is the shared codec
// run with the variant's numbers.
#include "kernel/codecs/block_codecs.h"

#include "kernel/codecs/block_compressor.h"
#include "kernel/codecs/block_decompressor.h"

namespace zor::codecs {
namespace {

uint8_t *bytes(void *p) { return static_cast<uint8_t *>(p); }
const uint8_t *bytes(const void *p) { return static_cast<const uint8_t *>(p); }

void comp_new_buf(const CodecVariant &v, void *work) {
  if (work != nullptr) stream_new(compressor_state(v, bytes(work)));
}
void comp_save(const CodecVariant &v, void *save, const void *work) {
  if (save == nullptr || work == nullptr) return;
  uint8_t *w = const_cast<uint8_t *>(bytes(work));
  stream_save(bytes(save), compressor_state(v, w), v, w);
}
void comp_restore(const CodecVariant &v, void *work, const void *save) {
  if (work == nullptr || save == nullptr) return;
  stream_restore(compressor_state(v, bytes(work)), v, bytes(work), bytes(save));
}
void uncomp_new_buf(const CodecVariant &v, void *work) {
  if (work == nullptr) return;
  StreamState &state = decompressor_state(v, bytes(work));
  stream_new(state);
  state.last_comp_size = 0;
}
void uncomp_save(const CodecVariant &v, void *save, const void *work) {
  if (save == nullptr || work == nullptr) return;
  uint8_t *w = const_cast<uint8_t *>(bytes(work));
  stream_save(bytes(save), decompressor_state(v, w), v, w);
}
void uncomp_restore(const CodecVariant &v, void *work, const void *save) {
  if (work == nullptr || save == nullptr) return;
  stream_restore(decompressor_state(v, bytes(work)), v, bytes(work), bytes(save));
}
uint32_t uncomp_comp_size(const CodecVariant &v, const void *work) {
  if (work == nullptr) return 0;
  return decompressor_state(v, const_cast<uint8_t *>(bytes(work))).last_comp_size;
}
void new_save(const CodecVariant &v, void *save) {
  if (save != nullptr) stream_new_save(bytes(save), v);
}

static_assert(compressor_fits(kVariant1x3) && compressor_fits(kVariant2x3) &&
              compressor_fits(kVariant8x7));
static_assert(decompressor_fits(kVariant1x3) && decompressor_fits(kVariant2x3) &&
              decompressor_fits(kVariant8x7));
static_assert(save_area_need(kVariant1x3) <= kVariant1x3.save_size &&
              save_area_need(kVariant2x3) <= kVariant2x3.save_size &&
              save_area_need(kVariant8x7) <= kVariant8x7.save_size);
static_assert(kVariant8x7.max_distance() <= kPositionValues);

}  // namespace
}  // namespace zor::codecs

#define ZOR_BLOCK_CODEC_DEFINE(NxM, NXM, V)                                                  \
  extern "C" {                                                                               \
  void Comp##NxM##NewBuf(void *work) { zor::codecs::comp_new_buf(V, work); }                 \
  uint32_t Comp##NxM##Block(void *work, uint32_t length) {                                   \
    return zor::codecs::compress_block(V, static_cast<uint8_t *>(work), length);             \
  }                                                                                          \
  void Comp##NxM##SaveBuf(void *save, const void *work) { zor::codecs::comp_save(V, save, work); } \
  void Comp##NxM##RestBuf(void *work, const void *save) {                                    \
    zor::codecs::comp_restore(V, work, save);                                                \
  }                                                                                          \
  void Comp##NxM##NewSave(void *save) { zor::codecs::new_save(V, save); }                    \
  void UnComp##NxM##NewBuf(void *work) { zor::codecs::uncomp_new_buf(V, work); }             \
  uint32_t UnComp##NxM##Block(void *work) {                                                  \
    return zor::codecs::decompress_block(V, static_cast<uint8_t *>(work));                   \
  }                                                                                          \
  void UnComp##NxM##SaveBuf(void *save, const void *work) {                                  \
    zor::codecs::uncomp_save(V, save, work);                                                 \
  }                                                                                          \
  void UnComp##NxM##RestBuf(void *work, const void *save) {                                  \
    zor::codecs::uncomp_restore(V, work, save);                                              \
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
