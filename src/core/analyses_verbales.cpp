#include "analyses_verbales.hpp"

namespace brivane {

namespace {

std::string_view sans_blancs(std::string_view s) {
    auto blanc = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blanc(s.front())) s.remove_prefix(1);
    while (!s.empty() && blanc(s.back())) s.remove_suffix(1);
    return s;
}

// The part of `item` before the next ":" (all of it when there is none); `item`
// keeps what follows.
std::string_view partie(std::string_view &item) {
    const size_t fin = item.find(':');
    std::string_view p = item.substr(0, fin);
    item = fin == std::string_view::npos ? std::string_view() : item.substr(fin + 1);
    return sans_blancs(p);
}

// Bytes of the UTF-8 character that starts `s` (1 for a stray byte).
size_t premier_caractere(std::string_view s) {
    const unsigned char c = static_cast<unsigned char>(s[0]);
    const size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
    return n <= s.size() ? n : s.size();
}

}  // namespace

std::vector<AnalyseVerbale> analyses_infover(std::string_view cellule) {
    std::vector<AnalyseVerbale> res;
    while (!cellule.empty()) {
        const size_t fin = cellule.find(';');
        std::string_view item = cellule.substr(0, fin);
        cellule = fin == std::string_view::npos ? std::string_view() : cellule.substr(fin + 1);
        AnalyseVerbale a;
        a.mode = partie(item);
        if (a.mode.empty()) continue;
        a.temps = partie(item);
        std::string_view pn = partie(item);
        if (!pn.empty()) {
            const size_t n = premier_caractere(pn);
            a.personne = pn.substr(0, n);
            a.nombre = pn.substr(n);
        }
        res.push_back(a);
    }
    return res;
}

}  // namespace brivane
