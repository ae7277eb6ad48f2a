// Result<T, E>: the value of an operation that can fail, carried as a value.
//
// The engine, the file formats and the index never throw for expected
// failures; they return either the value or an error object, and the Python
// module turns errors into exceptions in exactly one place.
#pragma once

#include <cassert>
#include <type_traits>
#include <utility>
#include <variant>

namespace sorvid {

// Wraps an error so that Result<T, E> can be built from it even when T and E
// could convert into each other.
template <class E>
struct Failure {
  E error;
};

template <class E>
Failure<std::decay_t<E>> fail(E&& error) {
  return {std::forward<E>(error)};
}

template <class T, class E>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  template <class F>
  Result(Failure<F> failure) : state_(std::in_place_index<1>, E(std::move(failure.error))) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(state_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(state_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(state_));
  }
  const E& error() const& {
    assert(!ok());
    return std::get<1>(state_);
  }
  E&& error() && {
    assert(!ok());
    return std::get<1>(std::move(state_));
  }

 private:
  std::variant<T, E> state_;
};

// Result of an operation that yields nothing but success or an error.
template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  template <class F>
  Result(Failure<F> failure) : error_(E(std::move(failure.error))), ok_(false) {}

  bool ok() const { return ok_; }
  explicit operator bool() const { return ok_; }
  const E& error() const& {
    assert(!ok_);
    return error_;
  }
  E&& error() && {
    assert(!ok_);
    return std::move(error_);
  }

 private:
  E error_{};
  bool ok_ = true;
};

}  // namespace sorvid
