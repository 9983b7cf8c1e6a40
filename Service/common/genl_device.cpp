#include "Service/common/genl_device.h"
