// Module _semantique: the optional meaning columns of the forms, as lists of texts.
#include "_champs.hpp"
#include "_commun.hpp"
#include "_texte.hpp"

namespace nb = nanobind;
using namespace brivane::py;

namespace {

// The list comes from a single cell: the first filled one. Later entries are never
// read, even when that cell holds nothing but separators.
nb::list liste_separee(nb::handle entries, const char *colonne) {
    exiger_list(entries, "entries");
    nb::str cle(colonne);
    PyObject *l = entries.ptr();
    // By index, re-reading the size: a __bool__ or __str__ could shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        nb::object v = valeur_champ(entree.ptr(), cle.ptr());
        if (!vrai(v.ptr())) continue;
        return decouper_point_virgule(en_texte(v.ptr()).ptr());
    }
    return nb::list();
}

nb::list definitions_distinctes(nb::handle entries) {
    exiger_list(entries, "entries");
    static PyObject *const cle = cle_interne("definition");
    PyObject *l = entries.ptr();
    nb::list res;
    nb::set vues;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        nb::object v = valeur_champ(entree.ptr(), cle);
        if (!vrai(v.ptr())) continue;
        nb::object texte = sans_blancs_py(en_texte(v.ptr()).ptr());
        if (PyUnicode_GET_LENGTH(texte.ptr()) > 0 && nouveau(vues.ptr(), texte.ptr())) res.append(texte);
    }
    return res;
}

}  // namespace

NB_MODULE(_semantique, m) {
    brivane::py::lier_reglage(m);
    m.doc() = "Fonctions de semantique : synonymes, antonymes, definition.";
    m.def("synonymes", [](nb::handle e) { return liste_separee(e, "synonymes"); },
          nb::arg("entries").none(),
          nb::sig("def synonymes(entries: list[dict]) -> list[str]"),
          "Parse la colonne 'synonymes' (separateur ;).\n\n"
          "Retourne [] si colonne absente ou vide.");
    m.def("antonymes", [](nb::handle e) { return liste_separee(e, "antonymes"); },
          nb::arg("entries").none(),
          nb::sig("def antonymes(entries: list[dict]) -> list[str]"),
          "Parse la colonne 'antonymes' (separateur ;).\n\n"
          "Retourne [] si colonne absente ou vide.");
    m.def("definition", &definitions_distinctes, nb::arg("entries").none(),
          nb::sig("def definition(entries: list[dict]) -> list[str]"),
          "Retourne les definitions distinctes.\n\n"
          "Retourne [] si colonne absente ou vide.");
}
