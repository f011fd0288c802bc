// Runs the engine's message loop inside Qt's: one QSocketNotifier on the
// loop's epoll fd and one single-shot QTimer for its next timer, re-armed
// every time Qt is about to sleep. Engine and widgets share one thread, so
// the engine needs no locks.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include "platform/RMessageLoop.h"

namespace vantor {

class RLoopDriver : public QObject {
  Q_OBJECT
 public:
  // `loop` is not owned and must outlive the driver.
  explicit RLoopDriver(RMessageLoop& loop, QObject* parent = nullptr);

  // Handles whatever is ready now and re-arms the timer.
  void Pump();
  RMessageLoop& Loop() { return loop_; }

 signals:
  // The engine asked its loop to quit (RMessageLoop::Quit).
  void quitRequested();

 private:
  void Rearm();

  RMessageLoop& loop_;
  QSocketNotifier notifier_;
  QTimer timer_;
  bool quitSignalled_ = false;
};

}  // namespace vantor
