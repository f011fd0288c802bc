// A temporary directory for one test, removed with everything in it at the
// end; the test fails when it cannot be made, or when an atomic write left a
// stray temporary file behind anywhere in it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vantor::test {

inline void WriteText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vantor-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
    EXPECT_FALSE(path_.empty()) << "no temporary directory";
  }
  ~TempDir() {
    if (path_.empty()) return;
    // Atomic writes go through "<name>.tmpXXXXXX" beside their target, in
    // whichever subdirectory that is.
    std::error_code ec;
    for (auto& e : std::filesystem::recursive_directory_iterator(
             path_, std::filesystem::directory_options::skip_permission_denied, ec)) {
      EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos)
          << "left behind: " << e.path();
    }
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& Path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Writes `text` to the file `name` in the directory; its path.
  std::string Write(const std::string& name, const std::string& text) const {
    WriteText(File(name), text);
    return File(name);
  }
  std::string Read(const std::string& name) const { return ReadText(File(name)); }

 private:
  std::string path_;
};

}  // namespace vantor::test
