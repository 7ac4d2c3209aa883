// A program that links the library statically gets no load notification for
// it: the program's own start and exit stand in for process attach and
// detach. The DLL never contains this file; its entry point does the same.
#include "port/win32/crc_table.h"
#include "port/win32/thread_failure.h"

namespace {

struct CrcTableForThisProcess {
  CrcTableForThisProcess() {
    (void)qx318::BuildCrcTable();
    (void)qx318::AllocateFailureSlot();
  }
  ~CrcTableForThisProcess() {
    qx318::ReleaseFailureSlot();
    (void)qx318::ReleaseCrcTable();
  }
  CrcTableForThisProcess(const CrcTableForThisProcess &) = delete;
  CrcTableForThisProcess &operator=(const CrcTableForThisProcess &) = delete;
};

// Without a table every CRC update fails, so every exchange fails cleanly.
const CrcTableForThisProcess crc_table_for_this_process;

}  // namespace
