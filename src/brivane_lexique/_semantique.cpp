// Module _semantique: the optional meaning columns of the forms, as lists of texts.
#include "_semantique_noyau.hpp"

namespace nb = nanobind;
using namespace brivane::py;
using semantique::cles;

namespace {

nb::object synonymes(nb::handle entries) { return semantique::liste_separee(entries, cles().synonymes); }
nb::object antonymes(nb::handle entries) { return semantique::liste_separee(entries, cles().antonymes); }
nb::object definition(nb::handle entries) { return semantique::definitions_distinctes(entries); }

}  // namespace

NB_MODULE(_semantique, m) {
    brivane::py::lier_reglage(m);
    m.doc() = "Fonctions de semantique : synonymes, antonymes, definition.";
    m.def("synonymes", &synonymes, nb::arg("entries").none(),
          nb::sig("def synonymes(entries: list[dict]) -> list[str]"),
          "Parse la colonne 'synonymes' (separateur ;).\n\n"
          "Retourne [] si colonne absente ou vide.");
    m.def("antonymes", &antonymes, nb::arg("entries").none(),
          nb::sig("def antonymes(entries: list[dict]) -> list[str]"),
          "Parse la colonne 'antonymes' (separateur ;).\n\n"
          "Retourne [] si colonne absente ou vide.");
    m.def("definition", &definition, nb::arg("entries").none(),
          nb::sig("def definition(entries: list[dict]) -> list[str]"),
          "Retourne les definitions distinctes.\n\n"
          "Retourne [] si colonne absente ou vide.");
}
