// The correction memory of the limited-memory path: the last few steps and
// the gradient changes they produced, oldest first.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace compat_lbfgsb::backend::native {

struct Correction {
  std::vector<double> s;  // x_new - x_old
  std::vector<double> y;  // g_new - g_old
  double rho;             // 1 / (s.y); always positive and finite
};

// Oldest first, at most m records.
using CorrectionHistory = std::vector<Correction>;

// Offers the pair (s, y) of a step that began at gradient g. It is stored only
// when s.y is finite and above a curvature threshold: EPSMCH*|g.s| when g.s is
// a finite descent slope, else EPSMCH*||s||*||y||. A full history drops its
// oldest record first. A refused pair leaves the history untouched.
void update_history(CorrectionHistory& history, std::size_t m, std::vector<double> s, std::vector<double> y,
                    std::span<const double> g);

}  // namespace compat_lbfgsb::backend::native
