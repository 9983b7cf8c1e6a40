// The tunnel client record as the filter core and the adapter operations
// see it: its connection state, the session end tick, the address table's
// reset and the disconnect (the record itself: tunnel_client.h).
#pragma once
#include "kern_host.h"

constexpr uint8_t CLIENT_STATE_CONNECTED = 7;

extern "C" {
// Zeroes the whole record (filter start and stop).
void ClientClearRecord(void);
// Connection state 0-7.
uint8_t ClientGetState(void);
uint32_t ClientGetSessionEndTick(void);
void ClientSetSessionEndTick(uint32_t tick);
// Frees the stored TLV buffer.
void ClientFreeTlvBuffer(void);
// Empties the address table.
void ClientClearAddressTable(void);
uint32_t AddNewClient(int32_t address, uint32_t kind);
// 1 when a disconnect notice went to the gateway, else 0.
uint32_t ClientDisconnect(uint32_t notify);
}
