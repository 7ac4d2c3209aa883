// The exported edge: every exported function opens one ExportedCall and
// returns through it. Entry clears the thread's reason, so that it reads 0
// after a call that succeeded; Finish writes the trace of the exchange (when
// the port is traced) and collapses the reason to the 1/0 result.
#pragma once

#include <cstdint>

#include "QX318_RS485.h"
#include "diagnostics/failure.h"
#include "diagnostics/trace.h"

namespace qx318 {

class ExportedCall {
 public:
  explicit ExportedCall(PortHandle port) : traced_(AnyPortTraced() && BeginTracedExchange(port)) {
    ClearFailure();
  }
  ~ExportedCall() = default;
  ExportedCall(const ExportedCall &) = delete;
  ExportedCall &operator=(const ExportedCall &) = delete;

  int32_t Finish(bool ok) {
    if (!ok && CurrentFailure() == QX318_FAIL_NONE) {
      (void)Fail(QX318_FAIL_PORT_ERROR, "failed without a recorded reason");
    }
    if (traced_) EndTracedExchange(ok);
    return ok ? 1 : 0;
  }

 private:
  bool traced_;
};

}  // namespace qx318
