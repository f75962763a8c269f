#include "compat_lbfgsb/control.hpp"

#include <cmath>
#include <string>

namespace compat_lbfgsb::control {
namespace {

// Each class is tested on the exact value: -0.0 counts as zero.
bool finite_positive(double v) { return std::isfinite(v) && v > 0.0; }
bool finite_nonnegative(double v) { return std::isfinite(v) && !(v < 0.0); }
bool finite_nonzero(double v) { return std::isfinite(v) && v != 0.0; }

std::unexpected<OptimError> invalid_control(std::string message, std::string_view name) {
  return std::unexpected<OptimError>(error::InvalidControl{std::move(message), name});
}

// The first entry that is not finite and positive, named by its index only.
std::expected<void, OptimError> check_entries(const std::vector<double>& values, std::string_view name) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (!finite_positive(values[i])) {
      return invalid_control("entry " + std::to_string(i) + " must be finite and positive", name);
    }
  }
  return {};
}

}  // namespace

OptimControl OptimControl::default_for_dimension(std::size_t n) {
  OptimControl control;
  control.parscale.assign(n, 1.0);
  control.ndeps.assign(n, 1e-3);
  return control;
}

std::expected<void, OptimError> OptimControl::validate_for_dimension(std::size_t n) const {
  if (parscale.size() != n) {
    return std::unexpected<OptimError>(error::DimensionMismatch{"parscale", n, parscale.size()});
  }
  if (ndeps.size() != n) {
    return std::unexpected<OptimError>(error::DimensionMismatch{"ndeps", n, ndeps.size()});
  }
  if (!finite_nonzero(fnscale)) return invalid_control("must be finite and nonzero", "fnscale");
  if (!finite_nonnegative(factr)) return invalid_control("must be finite and nonnegative", "factr");
  if (!finite_nonnegative(pgtol)) return invalid_control("must be finite and nonnegative", "pgtol");
  if (lmm == 0) return invalid_control("must be greater than zero", "lmm");
  if (auto checked = check_entries(parscale, "parscale"); !checked) return checked;
  return check_entries(ndeps, "ndeps");
}

}  // namespace compat_lbfgsb::control
