// Module _semantique: the optional meaning columns of the forms, as lists of texts.
#include "_semantique_noyau.hpp"

namespace nb = nanobind;
using namespace brivane::py;
using semantique::cles;

NB_MODULE(_semantique, m) {
    brivane::py::lier_reglage(m);
    m.doc() = "Fonctions de semantique : synonymes, antonymes, definition.";
    m.def("synonymes", [](nb::handle e) { return semantique::liste_separee(e, cles().synonymes); },
          nb::arg("entries").none(),
          nb::sig("def synonymes(entries: list[dict]) -> list[str]"),
          "Parse la colonne 'synonymes' (separateur ;).\n\n"
          "Retourne [] si colonne absente ou vide.");
    m.def("antonymes", [](nb::handle e) { return semantique::liste_separee(e, cles().antonymes); },
          nb::arg("entries").none(),
          nb::sig("def antonymes(entries: list[dict]) -> list[str]"),
          "Parse la colonne 'antonymes' (separateur ;).\n\n"
          "Retourne [] si colonne absente ou vide.");
    m.def("definition", &semantique::definitions_distinctes, nb::arg("entries").none(),
          nb::sig("def definition(entries: list[dict]) -> list[str]"),
          "Retourne les definitions distinctes.\n\n"
          "Retourne [] si colonne absente ou vide.");
}
