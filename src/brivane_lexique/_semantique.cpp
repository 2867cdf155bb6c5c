// Module _semantique: the optional meaning columns of the forms, as lists of texts.
#include "_champs.hpp"
#include "_commun.hpp"
#include "_texte.hpp"

namespace nb = nanobind;
using namespace brivane::py;

namespace {

PyObject *CLE_SYNONYMES, *CLE_ANTONYMES, *CLE_DEFINITION;

// The list comes from a single cell: the first filled one. Later entries are never
// read, even when that cell holds nothing but separators.
nb::list liste_separee(nb::handle entries, PyObject *cle) {
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

nb::list definitions_distinctes(nb::handle entries) {
    exiger_list(entries, "entries");
    PyObject *l = entries.ptr();
    nb::list res;
    nb::object vues = nb::steal(PySet_New(nullptr));
    if (!vues.is_valid()) throw nb::python_error();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        nb::object v = valeur_champ(entree.ptr(), CLE_DEFINITION);
        if (!vrai(v.ptr())) continue;
        nb::object texte = sans_blancs_py(en_texte(v.ptr()).ptr());
        if (PyUnicode_GET_LENGTH(texte.ptr()) == 0) continue;
        int deja = PySet_Contains(vues.ptr(), texte.ptr());
        if (deja < 0) throw nb::python_error();
        if (deja) continue;
        if (PySet_Add(vues.ptr(), texte.ptr()) < 0) throw nb::python_error();
        res.append(texte);
    }
    return res;
}

}  // namespace

NB_MODULE(_semantique, m) {
    m.doc() = "Fonctions de semantique : synonymes, antonymes, definition.";
    CLE_SYNONYMES = cle_interne("synonymes");
    CLE_ANTONYMES = cle_interne("antonymes");
    CLE_DEFINITION = cle_interne("definition");

    m.def(
        "synonymes", [](nb::handle entries) { return liste_separee(entries, CLE_SYNONYMES); },
        nb::arg("entries").none(), nb::sig("def synonymes(entries: list[dict]) -> list[str]"),
        "Parse la colonne 'synonymes' (separateur ;).\n\n"
        "Retourne [] si colonne absente ou vide.");
    m.def(
        "antonymes", [](nb::handle entries) { return liste_separee(entries, CLE_ANTONYMES); },
        nb::arg("entries").none(), nb::sig("def antonymes(entries: list[dict]) -> list[str]"),
        "Parse la colonne 'antonymes' (separateur ;).\n\n"
        "Retourne [] si colonne absente ou vide.");
    m.def(
        "definition", &definitions_distinctes,
        nb::arg("entries").none(), nb::sig("def definition(entries: list[dict]) -> list[str]"),
        "Retourne les definitions distinctes.\n\n"
        "Retourne [] si colonne absente ou vide.");
}
