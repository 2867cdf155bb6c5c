#include "csv_ecriture.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cfloat>
#include <cstdio>
#include <cstring>

#include "plateforme.hpp"

namespace brivane {

void ajouter_champ_csv(std::string &ligne, std::string_view champ) {
    auto special = [](char c) { return c == ',' || c == '"' || c == '\r' || c == '\n'; };
    if (std::none_of(champ.begin(), champ.end(), special)) {
        ligne.append(champ);
        return;
    }
    ligne += '"';
    for (char c : champ) {
        if (c == '"') ligne += '"';
        ligne += c;
    }
    ligne += '"';
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

}  // namespace brivane
