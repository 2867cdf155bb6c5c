#include "nombre.hpp"

#include <algorithm>
#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>
#include <string>

namespace brivane {

namespace {

// First code point of every run of ten Unicode decimal digits (Nd, Unicode 14, the
// host's database). Every run is contiguous and ordered 0..9.
const char32_t ZEROS_ND[] = {
    0x660,   0x6f0,   0x7c0,   0x966,   0x9e6,   0xa66,   0xae6,   0xb66,   0xbe6,   0xc66,
    0xce6,   0xd66,   0xde6,   0xe50,   0xed0,   0xf20,   0x1040,  0x1090,  0x17e0,  0x1810,
    0x1946,  0x19d0,  0x1a80,  0x1a90,  0x1b50,  0x1bb0,  0x1c40,  0x1c50,  0xa620,  0xa8d0,
    0xa900,  0xa9d0,  0xa9f0,  0xaa50,  0xabf0,  0xff10,  0x104a0, 0x10d30, 0x11066, 0x110f0,
    0x11136, 0x111d0, 0x112f0, 0x11450, 0x114d0, 0x11650, 0x116c0, 0x11730, 0x118e0, 0x11950,
    0x11c50, 0x11d50, 0x11da0, 0x16a60, 0x16ac0, 0x16b50, 0x1d7ce, 0x1d7d8, 0x1d7e2, 0x1d7ec,
    0x1d7f6, 0x1e140, 0x1e2f0, 0x1e950, 0x1fbf0};

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

// Strict UTF-8 (what the host accepts in a str): false on any malformed sequence.
bool point_utf8(const unsigned char *&p, const unsigned char *fin, char32_t &cp) {
    unsigned char c = *p;
    int n;
    char32_t min;
    if (c < 0x80) { cp = c; ++p; return true; }
    if (c >= 0xc2 && c <= 0xdf) { n = 1; cp = c & 0x1f; min = 0x80; }
    else if (c >= 0xe0 && c <= 0xef) { n = 2; cp = c & 0x0f; min = 0x800; }
    else if (c >= 0xf0 && c <= 0xf4) { n = 3; cp = c & 0x07; min = 0x10000; }
    else return false;
    if (fin - p <= n) return false;
    for (int i = 1; i <= n; ++i) {
        if ((p[i] & 0xc0) != 0x80) return false;
        cp = (cp << 6) | (p[i] & 0x3f);
    }
    if (cp < min || cp > 0x10ffff) return false;
    p += n + 1;
    return true;
}

bool blanc_ascii(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool chiffre(char c) { return c >= '0' && c <= '9'; }

bool egal_sans_casse(const char *p, const char *fin, const char *mot) {
    for (; *mot; ++p, ++mot) {
        if (p == fin) return false;
        char c = *p;
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != *mot) return false;
    }
    return true;
}

locale_t locale_c() {
    static locale_t l = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return l;
}

}  // namespace

std::optional<double> lire_reel(std::string_view texte) {
    // 1. Non-ASCII text: white space becomes ' ', decimal digits their ASCII digit,
    //    anything else makes the text invalid (the host does the same before parsing).
    std::string ascii;
    std::string_view v = texte;
    for (unsigned char c : texte) {
        if (c >= 0x80) {
            ascii.reserve(texte.size());
            auto p = reinterpret_cast<const unsigned char *>(texte.data());
            auto fin = p + texte.size();
            while (p < fin) {
                char32_t cp;
                if (!point_utf8(p, fin, cp)) return std::nullopt;
                if (cp < 0x7f) ascii.push_back(char(cp));
                else if (espace_unicode(cp)) ascii.push_back(' ');
                else {
                    int d = chiffre_unicode(cp);
                    if (d < 0) return std::nullopt;
                    ascii.push_back(char('0' + d));
                }
            }
            v = ascii;
            break;
        }
    }

    // 2. Surrounding ASCII white space.
    const char *s = v.data(), *e = v.data() + v.size();
    while (s < e && blanc_ascii(*s)) ++s;
    while (e > s && blanc_ascii(e[-1])) --e;
    if (s == e) return std::nullopt;

    // 3. Underscores: only single ones, each between two digits; then dropped.
    std::string sans;
    if (std::find(s, e, '_') != e) {
        char prec = '\0';
        sans.reserve(size_t(e - s));
        for (const char *p = s; p < e; ++p) {
            if (*p == '_') {
                if (!chiffre(prec)) return std::nullopt;
            } else {
                if (prec == '_' && !chiffre(*p)) return std::nullopt;
                sans.push_back(*p);
            }
            prec = *p;
        }
        if (prec == '_') return std::nullopt;
        s = sans.data();
        e = sans.data() + sans.size();
    }

    // 4. Sign, then inf / infinity / nan, or a decimal literal.
    bool negatif = false;
    if (*s == '+' || *s == '-') {
        negatif = (*s == '-');
        ++s;
    }
    if (egal_sans_casse(s, e, "inf")) {
        const char *q = s + 3;
        if (egal_sans_casse(q, e, "inity")) q += 5;
        if (q != e) return std::nullopt;
        return negatif ? -HUGE_VAL : HUGE_VAL;
    }
    if (egal_sans_casse(s, e, "nan")) {
        if (s + 3 != e) return std::nullopt;
        return std::copysign(std::nan(""), negatif ? -1.0 : 1.0);
    }
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

    double x = 0.0;
    auto r = std::from_chars(s, e, x, std::chars_format::general);
    if (r.ec == std::errc::result_out_of_range || r.ptr != e) {
        // Overflow or underflow: strtod in the C locale gives the host's infinity,
        // zero or subnormal, correctly rounded.
        std::string z(s, e);
        x = strtod_l(z.c_str(), nullptr, locale_c());
    }
    return negatif ? -x : x;
}

}  // namespace brivane
