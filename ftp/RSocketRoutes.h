// RSocketRoutes: which session (and in which role) owns a socket, by the
// socket's identifier.
//
// Every socket event reaches the manager as (socket id, event). The routes
// answer "whose is it" with one look-up, however many sessions are
// connected; the session then tells its control connection from its data
// connection by the role. Identifiers are never reused (RWinSocket::Id), so
// a descriptor number the system hands to a new socket can never route an
// event of the old one to the new owner.
//
// `RRoutedSocket` keeps a route exact without any caller remembering it: a
// session's data socket and passive listener are held in one, which adds the
// route when a socket is put in and removes it when the socket is replaced,
// released or destroyed.
//
// Thread: the loop thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "net/RWinSocket.h"

namespace vantor {

enum class RSocketRole : uint8_t {
  Control,  // a session's control connection
  Data,     // a session's data connection
  Passive,  // a session's passive listener
  Intake,   // a connection whose PROXY header is being read (no session yet)
};

struct RSocketRouteStr {
  uint32_t session = 0;  // session number; 0 for an intake
  RSocketRole role = RSocketRole::Control;
};

class RSocketRoutes {
 public:
  // A second Add for the same identifier replaces the first.
  void Add(uint32_t socketId, uint32_t session, RSocketRole role);
  void Remove(uint32_t socketId);
  // nullptr when no route has this identifier. Valid until the next change.
  const RSocketRouteStr* Find(uint32_t socketId) const;
  size_t Size() const { return routes_.size(); }

 private:
  std::unordered_map<uint32_t, RSocketRouteStr> routes_;
};

// An owning socket pointer that keeps its route. Unbound (no routes given)
// it is a plain owner: sessions made without a manager's routes work alike.
class RRoutedSocket {
 public:
  RRoutedSocket() = default;
  ~RRoutedSocket() { reset(); }
  RRoutedSocket(const RRoutedSocket&) = delete;
  RRoutedSocket& operator=(const RRoutedSocket&) = delete;

  // The routes, owner and role every socket put in here is registered under.
  // A socket already held is registered at once.
  void Bind(RSocketRoutes* routes, uint32_t session, RSocketRole role);

  RRoutedSocket& operator=(std::unique_ptr<RWinSocket> socket);
  RRoutedSocket& operator=(std::nullptr_t) {
    reset();
    return *this;
  }
  // Removes the route, then destroys the socket.
  void reset();
  // Removes the route and gives the socket up.
  [[nodiscard]] std::unique_ptr<RWinSocket> release();

  RWinSocket* get() const { return socket_.get(); }
  RWinSocket* operator->() const { return socket_.get(); }
  RWinSocket& operator*() const { return *socket_; }
  explicit operator bool() const { return socket_ != nullptr; }
  bool operator==(std::nullptr_t) const { return socket_ == nullptr; }

 private:
  void Unroute();

  std::unique_ptr<RWinSocket> socket_;
  uint32_t routedId_ = 0;  // the identifier registered, 0 for none
  RSocketRoutes* routes_ = nullptr;
  uint32_t session_ = 0;
  RSocketRole role_ = RSocketRole::Data;
};

}  // namespace vantor
