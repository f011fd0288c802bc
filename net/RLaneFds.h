// The data threads' copies of the descriptors of a file receive, made at
// its first step and kept for the next ones (internal to net/).
#pragma once

#include "platform/RFd.h"

namespace vantor {

struct RFileRecvFds {
  RFd sock;  // clear receives only: protected ones read through the stream
  RFd pipeRead;
  RFd pipeWrite;
  RFd file;
  int pipeReadOf = -1;  // the caller's numbers they copy
  int pipeWriteOf = -1;
  int fileOf = -1;
};

// A data thread's copies of the socket and of the file or pipe sends or pipe
// receives step with, made at the first step and kept while the steps name
// the same descriptor (a paced download takes thousands of steps).
struct RStepFds {
  RFd sock;
  RFd other;
  int otherOf = -1;  // the caller's number it copies
};

// Whether `fd` is ready for `events` (POLLIN, POLLOUT) within `ms`
// milliseconds. A data step that met an empty or full socket waits this
// long for a peer that keeps up (loopback, a fast LAN) before it goes back
// to the loop: one poll instead of a hand-over each way.
bool ReadyWithin(int fd, short events, int ms);
// That wait: a millisecond, only while no other step waits for the thread.
constexpr int kLaneReadyWaitMs = 1;

}  // namespace vantor
