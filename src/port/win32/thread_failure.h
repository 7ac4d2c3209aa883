// The slot that holds each thread's failure record on Windows. Allocated
// when the library joins a process (beside the CRC table) and released when
// it leaves; each thread's record is made on its first call and freed by the
// fiber-storage callback when the thread ends.
#pragma once

namespace qx318 {

bool AllocateFailureSlot();
void ReleaseFailureSlot();

}  // namespace qx318
