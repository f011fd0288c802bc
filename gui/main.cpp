// `vantor-gui`: the server with its administration window. The engine runs
// on Qt's thread: its event loop is driven by RLoopDriver. With --connect
// the window watches a server that runs elsewhere instead, through its
// administration endpoint.
#include <curl/curl.h>

#include <QApplication>
#include <QFile>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "gui/RAdminModel.h"
#include "gui/qt/RGuiHost.h"
#include "gui/qt/RLoopDriver.h"
#include "gui/qt/RMainWindow.h"
#include "gui/qt/RRemoteHost.h"
#include "platform/RMessageLoop.h"
#include "platform/RProcess.h"
#include "util/RStringTable.h"

namespace {

using namespace vantor;

constexpr const char* kConnectUsage =
    "usage: vantor-gui --connect unix:PATH [-h|-i]\n"
    "       vantor-gui --connect https://HOST:PORT --token-file FILE [--cacert FILE] [-h|-i]\n";

// The first line of the token file, without blanks around it.
bool ReadToken(const std::string& path, std::string* token, std::string* error) {
  QFile f(QString::fromStdString(path));
  if (!f.open(QIODevice::ReadOnly)) {
    *error = f.errorString().toStdString();
    return false;
  }
  const QByteArray line = f.readLine(4096).trimmed();
  if (line.isEmpty()) {
    *error = "the file holds no token";
    return false;
  }
  token->assign(line.constData(), static_cast<size_t>(line.size()));
  return true;
}

// -1: not a --connect command line; else the exit code, or 0 with `client`
// filled to run.
int ParseConnect(const std::vector<std::string>& args, RAdminClient::Options* client,
                 RGuiOptionsStr* gui) {
  // The in-process command line stays exactly as it was.
  if (std::find(args.begin(), args.end(), "--connect") == args.end()) return -1;
  bool connect = false;
  std::string target, tokenFile;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= args.size()) return false;
      *into = args[++i];
      return true;
    };
    bool ok = true;
    if (a == "--connect") {
      connect = true;
      ok = value(&target);
    } else if (a == "--token-file") {
      ok = value(&tokenFile);
    } else if (a == "--cacert") {
      ok = value(&client->caFile);
    } else if (a == "-h") {
      gui->hidden = true;
    } else if (a == "-i") {
      gui->iconic = true;
    } else {
      ok = false;
    }
    if (!ok) {
      std::fputs(kConnectUsage, stderr);
      return 2;
    }
  }
  if (!connect) return -1;
  std::string error;
  const auto t = ParseConnectTarget(target, &error);
  if (!t) {
    std::fprintf(stderr, "vantor-gui: --connect %s: %s\n%s", target.c_str(), error.c_str(),
                 kConnectUsage);
    return 2;
  }
  client->target = *t;
  if (!t->baseUrl.empty()) {
    if (tokenFile.empty()) {
      std::fprintf(stderr, "vantor-gui: %s needs --token-file\n", t->baseUrl.c_str());
      return 2;
    }
    if (!ReadToken(tokenFile, &client->token, &error)) {
      std::fprintf(stderr, "vantor-gui: %s: %s\n", tokenFile.c_str(), error.c_str());
      return 2;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vantor;
  const auto all = EnvVar("LC_ALL"), messages = EnvVar("LC_MESSAGES"), lang = EnvVar("LANG");
  SetLanguage(LanguageFromLocale(all ? all->c_str() : nullptr,
                                 messages ? messages->c_str() : nullptr,
                                 lang ? lang->c_str() : nullptr));
  std::vector<std::string> args(argv + 1, argv + argc);

  RAdminClient::Options client;
  RGuiOptionsStr gui;
  if (const int parsed = ParseConnect(args, &client, &gui); parsed >= 0) {
    if (parsed > 0) return parsed;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int code = 0;
    {
      QApplication app(argc, argv);
      QApplication::setQuitOnLastWindowClosed(false);
      RRemoteHost host(std::move(client), gui);
      host.Start();
      QObject::connect(host.Window(), &RMainWindow::closed, &app, &QApplication::quit,
                       Qt::QueuedConnection);
      code = app.exec();
      host.Stop();
    }
    curl_global_cleanup();
    return code;
  }

  QApplication app(argc, argv);
  // Closing to the tray must not end the program; the main window's close does.
  QApplication::setQuitOnLastWindowClosed(false);
  RMessageLoop loop;
  RGuiHost host(loop);
  if (const int code = host.Start(args); code >= 0) return code;
  RLoopDriver driver(loop);
  QObject::connect(host.Window(), &RMainWindow::closed, &app, &QApplication::quit,
                   Qt::QueuedConnection);
  QObject::connect(&driver, &RLoopDriver::quitRequested, &app, &QApplication::quit);
  const int code = app.exec();
  host.Stop();
  return code;
}
