// The CRC table's lifetime on Windows: a zero-filled heap block built when
// the library joins a process and released when it leaves. The DLL's entry
// point drives it; a program that links the library statically drives it
// from its own start and exit.
#pragma once

namespace qx318 {

// Allocates and fills the table. False when the block cannot be allocated,
// which must fail the load.
bool BuildCrcTable();

// Releases the table and forgets it. False, keeping the pointer, when there
// is no table or the heap refuses the block.
bool ReleaseCrcTable();

}  // namespace qx318
