// Frame copies, per-adapter send queues and completion buckets: frames the
// filter builds wait on their adapter until a drain hands them to the host,
// which reports each one's completion later; only then is the frame freed.
#pragma once
#include "kern_host.h"
#include "kernel/filter/adapters.h"

// A frame built by the filter for sending. A frame still being protected
// (sealing 1, always one towards the network) holds its place in the send
// list: frames towards the network wait behind it until DrvFramesSealed
// clears the flag. Frames up to the stack go past it: the two directions
// leave by different devices, and each keeps its own order.
struct FilterFrame {
  FilterAdapter *adapter;
  uint16_t direction;  // 1 towards the network, 0 up to the local stack
  uint16_t length;
  uint32_t sealing;    // read and cleared under the send-list lock
  uint8_t data[];
};

// One frame waiting in an adapter's send list.
struct QueueNode {
  ZorListEntry link;
  FilterFrame *frame;
};
static_assert(sizeof(QueueNode) == 16, "queue nodes are 16 bytes");

// A host buffer handed over and its frame, in the buffer's bucket.
struct BucketEntry {
  ZorListEntry link;
  void *netbuf;
  FilterFrame *frame;
};
static_assert(sizeof(BucketEntry) == 24, "bucket entries are 24 bytes");

extern "C" {
// Copies a host buffer of exactly `len` bytes to `dst`: 0, 1 bad argument,
// 2 other length or failed copy.
uint32_t DrvCopyFrame(void *ignored, void *netbuf, void *dst, uint32_t len);
// Appends the frame to its adapter's send list. 0 queued; 1 not (NULL frame,
// no adapter, no extension record, no memory): the caller keeps the frame.
uint32_t DrvSetFrameToSend(FilterFrame *frame);
// The frames (queued on one adapter with their sealing flag set) are ready:
// the flags are cleared, and with `drain` the adapter is drained.
void DrvFramesSealed(FilterFrame *const *frames, uint32_t count, uint32_t drain);

uint32_t DRVF_ForwardLanPacketToFilter(HostAdapter *adapter, void *netbuf, uint32_t direction,
                                       uint32_t ignored);
uint32_t DRVF_LanSendRecvPacketFromFilterFromQueue(HostAdapter *adapter);
uint32_t QUEUE_ProcessFltQueueForFLT(HostAdapter *adapter);
void QUEUE_ProcessFltQueueForAllFLT(void);
void DRVF_SendRecvLanFilterPacketComplete(HostAdapter *adapter, void *netbuf);
// The same for many buffers: their frames are completed under one hold of
// lock 0.
void DRVF_SendRecvLanFilterPacketCompleteBatch(HostAdapter *adapter, void *const *netbufs,
                                               uint32_t count);

uint32_t QUEUE_CalcHash(const void *netbuf);
BucketEntry *QUEUE_PacketToQueue(CompletionBucket *bucket, void *netbuf, FilterFrame *frame);
// remove != 0: unlinks and frees the entry, returns its frame; else returns
// the entry itself. NULL when there is none.
void *QUEUE_PacketFromQueue(CompletionBucket *bucket, void *netbuf, uint32_t remove);
HostAdapter *QUEUE_FindPacketInQueueForAllFLT(void *netbuf);
// Frames handed to the host and not completed, over all bound adapters.
uint64_t QUEUE_CountPendingForAllFLT(void);
// Drops every frame reference of the queues and buckets (the filter's
// memory is about to go): later completions find no frame.
void QUEUE_ForgetAllFrames(void);
// Initialises one adapter's queues and buckets, and frees them, completing
// the frames they still hold (the adapter is no longer in the list).
void QUEUE_InitAdapter(HostAdapter *adapter);
void QUEUE_FreeAdapter(HostAdapter *adapter);

// Results of the tunnel device look-ups besides 0.
enum VpnDeviceStatus : int32_t {
  VPNDEV_BAD_ARGUMENT = -1,   // no place for the answer (also: not supported)
  VPNDEV_NO_ADAPTER = -2,     // no tunnel adapter set
  VPNDEV_NO_DEVICE = -3,      // the tunnel adapter has no host record or device
};

void *DRVF_BufferToNetPacket(HostAdapter *adapter, const void *data, uint32_t len,
                             uint32_t toNetwork);
uint32_t DRVF_IsFilterReady(HostAdapter *adapter);
int32_t DRVF_GetVpnNetDevice(void **out);
int32_t FilterGetCurrentPMSFilter(HostAdapter **out);
int32_t DRVF_AddCaptiveBrowserTupple(void);

// Completes a frame: takes lock 0 / caller holds lock 0.
void FilterSendComplete(FilterFrame *frame);
void FilterSendComplete_nolock(FilterFrame *frame);
}
