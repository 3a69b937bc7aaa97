// Drives the program's EventLoop from the Qt event loop, so that sockets, posted tasks and
// timers are dispatched by the same loop and in the same order as in console mode.
//
// A socket notifier watches the loop's poll descriptor and a single-shot timer waits for the
// loop's next timer deadline; either runs one non-blocking pass (RunOnce(0)) and then re-arms
// the timer. Passes never nest: a pass asked for while one runs (a handler that spun Qt events)
// is run right after the current one returns.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

namespace larvek {

class EventLoop;

class QtLoopDriver : public QObject {
  Q_OBJECT

 public:
  explicit QtLoopDriver(EventLoop& loop, QObject* parent = nullptr);

  // Starts watching; the first pass runs from the Qt event loop.
  void Start();
  // Stops watching; nothing is dispatched any more.
  void Stop();
  // Arms the deadline timer anew. Call it after code outside a pass enabled or changed a timer.
  void Rearm();

 private:
  void Pass();

  EventLoop& loop_;
  QSocketNotifier notifier_;
  QTimer deadline_;
  bool running_ = false;
  bool in_pass_ = false;
  bool pass_wanted_ = false;
};

}  // namespace larvek
