// Batched in-place rotations of point sets and 2 x 2 matrices, one angle per item.
//
// The arithmetic follows NumPy's einsum for the subscripts "rcR,Rxc->Rxr" and
// "tTR,RTS,sSR->Rts" term for term (its zero-initialised accumulators included), so results are
// bit-identical with the einsum formulation. Every item is read completely before it is
// written, so the rotation is safe in place.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace vh::geometry {

// Element access for arbitrary byte strides.
template <class T>
inline T& strided(char* base, std::ptrdiff_t offset) noexcept {
    return *reinterpret_cast<T*>(base + offset);
}

// Rotates set k of `points` (shape n x m x 2, byte strides s0, s1, s2) by the angle whose
// cosine and sine are cosines[k] and sines[k]: p -> (c x - s y, s x + c y).
template <class T, class C>
void rotate_points(char* points, std::ptrdiff_t n, std::ptrdiff_t m, std::ptrdiff_t s0, std::ptrdiff_t s1,
                   std::ptrdiff_t s2, const C* cosines, const C* sines) noexcept {
    for (std::ptrdiff_t k = 0; k < n; ++k) {
        const T c = static_cast<T>(cosines[k]);
        const T s = static_cast<T>(sines[k]);
        const T minus_s = -s;
        char* set = points + k * s0;
        for (std::ptrdiff_t i = 0; i < m; ++i) {
            T& px = strided<T>(set, i * s1);
            T& py = strided<T>(set, i * s1 + s2);
            const T x = px, y = py;
            const T zero = 0;
            const T nx = (zero + c * x) + minus_s * y;
            const T ny = (zero + s * x) + c * y;
            px = nx;
            py = ny;
        }
    }
}

// How einsum adds up the four terms (a, b) -> r[t][a] m[a][b] r[u][b] of an entry: in one running
// sum in the order (0,0), (0,1), (1,0), (1,1), or as a running sum of the two pair sums over b.
// Which one NumPy uses depends on its version and on whether the operands have to be cast.
enum class SumOrder { Running, Pairwise };

// Replaces matrix k of `matrices` (shape n x 2 x 2, byte strides s0, s1, s2) by R_k M_k R_k^T.
template <class T, class C, SumOrder Order>
void rotate_matrices(char* matrices, std::ptrdiff_t n, std::ptrdiff_t s0, std::ptrdiff_t s1, std::ptrdiff_t s2,
                     const C* cosines, const C* sines) noexcept {
    for (std::ptrdiff_t k = 0; k < n; ++k) {
        const T c = static_cast<T>(cosines[k]);
        const T s = static_cast<T>(sines[k]);
        const T r[2][2] = {{c, -s}, {s, c}};
        char* base = matrices + k * s0;
        T m[2][2];
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b) m[a][b] = strided<T>(base, a * s1 + b * s2);
        T out[2][2];
        for (int t = 0; t < 2; ++t) {
            for (int u = 0; u < 2; ++u) {
                T total = 0;
                for (int a = 0; a < 2; ++a) {
                    if constexpr (Order == SumOrder::Pairwise) {
                        T partial = 0;
                        for (int b = 0; b < 2; ++b) partial = partial + (r[t][a] * m[a][b]) * r[u][b];
                        total = partial + total;
                    } else {
                        for (int b = 0; b < 2; ++b) total = (r[t][a] * m[a][b]) * r[u][b] + total;
                    }
                }
                out[t][u] = total;
            }
        }
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b) strided<T>(base, a * s1 + b * s2) = out[a][b];
    }
}

}  // namespace vh::geometry
