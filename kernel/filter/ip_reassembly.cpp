#include "kernel/filter/ip_reassembly.h"

#include "byte_order.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/memory_pool.h"

extern "C" {
alignas(8) uint8_t defragpack[DEFRAG_BUFFER_SIZE];
}

namespace {

constexpr uint32_t kMaxAttempts = 8;
constexpr uint32_t kTicksTtl0 = 18;
constexpr uint32_t kMaxTtl = 10;
// The timer counts 65536 ticks an hour; an entry lives its TTL in seconds.
constexpr uint32_t kTicksPerHour = 65536, kSecondsPerHour = 3600;

struct Fragment {
  Fragment *next;
  uint32_t offset, len;
  uint8_t data[];
};

struct Entry {
  uint32_t used;
  uint32_t src, dst, id;
  uint8_t proto;
  uint32_t deadline;
  uint32_t serial;      // order of creation, to find the oldest
  uint32_t total;       // payload bytes, known from the last fragment (0 unknown)
  uint32_t received;
  uint32_t linklen;     // link header length of the first fragment
  uint32_t headlen;     // link header + IPv4 header of the first fragment
  uint8_t head[LINK_MAX_HEADER_LEN + IPH_MAX_LEN];
  Fragment *frags;      // by offset
};

Entry stores[REASM_DIRECTIONS][REASM_RECORDS];
uint32_t serial;

void clear_fragments(Entry *e) {
  while (Fragment *f = e->frags) {
    e->frags = f->next;
    MVFree(f);
  }
  e->received = e->total = e->linklen = e->headlen = 0;
}

void discard(Entry *e) {
  clear_fragments(e);
  memset(e, 0, sizeof *e);
}

uint32_t deadline_for(uint8_t ttl) {
  if (ttl == 0) return curtick + kTicksTtl0;
  uint32_t t = ttl < kMaxTtl ? ttl : kMaxTtl;
  return curtick + t * kTicksPerHour / kSecondsPerHour;
}

Entry *find(Entry *store, const IPPacket *p, uint32_t id) {
  for (uint32_t i = 0; i < REASM_RECORDS; i++) {
    Entry *e = &store[i];
    if (e->used && e->src == p->src && e->dst == p->dst && e->proto == p->proto && e->id == id)
      return e;
  }
  return nullptr;
}

Entry *take_free(Entry *store) {
  for (uint32_t attempt = 0; attempt < kMaxAttempts; attempt++) {
    Entry *oldest = nullptr;
    for (uint32_t i = 0; i < REASM_RECORDS; i++) {
      if (!store[i].used) return &store[i];
      if (!oldest || store[i].serial < oldest->serial) oldest = &store[i];
    }
    discard(oldest);
  }
  return nullptr;
}

// Puts the fragment in offset order; false when it overlaps what is held or
// a last fragment does not fit after it.
bool insert(Entry *e, Fragment *f, bool last) {
  Fragment **at = &e->frags;
  while (*at && (*at)->offset < f->offset) at = &(*at)->next;
  Fragment *before = nullptr;
  for (Fragment *i = e->frags; i && i != *at; i = i->next) before = i;
  if (before && before->offset + before->len > f->offset) return false;
  if (*at && f->offset + f->len > (*at)->offset) return false;
  if (last && *at) return false;
  if (e->total && f->offset + f->len > e->total) return false;
  f->next = *at;
  *at = f;
  e->received += f->len;
  if (last) e->total = f->offset + f->len;
  return true;
}

// Rebuilds the whole packet in defragpack and points p at it.
void rebuild(Entry *e, IPPacket *p) {
  memcpy(defragpack, e->head, e->headlen);
  uint8_t *payload = defragpack + e->headlen;
  for (Fragment *f = e->frags; f; f = f->next) memcpy(payload + f->offset, f->data, f->len);
  uint8_t *ip = defragpack + e->linklen;
  uint32_t ihl = e->headlen - e->linklen;
  store_be16(ip + IPH_TOTAL_LEN, (uint16_t)(ihl + e->total));
  store_be16(ip + IPH_FRAG, 0);
  CalcChecksum(ip);
  p->frame = defragpack;
  p->linklen = e->linklen;
  p->ip = ip;
  p->buflen = ihl + e->total;
  p->reassembled = 1;
  discard(e);
  IPParsePacket(p);
}

}  // namespace

extern "C" {

void IPStartPortState(uint32_t direction) {
  if (direction < REASM_DIRECTIONS) memset(stores[direction], 0, sizeof stores[direction]);
}

void IPStopPortState(uint32_t direction) {
  if (direction >= REASM_DIRECTIONS) return;
  for (Entry &e : stores[direction])
    if (e.used) discard(&e);
}

void IPPortTimer(uint32_t direction) {
  if (direction >= REASM_DIRECTIONS) return;
  for (Entry &e : stores[direction])
    if (e.used && e.deadline <= curtick) discard(&e);
}

uint32_t IPReassemble(IPPacket *p, uint32_t direction) {
  if (direction >= REASM_DIRECTIONS || p->linklen > LINK_MAX_HEADER_LEN) return 1;
  Entry *store = stores[direction];
  uint32_t id = load_be16(p->ip + IPH_ID);
  uint32_t len = p->total - p->ihl;
  Entry *e = find(store, p, id);
  if ((uint64_t)p->fragoff + len > REASM_MAX_PACKET) {
    if (e) discard(e);
    return 1;
  }
  if (!e) {
    if (!(e = take_free(store))) return 1;
    e->used = 1;
    e->src = p->src;
    e->dst = p->dst;
    e->proto = p->proto;
    e->id = id;
    e->serial = ++serial;
    e->deadline = deadline_for(p->ip[IPH_TTL]);
  }
  auto *f = static_cast<Fragment *>(MVAlloc((uint32_t)sizeof(Fragment) + len));
  if (!f) return 1;
  f->offset = p->fragoff;
  f->len = len;
  memcpy(f->data, p->ip + p->ihl, len);
  if (!insert(e, f, !p->mf)) {
    clear_fragments(e);
    insert(e, f, !p->mf);
  }
  if (p->fragoff == 0) {
    e->linklen = p->linklen;
    e->headlen = p->linklen + p->ihl;
    memcpy(e->head, p->frame, e->headlen);
  }
  if (!e->total || e->received < e->total || !e->headlen) return 1;
  if (e->headlen - e->linklen + e->total > IP_MAX_TOTAL_LEN) {
    discard(e);
    return 1;
  }
  rebuild(e, p);
  return 0;
}

uint32_t IPReassemblyCount(uint32_t direction) {
  uint32_t n = 0;
  if (direction < REASM_DIRECTIONS)
    for (Entry &e : stores[direction]) n += e.used;
  return n;
}

}  // extern "C"
