// What the kernel knows about a TCP connection, and how it acknowledges, in
// one place: Linux has the figures and the switch; elsewhere the network
// port falls back to fixed figures and the stack's own acknowledgements.
#pragma once

#include <cstdint>
#include <optional>

namespace qx318::posix {

// The connection's round-trip figures in milliseconds, as the kernel keeps
// them (the smoothed round trip and the retransmission time-out, which
// already holds the round trip's variance).
struct RoundTrip {
  uint32_t smoothed_ms = 0;
  uint32_t retransmission_timeout_ms = 0;
};

// None where the kernel does not tell.
std::optional<RoundTrip> RoundTripOf(int fd);

// Acknowledges what arrived at once instead of delaying the acknowledgement
// for a reply to ride on: a server that sends with Nagle's algorithm holds
// its next small segment until the last one is acknowledged. Linux leaves
// this mode again by itself, so it is asked for after every receive.
void AcknowledgeAtOnce(int fd);

// Bytes sent but not yet acknowledged by the peer (what is still in flight
// or queued); none where the kernel does not tell.
std::optional<uint32_t> UnacknowledgedBytes(int fd);

}  // namespace qx318::posix
