// The frame trace: when QX318_TRACE names a file (or "-" for standard error)
// as a port is opened, every request, answer and failure on that port is
// appended to it, one line each, each line in one write so that lines from
// several threads never mix. The line format is described in the README.
#pragma once

#include <atomic>
#include <cstdint>

#include "QX318_RS485.h"

namespace qx318 {

// How many ports are traced; 0 makes every hook a single branch.
extern std::atomic<int32_t> traced_port_count;
inline bool AnyPortTraced() { return traced_port_count.load(std::memory_order_relaxed) != 0; }

// Called by a successful open: starts tracing port when QX318_TRACE is set.
void TraceOpenedPort(PortHandle port, const char *description, uint32_t baud_rate);
// Called by an open that failed: the failure goes to the trace if one is set.
void TraceFailedOpen(const char *description);
// Called by close: ends the port's trace.
void TraceClosedPort(PortHandle port);

// True when port is traced; the exchange's bytes are then collected for the
// calling thread until EndTracedExchange. Costs one load when nothing is
// traced.
bool BeginTracedExchange(PortHandle port);
void EndTracedExchange(bool ok);

// Hooks in the port layer, cheap no-ops unless an exchange is traced.
void TraceRequest(const uint8_t *bytes, uint32_t count, uint32_t written);
void TraceReceived(const uint8_t *bytes, uint32_t count);

}  // namespace qx318
