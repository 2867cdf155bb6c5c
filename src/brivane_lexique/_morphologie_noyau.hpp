// The morphology functions over lists of entries, shared by the module _morphologie
// and by Lexique, which calls them directly while the module's functions are the
// ones bound at import and the fast paths are on (otherwise it calls whatever is
// bound, through Python).
#pragma once

#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "_champs.hpp"
#include "_commun.hpp"
#include "_texte.hpp"
#include "analyses_verbales.hpp"

namespace brivane::py::morpho {

namespace nb = nanobind;

constexpr Py_ssize_t POS_PERSONNE = 4;  // in a MULTEXT tag such as "Vmip3s"
constexpr Py_ssize_t POS_NOMBRE = 5;

// Interned once per extension module, kept for the life of the interpreter.
struct Cles {
    PyObject *personne, *nombre, *multext, *cgram, *mode, *temps, *ortho, *lemme, *freq, *phone, *ver, *aux;
    PyObject *infover;
};
inline const Cles &cles() {
    static const Cles c{cle_interne("personne"), cle_interne("nombre"), cle_interne("multext"),
                        cle_interne("cgram"),    cle_interne("mode"),   cle_interne("temps"),
                        cle_interne("ortho"),    cle_interne("lemme"),  cle_interne("freq"),
                        cle_interne("phone"),    cle_interne("VER"),    cle_interne("AUX"),
                        cle_interne("infover")};
    return c;
}

using py::nouveau;  // callers name it through this namespace

inline bool vide(const nb::object &texte) { return PyUnicode_GET_LENGTH(texte.ptr()) == 0; }

// The character at `pos` of `tag` when it is one of the accepted labels.
inline nb::object etiquette(PyObject *tag, Py_ssize_t pos, const char *acceptes) {
    Py_UCS4 c = PyUnicode_READ_CHAR(tag, pos);
    for (const char *a = acceptes; *a; ++a)
        if (c == Py_UCS4(*a)) return nb::steal(PyUnicode_FromOrdinal(c));
    return nb::object();
}

inline std::pair<nb::object, nb::object> personne_nombre(PyObject *entree) {
    const Cles &k = cles();
    nb::object p = texte_champ(entree, k.personne);
    nb::object n = texte_champ(entree, k.nombre);
    if (!vide(p) && !vide(n)) return {p, n};
    nb::object v = valeur_champ(entree, k.multext);
    if (!vrai(v.ptr())) return {p, n};
    nb::object tag = en_texte(v.ptr());
    Py_ssize_t lg = PyUnicode_GET_LENGTH(tag.ptr());
    if (lg > POS_PERSONNE && vide(p)) {
        nb::object e = etiquette(tag.ptr(), POS_PERSONNE, "123");
        if (e.is_valid()) p = e;
    }
    if (lg > POS_NOMBRE && vide(n)) {
        nb::object e = etiquette(tag.ptr(), POS_NOMBRE, "sp");
        if (e.is_valid()) n = e;
    }
    return {p, n};
}

inline bool commence_par(const nb::object &texte, PyObject *prefixe) {
    Py_ssize_t r = PyUnicode_Tailmatch(texte.ptr(), prefixe, 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// Unpacks `p, n = valeur` as Python would.
inline std::pair<nb::object, nb::object> deux_valeurs(nb::object valeur) {
    nb::object it = nb::steal(PyObject_GetIter(valeur.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    nb::object v[2];
    for (int k = 0; k < 2; ++k) {
        v[k] = nb::steal(PyIter_Next(it.ptr()));
        if (!v[k].is_valid()) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", k);
            throw nb::python_error();
        }
    }
    nb::object reste = nb::steal(PyIter_Next(it.ptr()));
    if (reste.is_valid()) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return {v[0], v[1]};
}

// Verb analyses of Lexique 3.83's layout: an entry with no mood, tense or person of
// its own has one analysis per item of its `infover` cell. They are read here, where
// the morphology queries need them, so that the entries themselves stay as the
// source wrote them. Returns the cell's text, or the empty text when the entry has
// its own analysis fields or no cell.
inline nb::object infover_de(PyObject *entree) {
    const Cles &k = cles();
    nb::object cellule = texte_champ(entree, k.infover);
    if (vide(cellule)) return cellule;
    for (PyObject *c : {k.mode, k.temps, k.personne})
        if (!vide(texte_champ(entree, c))) return nb::str("");
    return cellule;
}

// Whether one analysis of the cell has person `personne` and, when `nombre` is not
// empty, number `nombre`.
inline bool analyse_de_personne(const nb::object &cellule, std::string_view personne, std::string_view nombre) {
    for (const AnalyseVerbale &a : analyses_infover(utf8(cellule.ptr())))
        if (a.personne == personne && (nombre.empty() || a.nombre == nombre)) return true;
    return false;
}

// table.setdefault(cle, {}) for an exact dict; the new dict is made only when needed.
inline PyObject *sous_table(PyObject *table, PyObject *cle) {
    PyObject *r = PyDict_GetItemWithError(table, cle);  // borrowed
    if (r) return r;
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object neuve = nb::steal(PyDict_New());
    if (!neuve.is_valid()) throw nb::python_error();
    r = PyDict_SetDefault(table, cle, neuve.ptr());
    if (!r) throw nb::python_error();
    return r;
}

// table[mode][temps].setdefault(cle, ortho): the first form met for a slot keeps it.
inline void ranger(PyObject *table, PyObject *mode, PyObject *temps, PyObject *cle, PyObject *ortho) {
    if (!PyDict_SetDefault(sous_table(sous_table(table, mode), temps), cle, ortho)) throw nb::python_error();
}

// Files `ortho` under every analysis of the entry's infover cell (see infover_de);
// the person key is the person item as written ("1s"), empty for "inf" and the
// participles.
inline void classer_infover(PyObject *table, PyObject *entree, const nb::object &ortho) {
    nb::object cellule = infover_de(entree);
    if (vide(cellule)) return;
    for (const AnalyseVerbale &a : analyses_infover(utf8(cellule.ptr()))) {
        std::string cle(a.personne);
        cle += a.nombre;
        ranger(table, texte(a.mode).ptr(), texte(a.temps).ptr(), texte(cle).ptr(), ortho.ptr());
    }
}

// `natif`: the C++ reading of person and number; otherwise `fonction` (the module's
// current _personne_nombre_from_entry) is called on each retained entry.
inline nb::dict conjuguer(nb::handle entries, bool natif, nb::handle fonction) {
    exiger_list(entries, "entries");
    const Cles &k = cles();
    nb::dict table;
    PyObject *l = entries.ptr();
    // By index, re-reading the size: a callback met on the way could shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        nb::object cgram = texte_champ(entree.ptr(), k.cgram);
        if (!commence_par(cgram, k.ver) && !commence_par(cgram, k.aux)) continue;
        nb::object mode = texte_champ(entree.ptr(), k.mode);
        nb::object temps = texte_champ(entree.ptr(), k.temps);
        nb::object ortho = texte_champ(entree.ptr(), k.ortho);
        if (vide(ortho)) continue;
        if (vide(mode)) {
            if (vide(temps)) classer_infover(table.ptr(), entree.ptr(), ortho);
            continue;
        }

        nb::object p, n;
        if (natif) {
            exiger_dict(entree, "entry");
            std::tie(p, n) = personne_nombre(entree.ptr());
        } else {
            std::tie(p, n) = deux_valeurs(fonction(entree));
        }
        nb::object cle;
        if (vrai(p.ptr()) && vrai(n.ptr()))
            cle = nb::steal(PyNumber_Add(p.ptr(), n.ptr()));
        else
            cle = vrai(p.ptr()) ? p : nb::str("");
        if (!cle.is_valid()) throw nb::python_error();
        ranger(table.ptr(), mode.ptr(), temps.ptr(), cle.ptr(), ortho.ptr());
    }
    return table;
}

inline nb::list formes_de(nb::handle entries, nb::handle cgram) {
    exiger_list(entries, "entries");
    exiger_str_ou_none(cgram, "cgram");
    const Cles &k = cles();
    const bool filtre = !cgram.is_none();
    nb::list res;
    PyObject *l = entries.ptr();
    nb::object vues = nb::steal(PySet_New(nullptr));
    if (!vues.is_valid()) throw nb::python_error();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        if (filtre && !commence_par(texte_champ(entree.ptr(), k.cgram), cgram.ptr())) continue;
        nb::object ortho = texte_champ(entree.ptr(), k.ortho);
        if (vide(ortho)) continue;
        if (nouveau(vues.ptr(), minuscules_py(ortho.ptr()).ptr())) res.append(entree);
    }
    return res;
}

// float(entry.get("freq") or 0), a value or type error counting as 0.0.
inline double frequence(PyObject *entree) {
    nb::object v = valeur_champ(entree, cles().freq);
    if (PyFloat_CheckExact(v.ptr())) return PyFloat_AS_DOUBLE(v.ptr());
    if (!vrai(v.ptr())) return 0.0;
    PyObject *f = nombre_float(v.ptr());
    if (!f) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return 0.0;
        }
        throw nb::python_error();
    }
    double d = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return d;
}

// Distinct lemmas compared side by side before they are numbered through a dict.
constexpr size_t LEMMES_DIRECTS = 8;

// The lemma of the highest total frequency; equal totals keep the lemma met first.
// Lemmas are told apart as the keys of a dict are: exact str, while they are few, by
// their text; any other lemma, or many, through a dict of their numbers.
inline nb::object lemme_de(nb::handle entries) {
    exiger_list(entries, "entries");
    const Cles &k = cles();
    PyObject *l = entries.ptr();
    std::vector<std::pair<nb::object, double>> totaux;  // by lemma number, in order of first appearance
    nb::dict numeros;
    bool par_dict = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        nb::object lemme = texte_champ(entree.ptr(), k.lemme);
        if (vide(lemme)) continue;
        const double f = frequence(entree.ptr());
        size_t j = 0;
        if (!par_dict && (!PyUnicode_CheckExact(lemme.ptr()) || totaux.size() == LEMMES_DIRECTS)) {
            par_dict = true;
            for (size_t n = 0; n < totaux.size(); ++n) numeros[totaux[n].first] = n;
        }
        if (par_dict) {
            nb::object n = nb::steal(PyLong_FromSize_t(totaux.size()));
            PyObject *vu = PyDict_SetDefault(numeros.ptr(), lemme.ptr(), n.ptr());
            if (!vu) throw nb::python_error();
            j = PyLong_AsSize_t(vu);
        } else {
            while (j < totaux.size() && !str_egal(totaux[j].first.ptr(), lemme.ptr())) ++j;
        }
        if (j < totaux.size())
            totaux[j].second += f;
        else
            totaux.emplace_back(lemme, 0.0 + f);
    }
    if (totaux.empty()) return nb::none();
    size_t meilleur = 0;
    for (size_t i = 1; i < totaux.size(); ++i)
        if (totaux[i].second > totaux[meilleur].second) meilleur = i;
    return totaux[meilleur].first;
}

}  // namespace brivane::py::morpho
