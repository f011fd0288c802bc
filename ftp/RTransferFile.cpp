#include "ftp/RTransferFile.h"

#include <errno.h>

#include <map>
#include <utility>

#include "platform/RFileIO.h"
#include "platform/RFileLock.h"
#include "platform/RFileSys.h"

namespace vantor {
namespace {

// Files held open by uploads, by device and inode, with how many uploads
// hold each. A name removed or replaced while an upload writes is credited
// by that upload when it ends, not by the command that took the name away,
// so the usage follows the bytes the upload still adds. Loop thread only.
std::map<std::pair<uint64_t, uint64_t>, int>& OpenUploads() {
  static std::map<std::pair<uint64_t, uint64_t>, int> uploads;
  return uploads;
}

}  // namespace

void RTransferFile::Register() {
  RFdInfoStr info;
  if (registered_ || !fd_.Valid() || FdInfo(fd_.Get(), info) != 0) return;
  dev_ = info.dev;
  ino_ = info.ino;
  ++OpenUploads()[{dev_, ino_}];
  registered_ = true;
}

void RTransferFile::Unregister() {
  if (!registered_) return;
  registered_ = false;
  auto it = OpenUploads().find({dev_, ino_});
  if (it != OpenUploads().end() && --it->second <= 0) OpenUploads().erase(it);
}

bool RTransferFile::UploadHolds(const std::string& posixPath) {
  if (OpenUploads().empty()) return false;
  RFileStatStr st;
  if (!FsStat(posixPath, st) || st.type != RFileType::Regular) return false;
  return OpenUploads().count({st.dev, st.ino}) != 0;
}

bool RTransferFile::Unlinked() const {
  RFdInfoStr info;
  return fd_.Valid() && FdInfo(fd_.Get(), info) == 0 && info.nlink == 0;
}

int64_t RTransferFile::RemoveOwn() {
  const int64_t size = FdSize(fd_.Get());
  if (FsRemoveFileOf(path_, fd_.Get()) != 0) return 0;
  return size > 0 ? size : 0;
}

int RTransferFile::Lock(bool reader, RUploadSharing sharing) {
  if (reader) return FdLockSlot(fd_.Get(), RLockSlot::Reader, false);
  switch (sharing) {
    case RUploadSharing::Shared:
      return 0;
    case RUploadSharing::Exclusive: {
      const int rc = FdLockSlot(fd_.Get(), RLockSlot::Writer, true);
      return rc != 0 ? rc : FdLockSlot(fd_.Get(), RLockSlot::Reader, true);
    }
    case RUploadSharing::Any: {
      // First attempt shares nothing; the second shares reading. Either way
      // the writer slot keeps a second upload out.
      const int rc = FdLockSlot(fd_.Get(), RLockSlot::Writer, true);
      if (rc != 0) return rc;
      (void)FdLockSlot(fd_.Get(), RLockSlot::Reader, true);
      return 0;
    }
  }
  return -EINVAL;
}

int RTransferFile::Open(const std::string& posixPath, RTransferOpenMode mode, int64_t restartOffset,
                        RUploadSharing sharing) {
  Close();
  path_ = posixPath;
  mode_ = mode;
  created_ = false;
  committed_ = false;
  startOffset_ = restartOffset < 0 ? 0 : restartOffset;
  pos_ = 0;
  written_ = 0;
  cut_ = 0;
  RFdResult opened;
  if (mode == RTransferOpenMode::Read) {
    opened = FsOpenNoFollow(posixPath, ROpenMode::Read);
  } else {
    // Create only when absent, so a failure later knows whether the name is ours.
    opened = FsOpenNoFollow(posixPath, ROpenMode::WriteNew);
    if (opened.fd.Valid()) {
      created_ = true;
    } else if (opened.err == -EEXIST) {
      opened = FsOpenNoFollow(posixPath, ROpenMode::WriteExisting);
    }
  }
  if (!opened.fd.Valid()) {
    path_.clear();
    return opened.err != 0 ? opened.err : -EIO;
  }
  fd_ = std::move(opened.fd);
  int rc = Lock(mode == RTransferOpenMode::Read, sharing);
  if (rc == 0) {
    preSize_ = FdSize(fd_.Get());
    if (preSize_ < 0) rc = static_cast<int>(preSize_);
  }
  if (rc == 0 && mode == RTransferOpenMode::Write && startOffset_ > preSize_) rc = kBeyondEnd;
  if (rc == 0) {
    int64_t pos = 0;
    if (mode == RTransferOpenMode::Append) {
      pos = FdSeek(fd_.Get(), 0, true);
    } else if (startOffset_ > 0) {
      pos = FdSeek(fd_.Get(), startOffset_, false);
    }
    if (pos < 0) rc = static_cast<int>(pos);
    pos_ = pos;
  }
  if (rc != 0) {
    if (created_) (void)RemoveOwn();
    fd_.Reset();
    path_.clear();
    created_ = false;
    return rc;
  }
  if (mode != RTransferOpenMode::Read) Register();
  return 0;
}

int RTransferFile::Commit() {
  if (!fd_.Valid() || committed_) return 0;
  committed_ = true;
  if (mode_ != RTransferOpenMode::Write) return 0;
  // Nothing to do when the file already ends at the restart offset (a file
  // this upload created, usually). Truncating anyway costs dearly on ext4:
  // a truncation to zero makes the close write the whole new file back
  // before it returns.
  const int64_t size = FdSize(fd_.Get());
  if (size < 0) return static_cast<int>(size);
  if (size == startOffset_) return 0;
  // Shrunk since Open by someone else: never extend it with zeros.
  if (size < startOffset_) return kBeyondEnd;
  const int rc = FdTruncate(fd_.Get(), startOffset_);
  if (rc == 0 && size > startOffset_) cut_ = size - startOffset_;
  return rc;
}

int64_t RTransferFile::Size() const {
  if (!fd_.Valid()) return -EBADF;
  return FdSize(fd_.Get());
}

int64_t RTransferFile::Read(void* buf, size_t len) {
  if (!fd_.Valid()) return -EBADF;
  return FdRead(fd_.Get(), buf, len);
}

int RTransferFile::WritableNow() {
  if (!fd_.Valid()) return -EBADF;
  return committed_ ? 0 : Commit();
}

int64_t RTransferFile::BlockDone(int64_t result, size_t len) {
  if (result == static_cast<int64_t>(len)) {
    pos_ += result;
    written_ += result;
    return result;
  }
  // Part of the block may have gone out before the failure (a disk that
  // filled up half-way): take it back.
  (void)FdTruncate(fd_.Get(), pos_);
  (void)FdSeek(fd_.Get(), pos_, false);
  return result < 0 ? result : -EIO;
}

int64_t RTransferFile::Write(const void* buf, size_t len) {
  const int rc = WritableNow();
  return rc != 0 ? rc : BlockDone(FdWriteAll(fd_.Get(), buf, len), len);
}

int64_t RTransferFile::WriteFromPipe(int pipeFd, size_t len) {
  const int rc = WritableNow();
  return rc != 0 ? rc : BlockDone(FdSpliceAll(pipeFd, fd_.Get(), len), len);
}

void RTransferFile::Close() {
  Unregister();
  fd_.Reset();
  path_.clear();
  created_ = false;
  committed_ = false;
}

int64_t RTransferFile::Abandon() {
  int64_t freed = 0;
  if (fd_.Valid() && mode_ != RTransferOpenMode::Read) {
    if (created_) {
      freed = RemoveOwn();
    } else if (committed_) {
      return DeletePartial();
    }
  }
  Close();
  return freed;
}

int64_t RTransferFile::DeletePartial() {
  int64_t freed = 0;
  if (fd_.Valid() && mode_ != RTransferOpenMode::Read) {
    const bool resumed = mode_ == RTransferOpenMode::Append || startOffset_ > 0;
    if (!created_ && resumed) {
      const int64_t keep = mode_ == RTransferOpenMode::Append
                               ? preSize_
                               : (startOffset_ < preSize_ ? startOffset_ : preSize_);
      const int64_t size = FdSize(fd_.Get());
      if (FdTruncate(fd_.Get(), keep) == 0 && size > keep) freed = size - keep;
    } else {
      freed = RemoveOwn();
    }
  }
  Close();
  return freed;
}

}  // namespace vantor
