// The CRC table's lifetime on Windows: a zero-filled LocalAlloc block built
// when the library joins a process and released when it leaves; CrcTable()
// (port/platform.h) hands it out in between. The DLL's entry point
// (dll_main.cpp) drives it; a program that links the library statically
// drives it from its own start and exit (crc_table_static_link.cpp). Nothing
// outside this folder calls these two functions.
//
// Both write the library's only mutable state without a lock: they may run
// only where no exchange can, at process attach and detach under the
// loader lock, or before main and after it. Neither blocks beyond the heap's
// own lock; neither throws.
#pragma once

namespace qx318 {

// Allocates and fills the table. False, with no table, when the block cannot
// be allocated, which must fail the load.
bool BuildCrcTable();

// Releases the table and forgets it. False, keeping the pointer, when there
// is no table or the heap refuses the block.
bool ReleaseCrcTable();

}  // namespace qx318
