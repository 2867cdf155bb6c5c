#include "recherche_motif.hpp"

#include <algorithm>
#include <bit>
#include <string_view>

#include "simd.hpp"

namespace brivane {

namespace {

bool alnum_ascii(uint32_t c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

void poser(std::vector<uint64_t> &bits, uint32_t c) { bits[c >> 6] |= 1ull << (c & 63); }

// Membership of a literal or a class, folded as the host's compiler folds it: for a
// set holding a cased character, every member's lower case and its equivalents,
// tested on the text's lower case; otherwise the members themselves.
bool remplir(AtomeMotif &a, const std::vector<uint32_t> &membres, const RegleCasse &casse) {
    a.bits.assign(1024, 0);
    bool casse_presente = false;
    for (uint32_t c : membres) casse_presente |= casse.a_casse(c);
    a.bas = casse_presente;
    std::vector<uint32_t> eq;
    for (uint32_t c : membres) {
        if (!casse_presente) {
            poser(a.bits, c);
            continue;
        }
        uint32_t lo = casse.minuscule(c);
        if (lo > 0xFFFF) return false;
        poser(a.bits, lo);
        eq.clear();
        casse.equivalents(lo, eq);
        for (uint32_t k : eq) {
            if (k > 0xFFFF) return false;
            poser(a.bits, k);
        }
    }
    return true;
}

// The members of a class "[...]" whose "[" ends at i; i moves past its "]".
// False for what is left to the host's engine.
bool lire_classe(const uint32_t *p, size_t &i, size_t fin, bool &negation, std::vector<uint32_t> &membres) {
    if (i < fin && p[i] == '^') negation = true, ++i;
    bool premier = true;
    // One character of a class: a literal or an escaped punctuation mark.
    auto lire = [&](uint32_t &out) {
        if (i >= fin) return false;
        uint32_t x = p[i];
        if (x == '\\') {
            if (i + 1 >= fin || alnum_ascii(p[i + 1])) return false;
            out = p[i + 1];
            i += 2;
            return true;
        }
        // Set operations and nested sets the host warns about: not handled.
        if (x == '[' || ((x == '-' || x == '&' || x == '~' || x == '|') && i + 1 < fin && p[i + 1] == x))
            return false;
        out = x;
        ++i;
        return true;
    };
    for (;;) {
        if (i >= fin) return false;
        if (p[i] == ']' && !premier) {
            ++i;
            return true;
        }
        premier = false;
        uint32_t a0;
        if (!lire(a0)) return false;
        if (i + 1 < fin && p[i] == '-' && p[i + 1] != ']') {
            ++i;
            uint32_t b0;
            if (!lire(b0) || b0 < a0 || b0 - a0 > 2000) return false;
            for (uint32_t x = a0; x <= b0; ++x) membres.push_back(x);
        } else {
            membres.push_back(a0);
        }
    }
}

// The repeat after an atom, if any ("*", "+", "?", "{m}", "{m,}", "{m,n}", lazy
// forms too); i moves past it. False for what is left to the host's engine.
bool lire_repetition(const uint32_t *p, size_t &i, size_t fin, size_t &min, size_t &max, bool &infini) {
    if (i < fin && (p[i] == '*' || p[i] == '+' || p[i] == '?')) {
        if (p[i] == '*') min = 0, infini = true;
        if (p[i] == '+') infini = true;
        if (p[i] == '?') min = 0;
        ++i;
    } else if (i < fin && p[i] == '{') {
        size_t j = i + 1, a1 = 0, b1 = 0;
        bool chiffres_a = false, virgule = false, chiffres_b = false;
        while (j < fin && p[j] >= '0' && p[j] <= '9' && a1 < 1000) a1 = a1 * 10 + (p[j++] - '0'), chiffres_a = true;
        if (j < fin && p[j] == ',') {
            virgule = true;
            ++j;
            while (j < fin && p[j] >= '0' && p[j] <= '9' && b1 < 1000) b1 = b1 * 10 + (p[j++] - '0'), chiffres_b = true;
        }
        if (j >= fin || p[j] != '}' || !chiffres_a) return false;  // "{,n}" and literal braces
        min = a1;
        if (!virgule)
            max = a1;
        else if (chiffres_b)
            max = b1;
        else
            infini = true;
        if (!infini && max < min) return false;
        i = j + 1;
    }
    if (i < fin && p[i] == '?' && (infini || min != 1 || max != 1)) ++i;           // lazy: same answer
    else if (i < fin && p[i] == '+' && (infini || min != 1 || max != 1)) return false;  // possessive
    if (i < fin && (p[i] == '*' || p[i] == '+' || p[i] == '?' || p[i] == '{')) return false;
    return true;
}

}  // namespace

std::optional<MotifSimple> analyser_motif_simple(const uint32_t *p, size_t n, const RegleCasse &casse) {
    MotifSimple m;
    size_t i = 0, fin = n;
    if (i < n && p[i] == '^') {
        m.debut = true;
        ++i;
    }
    if (fin > i && p[fin - 1] == '$') {
        size_t k = fin - 1, barres = 0;
        while (k > i && p[k - 1] == '\\') --k, ++barres;
        if (barres % 2 == 0) {
            m.fin = true;
            --fin;
        }
    }
    for (size_t j = 0; j < n; ++j)
        if (p[j] > 0xFFFF) return std::nullopt;
    while (i < fin) {
        AtomeMotif a;
        std::vector<uint32_t> membres;
        uint32_t c = p[i];
        if (c == '.') {
            a.point = true;
            ++i;
        } else if (c == '[') {
            if (!lire_classe(p, ++i, fin, a.negation, membres)) return std::nullopt;
        } else if (c == '^' || c == '$' || c == '|' || c == '(' || c == ')' || c == '*' || c == '+' || c == '?' ||
                   c == '{') {
            return std::nullopt;
        } else {
            // A literal, or an escaped punctuation character.
            if (c == '\\' && (++i >= fin || alnum_ascii(p[i]))) return std::nullopt;
            a.membre = p[i++];
            membres.push_back(a.membre);
        }
        if (!a.point && !remplir(a, membres, casse)) return std::nullopt;
        size_t min = 1, max = 1;
        bool infini = false;
        if (!lire_repetition(p, i, fin, min, max, infini)) return std::nullopt;
        size_t total = m.atomes.size() + min + (infini ? 1 : max - min);
        if (total > 63) return std::nullopt;
        for (size_t r = 0; r < min; ++r) m.atomes.push_back(a);
        if (infini) {
            a.quant = AtomeMotif::Etoile;
            m.atomes.push_back(a);
        } else {
            a.quant = AtomeMotif::Option;
            for (size_t r = min; r < max; ++r) m.atomes.push_back(a);
        }
    }
    m.fixe = true;
    for (const AtomeMotif &a : m.atomes) m.fixe &= a.quant == AtomeMotif::Un;
    return m;
}

bool chercher_simple(const MotifSimple &m, const uint32_t *t, size_t n, const uint32_t *bmp,
                     uint32_t (*hors_bmp)(uint32_t)) {
    const size_t k = m.atomes.size();
    const uint64_t tout_lu = 1ull << k;
    // Optional atoms may be skipped: a forward pass closes a set of positions.
    auto fermer = [&](uint64_t s) {
        for (size_t i = 0; i < k; ++i)
            if ((s >> i & 1) && m.atomes[i].quant != AtomeMotif::Un) s |= 1ull << (i + 1);
        return s;
    };
    auto accepte = [&](const AtomeMotif &a, size_t j) { return accepte_atome(a, t[j], bmp, hors_bmp); };
    if (m.fixe) {
        // A fixed length: only the possible start positions are tried (the end for
        // "$", the start for "^"), each atom against one character.
        auto essayer = [&](size_t d) {
            for (size_t i = 0; i < k; ++i)
                if (!accepte(m.atomes[i], d + i)) return false;
            return true;
        };
        if (m.fin) {
            auto finit_a = [&](size_t bout) { return bout >= k && (!m.debut || bout == k) && essayer(bout - k); };
            return finit_a(n) || (n > 0 && t[n - 1] == '\n' && finit_a(n - 1));
        }
        if (m.debut) return n >= k && essayer(0);
        for (size_t d = 0; d + k <= n; ++d)
            if (essayer(d)) return true;
        return false;
    }
    // Anchored on an atom that must match once: most texts fail on their first character.
    if (m.debut && k > 0 && m.atomes[0].quant == AtomeMotif::Un && (n == 0 || !accepte(m.atomes[0], 0)))
        return false;
    uint64_t s = fermer(1);
    for (size_t j = 0;; ++j) {
        // "$" also matches just before a final newline.
        if ((s & tout_lu) && (!m.fin || j == n || (j + 1 == n && t[j] == '\n'))) return true;
        if (j == n) return false;
        uint64_t suivant = 0;
        for (uint64_t r = s & (tout_lu - 1); r; r &= r - 1) {
            size_t i = (size_t)std::countr_zero(r);
            const AtomeMotif &a = m.atomes[i];
            if (!accepte(a, j)) continue;
            if (a.quant == AtomeMotif::Etoile) suivant |= 1ull << i;
            suivant |= 1ull << (i + 1);
        }
        if (!m.debut) suivant |= 1;
        s = fermer(suivant);
        if (!s) return false;
    }
}

size_t trouver_paire(const uint32_t *p, size_t n, uint32_t c, uint32_t d) {
#ifdef BRIVANE_AVX2
    if (avx2_actif()) return trouver_paire_avx2(p, n, c, d);
#endif
    const uint32_t paire[] = {c, d};
    return size_t(std::search(p, p + n, paire, paire + 2) - p);
}

size_t trouver_point(const uint32_t *p, size_t n, uint32_t c) {
#ifdef BRIVANE_AVX2
    if (avx2_actif()) return trouver_point_avx2(p, n, c);
#endif
    return size_t(std::find(p, p + n, c) - p);
}

}  // namespace brivane
