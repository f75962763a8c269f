// The loop every model's fit repeats: try the starts and keep the best end point.
// What a start is, how it runs, and what a model keeps of it are the model's own; only the
// selection rule is shared, so no fit can drift from it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "compat_lbfgsb/control.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/parallel.hpp"

namespace kestrune::multistart {

// Runs `attempt` on each start. `attempt(start)` gives the model's record of a finished start
// (any type with a `value` member, lower is better) or nothing when the start is skipped. The
// best is the first record, in start order, whose value is strictly below every earlier one:
// a tie keeps the earlier start, and a NaN value never displaces a record. A stop asked for
// before the last start has run ends the loop with no record.
//
// With `thread_count` above one the starts run side by side (parallel::for_each), so each
// attempt must be independent of the others (a memo of its own, nothing shared written); the
// records are then compared in start order, and the result is the one-thread result.
template <class Starts, class Attempt>
auto best_of(const Starts& starts, Attempt&& attempt, int thread_count = 1)
    -> std::remove_cvref_t<decltype(attempt(*std::begin(starts)))> {
  using Record = std::remove_cvref_t<decltype(attempt(*std::begin(starts)))>;
  std::vector<Record> records(std::size(starts));
  const bool finished = parallel::for_each(
      records.size(), [&](std::size_t i) { records[i] = attempt(*(std::begin(starts) + i)); }, thread_count);
  if (!finished) return Record{};
  Record best;
  for (Record& candidate : records) {
    if (!candidate) continue;
    if (!best || candidate->value < best->value) best = std::move(candidate);
  }
  return best;
}

// Points of the simplex of k shares whose entries are multiples of 1 / d, d the finest of 1 .. 32 that
// keeps their number within `most` (d = 1, the k vertices, whatever their number): a scan that sees
// every face, the vertices and the edges included. Each point's entries sum to 1; the points come in
// descending lexicographic order, (1, 0, ..., 0) first.
inline std::vector<std::vector<double>> simplex_grid(std::size_t k, std::size_t most) {
  if (k == 0) return {};
  // Points of k entries summing to d: C(d + k - 1, k - 1), counted without overflow past `most`.
  const auto within = [k, most](std::size_t d) {
    double c = 1.0;
    for (std::size_t i = 1; i < k; ++i) c = c * static_cast<double>(d + i) / static_cast<double>(i);
    return c <= static_cast<double>(most) + 0.5;
  };
  std::size_t d = 1;
  while (d < 32 && within(d + 1)) ++d;
  std::vector<std::vector<double>> points;
  std::vector<std::size_t> parts(k, 0);
  // Every composition of d into k parts, the last part the remainder.
  const auto emit = [&] {
    std::vector<double> point(k);
    for (std::size_t i = 0; i < k; ++i) point[i] = static_cast<double>(parts[i]) / static_cast<double>(d);
    points.push_back(std::move(point));
  };
  const auto fill = [&](auto&& self, std::size_t i, std::size_t left) -> void {
    if (i + 1 == k) {
      parts[i] = left;
      emit();
      return;
    }
    for (std::size_t part = left + 1; part-- > 0;) {
      parts[i] = part;
      self(self, i + 1, left - part);
    }
  };
  fill(fill, 0, d);
  return points;
}

// How many vectors of k entries drawn from t levels have at least one entry at the first level:
// t^k - (t - 1)^k, or `most` + 1 when that is more than `most`.
inline std::size_t lattice_size(std::size_t k, std::size_t t, std::size_t most) {
  if (t == 0) return 0;
  double all = 1.0, without = 1.0;
  for (std::size_t i = 0; i < k; ++i) {
    all *= static_cast<double>(t);
    without *= static_cast<double>(t - 1);
  }
  const double count = all - without;
  return count > static_cast<double>(most) ? most + 1 : static_cast<std::size_t>(count);
}

// Every vector of k entries drawn from `levels` (descending, the first positive) with at least one
// entry at the first level, divided by its sum: with levels falling geometrically, a scan that
// approaches each face of the simplex, and each edge and vertex, on a logarithmic scale.
inline std::vector<std::vector<double>> level_lattice(std::size_t k, std::span<const double> levels) {
  std::vector<std::vector<double>> points;
  if (k == 0 || levels.empty()) return points;
  std::vector<std::size_t> index(k, 0);
  for (;;) {
    if (std::find(index.begin(), index.end(), std::size_t{0}) != index.end()) {
      std::vector<double> point(k);
      double total = 0.0;
      for (std::size_t i = 0; i < k; ++i) total += point[i] = levels[index[i]];
      for (double& entry : point) entry /= total;
      points.push_back(std::move(point));
    }
    std::size_t i = 0;
    while (i < k && ++index[i] == levels.size()) index[i++] = 0;
    if (i == k) return points;
  }
}

// The parscale of a run that starts again from x, a point of variance coefficients over n rows:
// each coordinate on its own size, never below `floor`, times sqrt(2 / n) (at most 1). A coefficient
// theta_j of a covariance V >= theta_j K_j carries information tr((V^-1 K_j)^2) / 2, at most
// n / (2 theta_j^2), so on this scale the curvature is at most about 1: the run's first step, the
// scaled gradient's negative, falls short of the Newton step rather than past it, and stays off the
// faces where V is singular.
inline std::vector<double> own_scale(std::span<const double> x, double floor, std::size_t n) {
  const double shrink = std::fmin(1.0, std::sqrt(2.0 / static_cast<double>(n)));
  std::vector<double> scale(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) scale[i] = std::fmax(std::fabs(x[i]), floor) * shrink;
  return scale;
}

// How far apart two values near `value` may be and still not be ordered: factr times the unit
// roundoff of max(|value|, 1), the tolerance under which a run itself calls a reduction no gain.
inline double rounding_tie(double value, double factr) {
  return factr * std::numeric_limits<double>::epsilon() * std::fmax(std::fabs(value), 1.0);
}

// The points one run evaluated, each with its value and scaled measure. Near an optimum whose
// curvature is large, the change a last step makes lies below the value's rounding: the run can end
// on a point whose value is a low outlier among its neighbours, which no line search then leaves,
// while a trial beside it, no worse to rounding, is much flatter.
class Evaluated {
 public:
  void add(std::span<const double> x, double value, double scaled_gradient) {
    if (!std::isfinite(value)) return;
    seen_.push_back(Seen{std::vector<double>(x.begin(), x.end()), value, scaled_gradient});
  }

  // The flattest point whose value is within rounding_tie of the lowest seen; nothing when none was.
  std::optional<std::vector<double>> flattest(double factr) const {
    if (seen_.empty()) return std::nullopt;
    double lowest = seen_.front().value;
    for (const Seen& s : seen_) lowest = std::fmin(lowest, s.value);
    const Seen* best = nullptr;
    for (const Seen& s : seen_)
      if (s.value <= lowest + rounding_tie(lowest, factr) && (!best || s.scaled_gradient < best->scaled_gradient))
        best = &s;
    return best->point;
  }

 private:
  struct Seen {
    std::vector<double> point;
    double value;
    double scaled_gradient;
  };
  std::vector<Seen> seen_;
};

// Starts again from the kept record's own point, on that point's own scale over n rows, while the
// record (any type with `value` and `scaled_gradient`) is not `settled`, at most `most` times. A run
// with unit scale can stop on a line search whose first trial lands where the model cannot be
// evaluated (a face of the box where the covariance is singular, read as a wall of 1e30); on the
// point's own scale the step from the stopped point stays inside. `again(point, scale)` gives a
// record or nothing. A record is taken when its value is lower by more than rounding_tie, or no
// higher than that and flatter: values that close the runs cannot order, the measure can.
template <class Record, class Point, class Again, class Settled>
void restart_while_gaining(std::optional<Record>& kept, Point point, Again&& again, Settled settled,
                           std::size_t most, double floor, double factr, std::size_t n) {
  for (std::size_t restart = 0; restart < most && kept && !settled(*kept) && !interrupt::requested(); ++restart) {
    const auto x = point(*kept);
    std::optional<Record> next = again(x, own_scale(x, floor, n));
    if (!next) return;
    const double tie = rounding_tie(kept->value, factr);
    const bool gained = next->value < kept->value - tie;
    const bool flatter = next->value <= kept->value + tie && next->scaled_gradient < kept->scaled_gradient;
    if (!gained && !flatter) return;
    kept = std::move(next);
  }
}

// fnscale of a run from a start whose objective value is `start_value`: the larger of
// |f0| and 1 (1 when f0 is NaN), or 1e30 when the start cannot be evaluated at all.
inline double start_fnscale(std::optional<double> start_value) {
  if (!start_value) return 1e30;
  return std::fmax(std::fabs(*start_value), 1.0);
}

// The controls most fits run with: the defaults for k parameters, then maxit, factr and
// pgtol as given, unit parscale, lmm min(k, 10) and fnscale from the start's value.
inline compat_lbfgsb::OptimControl start_controls(std::size_t k, std::optional<double> start_value,
                                                  std::size_t maxit, double factr, double pgtol) {
  auto control = compat_lbfgsb::OptimControl::default_for_dimension(k);
  control.maxit = maxit;
  control.factr = factr;
  control.pgtol = pgtol;
  control.lmm = k < 10 ? k : 10;
  control.fnscale = start_fnscale(start_value);
  return control;
}

}  // namespace kestrune::multistart
