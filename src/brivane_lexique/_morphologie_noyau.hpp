// What the module _morphologie and Lexique share: the fields they read, the verb
// analyses of Lexique 3.83's layout, and the lemma choice, which Lexique calls directly
// while the module's lemme_de is the one bound at import and the fast paths are on
// (otherwise it calls whatever is bound, through Python).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "_champs.hpp"
#include "_commun.hpp"
#include "_texte.hpp"
#include "analyses_verbales.hpp"

namespace brivane::py::morpho {

namespace nb = nanobind;

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

inline bool vide(const nb::object &texte) { return PyUnicode_GET_LENGTH(texte.ptr()) == 0; }

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
