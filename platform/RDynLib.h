// A loaded shared library (dlopen/dlsym/dlclose).
//
// Move-only; unloads exactly once when destroyed or reset. Libraries are
// loaded with RTLD_NOW so that a library with an unresolved symbol fails at
// load time instead of in the middle of a call, and RTLD_LOCAL so that two
// hook libraries never see each other's symbols.
//
// Loop thread only.
#pragma once

#include <string>
#include <string_view>

namespace vantor {

class RDynLib {
 public:
  RDynLib() = default;
  RDynLib(const RDynLib&) = delete;
  RDynLib& operator=(const RDynLib&) = delete;
  RDynLib(RDynLib&& o) noexcept;
  RDynLib& operator=(RDynLib&& o) noexcept;
  ~RDynLib() { Close(); }

  // Loads `path` (a path with a slash, or a bare name searched the way the
  // dynamic linker searches). False on failure; Error() then tells why.
  [[nodiscard]] bool Open(const std::string& path);
  // The address of `name`, or nullptr when the library does not export it.
  void* Symbol(const char* name) const;
  void Close();

  bool Loaded() const { return handle_ != nullptr; }
  // The dynamic linker's text for the last failure ("" when none).
  const std::string& Error() const { return error_; }

 private:
  void* handle_ = nullptr;
  std::string error_;
};

}  // namespace vantor
