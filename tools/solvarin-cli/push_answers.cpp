#include "tools/solvarin-cli/push_answers.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "tools/solvarin-cli/test_key.h"

namespace {

void putPayload(ServicePipeMessage_t* msg, const std::vector<unsigned char>& bytes) {
  size_t n = std::min<size_t>(bytes.size(), IPC_PAYLOAD_SIZE);
  if (n > 0) memcpy(msg->payload, bytes.data(), n);
}

uint32_t u32At(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return v;
}

// The PKI block: 28 header bytes (lengths A at 4, B at 8, C at 20), then the
// B bytes (the gateway's certificate block) and the A bytes (its key). The
// verdict is 0 when the block is whole and carries a key; the key data
// returned are the key's 64 bytes.
uint32_t checkPkiBlock(const ServicePipeMessage_t& msg, std::vector<unsigned char>* key) {
  const uint8_t* block = msg.payload;
  uint64_t a = u32At(block + 4), b = u32At(block + 8), c = u32At(block + 20);
  if (a < 64 || 28 + a + b + c > IPC_PAYLOAD_SIZE) return 1;
  key->assign(block + 28 + b, block + 28 + b + 64);
  return 0;
}

}  // namespace

void AnswerPush(ServicePipeMessage_t* msg, const PushAnswers& answers) {
  if (msg->code == IPC_MSG_SIGN_SYN) {
    std::vector<unsigned char> material = answers.signAnswer.empty() ? TestKeyMaterial() : answers.signAnswer;
    // The material's byte count goes at byte 16, where a client's answer
    // carries its byte count.
    msg->result = 0;
    msg->value2 = static_cast<uint32_t>(material.size());
    putPayload(msg, material);
  } else {
    std::vector<unsigned char> key;
    uint32_t verdict = checkPkiBlock(*msg, &key);
    if (answers.pkiVerdictGiven) verdict = answers.pkiVerdict;
    if (!answers.pkiAnswer.empty()) key = answers.pkiAnswer;
    memset(msg->payload, 0, IPC_PAYLOAD_SIZE);
    msg->value2 = verdict;
    msg->value1 = static_cast<uint32_t>(key.size());
    putPayload(msg, key);
  }
}
