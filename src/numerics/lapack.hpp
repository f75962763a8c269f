// The Fortran LAPACK routines the module calls, and the sizing of OpenBLAS's thread pool.
//
// Prototypes follow the gfortran calling convention: every argument by pointer, and one
// hidden trailing length per character argument. They match the reference lapack.h with
// a 32-bit lapack_int, so including both in one translation unit is harmless.
#pragma once

#include <cstddef>

extern "C" {

// Cholesky factor A = L L^T (uplo "L") or U^T U (uplo "U"), in place; info > 0 names the
// first pivot that is not positive (or is NaN).
void dpotrf_(char const* uplo, int const* n, double* a, int const* lda, int* info,
             std::size_t uplo_len);

// Solves A X = B with the factor from dpotrf_, overwriting B.
void dpotrs_(char const* uplo, int const* n, int const* nrhs, double const* a, int const* lda,
             double* b, int const* ldb, int* info, std::size_t uplo_len);

// A^{-1} from the factor of dpotrf_, overwriting it; only the uplo triangle is written.
void dpotri_(char const* uplo, int const* n, double* a, int const* lda, int* info,
             std::size_t uplo_len);

// The inverse of a triangular matrix, in place (diag "N": its own diagonal).
void dtrtri_(char const* uplo, char const* diag, int const* n, double* a, int const* lda, int* info,
             std::size_t uplo_len, std::size_t diag_len);

// L^T L (uplo "L") in the lower triangle of L, in place.
void dlauum_(char const* uplo, int const* n, double* a, int const* lda, int* info, std::size_t uplo_len);

// B := alpha op(A) B (side "L") or alpha B op(A) (side "R"), A triangular.
void dtrmm_(char const* side, char const* uplo, char const* transa, char const* diag, int const* m, int const* n,
            double const* alpha, double const* a, int const* lda, double* b, int const* ldb, std::size_t side_len,
            std::size_t uplo_len, std::size_t transa_len, std::size_t diag_len);

// Eigenvalues (ascending, in w) and, with jobz "V", eigenvectors (in a) of a symmetric
// matrix by divide and conquer. A call with lwork = liwork = -1 returns the sizes of the
// work arrays in work[0] and iwork[0].
void dsyevd_(char const* jobz, char const* uplo, int const* n, double* a, int const* lda,
             double* w, double* work, int const* lwork, int* iwork, int const* liwork,
             int* info, std::size_t jobz_len, std::size_t uplo_len);

// C := alpha op(A) op(B) + beta C (BLAS).
void dgemm_(char const* transa, char const* transb, int const* m, int const* n, int const* k, double const* alpha,
            double const* a, int const* lda, double const* b, int const* ldb, double const* beta, double* c,
            int const* ldc, std::size_t transa_len, std::size_t transb_len);

// B := alpha op(A)^{-1} B (side "L") or alpha B op(A)^{-1} (side "R"), A triangular (BLAS).
void dtrsm_(char const* side, char const* uplo, char const* transa, char const* diag, int const* m, int const* n,
            double const* alpha, double const* a, int const* lda, double* b, int const* ldb, std::size_t side_len,
            std::size_t uplo_len, std::size_t transa_len, std::size_t diag_len);

void openblas_set_num_threads(int num_threads);
int openblas_get_num_threads(void);

}  // extern "C"

namespace kestrune::lapack {

// Sizes OpenBLAS's pool once per process: RAYON_NUM_THREADS when it holds a positive
// integer, otherwise OpenBLAS's own default (the number of processors). The calls above set
// their own count for their size (threads::prepare); this fixes the count for code that
// calls OpenBLAS directly.
void configure_threads();

}  // namespace kestrune::lapack
