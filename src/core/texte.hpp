// Spelling normalisation and IPA segmentation.
//
// Two entry shapes: UTF-8 text (std::string_view), and arrays of code points of
// 1, 2 or 4 bytes (the three layouts a Python str may have in memory), so that the
// binding can read a str in place without asking for a UTF-8 copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brivane {

// The normalisation of a spelling is exactly Python's
//     unicodedata.normalize('NFC', s).strip().lower()
// (with the Unicode tables of the building interpreter): NFC, then removal of the
// leading and trailing characters for which str.isspace() holds, then full
// lower-casing (U+0130 gives "i" + U+0307, two code points). Nothing else is folded:
// accents, inner blanks, hyphens and apostrophes stay.
//
// The C++ side only decides what it can decide exactly: the text must pass the NFC
// quick check with the answer "yes" (no code point whose NFC_QC is No or Maybe,
// combining classes in canonical order), and must not hold U+03A3, whose lower case
// depends on the context (final sigma). Otherwise the answer is "unknown" and the
// caller falls back to the host's own functions.
enum class Normalisation { inchangee, modifiee, inconnue };

// `sortie` receives the normalised code points when the answer is `modifiee`.
template <class Car>
Normalisation normaliser_points(const Car *p, size_t n, std::u32string &sortie);

// Python's str.lower() alone (full lower-casing, no NFC, no stripping). `inconnue`
// only for a text holding U+03A3 (final sigma).
template <class Car>
Normalisation minuscules_points(const Car *p, size_t n, std::u32string &sortie);

// True only if the text is certainly its own normalisation (the common case of a
// stored key or a query typed in lower case). False when it is not, or when the fast
// path cannot tell (normaliser_points then answers `inconnue`). Never allocates.
template <class Car>
bool deja_normalise_points(const Car *p, size_t n);

// Pure ASCII case, inlined for the hottest call (existence test of a plain word):
// no capital, no white space at either end.
inline bool deja_normalise_ascii(const unsigned char *p, size_t n) {
    if (n == 0) return true;
    auto blanc = [](unsigned char c) { return c == ' ' || (c >= 9 && c <= 13) || (c >= 28 && c <= 31); };
    if (blanc(p[0]) || blanc(p[n - 1])) return false;
    for (size_t i = 0; i < n; ++i)
        if (static_cast<unsigned char>(p[i] - 'A') < 26) return false;
    return true;
}

// The UTF-8 sequence that starts the `n` bytes at `s` (n >= 1), by the host decoder's
// rules: its length, with its code point in `cp`, when it is whole and valid; 0 when it
// is malformed (as soon as a byte shows it); minus `n` when all the bytes there are
// start a sequence that more bytes could complete (the host's incremental decoder waits
// for them; a surrogate is refused only once its third byte is there).
int sequence_utf8(const unsigned char *s, size_t n, char32_t &cp);

// Strict UTF-8 decoding, as the host decodes to a str: `points` receives the code
// points (U+FFFD for each invalid byte) and `debuts`, when given, the byte offset of
// each. False when the bytes are not valid UTF-8.
bool decoder_utf8(std::string_view texte, std::u32string &points, std::vector<size_t> *debuts = nullptr);

// Appends the UTF-8 bytes of one code point.
void ajouter_utf8(std::string &s, char32_t c);

// UTF-8 form of the same rules. nullopt: the fast path cannot decide, or the bytes
// are not valid UTF-8.
std::optional<std::string> normaliser_ortho(std::string_view texte);

// Cuts an IPA transcription into segments (phonemes): a new segment starts at every
// code point except combining marks (Mn, Mc, Me), U+02D0, U+02D1, U+02B0..U+02B8 and
// U+02E0..U+02E4, which attach to the segment being built; a tie bar U+0361/U+035C
// attaches itself and the next code point ("t͡ʃ" is one segment). A mark at the very
// start has nothing to attach to and opens the first segment. Joining the segments
// gives back the text; an empty text has no segment.
//
// `fins` receives the end offset of every segment, in code points for the array form
// and in bytes for the UTF-8 form (an invalid byte counts as one code point).
template <class Car>
void segmenter_points(const Car *p, size_t n, std::vector<size_t> &fins);
void segmenter_ipa(std::string_view texte, std::vector<size_t> &fins);

}  // namespace brivane
