#pragma once
// The daemon's watch on the filter between its events. Every
// FilterWatch_PeriodMs (while no connect attempt runs) the event poller asks
// the filter for its information (RQC_GETINFO):
// - no answer at all (the channel fails: zornfhost ended, the module was
//   unloaded): the filter is gone and the tunnel with it;
// - the daemon's mirror says connected while the filter says idle, on two
//   probes in a row (the filter was restarted between two probes; a
//   disconnect of the filter's own raises an event, handled in between):
//   the tunnel is gone.
// Either way the daemon disconnects on its own (tunnel owner, status file,
// DNS suffixes), its state becomes 0 and the clients get message 50. A
// filter that answers is given the event listener's port again
// (IOCTL_SETPID only stores it), so one that was restarted sends its events
// to the daemon once more.
#include <cstdint>

// Period of the probes (ms; five times as long while the filter is gone);
// 0 switches the watch off.
extern unsigned FilterWatch_PeriodMs;

// Called on every poller tick with the port the listener receives on (0:
// none); probes when the period has passed.
void FilterWatch_Tick(uint32_t listenerPort);
// Starts the period anew and forgets what the probes found (the listener's
// start).
void FilterWatch_Reset();
