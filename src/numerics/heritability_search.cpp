#include "numerics/heritability_search.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "numerics/golden_section.hpp"

namespace kestrune::heritability_search {
namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

using Objective = std::function<double(double)>;

struct GridBest {
  double h2;
  double value;  // +infinity when no grid point has a finite log-likelihood
};

constexpr int last_grid_point = 32;

// Points in h2, ascending, and the objective at each.
struct Grid {
  std::vector<double> h2;
  std::vector<double> value;
};

Grid linear_grid(const Objective& objective) {
  Grid grid;
  for (int i = 0; i <= last_grid_point; ++i) {
    grid.h2.push_back(static_cast<double>(i) * 0.03125);
    grid.value.push_back(objective(grid.h2.back()));
  }
  return grid;
}

// Grid point i's neighbours, or the first or last interval at an end.
std::pair<double, double> bracket_of(const Grid& grid, std::size_t i) {
  const std::size_t last = grid.h2.size() - 1;
  return {grid.h2[i == 0 ? 0 : i - 1], grid.h2[std::min(i, last - 1) + 1]};
}

// Golden section over grid point best's neighbours; the bracket's midpoint replaces the grid
// point only when strictly better. The sections stop at the same share of a bracket whatever
// its width, so a bracket of the tails (below) is narrowed as far, relative to its width, as one
// of the evenly spaced grid.
GridBest refine(const Objective& objective, const Grid& points, std::size_t best) {
  const auto& grid = points.h2;
  const double best_value = points.value[best];
  const auto [a, b] = bracket_of(points, best);
  if (best_value == infinity || !(b > a)) return {grid[best], best_value};

  const double width = 1e-9 * std::fmin(1.0, 32.0 * (b - a));
  const golden_section::Bracket narrowed = golden_section::minimise(objective, a, b, width);
  const double mid = narrowed.middle();
  const double mid_value = objective(mid);
  if (std::isfinite(mid_value) && mid_value < best_value) return {mid, best_value};
  return {grid[best], best_value};
}

// In the variance ratio r = h2 / (1 - h2) every factor is proportional to 1 + r d_i, so the profile
// is smooth on the scale of ln r, and it changes shape only where r d_i passes 1 for some
// eigenvalue d_i. The even grid spaces ln r by at most about 0.7 between 1/31 and 31; beyond that,
// a small eigenvalue puts structure within 1 - h2 ~ d_i of 1 and a large one within h2 ~ 1/d_i of
// 0, far finer than the grid's step (a sharp peak near 1 from a near-singular k can stand well
// above every grid point). Points 2^-k from each bound continue the grid there at the same
// spacing in ln r, a factor 8 past the extreme eigenvalue, and stop where the estimate would be
// snapped to the bound anyway.
std::vector<double> tail_points(const Eigen::VectorXd& eigenvalues) {
  double smallest = infinity;
  double largest = 0.0;
  for (const double d : eigenvalues) {
    if (d > 0.0) smallest = std::fmin(smallest, d);
    largest = std::fmax(largest, d);
  }
  std::vector<double> points;
  for (int k = 6; k <= 39 && largest > 0.0 && std::ldexp(1.0, -k) * 8.0 * largest >= 1.0; ++k)
    points.push_back(std::ldexp(1.0, -k));
  for (int k = 6; k <= 23 && std::ldexp(1.0, -k) * 8.0 >= smallest; ++k)
    points.push_back(1.0 - std::ldexp(1.0, -k));
  return points;
}

Grid merged(const Grid& grid, const Objective& objective, const std::vector<double>& extra) {
  std::vector<std::pair<double, double>> all;
  for (std::size_t i = 0; i < grid.h2.size(); ++i) all.emplace_back(grid.h2[i], grid.value[i]);
  for (const double h : extra) all.emplace_back(h, objective(h));
  std::ranges::sort(all, {}, [](const auto& point) { return point.first; });
  Grid out;
  for (const auto& [h, value] : all) {
    out.h2.push_back(h);
    out.value.push_back(value);
  }
  return out;
}

// The local maxima of the likelihood on a grid: finite points no higher than the objective on
// their left and lower than on their right (the first of a level run).
std::vector<std::size_t> grid_peaks(const Grid& grid) {
  std::vector<std::size_t> peaks;
  const std::size_t last = grid.h2.size() - 1;
  for (std::size_t i = 0; i <= last; ++i) {
    const double v = grid.value[i];
    if (std::isfinite(v) && (i == 0 || v < grid.value[i - 1]) && (i == last || v <= grid.value[i + 1]))
      peaks.push_back(i);
  }
  return peaks;
}

}  // namespace

// Estimates within rounding of a bound are reported on it.
double snap(double h2) {
  if (h2 <= 1e-12) return 0.0;
  if (h2 >= 0.9999999) return 1.0;
  return h2;
}

// The best grid point need not lie in the highest maximum's basin, so the estimate is the refined
// point whose own profile is highest; a point that snaps to h2 = 1 where there is no profile (a
// zero eigenvalue: the likelihood rises without bound towards it) is passed over while another
// refines below 1.
Found search(const Objective& objective, const Eigen::VectorXd& eigenvalues) {
  const Grid grid = linear_grid(objective);
  std::size_t best = 0;
  for (std::size_t i = 1; i < grid.h2.size(); ++i)
    if (grid.value[i] < grid.value[best]) best = i;
  GridBest chosen = refine(objective, grid, best);
  if (chosen.value == infinity) return {chosen.h2, infinity, infinity};
  double chosen_value = objective(snap(chosen.h2));

  const Grid all = merged(grid, objective, tail_points(eigenvalues));
  for (const std::size_t i : grid_peaks(all)) {
    if (all.h2[i] == grid.h2[best] && bracket_of(all, i) == bracket_of(grid, best)) continue;  // refined
    const GridBest other = refine(objective, all, i);
    // Another maximum replaces the one chosen only when it stands higher by more than rounding,
    // so that a level profile keeps the even grid's estimate.
    const double value = objective(snap(other.h2));
    const bool higher = std::isfinite(value) && (chosen_value == infinity ||
                                                 value < chosen_value - 1e-10 * (std::fabs(chosen_value) + 1.0));
    if (higher) {
      chosen = {other.h2, chosen.value};
      chosen_value = value;
    }
  }
  return {chosen.h2, chosen.value, chosen_value};
}

bool reaches_tails(const Eigen::VectorXd& eigenvalues) { return !tail_points(eigenvalues).empty(); }

}  // namespace kestrune::heritability_search
