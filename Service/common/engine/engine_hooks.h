#pragma once
// What the engine needs of the service core, as a handler table: the status
// file, the settings after a disconnect, and push routing. The core installs
// its own at start-up (the core's ResetConnectionStatus, StatusJsonGeneration,
// ResetConnectionStatusIfStale, PostDisconnectSettings, IPC_SendToTunnelOwner
// and IPC_SendToClients); until then the standing ones answer (status calls
// succeed and change nothing; pushes go through IPC_SendToClient).
#include <cstdint>

#include "cross/utils/ipc_message.h"

struct EngineHooks {
  bool (*resetConnectionStatus)();                    // status file reset; false on failure
  uint64_t (*statusJsonGeneration)();
  bool (*resetConnectionStatusIfStale)(uint64_t generation);
  void (*postDisconnectSettings)();
  // To the tunnel owner (client -1), else the given client.
  void (*sendToTunnelOwner)(ServicePipeMessage_t* msg, int client);
  void (*sendToClients)(ServicePipeMessage_t* msg);   // every client
};

// Installs hooks (a null member keeps the one in force); the previous table.
EngineHooks Engine_SetHooks(const EngineHooks& hooks);
EngineHooks Engine_StandingHooks();

// The table in force (a copy; the engine calls through it).
EngineHooks Engine_Hooks();

// Gives the DNS registration the engine's gateway configuration and its
// update-server request (SetDnsRegistratorHooks); called at start-up.
void Engine_InstallDnsRegistratorHooks();
