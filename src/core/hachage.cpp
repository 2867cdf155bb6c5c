#include "hachage.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define BRIVANE_X86 1
#endif

namespace brivane {

namespace {

inline uint64_t rotation(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

inline void tour(uint64_t &v0, uint64_t &v1, uint64_t &v2, uint64_t &v3) {
    v0 += v1;
    v2 += v3;
    v1 = rotation(v1, 13) ^ v0;
    v3 = rotation(v3, 16) ^ v2;
    v0 = rotation(v0, 32);
    v2 += v1;
    v0 += v3;
    v1 = rotation(v1, 17) ^ v2;
    v3 = rotation(v3, 21) ^ v0;
    v2 = rotation(v2, 32);
}

inline uint64_t mot(const unsigned char *p) {
    uint64_t m;
    std::memcpy(&m, p, 8);
    return m;  // x86-64 and the other hosts built here are little-endian
}

// The last word: the remaining bytes (fewer than 8), little-endian, with the
// total length in the top byte. `lisible`: 8 bytes may be read at p.
inline uint64_t dernier_mot(const unsigned char *p, size_t reste, size_t taille, bool lisible) {
    uint64_t t = 0;
    if (lisible) {
        t = reste ? mot(p) & (~uint64_t(0) >> (64 - 8 * reste)) : 0;
    } else {
        for (size_t i = 0; i < reste; ++i) t |= uint64_t(p[i]) << (8 * i);
    }
    return t | uint64_t(taille) << 56;
}

}  // namespace

uint64_t siphash13(uint64_t k0, uint64_t k1, const void *donnees, size_t taille) {
    const auto *p = static_cast<const unsigned char *>(donnees);
    uint64_t v0 = k0 ^ 0x736f6d6570736575ULL, v1 = k1 ^ 0x646f72616e646f6dULL, v2 = k0 ^ 0x6c7967656e657261ULL,
             v3 = k1 ^ 0x7465646279746573ULL;
    size_t n = taille;
    for (; n >= 8; n -= 8, p += 8) {
        const uint64_t m = mot(p);
        v3 ^= m;
        tour(v0, v1, v2, v3);
        v0 ^= m;
    }
    const uint64_t b = dernier_mot(p, n, taille, false);
    v3 ^= b;
    tour(v0, v1, v2, v3);
    v0 ^= b;
    v2 ^= 0xff;
    tour(v0, v1, v2, v3);
    tour(v0, v1, v2, v3);
    tour(v0, v1, v2, v3);
    return (v0 ^ v1) ^ (v2 ^ v3);
}

#ifdef BRIVANE_X86
namespace {

struct Lanes {
    __m256i v0, v1, v2, v3;
};

template <int B> __attribute__((target("avx2"))) inline __m256i rot(__m256i x) {
    return _mm256_or_si256(_mm256_slli_epi64(x, B), _mm256_srli_epi64(x, 64 - B));
}

__attribute__((target("avx2"))) inline __m256i rot16(__m256i x) {
    const __m256i m = _mm256_setr_epi8(6, 7, 0, 1, 2, 3, 4, 5, 14, 15, 8, 9, 10, 11, 12, 13, 6, 7, 0, 1, 2, 3, 4, 5,
                                       14, 15, 8, 9, 10, 11, 12, 13);
    return _mm256_shuffle_epi8(x, m);
}

__attribute__((target("avx2"))) inline __m256i rot32(__m256i x) { return _mm256_shuffle_epi32(x, 0xB1); }

__attribute__((target("avx2"))) inline void tour(Lanes &l) {
    l.v0 = _mm256_add_epi64(l.v0, l.v1);
    l.v2 = _mm256_add_epi64(l.v2, l.v3);
    l.v1 = _mm256_xor_si256(rot<13>(l.v1), l.v0);
    l.v3 = _mm256_xor_si256(rot16(l.v3), l.v2);
    l.v0 = rot32(l.v0);
    l.v2 = _mm256_add_epi64(l.v2, l.v1);
    l.v0 = _mm256_add_epi64(l.v0, l.v3);
    l.v1 = _mm256_xor_si256(rot<17>(l.v1), l.v2);
    l.v3 = _mm256_xor_si256(rot<21>(l.v3), l.v0);
    l.v2 = rot32(l.v2);
}

// Eight texts as two groups of four lanes, worked in step: one group's round
// fills the other's latency. A lane whose text has no whole word left keeps its
// state through the word loop.
__attribute__((target("avx2"))) void x8_avx2(uint64_t k0, uint64_t k1, const void *const donnees[8],
                                             const size_t tailles[8], uint64_t h[8]) {
    const __m256i K0 = _mm256_set1_epi64x(static_cast<long long>(k0)),
                  K1 = _mm256_set1_epi64x(static_cast<long long>(k1));
    const Lanes depart{_mm256_xor_si256(K0, _mm256_set1_epi64x(0x736f6d6570736575LL)),
                       _mm256_xor_si256(K1, _mm256_set1_epi64x(0x646f72616e646f6dLL)),
                       _mm256_xor_si256(K0, _mm256_set1_epi64x(0x6c7967656e657261LL)),
                       _mm256_xor_si256(K1, _mm256_set1_epi64x(0x7465646279746573LL))};
    Lanes l[2] = {depart, depart};
    const unsigned char *p[8];
    size_t blocs[8], max_blocs = 0;
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<const unsigned char *>(donnees[i]);
        blocs[i] = tailles[i] / 8;
        max_blocs = std::max(max_blocs, blocs[i]);
    }
    alignas(32) uint64_t m[8];
    alignas(32) int64_t actif[8];
    for (size_t j = 0; j < max_blocs; ++j) {
        for (int i = 0; i < 8; ++i) {
            const bool a = j < blocs[i];
            m[i] = a ? mot(p[i] + 8 * j) : 0;
            actif[i] = a ? -1 : 0;
        }
        for (int g = 0; g < 2; ++g) {
            const __m256i M = _mm256_load_si256(reinterpret_cast<const __m256i *>(m + 4 * g));
            const __m256i A = _mm256_load_si256(reinterpret_cast<const __m256i *>(actif + 4 * g));
            Lanes n = l[g];
            n.v3 = _mm256_xor_si256(n.v3, M);
            tour(n);
            n.v0 = _mm256_xor_si256(n.v0, M);
            l[g].v0 = _mm256_blendv_epi8(l[g].v0, n.v0, A);
            l[g].v1 = _mm256_blendv_epi8(l[g].v1, n.v1, A);
            l[g].v2 = _mm256_blendv_epi8(l[g].v2, n.v2, A);
            l[g].v3 = _mm256_blendv_epi8(l[g].v3, n.v3, A);
        }
    }
    for (int i = 0; i < 8; ++i) m[i] = dernier_mot(p[i] + 8 * blocs[i], tailles[i] % 8, tailles[i], true);
    const __m256i B[2] = {_mm256_load_si256(reinterpret_cast<const __m256i *>(m)),
                          _mm256_load_si256(reinterpret_cast<const __m256i *>(m + 4))};
    for (int g = 0; g < 2; ++g) l[g].v3 = _mm256_xor_si256(l[g].v3, B[g]);
    tour(l[0]);
    tour(l[1]);
    for (int g = 0; g < 2; ++g) {
        l[g].v0 = _mm256_xor_si256(l[g].v0, B[g]);
        l[g].v2 = _mm256_xor_si256(l[g].v2, _mm256_set1_epi64x(0xff));
    }
    for (int r = 0; r < 3; ++r) {
        tour(l[0]);
        tour(l[1]);
    }
    for (int g = 0; g < 2; ++g) {
        const __m256i x = _mm256_xor_si256(_mm256_xor_si256(l[g].v0, l[g].v1), _mm256_xor_si256(l[g].v2, l[g].v3));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(h + 4 * g), x);
    }
}

const bool AVX2 = __builtin_cpu_supports("avx2");

}  // namespace
#endif

void siphash13_x8(uint64_t k0, uint64_t k1, const void *const donnees[8], const size_t tailles[8], uint64_t h[8]) {
    // (Each text is followed by at least 8 readable bytes: see the header.)
#ifdef BRIVANE_X86
    if (AVX2) return x8_avx2(k0, k1, donnees, tailles, h);
#endif
    for (int i = 0; i < 8; ++i) h[i] = siphash13(k0, k1, donnees[i], tailles[i]);
}

}  // namespace brivane
