// Request processing in the running server: each reception runs the command flow
// (command_flow.h) over the database link, which is closed when the request ends (Handle); the
// statement watchdog's expiry (OnWatchdogExpired). Both return how the request ended.
//
// The processor is the flow's host: it decides where definitions come from (probing a
// database that was down at start-up) and arms the watchdog around the template statements.
// Everything runs on the event-loop thread.
//
// One at a time (the default): Handle runs a request to its end, every database operation
// blocking the loop. Parallel mode (SetParallel): Begin starts a request whose database
// operations the loop waits for, over a link of the pool, and tells its end; up to the pool's
// limit of requests are at the database at once, each with a watchdog of its own. The flow is
// the same in both.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"
#include "base/task.h"
#include "commands/command_flow.h"
#include "db/db_connection.h"
#include "commands/command_link.h"
#include "commands/reply_sink.h"
#include "commands/request_outcome.h"
#include "platform/monotonic_clock.h"

namespace larvek {

class ConfigStore;
class DbConnection;
class DbQuery;
class EventLoop;
class Timer;
struct LinkSettings;

class CommandProcessor final : private CommandFlow::Host {
 public:
  // The terminal with this id while it is connected; nullptr once it has gone.
  using FindTerminalFn = std::function<std::unique_ptr<ReplySink>(uint64_t id)>;

  // `settings` are read at every request; `watchdog` is armed around the template statements
  // and its expiry must call OnWatchdogExpired. Everything given must outlive the processor.
  CommandProcessor(DbConnection& connection, DbQuery& query, const ConfigStore& own_file,
                   Timer& watchdog, const CommandSettings& settings, LogFn add_log_line,
                   FindTerminalFn find_terminal,
                   const MonotonicClock& clock = SteadyMonotonicClock());
  ~CommandProcessor();  // cuts the requests of parallel mode that have not ended

  // One reception of `terminal` (its text without trailing CRs) through the command flow;
  // returns how the request ended, with the time it took. Nothing leaves it: what the flow
  // does not answer itself is logged as "Chyba požadavku: class: message" and gets no reply.
  // Whatever the outcome, the link is closed when it returns: the next request, from any
  // terminal, starts a session of its own.
  RequestOutcome Handle(ReplySink& terminal, std::string_view reception);

  // Called as `reception` arrives, before it is written anywhere: when its request is going to
  // need the database link first thing (it has text, and its definition is looked up in the
  // table, or the database is to be probed for the source), starts opening the link, so that
  // the database accepts it while the reception is written to the dump file and the log.
  // Handle then finishes the opening; a link it did not use is closed before Handle returns.
  void OpenLinkAhead(std::string_view reception);

  // Parallel mode with at most `limit` requests at the database at once (2 and up), on links
  // to the database of `settings` whose operations `loop` waits for. Called again (the
  // configuration read anew), the limit applies to the requests that take a link from then on;
  // a changed login closes the idle links at once and the busy ones when their request ends.
  void SetParallel(EventLoop& loop, size_t limit, const LinkSettings& settings);
  // Back to one at a time for the requests that start from now on. Those in flight end on
  // their links, and parallel mode's links and state go once the last one has ended.
  void EndParallel();
  // Whether requests that start now go in parallel.
  bool Parallel() const { return parallel_ != nullptr && !ending_parallel_; }
  // Parallel mode: the most requests at the database at once; 0 one at a time.
  size_t ParallelLimit() const;
  // Told the time of each opening of a link, of either mode.
  void SetLinkOpenedHandler(DbConnection::OpenedFn opened);
  // Parallel mode: the pool's links that exist, and of them the idle ones; 0 one at a time.
  size_t LinksOpen() const;
  size_t LinksIdle() const;

  using EndedFn = std::function<void(const RequestOutcome&)>;
  // Parallel mode: starts the request of one reception of `terminal` (its text without
  // trailing CRs) and returns; `ended` gets its outcome, with the time it took, when it has
  // ended (already inside Begin when it needed no wait), also when it is cut.
  void Begin(std::unique_ptr<ReplySink> terminal, std::string reception, EndedFn ended);
  // Requests started and not ended, and of them those waiting for a link or for the probe.
  size_t InFlight() const;
  size_t Waiting() const;
  // Cuts the requests that have not reached the database (waiting for a link or for the
  // probe), or all requests: each is logged with its command name, gets no reply and ends
  // with kNoReply.
  void CutWaiting();
  void CutAll();

  // Shortest time between two probes of a database that was down at start-up.
  static constexpr std::chrono::seconds kProbeInterval{5};
  // The watchdog expired: drop the database link and tell the terminal of the latest execution
  // (kTimeoutRecord; kNothing when that terminal has gone).
  RequestOutcome OnWatchdogExpired();

 private:
  // CommandFlow::Host: the configured source, or the probe's; probes the database when
  // start-up could not, at most every kProbeInterval (between two probes a request fails as
  // the last probe did).
  Task<DefinitionSource> DecideSource(CommandLink& link) override;
  void Executing(const CommandDefinition& definition, const ParameterValues& params,
                 ReplySink& terminal) override;
  void StatementStarts() override;
  void StatementEnded() override;

  struct ParallelRequest;
  struct ParallelState;
  friend struct ParallelRequest;
  Detached RunRequest(ParallelRequest& request);
  // Ends the request with `outcome`: it is removed, then told.
  void Finish(ParallelRequest& request, RequestOutcome outcome);
  // Cuts a request that has not ended: its coroutine and its link go at once.
  void Cut(ParallelRequest& request);
  void WatchdogCut(ParallelRequest& request);
  // The end of the run: cuts the requests waiting for a link or the probe, or all.
  void CutAtTheEnd(bool only_waiting);
  // After EndParallel: the parallel state goes when no request of it is left.
  void DropParallelWhenIdle();

  // The source known without the database: the configured one or the probe's; none when a
  // request has to probe.
  std::optional<DefinitionSource> KnownSource() const override;
  // True while the last probe failed less than kProbeInterval ago: requests fail as it did.
  bool WithinFailedProbeInterval() const;

  DbConnection& connection_;
  CommandCache cache_;  // shared by the flows of both modes
  DatabaseLink link_;
  Timer& watchdog_;
  const CommandSettings& settings_;
  LogFn log_;
  FindTerminalFn find_terminal_;
  CommandFlow flow_;
  // The terminal and command of the latest execution: the timeout record names that command
  // and goes to that terminal.
  std::optional<uint64_t> watched_terminal_;
  std::string watched_name_;
  // The source found by a probe after a failed start-up, and when the last probe ran.
  std::optional<DefinitionSource> probed_source_;
  const MonotonicClock& clock_;  // times the probes and the requests
  std::optional<MonotonicClock::TimePoint> last_probe_;
  std::optional<Error> last_probe_failure_;
  bool probing_ = false;  // a request probes now; the others wait for its outcome
  std::unique_ptr<ParallelState> parallel_;
  bool ending_parallel_ = false;  // see EndParallel
  DbConnection::OpenedFn on_link_opened_;
};

}  // namespace larvek
