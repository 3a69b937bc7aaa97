#include "commands/query_killer.h"

#include <memory>
#include <optional>

#include "base/error.h"
#include "commands/loop_link.h"

namespace larvek {
namespace {

// Log lines: + thread id + the rest.
const char kKilled[] = "Dotaz spojen\xED ";
const char kKilledEnd[] =
    " ukon\xE8"
    "en na datab\xE1zi (KILL QUERY)";
const char kKillStart[] = "KILL QUERY ";
const char kKillSkippedEnd[] =
    " vynech\xE1n: spojen\xED vede k jin\xE9mu serveru datab\xE1ze";
const char kKillFailedMiddle[] = " se nezda\xF8il: ";

}  // namespace

QueryKiller::QueryKiller(EventLoop& loop, LogFn log) : loop_(loop), log_(std::move(log)) {}

QueryKiller::~QueryKiller() {
  if (running_) run_.destroy();
}

void QueryKiller::Kill(const KillTarget& target) {
  if (target.thread_id == 0) return;
  queue_.push_back(target);
  if (running_) return;
  running_ = true;
  Detached run = Run();
  // A kill loop that ended at once (the database refused the link) has freed its frame.
  if (running_) run_ = run.handle;
}

Detached QueryKiller::Run() {
  while (!queue_.empty()) {
    const KillTarget target = queue_.front();
    queue_.pop_front();
    co_await KillOne(target);
  }
  running_ = false;
  run_ = {};
}

Task<void> QueryKiller::KillOne(const KillTarget& target) {
  const std::string id = std::to_string(target.thread_id);
  auto link = std::make_unique<LoopLink>(loop_, target.login);
  std::optional<Error> failure;
  try {
    co_await link->Connect();
    const std::string identity = co_await ReadServerIdentity(*link);
    if (identity != target.server_identity) {
      log_(kKillStart + id + kKillSkippedEnd);
    } else {
      co_await link->Execute("KILL QUERY " + id);
      log_(kKilled + id + kKilledEnd);
    }
    co_await link->Close();
  } catch (const Error& e) {
    failure = e;
  }
  if (failure) log_(kKillStart + id + kKillFailedMiddle + failure->ClassName() + ": " +
                    failure->Message());
}

}  // namespace larvek
