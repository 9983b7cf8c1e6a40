#pragma once
// What a pushed message, or the reply to a command, means in words for the
// people reading the client's output ("" for codes it does not know).
#include <string>

#include "cross/utils/ipc_message.h"

std::string DescribePush(const ServicePipeMessage_t& msg);
std::string DescribeReply(const ServicePipeMessage_t& msg);
