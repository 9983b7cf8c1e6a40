#include "Service/common/event_dispatcher.h"
