#include "csv_ecriture.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace brivane {

void ajouter_champ_csv(std::string &ligne, std::string_view champ, char separateur) {
    bool guillemets = false;
    for (char c : champ)
        if (c == separateur || c == '"' || c == '\r' || c == '\n') {
            guillemets = true;
            break;
        }
    if (!guillemets) {
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

void terminer_ligne_csv(std::string &ligne, size_t nb_champs) {
    if (nb_champs == 1 && ligne.empty()) ligne.append("\"\"");
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
