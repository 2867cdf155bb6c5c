// A fast matcher for the commonest search patterns: an optional "^", a run of
// literal characters, an optional "$", compiled case-insensitively and applied
// with search semantics. It answers only where the answer provably equals that of
// the host's regular-expression engine: literal characters of Latin-1 (metacharacters
// only when escaped) matched against texts made of Latin-1 code points. Anything
// else is left to the host's engine by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace brivane {

struct MotifLitteral {
    bool debut = false;  // "^": match at position 0 only
    bool fin = false;    // "$": match at the end, or before a final "\n"
    std::string corps;   // literal characters, lower-cased, one byte per Latin-1 code point
};

// Reads a pattern given as code points. Returns nullopt for any construct outside
// the handled subset (classes, repeats, groups, alternation, escapes other than an
// escaped metacharacter, characters beyond Latin-1).
std::optional<MotifLitteral> analyser_motif(const uint32_t *motif, size_t n);

// Case-insensitive search of the motif in a Latin-1 text (one byte per code point).
bool chercher_motif(const MotifLitteral &m, const unsigned char *texte, size_t n);

// Lower case of a Latin-1 code point, as the host's simple lower-case mapping.
inline unsigned char minuscule_latin1(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return (unsigned char)(c + 0x20);
    return c;
}

}  // namespace brivane
