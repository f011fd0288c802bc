// Upload/download ratio of one session.
//
// Each logged-in session owns one. It asks the account store through
// ACCESS_QUERY_MESSAGE (codes 26 to 30) sent to the main window. Per-session
// types keep the credit here; over-all types keep it in the account's
// `RatiosCredit` key so concurrent sessions share it. Loop thread only.
#pragma once

#include <cstdint>
#include <string_view>

#include "accounts/AccessQuery.h"
#include "accounts/RPathProbe.h"
#include "platform/RMessageLoop.h"

namespace vantor {

enum RRatioType : int {
  RATIO_FILES_PER_SESSION = 0,
  RATIO_BYTES_PER_SESSION = 1,
  RATIO_FILES_OVERALL = 2,
  RATIO_BYTES_OVERALL = 3,
};

class RFTPRatios {
 public:
  // `loop` and `probe` are not owned and must outlive the object; the probe
  // gives file sizes for the byte-counting types.
  RFTPRatios(RMessageLoop& loop, RWindowId mainWindow, const RPathProbe& probe);

  // At login: reads type, parts and (per-session types) the stored credit.
  void Start(std::string_view user, uint32_t address, uint32_t session);
  bool Enabled() const { return enabled_; }
  int Type() const { return type_; }

  // Before a file is sent: false = refuse ("550 Sorry, insufficient credit
  // for download - upload first."). Charges the credit when allowed.
  [[nodiscard]] bool MayDownload(std::string_view localPath);
  // Gives the charge of the last download back.
  void DownloadFailed();
  // After an upload of `bytes` (>= 1): earns credit.
  void Uploaded(uint64_t bytes);
  // The current credit (files or bytes).
  double Credit();
  uint32_t Up() const { return up_; }
  uint32_t Down() const { return down_; }
  // The charge of the download in progress (for tests and display).
  uint64_t Charge() const { return charge_; }

 private:
  bool Ask(uint32_t code, std::string_view aux);
  double StoredCredit();  // code 29 with "0"
  void ChangeStored(double change);

  RMessageLoop& loop_;
  RWindowId window_;
  const RPathProbe& probe_;
  bool enabled_ = false;
  int type_ = RATIO_FILES_PER_SESSION;
  uint32_t up_ = 1;
  uint32_t down_ = 1;
  double factor_ = 1.0;
  double credit_ = 0.0;
  uint64_t charge_ = 0;  // 64-bit: byte charges of files over 4 GiB
  AccessQuery q_{};
};

// Sends `q` to the main window as ACCESS_QUERY_MESSAGE and returns its flag.
uint32_t SendAccessQuery(RMessageLoop& loop, RWindowId mainWindow, AccessQuery& q);

}  // namespace vantor
