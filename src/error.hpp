// Errors as values: a static code and, for the few codes that carry one, a detail.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace kestrune {

struct Error {
  std::string_view code;              // a fixed upper-snake-case code with static storage
  std::optional<std::string> detail;  // only for the codes that carry one; may be empty

  // The text a caller sees: the code, then ": " and the detail when the code carries one.
  std::string message() const {
    std::string text(code);
    if (detail) {
      text += ": ";
      text += *detail;
    }
    return text;
  }
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> fail(std::string_view code) {
  return std::unexpected<Error>(Error{code, std::nullopt});
}

inline std::unexpected<Error> fail(std::string_view code, std::string detail) {
  return std::unexpected<Error>(Error{code, std::move(detail)});
}

}  // namespace kestrune
