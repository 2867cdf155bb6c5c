#include "csv_ecriture.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <cfloat>
#include <cstdio>
#include <cstring>

#include "plateforme.hpp"
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

void ajouter_champ_csv(std::string &ligne, std::string_view champ, char separateur) {
    const size_t debut = ligne.size();
    ligne.resize(debut + 2 * champ.size() + 2);
    ligne.resize(size_t(ecrire_champ_csv(ligne.data() + debut, champ, separateur) - ligne.data()));
}

void terminer_ligne_csv(std::string &ligne, size_t nb_champs, size_t debut) {
    if (nb_champs == 1 && ligne.size() == debut) ligne.append("\"\"");
    ligne.append("\r\n");
}

namespace {

#if defined(__APPLE__) || defined(BRIVANE_REEL_PAR_PRINTF)
// Apple's libc++ has std::to_chars for doubles only from macOS 13.3 on. There the C
// library's correctly rounded printf gives the nearest 15-, 16- then 17-digit
// decimal (no shorter one can read back to a normal double unless this one does); the first that reads back to d, or failing that its neighbour on the
// other side of d (a power of two has a wider gap above it than below), is the
// shortest, as repr() chooses it. The decimal point of printf follows the locale:
// only its digits are kept, and the texts are read back in the C locale.
int chiffres_courts(double d, char *chiffres, int &exposant) {
    // (Below the normal range fewer digits are exact: start from one.)
    for (int n = d < DBL_MIN ? 1 : 15;; ++n) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%.*e", n - 1, d);
        const char *e = std::strchr(buf, 'e');
        int k = 0;
        for (const char *c = buf; c < e; ++c)
            if (*c >= '0' && *c <= '9') chiffres[k++] = *c;
        exposant = std::atoi(e + 1);
        auto relu = [&] {
            std::string t(chiffres, size_t(n));
            return lire_double_c((t + 'e' + std::to_string(exposant - n + 1)).c_str());
        };
        const double proche = relu();
        if (proche == d || n == 17) return n;
        // The neighbour: one unit in the last place towards d (9.99 + 1 is 1.00 x 10,
        // 1.00 - 1 is 9.99 / 10).
        int i = n - 1;
        if (proche < d) {
            for (; i >= 0 && chiffres[i] == '9'; --i) chiffres[i] = '0';
            if (i < 0) chiffres[0] = '1', ++exposant;
            else ++chiffres[i];
        } else {
            for (; chiffres[i] == '0'; --i) chiffres[i] = '9';
            if (--chiffres[i] == '0' && i == 0) chiffres[0] = '9', --exposant;
        }
        if (relu() == d) return n;
    }
}
#else
int chiffres_courts(double d, char *chiffres, int &exposant) {
    char buf[64];
    char *fin = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific).ptr;
    const char *e = std::find(buf, fin, 'e');
    int n = 0;
    for (const char *k = buf; k < e; ++k)
        if (*k != '.') chiffres[n++] = *k;
    std::from_chars(e + 1 + (e[1] == '+'), fin, exposant);
    return n;
}
#endif

}  // namespace

char *ecrire_reel_repr(double d, char *out) {
    if (std::isnan(d)) return std::copy_n("nan", 3, out);
    if (std::isinf(d)) return d < 0 ? std::copy_n("-inf", 4, out) : std::copy_n("inf", 3, out);
    if (std::signbit(d)) *out++ = '-';
    if (d == 0) return std::copy_n("0.0", 3, out);
    // Shortest round-trip digits: value = 0.DIGITS x 10^decpt.
    char chiffres[32];
    int exposant = 0;
    int n = chiffres_courts(std::fabs(d), chiffres, exposant);
    while (n > 1 && chiffres[n - 1] == '0') --n;
    // Python's rule: exponent form when decpt is below -3 or above 16.
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
