#include "nombre.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "plateforme.hpp"
#include "texte.hpp"

namespace brivane {

namespace {

// First code point of every run of ten Unicode decimal digits (Nd) in the building
// interpreter's database: ZEROS_ND. Every run is contiguous and ordered 0..9.
#include "unicode_chiffres.inc"

int chiffre_unicode(char32_t c) {
    const char32_t *fin = std::end(ZEROS_ND);
    const char32_t *it = std::upper_bound(std::begin(ZEROS_ND), fin, c);
    if (it == std::begin(ZEROS_ND)) return -1;
    char32_t ecart = c - *(it - 1);
    return ecart < 10 ? int(ecart) : -1;
}

// Non-ASCII code points for which str.isspace() is true.
bool espace_unicode(char32_t c) {
    return c == 0x85 || c == 0xa0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200a) ||
           c == 0x2028 || c == 0x2029 || c == 0x202f || c == 0x205f || c == 0x3000;
}

bool blanc_ascii(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool chiffre(char c) { return c >= '0' && c <= '9'; }

// The comma of `[+-]?digits,digits` in [s, e), else nullptr.
const char *virgule_decimale(const char *s, const char *e) {
    const char *p = s;
    if (p < e && (*p == '+' || *p == '-')) ++p;
    const char *debut = p;
    while (p < e && chiffre(*p)) ++p;
    if (p == debut || p == e || *p != ',') return nullptr;
    const char *virgule = p++;
    if (p == e) return nullptr;
    while (p < e && chiffre(*p)) ++p;
    return p == e ? virgule : nullptr;
}

}  // namespace

std::optional<double> lire_reel(std::string_view texte) {
    // 1. Non-ASCII text: white space becomes ' ', decimal digits their ASCII digit,
    //    anything else makes the text invalid (the host does the same before parsing).
    std::string ascii;
    std::string_view v = texte;
    if (std::any_of(texte.begin(), texte.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        std::u32string points;
        if (!decoder_utf8(texte, points)) return std::nullopt;
        for (char32_t cp : points) {
            if (cp < 0x7f) ascii.push_back(char(cp));
            else if (espace_unicode(cp)) ascii.push_back(' ');
            else if (int d = chiffre_unicode(cp); d >= 0) ascii.push_back(char('0' + d));
            else return std::nullopt;
        }
        v = ascii;
    }

    // 2. Surrounding ASCII white space.
    const char *s = v.data(), *e = v.data() + v.size();
    while (s < e && blanc_ascii(*s)) ++s;
    while (e > s && blanc_ascii(e[-1])) --e;
    if (s == e) return std::nullopt;

    // 3. A decimal comma ("130,74", "-0,5": digits, one comma, digits), as spreadsheets
    //    in a French locale write numbers: that number. Nothing else with a comma is one.
    std::string point;
    if (const char *v = virgule_decimale(s, e)) {
        point.assign(s, e);
        point[size_t(v - s)] = '.';
        s = point.data();
        e = point.data() + point.size();
    }

    // 4. Underscores: only single ones, each between two digits; then dropped.
    std::string sans;
    if (std::find(s, e, '_') != e) {
        for (const char *p = s; p < e; ++p)
            if (*p == '_' && (p == s || p + 1 == e || !chiffre(p[-1]) || !chiffre(p[1]))) return std::nullopt;
        sans.assign(s, e);
        sans.erase(std::remove(sans.begin(), sans.end(), '_'), sans.end());
        s = sans.data();
        e = sans.data() + sans.size();
    }

    // 5. Sign, then inf / infinity / nan, or a decimal literal.
    bool negatif = false;
    if (*s == '+' || *s == '-') {
        negatif = (*s == '-');
        ++s;
    }
    // (The words are in lower case: c | 0x20 is one of their letters only for that letter.)
    auto est = [&](std::string_view mot) {
        auto pareil = [](char c, char m) { return (c | 0x20) == m; };
        return size_t(e - s) == mot.size() && std::equal(s, e, mot.begin(), pareil);
    };
    if (est("inf") || est("infinity")) return negatif ? -HUGE_VAL : HUGE_VAL;
    if (est("nan")) return std::copysign(std::nan(""), negatif ? -1.0 : 1.0);
    const char *p = s;
    size_t chiffres = 0;
    while (p < e && chiffre(*p)) ++p, ++chiffres;
    if (p < e && *p == '.') {
        ++p;
        while (p < e && chiffre(*p)) ++p, ++chiffres;
    }
    if (chiffres == 0) return std::nullopt;
    if (p < e && (*p == 'e' || *p == 'E')) {
        const char *q = p + 1;
        if (q < e && (*q == '+' || *q == '-')) ++q;
        if (q == e || !chiffre(*q)) return std::nullopt;
        while (q < e && chiffre(*q)) ++q;
        p = q;
    }
    if (p != e) return std::nullopt;

    // The C library reads the literal in the C locale: it rounds correctly and gives
    // the host's infinity, zero or subnormal on overflow and underflow.
    const double x = lire_double_c(std::string(s, e).c_str());
    return negatif ? -x : x;
}

}  // namespace brivane
