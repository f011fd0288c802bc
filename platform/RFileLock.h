// Advisory sharing locks between open files of this process (and any other
// process that plays by the same rules), standing in for the share modes of
// Windows file opens: the transfer rules (no download of a file being
// uploaded, no two uploads to one file) are stated in their terms.
//
// Open-file-description locks are used: they belong to the open file, not to
// the process, so two opens inside the one server process do conflict, and
// closing the descriptor drops them. Two one-byte "slots" far beyond any file
// data carry the locks, so file contents and sizes are never touched:
//   writer slot: held exclusively by a writer that shares writing with nobody;
//   reader slot: shared by every reader, held exclusively by a writer that
//                shares reading with nobody.
#pragma once

namespace vantor {

enum class RLockSlot { Writer, Reader };

// Takes the slot on `fd` without waiting: `exclusive` needs a descriptor open
// for writing, shared one open for reading. Returns 0 or -errno (-EAGAIN when
// another open file holds a conflicting lock).
[[nodiscard]] int FdLockSlot(int fd, RLockSlot slot, bool exclusive);

}  // namespace vantor
