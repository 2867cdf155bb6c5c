#include "voisinage.hpp"

#include "plateforme.hpp"
#include "texte.hpp"

#include <algorithm>
#include <atomic>

namespace brivane {

namespace {

// Symbols below a node, as a set of 64 classes: a class missing below means that every
// symbol of it is missing.
inline uint64_t bit_symbole(char32_t c) { return uint64_t(1) << (c % 64); }

// A distinct number below 64 for each single-bit word (multiplication by a de Bruijn
// sequence): indexes tables by class without counting trailing zeros, which has no
// portable spelling before C++20.
inline unsigned numero_bit(uint64_t bit) { return unsigned((bit * 0x03f79d71b4cb0a89ULL) >> 58); }

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
        nd.compte = tache.hi - tache.lo;
        uint32_t mn = UINT32_MAX, mx = 0;
        for (uint32_t i = tache.lo; i < tache.hi; ++i) {
            mn = std::min<uint32_t>(mn, uint32_t(mots[i].size()));
            mx = std::max<uint32_t>(mx, uint32_t(mots[i].size()));
        }
        nd.lmin = tache.hi > tache.lo ? mn : 0;
        nd.lmax = mx;
        if (lo < tache.hi && mots[lo].size() == p) nd.fin = lo++;  // sorts first
        nd.premier = uint32_t(noeuds.size());
        enfants_de.clear();
        for (uint32_t i = lo; i < tache.hi;) {
            char32_t c = mots[i][p];
            uint32_t j = i + 1;
            while (j < tache.hi && mots[j][p] == c) ++j;
            enfants_de.push_back({uint32_t(noeuds.size()), i, j, p + 1});
            noeuds.push_back(Noeud{});  // `nd` is not used past this point
            noeuds.back().symbole = c;
            i = j;
        }
        noeuds[tache.noeud].nb_enfants = uint32_t(enfants_de.size());
        pile.insert(pile.end(), enfants_de.rbegin(), enfants_de.rend());  // first child next
    }
    // Children come after their parent: one backward sweep gathers the symbols below.
    for (size_t i = noeuds.size(); i-- > 0;) {
        Noeud &nd = noeuds[i];
        for (uint32_t e = nd.premier; e < nd.premier + nd.nb_enfants; ++e)
            nd.dessous |= noeuds[e].dessous | bit_symbole(noeuds[e].symbole);
    }
}

uint32_t ArbreVoisinage::Trie::enfant(uint32_t noeud, char32_t c) const {
    const Noeud *debut = noeuds.data() + noeuds[noeud].premier;
    const Noeud *fin = debut + noeuds[noeud].nb_enfants;
    const Noeud *it = std::lower_bound(debut, fin, c, [](const Noeud &n, char32_t x) { return n.symbole < x; });
    return it == fin || it->symbole != c ? AUCUN : uint32_t(it - noeuds.data());
}

void ArbreVoisinage::construire(std::vector<Chaine> mots) {
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
}

uint32_t ArbreVoisinage::trouver(Vue mot) const {
    uint32_t noeud = 0;
    for (char32_t c : mot) {
        noeud = avant_.enfant(noeud, c);
        if (noeud == AUCUN) return AUCUN;
    }
    return avant_.noeuds[noeud].fin;
}

// Depth-first walk of a trie with one row of the edit-distance table per depth, each
// row kept to the band of cells that can stay within d; cells outside it read as d + 1.
// A branch is left as soon as no word below can come within d (the row, the lengths
// below and the symbols below bound what is left).
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
// walk goes: branches are then left at the lower bound, while the rows keep being
// exact up to d, so that whether a node is libre never depends on when it is reached.
template <class F>
bool ArbreVoisinage::parcourir(const Trie &t, Vue mot, uint32_t d, const uint32_t &limite, size_t h,
                               uint32_t d_moitie, std::vector<uint32_t> &lignes, F &&trouve) const {
    const int64_t m = int64_t(mot.size()), hh = int64_t(h);
    const size_t largeur = size_t(m) + 2;
    const uint32_t grand = d + 1;
    // A word deeper than m + d is further than d: rows beyond that depth are never needed.
    const size_t profondeur_max = std::min<size_t>(t.noeuds[0].lmax, size_t(m) + d) + 1;
    if (lignes.size() < profondeur_max * largeur) lignes.resize(profondeur_max * largeur);
    uint32_t *r0 = lignes.data();
    for (int64_t j = 0; j <= m; ++j) r0[j] = uint32_t(std::min<int64_t>(j, grand));
    const bool racine_libre = h <= d_moitie;
    if (t.noeuds[0].fin != AUCUN && r0[m] <= d && racine_libre && trouve(t.noeuds[0].fin, r0[m])) return false;
    // The positions of `mot` (the first 64) by class of their symbol, indexed by numero_bit.
    uint64_t positions[64] = {}, classes_mot = 0;
    for (size_t i = 0; i < mot.size() && i < 64; ++i) {
        positions[numero_bit(bit_symbole(mot[i]))] |= uint64_t(1) << i;
        classes_mot |= bit_symbole(mot[i]);
    }
    // The positions whose class is missing below a node; a child misses all those of
    // its parent, and those of the classes that the parent has below it and it has not.
    auto ajouter_absents = [&](uint64_t absents, uint64_t perdues) {
        for (perdues &= classes_mot; perdues; perdues &= perdues - 1)
            absents |= positions[numero_bit(perdues & (~perdues + 1))];
        return absents;
    };
    // Children of a node in the order: the preferred one (rang 0), then the others.
    struct Cadre {
        uint64_t dessous, absents;  // of the parent
        uint32_t premier, nb, prefere, rang;
        bool libre;
    };
    auto cadre = [&](uint32_t noeud, int64_t k, bool pres, bool libre, uint64_t absents) {
        const Noeud &nd = t.noeuds[noeud];
        uint32_t p = nd.nb_enfants;
        if (pres && k < m) {
            uint32_t e = t.enfant(noeud, mot[size_t(k)]);
            if (e != AUCUN) p = e - nd.premier;
        }
        return Cadre{nd.dessous, absents, nd.premier, nd.nb_enfants, p, p < nd.nb_enfants ? 0u : 1u, libre};
    };
    std::vector<Cadre> pile{cadre(0, 0, true, racine_libre, ajouter_absents(0, ~t.noeuds[0].dessous))};
    while (!pile.empty()) {
        Cadre &haut = pile.back();
        if (haut.rang > haut.nb) {
            pile.pop_back();
            continue;
        }
        const uint32_t r = haut.rang++;
        if (r > 0 && r - 1 == haut.prefere) continue;
        const uint32_t noeud = haut.premier + (r == 0 ? haut.prefere : r - 1);
        const Noeud &nd = t.noeuds[noeud];
        const int64_t k = int64_t(pile.size());  // depth of `noeud`
        const uint32_t *prec = lignes.data() + size_t(k - 1) * largeur;
        uint32_t *cour = lignes.data() + size_t(k) * largeur;
        const int64_t lo = std::max<int64_t>(0, k - d), hi = std::min<int64_t>(m, k + d);
        const char32_t c = nd.symbole;
        const int64_t reste_min = int64_t(nd.lmin) - k, reste_max = int64_t(nd.lmax) - k;
        // Positions of `mot` whose symbol no word below uses: each costs at least one edit.
        const uint64_t absents_ici = ajouter_absents(haut.absents, haut.dessous & ~nd.dessous);
        const uint64_t absents = lo < 64 ? absents_ici >> lo << lo : 0;
        uint32_t manque = 0;  // how many of them from position j on
        for (uint64_t x = absents; x; x &= x - 1) ++manque;
        uint32_t borne = grand, debut = grand;
        if (lo > 0) cour[lo - 1] = grand;
        for (int64_t j = lo; j <= hi; ++j) {
            uint32_t v = uint32_t(k);
            if (j > 0) v = std::min({prec[j] + 1, cour[j - 1] + 1, prec[j - 1] + (mot[size_t(j - 1)] != c ? 1u : 0u)});
            v = std::min(v, grand);
            cour[j] = v;
            borne = std::min(borne, v + std::max(manque, ecart(m - j, reste_min, reste_max)));
            if (j < 64 && (absents >> j & 1)) --manque;
            if (j <= hh) debut = std::min(debut, v);
        }
        if (hi < m) cour[hi + 1] = grand;
        const bool libre = haut.libre || (lo <= hh && hh <= hi && cour[hh] <= d_moitie);
        if (nd.fin != AUCUN && hi == m && cour[m] <= d && libre && trouve(nd.fin, cour[m])) return false;
        if (borne > limite || (!libre && debut > d_moitie) || nd.nb_enfants == 0 || size_t(k + 1) >= profondeur_max)
            continue;
        // Off the path of `mot`, the order of the children does not matter.
        pile.push_back(cadre(noeud, k, k < m && lo <= k && cour[k] <= 1, libre, absents_ici));
    }
    return true;
}

// Whether some prefix of `c` is within d_moitie of mot[:h].
static bool debut_proche(std::u32string_view c, std::u32string_view debut, uint32_t d_moitie) {
    std::vector<size_t> ligne(debut.size() + 1);
    for (size_t j = 0; j <= debut.size(); ++j) ligne[j] = j;
    if (ligne.back() <= d_moitie) return true;
    for (size_t i = 1; i <= c.size(); ++i) {
        size_t diag = ligne[0];
        ligne[0] = i;
        size_t mini = ligne[0];
        for (size_t j = 1; j <= debut.size(); ++j) {
            size_t haut = ligne[j];
            ligne[j] = std::min({haut + 1, ligne[j - 1] + 1, diag + (c[i - 1] != debut[j - 1])});
            diag = haut;
            mini = std::min(mini, ligne[j]);
        }
        if (ligne.back() <= d_moitie) return true;
        if (mini > d_moitie) return false;  // the row only grows from here
    }
    return false;
}

// Split an optimal alignment of a word within d of `mot` at the middle of `mot`: the
// two halves cost at most d together, so the first costs at most (d - 1) / 2 or the
// second at most the rest of d - 1. One walk of the trie asks the first of these, a
// second walk of the reversed trie asks the second and skips what the first found: neither walk meets the crowd of
// short prefixes that are all within d of something. `compter` is called once for each
// word within `limite` (and maybe for some further, up to d) and answers true to stop;
// the search then answers false.
template <class F>
bool ArbreVoisinage::chercher_moities(Vue mot, uint32_t d, const uint32_t &limite, std::vector<uint32_t> &lignes,
                                      F &&compter) const {
    const size_t m = mot.size(), h = m >= 2 ? m / 2 : 0;
    // Both halves further than these would make d + 1 at least.
    const uint32_t d_debut = (d - 1) / 2;
    if (!parcourir(avant_, mot, d, limite, h, h == 0 ? d : d_debut, lignes, compter)) return false;
    if (h == 0) return true;  // the first walk asked nothing of the first half
    // What the first walk left has a first half beyond d_debut, so a second half within
    // what remains of the limit as it now stands.
    if (limite <= d_debut) return true;
    const uint32_t d2 = std::min(d, limite), d_fin = d2 - 1 - d_debut;
    const Chaine inverse(mot.rbegin(), mot.rend());
    return parcourir(arriere_, inverse, d2, limite, m - h, d_fin, lignes, [&](uint32_t fin, uint32_t dist) {
        const uint32_t id = id_arriere_[fin];
        if (debut_proche(mots_[id], mot.substr(0, h), d_debut)) return false;  // found by the first walk
        return compter(id, dist);
    });
}

// The two walks, counting in `hist` the words at each distance 0..d; stops after `arret`
// words other than `mot` (0: never) and then answers false.
bool ArbreVoisinage::chercher(Vue mot, uint32_t d, size_t arret, std::vector<uint32_t> &lignes,
                              std::vector<uint64_t> &hist, std::vector<uint32_t> *ids) const {
    hist.assign(d + 1, 0);
    size_t trouves = 0;
    auto compter = [&](uint32_t id, uint32_t dist) {
        hist[dist]++;
        if (dist == 0) return false;
        if (ids) ids->push_back(id);
        return arret > 0 && ++trouves >= arret;
    };
    const uint32_t limite = d;
    return chercher_moities(mot, d, limite, lignes, compter);
}

std::optional<double> ArbreVoisinage::distance_moyenne(Vue mot, size_t n) const {
    if (mots_.empty() || n == 0) return std::nullopt;
    // Beyond this bound every word is within reach.
    const uint32_t d_max = uint32_t(std::max<size_t>(mot.size(), avant_.noeuds[0].lmax));
    std::vector<uint32_t> lignes;
    std::vector<uint64_t> hist;
    // Words closer than d, all counted by the last complete search (fewer than n).
    uint64_t avant = 0, somme_avant = 0;
    // No word is nearer than the difference of lengths: a very long pseudoword starts
    // its search there rather than climbing from 1.
    const Noeud &racine = avant_.noeuds[0];
    const uint32_t d0 = std::max<uint32_t>(1, ecart(int64_t(mot.size()), racine.lmin, racine.lmax));
    // Past the first distances, where most words find their n closest cheaply, the words
    // next to `mot` in sorted order bound the n-th distance: one search below that bound
    // replaces the rest of the climb, which walks the trie again for every distance.
    std::optional<uint32_t> plafond;
    for (uint32_t d = d0;; ++d) {
        if (plafond && d >= d0 + PAS_AVANT_PLAFOND) return moyenne_sous_plafond(mot, n, *plafond, d0);
        if (!chercher(mot, d, n, lignes, hist, nullptr)) {
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
    for (uint32_t id : ids)
        if (mots_[id] != mot) distances.push_back(uint32_t(distance_levenshtein(mot, mots_[id])));
    if (distances.size() < n) return std::nullopt;
    std::nth_element(distances.begin(), distances.begin() + std::ptrdiff_t(n - 1), distances.end());
    return distances[n - 1];
}

double ArbreVoisinage::moyenne_sous_plafond(Vue mot, size_t n, uint32_t plafond, uint32_t d0) const {
    // No word is nearer than d0: the n within `plafond` are all at plafond.
    if (plafond <= d0) return double(plafond);
    // Only words nearer than the known n-th distance can change the mean: the search
    // counts them, and each time n lie within its limit, lowers it by one.
    const uint32_t d = plafond - 1;
    uint32_t limite = d;
    std::vector<uint64_t> hist(d + 1, 0);
    uint64_t dedans = 0;  // words counted within `limite`
    std::vector<uint32_t> lignes;
    chercher_moities(mot, d, limite, lignes, [&](uint32_t, uint32_t dist) {
        if (dist == 0 || dist > limite) return false;
        hist[dist]++;
        for (++dedans; dedans >= n; --limite) dedans -= hist[limite];
        return limite < d0;  // nothing left to find
    });
    // Every word within `limite` is counted, and n lie within limite + 1.
    uint64_t somme = 0;
    for (uint32_t i = 1; i <= limite; ++i) somme += hist[i] * i;
    return double(somme + (n - dedans) * (limite + 1)) / double(n);
}

std::optional<double> ArbreVoisinage::distance_moyenne_simple(Vue mot, size_t n) const {
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

std::vector<uint32_t> ArbreVoisinage::voisins_substitution(Vue mot) const {
    std::vector<uint32_t> res;
    const size_t m = mot.size();
    // Follow `mot` exactly, except at position i where every other child is tried.
    uint32_t noeud = 0;
    for (size_t i = 0; i < m; ++i) {
        if (avant_.noeuds[noeud].lmin > m || avant_.noeuds[noeud].lmax < m) break;
        uint32_t suivant = AUCUN;
        for (uint32_t e = avant_.noeuds[noeud].premier; e < avant_.noeuds[noeud].premier + avant_.noeuds[noeud].nb_enfants; ++e) {
            if (avant_.noeuds[e].symbole == mot[i]) {
                suivant = e;
                continue;
            }
            uint32_t v = e;
            for (size_t j = i + 1; j < m && v != AUCUN; ++j) v = avant_.enfant(v, mot[j]);
            if (v != AUCUN && avant_.noeuds[v].fin != AUCUN) res.push_back(avant_.noeuds[v].fin);
        }
        if (suivant == AUCUN) break;
        noeud = suivant;
    }
    std::sort(res.begin(), res.end());
    return res;
}

std::vector<uint32_t> ArbreVoisinage::voisins_substitution_simple(Vue mot) const {
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

std::vector<uint32_t> ArbreVoisinage::voisins_levenshtein(Vue mot) const {
    std::vector<uint32_t> lignes, ids;
    std::vector<uint64_t> hist;
    if (!mots_.empty()) chercher(mot, 1, 0, lignes, hist, &ids);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::vector<uint32_t> ArbreVoisinage::voisins_levenshtein_simple(Vue mot) const {
    std::vector<uint32_t> res;
    for (uint32_t id = 0; id < mots_.size(); ++id) {
        const Chaine &w = mots_[id];
        size_t ecart_longueur = w.size() > mot.size() ? w.size() - mot.size() : mot.size() - w.size();
        if (ecart_longueur <= 1 && distance_levenshtein(mot, w) == 1) res.push_back(id);
    }
    return res;
}

size_t ArbreVoisinage::point_unicite(Vue mot) const {
    // The word itself, when it is in the lexicon, is below every node of its path.
    const size_t soi = trouver(mot) != AUCUN ? 1 : 0;
    uint32_t noeud = 0;
    for (size_t k = 0; k < mot.size(); ++k) {
        noeud = avant_.enfant(noeud, mot[k]);
        if (noeud == AUCUN) return k + 1;
        if (avant_.noeuds[noeud].compte - soi == 0) return k + 1;
    }
    return mot.size() + 1;
}

size_t ArbreVoisinage::point_unicite_simple(Vue mot) const {
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

// Calls f(i) for every i < nb, on `fils` threads (the caller's one among them).
template <class F>
void en_parallele(size_t nb, unsigned fils, F &&f) {
    std::atomic<size_t> prochain{0};
    // Small batches keep the threads busy to the end: long words cost far more than short ones.
    constexpr size_t LOT = 64;
    auto travailler = [&] {
        for (;;) {
            size_t debut = prochain.fetch_add(LOT);
            if (debut >= nb) return;
            for (size_t i = debut; i < std::min(nb, debut + LOT); ++i) f(i);
        }
    };
    fils = std::max(1u, std::min<unsigned>(fils, unsigned(nb / LOT + 1)));
    plateforme::sur_plusieurs_fils(fils, travailler);
}

}  // namespace

std::vector<std::optional<double>> distances_moyennes(const ArbreVoisinage &arbre,
                                                      const std::vector<std::u32string> &cibles, size_t n,
                                                      unsigned fils, bool simple) {
    std::vector<std::optional<double>> res(cibles.size());
    en_parallele(cibles.size(), fils, [&](size_t i) {
        res[i] = simple ? arbre.distance_moyenne_simple(cibles[i], n) : arbre.distance_moyenne(cibles[i], n);
    });
    return res;
}

std::vector<MesuresVoisinage> mesurer_voisinages(const ArbreVoisinage &arbre, const std::vector<std::u32string> &cibles,
                                                 size_t n, unsigned fils, bool simple) {
    std::vector<MesuresVoisinage> res(cibles.size());
    en_parallele(cibles.size(), fils, [&](size_t i) {
        const std::u32string &c = cibles[i];
        MesuresVoisinage &m = res[i];
        if (simple) {
            m.distance = arbre.distance_moyenne_simple(c, n);
            m.voisins = arbre.voisins_substitution_simple(c).size();
            m.unicite = arbre.point_unicite_simple(c);
        } else {
            m.distance = arbre.distance_moyenne(c, n);
            m.voisins = arbre.voisins_substitution(c).size();
            m.unicite = arbre.point_unicite(c);
        }
    });
    return res;
}

}  // namespace brivane
