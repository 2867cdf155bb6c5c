// Lexique's phonetic code: the one-character ASCII-like transcription of Lexique 3.83
// (`S@te` for "chanter"), and its correspondence with IPA.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace brivane {

// One symbol of the code and its IPA phoneme (UTF-8; a nasal vowel is the vowel
// followed by the combining tilde U+0303). Every correspondence is one symbol to one
// phoneme, both ways.
struct SymboleLexique {
    char32_t code;
    const char *ipa;
};
extern const SymboleLexique CODE_LEXIQUE[];
extern const size_t NB_SYMBOLES_LEXIQUE;

// Each symbol of the code replaced by its phoneme; any other code point is kept.
std::string code_lexique_vers_ipa(std::string_view texte);
// Each IPA phoneme of the table replaced by its symbol (a vowel followed by U+0303
// is read as the nasal vowel when the table has it); any other code point is kept,
// so a text already in the code comes back unchanged.
std::string ipa_vers_code_lexique(std::string_view texte);
// Whether transcriptions read from a lexicon are in the code rather than in IPA: at
// least one of them non-empty, all their characters symbols of the code, and at
// least one character that IPA does not use (an upper-case letter, a digit, @, ° or §).
bool ressemble_code_lexique(const std::vector<std::string> &echantillon);

}  // namespace brivane
