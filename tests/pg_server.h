// A real PostgreSQL server for one test suite: initdb in a temporary folder,
// listening only on a Unix socket there, run as a non-root account (the
// `postgres` system account, else `nobody`, when the tests run as root),
// stopped by its PID at the end. Absent binaries make the tests skip.
#pragma once

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace vantor::test {

class PgServer {
 public:
  // The folder of initdb, pg_ctl and psql, or empty.
  static std::string BinDir() {
    std::error_code ec;
    std::string best;
    for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
      const std::string bin = e.path().string() + "/bin";
      if (std::filesystem::exists(bin + "/initdb") && bin > best) best = bin;
    }
    return best;
  }

  PgServer() {
    bin_ = BinDir();
    if (bin_.empty()) return;
    std::string tmpl = (std::filesystem::temp_directory_path() / "vantor-pg-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) return;
    dir_ = tmpl;
    if (::geteuid() == 0) {
      const passwd* pw = ::getpwnam("postgres");
      if (pw == nullptr) pw = ::getpwnam("nobody");
      if (pw == nullptr) return;
      as_ = "setpriv --reuid=" + std::to_string(pw->pw_uid) +
            " --regid=" + std::to_string(pw->pw_gid) + " --clear-groups ";
      if (::chown(dir_.c_str(), pw->pw_uid, pw->pw_gid) != 0) return;
    }
    const std::string data = dir_ + "/data";
    if (Run(bin_ + "/initdb -A trust -U vantor -D " + data + " >" + dir_ + "/initdb.log 2>&1") != 0)
      return;
    started_ = StartServer();
  }
  ~PgServer() {
    Stop();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  PgServer(const PgServer&) = delete;
  PgServer& operator=(const PgServer&) = delete;

  bool Available() const { return !bin_.empty(); }
  bool Started() const { return started_; }
  const std::string& SocketDir() const { return dir_; }
  std::string ConnInfo(const std::string& db = "postgres") const {
    return "host=" + dir_ + " port=" + std::to_string(kPort) + " user=vantor dbname=" + db;
  }
  // Runs SQL through psql; its exit code.
  int Psql(const std::string& sql, const std::string& db = "postgres") const {
    const std::string file = dir_ + "/q.sql";
    std::ofstream(file) << sql;
    ::chmod(file.c_str(), 0644);
    return Run(bin_ + "/psql -q -v ON_ERROR_STOP=1 -h " + dir_ + " -p " + std::to_string(kPort) +
               " -U vantor -d " + db + " -f " + file + " >" + dir_ + "/psql.log 2>&1");
  }
  // A fresh database of its own for one test.
  std::string NewDatabase() {
    const std::string name = "t" + std::to_string(++databases_);
    EXPECT_EQ(Psql("CREATE DATABASE " + name + ";"), 0);
    return name;
  }

  // Stops the server (fast shutdown) and waits for its process to end.
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGINT);
    WaitGone(pid_);
    pid_ = 0;
  }
  // Starts it again on the same folder.
  bool Restart() {
    Stop();
    return started_ = StartServer();
  }

 private:
  static constexpr int kPort = 5432;

  int Run(const std::string& cmd) const {
    const int rc = std::system((as_ + "sh -c '" + cmd + "'").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  bool StartServer() {
    const std::string data = dir_ + "/data";
    if (Run(bin_ + "/pg_ctl -w -t 60 -D " + data + " -l " + dir_ + "/server.log -o \"-k " + dir_ +
            " -p " + std::to_string(kPort) + " -c listen_addresses=\" start >/dev/null 2>&1") != 0)
      return false;
    std::ifstream pidFile(data + "/postmaster.pid");
    pidFile >> pid_;
    return pid_ > 0;
  }
  static void WaitGone(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (::kill(pid, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  std::string bin_, dir_, as_;
  pid_t pid_ = 0;
  bool started_ = false;
  int databases_ = 0;
};

}  // namespace vantor::test
