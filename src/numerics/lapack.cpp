#include "numerics/lapack.hpp"

#include <mutex>

#include "numerics/threads.hpp"

namespace kestrune::lapack {

void configure_threads() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (const auto count = threads::requested()) openblas_set_num_threads(*count);
  });
}

}  // namespace kestrune::lapack
