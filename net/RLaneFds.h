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

}  // namespace vantor
