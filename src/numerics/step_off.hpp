// Steps off an end of a parameter where the parametrisation folds. At a heritability of 0 or 1
// one covariance matrix of a two-trait model is singular, and the correlation it carries has no
// pull on a search: a step off by d opens that matrix's cross entry by up to sqrt(d), so the
// value can rise at the rate sqrt(d) while its derivative in the heritability alone says it
// falls. A fit that lies at or near such an end is a maximum only when no step off rises; these
// are the shared pieces of that look: the ray of step lengths and the choice along a ray.
#pragma once

#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include <Eigen/Core>
#include <Eigen/Eigenvalues>

namespace kestrune::step_off {

// Lengths from `longest` down by quarters, each above longest * `shortest`: from steps large
// enough to leave the end's neighbourhood to steps where the sqrt(d) term alone still shows.
inline std::vector<double> quarter_steps(double longest, double shortest) {
  std::vector<double> steps;
  for (double d = longest; d > longest * shortest; d *= 0.25) steps.push_back(d);
  return steps;
}

// The value a step must fall below to count as rising off a point of value `value` (a negated
// log-likelihood): below it by more than `tolerance` of its size, so rounding never counts.
inline double rise_threshold(double value, double tolerance) {
  return value - (std::fabs(value) + 1.0) * tolerance;
}

// Along a ray of points, the one whose value (lower is better; nothing where it cannot be
// evaluated) lies lowest below `above`; nothing when none does.
template <class Point, class Value>
std::optional<Point> lowest_below(const std::vector<Point>& ray, Value&& value, double above) {
  double lowest = above;
  std::optional<Point> chosen;
  for (const Point& point : ray) {
    const std::optional<double> there = value(point);
    if (there && *there < lowest) {
      lowest = *there;
      chosen = point;
    }
  }
  return chosen;
}

// The unit eigenvector of a symmetric 2 x 2 matrix's smallest eigenvalue. Where both traits lie
// at the same end, a step off opens that end's covariance matrix by d u u', whose first-order
// change of the value is d u'Su (S the value's gradient in that matrix): u'Su is least along it.
inline Eigen::Vector2d smallest(const Eigen::Matrix2d& m) {
  Eigen::SelfAdjointEigenSolver<Eigen::Matrix2d> solver;
  solver.computeDirect(m);
  return solver.eigenvectors().col(0);
}

}  // namespace kestrune::step_off
