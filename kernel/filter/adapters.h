// Adapters: the host-side adapter record of every bound device with its
// filter descriptor, the module's adapter list, the adapter notifications
// and the tunnel adapter.
#pragma once
#include "kern_host.h"
#include "kernel/filter/filter_list.h"

struct FilterAdapter;

// Adapter types as the host reports them.
constexpr uint8_t ADAPTER_ETHERNET = 0;
constexpr uint8_t ADAPTER_NOMAC = 1;
constexpr uint8_t ADAPTER_RAWIP = 2;
constexpr uint8_t ADAPTER_PPP = 3;

// Filter states of a descriptor.
constexpr uint8_t ADAPTER_NOT_READY = 1;
constexpr uint8_t ADAPTER_READY = 2;

// Port directions: frames sent by the local stack (TERM) and frames from
// the network (NET).
constexpr uint32_t PORT_TERM = 0;
constexpr uint32_t PORT_NET = 1;

constexpr uint32_t ADAPTER_NAME_SIZE = 32;
constexpr uint32_t ADAPTER_HWADDR_SIZE = 32;
constexpr uint32_t QUEUE_BUCKETS = 256;

// One per direction and adapter (TERM first, NET second).
struct FilterPort {
  uint8_t net;               // 1 on the NET record
  uint8_t redirectcode;      // code of the pending ICMP redirect
  uint32_t redirectpending;  // an ICMP redirect is due on this port
  void *reassembly;          // the adapter's reassembly area, owned by the packet path
};

// Receive handler of a descriptor: verdict 0 pass, 1 taken, 2 not handled.
typedef uint32_t (*FilterRecvHandler)(FilterAdapter *adapter, uint32_t direction, void *netbuf,
                                      uint32_t length);

struct HostAdapter;
struct GuardAheadTrain;

// The filter's view of an adapter.
struct FilterAdapter {
  ZorListEntry link;  // the filter's adapter list (under lock 0)
  HostAdapter *host;
  char name[ADAPTER_NAME_SIZE];
  char descr[ADAPTER_NAME_SIZE];
  uint8_t type;
  uint8_t filterstate;
  uint8_t hardaddrlen;
  uint8_t hardaddr[ADAPTER_HWADDR_SIZE];
  uint32_t maxframelen;
  uint32_t mtu;
  FilterRecvHandler RecvHandler;
  FilterPort ports[2];
};

// Frames handed to the host and not yet completed, by host buffer.
struct CompletionBucket {
  ZorListHead entries;
  KERN_spinlock_t lock;
  uint64_t count;
};

// The host-side record of a bound device.
struct HostAdapter {
  ZorListEntry link;  // the module's adapter list (under the adapter-list lock)
  void *netdev;       // the host's device, or this record itself
  uint32_t accepted;  // 0 once the adapter is being unbound
  KERN_spinlock_t statelock;
  ZorListHead sendlist;  // queue nodes of frames waiting for the host
  KERN_spinlock_t sendlock;
  uint32_t draining;
  uint32_t to_stack;  // nodes of the send list whose frame goes up to the stack
  FilterAdapter filter;
  CompletionBucket buckets[QUEUE_BUCKETS];
  GuardAheadTrain *ahead;  // frames from the network opened ahead (tunnel_ahead.h)
};

extern "C" {
// The host record of `netdev` among the bound adapters, NULL when none.
HostAdapter *DEVN_FindAdapter(void *netdev);
// Number of adapters in the filter's list.
uint32_t FilterAdapterCount(void);
// 1 when the adapter is in the filter's list; lock 0 held by the caller.
uint32_t FilterAdapterListed(const FilterAdapter *adapter);
// Calls `fn` for every bound adapter in list order, adapter-list lock held.
void DEVN_ForEachAdapter(void (*fn)(HostAdapter *adapter, void *ctx), void *ctx);

// The filter's adapter operations (lock 0 is taken inside).
void FilterCreateAdapter(FilterAdapter *adapter);
void FilterReadyAdapter(FilterAdapter *adapter);
void FilterNotReadyAdapter(FilterAdapter *adapter);
void FilterCloseAdapter(FilterAdapter *adapter);
// Tunnel adapter: set (needs connection state 7 and a ready adapter) and
// test whether it could be set; 0 yes, 1 no.
uint32_t FilterSetVpnAdapter(FilterAdapter *adapter);
uint32_t FilterCheckVpnAdapter(FilterAdapter *adapter);
FilterAdapter *FilterGetVpnAdapter(void);
void FilterClearVpnAdapter(void);

// Empties the filter's adapter list (at filter start, lock 0 held).
void FilterResetAdapterList(void);
// Frees every adapter record still bound (module unload).
void DEVN_FreeAllAdapters(void);

// Driver-data requests answered at the control entry.
uint32_t FLTS_GetDDataLen(void);
uint32_t FLTS_GetDData(char *buffer, uint32_t length);
// FLTS_SetVpnAdapter: 0 set (the name written back); FLTS_CheckVpnAdapter:
// 0 could be set, 1 one is set already; else:
enum VpnAdapterStatus : int32_t {
  VPNADAPTER_REFUSED = -1,   // no such adapter, not settable, or no name
  VPNADAPTER_NOT_SET = -2,   // accepted but no tunnel adapter resulted
};
int32_t FLTS_SetVpnAdapter(char *name, uint32_t len);
int32_t FLTS_CheckVpnAdapter(const char *name, uint32_t len);
}
