// Spelling normalisation and IPA segmentation, on UTF-8 text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brivane {

// NFC, then str.strip(), then str.lower(). Returns nullopt when the text needs a
// normalisation step this fast path does not implement (the caller then falls back
// to the host's unicodedata); the result is exact whenever a value is returned.
std::optional<std::string> normaliser_ortho(std::string_view texte);

// True when normaliser_ortho(texte) == texte (the common case of stored keys).
bool deja_normalise(std::string_view texte);

// Cuts an IPA transcription into segments: a new segment starts at every code
// point except combining marks (Mn, Mc, Me), U+02D0, U+02D1, U+02B0..U+02B8 and
// U+02E0..U+02E4, which attach to the current one; a tie bar U+0361/U+035C attaches
// itself and the next code point. Returns the byte offsets where segments end.
void segmenter_ipa(std::string_view texte, std::vector<size_t> &fins);

}  // namespace brivane
