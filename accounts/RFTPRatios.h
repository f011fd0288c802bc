// Upload/download ratio of one session.
//
// Each logged-in session owns one. It asks the account store through
// ACCESS_QUERY_MESSAGE (codes 26 to 30) sent to the main window. Per-session
// types keep the credit here; over-all types keep it in the account's
// `RatiosCredit` key so concurrent sessions share it. Loop thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "accounts/AccessQuery.h"
#include "accounts/RPathProbe.h"
#include "platform/RMessageLoop.h"

namespace vantor {

class RClusterStore;

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
  ~RFTPRatios();
  RFTPRatios(const RFTPRatios&) = delete;
  RFTPRatios& operator=(const RFTPRatios&) = delete;

  // At login: reads type, parts and (per-session types) the stored credit.
  // With `shared` (not owned; it outlives every session) the over-all
  // types keep their credit in the cluster store, the INI figure being
  // where an account the store has never seen starts.
  void Start(std::string_view user, uint32_t address, uint32_t session,
             RClusterStore* shared = nullptr);
  // The credit is the cluster store's: downloads are checked with
  // MayDownloadShared.
  bool Shared() const { return shared_ != nullptr; }
  // MayDownload with the credit in the cluster store: the check and the
  // charge are one statement. `done` hears whether the download may go
  // (never inside the call) and says whether it took the answer; a charge
  // it did not take goes back.
  void MayDownloadShared(std::string_view localPath, std::function<bool(bool allowed)> done);
  // How long a debit may wait for the store before the download is refused.
  static constexpr int64_t kSharedConfirmMs = 15000;
  bool Enabled() const { return enabled_; }
  int Type() const { return type_; }

  // Before a file is sent: false = refuse ("550 Sorry, insufficient credit
  // for download - upload first."). Charges the credit when allowed.
  [[nodiscard]] bool MayDownload(std::string_view localPath);
  // Gives the charge of the last download back.
  void DownloadFailed();
  // After an upload of `bytes` (>= 1): earns credit.
  void Uploaded(uint64_t bytes);
  // The current credit (files or bytes); with a shared store, as its last
  // answer said.
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

  // --- with a shared store ---
  // What an answer must reach; this object may be gone by then.
  struct SharedLinkStr {
    RFTPRatios* owner = nullptr;
  };
  void ChangeShared(double change);
  RClusterStore* shared_ = nullptr;
  std::shared_ptr<SharedLinkStr> link_;
  std::string account_;
  double seed_ = 0;  // the INI credit at login
};

// Sends `q` to the main window as ACCESS_QUERY_MESSAGE and returns its flag.
uint32_t SendAccessQuery(RMessageLoop& loop, RWindowId mainWindow, AccessQuery& q);

}  // namespace vantor
