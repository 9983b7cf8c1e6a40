// IPv4 fragmentation of the frames the filter sends towards the network.
// The hook a host calls the filter from lies below IP, where nothing cuts a
// datagram to the device's MTU (a kernel's device hook does not, nor does
// zornfhost's packet socket): the library cuts the datagrams it built
// itself, for every host alike, where each frame to the network passes
// whole and protected, the send queues' drain (send_queues.h). The DF bit
// of a data datagram is the inner packet's, carried for the gateway to give
// back (tunnel_control.h): a datagram with DF is cut too, each fragment
// keeping the bit, so that the joined datagram still shows it. Each
// fragment is a frame of its own with the Ethernet header of the datagram's
// frame; a fragment after the first keeps only the options marked to be
// copied.
#pragma once
#include "kern_host.h"

extern "C" {
// The payload bytes each fragment of the frame's datagram (Ethernet header,
// IPv4) carries within `mtu` (a multiple of 8); 0 when the frame is not cut:
// it fits, is no whole IPv4 datagram (or a fragment), or `mtu` leaves no
// room.
uint32_t IPFragmentStep(const uint8_t *frame, uint32_t len, uint32_t mtu);
// The length of the fragment frame that starts `off` payload bytes into the
// datagram (off < the payload, a multiple of step); the same step.
uint32_t IPFragmentFrameLen(const uint8_t *frame, uint32_t step, uint32_t off);
// Builds that fragment frame at out (IPFragmentFrameLen bytes).
void IPPutFragment(const uint8_t *frame, uint32_t step, uint32_t off, uint8_t *out);
// The payload bytes of the frame's datagram.
uint32_t IPFragmentPayload(const uint8_t *frame);
}
