#include "bivariate/model.hpp"

#include "bivariate/likelihood.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <numeric>
#include <utility>
#include <vector>

#include "numerics/blocks.hpp"
#include "numerics/centring.hpp"
#include "numerics/design_basis.hpp"
#include "numerics/eigen.hpp"
#include "numerics/moments.hpp"
#include "numerics/rank.hpp"

namespace kestrune::bivariate {
namespace {

// A family's eigenvalue below this is not rounding: the relationship is not a covariance.
constexpr double psd_tolerance = -1e-9;
// An eigenvalue at or below this share of the largest makes the identifiability Gram matrix
// singular.
constexpr double rank_tolerance = 1e-12;

// A trait's sample variance from its deviations about its mean; 0 for fewer than two values
// or values constant up to rounding.
double sample_variance(const Eigen::Ref<const Eigen::VectorXd>& values) {
  const auto count = static_cast<double>(values.size());
  if (count < 2.0 || rank::constant_at_rounding(values)) return 0.0;
  return moments::population_moments(values).variance * count / (count - 1.0);
}

// The variance a trait is standardised by: the sample variance (divisor count - 1) of its
// values' residual on the design, which y -> y + Xb leaves alone, so a site effect the design
// absorbs moves no variance away from the starts. Where the design reproduces the trait (a
// residual within rounding of its values) its own spread is taken, and 0 for fewer than two
// values or values constant up to rounding.
double trait_variance(const Eigen::Ref<const Eigen::VectorXd>& values, const Eigen::Ref<const Eigen::VectorXd>& residual,
                      std::size_t columns) {
  const auto count = static_cast<double>(values.size());
  if (count < 2.0 || rank::constant_at_rounding(values)) return 0.0;
  if (rank::residual_at_rounding(residual, values, columns)) return sample_variance(values);
  return moments::standardising_variance(values, residual) * count / (count - 1.0);
}

// The eigenbasis of a relationship projected onto the PSD cone: what rounding leaves below 0,
// or within rounding of it, is 0.
eigen::SymmetricEigen basis(const Eigen::MatrixXd& k) {
  eigen::SymmetricEigen decomposition = eigen::symmetric_eigen(k);
  decomposition.values = decomposition.values.cwiseMax(0.0);
  eigen::zero_rounding(decomposition.values);
  return decomposition;
}

// As `basis`, and k becomes that projection: k less the terms of its eigenvalues below 0
// (mostly what rounding left there) and of those within rounding of 0, which costs their count
// rather than a product of the family's order cubed. A relationship singular along a direction
// (a genomic matrix centred on the people analysed) then reads as singular whatever sign
// rounding gave its zero eigenvalue.
std::optional<eigen::SymmetricEigen> project(Eigen::MatrixXd& k) {
  eigen::SymmetricEigen decomposition = eigen::symmetric_eigen(k);
  Eigen::VectorXd& values = decomposition.values;  // ascending
  for (const double value : values)
    if (value < psd_tolerance) return std::nullopt;
  Eigen::VectorXd zeroed = values.cwiseMax(0.0);
  eigen::zero_rounding(zeroed);
  Eigen::Index dropped = 0;  // ascending, so the values set to 0 lead
  while (dropped < values.size() && zeroed[dropped] == 0.0) ++dropped;
  if (dropped > 0) {
    const auto q = decomposition.vectors.leftCols(dropped);
    k.noalias() -= q * values.head(dropped).asDiagonal() * q.transpose();
    values.head(dropped).setZero();
  }
  return decomposition;
}

// The limits of E the faces take it to: the heritability of trait 0 or 1 at 1 (E loses that
// trait), and two residual correlations of +-1 between them (E loses a mix of both traits; any
// mix with both weights nonzero is cut by the same values not measured, and two of them find
// the largest rank the design reaches along the mixes).
constexpr std::array<std::array<double, 2>, 4> face_mixes = {{{1.0, 0.0}, {0.0, 1.0}, {0.6, 0.8}, {0.8, -0.6}}};
// A direction of S whose cosine with the design's span is at most this is not spanned by it.
constexpr double spanned_cosine = 1e-6;

// For each mix c: the count of directions of S (the combinations sum_d a_d (q_d (x) c) over a
// family's zero eigenvectors q_d with no weight on a value not measured, so that they are null
// directions of the measured values' covariance on the face) and (S'B)'(S'B), B the design's
// span with unit columns, whose eigenvalues are the squared cosines between S and that span.
struct FaceDirections {
  explicit FaceDirections(Eigen::Index columns) {
    for (Eigen::MatrixXd& c : cross) c = Eigen::MatrixXd::Zero(columns, columns);
  }

  std::array<Eigen::Index, 4> count{};
  std::array<Eigen::MatrixXd, 4> cross;

  void add_family(const blocks::Block& members, const eigen::SymmetricEigen& family,
                  const std::vector<std::array<bool, 2>>& observed,
                  const std::vector<std::array<std::optional<std::size_t>, 2>>& rows,
                  const Eigen::MatrixXd& unit_design) {
    Eigen::Index zeros = 0;
    while (zeros < family.values.size() && family.values[zeros] == 0.0) ++zeros;
    if (zeros == 0) return;
    const auto null = family.vectors.leftCols(zeros);
    const auto m = static_cast<Eigen::Index>(members.size());
    for (std::size_t mix = 0; mix < face_mixes.size(); ++mix) {
      const auto& c = face_mixes[mix];
      std::vector<Eigen::Index> cut;  // the members whose zero-eigenvector entries must vanish
      for (Eigen::Index i = 0; i < m; ++i) {
        const auto& seen = observed[members[static_cast<std::size_t>(i)]];
        if ((c[0] != 0.0 && !seen[0]) || (c[1] != 0.0 && !seen[1])) cut.push_back(i);
      }
      Eigen::MatrixXd kept = Eigen::MatrixXd::Identity(zeros, zeros);
      if (!cut.empty()) {
        Eigen::MatrixXd constraint(static_cast<Eigen::Index>(cut.size()), zeros);
        for (std::size_t r = 0; r < cut.size(); ++r) constraint.row(static_cast<Eigen::Index>(r)) = null.row(cut[r]);
        eigen::SymmetricEigen gram = eigen::symmetric_eigen(constraint.transpose() * constraint);
        eigen::zero_rounding(gram.values);
        Eigen::Index free = 0;
        while (free < zeros && gram.values[free] == 0.0) ++free;
        kept = gram.vectors.leftCols(free);
      }
      if (kept.cols() == 0) continue;
      Eigen::MatrixXd s_b = Eigen::MatrixXd::Zero(kept.cols(), unit_design.cols());
      for (Eigen::Index i = 0; i < m; ++i)
        for (std::size_t t = 0; t < 2; ++t)
          if (c[t] != 0.0)
            if (const auto& row = rows[members[static_cast<std::size_t>(i)]][t])
              s_b.noalias() += (c[t] * kept.transpose() * null.row(i).transpose()) *
                               unit_design.row(static_cast<Eigen::Index>(*row));
      count[mix] += kept.cols();
      cross[mix].noalias() += s_b.transpose() * s_b;
    }
  }

  // The rank of S'B for one mix: its singular values (cosines) above spanned_cosine.
  Eigen::Index spanned(std::size_t mix) const {
    const Eigen::VectorXd values = eigen::symmetric_eigen(cross[mix]).values;
    return (values.array() > spanned_cosine * spanned_cosine).count();
  }

  // A face is unbounded when the fixed effects, with the mix's one degree of freedom where the
  // mix is free, can meet every direction of S.
  Face face(std::initializer_list<std::size_t> mixes, Eigen::Index freedom) const {
    const Eigen::Index directions = count[*mixes.begin()];
    if (directions == 0) return Face::regular;
    Eigen::Index reach = 0;
    for (const std::size_t mix : mixes) reach = std::max(reach, spanned(mix));
    return directions <= reach + freedom ? Face::unbounded : Face::singular;
  }
};

// Rough multiply-add counts that choose a family's route. An evaluation costs next to nothing
// rotated, about 2 u^2 n + u^3 gapped and 4/3 N^3 dense (the factor and the inverse the
// gradient needs); a second eigendecomposition, about 3 n^3, is paid once. Below
// `smallest_gapped` persons the loops' overheads outweigh the counts, and the family stays
// where it was.
constexpr double evaluations_per_call = 2000.0;
constexpr Eigen::Index smallest_gapped = 48;

FamilyRoute route_of(const Block& block, Eigen::Index members) {
  const Eigen::Index persons = block.relationship.rows();
  const auto values = static_cast<double>(block.pairs.size());
  const bool complete = static_cast<Eigen::Index>(block.pairs.size()) == 2 * persons;
  if (complete && persons == members) return FamilyRoute::rotated;
  const auto n = static_cast<double>(members), p = static_cast<double>(persons);
  const double u = 2.0 * n - values;
  const double gapped = evaluations_per_call * (2.0 * u * u * n + u * u * u);
  const double other = complete ? 3.0 * p * p * p : evaluations_per_call * (4.0 / 3.0) * values * values * values;
  if (members >= smallest_gapped && gapped < other) return FamilyRoute::gapped;
  return complete ? FamilyRoute::rotated : FamilyRoute::dense;
}

// The measured pairs of one family and the projected relationship among their persons.
Block family_block(const blocks::Block& members, const Eigen::MatrixXd& projected_k,
                   const std::vector<std::array<bool, 2>>& observed) {
  Block block;
  std::vector<Eigen::Index> kept;  // positions within the family of the measured persons
  for (std::size_t i = 0; i < members.size(); ++i) {
    const std::size_t person = members[i];
    bool any = false;
    for (std::size_t trait = 0; trait < 2; ++trait) {
      if (!observed[person][trait]) continue;
      block.pairs.push_back({person, trait});
      block.local.push_back(static_cast<Eigen::Index>(kept.size()));
      any = true;
    }
    if (any) kept.push_back(static_cast<Eigen::Index>(i));
  }
  const auto m = static_cast<Eigen::Index>(kept.size());
  block.relationship.resize(m, m);
  for (Eigen::Index c = 0; c < m; ++c)
    for (Eigen::Index r = 0; r < m; ++r) block.relationship(r, c) = projected_k(kept[r], kept[c]);
  return block;
}

}  // namespace

Covariances covariances(const Theta& theta) {
  const auto [v1, v2, h1, h2, rho_g, rho_e] = theta;
  const double g1 = v1 * h1, g2 = v2 * h2;
  const double e1 = v1 * (1.0 - h1), e2 = v2 * (1.0 - h2);
  const double s_g = std::sqrt(std::fmax(g1 * g2, 0.0));
  const double s_e = std::sqrt(std::fmax(e1 * e2, 0.0));
  Covariances c;
  c.genetic << g1, rho_g * s_g, rho_g * s_g, g2;
  c.residual << e1, rho_e * s_e, rho_e * s_e, e2;
  return c;
}

Covariances derivative(const Theta& theta, std::size_t k) {
  const auto [v1, v2, h1, h2, rho_g, rho_e] = theta;
  const double g1 = v1 * h1, g2 = v2 * h2;
  const double e1 = v1 * (1.0 - h1), e2 = v2 * (1.0 - h2);
  const double s_g = std::sqrt(std::fmax(g1 * g2, 0.0));
  const double s_e = std::sqrt(std::fmax(e1 * e2, 0.0));
  // d(rho sqrt(product)) = rho d(product) / (2 sqrt(product)), 0 where the root is 0.
  const auto cross_g = [&](double d_product) { return s_g == 0.0 ? 0.0 : rho_g * d_product / (2.0 * s_g); };
  const auto cross_e = [&](double d_product) { return s_e == 0.0 ? 0.0 : rho_e * d_product / (2.0 * s_e); };
  double g00 = 0.0, g11 = 0.0, g01 = 0.0, e00 = 0.0, e11 = 0.0, e01 = 0.0;
  switch (k) {
    case 0: g00 = h1; g01 = cross_g(h1 * g2); e00 = 1.0 - h1; e01 = cross_e((1.0 - h1) * e2); break;
    case 1: g11 = h2; g01 = cross_g(h2 * g1); e11 = 1.0 - h2; e01 = cross_e((1.0 - h2) * e1); break;
    case 2: g00 = v1; g01 = cross_g(v1 * g2); e00 = -v1; e01 = -cross_e(v1 * e2); break;
    case 3: g11 = v2; g01 = cross_g(v2 * g1); e11 = -v2; e01 = -cross_e(v2 * e1); break;
    case 4: g01 = s_g; break;
    case 5: e01 = s_e; break;
    default: break;
  }
  Covariances d;
  d.genetic << g00, g01, g01, g11;
  d.residual << e00, e01, e01, e11;
  return d;
}

bool covariance_basis_is_full_rank(const std::vector<Block>& blocks) {
  Eigen::Matrix<double, 6, 6> gram = Eigen::Matrix<double, 6, 6>::Zero();
  for (const Block& block : blocks) {
    const std::size_t m = block.pairs.size();
    for (std::size_t a = 0; a < m; ++a) {
      for (std::size_t b = 0; b < m; ++b) {
        const std::size_t ta = block.pairs[a].trait, tb = block.pairs[b].trait;
        const Eigen::Index u = ta == tb ? static_cast<Eigen::Index>(ta) : 2;
        const double k = block.relationship(block.local[a], block.local[b]);
        const double d = block.pairs[a].person == block.pairs[b].person ? 1.0 : 0.0;
        gram(u, u) += k * k;
        gram(u, u + 3) += k * d;
        gram(u + 3, u) += k * d;
        gram(u + 3, u + 3) += d;
      }
    }
  }
  // A zero matrix has no eigenvalue above 1e-12 times its largest, 0.
  return eigen::log_det_above(gram, rank_tolerance).has_value();
}

Result<BivariateModel> BivariateModel::build(const matrix_scan::Strided& relationship,
                                             const std::vector<std::array<bool, 2>>& observed,
                                             const matrix_scan::Strided& design_view) {
  const Eigen::Index n = relationship.rows;
  if (relationship.cols != n) return fail("BIVARIATE_RELATIONSHIP_NOT_SQUARE");
  if (observed.size() != static_cast<std::size_t>(n)) return fail("BIVARIATE_OBSERVED_LENGTH_MISMATCH");
  if (n == 0) return fail("BIVARIATE_NOTHING_MEASURED");
  blocks::Links links(static_cast<std::size_t>(n));
  const matrix_scan::Findings found = matrix_scan::scan(relationship, {}, &links);
  if (!found.finite) return fail("BIVARIATE_RELATIONSHIP_NOT_FINITE");
  if (!found.symmetric) return fail("BIVARIATE_RELATIONSHIP_ASYMMETRIC");
  std::size_t count = 0;
  for (const auto& flags : observed) count += (flags[0] ? 1 : 0) + (flags[1] ? 1 : 0);
  if (count == 0) return fail("BIVARIATE_NOTHING_MEASURED");
  const auto big_n = static_cast<Eigen::Index>(count);
  if (design_view.rows != big_n) return fail("BIVARIATE_DESIGN_ROWS_MISMATCH");
  if (design_view.cols == 0 || big_n <= design_view.cols) return fail("BIVARIATE_NO_RESIDUAL_DEGREES_OF_FREEDOM");
  const Eigen::MatrixXd design = design_view.copy();  // once its shape is known to fit
  if (!design.allFinite()) return fail("BIVARIATE_DESIGN_NOT_FINITE");
  // Rank is judged on the columns at their rounding level, so neither an offset column nor two
  // equal columns are misjudged; ln det X'X is then read off an orthogonal basis of the span,
  // since X'X itself loses to an offset the digits its smallest eigenvalue needs.
  if (!rank::full_column_rank(design)) return fail("BIVARIATE_DESIGN_RANK_DEFICIENT");
  const auto span = design_basis::Basis::orthogonal(design);
  if (!std::isfinite(span.log_det_gram())) return fail("BIVARIATE_DESIGN_RANK_DEFICIENT");

  BivariateModel model;
  model.rows_.assign(observed.size(), {});
  std::size_t next = 0;
  for (std::size_t person = 0; person < observed.size(); ++person) {
    for (std::size_t trait = 0; trait < 2; ++trait) {
      if (!observed[person][trait]) continue;
      model.rows_[person][trait] = next++;
      model.trait_of_row_.push_back(trait);
    }
  }
  const auto number = [&](std::size_t person, std::size_t trait) -> Eigen::Index {
    const std::optional<std::size_t>& row = model.rows_[person][trait];
    return row ? static_cast<Eigen::Index>(*row) : -1;
  };

  Eigen::MatrixXd unit_design = span.columns();
  for (Eigen::Index j = 0; j < unit_design.cols(); ++j) unit_design.col(j).normalize();
  FaceDirections face_directions(unit_design.cols());

  // Families are projected in order, each as soon as it is cut, so the first that fails ends it.
  Directions& directions = model.directions_;
  std::vector<double> eigenvalues;  // the directions, family after family
  // The relationship is exactly symmetric here, so its families are the groups its links join.
  for (const blocks::Block& members : links.groups()) {
    const auto m = static_cast<Eigen::Index>(members.size());
    Eigen::MatrixXd k = relationship.cut(members);
    std::optional<eigen::SymmetricEigen> k_plus = project(k);
    if (!k_plus) return fail("BIVARIATE_RELATIONSHIP_NOT_PSD");
    face_directions.add_family(members, *k_plus, observed, model.rows_, unit_design);
    Block block = family_block(members, k, observed);
    if (block.pairs.empty()) continue;
    block.route = route_of(block, m);
    if (block.route == FamilyRoute::dense) {
      model.blocks_.push_back(std::move(block));
      continue;
    }
    std::vector<std::size_t> persons;  // the family's slots, as persons
    eigen::SymmetricEigen family;
    if (block.route == FamilyRoute::gapped) {
      persons.assign(members.begin(), members.end());
      Gap gap{static_cast<Eigen::Index>(eigenvalues.size()), m, model.blocks_.size(), {}};
      for (std::size_t t = 0; t < 2; ++t) {
        std::vector<Eigen::Index> lacking;
        for (Eigen::Index i = 0; i < m; ++i)
          if (!observed[members[static_cast<std::size_t>(i)]][t]) lacking.push_back(i);
        gap.missing[t].resize(static_cast<Eigen::Index>(lacking.size()), m);
        for (std::size_t r = 0; r < lacking.size(); ++r)
          gap.missing[t].row(static_cast<Eigen::Index>(r)) = k_plus->vectors.row(lacking[r]);
      }
      directions.gaps.push_back(std::move(gap));
      family = std::move(*k_plus);
    } else {
      for (std::size_t a = 0; a < block.pairs.size(); a += 2) persons.push_back(block.pairs[a].person);
      // Where someone measured on nothing was left out, the family's basis is not that of
      // its measured persons.
      family = static_cast<Eigen::Index>(persons.size()) == m ? std::move(*k_plus) : basis(block.relationship);
    }
    std::vector<std::size_t> slots(persons.size());
    std::iota(slots.begin(), slots.end(), directions.rows.size());
    for (const std::size_t person : persons) directions.rows.push_back({number(person, 0), number(person, 1)});
    eigenvalues.insert(eigenvalues.end(), family.values.begin(), family.values.end());
    directions.families.push_back({std::move(slots), std::move(family.vectors)});
    model.blocks_.push_back(std::move(block));
  }
  directions.eigenvalues =
      Eigen::Map<const Eigen::VectorXd>(eigenvalues.data(), static_cast<Eigen::Index>(eigenvalues.size()));
  if (!covariance_basis_is_full_rank(model.blocks_)) return fail("BIVARIATE_COVARIANCE_NOT_IDENTIFIABLE");
  model.faces_.heritability_one = {face_directions.face({0}, 0), face_directions.face({1}, 0)};
  model.faces_.residual_correlation = face_directions.face({2, 3}, 1);

  for (Block& block : model.blocks_)
    for (const Pair& pair : block.pairs) block.rows.push_back(number(pair.person, pair.trait));
  // The model is evaluated on an orthogonal basis B of the stacked design's span (X = B U, det
  // U = 1): the same likelihood, without the digits a covariate's offset costs X'V^-1X.
  model.design_ = span.columns();
  model.design_log_det_ = span.log_det_gram();
  model.observed_count_ = count;
  model.cut_design();
  return model;
}

void BivariateModel::cut_design() {
  const Eigen::Index p = design_.cols();
  for (Block& block : blocks_) {
    const auto m = static_cast<Eigen::Index>(block.rows.size());
    block.design.resize(m, p);
    for (Eigen::Index a = 0; a < m; ++a) block.design.row(a) = design_.row(block.rows[a]);
  }
  directions_.design = directions_.rotate(design_);
}

Eigen::MatrixXd Directions::rotate(const Eigen::Ref<const Eigen::MatrixXd>& x) const {
  const Eigen::Index columns = x.cols();
  Eigen::MatrixXd paired(static_cast<Eigen::Index>(rows.size()), 2 * columns);
  for (Eigen::Index s = 0; s < paired.rows(); ++s) {
    const auto& [first, second] = rows[static_cast<std::size_t>(s)];
    if (first < 0) paired.row(s).head(columns).setZero(); else paired.row(s).head(columns) = x.row(first);
    if (second < 0) paired.row(s).tail(columns).setZero(); else paired.row(s).tail(columns) = x.row(second);
  }
  return rotation::rotate_columns(families, paired);
}

void BivariateModel::assemble(const Block& block, const Eigen::Matrix2d& genetic,
                              const Eigen::Matrix2d& residual, Eigen::MatrixXd& out) {
  for_each_pair(block, [&](Eigen::Index a, Eigen::Index b, Eigen::Index ta, Eigen::Index tb, double k, bool same) {
    double v = genetic(ta, tb) * k;
    if (same) v += residual(ta, tb);
    out(a, b) = v;
  });
}

std::optional<BivariateEvaluation> BivariateModel::evaluate_for_state(
    const Theta& theta, const Eigen::Ref<const Eigen::VectorXd>& y, bool reml, bool with_gradient,
    std::optional<HeritabilityState> state) const {
  return Evaluator(*this, y)(theta, reml, with_gradient, state);
}

Eigen::VectorXd BivariateModel::centred(const Eigen::Ref<const Eigen::VectorXd>& y) const {
  return centring::centre(design_, y).residual;
}

Result<StandardisedProblem> BivariateModel::standardised_problem(
    const Eigen::Ref<const Eigen::VectorXd>& y) const {
  const Eigen::VectorXd residual = centred(y);
  std::array<std::vector<double>, 2> values, residuals;
  for (std::size_t row = 0; row < observed_count_; ++row) {
    values[trait_of_row_[row]].push_back(y[static_cast<Eigen::Index>(row)]);
    residuals[trait_of_row_[row]].push_back(residual[static_cast<Eigen::Index>(row)]);
  }
  const auto view = [](const std::vector<double>& v) {
    return Eigen::Map<const Eigen::VectorXd>(v.data(), static_cast<Eigen::Index>(v.size()));
  };
  const auto positive_or_one = [](double variance) { return variance > 0.0 ? variance : 1.0; };
  std::array<double, 2> variances{}, sd{}, own_sd{};
  for (std::size_t t = 0; t < 2; ++t) {
    variances[t] = positive_or_one(
        trait_variance(view(values[t]), view(residuals[t]), static_cast<std::size_t>(design_.cols())));
    sd[t] = std::sqrt(variances[t]);
    own_sd[t] = std::sqrt(positive_or_one(sample_variance(view(values[t]))));
  }
  BivariateModel model = *this;
  Eigen::VectorXd response(static_cast<Eigen::Index>(observed_count_));
  for (std::size_t row = 0; row < observed_count_; ++row) {
    const auto r = static_cast<Eigen::Index>(row);
    response[r] = residual[r] / sd[trait_of_row_[row]];
  }
  const std::optional<Rescaled> searched = rescaled(sd, &model.design_);
  if (!searched) return fail("BIVARIATE_STANDARDISED_DESIGN_RANK_DEFICIENT");
  Eigen::MatrixXd own_design = design_;
  const std::optional<Rescaled> published = rescaled(own_sd, &own_design);
  if (!published) return fail("BIVARIATE_STANDARDISED_DESIGN_RANK_DEFICIENT");
  model.design_log_det_ = searched->log_det;
  model.cut_design();
  return StandardisedProblem{std::move(model), std::move(response), variances, searched->constants,
                             published->constants};
}

std::optional<BivariateModel::Rescaled> BivariateModel::rescaled(const std::array<double, 2>& sd,
                                                               Eigen::MatrixXd* design) const {
  const std::array<double, 2> scale = {1.0 / sd[0], 1.0 / sd[1]};
  double ml = 0.0;
  for (std::size_t row = 0; row < observed_count_; ++row) {
    const std::size_t t = trait_of_row_[row];
    design->row(static_cast<Eigen::Index>(row)) *= scale[t];
    ml += std::log(sd[t]);
  }
  // Read off an orthogonal basis, as for the design itself: X'X would lose to a nearly parallel
  // pair of columns the digits its smallest eigenvalue needs, and refuse what the rank rule took.
  const double log_det = design_basis::Basis::orthogonal(*design).log_det_gram();
  if (!std::isfinite(log_det)) return std::nullopt;
  return Rescaled{{ml, ml + 0.5 * (log_det - design_log_det_)}, log_det};
}

}  // namespace kestrune::bivariate
