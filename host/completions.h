// Packet buffers of zornfhost and their completions. Buffers the filter
// hands over are written at once but their completion is only reported by
// report_completions(), which every host thread calls after its call into
// the library has returned.
#pragma once
#include "offload/vnet_header.h"

#include <cstddef>
#include <cstdint>

namespace zornfhost {

struct AdapterPair;

// A frame in the host's hands: `data` points at `len` frame bytes, in the
// buffer itself (KERN_netbuf_alloc) or in the library's frame it refers to
// (KERN_netbuf_wrap).
struct HostNetbuf {
  AdapterPair *pair;
  uint8_t *data;
  uint32_t len;
  bool owned;  // allocated by KERN_netbuf_alloc or _wrap, freed by the host or the filter
  zor::offload::VnetHeader vnet;
  uint8_t frame[];  // owned buffers only
};

// Frames written for the filter, waiting for their completion report.
void queue_completion(HostNetbuf *nb);
// Reports every pending completion to the library and frees the buffers.
void report_completions();
// Frees pending buffers without reporting them (after the library unloaded).
void drop_completions();

}  // namespace zornfhost
