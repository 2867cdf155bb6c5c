#include "recherche_motif.hpp"

#include <cstring>

namespace brivane {

namespace {

bool est_meta(uint32_t c) {
    return c < 0x80 && std::strchr(".^$*+?{}[]\\|()", (int)c) != nullptr && c != 0;
}

// Within Latin-1, a text character matches a pattern character under the host's
// case-insensitive rule exactly when their simple lower cases are equal: the
// extra equivalences the host adds (i/ı, s/ſ, k/K, µ/μ, å/Å, ÿ/Ÿ, ß/ẞ) all involve
// a code point beyond Latin-1, which the texts handled here cannot hold.
inline bool egal_a(const unsigned char *t, const std::string &corps) {
    for (size_t i = 0; i < corps.size(); ++i)
        if (minuscule_latin1(t[i]) != (unsigned char)corps[i]) return false;
    return true;
}

}  // namespace

std::optional<MotifLitteral> analyser_motif(const uint32_t *p, size_t n) {
    MotifLitteral m;
    size_t i = 0;
    if (i < n && p[i] == '^') {
        m.debut = true;
        ++i;
    }
    size_t fin = n;
    // A final unescaped "$": count the backslashes before it.
    if (fin > i && p[fin - 1] == '$') {
        size_t k = fin - 1, barres = 0;
        while (k > i && p[k - 1] == '\\') --k, ++barres;
        if (barres % 2 == 0) {
            m.fin = true;
            --fin;
        }
    }
    for (; i < fin; ++i) {
        uint32_t c = p[i];
        if (c == '\\') {
            if (i + 1 >= fin || !est_meta(p[i + 1])) return std::nullopt;
            c = p[++i];
        } else if (est_meta(c)) {
            return std::nullopt;
        }
        if (c > 0xFF) return std::nullopt;
        m.corps += (char)minuscule_latin1((unsigned char)c);
    }
    return m;
}

bool chercher_motif(const MotifLitteral &m, const unsigned char *t, size_t n) {
    const size_t k = m.corps.size();
    if (m.fin) {
        // "$" also matches just before a final newline.
        auto finit_a = [&](size_t bout) { return bout >= k && egal_a(t + bout - k, m.corps); };
        auto accepte = [&](size_t bout) { return m.debut ? bout == k && egal_a(t, m.corps) : finit_a(bout); };
        if (accepte(n)) return true;
        return n > 0 && t[n - 1] == '\n' && accepte(n - 1);
    }
    if (m.debut) return n >= k && egal_a(t, m.corps);
    if (k == 0) return true;
    if (k > n) return false;
    const unsigned char premier = (unsigned char)m.corps[0];
    for (size_t i = 0; i + k <= n; ++i)
        if (minuscule_latin1(t[i]) == premier && egal_a(t + i, m.corps)) return true;
    return false;
}

}  // namespace brivane
