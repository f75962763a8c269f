// The minimum of a function of one variable inside a bracket, by golden sections.
#pragma once

namespace kestrune::golden_section {

constexpr double ratio = 0.6180339887498948;

struct Bracket {
  double lower;
  double upper;
  double middle() const { return (lower + upper) * 0.5; }
};

// Narrows [a, b] until it is at most `width` wide, keeping the lower of its two inner points
// (the left one on a tie): for a function with one minimum in [a, b], the bracket keeps it.
template <class F>
Bracket minimise(F&& f, double a, double b, double width) {
  double w = b - a;
  double c = b - ratio * w;
  double d = a + ratio * w;
  double fc = f(c);
  double fd = f(d);
  while (w > width) {
    if (fc < fd) {
      b = d;
      d = c;
      fd = fc;
      w = b - a;
      c = b - ratio * w;
      fc = f(c);
    } else {
      a = c;
      c = d;
      fc = fd;
      w = b - a;
      d = a + ratio * w;
      fd = f(d);
    }
  }
  return {a, b};
}

}  // namespace kestrune::golden_section
