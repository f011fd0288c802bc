// The server-wide record of uploads that lets a client resume its own upload
// of a file it may not otherwise append to or modify.
//
// Loop thread only. Records older than 12 hours are dropped by `Purge`, which
// runs every hour of the records' life (`PurgeDue`). The server's manager
// owns the one set of records.
#pragma once

#include <cstdint>
#include <set>
#include <string>

namespace vantor {

struct RClientUpload {
  std::string address;  // client's control-connection peer address
  std::string path;     // local path of the uploaded file
  int64_t time = 0;     // seconds since 1970
};

struct RClientUploadLess {
  using is_transparent = void;
  bool operator()(const RClientUpload& a, const RClientUpload& b) const {
    if (a.address != b.address) return a.address < b.address;
    return a.path < b.path;
  }
};

class RUploadRecords {
 public:
  static constexpr int64_t kMaxAgeSeconds = 43200;
  static constexpr int64_t kPurgePeriodMs = 3600000;

  // Inserts or refreshes the record of (address, path).
  void Insert(const std::string& address, const std::string& path, int64_t now);
  bool Contains(const std::string& address, const std::string& path) const;
  // Keeps only records younger than 43200 seconds at `now`.
  void Purge(int64_t now);
  // Runs the hourly purges due at `now`; the first call starts the hours.
  void PurgeDue(int64_t now);
  size_t Size() const { return records_.size(); }

 private:
  std::set<RClientUpload, RClientUploadLess> records_;
  int64_t lastPurge_ = 0;
};

}  // namespace vantor
