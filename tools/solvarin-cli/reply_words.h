#pragma once
// What the daemon's replies mean, in words, and the exit status each leads
// to. Signed fields (statuses, error values) are read as signed; error
// values carry the project's driver error texts (GetDrvError).
#include <cstdint>
#include <string>

#include "cross/utils/ipc_message.h"

struct Meaning {
  std::string words;  // "" when there is nothing to say
  int exitCode;       // kExit* of exit_codes.h
};

// A tunnel state in words: "not connected", "connecting (STAGE)", "connected".
std::string StateWords(uint32_t state);
// Command 1's answer in words: the state and whether an attempt runs; a
// stage with no attempt running is where a failed attempt stopped ("connect
// failed (stopped at: STAGE)").
std::string StateReplyWords(const ServicePipeMessage_t& reply);
// Its name as the filter and the daemon's log spell it: "CS_NOINIT" ...
// "CS_CONNECT"; the number above 7.
std::string StateName(uint32_t state);
// An IPv4 address held in host order, as a.b.c.d.
std::string DottedAddress(uint32_t hostOrder);
// "error N: TEXT"; systemError reads N as an errno value.
std::string ErrorWords(int32_t error, bool systemError = false);
// The two values a request carried at bytes 8 and 12 (the reply does not
// keep them).
struct RequestValues {
  uint32_t first = 0, second = 0;
};
// A reply on the request socket (commands 0 to 41; others come back unchanged).
Meaning RequestReplyMeaning(const ServicePipeMessage_t& reply, RequestValues request);
// What the client knows of its own connect attempt, for the words of a failure.
struct ConnectContext {
  int32_t ownPkiVerdict = 0;  // its verdict on the gateway's PKI data (59), which a
                              // refused attempt reports as its error; 0 none
  std::string gateway;        // "A.B.C.D" it connected to; "" unknown
  unsigned seconds = 0;       // how long the attempt took
};
// A reply on the connection socket: connect (3, 4) or disconnect (6, 7). A
// connect that failed on the link to the gateway says first what happened
// there ("no answer from the gateway A.B.C.D within N s", "the gateway
// refused the connection"), then the raw result and error.
Meaning ConnectionReplyMeaning(const ServicePipeMessage_t& reply, const ConnectContext& context = {});
// The exit status of a connect's result (byte 8) and signed error (byte 16).
int ConnectExitStatus(uint32_t result, int32_t error);
// The 72 statistics bytes of command 18 (an address-table entry) in words.
std::string StatisticsWords(const uint8_t* record);
