#include "csv_ecriture.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "reglages.hpp"

namespace brivane {

// Whether the text holds the separator, a quote or a line end: eight bytes at a
// time (a byte equal to c turns x ^ c*0x01..01 into a zero byte, which the usual
// carry test finds), the tail one by one; all of it one by one when the fast paths
// are off.
bool a_guillemeter(std::string_view champ, char separateur) {
    constexpr uint64_t UNS = 0x0101010101010101ULL, HAUTS = 0x8080808080808080ULL;
    auto octet_nul = [](uint64_t x) { return (x - UNS) & ~x & HAUTS; };
    const uint64_t s = UNS * static_cast<unsigned char>(separateur), q = UNS * '"', r = UNS * '\r',
                   n = UNS * '\n';
    const char *p = champ.data();
    size_t i = 0;
    const size_t bout = chemins_rapides() ? champ.size() : 0;
    for (; i + 8 <= bout; i += 8) {
        uint64_t x;
        std::memcpy(&x, p + i, 8);
        if (octet_nul(x ^ s) | octet_nul(x ^ q) | octet_nul(x ^ r) | octet_nul(x ^ n)) return true;
    }
    for (; i < champ.size(); ++i) {
        const char c = p[i];
        if (c == separateur || c == '"' || c == '\r' || c == '\n') return true;
    }
    return false;
}

void ajouter_champ_csv(std::string &ligne, std::string_view champ, char separateur) {
    if (!a_guillemeter(champ, separateur)) {
        ligne.append(champ);
        return;
    }
    ligne.push_back('"');
    for (char c : champ) {
        if (c == '"') ligne.push_back('"');
        ligne.push_back(c);
    }
    ligne.push_back('"');
}

char *ecrire_champ_csv(char *out, std::string_view champ, char separateur) {
    if (!a_guillemeter(champ, separateur)) {
        std::memcpy(out, champ.data(), champ.size());
        return out + champ.size();
    }
    *out++ = '"';
    for (char c : champ) {
        if (c == '"') *out++ = '"';
        *out++ = c;
    }
    *out++ = '"';
    return out;
}

void terminer_ligne_csv(std::string &ligne, size_t nb_champs, size_t debut) {
    if (nb_champs == 1 && ligne.size() == debut) ligne.append("\"\"");
    ligne.append("\r\n");
}

char *ecrire_reel_repr(double d, char *out) {
    if (std::isnan(d)) return std::copy_n("nan", 3, out);
    if (std::isinf(d)) return d < 0 ? std::copy_n("-inf", 4, out) : std::copy_n("inf", 3, out);
    // Shortest round-trip digits, read back from the scientific form.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    const char *p = buf, *fin = r.ptr;
    if (*p == '-') {
        *out++ = '-';
        ++p;
    }
    const char *e = std::find(p, fin, 'e');
    char chiffres[32];
    int n = 0;
    for (const char *k = p; k < e; ++k)
        if (*k != '.') chiffres[n++] = *k;
    int exposant = 0;
    std::from_chars(e + 1 + (e[1] == '+'), fin, exposant);
    // Python's rule: value = 0.DIGITS x 10^decpt; exponent form when decpt is
    // below -3 or above 16.
    const int decpt = exposant + 1;
    if (decpt <= -4 || decpt > 16) {
        *out++ = chiffres[0];
        if (n > 1) {
            *out++ = '.';
            out = std::copy_n(chiffres + 1, n - 1, out);
        }
        *out++ = 'e';
        int x = decpt - 1;
        *out++ = x < 0 ? '-' : '+';
        x = std::abs(x);
        if (x < 10) *out++ = '0';
        out = std::to_chars(out, out + 8, x).ptr;
    } else if (decpt <= 0) {
        *out++ = '0';
        *out++ = '.';
        out = std::fill_n(out, -decpt, '0');
        out = std::copy_n(chiffres, n, out);
    } else if (decpt >= n) {
        out = std::copy_n(chiffres, n, out);
        out = std::fill_n(out, decpt - n, '0');
        *out++ = '.';
        *out++ = '0';
    } else {
        out = std::copy_n(chiffres, decpt, out);
        *out++ = '.';
        out = std::copy_n(chiffres + decpt, n - decpt, out);
    }
    return out;
}

std::string reel_repr(double d) {
    char buf[REEL_REPR_MAX];
    return std::string(buf, ecrire_reel_repr(d, buf));
}

}  // namespace brivane
