#include "platform/RDynLib.h"

#include <dlfcn.h>

#include <utility>

namespace vantor {

RDynLib::RDynLib(RDynLib&& o) noexcept
    : handle_(std::exchange(o.handle_, nullptr)), error_(std::move(o.error_)) {}

RDynLib& RDynLib::operator=(RDynLib&& o) noexcept {
  if (this != &o) {
    Close();
    handle_ = std::exchange(o.handle_, nullptr);
    error_ = std::move(o.error_);
  }
  return *this;
}

bool RDynLib::Open(const std::string& path) {
  Close();
  error_.clear();
  if (path.empty()) {
    error_ = "empty library name";
    return false;
  }
  dlerror();  // clear a stale message
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    error_ = why != nullptr ? why : "dlopen failed";
    return false;
  }
  return true;
}

void* RDynLib::Symbol(const char* name) const {
  if (handle_ == nullptr || name == nullptr) return nullptr;
  return dlsym(handle_, name);
}

void RDynLib::Close() {
  if (handle_ != nullptr) dlclose(std::exchange(handle_, nullptr));
}

}  // namespace vantor
