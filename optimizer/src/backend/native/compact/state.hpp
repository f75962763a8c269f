// The memory of the exact compact path: the last m' correction pairs of
// L-BFGS-B in the compact representation B = theta I - W M W', with
// W = [Y, theta S], kept as S'Y and S'S in age order (index 0 = oldest pair)
// beside the Cholesky factor of T = theta S'S + L D^-1 L'.
//
// Invariants: the pair of age a < col lies in slot (head + a) mod m;
// itail = (head + col - 1) mod m once col > 0; col = min(iupdat, m).
// One state belongs to one run and is used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "backend/native/compact/triangular.hpp"
#include "backend/native/direction_choice.hpp"

namespace compat_lbfgsb::backend::native::compact {

// Per-variable bound status in `iwhere`.
inline constexpr std::int32_t ALWAYS_FREE = -1;   // both bounds infinite
inline constexpr std::int32_t ZERO_GRADIENT = -3; // free, but does not move along the Cauchy path
inline constexpr std::int32_t FREE = 0;
inline constexpr std::int32_t AT_LOWER = 1;
inline constexpr std::int32_t AT_UPPER = 2;
inline constexpr std::int32_t ALWAYS_FIXED = 3;   // finite bounds with upper <= lower

// How the free set moved at the last Cauchy point: the new number of free
// variables, the entering variables in indx2[0, nenter) and the leaving ones
// in indx2[ileave, n).
struct FreeSetChange {
    std::size_t nfree = 0;
    std::size_t nenter = 0;
    std::size_t ileave = 0;
    bool wrk = false;  // the reduced matrix must be formed again
};

struct ExactCompactState {
    // An empty state for n variables and m slots (at least one slot is kept).
    // lower and upper hold at least n entries; infinite entries are absent bounds.
    ExactCompactState(std::size_t n, std::size_t m, std::span<const double> lower, std::span<const double> upper);

    // Forgets every stored pair; the bound status, the partition and the
    // counters nfree and iter are kept.
    void clear_history();

    // Stores the pair (stp d, y) unless the curvature test skips it (updatd
    // then false). gd_old and gd_new are g_old.d and g_new.d. False when T is
    // no longer positive definite: the state has then been emptied.
    bool update(std::span<const double> d, std::span<const double> y, double stp, double gd_old, double gd_new);

    // M v for the middle matrix M = [[-D, L'], [L, theta S'S]]^-1; v holds the
    // Y part in its first col entries and the theta S part in the last col.
    // Absent when v has not 2 col entries or a solve with the factor fails.
    std::optional<std::vector<double>> bmv(std::span<const double> v) const;

    // bmv into a caller's buffer of 2 col entries; false where bmv is absent.
    bool bmv_into(std::span<const double> v, std::span<double> out) const;

    // The step from x to the minimiser xbar of the compact model found by the
    // generalized Cauchy point and the subspace step; full_step_point = xbar.
    // Absent when a solve fails, when the reduced matrix cannot be factored
    // (the history is then cleared first), or when max |xbar - x| <= tolerance.
    std::optional<DirectionChoice> direction(std::span<const double> x, std::span<const double> g,
                                             std::span<const double> lower, std::span<const double> upper,
                                             double projected_gradient_norm, double tolerance);

    // Brings the inner products in wn1 up to date with the newest pair and the
    // change of the free set, then forms and factors the reduced matrix K in
    // wn. False when a factorisation or solve fails (wn1 and wn then unusable).
    bool formk(const FreeSetChange& change);

    // The first half of formk alone: wn1 follows the pairs and the free set.
    void update_inner_products(const FreeSetChange& change);

    // Slot of the pair of age j (0 = oldest).
    std::size_t slot(std::size_t age) const noexcept { return (head + age) % m; }

    std::size_t n;
    std::size_t m;
    RowMatrix ws;   // m x n: the s vector stored in each slot
    RowMatrix wy;   // m x n: the y vector stored in each slot
    RowMatrix sy;   // m x m, age order: strict lower s_i.y_j, diagonal D
    RowMatrix ss;   // m x m, age order: upper triangle s_i.s_j
    RowMatrix wt;   // m x m: upper Cholesky factor of T over the first col rows
    RowMatrix wn;   // 2m x 2m: the factored reduced matrix K
    RowMatrix wn1;  // 2m x 2m: inner products over the free and active sets
    std::vector<std::int32_t> iwhere;
    std::vector<std::size_t> index;  // free variables first, then the active ones
    std::vector<std::size_t> indx2;  // entering variables first, leaving ones last
    std::size_t head = 0;
    std::size_t itail = 0;
    std::size_t col = 0;
    std::size_t iupdat = 0;
    double theta = 1.0;
    std::size_t nfree = 0;
    std::size_t iter = 0;
    bool updatd = false;
};

}  // namespace compat_lbfgsb::backend::native::compact
