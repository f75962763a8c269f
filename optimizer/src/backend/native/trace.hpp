// The engine's diagnostic trace on standard error, and the number forms it prints.
//
// Nothing here changes a run: the trace evaluates nothing, counts nothing and
// writes only when the `trace` control is positive. Numbers are formatted by
// the functions below, never through iostreams, so no locale can alter them.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "compat_lbfgsb/backend.hpp"
#include "backend/native/history.hpp"
#include "backend/native/line_search.hpp"

namespace compat_lbfgsb::backend::native {

// Appends v in exponent form with `digits` digits after the point: "1.250000e1",
// "-0.000e0", "2.500e-4"; "NaN", "inf", "-inf" for the non-finite values.
void append_exponent(std::string& out, double v, int digits);

// Appends v in its shortest round-trip form: positional with at least one
// fractional digit for zero and 1e-4 <= |v| < 1e16 ("1.0", "0.0001", "-0.0"),
// otherwise exponent notation without a forced point ("1e-5", "2.5e20").
void append_shortest(std::string& out, double v);

// Appends "[a, b, ...]" with each entry as append_shortest writes it.
void append_vector(std::string& out, std::span<const double> v);

// Writes one finished line to file descriptor 2; a failed write is dropped.
void write_trace(std::string_view text);

// The iteration line (and at trace >= 2 the point and gradient lines), written
// when trace > 0, report > 0 and `iteration` is a multiple of report.
void maybe_trace(std::size_t iteration, const AcceptedStep& step, const RunControls& controls,
                 double f, double rel_red, double pg_inf);

// At trace >= 2, the line describing the limited-memory Cauchy point and
// subspace step at x; a no-op below that level.
void maybe_trace_cauchy_point(std::span<const double> x, std::span<const double> g,
                              std::span<const double> lower, std::span<const double> upper,
                              std::span<const Correction> history, const RunControls& controls);

}  // namespace compat_lbfgsb::backend::native
