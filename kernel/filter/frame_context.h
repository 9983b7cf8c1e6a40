// The frame in hand: what the packet path knows of the frame it decides on.
// RecvHandler (or RecvFromNetwork) fills one per frame and hands it down through the IPv4
// decision, the tunnel and the queueing, so no routine reaches for the
// current frame through a global. Lives on RecvHandler's stack, under lock 0.
#pragma once
#include "kern_host.h"
#include "kernel/filter/adapters.h"

// No address-table entry counts the packet.
constexpr uint32_t STAT_NO_ENTRY = 0xFFFFFFFFu;

struct GuardOpened;

struct FrameContext {
  FilterAdapter *adapter;  // the adapter the frame crossed
  void *netbuf;            // the host's buffer of the frame
  FilterPort *port;        // the adapter's port record of the direction
  uint8_t *frame;          // the Ethernet-shaped copy (framePORTTERM or framePORTNET)
  uint32_t direction;      // PORT_TERM (sent by the local stack) or PORT_NET
  uint32_t stat_entry;     // address-table entry the packet's counts also go to
  uint8_t *work;           // the tunnel's work packet a datagram is built in (compack)
  const uint8_t *copy;         // the frame's bytes when copied off the host's buffer, or NULL
  const GuardOpened *opened;   // its tunnel datagram opened ahead, or NULL
  uint32_t batched;            // 1: a packet for the tunnel joins the open batch (tunnel_batch.h)
};
