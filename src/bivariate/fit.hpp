// The two-trait fit: one bounded search per heritability state (each heritability free, held
// at 0 or held at 1) from three starts each, and the simplest converged search that reaches
// the best value, once no admissible step off an end of a heritability it lies at or near rises.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "bivariate/model.hpp"
#include "error.hpp"

namespace kestrune::bivariate {

// Bounds of the six coordinates: variances above 1e-8, heritabilities 2^-52 inside (0, 1),
// correlations in [-1, 1], the residual one 1e-12 inside where a residual correlation of +-1
// leaves the measured values' covariance singular (see Face): the likelihood has no value on
// that face, and a search that steps onto it stalls where it could have turned back.
inline constexpr double variance_floor = 1e-8;
inline constexpr double heritability_edge = 0x1p-52;
inline constexpr double correlation_edge = 1e-12;

// The nine states in the order the fit tries them.
inline constexpr std::array<HeritabilityState, 9> heritability_states = {{
    {HeritabilityHold::Free, HeritabilityHold::Free},
    {HeritabilityHold::HeldAtZero, HeritabilityHold::Free},
    {HeritabilityHold::HeldAtOne, HeritabilityHold::Free},
    {HeritabilityHold::Free, HeritabilityHold::HeldAtZero},
    {HeritabilityHold::Free, HeritabilityHold::HeldAtOne},
    {HeritabilityHold::HeldAtZero, HeritabilityHold::HeldAtZero},
    {HeritabilityHold::HeldAtZero, HeritabilityHold::HeldAtOne},
    {HeritabilityHold::HeldAtOne, HeritabilityHold::HeldAtZero},
    {HeritabilityHold::HeldAtOne, HeritabilityHold::HeldAtOne},
}};

// theta indices the state leaves free, increasing: the variances always, a heritability
// unless held, rho_g unless a heritability is held at 0, rho_e unless one is held at 1.
std::vector<std::size_t> free_indices(HeritabilityState state);

// [1, 1, h(first), h(second), 0, 0] (h: 0 held at zero, 0.5 free, 1 held at one), with the
// free values written at the free indices.
Theta expand(HeritabilityState state, std::span<const double> free_values);

struct BoundVectors {
  std::vector<double> lower;
  std::vector<double> upper;
};

// The coordinate bounds at the state's free indices, on a model with these faces.
BoundVectors bounds(HeritabilityState state, const Faces& faces = {});

// The bounds of the six coordinates at the given indices, on a model with these faces.
BoundVectors bounds_at(std::span<const std::size_t> indices, const Faces& faces = {});

// The largest max(|x_i|, 1) |g_i| over coordinates not pinned at a bound (within 1e-12, with
// the gradient pointing outwards), divided by max(|f|, 1); 0 when all are pinned.
double projected_gradient_norm(double f, std::span<const double> x, std::span<const double> g,
                               std::span<const double> lower, std::span<const double> upper);

struct OptimisationCandidate {
  double objective;               // negative log-likelihood on the response scale
  double standardised_objective;  // the minimised value, which selection compares
  Theta theta;                    // V1, V2 on the response scale
  double scaled_gradient;
  HeritabilityState state;
  bool converged;
};

// One search of the fit in `state` from `start` (standardised theta): nothing when the start
// cannot be evaluated, or when, by ML, the run did not converge on its way to a face where the
// likelihood rises without bound (no maximum to fall short of); an error when the run or its
// end point fails. A run that stops short of its gradient test with a free heritability near an
// end, where the value no longer resolves the steps its derivative still asks for, is settled
// along that heritability by bisection on the derivative's sign. A candidate is converged when
// its projected gradient is small, its free heritabilities are interior, a free residual
// correlation is off an inner edge of its box, no total variance is on its floor, and every
// number it reports is finite.
Result<std::optional<OptimisationCandidate>> search(const StandardisedProblem& problem, bool reml,
                                                    HeritabilityState state, const Theta& start);

// Starts off an end of a heritability from which the likelihood rises above `value`, the
// point's own (standardised theta and objective), each with the state that frees that
// heritability: none where no admissible step off rises by more than the selection's tolerance.
// The ends looked at are those the state holds and those a free heritability lies within 1e-3
// of. At an end theta folds: a heritability of 0 leaves G singular, one of 1 leaves E singular,
// and the correlation the end removes has no pull on a search near it. A step off by d opens
// that covariance by up to sqrt(d M_oo), so the value can fall at the rate sqrt(d) while its
// derivative in the heritability alone says it rises. Steps with a correlation of -1, 0 and 1,
// each over a geometric range of d, give one start each where they rise; where both traits are
// at one end, steps d w w' along the direction w'Sw is least (S the value's gradient in that
// covariance matrix) give another.
struct StepOff {
  HeritabilityState state;
  Theta start;
};
std::vector<StepOff> steps_off(const StandardisedProblem& problem, bool reml, HeritabilityState state,
                               const Theta& theta, double value);

// The end a heritability lies within 1e-3 of, or Free.
HeritabilityHold end_near(double h);

// One ray of those steps, as theta: off the end `end` of `trait`'s heritability at `theta`,
// that end's covariance matrix M raised by d at (trait, trait) and its cross entry set to
// correlation sqrt(d M_oo), for d from a quarter of the larger total variance down by quarters.
std::vector<Theta> ray_off(const Theta& theta, std::size_t trait, HeritabilityHold end, double correlation);

// A ray off an end both heritabilities lie at: that end's covariance matrix raised by
// d [[V1, c sqrt(V1 V2)], [c sqrt(V1 V2), V2]] with c the correlation, for d from a quarter down
// by quarters; the other correlation as theta's.
std::vector<Theta> joint_ray_off(const Theta& theta, HeritabilityHold end, double correlation);

// The largest correlation a step may take at that end: 1, or just inside it where a residual
// correlation of +-1 leaves V singular.
double correlation_reach(const StandardisedProblem& problem, HeritabilityHold end);

// The converged candidate with the fewest free coordinates among those within
// (|best| + 1) 1e-10 of the best; refused when an unconverged one lies beyond that below it.
Result<OptimisationCandidate> select_best_candidate(const std::vector<OptimisationCandidate>& converged,
                                                    const std::vector<OptimisationCandidate>& others);

// The finished searches of a fit, as `select_best_candidate` reads them.
struct Candidates {
  std::vector<OptimisationCandidate> converged;
  std::vector<OptimisationCandidate> others;
  void add(OptimisationCandidate candidate) {
    (candidate.converged ? converged : others).push_back(std::move(candidate));
  }
};

// `select_best_candidate`, once the point it would report (or the unconverged one that would
// refuse it) is a maximum as far as `steps_off` can tell: while that point lies at or near an end
// of a heritability and steps off that end rise, the search goes on from each, and an
// unconverged point is run on from where it stopped; their ends join the candidates. Each
// search that stops short of its test is run on once from its end.
Result<OptimisationCandidate> choose(const StandardisedProblem& problem, bool reml, Candidates& candidates);

struct BivariateFit {
  std::optional<double> genetic_correlation;   // absent when a heritability is held at 0
  std::optional<double> residual_correlation;  // absent when a heritability is held at 1
  std::string estimator;                       // "reml" or "ml"
  double h2_first;
  double h2_second;
  double variance_first;
  double variance_second;
  double phenotypic_correlation;
  double loglik;
  double scaled_gradient;
  HeritabilityState state;
  bool converged;
};

// Checks y (length, finiteness), standardises and fits.
Result<BivariateFit> fit(const BivariateModel& model, const Eigen::Ref<const Eigen::VectorXd>& y, bool reml);

// The fit, with every candidate its searches left: points a refit may take as they are.
struct SearchedFit {
  BivariateFit fit;
  Candidates candidates;
};
Result<SearchedFit> searched_fit(const BivariateModel& model, const Eigen::Ref<const Eigen::VectorXd>& y, bool reml);

// The response y checked as every operation on it checks it: one value per measured value,
// each finite.
Result<void> check_response(const BivariateModel& model, const Eigen::Ref<const Eigen::VectorXd>& y);

}  // namespace kestrune::bivariate
