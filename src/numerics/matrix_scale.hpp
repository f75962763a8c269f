// The scale a fixed covariance matrix enters a search on.
//
// V = sum c_l A_l is unchanged when A_l is multiplied by s and c_l divided by s, but a search
// over c_l is not: its starts, its lower-bound test and the size of d value / d c_l (itself of
// the size of A_l) all move with s. Searching over u_l = c_l * size(A_l) instead, with
// d value / d u_l = (d value / d c_l) / size(A_l), makes every matrix look the same to the
// search whatever its units, with no copy of the matrix.
#pragma once

#include <span>
#include <vector>

#include <Eigen/Core>

namespace kestrune::matrix_scale {

// The size of a matrix of n rows, from the sum of its diagonal's magnitudes and the sum of its
// squared entries: its mean |diagonal|, or its root mean square entry where that is larger (a
// difference of matrices whose diagonals cancel). For a positive semi-definite matrix that is
// its mean diagonal. Both follow the matrix's units exactly; 1 for a zero or non-finite size.
double size_of(double absolute_diagonal, double squared_entries, double n);

// size_of a dense matrix.
double matrix_scale(const Eigen::MatrixXd& a);

// The sizes of `fixed`, in order, followed by `others` sizes of 1 for terms already on the
// response's own scale (an identity residual, a correlation kernel).
std::vector<double> sizes(std::span<const Eigen::MatrixXd> fixed, std::size_t others);

// Coefficients from a point of the search: x_i / sizes[i] for the first sizes.size() entries,
// the rest (rates, correlations) as they are.
std::vector<double> coefficients(std::span<const double> x, std::span<const double> sizes);

// The point of the search of given coefficients: c_i * sizes[i], the rest as they are.
std::vector<double> search_point(std::span<const double> c, std::span<const double> sizes);

// The gradient over the search from the one over the coefficients, in place: g_i / sizes[i].
void to_search(std::vector<double>& gradient, std::span<const double> sizes);

}  // namespace kestrune::matrix_scale
