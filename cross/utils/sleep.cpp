#include "cross/utils/sleep.h"

#include <chrono>
#include <thread>

void Sleep(unsigned int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void utl_SleepMs(unsigned int ms) { Sleep(ms); }
