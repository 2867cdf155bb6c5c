// Module _morphologie: lemma choice, inflected forms and conjugation tables over the
// entries a caller has already selected (one spelling, or one lemma).
#include "_morphologie_noyau.hpp"
#include "_appel_direct.hpp"

namespace nb = nanobind;
using namespace brivane::py;

namespace {

// conjuguer calls _personne_nombre_from_entry through the module, so that a
// replacement made from Python is obeyed; the C++ version is used while it is bound.
NomLie g_personne_nombre;

nb::tuple personne_nombre_from_entry(nb::handle entry) {
    exiger_dict(entry, "entry");
    auto [p, n] = morpho::personne_nombre(entry.ptr());
    return nb::make_tuple(p, n);
}

nb::dict conjuguer(nb::handle entries) {
    exiger_list(entries, "entries");
    const bool natif = g_personne_nombre.original();
    nb::object fonction = natif ? nb::object() : g_personne_nombre.objet();
    return morpho::conjuguer(entries, natif, fonction);
}

}  // namespace

NB_MODULE(_morphologie, m) {
    m.doc() = "Fonctions de morphologie : conjugaison, formes flechies, lemmatisation.";
    m.attr("_MULTEXT_POS_PERSONNE") = morpho::POS_PERSONNE;
    m.attr("_MULTEXT_POS_NOMBRE") = morpho::POS_NOMBRE;
    nb::dict personnes, nombres;
    for (const char *c : {"1", "2", "3"}) personnes[c] = c;
    for (const char *c : {"s", "p"}) nombres[c] = c;
    m.attr("_PERSONNE_LABELS") = personnes;
    m.attr("_NOMBRE_LABELS") = nombres;

    m.def("_personne_nombre_from_entry", &personne_nombre_from_entry, nb::arg("entry").none(),
          nb::sig("def _personne_nombre_from_entry(entry: dict) -> tuple[str, str]"),
          "Extrait personne et nombre d'une entree, avec fallback multext.");
    // (Put in place before it is bound: conjuguer then knows the direct one as its own.)
    FonctionDirecte<&personne_nombre_from_entry, 1>::installer(m, "_personne_nombre_from_entry");
    g_personne_nombre.lier(m, "_personne_nombre_from_entry", m.attr("_personne_nombre_from_entry"));

    m.def("conjuguer", &conjuguer, nb::arg("entries").none(),
          nb::sig("def conjuguer(entries: list) -> dict[str, dict[str, dict[str, str]]]"),
          "Table de conjugaison depuis les entrees d'un lemme verbal.\n\n"
          "Ne conserve que les entrees VER ou AUX.");
    m.def("formes_de", &morpho::formes_de, nb::arg("entries").none(), nb::arg("cgram").none() = nb::none(),
          nb::sig("def formes_de(entries: list, cgram: str | None = None) -> list[dict]"),
          "Toutes les formes flechies d'un lemme, avec filtre POS optionnel.");
    m.def("lemme_de", &morpho::lemme_de, nb::arg("entries").none(),
          nb::sig("def lemme_de(entries: list) -> str | None"),
          "Lemme le plus frequent parmi les entrees d'un mot.");
    FonctionDirecte<&conjuguer, 1>::installer(m, "conjuguer");
    FonctionDirecte<&morpho::formes_de, 1, 2>::installer(m, "formes_de");
    FonctionDirecte<&morpho::lemme_de, 1>::installer(m, "lemme_de");
}
