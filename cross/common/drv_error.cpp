#include "cross/common/drv_error.h"

namespace {

struct ErrorText {
  int code;
  const char* text;
};

// Request statuses of the filter (small negative), results of the request
// gate (-1001, -1002, 5), gateway verdicts on the handshake (positive) and
// the connection stages' own codes.
const ErrorText kErrors[] = {
    {0, "No error"},
    {-1, "Request refused by the filter: bad request header"},
    {-2, "Request refused by the filter: wrong request size"},
    {-3, "The filter has no room for the answer, or the adapter could not be bound"},
    {-4, "Request too short, or out of memory for the SYN request"},
    {-5, "Not possible in the current connection state"},
    {-7, "Local rules out of order or of the wrong size"},
    {-9, "The gateway's confirmation interval is too long"},
    {-15, "The gateway refused the SYN request"},
    {-16, "The gateway refused the SYN request"},
    {-22, "Request value out of range"},
    {-1001, "The filter did not answer"},
    {-1002, "The filter's reply has a wrong size"},
    {-9998, "Connection cancelled"},
    {-9999, "Confirmation time exceeded"},
    {5, "The filter cannot be reached"},
    {16, "No answer from the gateway"},
    {51, "No gateway address"},
    {62, "One-time password error reported by the gateway"},
    {65, "The gateway's certificate status data are wrong"},
    {67, "The gateway refused the SYN OK"},
};

}  // namespace

std::string GetDrvError(int code) {
  for (const ErrorText& e : kErrors) {
    if (e.code == code) return e.text;
  }
  return "Unknown Drv error: " + std::to_string(code);
}
