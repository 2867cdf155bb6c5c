// A matcher for the commonest search patterns, answered without the host's
// engine where the answer provably equals that engine's; anything else is left to
// the host's engine by the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brivane {

// The first i with p[i] == c, or n: eight code points at a time where the processor
// allows.
size_t trouver_point(const uint32_t *p, size_t n, uint32_t c);

// The first i with p[i] == c and p[i + 1] == d (i + 1 < n), or n; likewise.
size_t trouver_paire(const uint32_t *p, size_t n, uint32_t c, uint32_t d);

// The subset answered: a sequence of one-character atoms (a literal, an escaped
// punctuation character, ".", a class [...] of literals and ranges, possibly
// negated), each optionally repeated by "*", "+", "?" or "{m}", "{m,}", "{m,n}"
// (lazy forms too: only whether a match exists is asked), with an optional "^" at
// the start and "$" at the end. Groups,
// alternation, back-references, lookarounds, inline flags, character-class
// escapes (\d, \w, ...), possessive repeats and anything outside the Basic
// Multilingual Plane are refused and left to the host's engine.
struct AtomeMotif {
    enum Quant : uint8_t { Un, Option, Etoile };
    bool point = false;     // ".": anything but "\n"
    bool bas = false;       // tested on the lower-cased character (else the character itself)
    bool negation = false;  // [^...]
    Quant quant = Un;
    uint32_t membre = UINT32_MAX;  // the one character the pattern wrote, for a literal
    std::vector<uint64_t> bits;  // membership over the BMP (1024 words)
};

struct MotifSimple {
    bool debut = false, fin = false;
    bool fixe = false;               // every atom matches exactly once: a fixed length
    std::vector<AtomeMotif> atomes;  // at most 63
};

// The host engine's case rules for a case-insensitive pattern, supplied by the
// caller: simple lower case, "has a case", and the extra characters that fold
// together with a lower-cased one.
struct RegleCasse {
    std::function<uint32_t(uint32_t)> minuscule;
    std::function<bool(uint32_t)> a_casse;
    std::function<void(uint32_t, std::vector<uint32_t> &)> equivalents;
};

// Reads a pattern (code points) already accepted by the host's compiler.
std::optional<MotifSimple> analyser_motif_simple(const uint32_t *motif, size_t n, const RegleCasse &casse);

// Whether atom a accepts character c, `bmp` and `hors_bmp` as below.
inline bool accepte_atome(const AtomeMotif &a, uint32_t c, const uint32_t *bmp, uint32_t (*hors_bmp)(uint32_t)) {
    if (a.point) return c != '\n';
    if (a.bas) c = c <= 0xFFFF ? bmp[c] : hors_bmp(c);
    const bool dedans = c <= 0xFFFF && (a.bits[c >> 6] >> (c & 63) & 1);
    return dedans != a.negation;
}

// Whether the pattern matches somewhere in the text. The lower case of a character
// (read only by atoms that need it, only where they look) is `bmp[c]` within the
// Basic Multilingual Plane and `hors_bmp(c)` beyond.
bool chercher_simple(const MotifSimple &m, const uint32_t *texte, size_t n, const uint32_t *bmp,
                     uint32_t (*hors_bmp)(uint32_t));

}  // namespace brivane
