#include "kernel/filter/adapters.h"

#include "kernel/filter/client_record.h"
#include "kernel/filter/deferred_work.h"
#include "kernel/filter/event_queue.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/flow_control.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/send_queues.h"
#include "kernel/filter/tunnel_ahead.h"

namespace {

// The filter's adapters (under lock 0) and the tunnel adapter.
ZorListHead filteradapters;
FilterAdapter *vpnadapter;

KERN_spinlock_t *list_lock(void) { return &extension_data->adapterlistlock; }

HostAdapter *find_locked(void *netdev) {
  for (ZorListEntry *e = extension_data->adapters.first; e; e = e->next) {
    auto *a = reinterpret_cast<HostAdapter *>(e);
    if (a->netdev == netdev) return a;
  }
  return nullptr;
}

// Length of `s` within `max` bytes.
uint32_t bounded_len(const char *s, uint32_t max) {
  uint32_t n = 0;
  while (n < max && s[n]) n++;
  return n;
}

bool same_bytes(const char *a, const char *b, uint32_t n) {
  for (uint32_t i = 0; i < n; i++)
    if (a[i] != b[i]) return false;
  return true;
}

// The bound, accepted record whose name equals the first `len` bytes of
// `name` (up to a terminator); adapter-list lock held.
HostAdapter *find_by_name_locked(const char *name, uint32_t len) {
  uint32_t n = bounded_len(name, len);
  for (ZorListEntry *e = extension_data->adapters.first; e; e = e->next) {
    auto *a = reinterpret_cast<HostAdapter *>(e);
    const char *own = a->filter.name;
    if (a->accepted && bounded_len(own, ADAPTER_NAME_SIZE) == n && same_bytes(own, name, n))
      return a;
  }
  return nullptr;
}

// Copies an adapter name into a caller's area of `len` bytes, terminated
// when there is room.
void copy_name_out(char *dst, uint32_t len, const char *name) {
  uint32_t n = bounded_len(name, ADAPTER_NAME_SIZE);
  if (n > len) n = len;
  memcpy(dst, name, n);
  if (n < len) dst[n] = 0;
}

uint32_t max_frame_len(uint32_t mtu) {
  return (mtu <= ETH_HEADER_LEN ? ETH_DEFAULT_MTU : mtu) + ETH_HEADER_LEN;
}

void set_hardware_address(FilterAdapter *f, uint32_t len, const uint8_t *addr) {
  static const char *const fixed[] = {nullptr, "NOMACS", "EIPMAC", "PPPMAC"};
  memset(f->hardaddr, 0, sizeof f->hardaddr);
  if (f->type != ADAPTER_ETHERNET) {
    memcpy(f->hardaddr, fixed[f->type], ETH_ADDR_LEN);
    f->hardaddrlen = ETH_ADDR_LEN;
    return;
  }
  if (len > ADAPTER_HWADDR_SIZE) len = ADAPTER_HWADDR_SIZE;
  if (addr) memcpy(f->hardaddr, addr, len);
  f->hardaddrlen = addr ? static_cast<uint8_t>(len) : 0;
}

void init_descriptor(HostAdapter *a, const char *name, uint32_t type, uint32_t hwlen,
                     const uint8_t *hw, uint32_t mtu) {
  FilterAdapter *f = &a->filter;
  f->host = a;
  CopyStr(f->name, name, ADAPTER_NAME_SIZE);
  CopyStr(f->descr, name, ADAPTER_NAME_SIZE);
  f->type = static_cast<uint8_t>(type);
  f->filterstate = ADAPTER_NOT_READY;
  set_hardware_address(f, hwlen, hw);
  f->mtu = mtu;
  f->maxframelen = max_frame_len(mtu);
  f->RecvHandler = RecvHandler;
  f->ports[PORT_TERM].net = 0;
  f->ports[PORT_NET].net = 1;
}

void free_record(HostAdapter *a) {
  QUEUE_FreeAdapter(a);
  GuardFreeAhead(a);
  KERN_spin_lock_free(&a->statelock);
  KERN_kfree(a);
}

// Text appended within a buffer; `total` counts the whole text.
struct DumpText {
  char *buf;
  uint32_t cap;
  uint32_t total;
};

void append(DumpText *t, const char *piece) {
  uint32_t n = static_cast<uint32_t>(strlen(piece));
  if (t->buf && t->total < t->cap) {
    uint32_t room = t->cap - t->total;
    uint32_t copy = n < room ? n : room;
    memcpy(t->buf + t->total, piece, copy);
  }
  t->total += n;
}

void append_number(DumpText *t, const char *format, uint32_t value) {
  char piece[48];
  KERN_snprintf(piece, sizeof piece, format, static_cast<int>(value));
  append(t, piece);
}

void dump_adapter(DumpText *t, const HostAdapter *a) {
  const FilterAdapter *f = &a->filter;
  char name[ADAPTER_NAME_SIZE + 1];
  append(t, "\n Adapter\n {");
  append(t, "\n  ad_name: ");
  CopyStr(name, f->name, sizeof name);
  append(t, name);
  append(t, "\n  ad_descr: ");
  CopyStr(name, f->descr, sizeof name);
  append(t, name);
  append_number(t, "\n  ad_type: %d", f->type);
  append_number(t, "\n  ad_filterstate: %d", f->filterstate);
  append_number(t, "\n  ad_maxframelen: %d", f->maxframelen);
  append_number(t, "\n  ad_hardaddrlen: %d", f->hardaddrlen);
  append(t, "\n  ad_hardaddr: ");
  for (uint32_t i = 0; i < f->hardaddrlen; i++) append_number(t, "%02X ", f->hardaddr[i]);
  append_number(t, "\n  MTU: %d", f->mtu);
  append_number(t, "\n  Accepted: %d", a->accepted);
  append(t, "\n }");
}

// The bound-adapter dump; returns its length without terminator.
uint32_t build_dump(char *buf, uint32_t cap) {
  DumpText t = {buf, cap, 0};
  append(&t, "Binded adapters\n{");
  if (extension_data) {
    KERN_spin_lock_lock(list_lock());
    for (ZorListEntry *e = extension_data->adapters.first; e; e = e->next)
      dump_adapter(&t, reinterpret_cast<HostAdapter *>(e));
    KERN_spin_lock_unlock(list_lock());
  }
  append(&t, "\n}\n\n");
  if (buf && cap) buf[t.total < cap ? t.total : cap - 1] = 0;
  return t.total;
}

bool can_be_tunnel_locked(FilterAdapter *adapter) {
  return CLI_FilterStarted && adapter && ClientGetState() == CLIENT_STATE_CONNECTED &&
         adapter->filterstate == ADAPTER_READY;
}

}  // namespace

extern "C" {

HostAdapter *DEVN_FindAdapter(void *netdev) {
  if (!extension_data || !netdev) return nullptr;
  KERN_spin_lock_lock(list_lock());
  HostAdapter *a = find_locked(netdev);
  KERN_spin_lock_unlock(list_lock());
  return a;
}

uint32_t FilterAdapterCount(void) {
  uint32_t n = 0;
  for (ZorListEntry *e = filteradapters.first; e; e = e->next) n++;
  return n;
}

uint32_t FilterAdapterListed(const FilterAdapter *adapter) {
  for (ZorListEntry *e = filteradapters.first; e; e = e->next)
    if (e == &adapter->link) return 1;
  return 0;
}

void DEVN_ForEachAdapter(void (*fn)(HostAdapter *adapter, void *ctx), void *ctx) {
  if (!extension_data) return;
  KERN_spin_lock_lock(list_lock());
  for (ZorListEntry *e = extension_data->adapters.first; e; e = e->next)
    fn(reinterpret_cast<HostAdapter *>(e), ctx);
  KERN_spin_lock_unlock(list_lock());
}

void FilterCreateAdapter(FilterAdapter *adapter) {
  if (!adapter) return;
  DrvFilterLock(FLT_LOCK_CORE);
  zorInsertTailList(&filteradapters, &adapter->link);
  DrvFilterUnLock(FLT_LOCK_CORE);
}

void FilterReadyAdapter(FilterAdapter *adapter) {
  if (!adapter) return;
  bool raise = false;
  DrvFilterLock(FLT_LOCK_CORE);
  bool came_up = adapter->filterstate != ADAPTER_READY;
  adapter->filterstate = ADAPTER_READY;
  if (came_up && CLI_FilterStarted && vpnadapter) {
    if (adapter == vpnadapter) {
      FIREWALL_EnableTcpVpnCloseOnDisconnect(1);
      ClientDisconnect(0);
      raise = true;
    } else if (ClientGetState() != CLIENT_STATE_CONNECTED) {
      raise = true;
    }
  }
  DrvFilterUnLock(FLT_LOCK_CORE);
  if (raise) DrvSendEvent(DrvSendEvent_RECONNECT_IFNEEDED);
}

void FilterNotReadyAdapter(FilterAdapter *adapter) {
  if (!adapter) return;
  DrvFilterLock(FLT_LOCK_CORE);
  adapter->filterstate = ADAPTER_NOT_READY;
  if (CLI_FilterStarted && adapter == vpnadapter)
    ClientSetSessionEndTick(curtick + FLT_SESSION_END_DELAY);
  DrvFilterUnLock(FLT_LOCK_CORE);
}

void FilterCloseAdapter(FilterAdapter *adapter) {
  if (!adapter) return;
  bool raise = false;
  DrvFilterLock(FLT_LOCK_CORE);
  if (CLI_FilterStarted) FIREWALL_RemoveAllSessionsByAdapter(adapter, FW_ANY_TUNNEL);
  zorRemoveEntryList(&filteradapters, &adapter->link);
  if (adapter == vpnadapter) {
    vpnadapter = nullptr;
    if (CLI_FilterStarted) {
      ClientDisconnect(0);
      raise = true;
    }
  }
  DrvFilterUnLock(FLT_LOCK_CORE);
  if (raise) DrvSendEvent(DrvSendEvent_RECONNECT_IFNEEDED);
}

uint32_t FilterSetVpnAdapter(FilterAdapter *adapter) {
  DrvFilterLock(FLT_LOCK_CORE);
  bool ok = can_be_tunnel_locked(adapter);
  if (ok) vpnadapter = adapter;
  DrvFilterUnLock(FLT_LOCK_CORE);
  return ok ? 0 : 1;
}

uint32_t FilterCheckVpnAdapter(FilterAdapter *adapter) {
  DrvFilterLock(FLT_LOCK_CORE);
  bool ok = can_be_tunnel_locked(adapter);
  DrvFilterUnLock(FLT_LOCK_CORE);
  return ok ? 0 : 1;
}

FilterAdapter *FilterGetVpnAdapter(void) { return vpnadapter; }

void FilterClearVpnAdapter(void) { vpnadapter = nullptr; }

void FilterResetAdapterList(void) {
  zorInitializeListHead(&filteradapters);
  vpnadapter = nullptr;
}

void DEVN_FreeAllAdapters(void) {
  if (!extension_data) return;
  KERN_spin_lock_lock(list_lock());
  while (ZorListEntry *e = zorRemoveHeadList(&extension_data->adapters))
    free_record(reinterpret_cast<HostAdapter *>(e));
  KERN_spin_lock_unlock(list_lock());
  FilterResetAdapterList();
}

uint32_t Zor_DEVN_BindAdapter(void *netdev, const char *name, uint32_t type, uint32_t hwaddrlen,
                              const uint8_t *hwaddr, uint32_t mtu) {
  if (!extension_data || !name || type > ADAPTER_PPP) return 1;
  if (netdev && DEVN_FindAdapter(netdev)) return 1;
  auto *a = static_cast<HostAdapter *>(KERN_kmalloc(sizeof(HostAdapter)));
  if (!a) return 2;
  memset(a, 0, sizeof *a);
  a->netdev = netdev ? netdev : a;
  a->accepted = 1;
  KERN_spin_lock_init(&a->statelock);
  QUEUE_InitAdapter(a);
  init_descriptor(a, name, type, hwaddrlen, hwaddr, mtu);
  zorInterlockedInsertTailList(&extension_data->adapters, &a->link, list_lock());
  FilterCreateAdapter(&a->filter);
  return 0;
}

uint32_t Zor_DEVN_UnBindAdapter(void *netdev) {
  HostAdapter *a = DEVN_FindAdapter(netdev);
  if (!a) return 1;
  KERN_spin_lock_lock(&a->statelock);
  a->accepted = 0;
  KERN_spin_lock_unlock(&a->statelock);
  zorInterlockedRemoveEntryList(&extension_data->adapters, &a->link, list_lock());
  // A worker may still be protecting frames of its send list, or opening and
  // delivering its frames from the network.
  FilterSettleWork();
  FilterCloseAdapter(&a->filter);
  DrvFilterLock(FLT_LOCK_CORE);
  FlowForget(a->netdev);
  DrvFilterUnLock(FLT_LOCK_CORE);
  free_record(a);
  return 0;
}

uint32_t Zor_DEVN_ChangeNameAdapter(void *netdev, const char *name) {
  HostAdapter *a = DEVN_FindAdapter(netdev);
  if (!a || !name) return 1;
  DrvFilterLock(FLT_LOCK_CORE);
  CopyStr(a->filter.name, name, ADAPTER_NAME_SIZE);
  DrvFilterUnLock(FLT_LOCK_CORE);
  return 0;
}

uint32_t Zor_DEVN_ChangeAddrAdapter(void *netdev, uint32_t hwaddrlen, const uint8_t *hwaddr) {
  HostAdapter *a = DEVN_FindAdapter(netdev);
  if (!a) return 1;
  DrvFilterLock(FLT_LOCK_CORE);
  set_hardware_address(&a->filter, hwaddrlen, hwaddr);
  DrvFilterUnLock(FLT_LOCK_CORE);
  return 0;
}

uint32_t Zor_DEVN_ChangeMtuAdapter(void *netdev, uint32_t mtu) {
  HostAdapter *a = DEVN_FindAdapter(netdev);
  if (!a) return 1;
  DrvFilterLock(FLT_LOCK_CORE);
  a->filter.mtu = mtu;
  a->filter.maxframelen = max_frame_len(mtu);
  DrvFilterUnLock(FLT_LOCK_CORE);
  return 0;
}

uint32_t Zor_DEVN_ChangeDOWNAdapter(void *netdev) {
  HostAdapter *a = DEVN_FindAdapter(netdev);
  if (!a) return 1;
  FilterNotReadyAdapter(&a->filter);
  return 0;
}

uint32_t Zor_DEVN_ChangeUPAdapter(void *netdev) {
  HostAdapter *a = DEVN_FindAdapter(netdev);
  if (!a) return 1;
  FilterReadyAdapter(&a->filter);
  return 0;
}

void *Zor_NETDEV_getaddinfo(void *netdev) { return DEVN_FindAdapter(netdev); }

uint32_t FLTS_GetDDataLen(void) { return build_dump(nullptr, 0); }

uint32_t FLTS_GetDData(char *buffer, uint32_t length) { return build_dump(buffer, length); }

int32_t FLTS_SetVpnAdapter(char *name, uint32_t len) {
  if (!name || !extension_data) return VPNADAPTER_REFUSED;
  if (FilterAdapter *vpn = vpnadapter) {
    copy_name_out(name, len, vpn->name);
    return 0;
  }
  KERN_spin_lock_lock(list_lock());
  HostAdapter *a = find_by_name_locked(name, len);
  int32_t r = 0;
  if (!a || FilterSetVpnAdapter(&a->filter) != 0)
    r = VPNADAPTER_REFUSED;
  else if (!vpnadapter)
    r = VPNADAPTER_NOT_SET;
  else
    copy_name_out(name, len, vpnadapter->name);
  KERN_spin_lock_unlock(list_lock());
  return r;
}

int32_t FLTS_CheckVpnAdapter(const char *name, uint32_t len) {
  if (!name || len < 1 || !extension_data) return VPNADAPTER_REFUSED;
  if (vpnadapter) return 1;
  KERN_spin_lock_lock(list_lock());
  HostAdapter *a = find_by_name_locked(name, len);
  int32_t r = a && FilterCheckVpnAdapter(&a->filter) == 0 ? 0 : VPNADAPTER_REFUSED;
  KERN_spin_lock_unlock(list_lock());
  return r;
}

}  // extern "C"
