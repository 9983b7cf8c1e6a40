#include "tools/solvarin-cli/push_words.h"

#include <cstdio>
#include <cstring>

namespace {

const char* const kStates[] = {"CS_NOINIT",    "CS_PCONNECTING", "CS_APP_SYNRQ", "CS_WAIT_SYNRR",
                               "CS_APP_SYNOK", "CS_WAIT_SYNOKF", "CS_APP_KEYS",  "CS_CONNECT"};

std::string state(uint32_t s) {
  std::string text = "state " + std::to_string(s);
  if (s < 8) text += std::string(" (") + kStates[s] + (s == 7 ? ", connected)" : ")");
  return text;
}

std::string why(uint32_t reason) {
  switch (reason) {
    case 1: return ", the filter asked for a reconnect";
    case 2: return ", reconnect after stand-by";
    case 3: return ", cleaned up after stand-by";
  }
  return "";
}

}  // namespace

std::string DescribePush(const ServicePipeMessage_t& m) {
  switch (m.code) {
    case 45: return "the service is stopping: this client is closed";
    case 50: return "the tunnel changed: " + state(m.result) + why(m.value2);
    case 51: return "local rules: " + std::to_string(m.result) + " header bytes, " + std::to_string(m.value1) +
                    " table bytes";
    case 52: return "local rule texts changed: " + std::to_string(m.result) + " entries";
    case 54: return "the first gateway answers again: the tunnel was moved off the alternative one";
    case 58: return "the service asks for the SYN request's signature material";
    case 59: return "the service asks to check the gateway's PKI data (" + std::to_string(m.result) + " bytes)";
    case 60: return "the gateway refused the SYN request, detail " + std::to_string(m.result);
    case 61: return "the gateway refused the SYN OK";
    case 62: return "the gateway reports a one-time password error, code " + std::to_string(m.result);
    case 63: return std::string("the session ended: ") + (m.value1 == 74 ? "session time-out" : "ended by the gateway");
    case 64: return "access level " + std::to_string(m.value1);
    case 65: return "another window client asked for the window count";
  }
  return "";
}

namespace {

uint32_t wordAt(const ServicePipeMessage_t& m, size_t offset) {
  uint32_t v;
  memcpy(&v, m.payload + offset, 4);
  return v;
}

// The filter's 72 statistics bytes as 18 words (their meaning is the filter's).
std::string statisticsWords(const ServicePipeMessage_t& m) {
  std::string text = "statistics:";
  for (size_t i = 0; i < 72; i += 4) {
    text += ' ';  // appended: gcc's -O3 warns about a prefix put in front
    text += std::to_string(wordAt(m, i));
  }
  return text;
}

}  // namespace

std::string DescribeReply(const ServicePipeMessage_t& m) {
  switch (m.code) {
    case 1: return m.result < 8 ? std::string("state ") + kStates[m.result] : "state " + std::to_string(m.result);
    case 18: return m.result == 0 ? statisticsWords(m) : "no statistics (" + std::to_string(m.result) + ")";
    case 35:
      if (m.result != 0) return "no firewall information";
      return "firewall: " + std::to_string(wordAt(m, 0)) + " sessions, " + std::to_string(wordAt(m, 4)) +
             " bytes of session table, throughput " + std::to_string(wordAt(m, 8)) + " / " +
             std::to_string(wordAt(m, 12));
  }
  return "";
}
