// An asynchronous PostgreSQL connection driven by the message loop.
//
// libpq's non-blocking interface: the connection is made with
// PQconnectStart/PQconnectPoll, statements go out with PQsendQueryParams in
// pipeline mode (each followed by a sync, so one failing statement never
// aborts its neighbours), and the socket sits in the loop, which reads the
// answers with PQconsumeInput as they come. Statements sent during one pass
// go out together before the loop sleeps, so they share one round trip.
//
// Faults: a connection that fails or is lost is made again after a back-off
// that doubles up to `maxBackoffMs`. Statements in flight when it goes down
// are answered with `Lost` (the caller does not know whether they ran: its
// statements must be safe to repeat). A statement that is not answered
// within `statementTimeoutMs` is answered with `TimedOut` and the connection
// is dropped and made again, since a pipeline cannot skip one answer.
// Statements asked for while the connection is down are answered at once
// with `Unavailable`.
//
// Loop thread only. Callbacks run on the loop thread, never inside the call
// that sent the statement; a callback may send further statements and may
// destroy the client. Destroying the client drops unanswered callbacks.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/RMessageLoop.h"

typedef struct pg_conn PGconn;

namespace vantor {

struct RPgResultStr {
  enum class Status {
    Ok,           // the statement ran; rows (if any) are in `rows`
    Failed,       // the server refused it (`sqlState`, `error`)
    Lost,         // the connection went down before the answer came
    TimedOut,     // no answer within the statement time-out
    Unavailable,  // not sent: the connection is down
  };
  Status status = Status::Unavailable;
  std::string sqlState;
  std::string error;
  // Text values; nullopt is SQL NULL.
  std::vector<std::vector<std::optional<std::string>>> rows;
  int64_t affected = 0;  // rows inserted, updated or deleted

  bool Ok() const { return status == Status::Ok; }
  // The value at (row, column), or `otherwise` when absent or NULL.
  std::string Text(size_t row, size_t column, std::string otherwise = {}) const;
  int64_t Int(size_t row, size_t column, int64_t otherwise = 0) const;
};

using RPgParams = std::vector<std::optional<std::string>>;

class RPgClient {
 public:
  struct Options {
    std::string connInfo;  // libpq connection string
    std::string password;  // overrides the string's own, when not empty
    int64_t connectTimeoutMs = 5000;
    int64_t statementTimeoutMs = 5000;
    int64_t minBackoffMs = 200;
    int64_t maxBackoffMs = 10000;
  };
  using Done = std::function<void(const RPgResultStr&)>;

  RPgClient(RMessageLoop& loop, Options options);
  ~RPgClient();
  RPgClient(const RPgClient&) = delete;
  RPgClient& operator=(const RPgClient&) = delete;

  // Begins connecting (again, after Stop). The state callback hears of
  // every change between up and down, with the reason when down.
  void Start();
  void Stop();
  void OnStateChange(std::function<void(bool up, const std::string& why)> cb) {
    onState_ = std::move(cb);
  }
  bool Up() const { return state_ == State::Ready; }
  // The last connection failure (empty while up).
  const std::string& LastError() const { return lastError_; }

  // Sends one statement ($1, $2 ... for `params`); `done` hears the answer.
  void Query(std::string sql, RPgParams params, Done done);
  size_t InFlight() const { return inflight_.size(); }
  // Waits, blocking, at most `timeoutMs` for the statements in flight to be
  // answered. For the end of the process only, once the loop no longer
  // runs: a statement whose connection closes before its answer went out
  // is rolled back by the server.
  void FinishInFlight(int64_t timeoutMs);
  // Connections made so far (a reconnect counts).
  uint64_t Connects() const { return connects_; }

 private:
  enum class State { Idle, Connecting, Ready, Waiting };
  struct Pending {
    Done done;
    RPgResultStr result;
    bool gotResult = false;
    int64_t deadlineMs = 0;
  };

  void BeginConnect();
  void PollConnect();
  void OnSocket(uint32_t events);
  void Drain();
  void Flush();
  void GoDown(const std::string& why, RPgResultStr::Status inflightStatus);
  void ScheduleReconnect();
  void WatchSocket();
  void UnwatchSocket(bool closing);
  void ArmTimeout();
  void CheckTimeouts();
  void Answer(std::deque<Pending>& done);
  void AnswerLater(Done done, RPgResultStr result);

  RMessageLoop& loop_;
  Options options_;
  PGconn* conn_ = nullptr;
  int socket_ = -1;
  bool wantWrite_ = false;
  State state_ = State::Idle;
  std::deque<Pending> inflight_;
  std::function<void(bool, const std::string&)> onState_;
  std::string lastError_;
  int64_t backoffMs_ = 0;
  int64_t connectDeadlineMs_ = 0;
  RMessageLoop::TimerId reconnectTimer_ = 0;
  RMessageLoop::TimerId timeoutTimer_ = 0;
  bool reported_ = false;  // the state callback has heard of a state
  bool reportedUp_ = false;
  uint64_t connects_ = 0;
  // Callbacks check it after running: the client may be gone.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vantor
