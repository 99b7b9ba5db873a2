// A minimal result type: a value or an error, never an exception.
//
// The core returns `Result<T, E>` from every fallible operation and callers
// pass the error upward unchanged. It is deliberately small: construction from
// a value or from `Failure{error}`, a test, and accessors.
#pragma once

#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace tarnel {

template <class E>
struct Failure {
    E error;
};
template <class E>
Failure(E) -> Failure<E>;

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
    template <class F, class = std::enable_if_t<std::is_constructible_v<E, F&&>>>
    Result(Failure<F> failure) : state_(std::in_place_index<1>, std::move(failure.error)) {}

    bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return *std::get_if<0>(&state_); }
    const T& value() const& { return *std::get_if<0>(&state_); }
    T&& value() && { return std::move(*std::get_if<0>(&state_)); }
    E& error() & { return *std::get_if<1>(&state_); }
    const E& error() const& { return *std::get_if<1>(&state_); }
    E&& error() && { return std::move(*std::get_if<1>(&state_)); }

private:
    std::variant<T, E> state_;
};

// Success carries nothing; failure carries the error.
template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class F, class = std::enable_if_t<std::is_constructible_v<E, F&&>>>
    Result(Failure<F> failure) : error_(std::move(failure.error)) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }
    E& error() & { return *error_; }
    const E& error() const& { return *error_; }
    E&& error() && { return std::move(*error_); }

private:
    std::optional<E> error_;
};

}  // namespace tarnel
