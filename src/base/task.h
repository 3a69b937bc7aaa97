// Task<T>: a lazy coroutine that produces one T (or throws), for code that is written top to
// bottom but may have to wait in the middle: the command flow co_awaits each database
// operation. It fits a single-threaded loop: nothing here runs on another thread or has an
// executor of its own. Whoever resumes the coroutine that waits (the operation that completes
// it) runs the rest of it on its own stack.
//
// - A task starts when it is co_awaited (the awaiting coroutine continues when it ends) or
//   when RunToCompletion starts it.
// - An exception that leaves the coroutine comes out of the co_await (or RunToCompletion).
// - The Task object owns the coroutine frame; it must outlive the coroutine's run. Arguments
//   a coroutine takes by reference must outlive it too.
#pragma once

#include <coroutine>
#include <cstddef>
#include <exception>
#include <optional>
#include <utility>

namespace larvek {

template <typename T>
class Task;

namespace task_detail {

// Resumes the coroutine that awaits the finished one, if any.
struct FinalAwaiter {
  bool await_ready() const noexcept { return false; }
  template <typename Promise>
  std::coroutine_handle<> await_suspend(std::coroutine_handle<Promise> done) noexcept {
    std::coroutine_handle<> next = done.promise().continuation;
    return next ? next : std::noop_coroutine();
  }
  void await_resume() const noexcept {}
};

// Frames come and go with every database operation: they are recycled in the thread that
// freed them, in classes of their size, rather than each going through malloc.
void* AllocateFrame(std::size_t size);
void FreeFrame(void* frame, std::size_t size) noexcept;

struct FramesRecycled {
  static void* operator new(std::size_t size) { return AllocateFrame(size); }
  static void operator delete(void* frame, std::size_t size) noexcept { FreeFrame(frame, size); }
};

struct PromiseBase : FramesRecycled {
  std::coroutine_handle<> continuation;
  std::exception_ptr error;

  std::suspend_always initial_suspend() const noexcept { return {}; }
  FinalAwaiter final_suspend() const noexcept { return {}; }
  void unhandled_exception() noexcept { error = std::current_exception(); }
  void RethrowError() const {
    if (error) std::rethrow_exception(error);
  }
};

template <typename T>
struct Promise : PromiseBase {
  std::optional<T> value;
  Task<T> get_return_object() noexcept;
  template <typename U>
  void return_value(U&& v) {
    value.emplace(std::forward<U>(v));
  }
  T Take() {
    RethrowError();
    return std::move(*value);
  }
};

template <>
struct Promise<void> : PromiseBase {
  Task<void> get_return_object() noexcept;
  void return_void() const noexcept {}
  void Take() const { RethrowError(); }
};

}  // namespace task_detail

template <typename T>
class [[nodiscard]] Task {
 public:
  using promise_type = task_detail::Promise<T>;

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      Destroy();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() { Destroy(); }

  // co_await: starts the task; the awaiting coroutine goes on with its result when it ends.
  bool await_ready() const noexcept { return false; }
  std::coroutine_handle<> await_suspend(std::coroutine_handle<> awaiting) noexcept {
    handle_.promise().continuation = awaiting;
    return handle_;
  }
  T await_resume() { return handle_.promise().Take(); }

  // Starts the task from ordinary code and returns its result. Every operation it awaits must
  // complete before returning to here (a link that blocks); a task still waiting when control
  // comes back is a programming error and ends the program.
  friend T RunToCompletion(Task task) {
    task.handle_.resume();
    if (!task.handle_.done()) std::terminate();
    return task.handle_.promise().Take();
  }

 private:
  friend struct task_detail::Promise<T>;
  explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
  void Destroy() {
    if (handle_) handle_.destroy();
    handle_ = {};
  }

  std::coroutine_handle<promise_type> handle_;
};

namespace task_detail {

template <typename T>
Task<T> Promise<T>::get_return_object() noexcept {
  return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}

inline Task<void> Promise<void>::get_return_object() noexcept {
  return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

}  // namespace task_detail

// A coroutine that starts at once and that nobody awaits: the top of a chain of tasks that
// waits in the event loop (one request of the parallel mode). Its frame frees itself when the
// coroutine ends. While it waits, its owner may end it early with Destroy on the handle (the
// frames of the tasks it awaits go with it); once it has ended, the handle must not be used,
// so the coroutine tells its owner when it ends. An exception must not leave it.
struct Detached {
  struct promise_type : task_detail::FramesRecycled {
    Detached get_return_object() noexcept {
      return Detached{std::coroutine_handle<promise_type>::from_promise(*this)};
    }
    std::suspend_never initial_suspend() const noexcept { return {}; }
    std::suspend_never final_suspend() const noexcept { return {}; }
    void return_void() const noexcept {}
    void unhandled_exception() const noexcept { std::terminate(); }
  };
  std::coroutine_handle<promise_type> handle;
};

}  // namespace larvek
