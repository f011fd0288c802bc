#include "ftp/RSocketRoutes.h"

namespace vantor {

void RSocketRoutes::Add(uint32_t socketId, uint32_t session, RSocketRole role) {
  routes_[socketId] = RSocketRouteStr{session, role};
}

void RSocketRoutes::Remove(uint32_t socketId) {
  routes_.erase(socketId);
}

const RSocketRouteStr* RSocketRoutes::Find(uint32_t socketId) const {
  auto it = routes_.find(socketId);
  return it == routes_.end() ? nullptr : &it->second;
}

void RRoutedSocket::Bind(RSocketRoutes* routes, uint32_t session, RSocketRole role) {
  Unroute();
  routes_ = routes;
  session_ = session;
  role_ = role;
  if (socket_ && routes_ != nullptr) {
    routedId_ = socket_->Id();
    routes_->Add(routedId_, session_, role_);
  }
}

RRoutedSocket& RRoutedSocket::operator=(std::unique_ptr<RWinSocket> socket) {
  // The old socket's route goes before the old socket: a socket destroyed
  // here posts nothing, and nothing may route to it afterwards.
  Unroute();
  socket_ = std::move(socket);
  if (socket_ && routes_ != nullptr) {
    routedId_ = socket_->Id();
    routes_->Add(routedId_, session_, role_);
  }
  return *this;
}

void RRoutedSocket::reset() {
  Unroute();
  socket_.reset();
}

std::unique_ptr<RWinSocket> RRoutedSocket::release() {
  Unroute();
  return std::move(socket_);
}

void RRoutedSocket::Unroute() {
  if (routedId_ != 0 && routes_ != nullptr) routes_->Remove(routedId_);
  routedId_ = 0;
}

}  // namespace vantor
