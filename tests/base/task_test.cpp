#include "base/task.h"

#include <gtest/gtest.h>

#include <coroutine>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

namespace larvek {
namespace {

// Suspends the awaiting coroutine until the test resumes it.
struct Gate {
  std::coroutine_handle<> waiting;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) noexcept { waiting = h; }
  void await_resume() const noexcept {}
};

// A frame of about `Bytes` that holds its own pattern across a suspension: a frame handed
// out twice while in use would show as a changed pattern.
template <size_t Bytes>
Task<int> Holding(int seed, Gate* gate) {
  unsigned char bytes[Bytes];
  std::memset(bytes, seed & 0xFF, sizeof bytes);
  if (gate != nullptr) co_await *gate;
  int sum = 0;
  for (unsigned char b : bytes) sum += b == (seed & 0xFF) ? 0 : 1;
  co_return sum == 0 ? seed : -1;
}

Task<int> Nested(int seed, Gate* gate) {
  const int small = co_await Holding<16>(seed, nullptr);
  const int middle = co_await Holding<700>(seed + 1, gate);
  const int large = co_await Holding<6000>(seed + 2, nullptr);  // beyond the recycled sizes
  co_return small + middle + large;
}

Detached Start(Task<int> task, int* result) {
  *result = co_await task;
}

// Many coroutines of several frame sizes, alive at once and ending in another order than they
// began, each with its frame intact; then again, on the frames the first round freed.
TEST(TaskTest, FramesAliveAtOnceStayApartAndFreedOnesServeAgain) {
  for (int round = 0; round < 2; ++round) {
    constexpr int kCount = 200;
    std::vector<std::unique_ptr<Gate>> gates;
    std::vector<int> results(kCount, 0);
    for (int i = 0; i < kCount; ++i) {
      gates.push_back(std::make_unique<Gate>());
      Start(Nested(i * 3, gates.back().get()), &results[i]);
    }
    for (int i = kCount - 1; i >= 0; i -= 2) gates[i]->waiting.resume();
    for (int i = kCount - 2; i >= 0; i -= 2) gates[i]->waiting.resume();
    for (int i = 0; i < kCount; ++i) EXPECT_EQ(results[i], 3 * (i * 3) + 3) << i;
  }
}

Task<int> Throwing() {
  throw std::runtime_error("down");
  co_return 0;
}

Task<int> Caught() {
  try {
    co_return co_await Throwing();
  } catch (const std::runtime_error&) {
  }
  co_return 7;
}

TEST(TaskTest, AnExceptionComesOutOfTheAwait) {
  EXPECT_EQ(RunToCompletion(Caught()), 7);
  EXPECT_THROW(RunToCompletion(Throwing()), std::runtime_error);
}

}  // namespace
}  // namespace larvek
