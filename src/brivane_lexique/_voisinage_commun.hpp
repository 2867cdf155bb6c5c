// Neighbourhood measures seen from Python: reading lists of words, answering with str.
// Shared by module _voisinage (functions over a list) and the Lexique methods.
#pragma once

#include "_commun.hpp"
#include "voisinage.hpp"

#include <algorithm>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace brivane::py {

// The str of an iterable of str (a str alone is refused: it would be read as a list
// of letters).
inline nb::list mots_de(nb::handle mots, const char *nom) {
    if (PyUnicode_Check(mots.ptr())) erreur_type(nom, "list", mots.ptr());
    nb::object it = nb::steal(PyObject_GetIter(mots.ptr()));
    if (!it.is_valid()) {
        PyErr_Clear();
        erreur_type(nom, "list", mots.ptr());
    }
    nb::list res;
    while (PyObject *o = PyIter_Next(it.ptr())) {
        nb::object mot = nb::steal(o);
        exiger_str(mot, nom);
        res.append(mot);
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return res;
}

// Their UTF-8 texts.
inline std::vector<std::string> textes_de(nb::handle mots, const char *nom) {
    std::vector<std::string> res;
    for (nb::handle mot : mots_de(mots, nom)) res.emplace_back(utf8(mot.ptr()));
    return res;
}

// n of OLD-n / PLD-n: any number, truncated; at least 1.
inline size_t n_plus_proches(nb::handle n) {
    long long v = entier_arg(n, "n");
    if (v < 1) {
        PyErr_SetString(PyExc_ValueError, "n doit valoir au moins 1");
        throw nb::python_error();
    }
    return size_t(v);
}

// The threads a computation may take while the fast paths are on: the machine's cores.
inline unsigned fils_machine() { return std::max(1u, std::min(std::thread::hardware_concurrency(), 16u)); }

// `calcul(tranche, threads, plain)` over `cibles` one slice at a time, without the GIL,
// on the machine's cores while the fast paths are on; between slices, with the GIL,
// pending signals are honoured (Ctrl-C stops a whole-lexicon batch within a slice,
// and nothing is kept of it).
template <class F>
auto par_tranches(const std::vector<std::u32string> &cibles, F &&calcul) {
    constexpr size_t TRANCHE = 4096;
    const bool simple = !chemins_rapides();
    const unsigned fils = simple ? 1 : fils_machine();
    decltype(calcul(cibles, fils, simple)) res;
    res.reserve(cibles.size());
    for (size_t debut = 0; debut < cibles.size(); debut += TRANCHE) {
        const size_t fin = std::min(cibles.size(), debut + TRANCHE);
        std::vector<std::u32string> tranche(cibles.begin() + debut, cibles.begin() + fin);
        {
            nb::gil_scoped_release libre;
            auto r = calcul(tranche, fils, simple);
            std::move(r.begin(), r.end(), std::back_inserter(res));
        }
        if (PyErr_CheckSignals() < 0) throw nb::python_error();
    }
    return res;
}

// The measures of each of `codes` against the words of `a` (see par_tranches).
inline std::vector<MesuresVoisinage> mesurer(const ArbreVoisinage &a, const std::vector<std::u32string> &codes,
                                             size_t n) {
    return par_tranches(codes, [&](const std::vector<std::u32string> &t, unsigned fils, bool simple) {
        return mesurer_voisinages(a, t, n, fils, simple);
    });
}

inline nb::object reel_ou_none(const std::optional<double> &v) {
    return v ? nb::object(nb::float_(*v)) : nb::none();
}

// The words `ids` of a repertoire as a list of str, in the order of str comparison.
inline nb::list textes_des_ids(const RepertoireVoisinage &rep, const std::vector<uint32_t> &ids) {
    std::vector<std::string> textes;
    for (uint32_t id : ids) textes.push_back(rep.texte(id));
    // UTF-8 byte order is code-point order, the order of str comparison.
    std::sort(textes.begin(), textes.end());
    nb::list res;
    for (const std::string &t : textes) res.append(texte(t));
    return res;
}

// The knob of the route of the last search of distance_moyenne. Each extension module
// links its own copy of the core, so each module that searches (_voisinage, lexique)
// exposes the knob of its copy.
inline void lier_mode_balayage(nb::module_ &m) {
    m.def(
        "_mode_balayage",
        [](nb::handle mode) {
            const int avant = brivane::mode_balayage();
            if (!mode.is_none()) brivane::regler_mode_balayage(int(std::clamp(entier_arg(mode, "mode"), -1LL, 3LL)));
            return avant;
        },
        nb::arg("mode").none() = nb::none(),
        "_mode_balayage(mode=None) -> int\n\nChemin de la derniere recherche de distance_moyenne (et reglage) :\n"
        "0 selon la recherche, -1 toujours l'arbre, 1 toujours la lecture des mots par\n"
        "longueur, 2 la meme avec le noyau simple, 3 la meme avec le noyau AVX2 au plus ;\n"
        "rend la valeur d'avant.");
}

// The four searches of one word, each through the fast path or its plain twin.
enum class Recherche { voisins, levenshtein, distance, unicite };

// distance_moyenne of one word, without the GIL: its search may share the cores.
inline std::optional<double> distance_sans_gil(const ArbreVoisinage &a, std::u32string_view mot, size_t n) {
    const bool rapide = chemins_rapides();
    nb::gil_scoped_release libre;
    return rapide ? a.distance_moyenne(mot, n, fils_machine()) : a.distance_moyenne_simple(mot, n);
}

// The answer of search `r` for the word coded `mot` in `rep` (`n`: the n of OLD-n).
inline nb::object chercher(const RepertoireVoisinage &rep, std::u32string_view mot, Recherche r, size_t n = 0) {
    const ArbreVoisinage &a = rep.arbre();
    const bool rapide = chemins_rapides();
    switch (r) {
    case Recherche::voisins:
        return textes_des_ids(rep, rapide ? a.voisins_substitution(mot) : a.voisins_substitution_simple(mot));
    case Recherche::levenshtein:
        return textes_des_ids(rep, rapide ? a.voisins_levenshtein(mot) : a.voisins_levenshtein_simple(mot));
    case Recherche::distance:
        return reel_ou_none(distance_sans_gil(a, mot, n));
    default: return nb::int_(rapide ? a.point_unicite(mot) : a.point_unicite_simple(mot));
    }
}

}  // namespace brivane::py
