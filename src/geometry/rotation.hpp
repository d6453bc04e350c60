// Batched in-place rotations of point sets and 2 x 2 matrices, one angle per item.
//
// The arithmetic follows NumPy's einsum for the subscripts "rcR,Rxc->Rxr" and
// "tTR,RTS,sSR->Rts" term for term (its zero-initialised accumulators included), so results are
// bit-identical with the einsum formulation, the sign of NaN included. Every item is read
// completely before it is written, so the rotation is safe in place.
#pragma once
#include <cstddef>
#include <cstdint>
#include <type_traits>

// The kernels' per-item lambdas, inlined into their loops, and their short loops over corners and
// coordinates, unrolled (the optimiser would keep them as loops over memory).
#if defined(__GNUC__)
#define VH_INLINE __attribute__((always_inline))
#define VH_UNROLL _Pragma("GCC unroll 8")
#else
#define VH_INLINE
#define VH_UNROLL
#endif

namespace vh::geometry {

// Element access for arbitrary byte strides.
template <class T>
inline T& strided(char* base, std::ptrdiff_t offset) noexcept {
    return *reinterpret_cast<T*>(base + offset);
}

// Arithmetic in the operand order written, down to which NaN comes out. When both operands of an
// x86 SSE operation are NaN, the result is the first one (quieted, its sign kept); an invalid
// operation (inf - inf, 0 * inf) gives the default NaN, whose sign bit is set. Compilers treat
// the sign of NaN as insignificant: they swap the operands of + and *, and turn x * -1 or
// x / -1 into -x, which flips it. NumPy's loops each take their operands in an order of their
// own; the kernels reproduce it with these operations, which the compiler cannot rearrange.
namespace ordered {

#if defined(__GNUC__) && (defined(__x86_64__) || (defined(__i386__) && defined(__SSE2__)))
#if defined(__AVX__)
#define VH_ORDERED_OP(name, op, insn)                                         \
    template <class T>                                                        \
    inline T name(T a, T b) noexcept {                                        \
        static_assert(std::is_same_v<T, double> || std::is_same_v<T, float>); \
        T r;                                                                  \
        if constexpr (std::is_same_v<T, double>)                              \
            asm("v" insn "sd %2, %1, %0" : "=x"(r) : "x"(a), "xm"(b));        \
        else                                                                  \
            asm("v" insn "ss %2, %1, %0" : "=x"(r) : "x"(a), "xm"(b));        \
        return r;                                                             \
    }
#else
#define VH_ORDERED_OP(name, op, insn)                                         \
    template <class T>                                                        \
    inline T name(T a, T b) noexcept {                                        \
        static_assert(std::is_same_v<T, double> || std::is_same_v<T, float>); \
        if constexpr (std::is_same_v<T, double>)                              \
            asm(insn "sd %1, %0" : "+x"(a) : "xm"(b));                        \
        else                                                                  \
            asm(insn "ss %1, %0" : "+x"(a) : "xm"(b));                        \
        return a;                                                             \
    }
#endif
#else
// Elsewhere NaN propagates by other rules, and the plain operators are as good as any.
#define VH_ORDERED_OP(name, op, insn)  \
    template <class T>                 \
    inline T name(T a, T b) noexcept { \
        return a op b;                 \
    }
#endif
VH_ORDERED_OP(add, +, "add")
VH_ORDERED_OP(sub, -, "sub")
VH_ORDERED_OP(mul, *, "mul")
VH_ORDERED_OP(div, /, "div")
#undef VH_ORDERED_OP

}  // namespace ordered

// Kernels compute with the operators, which the compiler may rearrange and vectorise: exact
// values, but where two NaN meet, which one comes out is left open. Only then can the order have
// mattered, and that NaN reaches the item's results; so an item with a NaN result is computed
// again with Exact, the `ordered` operations in NumPy's order. Fast and Exact are the two policies
// of a kernel's arithmetic (the flags say which operand comes first; Fast ignores them).
struct Fast {
    template <class T>
    static T add(T a, T b) noexcept {
        return a + b;
    }
    template <class T>
    static T sub(T a, T b) noexcept {
        return a - b;
    }
    template <class T>
    static T mul(T a, T b) noexcept {
        return a * b;
    }
    template <class T>
    static T add(bool, T a, T b) noexcept {
        return a + b;
    }
    template <class T>
    static T mul(bool, T a, T b) noexcept {
        return a * b;
    }
};
struct Exact {
    template <class T>
    static T add(T a, T b) noexcept {
        return ordered::add(a, b);
    }
    template <class T>
    static T sub(T a, T b) noexcept {
        return ordered::sub(a, b);
    }
    template <class T>
    static T mul(T a, T b) noexcept {
        return ordered::mul(a, b);
    }
    template <class T>
    static T add(bool a_first, T a, T b) noexcept {
        return a_first ? ordered::add(a, b) : ordered::add(b, a);
    }
    template <class T>
    static T mul(bool a_first, T a, T b) noexcept {
        return a_first ? ordered::mul(a, b) : ordered::mul(b, a);
    }
};

// How einsum's inner loop forms a rotated coordinate m0 p0 + m1 p1 (m: matrix entries, p: the
// point's coordinates): which factor of a product comes first, and whether the products are
// summed in a running sum from zero, or the second is added to the first (when the sum over the
// coordinates is not the inner loop, each product is added to the output in turn).
struct PointOrder {
    bool point_first = false;
    bool second_term_first = false;
};

// m0 p0 + m1 p1 in the given order. The order of a product matters only when both factors are
// NaN, so only for NaN matrix entries (NaN or infinite angles: `Products`); zero is never NaN.
template <bool PointFirst, bool SecondTermFirst, bool Products = true, class T>
inline T einsum_pair(T m0, T p0, T m1, T p1) noexcept {
    const T zero = 0;
    const T t0 = !Products ? m0 * p0 : PointFirst ? ordered::mul(p0, m0) : ordered::mul(m0, p0);
    const T t1 = !Products ? m1 * p1 : PointFirst ? ordered::mul(p1, m1) : ordered::mul(m1, p1);
    if constexpr (SecondTermFirst)
        return ordered::add(t1, t0 + zero);
    else
        return ordered::add(zero + t0, t1);
}

template <bool PointFirst, bool SecondTermFirst, bool Products = true, class T>
inline void einsum_rotate(T c, T s, T minus_s, T& x, T& y) noexcept {
    const T nx = einsum_pair<PointFirst, SecondTermFirst, Products>(c, x, minus_s, y);
    const T ny = einsum_pair<PointFirst, SecondTermFirst, Products>(s, x, c, y);
    x = nx;
    y = ny;
}

// Calls f.template operator()<PointFirst, SecondTermFirst>() for the order.
template <class F>
inline void with_point_order(PointOrder order, F&& f) {
    if (order.point_first) {
        if (order.second_term_first)
            f.template operator()<true, true>();
        else
            f.template operator()<true, false>();
    } else {
        if (order.second_term_first)
            f.template operator()<false, true>();
        else
            f.template operator()<false, false>();
    }
}

// A point rotated by the matrix [[c, -s], [s, c]] as einsum("rcR,Rxc->Rxr") rotates it, its sums
// starting from zero: with A = Fast, exact unless a result is NaN; with Exact, in the given order.
template <class A, class T>
inline void einsum_rotate(PointOrder order, T c, T s, T& x, T& y) noexcept {
    const T minus_s = -s;
    if constexpr (std::is_same_v<A, Fast>) {
        const T zero = 0;
        const T nx = (zero + c * x) + minus_s * y;
        const T ny = (zero + s * x) + c * y;
        x = nx;
        y = ny;
    } else {
        with_point_order(order, [&]<bool PointFirst, bool SecondTermFirst>()
                                    VH_INLINE { einsum_rotate<PointFirst, SecondTermFirst>(c, s, minus_s, x, y); });
    }
}

// Rotates set k of `points` (shape n x m x 2, byte strides s0, s1, s2) by the angle whose
// cosine and sine are cosines[k] and sines[k]: p -> (c x - s y, s x + c y), in the given order.
template <class T, class C>
void rotate_points(char* points, std::ptrdiff_t n, std::ptrdiff_t m, std::ptrdiff_t s0, std::ptrdiff_t s1,
                   std::ptrdiff_t s2, const C* cosines, const C* sines, PointOrder order) noexcept {
    // In place (no second pass to mend NaN), so in NumPy's order throughout; that costs nothing
    // as long as the products, whose order matters for NaN matrices only, are left to the compiler.
    with_point_order(order, [&]<bool PointFirst, bool SecondTermFirst>() VH_INLINE {
        for (std::ptrdiff_t k = 0; k < n; ++k) {
            const T c = static_cast<T>(cosines[k]);
            const T s = static_cast<T>(sines[k]);
            const T minus_s = -s;
            char* set = points + k * s0;
            auto rotate_set = [&]<bool Products>() VH_INLINE {
                for (std::ptrdiff_t i = 0; i < m; ++i) {
                    T& px = strided<T>(set, i * s1);
                    T& py = strided<T>(set, i * s1 + s2);
                    T x = px, y = py;
                    einsum_rotate<PointFirst, SecondTermFirst, Products>(c, s, minus_s, x, y);
                    px = x;
                    py = y;
                }
            };
            if (c != c || s != s) [[unlikely]]
                rotate_set.template operator()<true>();
            else
                rotate_set.template operator()<false>();
        }
    });
}

// How einsum adds up the four terms (a, b) -> r[t][a] m[a][b] r[u][b] of an entry: in one running
// sum in the order (0,0), (0,1), (1,0), (1,1), or as a running sum of the two pair sums over b.
// Which one NumPy uses depends on its version and on whether the operands have to be cast. The
// factors of a term come left to right; a running sum takes its total first, the pair sums are
// added to the total with the newer pair first.
enum class SumOrder { Running, Pairwise };

// Stores r m r^T (r = [[c, -s], [s, c]]) as einsum forms it, in its order, at `base` (byte strides
// s1, s2); for the matrices with a NaN entry.
template <SumOrder Order, class T>
[[gnu::noinline, gnu::cold]] void rotate_matrix_exact(T c, T s, T m00, T m01, T m10, T m11, char* base,
                                                      std::ptrdiff_t s1, std::ptrdiff_t s2) noexcept {
    const T r[2][2] = {{c, -s}, {s, c}};
    const T m[2][2] = {{m00, m01}, {m10, m11}};
    for (int t = 0; t < 2; ++t) {
        for (int u = 0; u < 2; ++u) {
            T total = 0;
            for (int a = 0; a < 2; ++a) {
                auto term = [&](int b) { return ordered::mul(ordered::mul(r[t][a], m[a][b]), r[u][b]); };
                if constexpr (Order == SumOrder::Pairwise) {
                    T partial = 0;
                    for (int b = 0; b < 2; ++b) partial = ordered::add(partial, term(b));
                    total = ordered::add(partial, total);
                } else {
                    for (int b = 0; b < 2; ++b) total = ordered::add(total, term(b));
                }
            }
            strided<T>(base, t * s1 + u * s2) = total;
        }
    }
}

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
        T out[2][2];  // with the operators first (see Fast)
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
        const T any = (out[0][0] + out[0][1]) + (out[1][0] + out[1][1]);  // NaN with any NaN entry
        if (any != any) [[unlikely]]
            rotate_matrix_exact<Order>(c, s, m[0][0], m[0][1], m[1][0], m[1][1], base, s1, s2);
    }
}

}  // namespace vh::geometry
