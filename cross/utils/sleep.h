#pragma once
// Blocks the calling thread for ms milliseconds.
void Sleep(unsigned int ms);
void utl_SleepMs(unsigned int ms);
