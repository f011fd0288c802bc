// A session's link to the event-hook libraries: its event-hook record and
// the text last returned by a library. (A held command and the events
// parked meanwhile are the session's own state.)
//
// Created with the session, and only when at least one event-hook library is
// loaded; owned by the session. It keeps a share of the handler it was made
// with, so the libraries stay loaded for as long as the session can call
// them (a settings reload does not take them away). Loop thread only.
//
// A held command is released by the main window: MSG_HOOK_RELEASE carries the
// session number, the main window looks the session up by that number, and
// the session calls RaiseAgain() and then replays its parked events. A session
// that is gone by then is simply not found, so a late release never touches
// a freed stub.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/RFTPEventHandler.h"
#include "include/vantor/hooks.h"

namespace vantor {

class RFTPEventStub {
 public:
  // `handler` must not be null.
  RFTPEventStub(std::shared_ptr<RFTPEventHandler> handler, uint32_t session,
                std::string_view clientAddress, std::string_view localAddress);
  RFTPEventStub(const RFTPEventStub&) = delete;
  RFTPEventStub& operator=(const RFTPEventStub&) = delete;

  struct EventStr {
    uint32_t code = 0;
    std::string_view text;   // offset 104
    std::string_view text2;  // offset 616
    uint32_t reason = 0;     // offset 4 (events 10, 12, 13, 14)
    uint32_t elapsed = 0;    // offset 84
    uint64_t bytes = 0;      // offsets 88 (saturated) and 16 (64-bit)
  };

  // Fills the record, hands a copy to the libraries and takes back the
  // answer and the text. Returns the libraries' result. For notifications
  // the caller ignores it.
  int32_t Raise(const EventStr& ev);
  // Shorthand for events that carry only texts.
  int32_t Raise(uint32_t code, std::string_view text = {}, std::string_view text2 = {}) {
    return Raise(EventStr{code, text, text2});
  }
  // Calls the libraries again with the record of the last Raise (the second
  // call after a release).
  int32_t RaiseAgain();

  // The library's reply for result 2: one line per LF-separated line of the
  // text at 104 (a CR before the LF is dropped, empty lines are skipped).
  // Never empty: a library that returns 2 without text gets a refusal line
  // rather than leaving the client without any reply.
  std::vector<std::string> ReplyLines() const;
  // The text at 104 as the library left it (always terminated).
  std::string_view Text() const;

  uint32_t Session() const { return block_.record.session; }
  const EventHookRecord& Record() const { return block_.record; }
  const EventHookRecordExt& Extension() const { return block_.ext; }

 private:
  int32_t Call();

  // The extension must follow the record directly: libraries find it at
  // record + 1.
  struct Block {
    EventHookRecord record;
    EventHookRecordExt ext;
  };
  static_assert(offsetof(Block, ext) == sizeof(EventHookRecord));

  std::shared_ptr<RFTPEventHandler> handler_;
  Block block_;
};

}  // namespace vantor
