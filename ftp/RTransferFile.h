// The file of one transfer: opened with the sharing rules of
// `OpenFilesUploadMode`, positioned for REST and APPE, and undone cleanly when
// an upload fails.
//
// Sharing on this platform (advisory open-file locks, see platform/RFileLock.h):
//   readers (RETR) share reading and writing with everyone, but are refused
//   while an upload holds the file without read sharing;
//   "Exclusive": an upload shares nothing: no second upload, no reader;
//   "Any" (default): first as "Exclusive", else sharing reading only, so two
//   uploads to one file can never interleave while downloads may go on;
//   "Shared": no lock at all (the administrator asked for it).
//
// An upload's destructive step (truncation for STOR) is deferred to
// `Commit`, which the session calls once the data connection is up: an upload
// whose connection never opens leaves an existing file exactly as it was.
// Loop thread only; the object owns the descriptor. The data socket writes
// upload blocks into it through its own copy (socket to file); the session
// settles each block here with `BlockDone`, and nothing ends an upload while
// a block is out, so nothing is ever written after a cut or a removal.
#pragma once

#include <errno.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/RFd.h"

namespace vantor {

enum class RUploadSharing { Shared, Exclusive, Any };
enum class RTransferOpenMode { Read, Write, Append };  // "r", "w", "a"

class RTransferFile {
 public:
  RTransferFile() = default;
  RTransferFile(const RTransferFile&) = delete;
  RTransferFile& operator=(const RTransferFile&) = delete;
  ~RTransferFile() { Close(); }

  // Returned by Open when "w" is asked to restart beyond the end of the
  // file: the gap would be filled with zeros that no client sent.
  static constexpr int kBeyondEnd = -ERANGE;

  // Opens `posixPath` (no link followed). "w" with offset 0 will truncate to
  // 0 on Commit, "w" with an offset keeps the first `restartOffset` bytes
  // (which must exist: kBeyondEnd otherwise); "a" writes at the end. Returns
  // 0 or -errno; on failure nothing is open and nothing was created.
  [[nodiscard]] int Open(const std::string& posixPath, RTransferOpenMode mode,
                         int64_t restartOffset, RUploadSharing sharing);
  // Applies the deferred truncation. Returns 0 or -errno.
  [[nodiscard]] int Commit();
  // Bytes the truncation of Commit removed from the file (0 before it).
  int64_t CutBytes() const { return cut_; }

  // Reads the next block; bytes read, 0 at the end, -errno on failure.
  [[nodiscard]] int64_t Read(void* buf, size_t len);
  // Writes a whole block; its length or -errno (-ENOSPC when the disk is
  // full). A block that fails leaves nothing of itself: the file is cut back
  // to where the block began, so what is on disk is what was counted.
  [[nodiscard]] int64_t Write(const void* buf, size_t len);
  // Writes a whole block that waits in the pipe `pipeFd`; as Write.
  [[nodiscard]] int64_t WriteFromPipe(int pipeFd, size_t len);
  // Settles a block written through another copy of the descriptor (the
  // data socket's, socket to file): `result` is what went out, -errno when
  // it failed. As Write: a block that fails is cut back off the file.
  int64_t BlockDone(int64_t result, size_t len);
  // Bytes of the blocks written whole since Open.
  int64_t Written() const { return written_; }

  // Closes and keeps the file as it is.
  void Close();
  // Closes an upload that never got its data connection: a file this upload
  // created is removed, an existing file was never changed. Returns the
  // bytes the disk lost.
  int64_t Abandon();
  // Closes a failed upload and removes what it wrote: a file it created, or
  // whose earlier contents it replaced, is deleted; a file it appended to or
  // resumed is cut back to the length it had before. Returns the bytes the
  // disk lost.
  // Removal is by identity, never by name: when another client renamed the
  // file away or put another one under its name, only this upload's own
  // file is touched, and one that is no longer under its name stays.
  int64_t DeletePartial();
  // True once the open file has no name left: another client deleted it or
  // renamed a file over it. Its bytes leave the disk with the last close.
  bool Unlinked() const;
  // True while an upload of this process holds the file `posixPath` names
  // open. Loop thread only.
  static bool UploadHolds(const std::string& posixPath);

  // Current size of the open file, -errno on failure.
  int64_t Size() const;
  bool IsOpen() const { return fd_.Valid(); }
  int Fd() const { return fd_.Get(); }
  bool Created() const { return created_; }
  int64_t StartOffset() const { return startOffset_; }
  const std::string& Path() const { return path_; }

 private:
  [[nodiscard]] int Lock(bool reader, RUploadSharing sharing);
  // 0 once the file is open and its deferred truncation done, else -errno.
  [[nodiscard]] int WritableNow();
  // Removes the file when its name still leads to it; the bytes removed.
  int64_t RemoveOwn();
  void Register();
  void Unregister();

  RFd fd_;
  std::string path_;
  RTransferOpenMode mode_ = RTransferOpenMode::Read;
  bool created_ = false;
  bool committed_ = false;
  int64_t preSize_ = 0;      // size before the upload touched it
  int64_t startOffset_ = 0;  // the restart offset the file was opened with
  int64_t pos_ = 0;          // where the next block goes (the end of the file)
  int64_t written_ = 0;
  int64_t cut_ = 0;
  // The open upload's file, as the table of open uploads knows it.
  uint64_t dev_ = 0;
  uint64_t ino_ = 0;
  bool registered_ = false;
};

}  // namespace vantor
