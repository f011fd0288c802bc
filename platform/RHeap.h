// The process heap. glibc keeps memory that was freed in the middle of its
// heap (and raises its mapping threshold after a large block is freed), so a
// burst of large short-lived blocks, such as a big listing, would stay
// resident for the process's lifetime. Any thread.
#pragma once

namespace vantor {

// Hands whole free pages of every arena back to the kernel. Costs a walk of
// the free lists: call it after freeing megabytes, not per block.
void HeapReturnFree();

}  // namespace vantor
