#include "gui/qt/RAdminClient.h"

#include <vector>

namespace vantor {
namespace {

// A session list of ten thousand sessions is a few MB; far beyond that the
// answer is broken, and holding it would only grow the window's memory.
constexpr size_t kMaxAnswer = 64u << 20;
// The server sends a comment every 15 s on a quiet stream.
constexpr long kStreamSilenceSeconds = 40;

}  // namespace

struct RAdminClient::Transfer {
  uint64_t id = 0;
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  std::string sent;  // the request body, alive while curl reads it
  bool stream = false;
  RAdminReplyStr reply;
  std::string pending;  // stream bytes not yet handed on
  Chunk chunk;
  Done done;
  char errorText[CURL_ERROR_SIZE] = {};
  ~Transfer() {
    curl_slist_free_all(headers);
    if (easy != nullptr) curl_easy_cleanup(easy);
  }
};

RAdminClient::RAdminClient(Options o, QObject* parent) : QObject(parent), o_(std::move(o)) {
  multi_ = curl_multi_init();
  curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &RAdminClient::OnSocket);
  curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &RAdminClient::OnTimer);
  curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
  timer_.setSingleShot(true);
  connect(&timer_, &QTimer::timeout, this, [this] { Act(CURL_SOCKET_TIMEOUT, 0); });
}

RAdminClient::~RAdminClient() {
  CancelAll();
  watches_.clear();
  curl_multi_cleanup(multi_);
}

uint64_t RAdminClient::Request(const std::string& method, const std::string& path,
                               const std::string& body, Done done) {
  auto t = std::make_unique<Transfer>();
  t->done = std::move(done);
  return Start(std::move(t), method, path, body);
}

uint64_t RAdminClient::Stream(const std::string& path, Chunk chunk, Done done) {
  auto t = std::make_unique<Transfer>();
  t->stream = true;
  t->chunk = std::move(chunk);
  t->done = std::move(done);
  return Start(std::move(t), "GET", path, {});
}

uint64_t RAdminClient::Start(std::unique_ptr<Transfer> t, const std::string& method,
                             const std::string& path, const std::string& body) {
  const uint64_t id = nextId_++;
  t->id = id;
  t->sent = body;
  CURL* c = t->easy = curl_easy_init();
  const bool unix = !o_.target.socketPath.empty();
  const std::string url = (unix ? std::string("http://localhost") : o_.target.baseUrl) + path;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, t->errorText);
  curl_easy_setopt(c, CURLOPT_PRIVATE, reinterpret_cast<void*>(static_cast<uintptr_t>(id)));
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, unix ? "http" : "http,https");
  if (unix) curl_easy_setopt(c, CURLOPT_UNIX_SOCKET_PATH, o_.target.socketPath.c_str());
  if (!o_.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, o_.caFile.c_str());
  if (!o_.token.empty()) {
    t->headers = curl_slist_append(t->headers, ("Authorization: Bearer " + o_.token).c_str());
  }
  if (!t->sent.empty()) {
    t->headers = curl_slist_append(t->headers, "Content-Type: application/json");
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, t->sent.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(t->sent.size()));
  } else if (method != "GET") {
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, 0L);
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, "");
  }
  if (t->headers != nullptr) curl_easy_setopt(c, CURLOPT_HTTPHEADER, t->headers);
  if (t->stream) {
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, kStreamSilenceSeconds);
  } else {
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 10000L);
  }
  curl_easy_setopt(c, CURLOPT_WRITEDATA, t.get());
  curl_easy_setopt(
      c, CURLOPT_WRITEFUNCTION, +[](char* p, size_t, size_t n, void* user) -> size_t {
        auto* x = static_cast<Transfer*>(user);
        long status = 0;
        curl_easy_getinfo(x->easy, CURLINFO_RESPONSE_CODE, &status);
        // Only a good stream is handed on as it comes; an error answer is
        // read whole, as any other.
        std::string& into = x->stream && status == 200 ? x->pending : x->reply.body;
        if (into.size() + n > kMaxAnswer) return 0;
        into.append(p, n);
        return n;
      });
  curl_multi_add_handle(multi_, c);
  transfers_.emplace(id, std::move(t));
  return id;
}

void RAdminClient::Cancel(uint64_t id) {
  const auto it = transfers_.find(id);
  if (it == transfers_.end()) return;
  curl_multi_remove_handle(multi_, it->second->easy);
  transfers_.erase(it);
}

void RAdminClient::CancelAll() {
  while (!transfers_.empty()) Cancel(transfers_.begin()->first);
}

int RAdminClient::OnSocket(CURL*, curl_socket_t fd, int what, void* self, void*) {
  auto* me = static_cast<RAdminClient*>(self);
  Watch& w = me->watches_[fd];
  auto set = [me, fd](std::unique_ptr<QSocketNotifier>& n, QSocketNotifier::Type type, bool on,
                      int mask) {
    if (on && !n) {
      n = std::make_unique<QSocketNotifier>(fd, type);
      connect(n.get(), &QSocketNotifier::activated, me, [me, fd, mask] { me->Act(fd, mask); });
    }
    if (n) n->setEnabled(on);
  };
  if (what == CURL_POLL_REMOVE) {
    // The notifier may be the one whose signal is running: it goes later.
    for (auto* n : {&w.read, &w.write}) {
      if (*n) {
        (*n)->setEnabled(false);
        (*n).release()->deleteLater();
      }
    }
    me->watches_.erase(fd);
    return 0;
  }
  set(w.read, QSocketNotifier::Read, what == CURL_POLL_IN || what == CURL_POLL_INOUT,
      CURL_CSELECT_IN);
  set(w.write, QSocketNotifier::Write, what == CURL_POLL_OUT || what == CURL_POLL_INOUT,
      CURL_CSELECT_OUT);
  return 0;
}

int RAdminClient::OnTimer(CURLM*, long ms, void* self) {
  auto* me = static_cast<RAdminClient*>(self);
  // libcurl may not be re-entered from here: the timer calls it later.
  if (ms < 0) {
    me->timer_.stop();
  } else {
    me->timer_.start(static_cast<int>(ms));
  }
  return 0;
}

void RAdminClient::Act(int fd, int mask) {
  if (acting_) return;
  acting_ = true;
  int running = 0;
  curl_multi_socket_action(multi_, fd, mask, &running);
  acting_ = false;
  Collect();
}

void RAdminClient::Collect() {
  // Stream bytes first, each by a fresh look-up: a callback may cancel.
  std::vector<uint64_t> ids;
  for (const auto& [id, t] : transfers_) {
    if (!t->pending.empty()) ids.push_back(id);
  }
  for (uint64_t id : ids) {
    const auto it = transfers_.find(id);
    if (it == transfers_.end()) continue;
    std::string bytes = std::move(it->second->pending);
    it->second->pending.clear();
    Chunk chunk = it->second->chunk;
    if (chunk) chunk(bytes);
  }
  struct Ended {
    uint64_t id;
    CURLcode result;
  };
  std::vector<Ended> ended;
  int left = 0;
  while (CURLMsg* m = curl_multi_info_read(multi_, &left)) {
    if (m->msg != CURLMSG_DONE) continue;
    void* priv = nullptr;
    curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &priv);
    ended.push_back({static_cast<uint64_t>(reinterpret_cast<uintptr_t>(priv)), m->data.result});
  }
  for (const Ended& e : ended) {
    const auto it = transfers_.find(e.id);
    if (it == transfers_.end()) continue;
    std::unique_ptr<Transfer> t = std::move(it->second);
    transfers_.erase(it);
    curl_multi_remove_handle(multi_, t->easy);
    RAdminReplyStr r = std::move(t->reply);
    curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &r.status);
    if (e.result != CURLE_OK) {
      r.error = t->errorText[0] != 0 ? std::string(t->errorText) : curl_easy_strerror(e.result);
      r.status = 0;
    } else if (t->stream && r.status == 200) {
      r.error = "the stream ended";
    }
    if (t->done) t->done(r);
  }
}

}  // namespace vantor
