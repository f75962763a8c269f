#include "backend/native/history.hpp"

#include <algorithm>
#include <cmath>

#include "backend/native/kernels.hpp"

namespace compat_lbfgsb::backend::native {
namespace {

// EPSMCH times the decrease the step's first-order model predicts when g.s is
// a finite descent slope; otherwise EPSMCH * ||s|| * ||y||.
double curvature_threshold(std::span<const double> s, std::span<const double> y, std::span<const double> g) {
  if (std::min(g.size(), s.size()) > 0) {
    const double gs = compatibility_dot(false, g, s);
    if (std::isfinite(gs) && gs < 0.0) return gs * (-EPSMCH);
  }
  const double scaled = norm2(s) * EPSMCH;
  return scaled * norm2(y);
}

}  // namespace

void update_history(CorrectionHistory& history, std::size_t m, std::vector<double> s, std::vector<double> y,
                    std::span<const double> g) {
  const double sy = compatibility_dot(false, s, y);
  // A NaN or infinite s.y would store rho NaN or 0, breaking every reader's
  // assumption of positive curvature: such a pair is refused like a flat one.
  if (!std::isfinite(sy) || sy <= 0.0 || sy <= curvature_threshold(s, y, g)) return;
  if (m == 0) return;
  if (history.size() >= m) history.erase(history.begin(), history.begin() + (history.size() - m + 1));
  history.push_back(Correction{std::move(s), std::move(y), 1.0 / sy});
}

}  // namespace compat_lbfgsb::backend::native
