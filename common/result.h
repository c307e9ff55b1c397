// Errors as values at every boundary: a Result holds either a value or an
// Error whose message is the text a caller shows or passes on.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace vlvpn {

struct Error {
  std::string message;
  friend bool operator==(const Error&, const Error&) = default;
};

// A failed operating-system call: the API's name and its raw code (errno or a
// Win32 error), passed on unchanged.
struct OsError {
  std::string api;
  uint32_t code = 0;
  friend bool operator==(const OsError&, const OsError&) = default;
};

template <class T, class E = Error>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(E error) : state_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & { return std::get<0>(state_); }
  const T& value() const& { return std::get<0>(state_); }
  T&& value() && { return std::get<0>(std::move(state_)); }
  const E& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, E> state_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
 public:
  Result() = default;
  Result(E error) : error_(std::move(error)), failed_(true) {}

  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const E& error() const { return error_; }

 private:
  E error_{};
  bool failed_ = false;
};

}  // namespace vlvpn
