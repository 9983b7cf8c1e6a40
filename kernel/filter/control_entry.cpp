// The control-request entry: framed requests (codes 0-47) go to the request
// dispatcher, codes 49-62 are answered here. The buffer's first word holds
// the total length on entry and the answer on return; it is trusted only
// as far as the buffer really reaches.
#include "byte_order.h"
#include "drv_requests.h"
#include "kern_host.h"
#include "kernel/filter/adapters.h"
#include "kernel/filter/event_queue.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/send_queues.h"

namespace {

// The buffer: the length word (the answer on return), then the request:
// a u32 value or a name for codes 49-62, the framed request for 0-47.
constexpr uint32_t LENGTH_WORD = 4;
// The u32 value that follows the length word.
constexpr uint32_t VALUE_WORD = 4;
// Smallest request of codes 0-47: the length word and the 24-byte header.
constexpr uint32_t MIN_FRAMED_TOTAL = LENGTH_WORD + sizeof(DrvRequestHeader);

// 48, 52-57 and anything above 62.
bool is_rejected(uint32_t code) {
  return code == RQC_LAST_FRAMED + 1 || (code > IOCTL_SETPID && code < IOCTL_GETDDATALEN) ||
         code > IOCTL_LAST;
}

// Codes that read or write beyond the length word.
bool needs_eight_bytes(uint32_t code) {
  return code == IOCTL_GETCODE || code == IOCTL_SETPID || code == IOCTL_GETDDATALEN ||
         code == IOCTL_SETVPNADAPTER || code == IOCTL_GETDRVQUEUES ||
         code == IOCTL_CHECKVPNADAPTER;
}

uint32_t answer_framed(uint32_t code, uint8_t *buffer, uint32_t total) {
  int32_t r = total < MIN_FRAMED_TOTAL
                  ? DRV_BAD_SIZE
                  : FilterGetInformation(code, buffer + LENGTH_WORD, total - LENGTH_WORD);
  store_le32(buffer, static_cast<uint32_t>(r));
  return 0;
}

void answer_drvqueues(uint8_t *buffer) {
  store_le32(buffer, 0);
  uint64_t pending = QUEUE_CountPendingForAllFLT();
  uint32_t shown = pending > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(pending);
  store_le32(buffer + LENGTH_WORD, shown);
}

uint32_t answer_unframed(uint32_t code, uint8_t *buffer, uint32_t total) {
  char *name = reinterpret_cast<char *>(buffer + LENGTH_WORD);
  switch (code) {
    case IOCTL_GETCODE:
      store_le32(buffer, 0);
      store_le32(buffer + LENGTH_WORD, DrvPopEvent());
      break;
    case IOCTL_CONFIRM:
      DrvConfirmEvent();
      break;
    case IOCTL_SETPID:
      ServiceProcessPID = load_le32(buffer + LENGTH_WORD);
      break;
    case IOCTL_GETDDATALEN:
      store_le32(buffer, 0);
      store_le32(buffer + LENGTH_WORD, FLTS_GetDDataLen());
      break;
    case IOCTL_GETDDATA:
      FLTS_GetDData(reinterpret_cast<char *>(buffer), total);
      break;
    case IOCTL_SETVPNADAPTER:
      store_le32(buffer, static_cast<uint32_t>(FLTS_SetVpnAdapter(name, total - LENGTH_WORD)));
      break;
    case IOCTL_GETDRVQUEUES:
      answer_drvqueues(buffer);
      break;
    case IOCTL_CHECKVPNADAPTER:
      store_le32(buffer, static_cast<uint32_t>(FLTS_CheckVpnAdapter(name, total - LENGTH_WORD)));
      break;
  }
  return 0;
}

}  // namespace

extern "C" uint32_t Zor_Filter_DRV_IoControl_Function(uint32_t code, uint8_t *buffer,
                                                      uint32_t *length) {
  if (!buffer || !length || *length == 0) return 1;
  if (*length < LENGTH_WORD) return 1;
  uint32_t total = load_le32(buffer);
  if (total > *length) total = *length;
  if (code <= RQC_LAST_FRAMED) return answer_framed(code, buffer, total);
  if (is_rejected(code)) {
    store_le32(buffer, 0);
    return 1;
  }
  if (needs_eight_bytes(code) && total < LENGTH_WORD + VALUE_WORD) return 1;
  return answer_unframed(code, buffer, total);
}
