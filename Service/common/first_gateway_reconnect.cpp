#include "Service/common/first_gateway_reconnect.h"
