// The AVX-512 kernel of the reading by length (see simd.hpp). Its gain is the lookup of
// the pattern's masks: one permutation over two registers of table gives 32 words'
// masks, where AVX2 loads them one by one.
#include "simd.hpp"

#ifdef BRIVANE_AVX2

#include <algorithm>
#include <immintrin.h>

#include "reglages.hpp"

#define AVX512 __attribute__((target("avx512f,avx512bw")))

namespace brivane {

bool avx512_actif() noexcept {
    static const bool present =
        (__builtin_cpu_init(), __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw"));
    return present && chemins_rapides();
}

namespace {

static_assert(LARGEUR_BLOC == 32 && SYMBOLES_AVX512 == 64);

// The state of one register of words.
struct Etat {
    __m512i vp, vn, score;
};

template <int L>
AVX512 inline __m512i plus(__m512i a, __m512i b) {
    if constexpr (L == 16) return _mm512_add_epi16(a, b);
    else return _mm512_add_epi32(a, b);
}

template <int L>
AVX512 inline __m512i decaler(__m512i a) {
    if constexpr (L == 16) return _mm512_slli_epi16(a, 1);
    else return _mm512_slli_epi32(a, 1);
}

// The step of LigneBitsT::avancer on lanes of L bits. Bits above the pattern are left to
// drift: additions carry and shifts move upwards only, so they never reach the pattern's
// bits, and the score reads bit m - 1 (`haut`) alone.
template <int L>
AVX512 inline void avancer(Etat &e, __m512i eq, __m512i haut, __m512i un) {
    const __m512i xv = _mm512_or_si512(eq, e.vn);
    // (a ^ b) | c, then a | ~(b | c) twice: the three-input logic of the step.
    const __m512i xh = _mm512_ternarylogic_epi32(plus<L>(_mm512_and_si512(eq, e.vp), e.vp), e.vp, eq, 0xBE);
    __m512i hp = _mm512_ternarylogic_epi32(e.vn, xh, e.vp, 0xF1);
    __m512i hn = _mm512_and_si512(e.vp, xh);
    if constexpr (L == 16) {
        const __mmask32 p = _mm512_test_epi16_mask(hp, haut), n = _mm512_test_epi16_mask(hn, haut);
        e.score = _mm512_mask_sub_epi16(_mm512_mask_add_epi16(e.score, p, e.score, un), n, e.score, un);
    } else {
        const __mmask16 p = _mm512_test_epi32_mask(hp, haut), n = _mm512_test_epi32_mask(hn, haut);
        e.score = _mm512_mask_sub_epi32(_mm512_mask_add_epi32(e.score, p, e.score, un), n, e.score, un);
    }
    hp = _mm512_or_si512(decaler<L>(hp), un);
    hn = decaler<L>(hn);
    e.vp = _mm512_ternarylogic_epi32(hn, xv, hp, 0xF1);
    e.vn = _mm512_and_si512(hp, xv);
}

}  // namespace

AVX512 void distances_lots_avx512(const LotDistances &lot) {
    const uint32_t m = lot.m;
    // The masks cut into their low and high 16 bits, 32 symbols a register.
    __m512i bas[2], hauts[2];
    for (int k = 0; k < 2; ++k) {
        const __m512i a = _mm512_loadu_si512(lot.egaux + 32 * k), b = _mm512_loadu_si512(lot.egaux + 32 * k + 16);
        bas[k] = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi32_epi16(a)), _mm512_cvtepi32_epi16(b), 1);
        hauts[k] = _mm512_inserti64x4(_mm512_castsi256_si512(_mm512_cvtepi32_epi16(_mm512_srli_epi32(a, 16))),
                                      _mm512_cvtepi32_epi16(_mm512_srli_epi32(b, 16)), 1);
    }
    const uint16_t *s = lot.symboles;
    uint32_t *distances = lot.distances;
    if (m <= 16) {
        // The 32 words of a block in one register, a word a 16-bit lane.
        const __m512i un = _mm512_set1_epi16(1), haut = _mm512_set1_epi16(short(1u << (m - 1)));
        const __m512i limite = _mm512_set1_epi16(short(std::min(lot.limite, 0xFFFFu)));
        for (size_t b = 0; b < lot.blocs; ++b, distances += LARGEUR_BLOC) {
            Etat e{_mm512_set1_epi16(-1), _mm512_setzero_si512(), _mm512_set1_epi16(short(m))};
            for (uint32_t i = 0; i < lot.n; ++i, s += LARGEUR_BLOC)
                avancer<16>(e, _mm512_permutex2var_epi16(bas[0], _mm512_loadu_si512(s), bas[1]), haut, un);
            _mm512_storeu_si512(distances, _mm512_cvtepu16_epi32(_mm512_castsi512_si256(e.score)));
            _mm512_storeu_si512(distances + 16, _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(e.score, 1)));
            lot.proches[b] = _mm512_mask_cmplt_epu16_mask(_mm512_test_epi16_mask(e.score, e.score), e.score, limite);
        }
        return;
    }
    // Two registers of 16 words at 32 bits. Unpacking the halves is cheaper than putting
    // the words in order at every step: each register takes four words of every 128-bit
    // lane, and the scores go back to the words' order once, at the end.
    alignas(64) int32_t ordre[32];
    for (int w = 0; w < 32; ++w) ordre[w] = w % 8 < 4 ? w / 8 * 4 + w % 8 : 16 + w / 8 * 4 + w % 8 - 4;
    const __m512i ordre_a = _mm512_load_si512(ordre), ordre_b = _mm512_load_si512(ordre + 16);
    const __m512i un = _mm512_set1_epi32(1), haut = _mm512_set1_epi32(int(1u << (m - 1)));
    const __m512i limite = _mm512_set1_epi32(int(lot.limite));
    for (size_t b = 0; b < lot.blocs; ++b, distances += LARGEUR_BLOC) {
        Etat etats[2];
        for (auto &e : etats) e = {_mm512_set1_epi32(-1), _mm512_setzero_si512(), _mm512_set1_epi32(int(m))};
        for (uint32_t i = 0; i < lot.n; ++i, s += LARGEUR_BLOC) {
            const __m512i c = _mm512_loadu_si512(s);
            const __m512i lo = _mm512_permutex2var_epi16(bas[0], c, bas[1]);
            const __m512i hi = _mm512_permutex2var_epi16(hauts[0], c, hauts[1]);
            avancer<32>(etats[0], _mm512_unpacklo_epi16(lo, hi), haut, un);
            avancer<32>(etats[1], _mm512_unpackhi_epi16(lo, hi), haut, un);
        }
        uint32_t proches = 0;
        for (int k = 0; k < 2; ++k) {
            const __m512i d = _mm512_permutex2var_epi32(etats[0].score, k ? ordre_b : ordre_a, etats[1].score);
            _mm512_storeu_si512(distances + 16 * k, d);
            proches |= uint32_t(_mm512_mask_cmplt_epu32_mask(_mm512_test_epi32_mask(d, d), d, limite)) << (16 * k);
        }
        lot.proches[b] = proches;
    }
}

}  // namespace brivane

#endif
