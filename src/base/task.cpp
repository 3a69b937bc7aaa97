#include "base/task.h"

#include <array>
#include <new>

namespace larvek::task_detail {

#if defined(__SANITIZE_ADDRESS__)
// Under AddressSanitizer every frame goes to the allocator, which then sees a frame used
// after it was freed.
void* AllocateFrame(std::size_t size) {
  return ::operator new(size);
}
void FreeFrame(void* frame, std::size_t /*size*/) noexcept {
  ::operator delete(frame);
}
#else
namespace {

// Frames up to 4 KiB, in classes 64 bytes apart; each class keeps at most 64 freed frames,
// which covers the frames of the requests in flight at once without holding memory after a
// burst beyond that.
constexpr std::size_t kClassBytes = 64;
constexpr std::size_t kClasses = 64;
constexpr std::size_t kKeptPerClass = 64;

struct Recycled {
  Recycled* next;
};

// Trivially destructible, so that a frame freed while the thread or the process ends still
// finds it; the frames it keeps then go with the process.
struct FramePool {
  std::array<Recycled*, kClasses> free;
  std::array<std::size_t, kClasses> kept;
};

thread_local constinit FramePool pool{};

}  // namespace

void* AllocateFrame(std::size_t size) {
  const std::size_t index = (size + kClassBytes - 1) / kClassBytes - 1;
  if (index >= kClasses) return ::operator new(size);
  if (Recycled* frame = pool.free[index]) {
    pool.free[index] = frame->next;
    --pool.kept[index];
    return frame;
  }
  return ::operator new((index + 1) * kClassBytes);
}

void FreeFrame(void* frame, std::size_t size) noexcept {
  const std::size_t index = (size + kClassBytes - 1) / kClassBytes - 1;
  if (index >= kClasses || pool.kept[index] >= kKeptPerClass) {
    ::operator delete(frame);
    return;
  }
  pool.free[index] = new (frame) Recycled{pool.free[index]};
  ++pool.kept[index];
}
#endif

}  // namespace larvek::task_detail
