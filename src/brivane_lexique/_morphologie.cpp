// Module _morphologie: lemma choice, inflected forms and conjugation tables over the
// entries a caller has already selected (one spelling, or one lemma).
#include "_morphologie_noyau.hpp"

namespace nb = nanobind;
using namespace brivane::py;

namespace {

// conjuguer calls _personne_nombre_from_entry through the module, so that a
// replacement made from Python is obeyed; the C++ version is used while it is bound
// (and the fast paths are on).
NomLie g_personne_nombre;

nb::tuple personne_nombre_from_entry(nb::handle entry) {
    exiger_dict(entry, "entry");
    auto [p, n] = morpho::personne_nombre(entry.ptr());
    return nb::make_tuple(p, n);
}

nb::dict conjuguer(nb::handle entries) {
    exiger_list(entries, "entries");
    const bool natif = brivane::chemins_rapides() && g_personne_nombre.original();
    return morpho::conjuguer(entries, natif, natif ? nb::object() : g_personne_nombre.objet());
}

nb::list analyses_infover(nb::handle cellule) {
    exiger_str(cellule, "cellule");
    nb::list res;
    for (const brivane::AnalyseVerbale &a : brivane::analyses_infover(utf8(cellule.ptr())))
        res.append(nb::make_tuple(texte(a.mode), texte(a.temps), texte(a.personne), texte(a.nombre)));
    return res;
}

}  // namespace

NB_MODULE(_morphologie, m) {
    brivane::py::lier_reglage(m);
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
    g_personne_nombre.lier(m, "_personne_nombre_from_entry", m.attr("_personne_nombre_from_entry"));

    m.def("conjuguer", &conjuguer, nb::arg("entries").none(),
          nb::sig("def conjuguer(entries: list) -> dict[str, dict[str, dict[str, str]]]"),
          "Table de conjugaison depuis les entrees d'un lemme verbal.\n\n"
          "Ne conserve que les entrees VER ou AUX.\n\n"
          "Une entree sans mode, temps ni personne qui porte un champ infover (format\n"
          "de Lexique 3.83) compte pour chacune de ses analyses : 'ind:pre:1s;ind:pre:3s;'\n"
          "la classe sous ind/pre/1s et ind/pre/3s, 'inf;' sous inf/''/'', 'par:pas;'\n"
          "sous par/pas/''.");
    m.def("_analyses_infover", &analyses_infover, nb::arg("cellule").none(),
          nb::sig("def _analyses_infover(cellule: str) -> list[tuple[str, str, str, str]]"),
          "Analyses verbales d'une cellule infover : (mode, temps, personne, nombre).\n\n"
          "Un element 'mode:temps:personne' par ';' ; '1s' donne personne '1' et\n"
          "nombre 's' ; 'inf', 'par:pre' et 'par:pas' n'ont ni personne ni nombre.\n"
          "Les blancs autour des elements sont ignores, un element sans mode aussi.");
    m.def("formes_de", &morpho::formes_de, nb::arg("entries").none(), nb::arg("cgram").none() = nb::none(),
          nb::sig("def formes_de(entries: list, cgram: str | None = None) -> list[dict]"),
          "Toutes les formes flechies d'un lemme, avec filtre POS optionnel.");
    m.def("lemme_de", &morpho::lemme_de, nb::arg("entries").none(),
          nb::sig("def lemme_de(entries: list) -> str | None"),
          "Lemme le plus frequent parmi les entrees d'un mot.");
}
