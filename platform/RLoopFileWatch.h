// Lets a cache of a file on disk skip looking at it while nothing changed:
// the file's directory is watched through inotify, and every event that may
// concern the file moves the token's count. The inotify descriptor is read
// on the message loop, which registers it through `registerFd`.
// Loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/RFd.h"

namespace vantor {

class RLoopFileWatch {
 public:
  using RegisterFd = std::function<bool(int fd, std::function<void(uint32_t)> callback)>;
  explicit RLoopFileWatch(RegisterFd registerFd) : registerFd_(std::move(registerFd)) {}

  // 0 when the file cannot be watched (a link, no inotify).
  uint32_t Watch(const std::string& path);
  // The token's change count; moves on every call once the watch has ended.
  uint64_t Changes(uint32_t token);
  // Counts a change this process made, ahead of its events.
  void NoteWritten(const std::string& path);

 private:
  struct FileWatch {
    std::string path;
    std::string name;  // entry name inside the watched directory
    int dirWd;
    int fileWd = -1;  // the inode the name led to at the last look
    uint64_t changes = 0;
    bool rewatch = false;  // the name may lead to another inode now
    bool ended = false;    // the directory watch is gone: always changed
  };
  void Drain();

  RegisterFd registerFd_;
  RFd inotify_;
  std::vector<FileWatch> watches_;  // token = index + 1
};

}  // namespace vantor
