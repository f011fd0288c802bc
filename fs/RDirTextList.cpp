#include "fs/RDirTextList.h"

#include <utility>

#include "fs/RPath.h"
#include "platform/RHeap.h"

namespace vantor {
namespace {

constexpr int64_t kLargeListingBytes = 4 * 1024 * 1024;

// The directory of a search text ("c:\ftp\*.*" -> "c:\ftp", "c:\*.*" -> "c:\").
std::string SearchDir(std::string_view searchText) {
  size_t bs = searchText.find_last_of('\\');
  if (bs == std::string_view::npos) return std::string(searchText);
  return std::string(searchText.substr(0, bs <= 2 ? bs + 1 : bs));
}

}  // namespace

RDirTextList::~RDirTextList() {
  Finish();
}

bool RDirTextList::Lookup(std::string_view user, std::string_view searchText, uint32_t address,
                          std::string_view optionsKey, std::string_view kind) {
  const std::string dir = SearchDir(searchText);
  const std::string posixDir = LocalToPosix(fs_, dir);
  // The key names the directory as it is on disk: "c:\A" and "c:\a" are one
  // directory when only one exists, two when both do.
  std::string key = searchText.size() > dir.size() && !posixDir.empty()
                        ? posixDir + "\\" + std::string(searchText.substr(dir.size()))
                        : std::string(searchText);
  claim_ = cache_.Lookup(user, key, address, std::string(optionsKey), kind, posixDir);
  hit_ = claim_.hit;
  if (hit_) {
    shared_ = std::move(claim_.lines);
    claim_ = {};
    finished_ = true;
    return true;
  }
  return false;
}

void RDirTextList::AddWatchDir(std::string posixDir) {
  if (!posixDir.empty() && claim_.index >= 0) cache_.AddWatch(claim_, posixDir);
}

void RDirTextList::Append(std::string_view text) {
  if (finished_) return;
  for (;;) {
    size_t nl = text.find('\n');
    if (nl == std::string_view::npos) {
      own_.text.append(text);
      return;
    }
    own_.text.append(text.substr(0, nl));
    own_.ends.push_back(own_.text.size());
    text.remove_prefix(nl + 1);
  }
}

void RDirTextList::Finish() {
  if (finished_) return;
  finished_ = true;
  size_t lastEnd = own_.ends.empty() ? 0 : own_.ends.back();
  if (own_.text.size() > lastEnd) own_.ends.push_back(own_.text.size());
  own_.text.shrink_to_fit();
  own_.ends.shrink_to_fit();
  const bool large = own_.Bytes() >= kLargeListingBytes;
  if (large) {
    // The last holder of a large listing gives its pages back; so does the
    // generation, whose temporaries are gone by now.
    shared_ = RDirLinesPtr(new RDirLinesStr(std::move(own_)), [](const RDirLinesStr* l) {
      delete l;
      HeapReturnFree();
    });
  } else {
    shared_ = std::make_shared<const RDirLinesStr>(std::move(own_));
  }
  own_ = RDirLinesStr{};
  if (large) HeapReturnFree();
  if (claim_.index < 0) return;
  cache_.Store(claim_, shared_);
  claim_ = {};
}

bool RDirTextList::Cut() const {
  return shared_ ? shared_->cut : own_.cut;
}

bool RDirTextList::NextLine(std::string& out) {
  Finish();
  if (cursor_ >= shared_->Count()) return false;
  out = std::string(shared_->Line(cursor_++));
  return true;
}

std::vector<std::string> RDirTextList::TakeLines() {
  Finish();
  std::vector<std::string> out;
  for (size_t i = cursor_; i < shared_->Count(); ++i) out.emplace_back(shared_->Line(i));
  cursor_ = shared_->Count();
  return out;
}

RDirLinesPtr RDirTextList::Lines() {
  Finish();
  return shared_;
}

size_t RDirTextList::LineCount() const {
  return shared_ ? shared_->Count() : own_.Count();
}

}  // namespace vantor
