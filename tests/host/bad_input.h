// A table of malformed and unexpected messages for zornfhost's control
// endpoint: each must get an error reply or be dropped, and the endpoint
// must answer a good request afterwards.
#pragma once
#include "tests/host/netlink_client.h"

void expect_endpoint_survives_bad_input(testnl::Client &client);
