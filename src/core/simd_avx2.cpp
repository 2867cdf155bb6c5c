// The AVX2 kernels (see simd.hpp). Every function here carries its own target
// attribute: the rest of the library is built for the baseline processor.
#include "simd.hpp"

#ifdef BRIVANE_AVX2

#include <bit>
#include <cstring>
#include <immintrin.h>

#include "reglages.hpp"

#define AVX2 __attribute__((target("avx2")))

namespace brivane {

bool avx2_actif() noexcept {
    static const bool present = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
    return present && chemins_rapides();
}

namespace {

// Whole-block UTF-8 check (the "lookup" method: three nibble tables classify every
// pair of adjacent bytes, two shifted copies catch the third and fourth bytes). It
// only says "valid and complete" or "not": the exact answer (an incomplete tail to
// carry over, the error itself) is left to the byte-by-byte validator of the reader.
// One 32-byte block; `avant` is the previous block, `erreur` accumulates every
// fault and `incomplet` flags a sequence left open at the end of the block.
struct Utf8Avx2 {
    __m256i erreur, avant, incomplet;

    AVX2 void bloc(__m256i v) {
        constexpr uint8_t COURT = 1 << 0, LONG = 1 << 1, SURLONG3 = 1 << 2, TROP_GRAND = 1 << 3,
                          SUBSTITUT = 1 << 4, SURLONG2 = 1 << 5, GRAND_1000 = 1 << 6, SURLONG4 = 1 << 6,
                          DEUX_SUITES = 1 << 7;
        constexpr uint8_t RET = COURT | LONG | DEUX_SUITES;
        constexpr uint8_t G = RET | TROP_GRAND | GRAND_1000;
        constexpr uint8_t S80 = LONG | SURLONG2 | DEUX_SUITES | SURLONG3 | GRAND_1000 | SURLONG4;
        constexpr uint8_t S90 = LONG | SURLONG2 | DEUX_SUITES | SURLONG3 | TROP_GRAND;
        constexpr uint8_t SA0 = LONG | SURLONG2 | DEUX_SUITES | SUBSTITUT | TROP_GRAND;
        if (_mm256_movemask_epi8(v) == 0) {
            erreur = _mm256_or_si256(erreur, incomplet);
            avant = v;
            return;
        }
        // First byte of each pair, by high then low nibble; second byte by high nibble.
        const __m256i t1_haut = _mm256_setr_epi8(
            LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG, DEUX_SUITES, DEUX_SUITES, DEUX_SUITES, DEUX_SUITES,
            COURT | SURLONG2, COURT, COURT | SURLONG3 | SUBSTITUT, COURT | TROP_GRAND | GRAND_1000 | SURLONG4,
            LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG, DEUX_SUITES, DEUX_SUITES, DEUX_SUITES, DEUX_SUITES,
            COURT | SURLONG2, COURT, COURT | SURLONG3 | SUBSTITUT, COURT | TROP_GRAND | GRAND_1000 | SURLONG4);
        const __m256i t1_bas = _mm256_setr_epi8(
            RET | SURLONG3 | SURLONG2 | SURLONG4, RET | SURLONG2, RET, RET, RET | TROP_GRAND, G, G, G, G, G, G, G,
            G, G | SUBSTITUT, G, G,
            RET | SURLONG3 | SURLONG2 | SURLONG4, RET | SURLONG2, RET, RET, RET | TROP_GRAND, G, G, G, G, G, G, G,
            G, G | SUBSTITUT, G, G);
        const __m256i t2_haut = _mm256_setr_epi8(
            COURT, COURT, COURT, COURT, COURT, COURT, COURT, COURT, S80, S90, SA0, SA0, COURT, COURT, COURT, COURT,
            COURT, COURT, COURT, COURT, COURT, COURT, COURT, COURT, S80, S90, SA0, SA0, COURT, COURT, COURT, COURT);
        const __m256i quartet = _mm256_set1_epi8(0x0f);
        const __m256i max_fin = _mm256_setr_epi8(
            -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
            -1, -1, -1, -1, -1, char(0xf0 - 1), char(0xe0 - 1), char(0xc0 - 1));
        __m256i t = _mm256_permute2x128_si256(avant, v, 0x21);
        __m256i p1 = _mm256_alignr_epi8(v, t, 15), p2 = _mm256_alignr_epi8(v, t, 14),
                p3 = _mm256_alignr_epi8(v, t, 13);
        __m256i a = _mm256_shuffle_epi8(t1_haut, _mm256_and_si256(_mm256_srli_epi16(p1, 4), quartet));
        __m256i b = _mm256_shuffle_epi8(t1_bas, _mm256_and_si256(p1, quartet));
        __m256i c = _mm256_shuffle_epi8(t2_haut, _mm256_and_si256(_mm256_srli_epi16(v, 4), quartet));
        __m256i cas = _mm256_and_si256(_mm256_and_si256(a, b), c);
        // Where a third or fourth byte must be a continuation byte.
        __m256i troisieme = _mm256_subs_epu8(p2, _mm256_set1_epi8(char(0xe0 - 0x80)));
        __m256i quatrieme = _mm256_subs_epu8(p3, _mm256_set1_epi8(char(0xf0 - 0x80)));
        __m256i doit = _mm256_and_si256(_mm256_or_si256(troisieme, quatrieme), _mm256_set1_epi8(char(0x80)));
        erreur = _mm256_or_si256(erreur, _mm256_xor_si256(doit, cas));
        incomplet = _mm256_subs_epu8(v, max_fin);
        avant = v;
    }
};

}  // namespace

AVX2 bool utf8_complet_avx2(const unsigned char *p, size_t n) {
    Utf8Avx2 u{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
    size_t i = 0;
    for (; i + 32 <= n; i += 32) u.bloc(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i)));
    if (i < n) {
        alignas(32) unsigned char dernier[32] = {};
        std::memcpy(dernier, p + i, n - i);
        u.bloc(_mm256_load_si256(reinterpret_cast<const __m256i *>(dernier)));
    }
    __m256i e = _mm256_or_si256(u.erreur, u.incomplet);
    return _mm256_testz_si256(e, e);
}

AVX2 size_t trouver_point_avx2(const uint32_t *p, size_t n, uint32_t c) {
    const __m256i v = _mm256_set1_epi32(int(c));
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        const unsigned masque = unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(x, v))));
        if (masque) return i + size_t(std::countr_zero(masque));
    }
    for (; i < n; ++i)
        if (p[i] == c) return i;
    return n;
}

AVX2 size_t trouver_paire_avx2(const uint32_t *p, size_t n, uint32_t c, uint32_t d) {
    const __m256i vc = _mm256_set1_epi32(int(c)), vd = _mm256_set1_epi32(int(d));
    size_t i = 0;
    for (; i + 9 <= n; i += 8) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i));
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i + 1));
        const __m256i eq = _mm256_and_si256(_mm256_cmpeq_epi32(x, vc), _mm256_cmpeq_epi32(y, vd));
        const unsigned masque = unsigned(_mm256_movemask_ps(_mm256_castsi256_ps(eq)));
        if (masque) return i + size_t(std::countr_zero(masque));
    }
    for (; i + 1 < n; ++i)
        if (p[i] == c && p[i + 1] == d) return i;
    return n;
}

namespace {

// One block of 32 words as four groups of eight: one group's step waits on its previous
// step, and the four keep the vector units busy meanwhile. The step is the one of
// LigneBitsT::avancer, eight words a register.
AVX2 inline uint32_t distances_bloc(const uint16_t *s, const LotDistances &lot, uint32_t *dist) {
    constexpr int G = LARGEUR_BLOC / 8;
    const uint32_t m = lot.m;
    const __m256i masque = _mm256_set1_epi32(m >= 32 ? -1 : int((1u << m) - 1)), un = _mm256_set1_epi32(1);
    const __m128i haut = _mm_cvtsi32_si128(int(m - 1));
    __m256i vp[G], vn[G], score[G];
    for (int g = 0; g < G; ++g) {
        vp[g] = masque;
        vn[g] = _mm256_setzero_si256();
        score[g] = _mm256_set1_epi32(int(m));
    }
    for (uint32_t i = 0; i < lot.n; ++i, s += LARGEUR_BLOC) {
        for (int g = 0; g < G; ++g) {
            const uint16_t *c = s + 8 * g;
            const uint32_t *egaux = lot.egaux;
            // Eight loads beat the gather instruction here.
            const __m256i eq = _mm256_setr_epi32(int(egaux[c[0]]), int(egaux[c[1]]), int(egaux[c[2]]), int(egaux[c[3]]),
                                                 int(egaux[c[4]]), int(egaux[c[5]]), int(egaux[c[6]]), int(egaux[c[7]]));
            const __m256i xv = _mm256_or_si256(eq, vn[g]);
            const __m256i xh =
                _mm256_or_si256(_mm256_xor_si256(_mm256_add_epi32(_mm256_and_si256(eq, vp[g]), vp[g]), vp[g]), eq);
            __m256i hp = _mm256_or_si256(vn[g], _mm256_andnot_si256(_mm256_or_si256(xh, vp[g]), masque));
            __m256i hn = _mm256_and_si256(vp[g], xh);
            score[g] = _mm256_sub_epi32(_mm256_add_epi32(score[g], _mm256_and_si256(_mm256_srl_epi32(hp, haut), un)),
                                        _mm256_and_si256(_mm256_srl_epi32(hn, haut), un));
            hp = _mm256_or_si256(_mm256_slli_epi32(hp, 1), un);
            hn = _mm256_slli_epi32(hn, 1);
            vp[g] = _mm256_and_si256(_mm256_or_si256(hn, _mm256_andnot_si256(_mm256_or_si256(xv, hp), masque)), masque);
            vn[g] = _mm256_and_si256(hp, xv);
        }
    }
    uint32_t proches = 0;
    const __m256i limite = _mm256_set1_epi32(int(lot.limite)), zero = _mm256_setzero_si256();
    for (int g = 0; g < G; ++g) {
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(dist + 8 * g), score[g]);
        const __m256i dedans = _mm256_and_si256(_mm256_cmpgt_epi32(score[g], zero), _mm256_cmpgt_epi32(limite, score[g]));
        proches |= uint32_t(_mm256_movemask_ps(_mm256_castsi256_ps(dedans))) << (8 * g);
    }
    return proches;
}

}  // namespace

AVX2 void distances_lots_avx2(const LotDistances &lot) {
    for (size_t b = 0; b < lot.blocs; ++b)
        lot.proches[b] = distances_bloc(lot.symboles + b * lot.n * LARGEUR_BLOC, lot, lot.distances + b * LARGEUR_BLOC);
}

}  // namespace brivane

#endif
