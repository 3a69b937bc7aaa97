#include "commands/database_probe.h"

#include <optional>
#include <utility>

#include "base/error.h"

namespace larvek {

DatabaseProbe::DatabaseProbe(EventLoop& loop, LinkSettings settings,
                             std::chrono::milliseconds limit)
    : loop_(loop), settings_(std::move(settings)), limit_(loop) {
  // The library's own time-outs count whole seconds; the loop timer holds the real limit.
  settings_.timeout_seconds =
      static_cast<unsigned>(std::chrono::ceil<std::chrono::seconds>(limit).count());
  limit_.SetInterval(static_cast<int>(limit.count()));
  limit_.SetHandlers({.on_timer = [this] {
    // The frames of the operations it awaits go with it; the link is dropped at once.
    if (run_) std::exchange(run_, {}).destroy();
    link_.reset();
    End(false);
  }});
}

DatabaseProbe::~DatabaseProbe() {
  limit_.SetEnabled(false);
  if (run_) std::exchange(run_, {}).destroy();
}

void DatabaseProbe::Check(DoneFn done) {
  if (checking_) return;
  checking_ = true;
  done_ = std::move(done);
  limit_.SetEnabled(true);
  // Started from the loop, so that `done` is never heard inside Check.
  loop_.Post([this] {
    if (!checking_ || run_) return;
    Detached run = Run();
    if (checking_ && link_) run_ = run.handle;
  });
}

Detached DatabaseProbe::Run() {
  closing_.reset();  // the last check's link, if it is still saying goodbye
  link_ = std::make_unique<LoopLink>(loop_, settings_);
  bool answered = false;
  try {
    co_await link_->Connect();
    ResultRows* rows = co_await link_->Open("select 1");
    answered = rows != nullptr;
  } catch (const Error&) {
    answered = false;
  }
  run_ = {};
  End(answered);
}

void DatabaseProbe::End(bool answered) {
  limit_.SetEnabled(false);
  if (link_) {
    // Closed politely, so the database does not count an aborted connection every check.
    closing_ = std::move(link_);
    closing_->CloseThen([this] { closing_.reset(); });
  }
  checking_ = false;
  DoneFn done = std::move(done_);
  done_ = nullptr;
  if (done) done(answered);
}

}  // namespace larvek
