// The block codecs' interface: one stateful block compressor and its
// decompressor in three variants, 1x3, 2x3 and 8x7 (blocks of up to 1024, 2048
// and 8704 bytes over a history of 3072, 3072 and 7530 bytes). The caller owns
// every area; the codec keeps no pointer between calls.
//
// For each variant NxM:
//   CompNxMNewBuf(work)             start a new compressed stream
//   CompNxMBlock(work, length)      compress the `length` bytes at
//                                   CompNxMGet_INPUT into a block at
//                                   CompNxMGet_OUTPUT; returns its size
//                                   (length field included), 0 for a null
//                                   area or a length of 0, 0xFFFFFFFF for a
//                                   length above CompNxMGet_SIZEBLOCK
//   CompNxMSaveBuf(save, work)      copy the stream state into a save area
//   CompNxMRestBuf(work, save)      continue a saved stream
//   CompNxMNewSave(save)            make a save area restore to a new stream
//   UnCompNxMNewBuf(work)           start a new decompressor stream
//   UnCompNxMBlock(work)            decompress the block at UnCompNxMGet_INPUT
//                                   into plain bytes at UnCompNxMGet_OUTPUT;
//                                   returns their number, 0 for a null area,
//                                   0xFFFFFFFF for a bad block
//   UnCompNxMSaveBuf, UnCompNxMRestBuf, UnCompNxMNewSave: as for the compressor
//   UnCompNxMGetCompSize(work)      size of the block last decoded
//   CompNxMGet_... / UnCompNxMGet_...  the variant's sizes and positions
//
// A block whose length field has bit 15 set is stored: the plain bytes follow
// the length field. The caller copies them itself and calls UnCompNxMNewBuf
// before the next block, as the compressor starts a new stream after it.
#pragma once
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZOR_BLOCK_CODEC_DECLARE(NxM, NXM)                         \
  void Comp##NxM##NewBuf(void *work);                             \
  uint32_t Comp##NxM##Block(void *work, uint32_t length);         \
  void Comp##NxM##SaveBuf(void *save, const void *work);          \
  void Comp##NxM##RestBuf(void *work, const void *save);          \
  void Comp##NxM##NewSave(void *save);                            \
  void UnComp##NxM##NewBuf(void *work);                           \
  uint32_t UnComp##NxM##Block(void *work);                        \
  void UnComp##NxM##SaveBuf(void *save, const void *work);        \
  void UnComp##NxM##RestBuf(void *work, const void *save);        \
  void UnComp##NxM##NewSave(void *save);                          \
  uint32_t UnComp##NxM##GetCompSize(const void *work);            \
  uint32_t Comp##NxM##Get_SIZEBLOCK(void);                        \
  uint32_t UnComp##NxM##Get_SIZEBLOCK(void);                      \
  uint32_t UnComp##NxM##Get_MAXSIZE(void);                        \
  uint32_t Comp##NxM##Get_WORKSIZE(void);                         \
  uint32_t UnComp##NxM##Get_WORKSIZE(void);                       \
  uint32_t Comp##NxM##Get_SAVESIZE(void);                         \
  uint32_t UnComp##NxM##Get_SAVESIZE(void);                       \
  uint32_t Comp##NxM##Get_INPUT(void);                            \
  uint32_t UnComp##NxM##Get_INPUT(void);                          \
  uint32_t Comp##NxM##Get_OUTPUT(void);                           \
  uint32_t UnComp##NxM##Get_OUTPUT(void);                         \
  extern const char COMP##NXM##NAME[];                            \
  extern const char UNCOMP##NXM##NAME[];

ZOR_BLOCK_CODEC_DECLARE(1x3, 1X3)
ZOR_BLOCK_CODEC_DECLARE(2x3, 2X3)
ZOR_BLOCK_CODEC_DECLARE(8x7, 8X7)

#undef ZOR_BLOCK_CODEC_DECLARE

#ifdef __cplusplus
}  // extern "C"
#endif
