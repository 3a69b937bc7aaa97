#include "commands/command_processor.h"

#include <algorithm>

#include "db/db_connection.h"
#include "platform/timer.h"

namespace larvek {

CommandProcessor::CommandProcessor(DbConnection& connection, DbQuery& query,
                                   const ConfigStore& own_file, Timer& watchdog,
                                   const CommandSettings& settings, LogFn add_log_line,
                                   FindTerminalFn find_terminal, const MonotonicClock& clock)
    : connection_(connection),
      link_(connection, query),
      watchdog_(watchdog),
      settings_(settings),
      log_(std::move(add_log_line)),
      find_terminal_(std::move(find_terminal)),
      flow_(own_file, settings, log_, *this),
      clock_(clock) {}

RequestOutcome CommandProcessor::Handle(ReplySink& terminal, std::string_view reception) {
  const MonotonicClock::TimePoint started = clock_.Now();
  RequestOutcome outcome;
  // What the flow does not answer itself (a reply that could not be sent, a result column that
  // is missing, a template the preparation rejects) ends the request without a reply.
  if (auto e = CatchError(
          [&] { outcome = RunToCompletion(flow_.Run(link_, terminal, std::string(reception))); })) {
    log_(kRequestFailure + e->ClassName() + ": " + e->Message());
    outcome = {RequestOutcome::Kind::kNoReply, 0, *e, {}};
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

Task<DefinitionSource> CommandProcessor::DecideSource(CommandLink& link) {
  if (const std::optional<DefinitionSource> source = KnownSource()) co_return *source;
  if (WithinFailedProbeInterval()) throw *last_probe_failure_;
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
  return {RequestOutcome::Kind::kTimeoutRecord, 0, std::nullopt, {}};
}

}  // namespace larvek
