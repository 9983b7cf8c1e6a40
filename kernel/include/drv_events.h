// The event codes the filter queues for the service and announces by a
// doorbell (fetched one at a time with IOCTL_GETCODE). Shared by the filter
// and the service; freestanding.
#pragma once
#include <stdint.h>

enum DrvEventCode : uint32_t {
  DrvSendEvent_STATE_CHANGED = 1,
  DrvSendEvent_RECONNECT_ALWAYS = 3,
  DrvSendEvent_RECONNECT_IFNEEDED = 4,
  EVT_CODE_BEFORE_STANDBY = 5,  // carries no name on the service side
  DrvSendEvent_AFTER_STANDBY = 6,
  DrvSendEvent_SESSION_TIMEOUT = 9,
  DrvSendEvent_GOT_ACCESS_LEVEL = 10,
  DrvSendEvent_RECONNECT_NOKEEPALIVE = 11,
  DrvSendEvent_RECONNECT_NOKEYCHANGE = 12,
  DrvSendEvent_RADMTERMINATE = 13,
  DrvSendEvent_RECONNECT_KEYCHANGE_NOADAPTER = 14,
  DrvSendEvent_RECONNECT_KEYCHANGE_NOMEM = 15,
  DrvSendEvent_RECONNECT_KEYCHANGE_BUILDFAIL = 16,
  DrvSendEvent_RECONNECT_KEYCHANGE_REJECTED = 17,
};
