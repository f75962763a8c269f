#include "numerics/whole_sample.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "numerics/dense.hpp"
#include "numerics/eigen.hpp"
#include "numerics/interrupt.hpp"
#include "numerics/lapack.hpp"
#include "numerics/rank.hpp"
#include "numerics/singular_reml.hpp"
#include "numerics/threads.hpp"

namespace kestrune::whole_sample {
namespace {

using Eigen::Index;

constexpr double ln_2pi = 1.8378770664093453;

// Zeros the lower triangle of the size x size matrix `v`, then adds sum_l c_l A_l there, with
// local row i standing for person(i); a term whose coefficient is 0.0 is skipped.
template <class Person>
void add_given(const GroupedCovariance& c, Index size, Person person, Eigen::MatrixXd& v) {
  v.resize(size, size);
  for (Index j = 0; j < size; ++j) v.col(j).tail(size - j).setZero();
  for (std::size_t l = 0; l < c.fixed.size(); ++l) {
    const double coefficient = c.fixed_coefficients[l];
    if (coefficient == 0.0) continue;
    const Eigen::MatrixXd& a = c.fixed[l];
    for (Index j = 0; j < size; ++j) {
      const Index pj = person(j);
      for (Index i = j; i < size; ++i) v(i, j) += coefficient * a(person(i), pj);
    }
  }
}

// The lower triangle of V, the only part the factor reads; each entry takes its terms in
// the order of the covariance: the given matrices, the place kernel, the residual.
void assemble(const GroupedCovariance& c, Eigen::MatrixXd& v) {
  const auto n = static_cast<Index>(c.group_of.size());
  add_given(c, n, [](Index i) { return i; }, v);
  if (c.kernel_coefficient != 0.0) {
    for (Index j = 0; j < n; ++j) {
      const auto gj = static_cast<Index>(c.group_of[j]);
      for (Index i = j; i < n; ++i) {
        v(i, j) += c.kernel_coefficient * c.kernel(static_cast<Index>(c.group_of[i]), gj);
      }
    }
  }
  for (Index i = 0; i < n; ++i) v(i, i) += c.residual;
}

double dot(const Eigen::VectorXd& a, const Eigen::VectorXd& b) {
  double sum = 0.0;
  for (Index i = 0; i < a.size(); ++i) sum += a[i] * b[i];
  return sum;
}

// tr(A B) for p x p matrices.
double trace_of_product(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  double sum = 0.0;
  for (Index i = 0; i < a.rows(); ++i) {
    for (Index j = 0; j < a.cols(); ++j) sum += a(i, j) * b(j, i);
  }
  return sum;
}

// What every gradient coordinate shares: Py, V^-1 X, (X'V^-1 X)^-1, and the place-level
// sums Z'Py and Z'V^-1 X.
struct Shared {
  const Eigen::VectorXd& r;
  const Eigen::MatrixXd& b;
  const Eigen::MatrixXd& c_inverse;
  Eigen::VectorXd place_r;
  Eigen::MatrixXd place_b;
  bool reml_term;  // REML with at least one fixed effect
};

Shared share(const Eigen::VectorXd& r, const Eigen::MatrixXd& b, const Eigen::MatrixXd& c_inverse,
             std::span<const std::size_t> group_of, Index places, bool reml_term) {
  Shared s{r, b, c_inverse, Eigen::VectorXd::Zero(places), Eigen::MatrixXd::Zero(places, b.cols()), reml_term};
  for (Index i = 0; i < r.size(); ++i) {
    const auto gi = static_cast<Index>(group_of[i]);
    s.place_r[gi] += r[i];
    s.place_b.row(gi) += b.row(i);
  }
  return s;
}

// Z'V^-1 Z from the whole V^-1.
void sum_by_place(const Eigen::MatrixXd& inverse, std::span<const std::size_t> group_of, Index places,
                  Eigen::MatrixXd& place_inverse) {
  const Index n = inverse.rows();
  place_inverse.setZero(places, places);
  for (Index j = 0; j < n; ++j) {
    const auto gj = static_cast<Index>(group_of[j]);
    for (Index i = 0; i < n; ++i) place_inverse(static_cast<Index>(group_of[i]), gj) += inverse(i, j);
  }
}

// 0.5 [tr(V^-1 D) - r'D r] - 0.5 tr(C^-1 B'D B) for a given n x n matrix D, in one pass
// over its entries. The trace is summed row by row, each row over its columns in order.
double given_coordinate(const Shared& s, const Eigen::MatrixXd& inverse, const Eigen::MatrixXd& d) {
  const Index n = s.r.size();
  const Index p = s.b.cols();
  Eigen::VectorXd row_trace = Eigen::VectorXd::Zero(n);
  Eigen::VectorXd u = Eigen::VectorXd::Zero(n);
  Eigen::MatrixXd db = s.reml_term ? Eigen::MatrixXd::Zero(n, p) : Eigen::MatrixXd();
  for (Index j = 0; j < n; ++j) {
    const double rj = s.r[j];
    for (Index i = 0; i < n; ++i) {
      const double dij = d(i, j);
      row_trace[i] += dij * inverse(i, j);
      u[i] += dij * rj;
    }
    if (!s.reml_term) continue;
    for (Index c = 0; c < p; ++c) {
      const double bjc = s.b(j, c);
      for (Index i = 0; i < n; ++i) db(i, c) += d(i, j) * bjc;
    }
  }
  double trace = 0.0;
  for (Index i = 0; i < n; ++i) trace += row_trace[i];
  double g = (trace - dot(s.r, u)) * 0.5;
  if (s.reml_term) g -= 0.5 * trace_of_product(s.c_inverse, s.b.transpose() * db);
  return g;
}

// tr(Z'V^-1 Z D) from the whole Z'V^-1 Z.
double place_trace(const Eigen::MatrixXd& place_inverse, const Eigen::MatrixXd& d) {
  double trace = 0.0;
  for (Index a = 0; a < d.rows(); ++a) {
    for (Index b = 0; b < d.cols(); ++b) trace += d(a, b) * place_inverse(a, b);
  }
  return trace;
}

// The same for D[g(i)][g(j)] with D over the places, given tr(V^-1 Z D Z') = tr(Z'V^-1 Z D):
// everything reduces to k x k work.
double place_coordinate(const Shared& s, const Eigen::MatrixXd& d, double trace) {
  const Eigen::VectorXd u = d * s.place_r;
  double g = (trace - dot(s.place_r, u)) * 0.5;
  if (s.reml_term) g -= 0.5 * trace_of_product(s.c_inverse, s.place_b.transpose() * (d * s.place_b));
  return g;
}

// The identity: tr V^-1 (given as `trace`), r'r and B'B.
double residual_coordinate(const Shared& s, double trace) {
  double g = (trace - dot(s.r, s.r)) * 0.5;
  if (s.reml_term) g -= 0.5 * trace_of_product(s.c_inverse, s.b.transpose() * s.b);
  return g;
}

// The fixed effects profiled out of the likelihood, from ln det V, z = V^-1 y and
// B = V^-1 X; nothing when X'V^-1 X has no factor or y'Py is not finite and above its
// rounding.
std::optional<WholeSampleLikelihood> profile(double logdet_v, const Eigen::VectorXd& z, const Eigen::MatrixXd& b,
                                             const Design& design, const Eigen::VectorXd& y, bool reml) {
  if (!std::isfinite(logdet_v)) return std::nullopt;
  const Eigen::MatrixXd& x = design.x;
  const Eigen::MatrixXd c = x.transpose() * b;
  const Eigen::VectorXd xz = x.transpose() * z;
  const auto c_factor = dense::DenseFactor::make(c);
  if (!c_factor) return std::nullopt;
  Eigen::VectorXd beta = c_factor->solve_vector(xz);
  // y'Py is y's squared pivot beyond the design in V^-1's inner product: a response that the
  // design reproduces leaves only rounding there, judged at the level rank judges a column.
  const auto n = static_cast<double>(y.size());
  const auto p = static_cast<double>(x.cols());
  const double yz = dot(y, z);
  const double q = yz - dot(xz, beta);
  if (!rank::above_rounding(q, yz, static_cast<std::size_t>(x.cols()))) return std::nullopt;

  double value = ((n * ln_2pi + logdet_v) + q) * 0.5;
  if (reml) value += (c_factor->logdet() - design.logdet_xtx) * 0.5 + (p / 2.0) * (-ln_2pi);
  return WholeSampleLikelihood{value, std::move(beta), c_factor->inverse(), {}};
}

// What the gradient reads of V^-1 on the dense route: all of it, and Z'V^-1 Z summed from it.
struct DenseInverse {
  const Eigen::MatrixXd& inverse;
  const Eigen::MatrixXd& place_inverse;

  double given(const Shared& s, const Eigen::MatrixXd& a) const { return given_coordinate(s, inverse, a); }
  double place(const Eigen::MatrixXd& d) const { return place_trace(place_inverse, d); }
  double trace() const {
    double sum = 0.0;
    for (Index i = 0; i < inverse.rows(); ++i) sum += inverse(i, i);
    return sum;
  }
};

DenseInverse inverse_of(const dense::FactorView& factor, const GroupedCovariance& cov, Workspace& workspace) {
  factor.symmetric_inverse_into(workspace.inverse);
  sum_by_place(workspace.inverse, cov.group_of, cov.kernel.rows(), workspace.place_inverse);
  return {workspace.inverse, workspace.place_inverse};
}

// ---- the place route ----------------------------------------------------------------

// Work of the place route per evaluation with its gradient, in units of k^3 flops: the
// factors of W and T, W^-1, L_T^-1, T^-1 and L_T^-1 W^-1 come to 3 k^3, at a lower speed
// than the dense route's large factor and inverse.
constexpr double place_work = 4.0;

// The dense work (n^3 flops) below which the dense route is kept whatever the places.
constexpr double smallest_dense = 128.0 * 128.0 * 128.0;

// F is refused for the place route when a family's pivots spread further than this, since
// Woodbury's identity loses about as many digits as F's condition number has.
constexpr double pivot_spread = 1e-6;

int stride_of(const Eigen::MatrixXd& a) { return static_cast<int>(a.outerStride()); }

// The lower-triangular a (order n, leading dimension lda) overwritten by its inverse:
// [A 0; B C]^-1 = [A^-1 0; -C^-1 B A^-1 C^-1], halves inverted in turn and the corner by two
// triangular products, which run near the speed of a matrix product where LAPACK's own
// dtrtri does not.
void invert_lower(double* a, int n, int lda) {
  if (n <= 32) {
    int info = 0;
    dtrtri_("L", "N", &n, a, &lda, &info, 1, 1);
    return;
  }
  const int k = n / 2, rest = n - k;
  double* corner = a + k;
  double* last = a + k + static_cast<std::ptrdiff_t>(k) * lda;
  invert_lower(a, k, lda);
  invert_lower(last, rest, lda);
  const double one = 1.0, minus_one = -1.0;
  dtrmm_("L", "L", "N", "N", &rest, &k, &minus_one, last, &lda, corner, &lda, 1, 1, 1, 1);
  dtrmm_("R", "L", "N", "N", &rest, &k, &one, a, &lda, corner, &lda, 1, 1, 1, 1);
}

// The lower triangle of `x` (a factor's L) overwritten by L^-1; then, with `whole`, by
// L^-T L^-1, the inverse of L L', both triangles filled.
void invert_factor(Eigen::MatrixXd& x, bool whole) {
  const int order = static_cast<int>(x.rows()), stride = stride_of(x);
  if (order == 0) return;
  threads::prepare(threads::Kind::inverse, order);  // for the products that follow on x too
  invert_lower(x.data(), order, stride);
  if (!whole) return;
  int info = 0;
  dlauum_("L", &order, x.data(), &stride, &info, 1);
  x.triangularView<Eigen::StrictlyUpper>() = x.transpose();
}

// The lower triangle of F_f = sum_l c_l A_l + c_e I over one family's members.
void assemble_family(const GroupedCovariance& c, const blocks::Block& members, Eigen::MatrixXd& f) {
  const auto size = static_cast<Index>(members.size());
  add_given(c, size, [&](Index i) { return static_cast<Index>(members[static_cast<std::size_t>(i)]); }, f);
  for (Index i = 0; i < size; ++i) f(i, i) += c.residual;
}

// V = F + c_g Z R Z' factored through its families and places, in the workspace's storage.
// With G = F^-1 Z, W = Z'G and T = W^-1 + c_g R:
//   det V = det F det W det T,  V^-1 = F^-1 - G H G' with H = W^-1 - W^-1 T^-1 W^-1,
// and Z'V^-1 Z = T^-1.
class PlaceFactor {
 public:
  // Nothing when F, W or T has no factor or F is too ill-conditioned for the identity to
  // hold its digits: the dense route then decides.
  static std::optional<PlaceFactor> make(const GroupedCovariance& c, Workspace& w);

  double logdet() const { return logdet_; }

  // Overwrites u (n rows) with V^-1 u.
  void solve_in_place(Eigen::Ref<Eigen::MatrixXd> u) const;

  // Z'V^-1 Z into the workspace's place_inverse and each family's block of V^-1 into its
  // family_inverse.
  void inverses() const;

 private:
  PlaceFactor(const Families& families, Workspace& w) : families_(families), w_(w) {}

  const Families& families_;
  Workspace& w_;
  std::vector<dense::FactorView> family_;
  std::optional<dense::FactorView> capacitance_;
  double logdet_ = 0.0;
};

std::optional<PlaceFactor> PlaceFactor::make(const GroupedCovariance& c, Workspace& w) {
  const Families& families = *c.families;
  const std::size_t count = families.members.size();
  const auto places = c.kernel.rows();
  PlaceFactor factor(families, w);
  factor.family_.reserve(count);
  w.family_factor.resize(count);
  w.family_places.resize(count);
  w.place_gram.setZero(places, places);
  double logdet_f = 0.0;
  for (std::size_t f = 0; f < count; ++f) {
    const blocks::Block& members = families.members[f];
    const std::vector<Index>& at = families.places[f];
    Eigen::MatrixXd& lower = w.family_factor[f];
    assemble_family(c, members, lower);
    const double largest = lower.diagonal().maxCoeff();
    auto view = dense::FactorView::make(lower);
    if (!view) return std::nullopt;
    const double smallest = lower.diagonal().minCoeff();
    if (smallest * smallest < pivot_spread * largest) return std::nullopt;
    logdet_f += view->logdet();
    // G_f = F_f^-1 Z_f, and W over the family's places gains Z_f' G_f.
    Eigen::MatrixXd& g = w.family_places[f];
    g.setZero(static_cast<Index>(members.size()), static_cast<Index>(at.size()));
    for (std::size_t i = 0; i < members.size(); ++i) g(static_cast<Index>(i), families.slot[members[i]]) = 1.0;
    view->solve_in_place(g);
    for (std::size_t i = 0; i < members.size(); ++i) {
      const Index row = at[static_cast<std::size_t>(families.slot[members[i]])];
      for (std::size_t b = 0; b < at.size(); ++b) {
        w.place_gram(row, at[b]) += g(static_cast<Index>(i), static_cast<Index>(b));
      }
    }
    factor.family_.push_back(*view);
  }
  const auto gram = dense::FactorView::make(w.place_gram, dense::DenseFactor::Route::lapack);
  if (!gram) return std::nullopt;
  w.gram_inverse = w.place_gram.triangularView<Eigen::Lower>();
  invert_factor(w.gram_inverse, true);
  w.capacitance = w.gram_inverse;
  if (c.kernel_coefficient != 0.0) w.capacitance += c.kernel_coefficient * c.kernel;
  factor.capacitance_ = dense::FactorView::make(w.capacitance, dense::DenseFactor::Route::lapack);
  if (!factor.capacitance_) return std::nullopt;
  factor.logdet_ = (logdet_f + gram->logdet()) + factor.capacitance_->logdet();
  return factor;
}

void PlaceFactor::solve_in_place(Eigen::Ref<Eigen::MatrixXd> u) const {
  const Families& families = families_;
  Eigen::MatrixXd t = Eigen::MatrixXd::Zero(w_.gram_inverse.rows(), u.cols());
  Eigen::MatrixXd part;
  for (std::size_t f = 0; f < family_.size(); ++f) {
    const blocks::Block& members = families.members[f];
    const std::vector<Index>& at = families.places[f];
    part = u(members, Eigen::all);
    family_[f].solve_in_place(part);
    u(members, Eigen::all) = part;
    for (std::size_t i = 0; i < members.size(); ++i) {
      t.row(at[static_cast<std::size_t>(families.slot[members[i]])]) += part.row(static_cast<Index>(i));
    }
  }
  // H t = W^-1 (t - T^-1 W^-1 t).
  Eigen::MatrixXd through = w_.gram_inverse * t;
  capacitance_->solve_in_place(through);
  t -= through;
  const Eigen::MatrixXd h = w_.gram_inverse * t;
  for (std::size_t f = 0; f < family_.size(); ++f) {
    const blocks::Block& members = families.members[f];
    const Eigen::MatrixXd correction = w_.family_places[f] * h(families.places[f], Eigen::all);
    for (std::size_t i = 0; i < members.size(); ++i) {
      u.row(static_cast<Index>(members[i])) -= correction.row(static_cast<Index>(i));
    }
  }
}

void PlaceFactor::inverses() const {
  // X = L_T^-1, so that T^-1 = X'X and W^-1 T^-1 W^-1 = U'U with U = X W^-1: only H's entries
  // between places of one family are wanted, W^-1 less the product of two columns of U.
  Eigen::MatrixXd& x = w_.capacitance_inverse_factor;
  x = w_.capacitance.triangularView<Eigen::Lower>();
  invert_factor(x, false);
  Eigen::MatrixXd& u = w_.place_inverse;
  u = w_.gram_inverse;
  const int order = static_cast<int>(x.rows());
  if (order > 0) {
    const double one = 1.0;
    const int ldx = stride_of(x), ldu = stride_of(u);
    dtrmm_("L", "L", "N", "N", &order, &order, &one, x.data(), &ldx, u.data(), &ldu, 1, 1, 1, 1);
  }
  w_.family_inverse.resize(family_.size());
  Eigen::MatrixXd h;
  for (std::size_t f = 0; f < family_.size(); ++f) {
    const std::vector<Index>& at = families_.places[f];
    const auto size = static_cast<Index>(at.size());
    h.resize(size, size);
    for (Index b = 0; b < size; ++b) {
      for (Index a = b; a < size; ++a) {
        const Index i = at[static_cast<std::size_t>(a)], j = at[static_cast<std::size_t>(b)];
        h(a, b) = h(b, a) = w_.gram_inverse(i, j) - u.col(i).dot(u.col(j));
      }
    }
    const Eigen::MatrixXd& g = w_.family_places[f];
    family_[f].symmetric_inverse_into(w_.family_inverse[f]);
    w_.family_inverse[f].noalias() -= g * h * g.transpose();
  }
  // Z'V^-1 Z = T^-1 = X'X, into place_inverse.
  if (order > 0) {
    const int ldx = stride_of(x);
    int info = 0;
    dlauum_("L", &order, x.data(), &ldx, &info, 1);
  }
  u = x.selfadjointView<Eigen::Lower>();
}

// 0.5 [tr(V^-1 D) - r'D r] - 0.5 tr(C^-1 B'D B) for a given matrix D whose entries all lie
// within the families, family by family.
double family_coordinate(const Shared& s, const Families& families, const std::vector<Eigen::MatrixXd>& inverses,
                         const Eigen::MatrixXd& d) {
  const Index p = s.b.cols();
  double trace = 0.0, form = 0.0;
  Eigen::MatrixXd bdb = Eigen::MatrixXd::Zero(p, p);
  for (std::size_t f = 0; f < families.members.size(); ++f) {
    const blocks::Block& members = families.members[f];
    const Eigen::MatrixXd block = d(members, members);
    trace += block.cwiseProduct(inverses[f]).sum();
    const Eigen::VectorXd r = s.r(members);
    form += r.dot(block * r);
    if (s.reml_term) {
      const Eigen::MatrixXd b = s.b(members, Eigen::all);
      bdb.noalias() += b.transpose() * (block * b);
    }
  }
  double g = (trace - form) * 0.5;
  if (s.reml_term) g -= 0.5 * trace_of_product(s.c_inverse, bdb);
  return g;
}

// What the gradient reads of V^-1 on the place route: its families' blocks and Z'V^-1 Z.
struct FamilyInverse {
  const Families& families;
  const std::vector<Eigen::MatrixXd>& blocks;
  const Eigen::MatrixXd& place_inverse;

  double given(const Shared& s, const Eigen::MatrixXd& a) const { return family_coordinate(s, families, blocks, a); }
  double place(const Eigen::MatrixXd& d) const { return d.cwiseProduct(place_inverse).sum(); }
  double trace() const {
    double sum = 0.0;
    for (const Eigen::MatrixXd& block : blocks) sum += block.trace();
    return sum;
  }
};

FamilyInverse inverse_of(const PlaceFactor& factor, const GroupedCovariance& cov, Workspace& workspace) {
  factor.inverses();
  return {*cov.families, workspace.family_inverse, workspace.place_inverse};
}

// The gradient in the order c_1 .. c_m, c_g, c_e and the place-level derivatives, from
// r = V^-1 (y - X beta), B = V^-1 X, C = (X'V^-1 X)^-1 and what a route reads of V^-1.
template <class Inverse>
std::vector<double> gradient_of(const Inverse& inverse, const Eigen::VectorXd& r, const Eigen::MatrixXd& b,
                                const Eigen::MatrixXd& c, const GroupedCovariance& cov, bool reml_term,
                                std::span<const Eigen::MatrixXd> derivatives) {
  const Shared shared = share(r, b, c, cov.group_of, cov.kernel.rows(), reml_term);
  std::vector<double> gradient;
  for (const Eigen::MatrixXd& a : cov.fixed) gradient.push_back(inverse.given(shared, a));
  gradient.push_back(place_coordinate(shared, cov.kernel, inverse.place(cov.kernel)));
  gradient.push_back(residual_coordinate(shared, inverse.trace()));
  for (const Eigen::MatrixXd& d : derivatives) gradient.push_back(place_coordinate(shared, d, inverse.place(d)));
  return gradient;
}

// The likelihood from either route's factor of V: the fixed effects profiled out, then the
// gradient in the order c_1 .. c_m, c_g, c_e and the place-level derivatives.
template <class Factor>
std::optional<WholeSampleLikelihood> with_factor(const Factor& factor, const GroupedCovariance& cov,
                                                 const Design& design, const Eigen::VectorXd& y, bool reml,
                                                 std::span<const Eigen::MatrixXd> derivatives, bool with_gradient,
                                                 Workspace& workspace) {
  Eigen::VectorXd z = y;
  factor.solve_in_place(z);
  Eigen::MatrixXd b = design.x;
  factor.solve_in_place(b);
  auto result = profile(factor.logdet(), z, b, design, y, reml);
  if (!result || !with_gradient) return result;

  const Eigen::VectorXd r = z - b * result->beta;
  result->gradient = gradient_of(inverse_of(factor, cov, workspace), r, b, result->beta_covariance, cov,
                                 reml && design.x.cols() > 0, derivatives);
  return result;
}

// Under REML, with the residual at 0 and V singular only along directions the design spans: the
// limit of the likelihood as the residual falls to 0, through V's pseudo-inverse on the dense
// route (singular_reml), its fixed effects those of the fitted mean y - V P y.
std::optional<WholeSampleLikelihood> on_null_face(const GroupedCovariance& cov, const Design& design,
                                                  const Eigen::VectorXd& y, std::span<const Eigen::MatrixXd> derivatives,
                                                  bool with_gradient, Workspace& workspace) {
  const Eigen::MatrixXd& x = design.x;
  const Index n = x.rows(), p = x.cols();
  assemble(cov, workspace.covariance);
  Eigen::MatrixXd& pseudo = workspace.inverse;
  const auto face = singular_reml::dense_face(workspace.covariance, x, pseudo, workspace.face);
  if (!face) return std::nullopt;
  const Index r = face->complement.cols();
  double logdet = face->log_pseudo_determinant;
  const Eigen::MatrixXd& x2 = face->reduced;
  const Eigen::VectorXd z = pseudo * y;
  const Eigen::MatrixXd b = pseudo * x2;
  const double yz = dot(y, z);
  double quadratic = yz;
  Eigen::VectorXd beta = Eigen::VectorXd::Zero(r);
  Eigen::MatrixXd c = Eigen::MatrixXd::Zero(r, r);
  if (r > 0) {
    const auto a = dense::DenseFactor::make(x2.transpose() * b);
    if (!a) return std::nullopt;
    const Eigen::VectorXd x2z = x2.transpose() * z;
    beta = a->solve_vector(x2z);
    c = a->inverse();
    logdet += a->logdet();
    quadratic -= dot(x2z, beta);
  }
  if (!rank::above_rounding(quadratic, yz, static_cast<std::size_t>(p))) return std::nullopt;
  const double value = 0.5 * ((static_cast<double>(n - p) * ln_2pi + logdet) + quadratic);
  const Eigen::VectorXd e = z - b * beta;
  const Eigen::VectorXd mean = y - workspace.covariance.selfadjointView<Eigen::Lower>() * e;
  singular_reml::FaceEffects effects = singular_reml::face_effects(x, mean, face->complement, c);
  WholeSampleLikelihood result{value, std::move(effects.beta), std::move(effects.covariance), {}};
  if (!with_gradient) return result;
  sum_by_place(pseudo, cov.group_of, cov.kernel.rows(), workspace.place_inverse);
  result.gradient = gradient_of(DenseInverse{pseudo, workspace.place_inverse}, e, b, c, cov, r > 0, derivatives);
  return result;
}

}  // namespace

std::optional<Standardised> standardise(const centring::LeastSquares& design, const Eigen::VectorXd& y) {
  return centring::standardise(y, design.centre(y));
}

std::vector<double> effects_on_response_scale(const Eigen::VectorXd& beta, const Standardised& response,
                                              const design_basis::Basis& basis) {
  const Eigen::VectorXd offset = basis.coefficients(response.offset);
  std::vector<double> effects;
  effects.reserve(static_cast<std::size_t>(beta.size()));
  for (Index i = 0; i < beta.size(); ++i) effects.push_back(response.sd * beta[i] + offset[i]);
  return effects;
}

Families plan(std::span<const Eigen::MatrixXd> fixed, std::span<const std::size_t> group_of, std::size_t places) {
  const std::size_t n = group_of.size();
  Families families;
  // Column i of each matrix is contiguous, so a(j, i) is read first.
  families.members = blocks::connected_components(n, [&](std::size_t i, std::size_t j) {
    const auto ii = static_cast<Index>(i), jj = static_cast<Index>(j);
    return std::ranges::any_of(fixed, [&](const Eigen::MatrixXd& a) { return a(jj, ii) != 0.0 || a(ii, jj) != 0.0; });
  });
  families.slot.resize(n);
  double family_work = 0.0;
  for (const blocks::Block& members : families.members) {
    std::vector<Index> at;
    for (const std::size_t i : members) at.push_back(static_cast<Index>(group_of[i]));
    std::ranges::sort(at);
    at.erase(std::unique(at.begin(), at.end()), at.end());
    for (const std::size_t i : members) {
      families.slot[i] = std::ranges::lower_bound(at, static_cast<Index>(group_of[i])) - at.begin();
    }
    // Its factor and inverse, F_f^-1 Z_f and the family's block of V^-1.
    const auto size = static_cast<double>(members.size());
    family_work += size * size * (size + 3.0 * static_cast<double>(at.size()));
    families.places.push_back(std::move(at));
  }
  // The dense route factors and inverts V: about n^3 flops, under a millisecond below
  // smallest_dense, where the place route's family-by-family overheads eat what it saves.
  const auto people = static_cast<double>(n), k = static_cast<double>(places);
  const double dense_work = people * people * people;
  families.through_places = dense_work >= smallest_dense && family_work + place_work * k * k * k < dense_work;
  return families;
}

namespace {

// Whether the smallest of the n pivots of V's factor, each against V's own diagonal entry, is far
// enough above rounding that V is no nearer singular than its pivots show. A pivot is V's Schur
// complement, no smaller than V's least eigenvalue; only below this is the eigenvalue looked at.
bool pivots_clear(const Eigen::MatrixXd& factor, const Eigen::VectorXd& diagonal) {
  const double clear = std::sqrt(std::numeric_limits<double>::epsilon());
  for (Index i = 0; i < factor.rows(); ++i)
    if (!(factor(i, i) * factor(i, i) > clear * diagonal[i])) return false;
  return true;
}

std::optional<WholeSampleLikelihood> on_either_route(const GroupedCovariance& covariance, const Design& design,
                                                     const Eigen::VectorXd& y, bool reml,
                                                     std::span<const Eigen::MatrixXd> derivatives,
                                                     bool with_gradient, Workspace& workspace) {
  if (covariance.families != nullptr && covariance.families->through_places) {
    if (const auto factor = PlaceFactor::make(covariance, workspace)) {
      return with_factor(*factor, covariance, design, y, reml, derivatives, with_gradient, workspace);
    }
  }
  assemble(covariance, workspace.covariance);
  const bool face = covariance.residual == 0.0;
  if (face) workspace.diagonal = workspace.covariance.diagonal();
  auto factor = dense::FactorView::make(workspace.covariance, dense::DenseFactor::Route::lapack);
  if (factor && (!face || pivots_clear(workspace.covariance, workspace.diagonal)))
    return with_factor(*factor, covariance, design, y, reml, derivatives, with_gradient, workspace);
  if (!face) return std::nullopt;
  // With no residual, V is judged by its eigenvalues, one within rounding of 0 counting as 0
  // whatever sign rounding gave it, so that no evaluation rests on a factor that rounding alone
  // made. Under REML, V singular only along the design's span is the restricted likelihood's
  // limit (the design's columns an orthogonal basis, for the null directions to be read off
  // them); under ML the likelihood has no value there.
  if (reml && design.basis != nullptr) {
    workspace.face.split.null = 0;  // what the split finds, if it can be made
    if (auto limit = on_null_face(covariance, design, y, derivatives, with_gradient, workspace)) return limit;
    if (!factor || workspace.face.split.null > 0) return std::nullopt;
  } else {
    if (!factor) return std::nullopt;
    assemble(covariance, workspace.covariance);
    if (eigen::singular_at_rounding(workspace.covariance)) return std::nullopt;
  }
  assemble(covariance, workspace.covariance);
  factor = dense::FactorView::make(workspace.covariance, dense::DenseFactor::Route::lapack);
  if (!factor) return std::nullopt;
  return with_factor(*factor, covariance, design, y, reml, derivatives, with_gradient, workspace);
}

}  // namespace

bool singular_without_residual(GroupedCovariance covariance, Workspace& workspace) {
  covariance.residual = 0.0;
  assemble(covariance, workspace.covariance);
  Eigen::VectorXd values = eigen::symmetric_eigen(workspace.covariance).values;
  eigen::zero_rounding(values);
  return values.size() > 0 && values.minCoeff() == 0.0;
}

std::optional<WholeSampleLikelihood> whole_sample_likelihood(
    const GroupedCovariance& covariance, const Design& design, const Eigen::VectorXd& y, bool reml,
    std::span<const Eigen::MatrixXd> derivatives, bool with_gradient, Workspace& workspace) {
  // A search polls here, at every evaluation: one dense evaluation can take seconds.
  if (interrupt::requested()) return std::nullopt;
  auto result = on_either_route(covariance, design, y, reml, derivatives, with_gradient, workspace);
  if (result && design.basis != nullptr) {
    result->beta = design.basis->coefficients(result->beta);
    result->beta_covariance = design.basis->covariance(result->beta_covariance);
  }
  return result;
}

}  // namespace kestrune::whole_sample
