#pragma once
// The adapter the gateway is reached through (from /proc/net/route of the
// caller's network namespace), its binding in the filter, and the host
// network queries of the client commands (interface list, MTU).
#include <cstdint>

#include "Service/common/dns/dns_registration_state.h"

// One interface in the reply of the interface list (2136 bytes).
struct __attribute__((packed)) tSTRUCTNICINFO {
  uint32_t index;
  uint32_t type;           // IANA ifType
  uint32_t addressLength;
  uint8_t address[14];
  uint8_t pad[6];
  uint64_t mtu;
  char ip[16];             // "%03i.%03i.%03i.%03i"
  char netmask[16];
  char gateway[16];        // "000.000.000.000" when none
  char description[1024];  // "Full name '%s'"
  char name[1024];
};
static_assert(sizeof(tSTRUCTNICINFO) == 2136, "an interface record is 2136 bytes");

// The adapter name the filter reported after the last binding goes to
// active_adapter_name (owned by the DNS registration, which reads it).
// The routing table read; tests may point it elsewhere.
extern const char* proc_net_route_path;

// bind 0: only looks the adapter up (0). Else names it to the filter
// (IOCTL_SETVPNADAPTER) and sends its default gateway (RQC_SETVESKGATEWAY);
// the result of the naming request.
int setAdapter(uint32_t gateway, uint32_t bind);
int checkAdapter(uint32_t gateway);  // 0
// 0 found, 2 none (name empty), 1 table unreadable.
int getSocketBestAdapterName(uint32_t address, char* name, int size);
// 1 empty or too long name (min(size,16) characters or more) or unreadable
// table; else 0 with the gateway (0 when none).
int getAdapterGatewayByName(uint32_t* gateway, const char* name, int size);
// *value non-zero reads the MTU into it; 0 is refused (2, logged) and sets
// nothing. 0 success, 1 no socket, 2 the interface request failed.
int getsetAdapterMtu(const char* name, uint32_t* value);
// 0, 1 no socket, 2 no interface list. records null: *count is the number
// of interfaces; else at most capacity records are written and *count is
// how many were.
int GetNICs(int* count, tSTRUCTNICINFO* records, size_t capacity);
