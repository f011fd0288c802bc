#include "gui/qt/RLoopDriver.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>

namespace vantor {

RLoopDriver::RLoopDriver(RMessageLoop& loop, QObject* parent)
    : QObject(parent), loop_(loop), notifier_(loop.EpollFd(), QSocketNotifier::Read) {
  timer_.setSingleShot(true);
  connect(&notifier_, &QSocketNotifier::activated, this, [this] { Pump(); });
  connect(&timer_, &QTimer::timeout, this, [this] { Pump(); });
  // Messages posted or timers added from a widget's slot do not touch the
  // epoll fd; arming before every sleep catches them.
  if (auto* d = QAbstractEventDispatcher::instance(QThread::currentThread())) {
    connect(d, &QAbstractEventDispatcher::aboutToBlock, this, [this] { Rearm(); });
  }
  Rearm();
}

void RLoopDriver::Pump() {
  loop_.RunOnce(0);
  if (loop_.QuitRequested() && !quitSignalled_) {
    quitSignalled_ = true;
    emit quitRequested();
  }
  Rearm();
}

void RLoopDriver::Rearm() {
  const int64_t t = loop_.NextTimeoutMs();
  if (t < 0) {
    timer_.stop();
    return;
  }
  const int ms = t > 0x7fffffff ? 0x7fffffff : static_cast<int>(t);
  if (!timer_.isActive() || timer_.remainingTime() > ms) timer_.start(ms);
}

}  // namespace vantor
