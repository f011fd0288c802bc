#include "ftp/RMetrics.h"

#include <charconv>

#include "config/RGlobalSettings.h"
#include "ftp/RFTPSComInterp.h"
#include "ftp/RFTPSManager.h"

namespace vantor {

void RMetrics::SetPerUser(bool on) {
  perUser_ = on;
  if (!on) userBytes_.clear();
}

void RMetrics::CountTransfer(bool upload, bool failed, uint64_t bytes, std::string_view user) {
  ++transfers_[upload ? 1 : 0][failed ? 1 : 0];
  bytes_[upload ? 1 : 0] += bytes;
  if (!perUser_ || user.empty()) return;
  RUserBytesStr& u = userBytes_[std::string(user)];
  (upload ? u.up : u.down) += bytes;
}

void RMetrics::ObservePass(int64_t busyNs) {
  if (busyNs < 0) busyNs = 0;
  ++passes_.count;
  passes_.sumNs += static_cast<uint64_t>(busyNs);
  for (size_t i = 0; i < RPassHistogramStr::kBuckets; ++i) {
    if (busyNs <= RPassHistogramStr::kBoundsNs[i]) {
      ++passes_.counts[i];
      return;
    }
  }
}

namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not a
// valid one (overlong forms, surrogates and values past U+10FFFF included).
size_t Utf8Length(std::string_view s, size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
  }
  return n;
}

class RExposition {
 public:
  // The HELP and TYPE lines of one metric family.
  void Family(std::string_view name, std::string_view type, std::string_view help) {
    out_ += "# HELP ";
    out_ += name;
    out_ += ' ';
    out_ += help;  // fixed texts: nothing to escape
    out_ += "\n# TYPE ";
    out_ += name;
    out_ += ' ';
    out_ += type;
    out_ += '\n';
  }
  // One sample; `labels` are name/value pairs, values escaped here.
  void Sample(std::string_view name,
              std::initializer_list<std::pair<std::string_view, std::string_view>> labels,
              uint64_t value) {
    Name(name, labels);
    Number(value);
  }
  void SampleText(std::string_view name,
                  std::initializer_list<std::pair<std::string_view, std::string_view>> labels,
                  std::string_view value) {
    Name(name, labels);
    out_ += value;
    out_ += '\n';
  }
  std::string Take() { return std::move(out_); }

 private:
  void Name(std::string_view name,
            std::initializer_list<std::pair<std::string_view, std::string_view>> labels) {
    out_ += name;
    if (labels.size() != 0) {
      out_ += '{';
      bool first = true;
      for (const auto& [label, value] : labels) {
        if (!first) out_ += ',';
        first = false;
        out_ += label;
        out_ += "=\"";
        out_ += EscapeMetricLabel(value);
        out_ += '"';
      }
      out_ += '}';
    }
    out_ += ' ';
  }
  void Number(uint64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, r.ptr);
    out_ += '\n';
  }
  std::string out_;
};

std::string SecondsText(uint64_t ns) {
  char buf[40];
  // Twelve digits: microseconds even after days of busy time.
  const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<double>(ns) / 1e9,
                               std::chars_format::general, 12);
  return std::string(buf, r.ptr);
}

}  // namespace

std::string EscapeMetricLabel(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size();) {
    const size_t n = Utf8Length(value, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    const char c = value[i];
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out.append(value.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::string RenderMetricsText(const RMetrics& m, const RMetricsLiveStr& live) {
  RExposition e;
  e.Family("vantor_sessions", "gauge", "Control connections now, logged in or not.");
  e.Sample("vantor_sessions", {}, live.sessions);
  e.Family("vantor_sessions_logged_in", "gauge", "Sessions logged in now.");
  e.Sample("vantor_sessions_logged_in", {}, live.loggedIn);
  e.Family("vantor_connections_total", "counter", "Control connections accepted.");
  e.Sample("vantor_connections_total", {}, m.Connections());

  e.Family("vantor_logins_total", "counter", "Passwords answered, by outcome.");
  e.Sample("vantor_logins_total", {{"result", "success"}}, m.Logins(RLoginResult::Success));
  e.Sample("vantor_logins_total", {{"result", "failure"}}, m.Logins(RLoginResult::Failure));
  e.Sample("vantor_logins_total", {{"result", "refused"}}, m.Logins(RLoginResult::Refused));

  e.Family("vantor_transfers_total", "counter", "File transfers ended, by direction and outcome.");
  for (const bool upload : {false, true}) {
    for (const bool failed : {false, true}) {
      e.Sample("vantor_transfers_total",
               {{"direction", upload ? "upload" : "download"},
                {"result", failed ? "failed" : "complete"}},
               m.Transfers(upload, failed));
    }
  }
  e.Family("vantor_transfer_bytes_total", "counter", "Bytes moved by ended file transfers.");
  e.Sample("vantor_transfer_bytes_total", {{"direction", "download"}}, m.TransferBytes(false));
  e.Sample("vantor_transfer_bytes_total", {{"direction", "upload"}}, m.TransferBytes(true));

  e.Family("vantor_tls_handshakes_total", "counter",
           "TLS handshakes ended on control and data connections, by outcome.");
  e.Sample("vantor_tls_handshakes_total", {{"result", "success"}}, m.TlsHandshakes(true));
  e.Sample("vantor_tls_handshakes_total", {{"result", "failure"}}, m.TlsHandshakes(false));

  e.Family("vantor_refused_total", "counter", "Connections and logins turned away, by reason.");
  e.Sample("vantor_refused_total", {{"reason", "limits"}}, m.Refusals(RRefusal::Limits));
  e.Sample("vantor_refused_total", {{"reason", "rules"}}, m.Refusals(RRefusal::Rules));
  e.Sample("vantor_refused_total", {{"reason", "anti_hammering"}},
           m.Refusals(RRefusal::AntiHammering));

  e.Family("vantor_worker_queue_jobs", "gauge", "File jobs waiting for a worker thread.");
  e.Sample("vantor_worker_queue_jobs", {}, live.workerQueueJobs);

  const RPassHistogramStr& h = m.Passes();
  e.Family("vantor_loop_pass_seconds", "histogram", "Busy time of each pass of the event loop.");
  uint64_t cumulative = 0;
  for (size_t i = 0; i < RPassHistogramStr::kBuckets; ++i) {
    cumulative += h.counts[i];
    e.Sample("vantor_loop_pass_seconds_bucket", {{"le", RPassHistogramStr::kBoundsText[i]}},
             cumulative);
  }
  e.Sample("vantor_loop_pass_seconds_bucket", {{"le", "+Inf"}}, h.count);
  e.SampleText("vantor_loop_pass_seconds_sum", {}, SecondsText(h.sumNs));
  e.Sample("vantor_loop_pass_seconds_count", {}, h.count);

  e.Family("vantor_build_info", "gauge", "The running version; always 1.");
  e.Sample("vantor_build_info", {{"version", live.version}}, 1);

  if (m.PerUser()) {
    e.Family("vantor_user_sessions", "gauge", "Sessions logged in now, per account.");
    for (const auto& [user, n] : live.userSessions)
      e.Sample("vantor_user_sessions", {{"user", user}}, n);
    e.Family("vantor_user_transfer_bytes_total", "counter",
             "Bytes moved by ended file transfers, per account.");
    for (const auto& [user, b] : m.UserBytes()) {
      e.Sample("vantor_user_transfer_bytes_total", {{"user", user}, {"direction", "download"}},
               b.down);
      e.Sample("vantor_user_transfer_bytes_total", {{"user", user}, {"direction", "upload"}}, b.up);
    }
  }
  return e.Take();
}

std::string RenderMetricsText(const RFTPSManager& manager) {
  RMetricsLiveStr live;
  live.sessions = manager.Stats().ConnectionsNow;
  live.version = kProgramVersion;
  const bool perUser = manager.Metrics().PerUser();
  for (const auto& s : manager.Sessions()) {
    if (!s->IsLoggedIn()) continue;
    ++live.loggedIn;
    if (perUser) ++live.userSessions[s->Login.userName];
  }
  if (const RWorkPool* pool = manager.PoolIfMade()) live.workerQueueJobs = pool->Stats().queued;
  return RenderMetricsText(manager.Metrics(), live);
}

}  // namespace vantor
