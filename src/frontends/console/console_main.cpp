#include "frontends/console/console_main.h"

#include <functional>

#include "base/codepage.h"
#include "frontends/console/console_window.h"
#include "frontends/console/service_notifier.h"
#include "platform/event_loop.h"
#include "platform/signals.h"
#include "platform/timer.h"
#include "server/server.h"

namespace larvek {
namespace {

// Log lines of the service mode when it gives up: + the error message.
const char kStartUpFailed[] = "Server nelze spustit: ";
const char kListenFailed[] = "Naslouch\xE1n\xED nelze spustit: ";
// How often the supervisor's status line is refreshed.
constexpr int kStatusIntervalMs = 5000;

// The end of the status line while the database does not answer: a server whose requests
// all fail must not look healthy.
const char kDatabaseDownStatus[] =
    ", datab\xE1ze naposledy neodpov\xEC"
    "d\xEC"
    "la";

std::string StatusText(const Server& server) {
  const ServerCounts& counts = server.Counts();
  return Cp1250ToUtf8("Naslouch\xE1 na " + server.ListeningAddress() + ":" +
                      std::to_string(server.ListeningPort()) + ", spojen\xED " +
                      std::to_string(counts.connections) +
                      ", po\x9E"
                      "adavk\xF9 " +
                      std::to_string(counts.requests) + ", chyb " + std::to_string(counts.errors) +
                      (counts.database_down ? kDatabaseDownStatus : ""));
}

}  // namespace

int RunConsole(const ConsoleOptions& options) {
  EventLoop loop;
  ConsoleWindow view;
  // A supervisor (systemd) keeps standard output and standard error in its journal, with the
  // priority each line starts with.
  if (options.service) view.MarkPriorities();
  // The echo of a round's log lines is one write (the day's file has each line at once).
  view.HoldLogUntilFlush();
  loop.SetBeforeWait([&view] { view.FlushLog(); });
  // The first signal lets the requests in flight finish (see Server::Drain); a second one ends
  // the run at once. A service reads its configuration again on SIGHUP (not once the run
  // ends); in a console a hangup is the terminal going away and ends the run.
  Server* draining = nullptr;
  bool signalled = false;
  std::function<void()> reload;
  std::function<void()> on_hang_up;
  if (options.service) {
    on_hang_up = [&] {
      if (!signalled && reload) reload();
    };
  }
  SignalWatch signals(
      loop,
      [&] {
        if (signalled || draining == nullptr) {
          loop.Stop();
          return;
        }
        signalled = true;
        draining->Drain([&loop] { loop.Stop(); });
      },
      on_hang_up);
  int status = 0;
  {
    Server server(loop, view, options.program_path, options.log_dir);
    draining = &server;
    ServiceNotifier notifier;
    Timer status_timer(loop);
    status_timer.SetInterval(kStatusIntervalMs);
    status_timer.SetHandlers({.on_timer = [&] { notifier.Status(StatusText(server)); }});
    bool ready = false;
    if (options.service) {
      server.OnListenAttempted = [&](bool listening) {
        if (!listening) {
          server.AddLogLine(kListenFailed + view.LastError());
          status = 1;
          loop.Stop();
          return;
        }
        ready = true;
        notifier.Ready(StatusText(server));
        status_timer.SetEnabled(true);
      };
      // The supervisor hears of a reload only once it has heard the service is ready.
      reload = [&] {
        if (ready) notifier.Reloading();
        server.ReloadConfiguration();
        if (ready) notifier.Ready(StatusText(server));
      };
    }
    // A database that is down is no reason to give up: requests retry it (see
    // CommandProcessor). Anything else that stops start-up ends a service.
    if (server.Start() == StartOutcome::kFailed && options.service) {
      server.AddLogLine(kStartUpFailed + view.LastError());
      status = 1;
    } else {
      // The console counts as the shown window: OnWindowShown follows Start at once, so
      // a failed start-up still starts the listener. The window position is neither restored
      // nor saved.
      server.OnWindowShown();
      loop.Run();
    }
    draining = nullptr;
    reload = nullptr;
    status_timer.SetEnabled(false);
    if (options.service) notifier.Stopping();
    server.ShutDown();
    // 1 also when a log line could not be written.
    if (status == 0) status = server.ExitStatus();
  }
  return status;
}

}  // namespace larvek
