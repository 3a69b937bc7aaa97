#include "platform/monotonic_clock.h"

namespace larvek {
namespace {

class SteadyClock final : public MonotonicClock {
 public:
  TimePoint Now() const override { return std::chrono::steady_clock::now(); }
};

}  // namespace

const MonotonicClock& SteadyMonotonicClock() {
  static const SteadyClock clock;
  return clock;
}

}  // namespace larvek
