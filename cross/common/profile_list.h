#pragma once
// The first-version profile store in memory: one process-wide singly linked
// list of fixed-size profile records. Text fields are byte arrays: a shorter
// text ends with a zero byte, a text that fills its field has none.
#include <stdint.h>

#include "cross/common/profile_cfgtype.h"

constexpr int PROFILE_NAME_LEN = 64;
constexpr int PROFILE_VESK_ADDRS = 4;
constexpr int PROFILE_URL_LEN = 256;
constexpr int PROFILE_UNIQID_LEN = 32;
constexpr int PROFILE_CERTCN_LEN = 256;
constexpr int PROFILE_ALIAS_LEN = 256;
constexpr int PROFILE_UPN_LEN = 64;
constexpr int PROFILE_SUBJINFO_LEN = 512;
constexpr int PROFILE_USERNAMES = 8;
constexpr int PROFILE_USERNAME_LEN = 64;
constexpr int PROFILE_TUNNELGROUP_LEN = 21;

// Kinds of a gateway address slot.
enum : uint32_t { VESK_ADDR_EMPTY = 0, VESK_ADDR_IPV4 = 1, VESK_ADDR_URL = 2 };
// Kinds of profile.
enum : uint32_t { PROFILE_TYPE_CERTIFICATE = 0, PROFILE_TYPE_ONE_FACTOR = 1 };

// One gateway address slot.
struct VESK_ADDR_t {
  uint32_t type;
  union {
    uint32_t fa_ipaddr;  // first octet in the most significant byte
    char fa_url[PROFILE_URL_LEN];
  };
};

struct PROFILE_CONFIG_t {
  uint8_t version;
  char humanReadName[PROFILE_NAME_LEN];
  int32_t id;  // -1: no identifier, never found by a search
  cfgtype cfg;
  uint32_t status;
  VESK_ADDR_t veskAddrs[PROFILE_VESK_ADDRS];
  uint32_t usingVeskAddr;
  uint32_t type;
  uint8_t uniqId[PROFILE_UNIQID_LEN];
  char certCN[PROFILE_CERTCN_LEN];
  char alias[PROFILE_ALIAS_LEN];
  char upn[PROFILE_UPN_LEN];
  char certSubjInfo[PROFILE_SUBJINFO_LEN];
  uint32_t cryptoAlg;
  char userNames[PROFILE_USERNAMES][PROFILE_USERNAME_LEN];  // first byte 0: empty slot
  char tunnelGroup[PROFILE_TUNNELGROUP_LEN];
  PROFILE_CONFIG_t* next;
};

struct PROFILE_CFG_LIST_t {
  int32_t in_use;
  uint32_t count;
  PROFILE_CONFIG_t* head;
};

// The list of the process; it owns its records, kept in the order appended.
extern PROFILE_CFG_LIST_t PROFILE_CFG_LIST;

// Forgets every record without freeing it: in_use -1, empty.
void PC_List_Init();
// Frees every record, then as PC_List_Init.
void PC_List_Cleanup();
// The record with this id when id is not -1 and one exists; else a new
// zero-filled record with this id appended; null when memory runs out.
PROFILE_CONFIG_t* PC_List_AddNewConfig(int id);
// The first record with this id; null for -1 or when there is none.
PROFILE_CONFIG_t* PC_List_FindConfigByID(int id);
// The first single-factor record whose configuration has no gateway address.
PROFILE_CONFIG_t* PC_List_FindEmptyOneFactorConfig();
// Copies every field but next from src into dst: 0, or 1 for a null pointer.
int PC_List_CloneConfig(PROFILE_CONFIG_t* dst, PROFILE_CONFIG_t* src);
// Unlinks and frees p when it is in the list.
void PC_List_DeleteConfig(PROFILE_CONFIG_t* p);
// Deletes every record; in_use is kept.
void PC_List_DeleteAllConfigs();
// Stamps c with the record version, seals it and copies it into p's cfg:
// 0, or 1 for a null pointer (nothing changed).
int PC_List_Save(PROFILE_CONFIG_t* p, cfgtype* c);

// Four decimal texts to an address, the first in the most significant byte;
// unchecked (a part above 255 carries upwards); 0 for a null pointer.
uint32_t IP_STR_TO_UINT(const char* octets[4]);
// Dotted text of ip into a 16-byte buffer; ip 0 gives "". Characters written.
int IP_UINT_TO_STR(unsigned int ip, char* dst);
