#include "cross/common/profile_list.h"

#include <cstdio>
#include <cstdlib>
#include <new>

PROFILE_CFG_LIST_t PROFILE_CFG_LIST = {-1, 0, nullptr};

namespace {

PROFILE_CONFIG_t* newRecord(int id) {
  PROFILE_CONFIG_t* p = new (std::nothrow) PROFILE_CONFIG_t();  // zero-filled
  if (p != nullptr) p->id = id;
  return p;
}

PROFILE_CONFIG_t* lastRecord() {
  PROFILE_CONFIG_t* p = PROFILE_CFG_LIST.head;
  while (p != nullptr && p->next != nullptr) p = p->next;
  return p;
}

}  // namespace

void PC_List_Init() {
  PROFILE_CFG_LIST.in_use = -1;
  PROFILE_CFG_LIST.count = 0;
  PROFILE_CFG_LIST.head = nullptr;
}

void PC_List_Cleanup() {
  PC_List_DeleteAllConfigs();
  PC_List_Init();
}

PROFILE_CONFIG_t* PC_List_AddNewConfig(int id) {
  if (PROFILE_CONFIG_t* found = PC_List_FindConfigByID(id)) return found;
  PROFILE_CONFIG_t* p = newRecord(id);
  if (p == nullptr) return nullptr;
  PROFILE_CONFIG_t* last = lastRecord();
  if (last == nullptr) {
    PROFILE_CFG_LIST.head = p;
  } else {
    last->next = p;
  }
  PROFILE_CFG_LIST.count++;
  return p;
}

PROFILE_CONFIG_t* PC_List_FindConfigByID(int id) {
  if (id == -1) return nullptr;
  for (PROFILE_CONFIG_t* p = PROFILE_CFG_LIST.head; p != nullptr; p = p->next) {
    if (p->id == id) return p;
  }
  return nullptr;
}

PROFILE_CONFIG_t* PC_List_FindEmptyOneFactorConfig() {
  for (PROFILE_CONFIG_t* p = PROFILE_CFG_LIST.head; p != nullptr; p = p->next) {
    if (p->type == PROFILE_TYPE_ONE_FACTOR && p->cfg.ch_veskipaddr == 0) return p;
  }
  return nullptr;
}

int PC_List_CloneConfig(PROFILE_CONFIG_t* dst, PROFILE_CONFIG_t* src) {
  if (dst == nullptr || src == nullptr) return 1;
  PROFILE_CONFIG_t* link = dst->next;
  *dst = *src;
  dst->next = link;
  return 0;
}

void PC_List_DeleteConfig(PROFILE_CONFIG_t* p) {
  if (p == nullptr || PROFILE_CFG_LIST.count == 0 || PROFILE_CFG_LIST.head == nullptr) return;
  PROFILE_CONFIG_t** link = &PROFILE_CFG_LIST.head;
  while (*link != nullptr && *link != p) link = &(*link)->next;
  if (*link == nullptr) return;
  *link = p->next;
  delete p;
  PROFILE_CFG_LIST.count--;
  if (PROFILE_CFG_LIST.head == nullptr) PROFILE_CFG_LIST.count = 0;
  if (PROFILE_CFG_LIST.count == 0) PROFILE_CFG_LIST.head = nullptr;
}

void PC_List_DeleteAllConfigs() {
  while (PROFILE_CFG_LIST.head != nullptr && PROFILE_CFG_LIST.count != 0) {
    PC_List_DeleteConfig(PROFILE_CFG_LIST.head);
  }
}

int PC_List_Save(PROFILE_CONFIG_t* p, cfgtype* c) {
  if (p == nullptr || c == nullptr) return 1;
  c->ch_cfgver = CFG_RECORD_VERSION;
  SealCfgRecord(c);
  p->cfg = *c;
  return 0;
}

uint32_t IP_STR_TO_UINT(const char* octets[4]) {
  uint32_t ip = 0;
  for (int i = 0; i < 4; i++) {
    if (octets[i] == nullptr) return 0;
    ip = (ip << 8) + static_cast<uint32_t>(strtol(octets[i], nullptr, 10));
  }
  return ip;
}

int IP_UINT_TO_STR(unsigned int ip, char* dst) {
  if (ip == 0) {
    dst[0] = '\0';
    return 0;
  }
  return snprintf(dst, 16, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 255, (ip >> 8) & 255, ip & 255);
}
