#include "texte.hpp"

namespace brivane {

namespace {

struct Propriete {
    int32_t delta_min;  // lower case = code point + delta (unless MIN_SPECIAL)
    uint8_t ccc;        // canonical combining class
    uint8_t drapeaux;
};

#include "unicode_tables.inc"

constexpr uint32_t SIGMA_MAJ = 0x03A3;
constexpr uint32_t I_POINT_MAJ = 0x0130;

inline const Propriete &propriete(uint32_t cp) {
    // Lone surrogates are ordinary code points of a Python str; anything beyond the
    // Unicode range cannot come from one, but stay safe.
    if (cp >= 0x110000) cp = 0xFFFD;
    return PROPRIETES[ETAGE2[ETAGE1[cp / TAILLE_BLOC] * TAILLE_BLOC + cp % TAILLE_BLOC]];
}

inline bool blanc(uint32_t cp) {
    if (cp < 0x80) return cp == ' ' || (cp >= 9 && cp <= 13) || (cp >= 28 && cp <= 31);
    return propriete(cp).drapeaux & ESPACE;
}

inline bool lien(uint32_t cp) { return cp == 0x0361 || cp == 0x035C; }

// NFC quick check with the answer "yes": then NFC leaves the text as it is.
template <class Car>
bool nfc_certain(const Car *p, size_t n) {
    uint8_t dernier_ccc = 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = p[i];
        if (cp < 0x300) {  // no code point below U+0300 is NFC_QC No/Maybe, all have ccc 0
            dernier_ccc = 0;
            continue;
        }
        const Propriete &pr = propriete(cp);
        if (pr.drapeaux & QC_NON) return false;
        if (pr.ccc != 0 && dernier_ccc > pr.ccc) return false;
        dernier_ccc = pr.ccc;
    }
    return true;
}

}  // namespace

void ajouter_utf8(std::string &s, char32_t c) {
    if (c < 0x80) {
        s += char(c);
    } else if (c < 0x800) {
        s += char(0xC0 | (c >> 6));
        s += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        s += char(0xE0 | (c >> 12));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    } else {
        s += char(0xF0 | (c >> 18));
        s += char(0x80 | ((c >> 12) & 0x3F));
        s += char(0x80 | ((c >> 6) & 0x3F));
        s += char(0x80 | (c & 0x3F));
    }
}

namespace {

// Whether lower-casing may change p[a, b).
template <class Car>
bool casse_changee(const Car *p, size_t a, size_t b) {
    for (size_t i = a; i < b; ++i) {
        const uint32_t cp = p[i];
        if (cp < 0x80 ? cp - 'A' < 26u : (propriete(cp).drapeaux & MIN_SPECIAL) || propriete(cp).delta_min)
            return true;
    }
    return false;
}

// Lower case of p[a, b) into `sortie`; `change` says whether something was already
// removed around it. Gives up on U+03A3, whose lower case depends on its neighbours.
template <class Car>
Normalisation minuscules_tranche(const Car *p, size_t a, size_t b, bool change, std::u32string &sortie) {
    if (!change && !casse_changee(p, a, b)) return Normalisation::inchangee;
    sortie.clear();
    sortie.reserve(b - a + 1);
    for (size_t i = a; i < b; ++i) {
        uint32_t cp = p[i];
        if (cp < 0x80) {
            sortie.push_back(cp - 'A' < 26u ? cp + 32 : cp);
        } else if (cp == I_POINT_MAJ) {
            sortie.push_back(U'i');
            sortie.push_back(0x0307);
        } else if (cp == SIGMA_MAJ) {
            return Normalisation::inconnue;
        } else {
            sortie.push_back(uint32_t(int32_t(cp) + propriete(cp).delta_min));
        }
    }
    return Normalisation::modifiee;
}

}  // namespace

template <class Car>
bool deja_normalise_points(const Car *p, size_t n) {
    if (n > 0 && (blanc(p[0]) || blanc(p[n - 1]))) return false;
    return nfc_certain(p, n) && !casse_changee(p, 0, n);
}

template <class Car>
Normalisation normaliser_points(const Car *p, size_t n, std::u32string &sortie) {
    // NFC applies to the whole text, before the blanks are stripped.
    if (!nfc_certain(p, n)) return Normalisation::inconnue;
    size_t a = 0, b = n;
    while (a < b && blanc(p[a])) ++a;
    while (b > a && blanc(p[b - 1])) --b;
    return minuscules_tranche(p, a, b, a != 0 || b != n, sortie);
}

template <class Car>
Normalisation minuscules_points(const Car *p, size_t n, std::u32string &sortie) {
    return minuscules_tranche(p, 0, n, false, sortie);
}

template <class Car>
void segmenter_points(const Car *p, size_t n, std::vector<size_t> &fins) {
    fins.clear();
    bool colle = false;  // the previous code point was a tie bar
    for (size_t i = 0; i < n; ++i) {
        uint32_t cp = p[i];
        if (i > 0 && !colle && (cp < 0x2B0 || !(propriete(cp).drapeaux & MARQUE)))
            fins.push_back(i);
        colle = lien(cp);
    }
    if (n) fins.push_back(n);
}

int sequence_utf8(const unsigned char *s, size_t n, char32_t &cp) {
    const unsigned char c = s[0];
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    // Overlong forms and values past U+10FFFF are refused at their second byte.
    int lg;
    unsigned char bas = 0x80, haut = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        lg = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        lg = 3;
        cp = c & 0x0F;
        if (c == 0xE0) bas = 0xA0;
    } else if (c >= 0xF0 && c <= 0xF4) {
        lg = 4;
        cp = c & 0x07;
        if (c == 0xF0) bas = 0x90;
        if (c == 0xF4) haut = 0x8F;
    } else {
        return 0;
    }
    for (int k = 1; k < lg; ++k) {
        if (size_t(k) == n) return -k;
        const unsigned char d = s[k];
        if (d < (k == 1 ? bas : 0x80) || d > (k == 1 ? haut : 0xBF)) return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    return (cp >= 0xD800 && cp < 0xE000) ? 0 : lg;
}

bool decoder_utf8(std::string_view t, std::u32string &points, std::vector<size_t> *debuts) {
    const auto *s = reinterpret_cast<const unsigned char *>(t.data());
    bool valide = true;
    for (size_t i = 0; i < t.size();) {
        char32_t cp;
        int lg = sequence_utf8(s + i, t.size() - i, cp);
        if (lg <= 0) {
            valide = false;
            cp = 0xFFFD;
            lg = 1;
        }
        points.push_back(cp);
        if (debuts) debuts->push_back(i);
        i += size_t(lg);
    }
    return valide;
}

std::optional<std::string> normaliser_ortho(std::string_view texte) {
    if (deja_normalise_ascii(reinterpret_cast<const unsigned char *>(texte.data()), texte.size()))
        return std::string(texte);
    std::u32string points, sortie;
    if (!decoder_utf8(texte, points)) return std::nullopt;
    switch (normaliser_points(points.data(), points.size(), sortie)) {
    case Normalisation::inchangee: return std::string(texte);
    case Normalisation::inconnue: return std::nullopt;
    case Normalisation::modifiee: break;
    }
    std::string res;
    for (char32_t cp : sortie) ajouter_utf8(res, cp);
    return res;
}

void segmenter_ipa(std::string_view texte, std::vector<size_t> &fins) {
    std::u32string points;
    std::vector<size_t> debuts;
    decoder_utf8(texte, points, &debuts);
    segmenter_points(points.data(), points.size(), fins);
    for (size_t &f : fins) f = f < debuts.size() ? debuts[f] : texte.size();
}

template Normalisation normaliser_points(const uint8_t *, size_t, std::u32string &);
template Normalisation normaliser_points(const uint16_t *, size_t, std::u32string &);
template Normalisation normaliser_points(const uint32_t *, size_t, std::u32string &);
template Normalisation minuscules_points(const uint8_t *, size_t, std::u32string &);
template Normalisation minuscules_points(const uint16_t *, size_t, std::u32string &);
template Normalisation minuscules_points(const uint32_t *, size_t, std::u32string &);
template bool deja_normalise_points(const uint8_t *, size_t);
template bool deja_normalise_points(const uint16_t *, size_t);
template bool deja_normalise_points(const uint32_t *, size_t);
template void segmenter_points(const uint8_t *, size_t, std::vector<size_t> &);
template void segmenter_points(const uint16_t *, size_t, std::vector<size_t> &);
template void segmenter_points(const uint32_t *, size_t, std::vector<size_t> &);

}  // namespace brivane
