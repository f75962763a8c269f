// How many threads a piece of work runs on.
//
// OpenBLAS's pool speeds up a dense call of order in the thousands and slows down a smaller
// one: its threads hand the work off and wait in sched_yield, and on a loaded machine each
// hand-off waits for a time slice. Every dense LAPACK call therefore sets the count for its own
// size first, one thread below its kind's crossover and the pool from it, so that results in
// the single-thread range are the same on every machine. RAYON_NUM_THREADS sizes the pool of
// OpenBLAS and of the parallel loops alike.
#pragma once

#include <Eigen/Core>
#include <optional>

namespace kestrune::threads {

// RAYON_NUM_THREADS when it holds a positive decimal integer (an optional '+', nothing
// else), read once per process; otherwise nothing.
std::optional<int> requested();

// The threads of a parallel loop: requested(), otherwise the processors this process may
// run on.
int pool();

// The dense calls whose thread count follows their size.
enum class Kind {
  factor,   // dpotrf
  solve,    // dpotrs
  inverse,  // dpotri
  eigen,    // dsyevd
};

// The order from which OpenBLAS's pool serves a call of `kind`; below it, one thread.
Eigen::Index crossover(Kind kind);

// OpenBLAS's threads for a call of `kind` on matrices of order `order` (for a solve, the
// smaller of the order and the number of right-hand sides, since its threads split the
// right-hand sides): one below the crossover; from it, requested(), otherwise OpenBLAS's own
// default (OPENBLAS_NUM_THREADS, else every processor).
int blas_threads(Kind kind, Eigen::Index order);

// Sets OpenBLAS to blas_threads(kind, order) before such a call, calling into OpenBLAS only
// when the count differs; while a OneBlasThread lives it leaves the count at one. The count
// is process-wide: calls come from one thread at a time (the interpreter's lock), or from the
// workers of a parallel loop, which hold it at one.
void prepare(Kind kind, Eigen::Index order);

// Holds OpenBLAS to one thread from construction to destruction, for the workers of a
// parallel loop that each make their own calls; the outermost holder restores the count it
// found. Made and destroyed on the calling thread.
class OneBlasThread {
 public:
  OneBlasThread();
  ~OneBlasThread();
  OneBlasThread(const OneBlasThread&) = delete;
  OneBlasThread& operator=(const OneBlasThread&) = delete;

 private:
  int restore_ = 0;  // the count to restore, for the outermost holder; zero otherwise
};

}  // namespace kestrune::threads
