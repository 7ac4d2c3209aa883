// Low-latency mode of a serial driver. A USB-to-serial converter holds short
// bursts of received bytes back for up to its latency timer (16 ms on many)
// before it hands them to the host; in low-latency mode the driver shortens
// that (ftdi_sio: to 1 ms), which is most of a short exchange's round trip.
// Kept in a file of its own: the driver request is Linux's.
#pragma once

namespace qx318::posix {

// Asks the driver behind fd for low-latency mode. True when the port is in
// that mode afterwards. A device without the request (a pseudo-terminal, a
// platform without it) or a driver that refuses it leaves the port as it
// was: the mode is worth having, never worth failing an open for.
bool RequestLowLatency(int fd);

}  // namespace qx318::posix
