// The outcome of a run that did not end in an OptimError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace compat_lbfgsb::result {

// The classic L-BFGS-B messages, exactly.
inline constexpr std::string_view PGTOL_MESSAGE = "CONVERGENCE: NORM OF PROJECTED GRADIENT <= PGTOL";
inline constexpr std::string_view FACTR_MESSAGE = "CONVERGENCE: REL_REDUCTION_OF_F <= FACTR*EPSMCH";
inline constexpr std::string_view NEW_X_MESSAGE = "NEW_X";
inline constexpr std::string_view ABNORMAL_LNSRCH_MESSAGE = "ERROR: ABNORMAL_TERMINATION_IN_LNSRCH";

// The engine fills par and value in internal scale; the runner converts them.
struct OptimResult {
  std::vector<double> par;
  std::string message;
  double value = 0.0;
  std::pair<std::size_t, std::size_t> counts{0, 0};  // function, gradient evaluations
  std::int32_t convergence = 0;                       // 0, 1 or 52
};

}  // namespace compat_lbfgsb::result

namespace compat_lbfgsb {
using result::OptimResult;
}  // namespace compat_lbfgsb
