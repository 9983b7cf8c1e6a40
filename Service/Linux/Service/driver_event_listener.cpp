#include "Service/Linux/Service/driver_event_listener.h"
