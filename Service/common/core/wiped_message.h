#pragma once
// One 18432-byte message of the service core's own (a reply, a broadcast, a
// push): allocated per use, zero at the start, wiped before it is released.
#include <cstring>
#include <memory>

#include "cross/utils/ipc_message.h"

struct WipedMessage {
  std::unique_ptr<ServicePipeMessage_t> msg = std::make_unique<ServicePipeMessage_t>();
  explicit WipedMessage(uint32_t code = 0) {
    memset(msg.get(), 0, sizeof *msg);
    msg->code = code;
  }
  ~WipedMessage() { memset(msg.get(), 0, sizeof *msg); }
  WipedMessage(const WipedMessage&) = delete;
  WipedMessage& operator=(const WipedMessage&) = delete;
};
