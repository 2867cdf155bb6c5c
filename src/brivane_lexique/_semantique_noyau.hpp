// The meaning columns of the forms as lists of texts, shared by the module
// _semantique and by Lexique, which calls them directly while the module's functions
// are the ones bound at import and the fast paths are on.
#pragma once

#include "_champs.hpp"
#include "_commun.hpp"
#include "_texte.hpp"

namespace brivane::py::semantique {

namespace nb = nanobind;

// Interned once per extension module, kept for the life of the interpreter.
struct Cles {
    PyObject *synonymes, *antonymes, *definition;
};
inline const Cles &cles() {
    static const Cles c{cle_interne("synonymes"), cle_interne("antonymes"), cle_interne("definition")};
    return c;
}

// The list comes from a single cell: the first filled one. Later entries are never
// read, even when that cell holds nothing but separators.
inline nb::list liste_separee(nb::handle entries, PyObject *cle) {
    exiger_list(entries, "entries");
    PyObject *l = entries.ptr();
    // By index, re-reading the size: a __bool__ or __str__ could shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        nb::object v = valeur_champ(entree.ptr(), cle);
        if (!vrai(v.ptr())) continue;
        return decouper_point_virgule(en_texte(v.ptr()).ptr());
    }
    return nb::list();
}

inline nb::list definitions_distinctes(nb::handle entries) {
    exiger_list(entries, "entries");
    PyObject *l = entries.ptr();
    nb::list res;
    nb::set vues;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        nb::object v = valeur_champ(entree.ptr(), cles().definition);
        if (!vrai(v.ptr())) continue;
        nb::object texte = sans_blancs_py(en_texte(v.ptr()).ptr());
        if (PyUnicode_GET_LENGTH(texte.ptr()) > 0 && nouveau(vues.ptr(), texte.ptr())) res.append(texte);
    }
    return res;
}

}  // namespace brivane::py::semantique
