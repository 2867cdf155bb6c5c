#include "description.hpp"

#include "nombre.hpp"

#include <cmath>

namespace brivane {

namespace {

bool blanc(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view sans_blancs(std::string_view s) {
    while (!s.empty() && blanc(s.front())) s.remove_prefix(1);
    while (!s.empty() && blanc(s.back())) s.remove_suffix(1);
    return s;
}

bool entier(std::string_view s) {
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) s.remove_prefix(1);
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

void DescriptionColonne::ajouter(std::string_view champ) {
    std::string_view v = sans_blancs(champ);
    if (v.empty()) return;
    if (remplies_++ == 0) exemple_.assign(v);
    if (entiers_ && !entier(v)) entiers_ = false;
    if (reels_ && !entiers_) {
        std::optional<double> x = lire_reel(v);
        reels_ = x && std::isfinite(*x);
    }
}

TypeColonne DescriptionColonne::type() const {
    if (remplies_ == 0) return TypeColonne::texte;
    if (entiers_) return TypeColonne::entier;
    return reels_ ? TypeColonne::reel : TypeColonne::texte;
}

const char *nom_type(TypeColonne t) {
    switch (t) {
        case TypeColonne::entier: return "entier";
        case TypeColonne::reel: return "reel";
        default: return "texte";
    }
}

}  // namespace brivane
