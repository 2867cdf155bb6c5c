#include "csv_ecriture.hpp"

#include <charconv>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace brivane {

namespace {

// Whether the text holds the separator, a quote or a line end: eight bytes at a
// time (a byte equal to c turns x ^ c*0x01..01 into a zero byte, which the usual
// carry test finds), the tail one by one.
bool a_guillemeter(std::string_view champ, char separateur) {
    constexpr uint64_t UNS = 0x0101010101010101ULL, HAUTS = 0x8080808080808080ULL;
    auto octet_nul = [](uint64_t x) { return (x - UNS) & ~x & HAUTS; };
    const uint64_t s = UNS * static_cast<unsigned char>(separateur), q = UNS * '"', r = UNS * '\r',
                   n = UNS * '\n';
    const char *p = champ.data();
    size_t i = 0;
    for (; i + 8 <= champ.size(); i += 8) {
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

}  // namespace

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

void terminer_ligne_csv(std::string &ligne, size_t nb_champs, size_t debut) {
    if (nb_champs == 1 && ligne.size() == debut) ligne.append("\"\"");
    ligne.append("\r\n");
}

std::string reel_repr(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    // Shortest round-trip digits, read back from the scientific form.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    std::string_view sci(buf, size_t(r.ptr - buf));
    std::string res;
    size_t i = 0;
    if (sci[0] == '-') {
        res.push_back('-');
        i = 1;
    }
    size_t e = sci.find('e');
    std::string chiffres;
    for (size_t k = i; k < e; ++k)
        if (sci[k] != '.') chiffres.push_back(sci[k]);
    int exposant = std::atoi(std::string(sci.substr(e + 1)).c_str());
    // Python's rule: value = 0.DIGITS x 10^decpt; exponent form when decpt is
    // below -3 or above 16.
    int decpt = exposant + 1;
    const int n = int(chiffres.size());
    if (decpt <= -4 || decpt > 16) {
        res.push_back(chiffres[0]);
        if (n > 1) {
            res.push_back('.');
            res.append(chiffres, 1, std::string::npos);
        }
        res.push_back('e');
        int x = decpt - 1;
        res.push_back(x < 0 ? '-' : '+');
        x = std::abs(x);
        if (x < 10) res.push_back('0');
        res.append(std::to_string(x));
    } else if (decpt <= 0) {
        res.append("0.");
        res.append(size_t(-decpt), '0');
        res.append(chiffres);
    } else if (decpt >= n) {
        res.append(chiffres);
        res.append(size_t(decpt - n), '0');
        res.append(".0");
    } else {
        res.append(chiffres, 0, size_t(decpt));
        res.push_back('.');
        res.append(chiffres, size_t(decpt), std::string::npos);
    }
    return res;
}

}  // namespace brivane
