// The vector kernels of the core, and the one place that decides whether they run.
//
// Each kernel has a scalar twin beside its caller that gives the same answer; the
// caller asks avx2_actif() and takes one or the other. The AVX2 kernels are
// compiled for that instruction set function by function and chosen at run time,
// so that one build serves every x86-64 processor. Other targets (ARM, compilers
// without per-function targets) build only the scalar twins.
#pragma once

#include <cstddef>
#include <cstdint>

// BRIVANE_SANS_AVX2 builds the scalar twins alone, as other targets do.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(BRIVANE_SANS_AVX2)
#define BRIVANE_AVX2 1
#endif

namespace brivane {

// Asks for the line holding p ahead of its use, where the compiler can say so: a
// walk over many small objects then keeps several misses in flight.
inline void precharger(const void *p) noexcept {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

#ifdef BRIVANE_AVX2
// True when the processor has AVX2 (asked once) and the fast paths are on.
bool avx2_actif() noexcept;
// True when the n bytes are valid UTF-8 and end on a complete character.
bool utf8_complet_avx2(const unsigned char *p, size_t n);
// The first i with p[i] == c (resp. p[i] == c and p[i + 1] == d), or n.
size_t trouver_point_avx2(const uint32_t *p, size_t n, uint32_t c);
size_t trouver_paire_avx2(const uint32_t *p, size_t n, uint32_t c, uint32_t d);
// Levenshtein distances between a pattern of m symbols (1 to 32) and `blocs` blocks of 8
// words of n symbols each, laid out symbol by symbol (symbol i of the 8 words of a block
// side by side, a block after the other). egaux[s]: the positions of the pattern that
// hold symbol s. One distance a word, in the order of the words.
void distances_lots_avx2(const uint16_t *symboles, uint32_t n, size_t blocs, const uint32_t *egaux, uint32_t m,
                         uint32_t *distances);
#else
constexpr bool avx2_actif() noexcept { return false; }
#endif

}  // namespace brivane
