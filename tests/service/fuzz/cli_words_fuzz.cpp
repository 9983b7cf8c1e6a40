// libFuzzer target: what the command-line client reads of others' bytes: a
// daemon message (reply or push; zero-padded to its 18432 bytes) put into
// words with its exit status, and the same bytes as an answer on the owner
// channel.
//
// Input: the message's bytes from its first field on.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/solvarin-cli/owner_channel.h"
#include "tools/solvarin-cli/push_words.h"
#include "tools/solvarin-cli/reply_words.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto m = std::make_unique<ServicePipeMessage_t>();
  memset(m.get(), 0, sizeof *m);
  memcpy(m.get(), data, size < sizeof *m ? size : sizeof *m);
  RequestReplyMeaning(*m, {m->value2, m->result});
  ConnectionReplyMeaning(*m, {static_cast<int32_t>(m->value1), "203.0.113.1", m->clientN > 0 ? 5u : 0u});
  DescribePush(*m);
  ConnectProgress(*m);
  TunnelDownReason(*m, m->clientN);
  StatisticsWords(m->payload);
  std::vector<std::string> lines;
  int exitCode = 0;
  if (ParseOwnerAnswer(std::string(reinterpret_cast<const char*>(data), size), &lines, &exitCode)) {
    OwnerChannelValue(lines, "pid");
  }
  return 0;
}
