#include "net/RPgClient.h"

#include <libpq-fe.h>
#include <poll.h>
#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace vantor {
namespace {

std::string TrimmedError(const char* text) {
  std::string s = text != nullptr ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  // libpq's messages may span lines; a log line must not.
  std::replace(s.begin(), s.end(), '\n', ' ');
  return s;
}

void FillResult(PGresult* r, RPgResultStr& out) {
  switch (PQresultStatus(r)) {
    case PGRES_TUPLES_OK:
    case PGRES_COMMAND_OK: {
      out.status = RPgResultStr::Status::Ok;
      const int rows = PQntuples(r), cols = PQnfields(r);
      out.rows.resize(static_cast<size_t>(rows));
      for (int i = 0; i < rows; ++i) {
        auto& row = out.rows[static_cast<size_t>(i)];
        row.reserve(static_cast<size_t>(cols));
        for (int c = 0; c < cols; ++c) {
          if (PQgetisnull(r, i, c)) {
            row.emplace_back(std::nullopt);
          } else {
            row.emplace_back(
                std::string(PQgetvalue(r, i, c), static_cast<size_t>(PQgetlength(r, i, c))));
          }
        }
      }
      out.affected = std::atoll(PQcmdTuples(r));
      return;
    }
    case PGRES_PIPELINE_ABORTED:
      out.status = RPgResultStr::Status::Failed;
      out.error = "statement skipped after an earlier failure";
      return;
    default: {
      out.status = RPgResultStr::Status::Failed;
      const char* state = PQresultErrorField(r, PG_DIAG_SQLSTATE);
      out.sqlState = state != nullptr ? state : "";
      out.error = TrimmedError(PQresultErrorMessage(r));
      return;
    }
  }
}

}  // namespace

std::string RPgResultStr::Text(size_t row, size_t column, std::string otherwise) const {
  if (row >= rows.size() || column >= rows[row].size() || !rows[row][column]) return otherwise;
  return *rows[row][column];
}

int64_t RPgResultStr::Int(size_t row, size_t column, int64_t otherwise) const {
  if (row >= rows.size() || column >= rows[row].size() || !rows[row][column]) return otherwise;
  return std::strtoll(rows[row][column]->c_str(), nullptr, 10);
}

RPgClient::RPgClient(RMessageLoop& loop, Options options)
    : loop_(loop), options_(std::move(options)) {}

RPgClient::~RPgClient() {
  *alive_ = false;
  if (reconnectTimer_ != 0) loop_.CancelTimer(reconnectTimer_);
  if (timeoutTimer_ != 0) loop_.CancelTimer(timeoutTimer_);
  UnwatchSocket(true);
  if (conn_ != nullptr) PQfinish(conn_);
}

void RPgClient::Start() {
  if (state_ != State::Idle) return;
  BeginConnect();
}

void RPgClient::Stop() {
  if (reconnectTimer_ != 0) loop_.CancelTimer(reconnectTimer_);
  reconnectTimer_ = 0;
  if (state_ == State::Idle) return;
  GoDown("stopped", RPgResultStr::Status::Lost);
  if (reconnectTimer_ != 0) loop_.CancelTimer(reconnectTimer_);
  reconnectTimer_ = 0;
  state_ = State::Idle;
}

void RPgClient::BeginConnect() {
  reconnectTimer_ = 0;
  // The string is expanded as a whole; the password from its own file
  // comes after it and so overrides whatever the string says.
  std::vector<const char*> keys{"dbname"}, values{options_.connInfo.c_str()};
  if (!options_.password.empty()) {
    keys.push_back("password");
    values.push_back(options_.password.c_str());
  }
  keys.push_back(nullptr);
  values.push_back(nullptr);
  conn_ = PQconnectStartParams(keys.data(), values.data(), 1);
  state_ = State::Connecting;
  connectDeadlineMs_ = loop_.Clock().NowMs() + options_.connectTimeoutMs;
  if (conn_ == nullptr || PQstatus(conn_) == CONNECTION_BAD) {
    GoDown(conn_ != nullptr ? TrimmedError(PQerrorMessage(conn_)) : "out of memory",
           RPgResultStr::Status::Lost);
    return;
  }
  // Notices (a skipped "IF NOT EXISTS", a shutdown's last word) would go
  // to standard error; what matters reaches the caller as results.
  PQsetNoticeProcessor(
      conn_, [](void*, const char*) {}, nullptr);
  // Until the first poll, libpq is as if it had asked to write.
  wantWrite_ = true;
  WatchSocket();
  ArmTimeout();
}

void RPgClient::WatchSocket() {
  const int fd = PQsocket(conn_);
  if (fd != socket_) {
    // libpq closes and opens sockets while it tries a string's hosts.
    UnwatchSocket(false);
    if (fd >= 0) {
      std::weak_ptr<bool> alive = alive_;
      if (loop_.WatchFd(fd, [this, alive](uint32_t ev) {
            if (auto a = alive.lock(); a && *a) OnSocket(ev);
          })) {
        socket_ = fd;
      }
    }
  }
  if (socket_ >= 0) loop_.WatchFdWritable(socket_, wantWrite_);
}

void RPgClient::UnwatchSocket(bool) {
  if (socket_ < 0) return;
  loop_.UnwatchFd(socket_);
  socket_ = -1;
}

void RPgClient::PollConnect() {
  const PostgresPollingStatusType r = PQconnectPoll(conn_);
  switch (r) {
    case PGRES_POLLING_READING:
      wantWrite_ = false;
      WatchSocket();
      return;
    case PGRES_POLLING_WRITING:
      wantWrite_ = true;
      WatchSocket();
      return;
    case PGRES_POLLING_OK:
      break;
    default:
      GoDown(TrimmedError(PQerrorMessage(conn_)), RPgResultStr::Status::Lost);
      return;
  }
  if (PQsetnonblocking(conn_, 1) != 0 || PQenterPipelineMode(conn_) != 1) {
    GoDown(TrimmedError(PQerrorMessage(conn_)), RPgResultStr::Status::Lost);
    return;
  }
  state_ = State::Ready;
  ++connects_;
  backoffMs_ = 0;
  lastError_.clear();
  wantWrite_ = false;
  WatchSocket();
  if (!reported_ || !reportedUp_) {
    reported_ = reportedUp_ = true;
    if (onState_) onState_(true, std::string());
  }
}

void RPgClient::OnSocket(uint32_t events) {
  if (conn_ == nullptr) return;
  if (state_ == State::Connecting) {
    PollConnect();
    return;
  }
  if (state_ != State::Ready) return;
  if ((events & EPOLLOUT) != 0) Flush();
  if (conn_ == nullptr) return;
  if ((events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
    if (PQconsumeInput(conn_) == 0) {
      GoDown(TrimmedError(PQerrorMessage(conn_)), RPgResultStr::Status::Lost);
      return;
    }
    Drain();
    // A server that shuts down says so first and closes afterwards.
    if (conn_ != nullptr && PQstatus(conn_) == CONNECTION_BAD)
      GoDown(TrimmedError(PQerrorMessage(conn_)), RPgResultStr::Status::Lost);
  }
}

void RPgClient::Flush() {
  const int r = PQflush(conn_);
  if (r < 0) {
    GoDown(TrimmedError(PQerrorMessage(conn_)), RPgResultStr::Status::Lost);
    return;
  }
  const bool want = r == 1;
  if (want != wantWrite_) {
    wantWrite_ = want;
    WatchSocket();
  }
}

void RPgClient::Drain() {
  std::deque<Pending> done;
  int nulls = 0;
  while (conn_ != nullptr && PQisBusy(conn_) == 0) {
    PGresult* r = PQgetResult(conn_);
    if (r == nullptr) {
      // Between a statement's result and its sync comes one null; with
      // nothing pending, libpq keeps saying null.
      if (inflight_.empty() || !inflight_.front().gotResult || ++nulls > 1) break;
      continue;
    }
    nulls = 0;
    if (PQresultStatus(r) == PGRES_PIPELINE_SYNC) {
      PQclear(r);
      if (!inflight_.empty()) {
        done.push_back(std::move(inflight_.front()));
        inflight_.pop_front();
      }
      continue;
    }
    if (!inflight_.empty() && !inflight_.front().gotResult) {
      FillResult(r, inflight_.front().result);
      inflight_.front().gotResult = true;
    }
    PQclear(r);
  }
  Answer(done);
}

void RPgClient::Query(std::string sql, RPgParams params, Done done) {
  if (state_ != State::Ready) {
    RPgResultStr r;
    r.status = RPgResultStr::Status::Unavailable;
    r.error = lastError_.empty() ? "not connected" : lastError_;
    AnswerLater(std::move(done), std::move(r));
    return;
  }
  std::vector<const char*> values;
  values.reserve(params.size());
  for (const auto& p : params) values.push_back(p ? p->c_str() : nullptr);
  if (PQsendQueryParams(conn_, sql.c_str(), static_cast<int>(values.size()), nullptr, values.data(),
                        nullptr, nullptr, 0) != 1 ||
      PQpipelineSync(conn_) != 1) {
    RPgResultStr r;
    r.status = RPgResultStr::Status::Lost;
    r.error = TrimmedError(PQerrorMessage(conn_));
    AnswerLater(std::move(done), r);
    GoDown(r.error, RPgResultStr::Status::Lost);
    return;
  }
  Pending p;
  p.done = std::move(done);
  p.deadlineMs = loop_.Clock().NowMs() + options_.statementTimeoutMs;
  inflight_.push_back(std::move(p));
  // PQpipelineSync pushed what it could; the rest waits for the socket.
  Flush();
  ArmTimeout();
}

void RPgClient::FinishInFlight(int64_t timeoutMs) {
  const int64_t end = loop_.Clock().NowMs() + timeoutMs;
  while (conn_ != nullptr && state_ == State::Ready && !inflight_.empty()) {
    const int64_t left = end - loop_.Clock().NowMs();
    if (left <= 0 || PQflush(conn_) < 0) return;
    pollfd p{};
    p.fd = socket_;
    p.events = static_cast<short>(POLLIN | (wantWrite_ ? POLLOUT : 0));
    if (::poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return;
    if (PQconsumeInput(conn_) == 0) return;
    Drain();
  }
}

void RPgClient::GoDown(const std::string& why, RPgResultStr::Status inflightStatus) {
  const bool wasUp = state_ == State::Ready;
  UnwatchSocket(true);
  if (conn_ != nullptr) PQfinish(conn_);
  conn_ = nullptr;
  state_ = State::Waiting;
  lastError_ = why;
  std::deque<Pending> done;
  done.swap(inflight_);
  for (Pending& p : done) {
    // A result that came before its sync is the statement's answer.
    if (!p.gotResult) {
      p.result.status = inflightStatus;
      p.result.error = why;
    }
  }
  ScheduleReconnect();
  std::weak_ptr<bool> alive = alive_;
  if (!reported_ || reportedUp_ || wasUp) {
    reported_ = true;
    reportedUp_ = false;
    if (onState_) onState_(false, why);
    if (alive.expired() || !*alive.lock()) return;
  }
  Answer(done);
}

void RPgClient::ScheduleReconnect() {
  backoffMs_ =
      backoffMs_ == 0 ? options_.minBackoffMs : std::min(backoffMs_ * 2, options_.maxBackoffMs);
  if (reconnectTimer_ != 0) loop_.CancelTimer(reconnectTimer_);
  std::weak_ptr<bool> alive = alive_;
  reconnectTimer_ = loop_.AddTimer(backoffMs_, false, [this, alive] {
    if (auto a = alive.lock(); a && *a && state_ == State::Waiting) BeginConnect();
  });
}

void RPgClient::ArmTimeout() {
  if (timeoutTimer_ != 0) return;
  const int64_t period = std::clamp<int64_t>(
      std::min(options_.statementTimeoutMs, options_.connectTimeoutMs) / 5, 10, 500);
  std::weak_ptr<bool> alive = alive_;
  timeoutTimer_ = loop_.AddTimer(period, true, [this, alive] {
    if (auto a = alive.lock(); a && *a) CheckTimeouts();
  });
}

void RPgClient::CheckTimeouts() {
  const int64_t now = loop_.Clock().NowMs();
  if (state_ == State::Connecting && now >= connectDeadlineMs_) {
    GoDown("connection timed out", RPgResultStr::Status::Lost);
  } else if (state_ == State::Ready && !inflight_.empty() && now >= inflight_.front().deadlineMs) {
    // The answers come in order: the oldest one missing holds up the rest.
    GoDown("statement timed out", RPgResultStr::Status::TimedOut);
  }
  const bool watching = state_ == State::Connecting || !inflight_.empty();
  if (!watching && timeoutTimer_ != 0) {
    loop_.CancelTimer(timeoutTimer_);
    timeoutTimer_ = 0;
  }
}

void RPgClient::Answer(std::deque<Pending>& done) {
  std::weak_ptr<bool> alive = alive_;
  for (Pending& p : done) {
    if (p.done) p.done(p.result);
    if (alive.expired() || !*alive.lock()) return;
  }
}

void RPgClient::AnswerLater(Done done, RPgResultStr result) {
  if (!done) return;
  std::weak_ptr<bool> alive = alive_;
  loop_.AddTimer(0, false, [alive, done = std::move(done), result = std::move(result)] {
    if (auto a = alive.lock(); a && *a) done(result);
  });
}

}  // namespace vantor
