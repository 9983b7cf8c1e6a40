#include "kernel/filter/firewall_sessions.h"

#include "kernel/filter/firewall_checks.h"
#include "kernel/filter/ip_helpers.h"

extern "C" {

SessionBlock *sessionblocksbuffer;
FirewallSession *fw_harray[FW_BUCKETS];
uint32_t firewallenabled = 1;
uint64_t fw_curtick, fw_curtick_old;
uint64_t fw_tcp_vpn_close_on_disconnect_tick;
uint64_t fw_datalen, fw_worktime, fw_TUNdatalen, fw_TUNworktime;

uint64_t f_FW_TCP_SESSION_IDLE_TIMEOUT = 64800;
uint64_t f_FW_TCP_SESSION_AFTERFIRSTSYN_TIMEOUT = 810;
uint64_t f_FW_TCP_SESSION_CLOSEAFTERRST_TIMEOUT = 1080;
uint64_t f_FW_TCP_SESSION_CLOSEAFTERFIN_TIMEOUT = 2160;
uint64_t f_FW_UDP_SESSION_IDLE_TIMEOUT = 10800;

}  // extern "C"

namespace {

constexpr uint32_t kZeroedOnRemove = 112;
constexpr uint64_t kStatLimit = 0x1000000;

uint32_t rot(uint32_t x, int k) { return x << k | x >> (32 - k); }

// The final mixing step of lookup3 over the two addresses and the protocol.
uint32_t bucket_of(uint32_t a, uint32_t b, uint8_t proto) {
  uint32_t c = proto ? (uint32_t)proto | (uint32_t)proto << 16 : 0x01000100u;
  a += 0xDEADBEEF;
  b += 0xDEADBEEF;
  c += 0xDEADBEEF;
  c ^= b; c -= rot(b, 14);
  a ^= c; a -= rot(c, 11);
  b ^= a; b -= rot(a, 25);
  c ^= b; c -= rot(b, 16);
  a ^= c; a -= rot(c, 4);
  b ^= a; b -= rot(a, 14);
  c ^= b; c -= rot(b, 24);
  return c & (FW_BUCKETS - 1);
}

uint32_t bucket_of(const FirewallSession *s) { return bucket_of(s->addr1, s->addr2, s->proto); }

bool zero_mac(const uint8_t *m) {
  for (int i = 0; i < 6; i++)
    if (m[i]) return false;
  return true;
}

bool same_bytes(const uint8_t *a, const uint8_t *b, uint32_t n) {
  for (uint32_t i = 0; i < n; i++)
    if (a[i] != b[i]) return false;
  return true;
}

SessionBlock *new_block(void) {
  auto *b = static_cast<SessionBlock *>(KERN_kmalloc(sizeof(SessionBlock)));
  if (!b) return nullptr;
  memset(b, 0, sizeof *b);
  for (uint32_t i = 0; i < FW_BLOCK_SESSIONS; i++) {
    b->sessions[i].block = b;
    b->sessions[i].hnext = i + 1 < FW_BLOCK_SESSIONS ? &b->sessions[i + 1] : nullptr;
  }
  b->freelist = &b->sessions[0];
  return b;
}

void free_block(SessionBlock *b) {
  if (b->prev) b->prev->next = b->next;
  if (b->next) b->next->prev = b->prev;
  if (sessionblocksbuffer == b) sessionblocksbuffer = b->next;
  memset(b, 0, sizeof *b);
  KERN_kfree(b);
}

void free_all_blocks(void) {
  while (sessionblocksbuffer) free_block(sessionblocksbuffer);
  memset(fw_harray, 0, sizeof fw_harray);
}

bool on_chain(const FirewallSession *s) {
  return s->hprev ? s->hprev->hnext == s : fw_harray[bucket_of(s)] == s;
}

void unlink_chain(FirewallSession *s) {
  if (s->hprev)
    s->hprev->hnext = s->hnext;
  else
    fw_harray[bucket_of(s)] = s->hnext;
  if (s->hnext) s->hnext->hprev = s->hprev;
  s->hprev = s->hnext = nullptr;
}

void push_chain(FirewallSession *s) {
  FirewallSession **head = &fw_harray[bucket_of(s)];
  s->hprev = nullptr;
  s->hnext = *head;
  if (*head) (*head)->hprev = s;
  *head = s;
}

void unlink_close(FirewallSession *s) {
  if (s->cprev)
    s->cprev->cnext = s->cnext;
  else if (s->block->closelist == s)
    s->block->closelist = s->cnext;
  if (s->cnext) s->cnext->cprev = s->cprev;
  s->cprev = s->cnext = nullptr;
}

bool listed(const FirewallSession *s) {
  return s->cprev || s->cnext || s->block->closelist == s;
}

// Inserts after the last session whose expiry is not greater (head if none).
void insert_close(FirewallSession *s) {
  FirewallSession *after = nullptr;
  for (FirewallSession *i = s->block->closelist; i && i->expiry <= s->expiry; i = i->cnext) after = i;
  s->cprev = after;
  s->cnext = after ? after->cnext : s->block->closelist;
  if (s->cnext) s->cnext->cprev = s;
  if (after)
    after->cnext = s;
  else
    s->block->closelist = s;
}

void remove_session(FirewallSession *s) {
  if (!on_chain(s)) return;
  if (listed(s)) unlink_close(s);
  unlink_chain(s);
  SessionBlock *b = s->block;
  memset(s, 0, kZeroedOnRemove);
  s->hnext = b->freelist;
  b->freelist = s;
  b->inuse--;
}

// With every block full: closes the four earliest-expiring sessions of each
// block, then the earliest of the heads left; that block gives the record.
SessionBlock *evict(void) {
  for (SessionBlock *b = sessionblocksbuffer; b; b = b->next)
    for (int i = 0; i < 4 && b->closelist; i++) FIREWALL_CloseSession(b->closelist, 0);
  SessionBlock *best = nullptr;
  for (SessionBlock *b = sessionblocksbuffer; b; b = b->next)
    if (b->closelist && (!best || b->closelist->expiry < best->closelist->expiry)) best = b;
  if (!best) return nullptr;
  FIREWALL_CloseSession(best->closelist, 0);
  return best;
}

SessionBlock *block_with_room(void) {
  SessionBlock *last = nullptr;
  uint32_t count = 0;
  for (SessionBlock *b = sessionblocksbuffer; b; b = b->next) {
    if (b->freelist) return b;
    last = b;
    count++;
  }
  if (count >= FW_MAX_BLOCKS) return evict();
  SessionBlock *b = new_block();
  if (!b) return nullptr;
  b->prev = last;
  if (last)
    last->next = b;
  else
    sessionblocksbuffer = b;
  return b;
}

void stored_order(uint32_t outgoing, const uint8_t *&mac_a, const uint8_t *&mac_b, uint32_t &a,
                  uint32_t &b) {
  if (outgoing) return;
  const uint8_t *m = mac_a;
  mac_a = mac_b;
  mac_b = m;
  uint32_t t = a;
  a = b;
  b = t;
}

void add_sums(uint64_t &len, uint64_t &time, uint64_t bytes, uint64_t gap) {
  len += bytes;
  time += gap;
  if (len > kStatLimit) {
    len = (len >> 1) + (len >> 2) + (len >> 3);
    time = (time >> 1) + (time >> 2) + (time >> 3);
  }
}

uint32_t rate(uint64_t len, uint64_t time) {
  uint32_t t = (uint32_t)(time >> 20);
  return t ? (uint32_t)len / t : 0;
}

template <typename Pred>
void remove_where(Pred pred) {
  for (SessionBlock *b = sessionblocksbuffer; b; b = b->next)
    for (FirewallSession &s : b->sessions)
      if (on_chain(&s) && pred(&s)) remove_session(&s);
  FIREWALL_ReclaimEmptyBlock();
}

}  // namespace

extern "C" {

uint32_t FIREWALL_Initialize(void) {
  fw_curtick = fw_curtick_old = 0;
  free_all_blocks();
  sessionblocksbuffer = new_block();
  return sessionblocksbuffer ? 0 : 1;
}

uint32_t FIREWALL_DeInitialize(void) {
  free_all_blocks();
  return 0;
}

uint32_t FIREWALL_Enable(uint32_t flag) {
  uint32_t old = firewallenabled;
  firewallenabled = flag;
  if (flag && !old) FIREWALL_RemoveAllSessions(FW_ANY_TUNNEL);
  return old;
}

FirewallSession *FIREWALL_AddNewSession(uint32_t tunnel, FilterAdapter *adapter,
                                        const uint8_t *mac_a, const uint8_t *mac_b, uint32_t a,
                                        uint32_t b, uint8_t proto, const uint8_t *data,
                                        uint32_t datalen, FirewallRejectCallback reject,
                                        uint32_t outgoing) {
  if (!firewallenabled || (data && datalen > FW_DATA_SIZE)) return nullptr;
  stored_order(outgoing, mac_a, mac_b, a, b);
  SessionBlock *block = block_with_room();
  if (!block || !block->freelist) return nullptr;
  FirewallSession *s = block->freelist;
  block->freelist = s->hnext;
  memset(s, 0, sizeof *s);
  s->block = block;
  if (mac_a) memcpy(s->mac1, mac_a, sizeof s->mac1);
  if (mac_b) memcpy(s->mac2, mac_b, sizeof s->mac2);
  s->addr1 = a;
  s->addr2 = b;
  s->proto = proto;
  s->opening = (uint8_t)(outgoing ? 1 : 0);
  s->tunnel = (uint8_t)tunnel;
  s->adapter = adapter;
  s->reject = reject;
  if (data) memcpy(s->data, data, datalen);
  push_chain(s);
  block->inuse++;
  return s;
}

FirewallSession *FIREWALL_FindSession(const uint8_t *mac_a, const uint8_t *mac_b, uint32_t a,
                                      uint32_t b, uint8_t proto, const uint8_t *data,
                                      uint32_t datalen, uint32_t outgoing) {
  if (!firewallenabled || (data && datalen > FW_DATA_SIZE)) return nullptr;
  stored_order(outgoing, mac_a, mac_b, a, b);
  FirewallSession *s = fw_harray[bucket_of(a, b, proto)];
  for (; s; s = s->hnext)
    if (s->addr1 == a && s->addr2 == b && s->proto == proto &&
        (!data || !datalen || same_bytes(s->data, data, datalen)))
      break;
  if (!s) return nullptr;
  if (s->hprev) {
    unlink_chain(s);
    push_chain(s);
  }
  if (mac_a && !zero_mac(mac_a)) memcpy(s->mac1, mac_a, sizeof s->mac1);
  if (mac_b && !zero_mac(mac_b)) memcpy(s->mac2, mac_b, sizeof s->mac2);
  return s;
}

uint32_t FIREWALL_RemoveSession(FirewallSession *session) {
  if (!firewallenabled || !session) return 1;
  remove_session(session);
  return 0;
}

uint32_t FIREWALL_RemoveAllSessions(uint32_t tunnel) {
  if (!firewallenabled) return 1;
  if (tunnel == FW_ANY_TUNNEL) {
    free_all_blocks();
    sessionblocksbuffer = new_block();
    return sessionblocksbuffer ? 0 : 1;
  }
  remove_where([tunnel](FirewallSession *s) { return s->tunnel == tunnel; });
  return 0;
}

uint32_t FIREWALL_RemoveAllSessionsByAdapter(FilterAdapter *adapter, uint32_t tunnel) {
  if (!firewallenabled) return 1;
  remove_where([adapter, tunnel](FirewallSession *s) {
    return s->adapter == adapter && (tunnel == FW_ANY_TUNNEL || s->tunnel == tunnel);
  });
  return 0;
}

uint32_t FIREWALL_RemoveAllINTCPSessions(uint32_t tunnel) {
  if (!firewallenabled) return 1;
  remove_where([tunnel](FirewallSession *s) {
    return s->proto == IPPROTO_TCP_NUM && (tunnel == FW_ANY_TUNNEL || s->tunnel == tunnel);
  });
  return 0;
}

uint32_t FIREWALL_AddForCloseByTimeout(FirewallSession *session, uint64_t ticks, uint8_t mode) {
  if (!firewallenabled || !ticks || !session) return 1;
  session->expiry = fw_curtick + ticks;
  session->closemode = mode;
  if (listed(session)) {
    FirewallSession *p = session->cprev, *n = session->cnext;
    if ((!p || p->expiry <= session->expiry) && (!n || session->expiry <= n->expiry)) return 0;
    unlink_close(session);
  }
  insert_close(session);
  return 0;
}

uint32_t FIREWALL_DeleteFromCloseByTimeout(FirewallSession *session) {
  if (!firewallenabled || !session) return 1;
  if (listed(session)) unlink_close(session);
  session->expiry = 0;
  session->closemode = 0;
  return 0;
}

void FIREWALL_CloseSession(FirewallSession *session, uint32_t argument) {
  if (session->reject && (session->expiry == 0 || session->closemode == 1))
    session->reject(session, argument);
  remove_session(session);
}

void FIREWALL_CheckForClosedSessionsByTimeout(void) {
  if (!firewallenabled) return;
  for (SessionBlock *b = sessionblocksbuffer; b; b = b->next)
    while (b->closelist && b->closelist->expiry <= fw_curtick) FIREWALL_CloseSession(b->closelist, 0);
  FIREWALL_ReclaimEmptyBlock();
}

void FIREWALL_ReclaimEmptyBlock(void) {
  if (!sessionblocksbuffer) return;
  uint32_t blocks = 0;
  for (SessionBlock *b = sessionblocksbuffer; b; b = b->next) blocks++;
  if (blocks <= 2) return;
  for (SessionBlock *b = sessionblocksbuffer->next; b; b = b->next) {
    if (b->inuse) continue;
    uint32_t others_free = 0;
    for (SessionBlock *o = sessionblocksbuffer; o; o = o->next)
      if (o != b) others_free += FW_BLOCK_SESSIONS - o->inuse;
    if (others_free >= FW_BLOCK_SESSIONS) free_block(b);
    return;
  }
}

void FIREWALL_Timer(void) {
  if (!firewallenabled) return;
  fw_curtick++;
  uint64_t close = fw_tcp_vpn_close_on_disconnect_tick;
  if (close && close <= fw_curtick) {
    FIREWALL_RejectAllTcpVpnSessionsOnDisconnect();
    fw_tcp_vpn_close_on_disconnect_tick = 0;
  }
}

void FIREWALL_EnableTcpVpnCloseOnDisconnect(uint32_t flag) {
  fw_tcp_vpn_close_on_disconnect_tick = flag ? fw_curtick : 0;
}

uint32_t FIREWALL_AddStat(uint32_t tunnel, uint64_t gap, uint64_t bytes, uint32_t) {
  add_sums(fw_datalen, fw_worktime, bytes, gap);
  if (tunnel == 1) add_sums(fw_TUNdatalen, fw_TUNworktime, bytes, gap);
  return 0;
}

void FIREWALL_GetInformation(uint32_t out[4]) {
  uint32_t sessions = 0, blocks = 0;
  for (SessionBlock *b = sessionblocksbuffer; b; b = b->next) {
    sessions += b->inuse;
    blocks++;
  }
  out[0] = sessions;
  out[1] = blocks * (uint32_t)sizeof(SessionBlock) + (uint32_t)sizeof fw_harray;
  out[2] = rate(fw_datalen, fw_worktime);
  out[3] = rate(fw_TUNdatalen, fw_TUNworktime);
}

void FIREWALL_ForEachSession(void (*fn)(FirewallSession *session, void *ctx), void *ctx) {
  for (SessionBlock *b = sessionblocksbuffer; b; b = b->next)
    for (FirewallSession &s : b->sessions)
      if (on_chain(&s)) fn(&s, ctx);
}

uint32_t FIREWALL_BlockCount(void) {
  uint32_t n = 0;
  for (SessionBlock *b = sessionblocksbuffer; b; b = b->next) n++;
  return n;
}

}  // extern "C"
