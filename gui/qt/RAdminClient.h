// HTTP requests to the administration endpoint without ever blocking the
// window: libcurl's multi interface, its sockets watched by QSocketNotifier
// and its time-outs by a QTimer, all on the GUI thread. Callbacks run on
// that thread from Qt's event loop, never inside a call of this class.
#pragma once

#include <curl/curl.h>

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "gui/RAdminModel.h"

namespace vantor {

struct RAdminReplyStr {
  long status = 0;  // HTTP status; 0 when no answer came
  std::string body;
  std::string error;  // transport error (refused, timed out, TLS); "" with an answer
};

class RAdminClient : public QObject {
  Q_OBJECT
 public:
  struct Options {
    RConnectTargetStr target;
    std::string token;   // bearer token for TCP; "" on the Unix socket
    std::string caFile;  // extra trust for a self-signed certificate
  };
  using Done = std::function<void(const RAdminReplyStr&)>;
  using Chunk = std::function<void(std::string_view bytes)>;

  explicit RAdminClient(Options o, QObject* parent = nullptr);
  ~RAdminClient() override;
  RAdminClient(const RAdminClient&) = delete;
  RAdminClient& operator=(const RAdminClient&) = delete;

  // One request with its whole answer; `body` is sent as JSON when not
  // empty. Answers after 10 s of nothing count as lost.
  uint64_t Request(const std::string& method, const std::string& path, const std::string& body,
                   Done done);
  // A stream: `chunk` gets the bytes as they come, `done` once at its end
  // (or failure). No overall time limit; a stream silent for longer than
  // the server's keep-alive comments (15 s) plus margin is taken as lost.
  uint64_t Stream(const std::string& path, Chunk chunk, Done done);
  // Ends a request or stream; its callbacks are not called.
  void Cancel(uint64_t id);
  void CancelAll();
  size_t Running() const { return transfers_.size(); }

 private:
  struct Transfer;
  uint64_t Start(std::unique_ptr<Transfer> t, const std::string& method, const std::string& path,
                 const std::string& body);
  static int OnSocket(CURL* easy, curl_socket_t fd, int what, void* self, void* socketData);
  static int OnTimer(CURLM* multi, long ms, void* self);
  void Act(int fd, int mask);
  void Collect();

  Options o_;
  CURLM* multi_ = nullptr;
  QTimer timer_;
  struct Watch {
    std::unique_ptr<QSocketNotifier> read, write;
  };
  std::map<int, Watch> watches_;
  std::map<uint64_t, std::unique_ptr<Transfer>> transfers_;
  uint64_t nextId_ = 1;
  bool acting_ = false;
};

}  // namespace vantor
