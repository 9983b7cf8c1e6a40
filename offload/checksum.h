// Internet checksums, and the completion of a checksum that the sending
// stack left to offload (virtio-net NEEDS_CSUM).
#pragma once
#include "offload/vnet_header.h"

#include <cstddef>
#include <cstdint>

namespace zor::offload {

// One's-complement sum of `len` bytes added to `sum` (not folded).
uint64_t checksum_add(uint64_t sum, const uint8_t *data, size_t len);
// Folds a sum to 16 bits and complements it.
uint16_t checksum_fold(uint64_t sum);

// Fills in the checksum the header marks as partial. Returns false when
// the header's offsets do not fit the frame. `saved` receives the two bytes
// that were there, for restore_partial_checksum.
bool complete_partial_checksum(const VnetHeader &hdr, uint8_t *frame, size_t len,
                               uint16_t *saved);
void restore_partial_checksum(const VnetHeader &hdr, uint8_t *frame, uint16_t saved);

}  // namespace zor::offload
