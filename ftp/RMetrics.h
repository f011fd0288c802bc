// RMetrics: the counters a monitoring system scrapes, and their text in the
// Prometheus exposition format (version 0.0.4).
//
// The counters are bumped where the events happen (a login decided, a
// connection refused, a transfer or TLS handshake ended, a loop pass done),
// all of them on the loop thread, so they are plain integers. What is live
// (sessions now, jobs waiting for a worker) is not counted here: the
// renderer is handed it by whoever asks, read from the server at that
// moment.
//
//   std::string text = RenderMetricsText(manager);   // on the loop thread
//
// Thread: the loop thread only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace vantor {

class RFTPSManager;

// How a password (or anonymous e-mail address) was answered.
enum class RLoginResult : uint8_t {
  Success,  // logged in
  Failure,  // wrong password or e-mail address
  Refused,  // the password was right, but an address rule, a limit or a
            // missing home directory turned the login down
  kCount,
};

// Why a connection or a login was turned away.
enum class RRefusal : uint8_t {
  Limits,         // MaxNrUsers, an account's limits, MaxPreLoginPerIP, TLSMaxHandshakes
  Rules,          // the IP access rules (server-wide or the account's)
  AntiHammering,  // the client's address is blocked
  kCount,
};

// The event loop's busy time per pass (from the wake-up to the end of the
// pass-end callbacks), as a cumulative histogram.
struct RPassHistogramStr {
  // Upper bounds in nanoseconds and as the `le` label writes them.
  static constexpr size_t kBuckets = 14;
  static constexpr std::array<int64_t, kBuckets> kBoundsNs = {
      50'000,     100'000,    250'000,    500'000,     1'000'000,   2'500'000,     5'000'000,
      10'000'000, 25'000'000, 50'000'000, 100'000'000, 250'000'000, 1'000'000'000, 5'000'000'000};
  static constexpr std::array<std::string_view, kBuckets> kBoundsText = {
      "5e-05", "0.0001", "0.00025", "0.0005", "0.001", "0.0025", "0.005",
      "0.01",  "0.025",  "0.05",    "0.1",    "0.25",  "1",      "5"};
  std::array<uint64_t, kBuckets> counts{};  // per bucket, not cumulative
  uint64_t count = 0;                       // every pass, +Inf included
  uint64_t sumNs = 0;
};

// Bytes of one account's finished file transfers (MetricsPerUser).
struct RUserBytesStr {
  uint64_t up = 0;
  uint64_t down = 0;
};

class RMetrics {
 public:
  // With per-user counting on, transfers are also counted per account
  // name; turning it off forgets those counts.
  void SetPerUser(bool on);
  bool PerUser() const { return perUser_; }

  void CountConnection() { ++connections_; }
  void CountLogin(RLoginResult r) { ++logins_[static_cast<size_t>(r)]; }
  void CountRefusal(RRefusal r) { ++refusals_[static_cast<size_t>(r)]; }
  // A file transfer ended (listings are not transfers); `bytes` is what it
  // moved, `user` the account it ran under.
  void CountTransfer(bool upload, bool failed, uint64_t bytes, std::string_view user);
  void CountTlsHandshake(bool ok) { ++tlsHandshakes_[ok ? 0 : 1]; }
  void ObservePass(int64_t busyNs);

  uint64_t Connections() const { return connections_; }
  uint64_t Logins(RLoginResult r) const { return logins_[static_cast<size_t>(r)]; }
  uint64_t Refusals(RRefusal r) const { return refusals_[static_cast<size_t>(r)]; }
  uint64_t Transfers(bool upload, bool failed) const {
    return transfers_[upload ? 1 : 0][failed ? 1 : 0];
  }
  uint64_t TransferBytes(bool upload) const { return bytes_[upload ? 1 : 0]; }
  uint64_t TlsHandshakes(bool ok) const { return tlsHandshakes_[ok ? 0 : 1]; }
  const RPassHistogramStr& Passes() const { return passes_; }
  const std::map<std::string, RUserBytesStr>& UserBytes() const { return userBytes_; }

 private:
  bool perUser_ = false;
  uint64_t connections_ = 0;
  std::array<uint64_t, static_cast<size_t>(RLoginResult::kCount)> logins_{};
  std::array<uint64_t, static_cast<size_t>(RRefusal::kCount)> refusals_{};
  uint64_t transfers_[2][2] = {};  // [upload][failed]
  std::array<uint64_t, 2> bytes_{};
  std::array<uint64_t, 2> tlsHandshakes_{};  // success, failure
  RPassHistogramStr passes_;
  // Ordered, so that the rendered text is stable from one scrape to the next.
  std::map<std::string, RUserBytesStr> userBytes_;
};

// What the server holds right now, read at each scrape.
struct RMetricsLiveStr {
  uint32_t sessions = 0;  // control connections, logged in or not
  uint32_t loggedIn = 0;
  uint64_t workerQueueJobs = 0;  // blocking file jobs waiting for a worker
  std::string version;
  // Logged-in sessions per account name; read only with per-user counting.
  std::map<std::string, uint32_t> userSessions;
};

// The whole exposition text: HELP and TYPE lines, then the samples.
std::string RenderMetricsText(const RMetrics& metrics, const RMetricsLiveStr& live);
// The same for a running server: its counters and what it holds now.
std::string RenderMetricsText(const RFTPSManager& manager);

// A label value as the format wants it: backslash, double quote and line
// feed escaped, and bytes that are not UTF-8 replaced by U+FFFD (a scraper
// refuses the whole text otherwise).
std::string EscapeMetricLabel(std::string_view value);

}  // namespace vantor
