// The exported edge: every exported function that performs a call opens one
// ExportedCall and returns through its Finish; none clears or collapses the
// reason by hand. Entry clears the thread's reason, so that it reads 0 after
// a call that succeeded; Finish makes sure a failure has a reason, writes
// the trace's lines for the call and collapses the reason to the 1/0 result.
// (QX318_GetLastFailure and its companions only read the reason: they
// perform no call and must not clear it.)
//
// Three kinds of call: one on an open port (its exchange is traced when the
// port is); an open, which has no port until the converter gives one; and a
// close, which ends the port's trace.
#pragma once

#include <cstdint>

#include "QX318_RS485.h"
#include "diagnostics/failure.h"
#include "diagnostics/trace.h"

namespace qx318 {

class ExportedCall {
 public:
  // A call on port.
  explicit ExportedCall(PortHandle port) : ExportedCall(Kind::kExchange, port, 0) {}
  // An open at baud_rate.
  static ExportedCall Open(uint32_t baud_rate) { return {Kind::kOpen, nullptr, baud_rate}; }
  // A close.
  static ExportedCall Close() { return {Kind::kClose, nullptr, 0}; }

  ~ExportedCall() = default;
  ExportedCall(const ExportedCall &) = delete;
  ExportedCall &operator=(const ExportedCall &) = delete;

  // Open: the converter is asked for description from here on, so the open
  // is traced whatever comes of it; one refused for its arguments is not.
  void Opening(const char *description) { description_ = description; }
  // Open: the port the converter gave, traced from here on when QX318_TRACE
  // is set.
  void Opened(PortHandle port) { port_ = port; }
  // Close: the port's trace ends, before its handle goes back.
  void Closing(PortHandle port) { TraceClosedPort(port); }

  int32_t Finish(bool ok) {
    if (!ok && CurrentFailure() == QX318_FAIL_NONE) {
      (void)Fail(QX318_FAIL_PORT_ERROR, "failed without a recorded reason");
    }
    if (traced_) EndTracedExchange(ok);
    if (kind_ == Kind::kOpen && description_ != nullptr) {
      if (ok) {
        TraceOpenedPort(port_, description_, baud_rate_);
      } else {
        TraceFailedOpen(description_);
      }
    }
    return ok ? 1 : 0;
  }

 private:
  enum class Kind { kExchange, kOpen, kClose };

  ExportedCall(Kind kind, PortHandle port, uint32_t baud_rate)
      : kind_(kind),
        port_(port),
        baud_rate_(baud_rate),
        traced_(kind == Kind::kExchange && AnyPortTraced() && BeginTracedExchange(port)) {
    ClearFailure();
  }

  Kind kind_;
  PortHandle port_;
  uint32_t baud_rate_;
  bool traced_;
  const char *description_ = nullptr;
};

}  // namespace qx318
