// SipHash-1-3 as Python computes the hash of a text from its code units (64-bit
// output, key k0/k1): one at a time, and eight at a time with AVX2 where the
// processor has it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace brivane {

uint64_t siphash13(uint64_t k0, uint64_t k1, const void *donnees, size_t taille);

// h[i] = siphash13(k0, k1, donnees[i], tailles[i]) for i < 8. Each text must be
// followed by at least 8 readable bytes (its last word is read whole, then masked).
void siphash13_x8(uint64_t k0, uint64_t k1, const void *const donnees[8], const size_t tailles[8], uint64_t h[8]);

}  // namespace brivane
