#include "code_lexique.hpp"

#include "texte.hpp"

namespace brivane {

// Checked against the data: each symbol's phoneme is the one espeak-ng writes at the
// same place for the same spellings (lexique_fr), in the large majority of aligned
// words; `x` (Spanish loans only) has no such match and keeps its IPA letter.
const SymboleLexique CODE_LEXIQUE[] = {
    // vowels
    {U'a', "a"}, {U'i', "i"}, {U'y', "y"}, {U'u', "u"}, {U'o', "o"}, {U'O', "\u0254"}, {U'e', "e"},
    {U'E', "\u025B"}, {U'\u00B0', "\u0259"}, {U'2', "\u00F8"}, {U'9', "\u0153"}, {U'5', "\u025B\u0303"},
    {U'1', "\u0153\u0303"}, {U'@', "\u0251\u0303"}, {U'\u00A7', "\u0254\u0303"},
    // glides
    {U'j', "j"}, {U'8', "\u0265"}, {U'w', "w"},
    // consonants
    {U'p', "p"}, {U'b', "b"}, {U't', "t"}, {U'd', "d"}, {U'k', "k"}, {U'g', "\u0261"}, {U'f', "f"},
    {U'v', "v"}, {U's', "s"}, {U'z', "z"}, {U'S', "\u0283"}, {U'Z', "\u0292"}, {U'm', "m"}, {U'n', "n"},
    {U'N', "\u0272"}, {U'G', "\u014B"}, {U'l', "l"}, {U'R', "\u0281"}, {U'x', "x"},
};
const size_t NB_SYMBOLES_LEXIQUE = sizeof(CODE_LEXIQUE) / sizeof(CODE_LEXIQUE[0]);

namespace {

const SymboleLexique *symbole(char32_t c) {
    for (size_t i = 0; i < NB_SYMBOLES_LEXIQUE; ++i)
        if (CODE_LEXIQUE[i].code == c) return &CODE_LEXIQUE[i];
    return nullptr;
}

// The symbol whose phoneme is exactly `points`, or 0.
char32_t code_de(std::u32string_view points) {
    std::string ipa;
    for (char32_t c : points) ajouter_utf8(ipa, c);
    for (size_t i = 0; i < NB_SYMBOLES_LEXIQUE; ++i)
        if (ipa == CODE_LEXIQUE[i].ipa) return CODE_LEXIQUE[i].code;
    return 0;
}

bool propre_au_code(char32_t c) {
    return (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9') || c == U'@' || c == U'\u00B0' || c == U'\u00A7';
}

}  // namespace

std::string code_lexique_vers_ipa(std::string_view texte) {
    std::u32string points;
    decoder_utf8(texte, points);
    std::string res;
    for (char32_t c : points) {
        if (const SymboleLexique *s = symbole(c))
            res += s->ipa;
        else
            ajouter_utf8(res, c);
    }
    return res;
}

std::string ipa_vers_code_lexique(std::string_view texte) {
    std::u32string points;
    decoder_utf8(texte, points);
    std::string res;
    for (size_t i = 0; i < points.size(); ++i) {
        // A nasal vowel is two code points: try the pair first.
        if (i + 1 < points.size() && points[i + 1] == U'\u0303') {
            if (char32_t c = code_de(std::u32string_view(points).substr(i, 2))) {
                ajouter_utf8(res, c);
                ++i;
                continue;
            }
        }
        char32_t c = code_de(std::u32string_view(points).substr(i, 1));
        ajouter_utf8(res, c ? c : points[i]);
    }
    return res;
}

bool ressemble_code_lexique(const std::vector<std::string> &echantillon) {
    bool propre = false;
    std::u32string points;
    for (const std::string &t : echantillon) {
        points.clear();
        if (!decoder_utf8(t, points)) return false;
        for (char32_t c : points) {
            if (!symbole(c)) return false;
            propre |= propre_au_code(c);
        }
    }
    return propre;
}

}  // namespace brivane
