// The vector kernels of the core, and the one place that decides whether they run.
//
// Each kernel has a scalar twin beside its caller that gives the same answer; the
// caller asks avx2_actif() (avx512_actif() for the one AVX-512 kernel) and takes one or
// the other. The vector kernels are compiled for their instruction set function by
// function and chosen at run time, so that one build serves every x86-64 processor.
// Other targets (ARM, compilers without per-function targets) build only the scalar
// twins.
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

// The words of a block of the reading by length: one register of AVX-512 at 16 bits.
inline constexpr uint32_t LARGEUR_BLOC = 32;
// The ranks the AVX-512 kernel reads: egaux has that many entries, which two registers
// hold, so that one permutation finds the masks of 32 words.
inline constexpr uint32_t SYMBOLES_AVX512 = 64;

// Levenshtein distances between a pattern of m symbols (1 to 32) and `blocs` blocks of
// LARGEUR_BLOC words of n symbols each, laid out symbol by symbol (symbol i of the words
// of a block side by side, a block after the other). egaux[s]: the positions of the
// pattern that hold symbol s. Out: one distance a word, in the order of the words, and
// one mask a block of the words strictly between 0 and `limite`, the few a search keeps.
struct LotDistances {
    const uint16_t *symboles;
    uint32_t n;
    size_t blocs;
    const uint32_t *egaux;
    uint32_t m, limite;
    uint32_t *distances, *proches;
};

#ifdef BRIVANE_AVX2
// True when the processor has AVX2 (asked once) and the fast paths are on.
bool avx2_actif() noexcept;
// True when the n bytes are valid UTF-8 and end on a complete character.
bool utf8_complet_avx2(const unsigned char *p, size_t n);
// The first i with p[i] == c (resp. p[i] == c and p[i + 1] == d), or n.
size_t trouver_point_avx2(const uint32_t *p, size_t n, uint32_t c);
size_t trouver_paire_avx2(const uint32_t *p, size_t n, uint32_t c, uint32_t d);
// The distances of a LotDistances.
void distances_lots_avx2(const LotDistances &lot);
// True when the processor has AVX-512 (F and BW, asked once) and the fast paths are on.
bool avx512_actif() noexcept;
// The same with AVX-512, for symbols below SYMBOLES_AVX512 alone.
void distances_lots_avx512(const LotDistances &lot);
#else
constexpr bool avx2_actif() noexcept { return false; }
constexpr bool avx512_actif() noexcept { return false; }
#endif

}  // namespace brivane
