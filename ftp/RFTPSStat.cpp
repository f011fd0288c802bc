// STAT: the session's counters, ratio, quota and running transfer. Answered
// in every command state, also before login.
#include "ftp/RFTPSStat.h"

#include <string>
#include <string_view>

#include "fs/RPath.h"
#include "ftp/RFTPMessages.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPStrings.h"
#include "ftp/RFTPVariables.h"

namespace vantor {
namespace {

// The last component of the file's client path.
std::string TransferName(const RFTPSComInterp& s) {
  const std::string client = s.ClientPathOf(s.Transfer.fileName);
  const size_t slash = client.find_last_of("/\\");
  return slash == std::string::npos ? client : client.substr(slash + 1);
}

void SendExpandedLine(RFTPSComInterp& s, uint32_t id) {
  std::string line = LoadStr(id);
  ExpandVariables(s, line);
  s.Reply(line);
}

}  // namespace

void HandleStat(RFTPSComInterp& s, std::string_view) {
  SendExpandedLine(s, kReplyStatFirst);
  SendExpandedLine(s, kTextStatStored);
  SendExpandedLine(s, kTextStatRetrieved);
  for (const std::string& line : RatioQuotaLines(s)) s.Reply(line);
  const int64_t bytes = s.Transfer.Bytes();
  const uint64_t moved = bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
  if (s.Transfer.State() == XS_Receiving) {
    s.ReplyStr(kTextStatReceiving, TransferName(s), moved);
  } else if (s.Transfer.State() == XS_Sending) {
    // The position in the file, so that a resumed download reads "x of size".
    const uint64_t start =
        s.Transfer.startOffset > 0 ? static_cast<uint64_t>(s.Transfer.startOffset) : 0;
    int64_t size = s.Transfer.fileSize > 0 ? s.Transfer.fileSize
                                           : FileSize(s.FsSettings(), s.Transfer.fileName);
    if (size < 0) size = 0;
    s.ReplyStr(kTextStatSending, TransferName(s), start + moved, static_cast<uint64_t>(size));
  }
  s.ReplyStr(kReplyStatEnd);
}

}  // namespace vantor
