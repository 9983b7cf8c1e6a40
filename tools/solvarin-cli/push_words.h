#pragma once
// What a pushed message means in words, for the people reading the
// client's output: the message itself, the connect stage it tells of, and
// why the tunnel ended when it tells that.
#include <string>

#include "cross/utils/ipc_message.h"

// "" for codes it does not know.
std::string DescribePush(const ServicePipeMessage_t& msg);
// The stage of this client's connect attempt that the push shows ("" none).
std::string ConnectProgress(const ServicePipeMessage_t& msg);
// Why the tunnel is down, when the push says it is ("" otherwise); ownId is
// this client's id.
std::string TunnelDownReason(const ServicePipeMessage_t& msg, int ownId);
