#pragma once
// This client's answers to the daemon's synchronous requests: the SYN
// request's signature material (58) and the verdict on the gateway's PKI
// data (59), written over the request.
#include "cross/utils/ipc_message.h"
#include "tools/solvarin-cli/cli_options.h"

void AnswerPush(ServicePipeMessage_t* msg, const PushAnswers& answers);
