// Stimulus lists: one row per spelling, measures as criteria and columns, sorting.
#include "lexique_selection.hpp"
#include "_criteres.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <string_view>

namespace nb = nanobind;

namespace brivane::py {

const char *const NOMS_MESURES[8] = {"old20",    "pld20",  "n_ortho",     "n_phon",
                                     "pu_ortho", "pu_phon", "homographes", "homophones"};

int indice_mesure(std::string_view nom) {
    for (int i = 0; i < 8; ++i)
        if (nom == NOMS_MESURES[i]) return i;
    return -1;
}

namespace {

[[noreturn]] void lever_valeur(const std::string &message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw nb::python_error();
}

std::string liste_mesures() {
    std::string r;
    for (const char *n : NOMS_MESURES) r += (r.empty() ? "" : ", ") + std::string(n);
    return r;
}

// The names of a str or of a list/tuple of str (`nom` for the TypeError).
std::vector<nb::object> noms_de(nb::handle v, const char *nom) {
    std::vector<nb::object> r;
    if (PyUnicode_Check(v.ptr())) {
        r.push_back(nb::borrow(v));
        return r;
    }
    if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr())) erreur_type(nom, "list", v.ptr());
    for (nb::handle x : v) {
        if (!PyUnicode_Check(x.ptr())) erreur_type(nom, "str", x.ptr());
        r.push_back(nb::borrow(x));
    }
    return r;
}

// A sort key "col" or "-col": a measure keeps its name, a column takes the canonical
// name resoudre_colonnes gives it (so "freq_opensubs" sorts by "freq").
Selection::Cle cle_de_tri(nb::handle brut) {
    std::string nom = std::string(utf8(brut.ptr()));
    const bool decroissant = !nom.empty() && nom[0] == '-';
    if (decroissant) nom.erase(0, 1);
    const size_t a = nom.find_first_not_of(" \t"), b = nom.find_last_not_of(" \t");
    nom = a == std::string::npos ? "" : nom.substr(a, b - a + 1);
    if (nom.empty()) lever_valeur("Argument 'tri' holds an empty column name");
    const int m = indice_mesure(nom);
    nb::object n = texte(nom);
    if (m < 0) {
        nb::list l;
        l.append(n);
        nb::object mapping = liens().resoudre_colonnes.objet()(l);
        nb::object r = mapping.attr("get")(n);
        if (!r.is_none()) n = r;
    }
    return {n, decroissant, m};
}

void lire_bornes(Selection &s, const char *fonction, nb::handle kwargs) {
    for (auto [k, v] : nb::borrow<nb::dict>(kwargs)) {
        std::string nom(utf8(k.ptr()));
        const bool min = nom.size() > 4 && nom.compare(nom.size() - 4, 4, "_min") == 0;
        const bool max = nom.size() > 4 && nom.compare(nom.size() - 4, 4, "_max") == 0;
        std::string base = (min || max) ? nom.substr(0, nom.size() - 4) : "";
        const int m = base == "voisins" ? 2 : indice_mesure(base);
        if (m < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fonction, k.ptr());
            throw nb::python_error();
        }
        if (v.is_none()) continue;
        const double x = reel_arg(v, nom.c_str());
        s.bornes.push_back({m, min ? std::optional(x) : std::nullopt, max ? std::optional(x) : std::nullopt});
    }
}

}  // namespace

Selection lire_selection(const char *fonction, nb::handle une_par_ortho, nb::handle tri, nb::handle mesures,
                         nb::handle kwargs) {
    Selection s;
    if (!une_par_ortho.is_none()) {
        if (une_par_ortho.ptr() != Py_True && une_par_ortho.ptr() != Py_False)
            erreur_type("une_par_ortho", "bool", une_par_ortho.ptr());
        s.une_par_ortho = une_par_ortho.ptr() == Py_True;
    }
    if (!tri.is_none())
        for (nb::object n : noms_de(tri, "tri")) s.tri.push_back(cle_de_tri(n));
    if (mesures.ptr() == Py_True) {
        for (int i = 0; i < 8; ++i) s.colonnes.push_back(i);
    } else if (!mesures.is_none() && mesures.ptr() != Py_False) {
        if (PyBool_Check(mesures.ptr()) || PyUnicode_Check(mesures.ptr())) erreur_type("mesures", "list", mesures.ptr());
        for (nb::object n : noms_de(mesures, "mesures")) {
            const int m = indice_mesure(utf8(n.ptr()));
            if (m < 0)
                lever_valeur("Argument 'mesures' names an unknown measure: '" + std::string(utf8(n.ptr())) +
                             "' (expected " + liste_mesures() + ")");
            if (std::find(s.colonnes.begin(), s.colonnes.end(), m) == s.colonnes.end()) s.colonnes.push_back(m);
        }
    }
    if (kwargs.is_valid() && !kwargs.is_none()) lire_bornes(s, fonction, kwargs);
    return s;
}

namespace {

// mapping.get(cle), None when missing (a dict without calling get()).
nb::object lire(nb::handle mapping, PyObject *cle) {
    if (!mapping.is_valid() || mapping.is_none()) return nb::none();
    return valeur_champ(mapping.ptr(), cle);
}

// One row per spelling (normalised as the ortho index keys it): the most frequent,
// the first met among equals, at the place of the spelling's first row.
nb::list une_par_ortho(const nb::list &lignes) {
    nb::dict place;
    std::vector<nb::object> gardees;
    std::vector<double> freqs;
    for (nb::handle e : lignes) {
        nb::object cle = normaliser(texte_brut(e.ptr(), noms().ortho));
        const double f = frequence_entree(e.ptr());
        PyObject *i = PyDict_GetItemWithError(place.ptr(), cle.ptr());
        if (!i && PyErr_Occurred()) throw nb::python_error();
        if (!i) {
            place[cle] = nb::int_(gardees.size());
            gardees.push_back(nb::borrow(e));
            freqs.push_back(f);
            continue;
        }
        const size_t k = PyLong_AsSize_t(i);
        if (f > freqs[k]) {
            gardees[k] = nb::borrow(e);
            freqs[k] = f;
        }
    }
    nb::list r;
    for (auto &e : gardees) r.append(e);
    return r;
}

// self.mesures(...) once over the distinct spellings of the rows, in row order.
nb::object mesures_de(nb::handle self, const nb::list &lignes) {
    nb::dict mots;
    for (nb::handle e : lignes) {
        nb::object t = texte_brut(e.ptr(), noms().ortho);
        if (vrai(t.ptr())) mots[t] = nb::none();
    }
    if (nb::len(mots) == 0) return nb::dict();
    return self.attr("mesures")(nb::list(mots));
}

// The measures of the word of row e, None when the answer has none.
nb::object mesures_ligne(nb::handle mesures, PyObject *e) {
    nb::object t = texte_brut(e, noms().ortho);
    return vrai(t.ptr()) ? lire(mesures, t.ptr()) : nb::object(nb::none());
}

bool mesures_dans_bornes(nb::handle m, const std::vector<Selection::Borne> &bornes) {
    for (auto &b : bornes) {
        nb::object v = lire(m, nb::str(NOMS_MESURES[b.mesure]).ptr());
        if (v.is_none() || !dans_bornes(reel_de(v.ptr()), b.min, b.max)) return false;
    }
    return true;
}

// The value a sort key reads in a row.
nb::object valeur_tri(const Selection::Cle &c, nb::handle e, nb::handle mesures) {
    if (c.mesure >= 0) return lire(mesures_ligne(mesures, e.ptr()), c.nom.ptr());
    return valeur_champ(e.ptr(), c.nom.ptr());
}

// Empty for a sort: None, a text of blanks, NaN.
bool vide_pour_tri(nb::handle v) {
    if (v.is_none()) return true;
    if (PyUnicode_Check(v.ptr())) return PyUnicode_GET_LENGTH(sans_blancs_py(v.ptr()).ptr()) == 0;
    if (PyFloat_Check(v.ptr())) return std::isnan(PyFloat_AS_DOUBLE(v.ptr()));
    return false;
}

struct ColonneTri {
    bool decroissant, nombres = true;
    std::vector<char> vides;
    std::vector<double> reels;
    std::vector<std::u32string> textes;
};

// The keys of one column: numbers when every value that is not empty reads as one
// (texts of TSV files included), else texts compared by code point.
ColonneTri colonne_tri(const Selection::Cle &c, const nb::list &lignes, nb::handle mesures) {
    ColonneTri col{c.decroissant};
    std::vector<nb::object> valeurs;
    bool presente = c.mesure >= 0;
    for (nb::handle e : lignes) {
        if (!presente) {
            int r = PySequence_Contains(e.ptr(), c.nom.ptr());
            if (r < 0) throw nb::python_error();
            presente = r == 1;
        }
        valeurs.push_back(valeur_tri(c, e, mesures));
        const bool vide = vide_pour_tri(valeurs.back());
        col.vides.push_back(vide);
        std::optional<double> x = vide ? std::optional(0.0) : reel_de(valeurs.back().ptr());
        if (!x || std::isnan(*x)) col.nombres = col.nombres && vide;
        col.reels.push_back(x.value_or(0.0));
    }
    if (!presente && nb::len(lignes) > 0)
        lever_valeur("Argument 'tri' names a column the rows do not have: '" + std::string(utf8(c.nom.ptr())) + "'");
    if (!col.nombres) {
        col.textes.resize(valeurs.size());
        for (size_t i = 0; i < valeurs.size(); ++i)
            if (!col.vides[i]) points_de(en_texte(valeurs[i].ptr()).ptr(), col.textes[i]);
    }
    return col;
}

// Stable sort: key by key, empty values last in either direction.
nb::list trier(const nb::list &lignes, const std::vector<Selection::Cle> &cles, nb::handle mesures) {
    std::vector<ColonneTri> cols;
    for (auto &c : cles) cols.push_back(colonne_tri(c, lignes, mesures));
    std::vector<size_t> ordre(nb::len(lignes));
    for (size_t i = 0; i < ordre.size(); ++i) ordre[i] = i;
    std::stable_sort(ordre.begin(), ordre.end(), [&](size_t a, size_t b) {
        for (auto &c : cols) {
            if (c.vides[a] != c.vides[b]) return (bool)c.vides[b];
            if (c.vides[a]) continue;
            int d = c.nombres ? (c.reels[a] < c.reels[b] ? -1 : c.reels[b] < c.reels[a] ? 1 : 0)
                              : c.textes[a].compare(c.textes[b]);
            if (d != 0) return c.decroissant ? d > 0 : d < 0;
        }
        return false;
    });
    nb::list r;
    for (size_t i : ordre) r.append(lignes[i]);
    return r;
}

nb::list couper(const nb::list &lignes, long long limite, bool sql) {
    size_t n = nb::len(lignes);
    if (sql ? limite >= 0 : limite != 0) n = std::min(n, limite < 0 ? size_t(1) : size_t(limite));
    PyObject *r = PyList_GetSlice(lignes.ptr(), 0, Py_ssize_t(n));
    if (!r) throw nb::python_error();
    return nb::steal<nb::list>(r);
}

}  // namespace

void ajouter_mesures(nb::handle d, nb::handle e, const std::vector<int> &colonnes, nb::handle mesures) {
    nb::object m = mesures_ligne(mesures, e.ptr());
    for (int i : colonnes) {
        nb::str nom(NOMS_MESURES[i]);
        if (PyDict_SetItem(d.ptr(), nom.ptr(), lire(m, nom.ptr()).ptr()) < 0) throw nb::python_error();
    }
}

namespace {

// Fresh dicts holding each row's fields, then the measures asked for.
nb::list avec_mesures(const nb::list &lignes, const std::vector<int> &colonnes, nb::handle mesures) {
    nb::list r;
    for (nb::handle e : lignes) {
        nb::object d = nb::steal(PyDict_New());
        if (!d.is_valid() || PyDict_Update(d.ptr(), e.ptr()) < 0) throw nb::python_error();
        ajouter_mesures(d, e, colonnes, mesures);
        r.append(d);
    }
    return r;
}

}  // namespace

nb::list appliquer_selection(nb::handle self, nb::list lignes, const Selection &s, long long limite, bool sql,
                             nb::object *mesures_sortie) {
    if (s.une_par_ortho) lignes = une_par_ortho(lignes);
    bool avant = !s.bornes.empty();
    for (auto &c : s.tri) avant |= c.mesure >= 0;
    nb::object mesures = nb::none();
    if (avant) mesures = mesures_de(self, lignes);
    if (!s.bornes.empty()) {
        nb::list gardees;
        for (nb::handle e : lignes)
            if (mesures_dans_bornes(mesures_ligne(mesures, e.ptr()), s.bornes)) gardees.append(e);
        lignes = gardees;
    }
    if (!s.tri.empty()) lignes = trier(lignes, s.tri, mesures);
    lignes = couper(lignes, limite, sql);
    if (s.colonnes.empty()) return lignes;
    if (!avant) mesures = mesures_de(self, lignes);
    if (mesures_sortie) {
        *mesures_sortie = mesures;
        return lignes;
    }
    return avec_mesures(lignes, s.colonnes, mesures);
}

}  // namespace brivane::py
