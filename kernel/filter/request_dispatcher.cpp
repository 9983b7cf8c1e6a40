// The framed requests 0-47: header checks, one handler per code, the reply
// written over the request. Handlers return the reply's total length (24 +
// payload) or a negative status that becomes the answer word.
#include "kernel/filter/request_dispatcher.h"

#include "byte_order.h"
#include "crypto/magma.h"
#include "crypto/wipe.h"
#include "drv_payloads.h"
#include "drv_requests.h"
#include "kernel/filter/adapters.h"
#include "kernel/filter/event_queue.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/gateway_config.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/packet_path_services.h"
#include "kernel/filter/firewall_checks.h"
#include "kernel/filter/syn_builders.h"
#include "kernel/filter/syn_replies.h"
#include "kernel/filter/tunnel_client.h"
#include "kernel/filter/tunnel_data.h"
#include "kernel/filter/white_lists.h"
#include "kernel/filter/wire_format.h"

using namespace zor::tunnel;

extern "C" {
uint32_t probe_deadline;
uint8_t gateway_block28[268];
uint8_t gateway_block29[200];
uint8_t upd_answer[UPD_ANSWER_SIZE];
uint32_t upd_answer_waiting;
}

static_assert(UPD_ANSWER_SIZE == FLT_STATIC_SENDBUF_SIZE, "an update answer fits its send buffer");

namespace {

constexpr uint32_t kHead = sizeof(DrvRequestHeader);
// Session flags bit 3 and option bit 6, which the vesk info reports.
constexpr uint8_t kVeskInfoFlag = 0x08, kVeskInfoOption = 0x40;
constexpr uint32_t kProbeLife = 182;
// The proxy state (p_ProxyState) is the code of the request that set it.
constexpr uint32_t kProxyConnecting = RQC_PCONNECTING, kProxyConnected = RQC_PCONNECTED,
                   kProxyIdle = RQC_PDISCONNECT;

constexpr char kBuildText[] = "1.0 Oct 22 2026 15:05:32";
constexpr char driverversionstr[] = "1.0 Oct 22 2026 15:05:24";

struct Request {
  uint8_t *buf;
  uint8_t *payload;
  uint32_t room;   // buffer length less the header
  uint32_t n;      // request payload bytes: min(room, length field)
  uint32_t count;  // the header's length field as sent
};

DrvRequestHeader *Head(uint8_t *buffer) { return reinterpret_cast<DrvRequestHeader *>(buffer); }

int32_t Reply(Request &r, uint32_t len) {
  Head(r.buf)->length = len;
  return (int32_t)(kHead + len);
}

int32_t Status(Request &r, int32_t status) {
  Head(r.buf)->status = status;
  return Reply(r, 0);
}

// Copies size bytes into the reply; -3 when they do not fit.
int32_t CopyOut(Request &r, const void *from, uint32_t size) {
  if (r.room < size) return DRV_NO_ROOM;
  memcpy(r.payload, from, size);
  return Reply(r, size);
}

// Stores the request's first word in to; -4 when it is shorter.
int32_t StoreWord(Request &r, uint32_t &to) {
  if (r.n < 4) return DRV_SHORT_PAYLOAD;
  to = load_le32(r.payload);
  return Reply(r, 0);
}

int32_t NotPossible(Request &) { return DRV_NOT_POSSIBLE; }
int32_t Nothing(Request &r) { return Reply(r, 0); }

// The request's payload as its record.
template <typename Record>
Record *As(Request &r) {
  return reinterpret_cast<Record *>(r.payload);
}

int32_t GetInfo(Request &r) {
  if (r.room < sizeof(DrvInfoReply)) return DRV_NO_ROOM;
  DrvInfoReply *info = As<DrvInfoReply>(r);
  memset(info, 0, sizeof *info);
  info->last_error = client.last_error;
  info->dos_connect = client.dos_connect;
  info->dos_session_change = client.dos_session_change;
  info->adapters = FilterAdapterCount();
  memcpy(info->build_text, kBuildText, sizeof kBuildText - 1);
  memcpy(info->driver_version, driverversionstr, sizeof driverversionstr - 1);
  return Reply(r, sizeof *info);
}

int32_t GetCfgCon(Request &r) {
  if (r.room < sizeof(DrvConnectionConfig)) return DRV_NO_ROOM;
  DrvConnectionConfig *c = As<DrvConnectionConfig>(r);
  memset(c, 0, sizeof *c);
  memcpy(c->init_record, client.init_record, sizeof c->init_record);
  c->clear_in_use = (client.options & kOptClearInUse) ? 1 : 0;
  return Reply(r, sizeof *c);
}

int32_t GetStat(Request &r) {
  if (r.n != sizeof(DrvStatRequest)) return DRV_BAD_SIZE;
  if (r.room < zor::addr::kClientStatsSize) return DRV_NO_ROOM;
  uint32_t kind = As<DrvStatRequest>(r)->kind, index = As<DrvStatRequest>(r)->index;
  if (index >= zor::addr::kEntries) return DRV_OUT_OF_RANGE;
  // The count takes the record's place, so every kind answers with 72
  // bytes: the count in the first word, zeros after it.
  if (kind == DRV_STAT_COUNT_ENTRIES) {
    memset(r.payload, 0, zor::addr::kClientStatsSize);
    store_le32(r.payload, zor::addr::Used(client.table));
    return Reply(r, zor::addr::kClientStatsSize);
  }
  if (kind == DRV_STAT_CLEAR_ALL)
    for (auto &e : client.table.e) memset(e.data, 0, zor::addr::kStatsSize);
  memcpy(r.payload, &client.table.e[index], zor::addr::kClientStatsSize);
  return Reply(r, zor::addr::kClientStatsSize);
}

int32_t Init(Request &r) {
  if (r.n != kInitRecordSize) return DRV_BAD_SIZE;
  if (ClientReInit(r.payload) >= 0) return Reply(r, 0);
  FilterClearVpnAdapter();
  if (FilterAdapterCount() == 0) return Status(r, DRV_NO_ROOM);
  if (!vmeminfo) return Status(r, DRV_NO_RESOURCE);
  ClientDisconnect(1);
  int32_t s = ClientInit(r.payload);
  p_ProxyState = kProxyIdle;
  probe_deadline = 0;
  return Status(r, s);
}

int32_t TreatPacket(Request &r, uint32_t probe) {
  uint32_t out = 0;
  int32_t s = ClientTreatSynPacket(r.payload, r.n, r.room, &out, probe);
  Head(r.buf)->status = s;
  return Reply(r, out);
}
int32_t TreatPacket(Request &r) { return TreatPacket(r, 0); }
int32_t TreatProbe(Request &r) { return TreatPacket(r, 1); }

int32_t MakeSynRq(Request &r) { return ClientMakeSynRq(r.buf, r.n, r.room, 0); }

int32_t MakeProbe(Request &r) {
  int32_t res = ClientMakeSynRq(r.buf, r.n, r.room, 1);
  if (res > 0) probe_deadline = curtick + kProbeLife;
  return res;
}

int32_t MakeSynOk(Request &r) {
  int32_t res = ClientMakeSynOk(r.buf, r.room);
  return res == DRV_NOT_POSSIBLE ? Status(r, DRV_NOT_POSSIBLE) : res;
}

int32_t SetKeys(Request &r) {
  uint32_t ok = ClientSetConnectKeys(r.payload, r.n);
  zor::crypto::wipe(r.payload, r.n);
  if (!ok) return Status(r, DRV_NOT_POSSIBLE);
  if (r.room < sizeof(DrvClientState)) return DRV_NO_ROOM;
  DrvClientState *c = As<DrvClientState>(r);
  c->state = client.state;
  c->options = client.options;
  return Reply(r, sizeof(DrvClientState));
}

int32_t Disconnect(Request &r) {
  if (r.n != sizeof(DrvDisconnectRequest)) return DRV_BAD_SIZE;
  if (client.text) {
    KERN_kfree(client.text);
    client.text = nullptr;
  }
  uint8_t before = client.state;
  if (before == kConnected) FIREWALL_RejectAllTcpVpnSessionsOnDisconnect();
  ClientDisconnect(1);
  FilterClearVpnAdapter();
  if (As<DrvDisconnectRequest>(r)->clear_granted) memset(client.granted, 0, sizeof client.granted);
  if (client.state != before) DrvSendEvent(DrvSendEvent_STATE_CHANGED);
  return Reply(r, 0);
}

// Hands the waiting update answer over once; one that does not fit the
// room stays waiting. Lock 0 held.
int32_t HandOverUpdateAnswer(Request &r) {
  if (!upd_answer_waiting) return Status(r, DRV_STATUS_NO_UPDATE_ANSWER);
  const auto *head = reinterpret_cast<const DrvUpdateAnswer *>(upd_answer);
  const uint32_t most = sizeof upd_answer - sizeof *head;
  const uint32_t len = sizeof *head + (head->length < most ? head->length : most);
  if (len > r.room) return DRV_NO_ROOM;
  memcpy(r.payload, upd_answer, len);
  zor::crypto::wipe(upd_answer, sizeof upd_answer);
  upd_answer_waiting = 0;
  return Reply(r, len);
}

int32_t UpdGetAnswer(Request &r) {
  DrvFilterLock(FLT_LOCK_CORE);
  int32_t res = HandOverUpdateAnswer(r);
  DrvFilterUnLock(FLT_LOCK_CORE);
  return res;
}

int32_t GetVeskCfg(Request &r) {
  if (client.state != kConnected) return Reply(r, 0);
  int32_t len = zor::gwcfg::ListEntries(client.DynCfg, r.payload, r.room);
  return len < 0 ? DRV_BAD_SIZE : Reply(r, (uint32_t)len);
}

int32_t GetVeskCfgOther(Request &r) {
  if (client.state != kConnected) return DRV_NOT_POSSIBLE;
  if (r.room < zor::gwcfg::kOtherSize) return DRV_BAD_SIZE;
  zor::gwcfg::FillOther(r.payload);
  return Reply(r, zor::gwcfg::kOtherSize);
}

int32_t GetLocalCfg(Request &r) {
  uint32_t len = LCFGGetBlock(r.payload, r.room);
  return len ? Reply(r, len) : DRV_NO_ROOM;
}

int32_t SetLocalCfg(Request &r) {
  uint32_t len = LCFGSetBlock(r.payload, r.n, r.room);
  return len ? Reply(r, len) : DRV_NO_ROOM;
}

int32_t PConnecting(Request &r) {
  if (r.n < sizeof(DrvProxyConnecting)) return DRV_SHORT_PAYLOAD;
  const DrvProxyConnecting *p = As<DrvProxyConnecting>(r);
  uint32_t type = p->type;
  if (type > DRV_PROXY_TYPE_MAX) return DRV_SHORT_PAYLOAD;
  proxifynotstdftpport = p->flags & DRV_PROXY_FTP_PORT;
  if (type == DRV_PROXY_NONE) {
    client.state = kTransportReady;
    p_UseProxy = 0;
    return Reply(r, 0);
  }
  p_ProxyType = type;
  p_ProxyFlags = p->flags;
  p_TCPProxyIP = p->proxy_ip;
  p_TCPProxyPort = p->proxy_port;
  p_ProxyState = kProxyConnecting;
  p_UseProxy = 1;
  client.state = kSynRqBuilt;
  return Reply(r, 0);
}

int32_t PConnected(Request &r) {
  if (r.n < sizeof(DrvProxyConnected)) {
    p_UseProxy = 0;
    return DRV_SHORT_PAYLOAD;
  }
  const DrvProxyConnected *p = As<DrvProxyConnected>(r);
  p_UDPMyIP = p->own_ip;
  p_UDPProxyIP = p->relay_ip;
  p_UDPMyPort = p->own_port;
  p_UDPProxyPort = p->relay_port;
  p_ProxyState = kProxyConnected;
  p_UseProxy = 1;
  client.state = kTransportReady;
  return Reply(r, 0);
}

int32_t PDisconnect(Request &r) {
  if (p_UseProxy && p_ProxyState != kProxyIdle) {
    if (r.n < sizeof(DrvProxyEndpoint)) return DRV_SHORT_PAYLOAD;
    const DrvProxyEndpoint *e = As<DrvProxyEndpoint>(r);
    if (e->ip != p_TCPProxyIP || e->port != p_TCPProxyPort) return Reply(r, 0);
    client.state = kIdle;
    p_TCPProxyIP = 0;
    p_TCPProxyPort = 0;
    p_ProxyState = kProxyIdle;
  }
  p_UseProxy = 0;
  return Reply(r, 0);
}

int32_t ResetState(Request &r) {
  if (client.state == kIdle || !vmeminfo) return DRV_NOT_POSSIBLE;
  client.state = kIdle;
  FilterClearVpnAdapter();
  return Reply(r, 0);
}

int32_t GetFirewallInfo(Request &r) {
  uint32_t info[4];
  if (r.room < sizeof(DrvFirewallInfo)) return DRV_NO_ROOM;
  DrvFilterLock(FLT_LOCK_CORE);
  FIREWALL_GetInformation(info);
  DrvFilterUnLock(FLT_LOCK_CORE);
  DrvFirewallInfo *out = As<DrvFirewallInfo>(r);
  out->sessions = info[0];
  out->table_bytes = info[1];
  out->rate_all = info[2];
  out->rate_tunnel = info[3];
  return Reply(r, sizeof *out);
}

int32_t SetAuxInfo(Request &r) {
  if (r.n != kAuxInfoSize) return DRV_BAD_SIZE;
  return Status(r, ClientStoreAuxInfo(r.payload));
}

// The service's seed replaces generator slot 0.
int32_t SeedRandom(Request &r) {
  const uint8_t zero_key[32] = {};
  const DrvSeedRandom *given = As<DrvSeedRandom>(r);
  if (r.n != sizeof *given ||
      zor::wire::Imitation(zero_key, given->seed, sizeof given->seed) != given->imitation)
    return DRV_BAD_SIZE;
  GuardInitRandom(given->seed);
  zor::crypto::wipe(r.payload, sizeof *given);
  return Status(r, DRV_OK);
}

int32_t GetVeskInfo(Request &r) {
  if (r.room < sizeof(DrvVeskInfo)) return DRV_NO_ROOM;
  DrvVeskInfo *info = As<DrvVeskInfo>(r);
  info->kind = 0;
  if (client.state == kConnected && (client.session_flags & kVeskInfoFlag))
    info->kind = (client.options & kVeskInfoOption) ? DRV_VESK_KIND_OPTION6 : DRV_VESK_KIND_PLAIN;
  info->client_flags = client.session_flags;
  return Reply(r, sizeof *info);
}

int32_t GetBlock28(Request &r) { return CopyOut(r, gateway_block28, sizeof gateway_block28); }
int32_t GetBlock29(Request &r) { return CopyOut(r, gateway_block29, sizeof gateway_block29); }
int32_t SetBlocknet(Request &r) { return StoreWord(r, cli_blocknet); }

int32_t CreateTransportKey(Request &r) {
  int32_t s = CreatePKIMasterKey(r.payload, r.n);
  zor::crypto::wipe(r.payload, r.n);
  int32_t reply = Status(r, s);
  return s == 0 ? reply : s;
}

int32_t NextSynNumber(Request &r) {
  if (r.room < sizeof(DrvSynNumber)) return DRV_NO_ROOM;
  As<DrvSynNumber>(r)->number = ClientNextSynNumber();
  return Reply(r, sizeof(DrvSynNumber));
}

int32_t GetAccessLevel(Request &r) {
  if (r.room < sizeof(DrvAccessLevel)) return DRV_NO_ROOM;
  uint32_t any = 0;
  for (uint32_t g : client.granted) any |= g;
  DrvAccessLevel *a = As<DrvAccessLevel>(r);
  a->level = client.access_level;
  a->any_granted = any ? 1 : 0;
  return Reply(r, sizeof *a);
}

int32_t SetSynVersion(Request &r) {
  if (r.n < 4) return DRV_SHORT_PAYLOAD;
  client.variant = r.payload[0];
  client.state = kInitialised;
  return Status(r, DRV_OK);
}

int32_t SetTunnelGroup(Request &r) {
  static_assert(sizeof client.tunnel_group == DRV_TUNNEL_GROUP_LEN + 1, "group and terminator");
  if (r.n != sizeof client.tunnel_group) return DRV_OUT_OF_RANGE;
  memcpy(client.tunnel_group, r.payload, DRV_TUNNEL_GROUP_LEN);
  client.tunnel_group[DRV_TUNNEL_GROUP_LEN] = 0;
  return Status(r, DRV_OK);
}

int32_t GetCountryCode(Request &r) { return CopyOut(r, client.country, 2); }
int32_t SetMagmaEnabled(Request &r) { return StoreWord(r, magma_enabled); }

int32_t SetHostWhiteList(Request &r) {
  int32_t s = zor::wl::SetHosts(r.payload, r.n);
  return s ? Status(r, s) : Reply(r, 0);
}

int32_t SetAuthTypeExt(Request &r) {
  if (r.n != 1) return DRV_BAD_SIZE;
  client.auth_type_ext = r.payload[0];
  return Reply(r, 0);
}

int32_t SetClientSocket(Request &r) {
  int32_t s = ClientSetSocket(r.payload, r.n);
  return s < 0 ? s : Reply(r, 0);
}

int32_t GetDnsSuffix(Request &r) {
  // The stored list: a u16 length, then the suffixes.
  constexpr uint32_t field = sizeof(uint16_t), most = sizeof client.dns_suffix - field;
  uint32_t len = load_le16(client.dns_suffix);
  if (len > most) len = most;
  if (len > r.room) return DRV_NO_ROOM;
  memmove(r.payload, client.dns_suffix + field, len);
  return Reply(r, len);
}

int32_t GetStatusJson(Request &r) {
  if (client.state != kConnected) return DRV_NOT_POSSIBLE;
  if (!client.text) return DRV_BAD_SIZE;
  uint32_t len = (uint32_t)strlen(client.text);
  if (len == 0 || len >= r.n) return DRV_NO_ROOM;
  memcpy(r.payload, client.text, len + 1);
  return Reply(r, len + 1);
}

int32_t SetFailRate(Request &r) {
  if (r.n < 1) return DRV_SHORT_PAYLOAD;
  // The flag is kept for the local rules, and the answer is "not
  // possible" all the same: nothing in the filter enforces a fail rate, and
  // client programs get this status as the result of setting it.
  LCFGSetFlag(LCFG_FLAG_FAIL_RATE, r.payload[0] != 0);
  return Status(r, DRV_NOT_POSSIBLE);
}

// The header's length field counts addresses here, not bytes.
int32_t SetIpWhiteList(Request &r) {
  if (r.count > WL_MAX_IPS) return Status(r, DRV_NO_RESOURCE);
  uint32_t count = r.count < r.room / 4 ? r.count : r.room / 4;
  return Status(r, zor::wl::SetIps(r.payload, count));
}

int32_t SetProtocols(Request &r) {
  if (r.n < 4) return DRV_SHORT_PAYLOAD;
  client.protocol_mask = load_le32(r.payload);
  return Status(r, DRV_OK);
}

int32_t SetDnsUpdateServers(Request &r) {
  if (r.n % 4) return DRV_BAD_SIZE;
  DNS_SetUpdateServers(r.payload, r.n / 4);
  return Status(r, DRV_OK);
}

int32_t GetStageTimeout(Request &r) {
  if (r.room < 4) return DRV_NO_ROOM;
  store_le32(r.payload, client.stage_timeout);
  return Reply(r, 4);
}

int32_t SetFilterParams(Request &r) {
  if (r.n < sizeof(DrvFilterParams)) return DRV_SHORT_PAYLOAD;
  const DrvFilterParams *p = As<DrvFilterParams>(r);
  FIREWALL_SetFirewallParams(p->firewall);
  if (uint8_t tos = (uint8_t)p->tos) FLT_IPH_TOS = tos;
  if (uint8_t ttl = (uint8_t)p->ttl) FLT_IPH_DEFTTL = ttl;
  return Reply(r, 0);
}

using Handler = int32_t (*)(Request &);

// Whether the handler runs under lock 0 too: those that change the tunnel
// state (the client record, the guard, the proxy, the SYN-copy window) that
// the packet path and the timer use under it, and those that read what the
// packet path changes or frees (the error word, the address table, the
// status text). Lock 0 is taken after lock 1; nothing these handlers call
// takes lock 0 or waits.
enum class Core : bool { kNo, kLocked };

struct Route {
  DrvRequestCode code;
  Handler handler;
  Core core = Core::kNo;
};

// Indexed by request code; the check below keeps each entry at its code.
constexpr Route kHandlers[] = {
    {RQC_GETINFO, GetInfo, Core::kLocked},
    {RQC_GETCFGCON, GetCfgCon},
    {RQC_GETSTAT, GetStat, Core::kLocked},
    {RQC_INIT, Init, Core::kLocked},
    {RQC_TEST, NotPossible},
    {RQC_TREATPACKET, TreatPacket, Core::kLocked},
    {RQC_MAKESYNRQ, MakeSynRq, Core::kLocked},
    {RQC_MAKESYNRQ_CHECKAVAILABLE, MakeProbe, Core::kLocked},
    {RQC_TREATSYNRQ_CHECKAVAILABLE, TreatProbe, Core::kLocked},
    {RQC_MAKESYNOK, MakeSynOk, Core::kLocked},
    {RQC_SETKEYS, SetKeys, Core::kLocked},
    {RQC_DISCONNECT, Disconnect, Core::kLocked},
    {RQC_UPDSENDREQ, NotPossible},
    {RQC_UPDGETANSW, UpdGetAnswer},
    {RQC_GETVESKCFG, GetVeskCfg},
    {RQC_GETVESKCFG_OTHER, GetVeskCfgOther},
    {RQC_GETLOCALCFG, GetLocalCfg},
    {RQC_SETLOCALCFG, SetLocalCfg},
    {RQC_PCONNECTING, PConnecting, Core::kLocked},
    {RQC_PCONNECTED, PConnected, Core::kLocked},
    {RQC_PDISCONNECT, PDisconnect, Core::kLocked},
    {RQC_RESETSTATE, ResetState, Core::kLocked},
    {RQC_GETFIREWALLINFO, GetFirewallInfo},
    {RQC_SETFILTERPARAMS, SetFilterParams},
    {RQC_SETVESKGATEWAY, Nothing},
    {RQC_SETAUXINFO, SetAuxInfo},
    {RQC_SEEDRANDOM, SeedRandom},
    {RQC_GETVESKINFO, GetVeskInfo},
    {RQC_GETGATEWAYBLOCK28, GetBlock28},
    {RQC_GETGATEWAYBLOCK29, GetBlock29},
    {RQC_SETBLOCKNET, SetBlocknet},
    {RQC_CREATETRANSPORTKEY, CreateTransportKey},
    {RQC_GETNEXTSYNPACKETNUMBER, NextSynNumber, Core::kLocked},
    {RQC_GETACCESSLEVEL, GetAccessLevel},
    {RQC_SETSYNVERSION, SetSynVersion, Core::kLocked},
    {RQC_SETTUNNELGROUP, SetTunnelGroup},
    {RQC_GETCOUNTRY_CODE, GetCountryCode},
    {RQC_SETMAGMAENABLED, SetMagmaEnabled},
    {RQC_SETHOSTWHITELIST, SetHostWhiteList},
    {RQC_SETAUTHTYPEEXT, SetAuthTypeExt},
    {RQC_SETCLIENTSOCKET, SetClientSocket, Core::kLocked},
    {RQC_GETDNS_SUFFIX, GetDnsSuffix},
    {RQC_GETSTATUS_JSON, GetStatusJson, Core::kLocked},
    {RQC_SETFAILRATE, SetFailRate},
    {RQC_SETIPWHITELIST, SetIpWhiteList},
    {RQC_SETPROTOCOLSWHITELIST, SetProtocols},
    {RQC_SETDNSUPDATESERVERS, SetDnsUpdateServers},
    {RQC_GETSTAGETIMEOUT, GetStageTimeout},
};

constexpr bool RoutesInCodeOrder() {
  for (uint32_t i = 0; i < sizeof kHandlers / sizeof kHandlers[0]; ++i)
    if (kHandlers[i].code != i) return false;
  return sizeof kHandlers / sizeof kHandlers[0] == RQC_LAST_FRAMED + 1;
}
static_assert(RoutesInCodeOrder(), "one handler per framed request, in code order");

int32_t Dispatch(uint32_t code, uint8_t *buffer, uint32_t length) {
  if (length < kHead) return DRV_BAD_SIZE;
  DrvRequestHeader *h = Head(buffer);
  if (h->magic != DRV_REQUEST_MAGIC) return DRV_BAD_MAGIC;
  uint32_t count = h->length;
  // The reply's header from the flag byte on starts zeroed.
  memset(buffer + offsetof(DrvRequestHeader, flag), 0, kHead - offsetof(DrvRequestHeader, flag));
  if (code > RQC_LAST_FRAMED) return DRV_NOT_POSSIBLE;
  Request r{buffer, buffer + kHead, length - kHead, 0, count};
  r.n = count < r.room ? count : r.room;
  const Route &route = kHandlers[code];
  if (route.core == Core::kNo) return route.handler(r);
  DrvFilterLock(FLT_LOCK_CORE);
  const int32_t result = route.handler(r);
  DrvFilterUnLock(FLT_LOCK_CORE);
  return result;
}

}  // namespace

extern "C" int32_t internal_FilterGetInformation(uint32_t code, uint8_t *buffer, uint32_t length,
                                                 uint32_t lock) {
  if (!CLI_FilterStarted) return DRV_NOT_POSSIBLE;
  if (lock) DrvFilterLock(FLT_LOCK_REQUEST);
  int32_t result = buffer ? Dispatch(code, buffer, length) : DRV_BAD_SIZE;
  if (buffer && length >= kHead && Head(buffer)->magic == DRV_REQUEST_MAGIC) {
    DrvFilterLock(FLT_LOCK_CORE);   // the packet path and the timer change it
    Head(buffer)->state = client.state;
    DrvFilterUnLock(FLT_LOCK_CORE);
  }
  if (lock) DrvFilterUnLock(FLT_LOCK_REQUEST);
  return result;
}
