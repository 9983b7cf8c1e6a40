// The packet path: the receive handler of every bound adapter gives each
// frame an Ethernet shape in the direction's copy area, classifies its link
// layer and decides its verdict; IPv4 packets go through validation,
// reassembly, DNS inspection, the tunnel (encapsulation towards the gateway
// and decapsulation of its datagrams), the firewall and the local rules.
// Frames it produces are queued on their adapter.
#pragma once
#include "kern_host.h"
#include "kernel/filter/adapters.h"
#include "kernel/filter/firewall_sessions.h"
#include "kernel/filter/frame_context.h"
#include "kernel/filter/ip_helpers.h"
#include "kernel/filter/ip_reassembly.h"
#include "kernel/filter/local_rules.h"
#include "kernel/filter/proxy_redirect.h"
#include "kernel/filter/tunnel_control.h"

constexpr uint32_t FRAME_COPY_SIZE = 65570;
constexpr uint32_t MAX_FRAME_LEN = 65556;
constexpr uint32_t LINK_TOO_SHORT = 0xFFFFFFFFu;

// Verdicts of RecvHandler and IPPacketReceived (returned as u32), and the
// packet path's inner word for "no verdict yet, go on with the next step".
enum FilterVerdict : uint32_t {
  VERDICT_PASS = KERN_VERDICT_PASS,                 // the host delivers the frame unchanged
  VERDICT_TAKEN = KERN_VERDICT_TAKEN,               // the filter consumed, re-sent or refused it
  VERDICT_NOT_HANDLED = KERN_VERDICT_NOT_HANDLED,   // as if the filter had not seen it
  VERDICT_CONTINUE = 0xFFFFFFFFu,
};

// Link layers a frame is classified as.
enum LinkKind : uint32_t {
  LINK_ETHERNET_II = 2,
  LINK_8022 = 3,
  LINK_RAW_8023 = 5,
  LINK_SNAP = 10,
};

// Link classification of a frame.
struct LinkInfo {
  uint32_t headerlen;  // LINK_TOO_SHORT when the frame is too short
  uint32_t kind;       // a LinkKind
  uint32_t pid;        // protocol identifier
};

extern "C" {
// The frame copy areas, one per direction; valid under lock 0 only.
extern uint8_t framePORTTERM[FRAME_COPY_SIZE];
extern uint8_t framePORTNET[FRAME_COPY_SIZE];

// Receive handler of every bound adapter: verdict 0 pass, 1 taken, 2 not
// handled. Called without lock 0.
uint32_t RecvHandler(FilterAdapter *adapter, uint32_t direction, void *netbuf, uint32_t length);
// The same for a frame from the network, its bytes in the host's buffer or,
// with netbuf NULL, in `copy` (then a verdict other than taken sends the copy
// up to the local stack: the frame is taken); `opened`, when not NULL, its
// tunnel datagram opened ahead (tunnel_ahead.h).
uint32_t RecvFromNetwork(FilterAdapter *adapter, void *netbuf, const uint8_t *copy,
                         uint32_t length, const GuardOpened *opened);
// `count` frames the local stack sent on the adapter, in their order, under
// one hold of lock 0: verdicts[i] for netbufs[i] (none NULL). The packets
// for the tunnel among them are protected together (tunnel_batch.h).
void RecvFromStack(FilterAdapter *adapter, void *const *netbufs, uint32_t count,
                   uint32_t *verdicts);
// The IPv4 decision on the frame of ctx; lock 0 held. length counts from
// the IPv4 header on.
uint32_t IPPacketReceived(FrameContext *ctx, uint32_t linklen, uint8_t *ip, uint32_t length);
// 1 when it answered an ARP request of the local stack in the gateway's name.
uint32_t ARPPacketReceived(const FrameContext *ctx, uint32_t linklen, uint8_t *body,
                           uint32_t bodylen);
LinkInfo DetectFrameAndPid(const uint8_t *frame, uint32_t length);

// Queues a copy of a frame on the adapter of ctx, or with the tunnel flag
// on the tunnel adapter; 0 queued, non-zero not.
uint32_t AddToSend(const FrameContext *ctx, const uint8_t *frame, uint32_t length, uint32_t tunnel,
                   uint32_t tonetwork);
// A frame of `length` bytes (contents unset) for the adapter of ctx, or with
// the tunnel flag for the tunnel adapter; NULL when that adapter is not ready,
// the length too large or no memory. DrvSetFrameToSend queues it.
struct FilterFrame;
FilterFrame *FilterNewFrame(const FrameContext *ctx, uint32_t tunnel, uint32_t tonetwork,
                            uint32_t length);

// Overwrites open data with the repeating random pattern.
void CLI_MASK_OPEN_DATA(uint8_t *data, uint32_t length, uint32_t mode);
}
