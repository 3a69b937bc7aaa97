// How base reports a failure: an operation returns a Result, which holds either its value or
// what went wrong (by default the system's errno, as SystemError). Base throws nothing of its
// own for such failures; each caller turns a failure into its own error, since the same errno
// reads differently for the configuration and for the day log.
#pragma once

#include <cassert>
#include <optional>
#include <utility>
#include <variant>

namespace larvek {

// The errno a failed system call left.
struct SystemError {
  int code = 0;
};

// The value of an operation that succeeded, or the failure `E` of one that did not. Made from
// either implicitly, so that a function returns `value` or `SystemError{errno}` as it is.
template <typename T, typename E = SystemError>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E failure) : state_(std::in_place_index<1>, std::move(failure)) {}

  bool Ok() const { return state_.index() == 0; }
  explicit operator bool() const { return Ok(); }

  // The value; only when Ok().
  const T& Value() const& {
    assert(Ok());
    return std::get<0>(state_);
  }
  T& Value() & {
    assert(Ok());
    return std::get<0>(state_);
  }
  T&& Value() && {
    assert(Ok());
    return std::get<0>(std::move(state_));
  }
  // The failure; only when !Ok().
  const E& Failure() const {
    assert(!Ok());
    return std::get<1>(state_);
  }

 private:
  std::variant<T, E> state_;
};

// An operation without a value: success (the default) or the failure.
template <typename E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E failure) : failure_(std::move(failure)) {}

  bool Ok() const { return !failure_.has_value(); }
  explicit operator bool() const { return Ok(); }
  const E& Failure() const {
    assert(!Ok());
    return *failure_;
  }

 private:
  std::optional<E> failure_;
};

}  // namespace larvek
