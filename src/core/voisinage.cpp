#include "voisinage.hpp"

#include "plateforme.hpp"
#include "simd.hpp"
#include "texte.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <span>

namespace brivane {

namespace {

// Bits set in x, spelled out: without a processor option the compiler's builtin is a
// library call, and the rows count bits at every node.
inline int bits(uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555ULL;
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
    return int((x * 0x0101010101010101ULL) >> 56);
}

// Distance from x to the interval [a, b] (0 inside).
inline uint32_t ecart(int64_t x, int64_t a, int64_t b) {
    return uint32_t(x < a ? a - x : (x > b ? x - b : 0));
}

// Searches of distance_moyenne that climb one distance at a time before it bounds the
// n-th distance from the words sorted next to the target.
constexpr uint32_t PAS_AVANT_PLAFOND = 4;

// Mean of the n smallest distances of a histogram (index = distance, 0 left out).
std::optional<double> moyenne_des_premiers(const std::vector<uint64_t> &hist, size_t n) {
    uint64_t pris = 0, somme = 0;
    for (size_t d = 1; d < hist.size() && pris < n; ++d) {
        uint64_t k = std::min<uint64_t>(hist[d], n - pris);
        pris += k;
        somme += k * d;
    }
    if (pris == 0) return std::nullopt;
    return double(somme) / double(pris);
}

// The row of the edit-distance table between `mot` and a prefix of depth k, as Myers's
// bit vectors in Hyyro's form for whole strings: bit j of vp / vn says that
// D[k][j + 1] - D[k][j] is +1 / -1. A step costs a few word operations whatever the
// length of `mot` (1 to 64 symbols).
class LigneBits {
public:
    struct Etat {
        uint64_t vp, vn;
        uint32_t score;  // D[k][m]
    };
    LigneBits(std::u32string_view mot, size_t alphabet) : m_(uint32_t(mot.size())), egaux_(alphabet + 1, 0) {
        for (size_t j = 0; j < mot.size(); ++j) {
            egaux_[mot[j]] |= uint64_t(1) << j;
            par_classe_[mot[j] % 64] |= uint64_t(1) << j;
            classes_ |= uint64_t(1) << (mot[j] % 64);
        }
        for (size_t c = 0; c < 64; ++c)
            if (par_classe_[c]) sauf_dernier_[c] = par_classe_[c] & ~(uint64_t(1) << (63 - std::countl_zero(par_classe_[c])));
    }
    uint32_t longueur() const { return m_; }
    Etat depart() const { return {sous(m_), 0, m_}; }
    Etat avancer(const Etat &e, char32_t c) const {
        const uint64_t eq = egaux_[c], xv = eq | e.vn;
        const uint64_t xh = (((eq & e.vp) + e.vp) ^ e.vp) | eq;
        uint64_t hp = e.vn | ~(xh | e.vp), hn = e.vp & xh;
        const uint64_t haut = uint64_t(1) << (m_ - 1);
        const uint32_t score = e.score + ((hp & haut) != 0) - ((hn & haut) != 0);
        // D[k][0] = k: the first cell of every row is one more than the one above it.
        hp = hp << 1 | 1;
        hn <<= 1;
        return {(hn | ~(xv | hp)) & sous(m_), hp & xv, score};
    }
    uint32_t distance(const Etat &e) const { return e.score; }
    uint32_t valeur(const Etat &e, size_t k, uint32_t j) const {  // D[k][j]
        return uint32_t(int64_t(k) + bits(e.vp & sous(j)) - bits(e.vn & sous(j)));
    }
    // A lower bound of D[k][j] over j in [a, b]: D[k][a] less the decreases after it.
    uint32_t minimum(const Etat &e, size_t k, uint32_t a, uint32_t b) const {
        const uint64_t avant = sous(a), entre = sous(b) & ~avant;
        const int64_t da = int64_t(k) + bits(e.vp & avant) - bits(e.vn & avant);
        return uint32_t(std::max<int64_t>(0, da - bits(e.vn & entre)));
    }
    // The positions of `mot` whose symbol is missing below a node, from those missing
    // below its parent and the classes present below the parent and not below it.
    // A class that no word below holds twice leaves all its positions but the last one
    // missing too: whatever follows a column, one of them at most is matched.
    uint64_t absents(uint64_t absents_parent, uint64_t perdues, uint64_t perdues_deux) const {
        for (perdues &= classes_; perdues; perdues &= perdues - 1)
            absents_parent |= par_classe_[std::countr_zero(perdues)];
        for (perdues_deux &= classes_; perdues_deux; perdues_deux &= perdues_deux - 1)
            absents_parent |= sauf_dernier_[std::countr_zero(perdues_deux)];
        return absents_parent;
    }
    // A lower bound of D[k][j] + (positions from j on in `absents`) over every j: each
    // of those positions costs an edit in what follows. The sum ends at score and,
    // going backwards, falls only where the row rises at a position not absent.
    uint32_t minimum_manque(const Etat &e, uint64_t absents) const {
        return uint32_t(std::max<int64_t>(0, int64_t(e.score) - bits(e.vp & ~absents)));
    }

private:
    static uint64_t sous(uint32_t j) { return j >= 64 ? ~uint64_t(0) : (uint64_t(1) << j) - 1; }
    uint32_t m_;
    uint64_t classes_ = 0, par_classe_[64] = {};  // the classes of `mot`, its positions by class
    uint64_t sauf_dernier_[64] = {};              // the same but the last of each class
    std::vector<uint64_t> egaux_;                 // by symbol rank, the positions of `mot` that hold it
};

// The same rows written out, for a `mot` of any length.
class LigneTable {
public:
    using Etat = std::vector<uint32_t>;
    explicit LigneTable(std::u32string_view mot) : mot_(mot) {}
    uint32_t longueur() const { return uint32_t(mot_.size()); }
    Etat depart() const {
        Etat e(mot_.size() + 1);
        for (size_t j = 0; j <= mot_.size(); ++j) e[j] = uint32_t(j);
        return e;
    }
    Etat avancer(const Etat &haut, char32_t c) const {
        Etat bas(haut.size());
        bas[0] = haut[0] + 1;
        for (size_t j = 1; j <= mot_.size(); ++j)
            bas[j] = std::min({haut[j] + 1, bas[j - 1] + 1, haut[j - 1] + (mot_[j - 1] != c)});
        return bas;
    }
    uint32_t distance(const Etat &e) const { return e.back(); }
    uint32_t valeur(const Etat &e, size_t, uint32_t j) const { return e[j]; }
    uint32_t minimum(const Etat &e, size_t, uint32_t a, uint32_t b) const {
        return *std::min_element(e.begin() + a, e.begin() + b + 1);
    }
    // Long words are rare enough to go without the bound of the missing symbols.
    uint64_t absents(uint64_t, uint64_t, uint64_t) const { return 0; }
    uint32_t minimum_manque(const Etat &, uint64_t) const { return 0; }

private:
    std::u32string_view mot_;
};

// The least distance between `mot` and a word of length in [lmin, lmax] that starts
// with the prefix of depth k whose row is `e`. Its alignment leaves row k at some
// column j, and what remains costs at least the difference of the remaining lengths;
// outside the columns where that can be 0 it grows by one per column while the row
// falls by at most one, so the minimum of the row over those columns bounds it.
template <class Ligne>
uint32_t borne_longueurs(const Ligne &ligne, const typename Ligne::Etat &e, size_t k, uint32_t lmin, uint32_t lmax) {
    const int64_t m = ligne.longueur(), reste_min = int64_t(lmin) - int64_t(k), reste_max = int64_t(lmax) - int64_t(k);
    if (reste_min > m) return uint32_t(lmin - m);
    return ligne.minimum(e, k, uint32_t(std::max<int64_t>(0, m - reste_max)), uint32_t(m - reste_min));
}

// Distance from a word (as ranks) to the `mot` of a row.
template <class Ligne>
uint32_t distance_par(const Ligne &ligne, std::u32string_view w) {
    typename Ligne::Etat e = ligne.depart();
    for (char32_t c : w) e = ligne.avancer(e, c);
    return ligne.distance(e);
}

}  // namespace

size_t distance_levenshtein(std::u32string_view a, std::u32string_view b) {
    std::vector<size_t> ligne(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) ligne[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diag = ligne[0];
        ligne[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            size_t haut = ligne[j];
            ligne[j] = std::min({haut + 1, ligne[j - 1] + 1, diag + (a[i - 1] != b[j - 1])});
            diag = haut;
        }
    }
    return ligne[b.size()];
}

void ArbreVoisinage::Trie::construire(const std::vector<Chaine> &mots) {
    noeuds.assign(1, Noeud{});
    comptes.assign(1, 0);
    fins.assign(1, AUCUN);
    longueur_max = 0;
    for (const Chaine &w : mots) longueur_max = std::max(longueur_max, uint32_t(w.size()));
    // The children of a node are allocated together, and the blocks in depth-first
    // order, so that a subtree lies in one stretch of memory: the searches walk
    // subtrees. Each task is a node and the range of sorted words sharing its prefix.
    struct Tache {
        uint32_t noeud, lo, hi, profondeur;
    };
    std::vector<Tache> pile{{0, 0, uint32_t(mots.size()), 0}};
    std::vector<Tache> enfants_de;
    while (!pile.empty()) {
        Tache tache = pile.back();
        pile.pop_back();
        uint32_t lo = tache.lo, p = tache.profondeur;
        Noeud &nd = noeuds[tache.noeud];
        comptes[tache.noeud] = tache.hi - tache.lo;
        uint32_t mn = UINT32_MAX, mx = 0;
        for (uint32_t i = tache.lo; i < tache.hi; ++i) {
            mn = std::min<uint32_t>(mn, uint32_t(mots[i].size()));
            mx = std::max<uint32_t>(mx, uint32_t(mots[i].size()));
        }
        nd.lmin = uint16_t(std::min(tache.hi > tache.lo ? mn : 0, SATURE));
        nd.lmax_ = uint16_t(std::min(mx, SATURE));
        if (lo < tache.hi && mots[lo].size() == p) fins[tache.noeud] = lo++;  // sorts first
        nd.premier = uint32_t(noeuds.size());
        enfants_de.clear();
        for (uint32_t i = lo; i < tache.hi;) {
            char32_t c = mots[i][p];
            uint32_t j = i + 1;
            while (j < tache.hi && mots[j][p] == c) ++j;
            enfants_de.push_back({uint32_t(noeuds.size()), i, j, p + 1});
            noeuds.push_back(Noeud{});  // `nd` is not used past this point
            comptes.push_back(0);
            fins.push_back(AUCUN);
            noeuds.back().symbole = c;
            i = j;
        }
        noeuds[tache.noeud].nb_enfants = uint32_t(enfants_de.size());
        pile.insert(pile.end(), enfants_de.rbegin(), enfants_de.rend());  // first child next
    }
    // Children come after their parent: one backward sweep gathers the symbols below.
    for (size_t i = noeuds.size(); i-- > 0;) {
        Noeud &nd = noeuds[i];
        for (uint32_t e = nd.premier; e < nd.premier + nd.nb_enfants; ++e) {
            const uint64_t classe = uint64_t(1) << (noeuds[e].symbole % 64);
            nd.deux |= noeuds[e].deux | (noeuds[e].dessous & classe);
            nd.dessous |= noeuds[e].dessous | classe;
        }
    }
}

uint32_t ArbreVoisinage::Trie::enfant(uint32_t noeud, char32_t c) const {
    const Noeud *debut = noeuds.data() + noeuds[noeud].premier;
    const Noeud *fin = debut + noeuds[noeud].nb_enfants;
    const Noeud *it = std::lower_bound(debut, fin, c, [](const Noeud &n, char32_t x) { return n.symbole < x; });
    return it == fin || it->symbole != c ? AUCUN : uint32_t(it - noeuds.data());
}

void ArbreVoisinage::construire(std::vector<Chaine> mots) {
    for (const Chaine &w : mots) alphabet_.insert(alphabet_.end(), w.begin(), w.end());
    std::sort(alphabet_.begin(), alphabet_.end());
    alphabet_.erase(std::unique(alphabet_.begin(), alphabet_.end()), alphabet_.end());
    // Ranks keep the order of the symbols, so the ids follow the order of the words.
    for (Chaine &w : mots) w = en_rangs(w);
    std::sort(mots.begin(), mots.end());
    mots.erase(std::unique(mots.begin(), mots.end()), mots.end());
    mots_ = std::move(mots);
    avant_.construire(mots_);
    // The same words read backwards, each numbered as in mots_.
    std::vector<std::pair<Chaine, uint32_t>> inverses;
    inverses.reserve(mots_.size());
    for (uint32_t id = 0; id < mots_.size(); ++id) inverses.emplace_back(Chaine(mots_[id].rbegin(), mots_[id].rend()), id);
    std::sort(inverses.begin(), inverses.end());
    std::vector<Chaine> tries;
    tries.reserve(inverses.size());
    id_arriere_.clear();
    for (auto &[inv, id] : inverses) {
        tries.push_back(std::move(inv));
        id_arriere_.push_back(id);
    }
    arriere_.construire(tries);
    construire_par_longueur();
}

void ArbreVoisinage::construire_par_longueur() {
    ParLongueur &p = par_longueur_;
    if (alphabet_.size() >= UINT16_MAX) return;
    p.nombre.assign(avant_.longueur_max + 1, 0);
    for (const Chaine &w : mots_) p.nombre[w.size()]++;
    p.debut.assign(p.nombre.size(), 0);
    size_t taille = 0;
    for (size_t l = 0; l < p.nombre.size(); ++l) {
        p.debut[l] = taille;
        taille += (p.nombre[l] + LARGEUR_BLOC - 1) / LARGEUR_BLOC * LARGEUR_BLOC * l;
    }
    p.symboles.assign(taille, uint16_t(alphabet_.size()));
    std::vector<uint32_t> places(p.nombre.size(), 0);
    for (const Chaine &w : mots_) {
        const size_t l = w.size(), k = places[l]++;
        uint16_t *s = p.symboles.data() + p.debut[l] + k / LARGEUR_BLOC * LARGEUR_BLOC * l + k % LARGEUR_BLOC;
        for (size_t i = 0; i < l; ++i) s[LARGEUR_BLOC * i] = uint16_t(w[i]);
    }
}

ArbreVoisinage::Chaine ArbreVoisinage::en_rangs(Vue mot) const {
    Chaine res(mot.size(), 0);
    for (size_t i = 0; i < mot.size(); ++i) {
        auto it = std::lower_bound(alphabet_.begin(), alphabet_.end(), mot[i]);
        res[i] = it != alphabet_.end() && *it == mot[i] ? char32_t(it - alphabet_.begin()) : char32_t(alphabet_.size());
    }
    return res;
}

ArbreVoisinage::Chaine ArbreVoisinage::mot(uint32_t id) const {
    Chaine res;
    for (char32_t r : mots_[id]) res += alphabet_[r];
    return res;
}

uint32_t ArbreVoisinage::trouver(Vue texte) const {
    uint32_t noeud = 0;
    for (char32_t c : en_rangs(texte)) {
        noeud = avant_.enfant(noeud, c);
        if (noeud == AUCUN) return AUCUN;
    }
    return avant_.fins[noeud];
}

// `f` called with the rows of `mot` (as ranks) suited to its length.
template <class F>
auto ArbreVoisinage::avec_ligne(Vue mot, F &&f) const {
    if (!mot.empty() && mot.size() <= 64) return f(LigneBits(mot, alphabet_.size()));
    return f(LigneTable(mot));
}

// Depth-first walk of a trie with the row of the edit-distance table at each depth of
// the path. A branch is left as soon as no word below can come within the limit (the
// row, the lengths below and the symbols below bound what is left).
//
// The walk also asks that some prefix of the candidate be within d_moitie of mot[:h]:
// a node is "libre" once its own prefix is, and until then a branch is left as soon as
// no prefix below can be. Only words reached libre are reported to `trouve`, which
// answers true to stop the walk (the walk then answers false).
//
// Near the path of `mot` the child that follows `mot` is tried first, so that close
// words come early when the caller stops after a number of them.
//
// `limite` (at most d, read again at every node) may be lowered by `trouve` as the
// walk goes: branches are then left at the lower bound and words beyond it are no
// longer reported, while whether a node is libre never depends on when it is reached.
//
// A kept node waits on a stack, its children asked from memory meanwhile.
template <class Ligne, class F>
bool ArbreVoisinage::parcourir(const Trie &t, const Ligne &ligne, Vue mot, uint32_t d, const uint32_t &limite,
                               size_t h, uint32_t d_moitie, F &&trouve) const {
    const size_t m = mot.size();
    // A word deeper than m + d is further than d: rows beyond that depth are never needed.
    const size_t profondeur_max = std::min<size_t>(t.longueur_max, m + d) + 1;
    const bool racine_libre = h <= d_moitie;
    if (t.fins[0] != AUCUN && m <= d && racine_libre &&
        trouve(t.fins[0], uint32_t(m)))
        return false;
    // A kept node: what its children are tested against, and the bound it was kept at.
    struct Garde {
        typename Ligne::Etat e;
        uint64_t dessous, deux, absents;
        uint32_t noeud, premier, nb, k, borne;
        bool libre, chemin;  // chemin: the node spells the beginning of `mot`
    };
    const Noeud &racine = t.noeuds[0];
    std::vector<Garde> pile{{ligne.depart(), racine.dessous, racine.deux, ligne.absents(0, ~racine.dessous, ~racine.deux),
                             0, racine.premier, racine.nb_enfants, 0, 0, racine_libre, true}};
    while (!pile.empty()) {
        const Garde g = std::move(pile.back());
        pile.pop_back();
        if (g.borne > limite) continue;  // the limit fell since
        const size_t k = g.k + 1;        // depth of the children
        // Children in the order: the one that follows `mot` (rang 0), then the others.
        const uint32_t suivant = g.chemin && g.k < m ? t.enfant(g.noeud, mot[g.k]) : AUCUN;
        const uint32_t prefere = suivant == AUCUN ? g.nb : suivant - g.premier;
        const size_t gardes = pile.size();
        for (uint32_t r = 0; r <= g.nb; ++r) {
            if (r == 0 ? prefere == g.nb : r - 1 == prefere) continue;
            const uint32_t noeud = g.premier + (r == 0 ? prefere : r - 1);
            const Noeud &nd = t.noeuds[noeud];
            typename Ligne::Etat e = ligne.avancer(g.e, nd.symbole);
            const bool libre = g.libre || ligne.valeur(e, k, uint32_t(h)) <= d_moitie;
            if (ligne.distance(e) <= limite && libre && t.fins[noeud] != AUCUN && trouve(t.fins[noeud], ligne.distance(e)))
                return false;
            if (nd.nb_enfants == 0 || k + 1 >= profondeur_max ||
                (!libre && ligne.minimum(e, k, 0, uint32_t(h)) > d_moitie))
                continue;
            const uint32_t lmin = std::max(uint32_t(nd.lmin), uint32_t(k + 1)), lmax = t.lmax(nd);
            const uint32_t borne = borne_longueurs(ligne, e, k, lmin, lmax);
            if (borne > limite) continue;
            // Asked here, the children's lines overlap the work on the other bounds.
            const char *bloc = reinterpret_cast<const char *>(t.noeuds.data() + nd.premier);
            for (const char *l = bloc; l < bloc + sizeof(Noeud) * nd.nb_enfants; l += 64) precharger(l);
            const uint64_t absents = ligne.absents(g.absents, g.dessous & ~nd.dessous, g.deux & ~nd.deux);
            const uint32_t manque = ligne.minimum_manque(e, absents);
            if (manque > limite) continue;
            pile.push_back({std::move(e), nd.dessous, nd.deux, absents, noeud, nd.premier, nd.nb_enfants, uint32_t(k),
                            std::max(borne, manque), libre, g.chemin && r == 0});
        }
        // The first kept comes out first: its lines were asked first.
        std::reverse(pile.begin() + std::ptrdiff_t(gardes), pile.end());
    }
    return true;
}

// Whether some prefix of `c` is within d_moitie of mot[:h].
static bool debut_proche(std::u32string_view c, std::u32string_view debut, uint32_t d_moitie) {
    const LigneTable ligne(debut);
    LigneTable::Etat e = ligne.depart();
    for (size_t i = 0;; e = ligne.avancer(e, c[i++])) {
        if (ligne.distance(e) <= d_moitie) return true;
        // The least of a row never falls from one row to the next.
        if (i == c.size() || ligne.minimum(e, i, 0, ligne.longueur()) > d_moitie) return false;
    }
}

// Split an optimal alignment of a word within d of `mot` at the middle of `mot`: the
// two halves cost at most d together, so the first costs at most (d - 1) / 2 or the
// second at most the rest of d - 1. One walk of the trie asks the first of these, a
// second walk of the reversed trie asks the second and skips what the first found:
// neither walk meets the crowd of short prefixes that are all within d of something.
// Past 2d = m + 1 (m the length of `mot`), each half is allowed about as many edits as it
// has symbols, which keeps nearly every branch: one plain walk is then cheaper. `compter`
// is called once for each word within `limite` (and maybe for some further, up to d)
// and answers true to stop; the search then answers false.
template <class F>
bool ArbreVoisinage::chercher_moities(Vue mot, uint32_t d, const uint32_t &limite, F &&compter) const {
    const size_t m = mot.size(), h = m >= 2 && 2 * d <= m + 1 ? m / 2 : 0;
    // Both halves further than these would make d + 1 at least.
    const uint32_t d_debut = (d - 1) / 2;
    auto premiere = [&](const auto &ligne) {
        return parcourir(avant_, ligne, mot, d, limite, h, h == 0 ? d : d_debut, compter);
    };
    if (!avec_ligne(mot, premiere)) return false;
    if (h == 0) return true;  // the first walk asked nothing of the first half
    // What the first walk left has a first half beyond d_debut, so a second half within
    // what remains of the limit as it now stands.
    if (limite <= d_debut) return true;
    const uint32_t d2 = std::min(d, limite), d_fin = d2 - 1 - d_debut;
    const Chaine inverse(mot.rbegin(), mot.rend());
    return avec_ligne(inverse, [&](const auto &ligne) {
        return parcourir(arriere_, ligne, inverse, d2, limite, m - h, d_fin, [&](uint32_t fin, uint32_t dist) {
            const uint32_t id = id_arriere_[fin];
            if (debut_proche(mots_[id], mot.substr(0, h), d_debut)) return false;  // found by the first walk
            return compter(id, dist);
        });
    });
}

// The two walks, counting in `hist` the words at each distance 0..d; stops after `arret`
// words other than `mot` (0: never) and then answers false.
bool ArbreVoisinage::chercher(Vue mot, uint32_t d, size_t arret, std::vector<uint64_t> &hist,
                              std::vector<uint32_t> *ids) const {
    hist.assign(d + 1, 0);
    size_t trouves = 0;
    auto compter = [&](uint32_t id, uint32_t dist) {
        hist[dist]++;
        if (dist == 0) return false;
        if (ids) ids->push_back(id);
        return arret > 0 && ++trouves >= arret;
    };
    return chercher_moities(mot, d, d, compter);
}

std::optional<double> ArbreVoisinage::distance_moyenne(Vue texte, size_t n, unsigned fils) const {
    if (mots_.empty() || n == 0) return std::nullopt;
    const Chaine mot = en_rangs(texte);
    // Beyond this bound every word is within reach.
    const uint32_t d_max = uint32_t(std::max<size_t>(mot.size(), avant_.longueur_max));
    std::vector<uint64_t> hist;
    // Words closer than d, all counted by the last complete search (fewer than n).
    uint64_t avant = 0, somme_avant = 0;
    // No word is nearer than the difference of lengths: a very long pseudoword starts
    // its search there rather than climbing from 1.
    const Noeud &racine = avant_.noeuds[0];
    const uint32_t d0 = std::max<uint32_t>(1, ecart(int64_t(mot.size()), racine.lmin, avant_.longueur_max));
    // Past the first distances, where most words find their n closest cheaply, the words
    // next to `mot` in sorted order bound the n-th distance: one search below that bound
    // replaces the rest of the climb, which walks the trie again for every distance.
    std::optional<uint32_t> plafond;
    for (uint32_t d = d0;; ++d) {
        // The reading costs the same for any limit: a search that will read need not climb.
        if (plafond && (d >= d0 + PAS_AVANT_PLAFOND || par_lecture(mot.size(), *plafond - 1)))
            return moyenne_sous_plafond(mot, n, *plafond, d0, fils);
        if (!chercher(mot, d, n, hist, nullptr)) {
            // n words within d, and exactly `avant` within d - 1: the rest of the n
            // closest are at distance d.
            return double(somme_avant + (n - avant) * d) / double(n);
        }
        if (d >= d_max) return moyenne_des_premiers(hist, n);
        avant = somme_avant = 0;
        for (size_t i = 1; i < hist.size(); ++i) avant += hist[i], somme_avant += hist[i] * i;
        if (d == d0 + 1) plafond = borne_par_voisins_tries(mot, n);
        // Fewer than n within d and n within d + 1: the climb need not walk d + 1.
        if (plafond && *plafond == d + 1) return double(somme_avant + (n - avant) * (d + 1)) / double(n);
    }
}

std::optional<uint32_t> ArbreVoisinage::borne_par_voisins_tries(Vue mot, size_t n) const {
    if (mots_.size() <= n) return std::nullopt;
    // n words on either side of where `mot` sorts, among the words and among the words
    // read backwards: those sharing a beginning or an end with it.
    std::vector<uint32_t> ids;
    auto autour = [&](size_t pos, auto &&id_de) {
        for (size_t i = pos >= n ? pos - n : 0; i < std::min(mots_.size(), pos + n + 1); ++i) ids.push_back(id_de(i));
    };
    const size_t pos = size_t(std::lower_bound(mots_.begin(), mots_.end(), mot) - mots_.begin());
    autour(pos, [](size_t i) { return uint32_t(i); });
    auto avant_inverse = [&](uint32_t id, Vue x) {
        return std::lexicographical_compare(mots_[id].rbegin(), mots_[id].rend(), x.rbegin(), x.rend());
    };
    const size_t pos_inv =
        size_t(std::lower_bound(id_arriere_.begin(), id_arriere_.end(), mot, avant_inverse) - id_arriere_.begin());
    autour(pos_inv, [&](size_t i) { return id_arriere_[i]; });
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::vector<uint32_t> distances;
    avec_ligne(mot, [&](const auto &ligne) {
        for (uint32_t id : ids)
            if (mots_[id] != mot) distances.push_back(distance_par(ligne, mots_[id]));
    });
    if (distances.size() < n) return std::nullopt;
    std::nth_element(distances.begin(), distances.begin() + std::ptrdiff_t(n - 1), distances.end());
    return distances[n - 1];
}

namespace {

std::atomic<int> mode_balayage_{0};

}  // namespace

int mode_balayage() noexcept { return mode_balayage_.load(std::memory_order_relaxed); }
void regler_mode_balayage(int mode) noexcept { mode_balayage_.store(mode, std::memory_order_relaxed); }

bool ArbreVoisinage::par_lecture(size_t m, uint32_t d) const {
    const int mode = mode_balayage();
    if (m < 1 || m > 32 || par_longueur_.debut.empty() || mode < 0) return false;
    if (mode > 0) return true;
    // A `mot` allowed many edits keeps most branches within reach: past a few symbols
    // the trie then costs more than reading every word, which the cores share (two at
    // most: the caller starts each thread, at tens of microseconds apiece, for a search
    // of a few tenths of a millisecond). The AVX-512 kernel reads a word in a quarter (up
    // to 16 symbols) to a half of the AVX2 one's time, and wins from five edits on, past
    // 7 symbols. With AVX2, the trie holds up to about half the symbols (or seven edits
    // from 15 symbols on).
    switch (noyau_de_lecture(mode)) {
        case Noyau::avx512: return m >= 8 && d >= 5;
        case Noyau::avx2: return m >= 9 && (2 * d >= m + 2 || (m >= 15 && (2 * d + 1 >= m || d >= 7)));
        case Noyau::simple: return false;
    }
    return false;
}

double ArbreVoisinage::moyenne_sous_plafond(Vue mot, size_t n, uint32_t plafond, uint32_t d0, unsigned fils) const {
    // No word is nearer than d0: the n within `plafond` are all at plafond.
    if (plafond <= d0) return double(plafond);
    const uint32_t d = plafond - 1;
    if (par_lecture(mot.size(), d))
        return moyenne_balayage(mot, n, plafond, std::min(fils, 2u), noyau_de_lecture(mode_balayage()));
    return moyenne_arbre(mot, n, d, d0);
}

Noyau ArbreVoisinage::noyau_de_lecture(int mode) const {
    if (mode == 2 || !avx2_actif()) return Noyau::simple;
    return mode != 3 && avx512_actif() && alphabet_.size() < SYMBOLES_AVX512 ? Noyau::avx512 : Noyau::avx2;
}

// One search below d whose limit falls to l as soon as n words lie within l + 1: what
// lies beyond then no longer counts, and every word within the last limit is counted.
double ArbreVoisinage::moyenne_arbre(Vue mot, size_t n, uint32_t d, uint32_t d0) const {
    std::vector<uint64_t> hist(d + 2, 0);
    uint32_t limite = d;
    uint64_t dedans = 0;  // words counted within `limite`
    chercher_moities(mot, d, limite, [&](uint32_t, uint32_t dist) {
        if (dist == 0 || dist > limite) return false;
        hist[dist]++;
        for (++dedans; dedans >= n; --limite) dedans -= hist[limite];
        return limite < d0;  // nothing nearer than d0 is left to find
    });
    hist.resize(limite + 2);
    hist[limite + 1] = n;
    return *moyenne_des_premiers(hist, n);
}

namespace {

// The plain twin of the vector kernels: each word of each block in turn, through the
// same step on 32 bits.
void distances_lots(const LotDistances &lot, Noyau noyau) {
#ifdef BRIVANE_AVX2
    if (noyau == Noyau::avx512) return distances_lots_avx512(lot);
    if (noyau == Noyau::avx2) return distances_lots_avx2(lot);
#else
    (void)noyau;
#endif
    const uint32_t m = lot.m, masque = m >= 32 ? UINT32_MAX : (1u << m) - 1, haut = 1u << (m - 1);
    for (size_t b = 0; b < lot.blocs; ++b) {
        lot.proches[b] = 0;
        for (uint32_t l = 0; l < LARGEUR_BLOC; ++l) {
            uint32_t vp = masque, vn = 0, score = m;
            for (uint32_t i = 0; i < lot.n; ++i) {
                const uint32_t eq = lot.egaux[lot.symboles[(b * lot.n + i) * LARGEUR_BLOC + l]], xv = eq | vn;
                const uint32_t xh = (((eq & vp) + vp) ^ vp) | eq;
                uint32_t hp = vn | ~(xh | vp), hn = vp & xh;
                score += ((hp & haut) != 0) - ((hn & haut) != 0);
                hp = hp << 1 | 1;
                hn <<= 1;
                vp = (hn | ~(xv | hp)) & masque;
                vn = hp & xv;
            }
            lot.distances[b * LARGEUR_BLOC + l] = score;
            if (score > 0 && score < lot.limite) lot.proches[b] |= uint32_t(1) << l;
        }
    }
}

}  // namespace

double ArbreVoisinage::moyenne_balayage(Vue mot, size_t n, uint32_t plafond, unsigned fils, Noyau noyau) const {
    const uint32_t m = uint32_t(mot.size());
    // Every rank and the one past the alphabet; the AVX-512 kernel reads a whole table.
    std::vector<uint32_t> egaux(std::max<size_t>(alphabet_.size() + 1, SYMBOLES_AVX512), 0);
    for (uint32_t j = 0; j < m; ++j) egaux[mot[j]] |= uint32_t(1) << j;
    // Slices of the lengths, the nearest to m first. A word is at least as far as the
    // difference of lengths, and at `plafond` stand n words: only words nearer count.
    struct Tranche {
        uint32_t longueur, ecart;
        size_t bloc, blocs;
    };
    std::vector<Tranche> tranches;
    constexpr size_t BLOCS = 16;
    for (uint32_t ecart = 0; ecart < plafond; ++ecart) {
        const int64_t longueurs[2] = {int64_t(m) - ecart, int64_t(m) + ecart};
        for (int64_t l : std::span(longueurs, ecart == 0 ? 1 : 2)) {
            if (l < 1 || l >= int64_t(par_longueur_.nombre.size())) continue;
            const size_t blocs = (par_longueur_.nombre[size_t(l)] + LARGEUR_BLOC - 1) / LARGEUR_BLOC;
            for (size_t b = 0; b < blocs; b += BLOCS) tranches.push_back({uint32_t(l), ecart, b, std::min(BLOCS, blocs - b)});
        }
    }
    // By distance, the words found nearer than `plafond`, one count a thread; n more stand
    // at plafond, as good as any word found there.
    std::vector<std::vector<uint64_t>> hists(fils, std::vector<uint64_t>(plafond + 1, 0));
    for (auto &h : hists) h[plafond] = n;
    std::atomic<size_t> prochaine{0};
    std::atomic<unsigned> place{0};
    auto travail = [&] {
        std::vector<uint64_t> &hist = hists[place.fetch_add(1)];
        std::vector<uint32_t> distances(BLOCS * LARGEUR_BLOC), proches(BLOCS);
        uint32_t nieme = plafond;  // the n-th of this thread's distances
        for (size_t t; (t = prochaine.fetch_add(1)) < tranches.size();) {
            const Tranche &tr = tranches[t];
            // The slices come by difference of lengths: none further can come nearer.
            if (tr.ecart >= nieme) return;
            const uint32_t l = tr.longueur;
            // A word at nieme or beyond changes nothing: n words already lie within nieme.
            distances_lots({par_longueur_.symboles.data() + par_longueur_.debut[l] + tr.bloc * LARGEUR_BLOC * l, l,
                            tr.blocs, egaux.data(), m, nieme, distances.data(), proches.data()},
                           noyau);
            // The last block's lanes past the words hold filler.
            const size_t mots = std::min<size_t>(tr.blocs * LARGEUR_BLOC, par_longueur_.nombre[l] - tr.bloc * LARGEUR_BLOC);
            if (mots % LARGEUR_BLOC) proches[tr.blocs - 1] &= (uint32_t(1) << mots % LARGEUR_BLOC) - 1;
            for (size_t b = 0; b < tr.blocs; ++b)
                for (uint32_t bits = proches[b]; bits; bits &= bits - 1)
                    hist[distances[b * LARGEUR_BLOC + size_t(std::countr_zero(bits))]]++;
            uint64_t avant = 0;
            for (nieme = 1; avant + hist[nieme] < n; ++nieme) avant += hist[nieme];
        }
    };
    plateforme::sur_plusieurs_fils(fils, travail);
    for (size_t f = 1; f < hists.size(); ++f)
        for (uint32_t i = 1; i < plafond; ++i) hists[0][i] += hists[f][i];
    return *moyenne_des_premiers(hists[0], n);
}

std::optional<double> ArbreVoisinage::distance_moyenne_simple(Vue texte, size_t n) const {
    const Chaine mot = en_rangs(texte);
    std::vector<size_t> distances;
    for (const Chaine &w : mots_)
        if (w != mot) distances.push_back(distance_levenshtein(mot, w));
    if (distances.empty() || n == 0) return std::nullopt;
    std::sort(distances.begin(), distances.end());
    n = std::min(n, distances.size());
    size_t somme = 0;
    for (size_t i = 0; i < n; ++i) somme += distances[i];
    return double(somme) / double(n);
}

std::vector<uint32_t> ArbreVoisinage::voisins_substitution(Vue texte) const {
    const Chaine mot = en_rangs(texte);
    std::vector<uint32_t> res;
    const size_t m = mot.size();
    // Follow `mot` exactly, except at position i where every other child is tried.
    uint32_t noeud = 0;
    for (size_t i = 0; i < m; ++i) {
        if (avant_.noeuds[noeud].lmin > m || avant_.lmax(avant_.noeuds[noeud]) < m) break;
        uint32_t suivant = AUCUN;
        for (uint32_t e = avant_.noeuds[noeud].premier; e < avant_.noeuds[noeud].premier + avant_.noeuds[noeud].nb_enfants; ++e) {
            if (avant_.noeuds[e].symbole == mot[i]) {
                suivant = e;
                continue;
            }
            uint32_t v = e;
            for (size_t j = i + 1; j < m && v != AUCUN; ++j) v = avant_.enfant(v, mot[j]);
            if (v != AUCUN && avant_.fins[v] != AUCUN) res.push_back(avant_.fins[v]);
        }
        if (suivant == AUCUN) break;
        noeud = suivant;
    }
    std::sort(res.begin(), res.end());
    return res;
}

std::vector<uint32_t> ArbreVoisinage::voisins_substitution_simple(Vue texte) const {
    const Chaine mot = en_rangs(texte);
    std::vector<uint32_t> res;
    for (uint32_t id = 0; id < mots_.size(); ++id) {
        const Chaine &w = mots_[id];
        if (w.size() != mot.size()) continue;
        size_t diff = 0;
        for (size_t i = 0; i < w.size(); ++i) diff += w[i] != mot[i];
        if (diff == 1) res.push_back(id);
    }
    return res;
}

std::vector<uint32_t> ArbreVoisinage::voisins_levenshtein(Vue texte) const {
    const Chaine mot = en_rangs(texte);
    std::vector<uint32_t> ids;
    std::vector<uint64_t> hist;
    if (!mots_.empty()) chercher(mot, 1, 0, hist, &ids);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<uint32_t> ArbreVoisinage::voisins_levenshtein_simple(Vue texte) const {
    const Chaine mot = en_rangs(texte);
    std::vector<uint32_t> res;
    for (uint32_t id = 0; id < mots_.size(); ++id) {
        const Chaine &w = mots_[id];
        size_t ecart_longueur = w.size() > mot.size() ? w.size() - mot.size() : mot.size() - w.size();
        if (ecart_longueur <= 1 && distance_levenshtein(mot, w) == 1) res.push_back(id);
    }
    return res;
}

size_t ArbreVoisinage::point_unicite(Vue texte) const {
    const Chaine mot = en_rangs(texte);
    // The word itself, when it is in the lexicon, is below every node of its path.
    const size_t soi = trouver(texte) != AUCUN ? 1 : 0;
    uint32_t noeud = 0;
    for (size_t k = 0; k < mot.size(); ++k) {
        noeud = avant_.enfant(noeud, mot[k]);
        if (noeud == AUCUN) return k + 1;
        if (avant_.comptes[noeud] - soi == 0) return k + 1;
    }
    return mot.size() + 1;
}

size_t ArbreVoisinage::point_unicite_simple(Vue texte) const {
    const Chaine mot = en_rangs(texte);
    size_t commun = 0;
    for (const Chaine &w : mots_) {
        if (w == mot) continue;
        size_t i = 0;
        while (i < w.size() && i < mot.size() && w[i] == mot[i]) ++i;
        commun = std::max(commun, i);
    }
    return commun + 1;
}

RepertoireVoisinage::RepertoireVoisinage(const std::vector<std::string> &textes, bool phonemes)
    : phonemes_(phonemes) {
    std::vector<std::u32string> mots;
    mots.reserve(textes.size());
    std::vector<size_t> fins;
    for (const std::string &t : textes) {
        if (!phonemes_) {
            mots.emplace_back();
            decoder_utf8(t, mots.back());
            continue;
        }
        segmenter_ipa(t, fins);
        std::u32string code;
        size_t debut = 0;
        for (size_t f : fins) {
            std::string seg = t.substr(debut, f - debut);
            auto [it, nouveau] = numeros_.try_emplace(seg, char32_t(segments_.size()));
            if (nouveau) segments_.push_back(seg);
            code += it->second;
            debut = f;
        }
        mots.push_back(std::move(code));
    }
    arbre_ = ArbreVoisinage(std::move(mots));
}

std::u32string RepertoireVoisinage::coder(std::string_view texte) const {
    std::u32string code;
    if (!phonemes_) {
        decoder_utf8(texte, code);
        return code;
    }
    std::vector<size_t> fins;
    segmenter_ipa(texte, fins);
    std::unordered_map<std::string, char32_t> inconnus;  // numbered after the known ones
    size_t debut = 0;
    for (size_t f : fins) {
        std::string seg(texte.substr(debut, f - debut));
        auto it = numeros_.find(seg);
        if (it != numeros_.end()) {
            code += it->second;
        } else {
            auto [jt, nouveau] = inconnus.try_emplace(seg, char32_t(segments_.size() + inconnus.size()));
            code += jt->second;
        }
        debut = f;
    }
    return code;
}

std::string RepertoireVoisinage::texte(uint32_t id) const {
    std::string s;
    for (char32_t c : arbre_.mot(id)) {
        if (phonemes_) {
            s += segments_[c];
        } else {
            ajouter_utf8(s, c);
        }
    }
    return s;
}

namespace {

// Small batches keep the threads busy to the end: long words cost far more than short ones.
constexpr size_t LOT = 64;

// The threads that en_parallele gives nb targets out of `fils`.
unsigned fils_pour(size_t nb, unsigned fils) { return std::max(1u, std::min<unsigned>(fils, unsigned(nb / LOT + 1))); }

// The threads each target's search may share: those en_parallele leaves idle.
unsigned fils_par_cible(size_t nb, unsigned fils, bool simple) { return simple || fils_pour(nb, fils) > 1 ? 1 : fils; }

// Calls f(i) for every i < nb, on `fils` threads (the caller's one among them).
template <class F>
void en_parallele(size_t nb, unsigned fils, F &&f) {
    std::atomic<size_t> prochain{0};
    auto travailler = [&] {
        for (;;) {
            size_t debut = prochain.fetch_add(LOT);
            if (debut >= nb) return;
            for (size_t i = debut; i < std::min(nb, debut + LOT); ++i) f(i);
        }
    };
    plateforme::sur_plusieurs_fils(fils_pour(nb, fils), travailler);
}

}  // namespace

std::vector<std::optional<double>> distances_moyennes(const ArbreVoisinage &arbre,
                                                      const std::vector<std::u32string> &cibles, size_t n,
                                                      unsigned fils, bool simple) {
    std::vector<std::optional<double>> res(cibles.size());
    const unsigned par_cible = fils_par_cible(cibles.size(), fils, simple);
    en_parallele(cibles.size(), fils, [&](size_t i) {
        res[i] = simple ? arbre.distance_moyenne_simple(cibles[i], n) : arbre.distance_moyenne(cibles[i], n, par_cible);
    });
    return res;
}

std::vector<MesuresVoisinage> mesurer_voisinages(const ArbreVoisinage &arbre, const std::vector<std::u32string> &cibles,
                                                 size_t n, unsigned fils, bool simple) {
    std::vector<MesuresVoisinage> res(cibles.size());
    const unsigned par_cible = fils_par_cible(cibles.size(), fils, simple);
    en_parallele(cibles.size(), fils, [&](size_t i) {
        const std::u32string &c = cibles[i];
        MesuresVoisinage &m = res[i];
        if (simple) {
            m.distance = arbre.distance_moyenne_simple(c, n);
            m.voisins = arbre.voisins_substitution_simple(c).size();
            m.unicite = arbre.point_unicite_simple(c);
        } else {
            m.distance = arbre.distance_moyenne(c, n, par_cible);
            m.voisins = arbre.voisins_substitution(c).size();
            m.unicite = arbre.point_unicite(c);
        }
    });
    return res;
}

}  // namespace brivane
