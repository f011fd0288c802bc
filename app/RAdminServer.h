// The administration endpoint: HTTP/1.1 with JSON bodies under /v1/ (see
// docs/admin-api.yaml), on the Unix socket `AdminSocket`, optionally on TCP
// `AdminListen` with a bearer token, and `GET /metrics` there and on the
// plain `MetricsListen`.
//
// The HTTP library (libmicrohttpd) runs without a thread of its own: each
// daemon's epoll descriptor is watched by our loop, which runs the daemon
// when it is readable and when the daemon's own timeout is due. A request
// that needs slow work (a token hash, a configuration check) suspends its
// connection, does the work on the pool and resumes with the answer; the
// log and trace streams suspend while they have nothing to send. So the
// loop never waits on a client or a worker.
//
// Loop thread only. Create after the server started (the sockets are made
// before privileges are dropped), destroy before it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vantor {

class RFTPServer;
class RIniFile;
class RMessageLoop;
class RVantorApp;

// The keys of [GLOBAL] the endpoint reads at start-up and on each reload.
struct RAdminSettingsStr {
  std::string socketPath;     // `AdminSocket`; "" = no Unix socket
  std::string group;          // `AdminGroup`, else `RunAsGroup`; "" = the process's own
  std::string listen;         // `AdminListen`; "" = none
  std::string tokenHash;      // `AdminTokenHash` (crypt)
  std::string metricsListen;  // `MetricsListen`; "" = none
  std::string certFile, keyFile;
};
// The default socket: /run/vantor/admin.sock when /run/vantor exists, else
// vantor-admin.sock beside the INI file (`iniPath` "" = the working directory).
std::string DefaultAdminSocket(const std::string& iniPath);
RAdminSettingsStr ReadAdminSettings(const RIniFile& ini, const std::string& iniPath);

class RAdminServer {
 public:
  // `server` answers the FTP server of the moment (nullptr while there is
  // none). Neither argument is owned.
  RAdminServer(RVantorApp& app, std::function<RFTPServer*()> server);
  ~RAdminServer();
  RAdminServer(const RAdminServer&) = delete;
  RAdminServer& operator=(const RAdminServer&) = delete;

  // Brings up the listeners `s` names, each logged; one that cannot start is
  // logged and left out, the others run.
  void Start(const RAdminSettingsStr& s);
  // A reload's settings: a listener whose key changed is made anew (the
  // old one goes once the new one runs), the others are kept; the token
  // hash and the socket's group change in place. A part that cannot be
  // applied is logged and stays as it was.
  void Apply(const RAdminSettingsStr& s);
  void Stop();

  // The text of GET /metrics (Prometheus text format). Unless one is set the
  // endpoint renders the server's metrics (ftp/RMetrics.h).
  void SetMetricsSource(std::function<std::string()> source);

  // The program's log lines and a session's command/reply lines, for the
  // streams. Cheap when nobody follows.
  void OnLogLine(std::string_view line);
  // The engine's session notifications (ftp/RFrontEnd.h): command and
  // reply lines, and the end of a session, which ends its traces.
  void OnNotify(uint32_t code, uint32_t session, std::string_view text);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantor
