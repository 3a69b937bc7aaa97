#include "commands/command_processor.h"

#include <algorithm>
#include <coroutine>
#include <map>
#include <utility>
#include <vector>

#include "commands/link_pool.h"
#include "commands/query_killer.h"
#include "commands/request.h"
#include "commands/waiting_line.h"
#include "platform/event_loop.h"

#include "db/db_connection.h"
#include "platform/timer.h"

namespace larvek {

CommandProcessor::CommandProcessor(DbConnection& connection, DbQuery& query,
                                   const ConfigStore& own_file, Timer& watchdog,
                                   const CommandSettings& settings, LogFn add_log_line,
                                   FindTerminalFn find_terminal, const MonotonicClock& clock)
    : connection_(connection),
      cache_(own_file),
      link_(connection, query),
      watchdog_(watchdog),
      settings_(settings),
      log_(std::move(add_log_line)),
      find_terminal_(std::move(find_terminal)),
      flow_(cache_, settings, log_, *this),
      clock_(clock) {}

RequestOutcome CommandProcessor::Handle(ReplySink& terminal, std::string_view reception) {
  const MonotonicClock::TimePoint started = clock_.Now();
  RequestOutcome outcome;
  // What the flow does not answer itself (a reply that could not be sent, a result column that
  // is missing, a template the preparation rejects) ends the request without a reply.
  if (auto e = CatchError(
          [&] { outcome = RunToCompletion(flow_.Run(link_, terminal, std::string(reception))); })) {
    log_(kRequestFailure + e->ClassName() + ": " + e->Message());
    outcome = {RequestOutcome::Kind::kNoReply, 0, *e, {}, {}, false};
  }
  // A link opened ahead that the request did not use is closed too.
  link_.Close();
  outcome.took = clock_.Now() - started;
  return outcome;
}

void CommandProcessor::OpenLinkAhead(std::string_view reception) {
  // The same test as Request::IsBlank, on the reception before CR, LF and "@" are removed.
  const bool has_text = std::any_of(reception.begin(), reception.end(),
                                    [](unsigned char c) { return c > 0x20 && c != '@'; });
  if (!has_text) return;
  const std::optional<DefinitionSource> source = KnownSource();
  if (source ? *source == DefinitionSource::kTable : !WithinFailedProbeInterval())
    connection_.BeginOpen();
}

std::optional<DefinitionSource> CommandProcessor::KnownSource() const {
  if (settings_.definitions) return settings_.definitions;
  return probed_source_;
}

bool CommandProcessor::WithinFailedProbeInterval() const {
  return last_probe_ && last_probe_failure_ && clock_.Now() - *last_probe_ < kProbeInterval;
}

void CommandProcessor::Executing(const CommandDefinition& definition,
                                 const ParameterValues& /*params*/, ReplySink& terminal) {
  watched_terminal_ = terminal.Id();
  watched_name_ = definition.name;
}

void CommandProcessor::StatementStarts() {
  if (settings_.watchdog_on) watchdog_.SetEnabled(true);
}

void CommandProcessor::StatementEnded() {
  watchdog_.SetEnabled(false);
}

RequestOutcome CommandProcessor::OnWatchdogExpired() {
  watchdog_.SetEnabled(false);
  connection_.Disconnect();
  // The terminal of the watched statement may have gone meanwhile; then there is no one to tell.
  if (!watched_terminal_) return {};
  const std::unique_ptr<ReplySink> terminal = find_terminal_(*watched_terminal_);
  if (!terminal) return {};
  SendReply(*terminal, watched_name_ + ";timeout" + settings_.terminator, /*add_cr=*/false, log_);
  return {RequestOutcome::Kind::kTimeoutRecord, 0, std::nullopt, {}, {}, false};
}

// Parallel mode.

namespace {

// Log line of a statement the watchdog cut: + name + kWatchdogCutMiddle + ms + " ms".
const char kWatchdogCut[] = "P\xF8\xEDkaz ";
const char kWatchdogCutMiddle[] =
    " p\xF8"
    "eru\x9A"
    "en: b\xEC\x9E\xED d\xE9le ne\x9E Max_time=";
// Log line of a request cut at the end of the run: + name + " z " + address + kCutEnd.
const char kRequestCut[] =
    "Po\x9E"
    "adavek ";
const char kRequestCutEnd[] =
    " zru\x9A"
    "en: server kon\xE8\xED";
const char kServerEnding[] = "server kon\xE8\xED";

// Gives the awaiting coroutine its own handle without suspending it.
struct CurrentCoroutine {
  std::coroutine_handle<> handle;
  bool await_ready() const noexcept { return false; }
  bool await_suspend(std::coroutine_handle<> current) noexcept {
    handle = current;
    return false;
  }
  std::coroutine_handle<> await_resume() const noexcept { return handle; }
};

// The command name of a reception, for the log line of a request cut before it ran.
std::string NameOf(const std::string& reception) {
  std::string name;
  CatchError([&] {
    const Request request = ParseRequest(reception);
    if (!request.IsBlank()) name = request.Name();
  });
  return name;
}

}  // namespace

struct CommandProcessor::ParallelState {
  ParallelState(EventLoop& loop, size_t limit, const LinkSettings& settings, LogFn log)
      : loop(loop), pool(loop, limit, settings), killer(loop, std::move(log)),
        probe_line(loop) {}
  EventLoop& loop;
  LinkPool pool;
  QueryKiller killer;
  WaitingLine probe_line;  // requests waiting for the outcome of another one's probe
  uint64_t next_id = 1;
  // Declared last: requests go before the pool and the killer they use.
  std::map<uint64_t, std::unique_ptr<ParallelRequest>> requests;
};

struct CommandProcessor::ParallelRequest final : CommandFlow::Host {
  ParallelRequest(CommandProcessor& processor, uint64_t id, std::unique_ptr<ReplySink> terminal,
                  std::string reception, EndedFn ended)
      : processor(processor),
        id(id),
        terminal(std::move(terminal)),
        reception(std::move(reception)),
        ended(std::move(ended)),
        link(processor.parallel_->pool,
             [&processor](const KillTarget& target) { processor.parallel_->killer.Kill(target); }),
        flow(processor.cache_, processor.settings_, processor.log_, *this),
        watchdog(processor.parallel_->loop),
        started(processor.clock_.Now()) {
    watchdog.SetHandlers({.on_timer = [this] { this->processor.WatchdogCut(*this); }});
  }

  Task<DefinitionSource> DecideSource(CommandLink& on) override {
    return processor.DecideSource(on);
  }
  std::optional<DefinitionSource> KnownSource() const override { return processor.KnownSource(); }
  void LookedUp(const std::string& /*name*/, const CommandDefinition* definition) override {
    if (definition) own_name = definition->own_name;
  }
  void Executing(const CommandDefinition& definition, const ParameterValues& /*params*/,
                 ReplySink& /*terminal*/) override {
    watched_name = definition.name;
  }
  void StatementStarts() override {
    if (!processor.settings_.watchdog_on) return;
    watchdog.SetInterval(processor.watchdog_.Interval());
    watchdog.SetEnabled(true);
  }
  void StatementEnded() override { watchdog.SetEnabled(false); }
  void StatementFailed(const Error& /*failure*/) override { watchdog.SetEnabled(false); }

  CommandProcessor& processor;
  const uint64_t id;
  std::unique_ptr<ReplySink> terminal;
  std::string reception;  // also names the command in the log line of a cut
  std::string watched_name;  // the name of the definition whose templates run
  std::string own_name;      // the found definition's own name, for an outcome it does not end
  EndedFn ended;
  PooledLink link;
  CommandFlow flow;
  Timer watchdog;
  MonotonicClock::TimePoint started;
  std::coroutine_handle<> coroutine;  // while the request runs
};

Task<DefinitionSource> CommandProcessor::DecideSource(CommandLink& link) {
  // One request probes at a time; in parallel mode the others wait for its outcome and then
  // go on as it left things (the source, or a failure that holds for kProbeInterval).
  for (;;) {
    if (const std::optional<DefinitionSource> source = KnownSource()) co_return *source;
    if (WithinFailedProbeInterval()) throw *last_probe_failure_;
    // One at a time (also while the requests of parallel mode end) nothing may wait.
    if (!probing_ || !Parallel()) break;
    co_await parallel_->probe_line.Wait();
  }
  // Also when the probing request is cut while it waits: the others are let go.
  struct ProbeTurn {
    CommandProcessor& processor;
    explicit ProbeTurn(CommandProcessor& p) : processor(p) { processor.probing_ = true; }
    ~ProbeTurn() {
      processor.probing_ = false;
      if (processor.parallel_) processor.parallel_->probe_line.WakeAll();
    }
  };
  ProbeTurn turn(*this);
  last_probe_ = clock_.Now();
  std::optional<Error> failure;
  try {
    probed_source_ = co_await ProbeDefinitionSource(link);
  } catch (const Error& e) {
    failure = e;
  }
  if (failure) {
    last_probe_failure_ = failure;
    throw *failure;
  }
  co_return *probed_source_;
}

CommandProcessor::~CommandProcessor() {
  if (parallel_) {
    // Without telling anyone: the server is going.
    for (auto& [id, request] : parallel_->requests)
      if (request->coroutine) std::exchange(request->coroutine, {}).destroy();
    parallel_->requests.clear();
  }
}

void CommandProcessor::SetParallel(EventLoop& loop, size_t limit, const LinkSettings& settings) {
  ending_parallel_ = false;
  if (parallel_) {
    parallel_->pool.SetLimit(limit);
    if (!(parallel_->pool.Settings() == settings)) parallel_->pool.SetSettings(settings);
    return;
  }
  parallel_ = std::make_unique<ParallelState>(loop, limit, settings, log_);
  parallel_->pool.SetOpenedHandler(on_link_opened_);
}

void CommandProcessor::EndParallel() {
  if (!parallel_) return;
  ending_parallel_ = true;
  // The same login anew: the idle links close now, the busy ones when they are given back.
  parallel_->pool.SetSettings(parallel_->pool.Settings());
  DropParallelWhenIdle();
}

void CommandProcessor::DropParallelWhenIdle() {
  if (!ending_parallel_ || !parallel_ || !parallel_->requests.empty()) return;
  // Posted: the last request tells its end from inside its own coroutine, whose frame refers
  // to the state.
  parallel_->loop.Post([this] {
    if (!ending_parallel_ || !parallel_ || !parallel_->requests.empty()) return;
    parallel_.reset();
    ending_parallel_ = false;
  });
}

void CommandProcessor::SetLinkOpenedHandler(DbConnection::OpenedFn opened) {
  on_link_opened_ = std::move(opened);
  connection_.SetOpenedHandler(on_link_opened_);
  if (parallel_) parallel_->pool.SetOpenedHandler(on_link_opened_);
}

size_t CommandProcessor::ParallelLimit() const {
  return Parallel() ? parallel_->pool.Limit() : 0;
}

size_t CommandProcessor::LinksOpen() const {
  return parallel_ ? parallel_->pool.Open() : 0;
}

size_t CommandProcessor::LinksIdle() const {
  return parallel_ ? parallel_->pool.Idle() : 0;
}

void CommandProcessor::Begin(std::unique_ptr<ReplySink> terminal, std::string reception,
                             EndedFn ended) {
  ParallelState& state = *parallel_;
  const uint64_t id = state.next_id++;
  auto request = std::make_unique<ParallelRequest>(*this, id, std::move(terminal),
                                                   std::move(reception), std::move(ended));
  ParallelRequest& started = *request;
  state.requests.emplace(id, std::move(request));
  RunRequest(started);  // may end (and free the request) before it returns
}

Detached CommandProcessor::RunRequest(ParallelRequest& request) {
  CurrentCoroutine current;
  request.coroutine = co_await current;
  RequestOutcome outcome;
  std::optional<Error> failure;
  try {
    outcome = co_await request.flow.Run(request.link, *request.terminal, request.reception);
  } catch (const Error& e) {
    failure = e;
  } catch (const std::exception& e) {
    failure = Error::Generic(e.what());
  }
  // What the flow does not answer itself ends the request without a reply, as in Handle.
  if (failure) {
    log_(kRequestFailure + failure->ClassName() + ": " + failure->Message());
    outcome = {RequestOutcome::Kind::kNoReply, 0, *failure, {}, {}, false};
    outcome.command = request.own_name;
  }
  request.link.Close();  // kept for the next request unless an operation failed
  request.coroutine = {};
  Finish(request, std::move(outcome));
}

void CommandProcessor::Finish(ParallelRequest& request, RequestOutcome outcome) {
  request.watchdog.SetEnabled(false);
  outcome.took = clock_.Now() - request.started;
  auto node = parallel_->requests.extract(request.id);
  EndedFn ended = std::move(request.ended);
  node.mapped().reset();  // the link goes back to the pool first
  if (ended) ended(outcome);
  DropParallelWhenIdle();
}

void CommandProcessor::Cut(ParallelRequest& request) {
  request.watchdog.SetEnabled(false);
  if (request.coroutine) std::exchange(request.coroutine, {}).destroy();
  request.link.Cut();
}

void CommandProcessor::WatchdogCut(ParallelRequest& request) {
  const std::string name = request.watched_name;
  log_(kWatchdogCut + name + kWatchdogCutMiddle + std::to_string(watchdog_.Interval()) + " ms");
  // The statement may still run on the database: it is killed there, from a link of its own.
  const std::optional<KillTarget> target = request.link.Target();
  Cut(request);
  if (target) parallel_->killer.Kill(*target);
  RequestOutcome outcome{RequestOutcome::Kind::kTimeoutRecord, 0, std::nullopt, {}, {}, false};
  outcome.command = request.own_name;
  if (auto e = CatchError([&] {
        SendReply(*request.terminal, name + ";timeout" + settings_.terminator, /*add_cr=*/true,
                  log_);
      })) {
    log_(kRequestFailure + e->ClassName() + ": " + e->Message());
    outcome = {RequestOutcome::Kind::kNoReply, 0, *e, {}, {}, false};
    outcome.command = request.own_name;
  }
  Finish(request, std::move(outcome));
}

size_t CommandProcessor::InFlight() const {
  return parallel_ ? parallel_->requests.size() : 0;
}

size_t CommandProcessor::Waiting() const {
  return parallel_ ? parallel_->pool.Waiting() + parallel_->probe_line.Waiting() : 0;
}

void CommandProcessor::CutWaiting() {
  CutAtTheEnd(/*only_waiting=*/true);
}

void CommandProcessor::CutAll() {
  CutAtTheEnd(/*only_waiting=*/false);
}

void CommandProcessor::CutAtTheEnd(bool only_waiting) {
  if (!parallel_) return;
  std::vector<ParallelRequest*> cut;
  for (auto& [id, request] : parallel_->requests)
    if (!only_waiting || !request->link.Holding()) cut.push_back(request.get());
  for (ParallelRequest* request : cut) {
    log_(kRequestCut + NameOf(request->reception) + " z " + request->terminal->PeerAddress() +
         kRequestCutEnd);
    Cut(*request);
    RequestOutcome outcome{RequestOutcome::Kind::kNoReply, 0, Error::Generic(kServerEnding), {}, {}, false};
    outcome.command = request->own_name;
    outcome.cut = true;
    Finish(*request, std::move(outcome));
  }
}

}  // namespace larvek
