#include "backend/native/trace.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <charconv>
#include <cmath>
#include <system_error>

#include "backend/native/cauchy.hpp"
#include "backend/native/kernels.hpp"
#include "backend/native/subspace.hpp"

namespace compat_lbfgsb::backend::native {
namespace {

// Digits and decimal exponent of a finite nonzero |v| in scientific form:
// value = d0.d1d2... x 10^exponent. With precision < 0 the digits are the
// shortest that read back as v; otherwise exactly precision + 1 digits,
// correctly rounded.
struct Decimal {
  char digits[32];
  std::size_t count = 0;
  int exponent = 0;
};

Decimal decompose(double magnitude, int precision) {
  char buffer[64];
  const auto result = precision < 0
      ? std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific)
      : std::to_chars(buffer, buffer + sizeof buffer, magnitude, std::chars_format::scientific,
                      precision);
  Decimal d;
  const char* p = buffer;
  for (; p != result.ptr && *p != 'e'; ++p) {
    if (*p != '.') d.digits[d.count++] = *p;
  }
  // p is at 'e'; the exponent text has an explicit sign.
  std::from_chars(p + (*(p + 1) == '+' ? 2 : 1), result.ptr, d.exponent);
  return d;
}

// Decimal exponents and counts: to_chars writes no "+" and no padding.
template <class Integer>
void append_decimal(std::string& out, Integer value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

void append_integer(std::string& out, int value) { append_decimal(out, value); }
void append_unsigned(std::string& out, std::size_t value) { append_decimal(out, value); }

// NaN, the infinities and the sign; true when v was fully written.
bool append_special(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return true;
  }
  if (std::signbit(v)) out += '-';
  if (std::isinf(v)) {
    out += "inf";
    return true;
  }
  return false;
}

}  // namespace

void append_exponent(std::string& out, double v, int digits) {
  if (append_special(out, v)) return;
  const double magnitude = std::fabs(v);
  if (magnitude == 0.0) {
    out += "0.";
    out.append(static_cast<std::size_t>(digits), '0');
    out += "e0";
    return;
  }
  const Decimal d = decompose(magnitude, digits);
  out += d.digits[0];
  out += '.';
  out.append(d.digits + 1, d.count - 1);
  out += 'e';
  append_integer(out, d.exponent);
}

void append_shortest(std::string& out, double v) {
  if (append_special(out, v)) return;
  const double magnitude = std::fabs(v);
  if (magnitude == 0.0) {
    out += "0.0";
    return;
  }
  const Decimal d = decompose(magnitude, -1);
  if (magnitude >= 1e-4 && magnitude < 1e16) {
    if (d.exponent >= 0) {
      const std::size_t whole = static_cast<std::size_t>(d.exponent) + 1;
      if (d.count <= whole) {
        out.append(d.digits, d.count);
        out.append(whole - d.count, '0');
        out += ".0";
      } else {
        out.append(d.digits, whole);
        out += '.';
        out.append(d.digits + whole, d.count - whole);
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-d.exponent - 1), '0');
      out.append(d.digits, d.count);
    }
    return;
  }
  out += d.digits[0];
  if (d.count > 1) {
    out += '.';
    out.append(d.digits + 1, d.count - 1);
  }
  out += 'e';
  append_integer(out, d.exponent);
}

void append_vector(std::string& out, std::span<const double> v) {
  out += '[';
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i > 0) out += ", ";
    append_shortest(out, v[i]);
  }
  out += ']';
}

void write_trace(std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(2, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // closed or failing: the run goes on without its trace
    text.remove_prefix(static_cast<std::size_t>(written));
  }
}

void maybe_trace(std::size_t iteration, const AcceptedStep& step, const RunControls& controls,
                 double f, double rel_red, double pg_inf) {
  if (controls.trace == 0 || controls.report == 0 || iteration % controls.report != 0) return;
  std::string line;
  line.reserve(256);
  line += "iter=";
  append_unsigned(line, iteration);
  line += " f=";
  append_exponent(line, f, 6);
  line += " rel_red=";
  append_exponent(line, rel_red, 3);
  line += " ||proj_grad||_inf=";
  append_exponent(line, pg_inf, 3);
  line += " line_search=";
  append_unsigned(line, step.line_search);
  line += " alpha=";
  append_exponent(line, step.alpha, 6);
  line += " max_alpha=";
  append_exponent(line, step.max_alpha, 6);
  line += " step_norm=";
  append_exponent(line, step.step_norm, 6);
  line += " wolfe_curv=";
  line += step.wolfe_curv ? "true" : "false";
  line += " curvature_ratio=";
  append_exponent(line, step.curvature_ratio, 3);
  line += '\n';
  if (controls.trace >= 2) {
    line += "x=";
    append_vector(line, step.x);
    line += "\ngradient=";
    append_vector(line, step.gradient);
    line += '\n';
  }
  write_trace(line);
}

namespace {

// Largest |p_i - x_i| over the common length, NaN differences ignored.
double step_inf(std::span<const double> p, std::span<const double> x) {
  double largest = 0.0;
  const std::size_t n = std::min(p.size(), x.size());
  for (std::size_t i = 0; i < n; ++i) largest = std::fmax(largest, std::fabs(p[i] - x[i]));
  return largest;
}

}  // namespace

void maybe_trace_cauchy_point(std::span<const double> x, std::span<const double> g,
                              std::span<const double> lower, std::span<const double> upper,
                              std::span<const Correction> history, const RunControls& controls) {
  if (controls.trace < 2) return;
  const CauchyPoint cauchy =
      generalized_cauchy_point_limited_memory_with_activity(x, g, lower, upper, history);
  const std::optional<SubspaceStep> step =
      subspace_minimizer_limited_memory_with_activity(x, g, lower, upper, history, cauchy.point);

  std::string line;
  line.reserve(128);
  line += "gcp_active=";
  append_unsigned(line, cauchy.active);
  line += " gcp_step_inf=";
  append_exponent(line, step_inf(cauchy.point, x), 3);
  line += " subspace_free=";
  append_unsigned(line, step ? step->free : 0);
  line += " subspace_step_inf=";
  append_exponent(line, step ? step_inf(step->point, x) : std::nan(""), 3);
  line += " subspace_clipped=";
  line += step && step->clipped ? "true" : "false";
  line += '\n';
  write_trace(line);
}

}  // namespace compat_lbfgsb::backend::native
