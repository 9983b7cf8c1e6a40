#include "kernel/filter/tunnel_client.h"

#include "byte_order.h"
#include "crypto/gost3410.h"
#include "crypto/random.h"
#include "crypto/wipe.h"
#include "kern_host.h"
#include "kernel/filter/adapters.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/packet_path.h"
#include "kernel/filter/packet_path_services.h"
#include "kernel/filter/syn_replies.h"
#include "kernel/filter/wire_format.h"

extern "C" {
uint32_t p_UseProxy, p_ProxyState, p_ProxyType, p_ProxyFlags;
uint32_t p_TCPProxyIP;
uint16_t p_TCPProxyPort;
uint32_t p_UDPMyIP, p_UDPProxyIP;
uint16_t p_UDPMyPort, p_UDPProxyPort;
uint32_t proxifynotstdftpport;
uint32_t cli_blocknet;
uint32_t magma_enabled;
}

namespace zor::tunnel {

Client client;
uint8_t client_old_cli_dyncfg[addr::kDynCfgSize];

namespace {

constexpr uint32_t kDefaultStageTimeout = 5;
constexpr uint32_t kCurveParamSet = 1148;
constexpr uint32_t kStoredRecordBytes = kInitRecordSize;   // 688 bytes and the u32 at 688
// Fixed digit texts of the authentication block (the gateway knows them).
constexpr char kAuthDigits6[] = "260001";
constexpr char kAuthDigits4[] = "0100";
// The authentication variant byte: its low 7 bits are the variant (2 for
// the configuration magics that carry one, else 0); bit 7 clears the bits
// kAuxClearedInitFlags of the stored initialisation record's flags byte.
constexpr uint8_t kAuxVariantBits = 0x7f, kAuxVariantWithMagic = 2, kAuxVariantPlain = 0;
constexpr uint8_t kAuxClearsInitFlags = 0x80, kAuxClearedInitFlags = 0x30;
// The length byte that stands ahead of the block's fixed part.
constexpr uint8_t kAuthFixedPartMarker = 3;

uint32_t MagicOf(const uint8_t *record) { return load_le32(record + init::kMagic); }

void FixMagic(uint8_t *record) {
  if (MagicOf(record) == 0) store_le32(record + init::kMagic, wire::kMagicDefault);
}

// Removes every blank of a 64-byte text area; the rest moves up.
void StripBlanks(uint8_t *area) {
  uint32_t out = 0;
  for (uint32_t i = 0; i < init::kKeyAreaSize; ++i)
    if (area[i] != ' ') area[out++] = area[i];
  memset(area + out, 0, init::kKeyAreaSize - out);
  area[init::kKeyAreaSize - 1] = 0;
}

// Gives each empty key area of dst the kept one back.
void RestoreEmptyKeyAreas(uint8_t *dst, const uint8_t *kept) {
  for (uint32_t i = 0; i < init::kKeyAreas; ++i) {
    uint8_t *area = dst + init::kKeyArea1 + init::kKeyAreaSize * i;
    if (area[0] == 0) memcpy(area, kept + init::kKeyAreaSize * i, init::kKeyAreaSize);
  }
}

void RebuildTable() {
  const uint8_t *r = client.init_record;
  memset(&client.table, 0, sizeof client.table);
  AddNewClient(-1, addr::kBroadcast);
  uint32_t gw = load_le32(r + init::kGateway);
  if (gw) AddNewClient((int32_t)gw, addr::kGateway);
  for (uint32_t i = 0; i < init::kServersCount; ++i) {
    uint32_t a = load_le32(r + init::kServers + addr::kAddrSize * i);
    if (a == 0) break;
    if (a != init::kServerUnset) AddNewClient((int32_t)a, addr::kExtraServer);
  }
  memset(client.DynCfg, 0, sizeof(addr::DynCfgHead));
}

uint8_t MergeDirFlags(uint8_t local, uint8_t gateway) {
  uint8_t both = (uint8_t)(local & gateway & 0x20);
  return (uint8_t)(((local | gateway) & ~0x20) | both);
}

// Bounded string of an auxiliary field: 1..32 bytes, or 0 when empty.
uint32_t AuxString(const char *s) {
  uint32_t n = 0;
  while (n < 32 && s[n]) ++n;
  return n;
}

bool AppendBytes(uint32_t *len, const void *src, uint32_t n) {
  if (*len + n > kAuthBlockMax) return false;
  memcpy(client.auth_block + *len, src, n);
  *len += n;
  return true;
}

bool AppendCounted(uint32_t *len, const void *src, uint8_t n) {
  return AppendBytes(len, &n, 1) && AppendBytes(len, src, n);
}

}  // namespace

uint32_t ClientMagic() { return MagicOf(client.init_record); }

int32_t TreatReconfig(uint8_t *record) {
  if (record[init::kOptB] == 0 && record[init::kOptC] == 0) return CLIENT_NO_DATA_MODE;
  uint8_t opts = 0;
  if (record[init::kOptA]) opts |= kOptByteA;
  if (record[init::kOptB]) opts |= kOptClearAllowed;
  if (record[init::kOptC]) opts |= kOptCipherAllowed;
  client.options = opts;

  const uint8_t *old = client.init_record;
  bool protection = !wire::SameBytes(old + init::kProtection, record + init::kProtection, 8) ||
                    MagicOf(old) != MagicOf(record);
  bool gateway = load_le32(old + init::kGateway) != load_le32(record + init::kGateway);
  bool servers = old[init::kFlags] != record[init::kFlags] ||
                 !wire::SameBytes(old + init::kServers, record + init::kServers,
                                  init::kServersCount * addr::kAddrSize);

  StripBlanks(record + init::kKeyArea1);
  uint8_t kept[init::kKeyAreas * init::kKeyAreaSize];
  memcpy(kept, old + init::kKeyArea1, sizeof kept);
  memmove(client.init_record, record, kStoredRecordBytes);

  int32_t result = 1;
  if (!protection && !gateway && !servers) {
    RestoreEmptyKeyAreas(client.init_record, kept);
    result = 0;
  } else if (protection || gateway) {
    if (protection) {
      TCPNAT_FreeSessions();
      FIREWALL_RemoveAllSessions(1);
    }
    client.reconfig_state = 0;
  } else {
    RestoreEmptyKeyAreas(record, kept);
  }
  zor::crypto::wipe(kept, sizeof kept);
  return result;
}

int32_t ClientInit(uint8_t *record) {
  FixMagic(record);
  if (client.state == kConnected) client.dos_session_change = DrvGetCurFtime(nullptr);
  uint8_t previous = client.state;
  client.state = kInitialised;
  p_UseProxy = 0;
  int32_t r = TreatReconfig(record);
  if (r < 0) {
    client.state = previous;   // a refused record leaves the connection as it was
    return r;
  }
  if (r == 1) {
    client.per_session[0] = 0;
    memmove(client.init_record, record, kStoredRecordBytes);
    RebuildTable();
  } else {
    memset(client.table.e[0].data, 0, sizeof client.table.e[0].data);
  }
  memcpy(client_old_cli_dyncfg, client.DynCfg, sizeof client_old_cli_dyncfg);
  client.per_session[0] = client.per_session[1] = 0;
  client.variant = wire::kVariant17;
  return 0;
}

int32_t ClientReInit(uint8_t *record) {
  FixMagic(record);
  if (client.state != kConnected) return CLIENT_NOT_CONNECTED;
  int32_t r = TreatReconfig(record);
  if (r == 0) {
    const addr::DynCfgHead *dyn = addr::DynCfgOf(client.DynCfg);
    client.dir_flags1 = MergeDirFlags(record[init::kDirFlags1], dyn->dir_flags1);
    client.dir_flags2 = MergeDirFlags(record[init::kDirFlags2], dyn->dir_flags2);
    if (LCFGGetFlags() & LCFG_FLAG_BLOCK_NON_IP) {
      client.dir_flags1 |= DIR_BLOCK_NON_IP;
      client.dir_flags2 |= DIR_BLOCK_NON_IP;
    }
  }
  if (r >= 0) client.per_session[0] = client.per_session[1] = 0;
  return r;
}

int32_t ClientStoreAuxInfo(const uint8_t *info) {
  memcpy(client.aux_info, info, kAuxInfoSize);
  const auto *aux = reinterpret_cast<const DrvAuxInfo *>(info);
  uint8_t variant = aux->variant;
  uint32_t magic = ClientMagic();
  uint8_t want = (magic == wire::kMagicAuxAlt || magic == wire::kMagic) ? kAuxVariantWithMagic
                                                                          : kAuxVariantPlain;
  if ((variant & kAuxVariantBits) != want) return CLIENT_AUX_VARIANT;

  const char *t1 = aux->identifier, *t2 = aux->firmware, *t3 = aux->module_version,
             *t4 = aux->daemon_version;
  uint32_t l1 = AuxString(t1), l2 = AuxString(t2), l3 = AuxString(t3), l4 = AuxString(t4);
  if (!l1 || !l2 || !l3 || !l4) return CLIENT_AUX_EMPTY_TEXT;
  uint8_t head[4] = {variant, (uint8_t)l1, (uint8_t)l2, (uint8_t)l3};
  const uint8_t marker = kAuthFixedPartMarker;
  uint32_t len = 0;
  AppendBytes(&len, head, 4);
  AppendBytes(&len, t1, l1);
  AppendBytes(&len, t2, l2);
  AppendBytes(&len, t3, l3);
  AppendBytes(&len, &marker, 1);
  AppendCounted(&len, kAuthDigits6, sizeof kAuthDigits6 - 1);
  AppendCounted(&len, kAuthDigits4, sizeof kAuthDigits4 - 1);
  AppendCounted(&len, t4, (uint8_t)l4);
  client.auth_len = (uint8_t)len;
  if (variant & kAuxClearsInitFlags) client.init_record[init::kFlags] &= (uint8_t)~kAuxClearedInitFlags;
  return 0;
}

int32_t ClientSetSocket(const uint8_t *data, uint32_t length) {
  if (length < sizeof(DrvClientSocket)) return CLIENT_SHORT_SOCKET;
  const auto *s = reinterpret_cast<const DrvClientSocket *>(data);
  client.sock_addr = s->addr;
  client.sock_port = (uint16_t)s->port;
  return 1;
}

namespace {

// A wiped scalar is all zero (and zero is no scalar of a key pair).
bool KeyPairHeld() {
  uint8_t any = 0;
  for (uint8_t b : client.scalar) any |= b;
  return any != 0;
}

}  // namespace

int32_t CreatePKIMasterKey(const uint8_t *data, uint32_t length) {
  if (length != sizeof client.peer_pubkey) return CLIENT_KEY_LENGTH;
  const R3410_256_Params *params = R34101_SelectParams(kCurveParamSet);
  if (!params) return CLIENT_NO_CURVE;
  if (!KeyPairHeld()) return CLIENT_NO_KEY_PAIR;
  uint8_t shared[32];
  if (R3410_256_ECDHE(params, shared, client.scalar, data, length) != 0)
    return CLIENT_PEER_KEY_REFUSED;
  memcpy(client.peer_pubkey, data, sizeof client.peer_pubkey);
  memcpy(client.master_key, shared, sizeof shared);
  zor::crypto::wipe(shared, sizeof shared);
  return 0;
}

int32_t ClientMakeKeyPair(uint8_t pub[64]) {
  const R3410_256_Params *params = R34101_SelectParams(kCurveParamSet);
  if (params && GetRandomEx(client.scalar, sizeof client.scalar, 0) == 0 &&
      R3410_256_PubKey(params, pub, client.scalar) == 0)
    return 0;
  ClientForgetKeyPair();
  return CLIENT_NO_KEY_PAIR;
}

void ClientForgetKeyPair() { zor::crypto::wipe(client.scalar, sizeof client.scalar); }

void ClientForgetSessionKeys() {
  GetRandomEx((uint8_t *)&client.keys, sizeof client.keys, 0);
  MasterRingReset(&client.recv_masters);
}

uint32_t FindClient(uint32_t address, bool refresh, bool may_learn) {
  return addr::Find(client.table, client.DynCfg, client.state, address, refresh, may_learn,
                    curtick);
}

void CheckAdapterForGuardServers(void *adapter) {
  if (client.state == kConnected && adapter) addr::ForgetAdapter(client.table, adapter);
}

namespace {

// The shortest handshake datagram of the service that is recognised: a SYN
// RQ piece's header.
constexpr uint32_t kOwnMin = zor::wire::kSynRqPieceHead;

// The UDP payload of an IPv4 packet with a 20-byte header, or null.
const uint8_t *UdpPayload(const uint8_t *ip, uint32_t len, uint32_t *plen, uint16_t *sport,
                          uint16_t *dport) {
  constexpr uint32_t head = IPH_MIN_LEN + UDPH_SIZE;
  if (!ip || len < head || ip[IPH_VHL] != IP_VHL_V4_MIN || ip[IPH_PROTO] != IPPROTO_UDP_NUM)
    return nullptr;
  const uint8_t *udp = ip + IPH_MIN_LEN;
  *sport = load_be16(udp + UDPH_SPORT);
  *dport = load_be16(udp + UDPH_DPORT);
  uint32_t ulen = load_be16(udp + UDPH_LEN);
  if (ulen < UDPH_SIZE) return nullptr;
  *plen = ulen - UDPH_SIZE < len - head ? ulen - UDPH_SIZE : len - head;
  return udp + UDPH_SIZE;
}

bool SameAsStored(const uint8_t *p, uint32_t n) {
  return n == client.last_datagram_len && wire::SameBytes(p, client.last_datagram, n);
}

// A later piece of the stored SYN RQ (n is at least kSynRqPieceHead).
bool SameAsStoredPiece(const uint8_t *p, uint32_t n) {
  constexpr uint32_t head = wire::kSynRqPieceHead;
  uint32_t off = wire::As<wire::SynRqPiece>(p)->piece_offset;
  return off != 0 && head + (uint64_t)off + (n - head) <= client.last_datagram_len &&
         wire::SameBytes(p + head, client.last_datagram + head + off, n - head);
}

}  // namespace

int32_t ClientIsSendInitVPNPack(const uint8_t *ip, uint32_t len) {
  uint32_t n;
  uint16_t sport, dport;
  const uint8_t *p = UdpPayload(ip, len, &n, &sport, &dport);
  if (!p || dport != wire::kGatewayPort) return 0;
  bool match;
  if (ClientMagic() != wire::kMagic) {
    match = SameAsStored(p, n);
  } else if (n < kOwnMin || load_le32(p) != wire::kMagic ||
             !wire::KnownVariant(wire::VariantOf(p))) {
    match = false;
  } else if (wire::PacketTypeOf(p) == wire::kSynRq) {
    match = SameAsStored(p, n) || SameAsStoredPiece(p, n);
  } else {
    match = wire::PacketTypeOf(p) == wire::kSynOk && n > wire::kSynOkHead + wire::kTrailer &&
            SameAsStored(p, n);
  }
  if (!match) return 0;
  client.sock_port = sport;
  return 1;
}

int32_t ClientIsRecvInitVPNPack(const uint8_t *ip, uint32_t len) {
  uint32_t n;
  uint16_t sport, dport;
  const uint8_t *p = UdpPayload(ip, len, &n, &sport, &dport);
  if (!p || sport != wire::kGatewayPort || dport != client.sock_port) return 0;
  uint32_t magic = ClientMagic();
  if (magic != wire::kMagic) return HS_WRONG_MAGIC;
  if (n < sizeof(wire::Header) || load_le32(p) != magic) return 0;
  switch (wire::PacketTypeOf(p)) {
    case wire::kStatus:
      return (client.state == kTransportReady || client.state == kSynOkBuilt) &&
             n >= wire::kStatusHead + wire::kTrailer &&
             wire::CrcOk(p, n);
    case wire::kSynOkf: return client.state == kSynOkBuilt;
    case wire::kSynRr: return client.state == kTransportReady;
    default: return 0;
  }
}

}  // namespace zor::tunnel

using namespace zor::tunnel;

extern "C" {

uint32_t ClientDisconnect(uint32_t notify) {
  client.auth_len = 0;
  store_le16(client.dns_suffix, 0);   // the gateway's suffixes end with its session
  client.stage_timeout = kDefaultStageTimeout;
  // Also in state 0: a status code 1 or request 21 leaves it there directly.
  ClientForgetKeyPair();
  if (client.state == kIdle) return 0;
  uint32_t sent = 0;
  if (client.state == kConnected) {
    FilterAdapter *tunnel = FilterGetVpnAdapter();
    if (notify && tunnel && tunnel->filterstate == ADAPTER_READY) {
      client.session_flags &= (uint8_t)~0x06;
      const uint8_t body[2] = {0, 0};
      GuardSendOOBData(1, body, 2);
      sent = 1;
    }
    client.dos_session_change = DrvGetCurFtime(nullptr);
  }
  client.session_end_tick = 0xFFFFFFFFu;
  client.session_flags = 0;
  client.kc_retry_tick = client.kc_attempts = client.kc_not_ready = client.kc_last_failure = 0;
  client.send_counter = 0;
  client.per_session[1] = 0;
  ClientForgetSessionKeys();
  zor::crypto::wipe(client.master_key, sizeof client.master_key);
  ClientFreeTlvBuffer();
  client.state = kIdle;
  return sent;
}

void ClientFreeTlvBuffer(void) {
  if (client.text) {
    KERN_kfree(client.text);
    client.text = nullptr;
  }
  FreeBundles();
}

uint32_t AddNewClient(int32_t address, uint32_t kind) {
  return zor::addr::Insert(client.table, (uint32_t)address, (uint8_t)kind, curtick);
}

void ClientClearRecord(void) {
  MasterRingReset(&client.recv_masters);
  memset(&client, 0, sizeof client);
  memset(client_old_cli_dyncfg, 0, sizeof client_old_cli_dyncfg);
}

uint8_t ClientGetState(void) { return client.state; }
uint32_t ClientGetSessionEndTick(void) { return client.session_end_tick; }
void ClientSetSessionEndTick(uint32_t tick) { client.session_end_tick = tick; }
void ClientClearAddressTable(void) { memset(&client.table, 0, sizeof client.table); }

}  // extern "C"
