#include "Service/common/gateway_socket.h"
