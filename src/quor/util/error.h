// The engine's one error value and the fallible-result type built on it.
//
// An `Error` is a root text plus an ordered chain of context phrases, each
// added by a caller on the way out (the last one added is the outermost).
// Fallible engine functions return `Result<T>` (a value or an `Error`) or
// `Status` (nothing or an `Error`); nothing inside the engine throws for an
// ordinary failure. Internal invariants use `QUOR_ASSERT` (see panic.h).
#pragma once

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "quor/util/panic.h"

namespace quor {

class Error {
 public:
  explicit Error(std::string root) : root_(std::move(root)) {}

  // The text composed at the point of failure (or a lower layer's text).
  const std::string& root() const { return root_; }
  // Context phrases, innermost first.
  const std::vector<std::string>& contexts() const { return contexts_; }

  // Adds `phrase` as the new outermost context; what lies beneath is kept.
  Error& add_context(std::string phrase) {
    contexts_.push_back(std::move(phrase));
    return *this;
  }

  // The outermost text alone: the last context added, or the root.
  const std::string& short_text() const {
    return contexts_.empty() ? root_ : contexts_.back();
  }

  // Every text from the outside in, joined by ": ", ending with the root.
  std::string full_text() const {
    std::string out;
    for (auto it = contexts_.rbegin(); it != contexts_.rend(); ++it) {
      out += *it;
      out += ": ";
    }
    out += root_;
    return out;
  }

  bool operator==(const Error&) const = default;

 private:
  std::string root_;
  std::vector<std::string> contexts_;
};

// A value of type T or an Error. Cheap to move. Reading the value of an error
// (or the error of a value) is a bug in the caller: it aborts the call with a
// Panic in every build, never reads the wrong alternative.
template <class T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::decay_t<T>, Error>, "Result<Error> is meaningless");

 public:
  using value_type = T;

  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT
  template <class U, class = std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                              !std::is_same_v<std::decay_t<U>, T> &&
                                              !std::is_same_v<std::decay_t<U>, Error> &&
                                              !std::is_same_v<std::decay_t<U>, Result>>>
  Result(U&& value) : v_(std::in_place_index<0>, T(std::forward<U>(value))) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { check_value(); return *std::get_if<0>(&v_); }
  const T& value() const& { check_value(); return *std::get_if<0>(&v_); }
  T&& value() && { check_value(); return std::move(*std::get_if<0>(&v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T&& operator*() && { return std::move(*this).value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  Error& error() & { check_error(); return *std::get_if<1>(&v_); }
  const Error& error() const& { check_error(); return *std::get_if<1>(&v_); }
  Error&& error() && { check_error(); return std::move(*std::get_if<1>(&v_)); }

  // A success passes through unchanged; a failure gets `phrase` as its new
  // outermost context.
  Result context(std::string phrase) && {
    if (!ok()) error().add_context(std::move(phrase));
    return std::move(*this);
  }
  // As context(), but the phrase is only built on failure.
  template <class F>
  Result with_context(F&& make_phrase) && {
    if (!ok()) error().add_context(std::string(make_phrase()));
    return std::move(*this);
  }

 private:
  void check_value() const {
    if (!ok()) panic("value of a failed result read: " + std::get_if<1>(&v_)->full_text());
  }
  void check_error() const {
    if (ok()) panic("error of a successful result read");
  }

  std::variant<T, Error> v_;
};

// Nothing, or an Error.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : err_(std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return !err_.has_value(); }
  explicit operator bool() const { return ok(); }

  Error& error() & { check_error(); return *err_; }
  const Error& error() const& { check_error(); return *err_; }
  Error&& error() && { check_error(); return std::move(*err_); }

  Result context(std::string phrase) && {
    if (err_) err_->add_context(std::move(phrase));
    return std::move(*this);
  }
  template <class F>
  Result with_context(F&& make_phrase) && {
    if (err_) err_->add_context(std::string(make_phrase()));
    return std::move(*this);
  }

 private:
  void check_error() const {
    if (ok()) panic("error of a successful status read");
  }

  std::optional<Error> err_;
};

using Status = Result<void>;

inline Status ok_status() { return Status(); }

}  // namespace quor

#define QUOR_CONCAT_INNER_(a, b) a##b
#define QUOR_CONCAT_(a, b) QUOR_CONCAT_INNER_(a, b)

// Returns the error of a failed Status/Result from the enclosing function.
#define QUOR_RETURN_IF_ERROR(expr)                              \
  do {                                                          \
    auto&& quor_status_ = (expr);                               \
    if (!quor_status_.ok()) return std::move(quor_status_).error(); \
  } while (0)

// Declares `lhs` from the value of a Result, or returns its error.
#define QUOR_ASSIGN_OR_RETURN(lhs, expr) \
  QUOR_ASSIGN_OR_RETURN_IMPL_(QUOR_CONCAT_(quor_result_, __LINE__), lhs, expr)
#define QUOR_ASSIGN_OR_RETURN_IMPL_(tmp, lhs, expr) \
  auto tmp = (expr);                                \
  if (!tmp.ok()) return std::move(tmp).error();     \
  lhs = std::move(tmp).value()
