// Every validation and evaluation failure of the optimizer, as a value.
//
// OptimError has no text form: callers only tell failure from success, and
// tests read the payloads. Static names ("parscale", "bounds", ...) are views
// of string literals; messages are owned.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace compat_lbfgsb::error {

// A vector whose length differs from its reference length.
struct DimensionMismatch {
  std::string_view name;  // "parscale", "ndeps" or "bounds"
  std::size_t expected;
  std::size_t actual;
  friend bool operator==(const DimensionMismatch&, const DimensionMismatch&) = default;
};

// A control outside its admissible range.
struct InvalidControl {
  std::string message;
  std::string_view name;  // "fnscale", "factr", "pgtol", "lmm", "parscale" or "ndeps"
  friend bool operator==(const InvalidControl&, const InvalidControl&) = default;
};

// A NaN or crossed bound, or a fixed parameter without a user gradient.
struct InvalidBounds {
  std::optional<std::size_t> index;
  std::optional<double> lower;
  std::optional<double> upper;
  std::string message;
  friend bool operator==(const InvalidBounds&, const InvalidBounds&) = default;
};

// A start entry that is NaN, or infinite with no finite bound on its side.
struct InvalidParameter {
  std::size_t index;
  double value;  // the start entry itself, not its clipped value
  friend bool operator==(const InvalidParameter&, const InvalidParameter&) = default;
};

// The objective was not finite at the start.
struct NonFiniteInitialValue {
  double value;
  friend bool operator==(const NonFiniteInitialValue&, const NonFiniteInitialValue&) = default;
};

// The objective was not finite at a later point; value as the caller returned it.
struct NonFiniteValue {
  double value;
  friend bool operator==(const NonFiniteValue&, const NonFiniteValue&) = default;
};

// A caller's gradient of the wrong length (index and value absent) or with a
// non-finite entry (both present).
struct InvalidGradient {
  std::optional<std::size_t> index;
  std::optional<double> value;
  std::string message;
  friend bool operator==(const InvalidGradient&, const InvalidGradient&) = default;
};

using OptimError = std::variant<DimensionMismatch, InvalidControl, InvalidBounds, InvalidParameter,
                                NonFiniteInitialValue, NonFiniteValue, InvalidGradient>;

}  // namespace compat_lbfgsb::error

namespace compat_lbfgsb {
using error::OptimError;
}  // namespace compat_lbfgsb
