// Module _morphologie: lemma choice, inflected forms and conjugation tables over the
// entries a caller has already selected (one spelling, or one lemma).
#include "_morphologie_noyau.hpp"
#include "_appel_direct.hpp"
#include "_memo_listes.hpp"

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

// Never destroyed: its records hold references that must not be released after the
// interpreter has shut down.
MemoListes &g_memo = *new MemoListes();

// A conjugation table as the computation builds it: each level a new dict, in the
// same order (the forms and slot keys are shared, as in a computed table).
nb::dict copie_table(PyObject *table) {
    nb::dict r;
    PyObject *mode, *par_mode, *temps, *par_temps;
    for (Py_ssize_t i = 0; PyDict_Next(table, &i, &mode, &par_mode);) {
        nb::dict m;
        for (Py_ssize_t j = 0; PyDict_Next(par_mode, &j, &temps, &par_temps);) {
            nb::object t = nb::steal(PyDict_Copy(par_temps));
            if (!t.is_valid() || PyDict_SetItem(m.ptr(), temps, t.ptr()) < 0) throw nb::python_error();
        }
        if (PyDict_SetItem(r.ptr(), mode, m.ptr()) < 0) throw nb::python_error();
    }
    return r;
}

nb::dict conjuguer(nb::handle entries) {
    exiger_list(entries, "entries");
    const bool natif = g_personne_nombre.original();
    nb::object fonction = natif ? nb::object() : g_personne_nombre.objet();
    if (!natif) return morpho::conjuguer(entries, natif, fonction);
    PyObject *l = entries.ptr();
    // (The remembered table is private: copied before anything may run.)
    if (MemoListes::Fiche *f = g_memo.valide(l, MemoListes::CONJUGUER)) {
        nb::object tenue = f->reponse;
        return copie_table(tenue.ptr());
    }
    MemoListes::Fiche *f = g_memo.preparer(l, MemoListes::CONJUGUER);
    nb::dict table = morpho::conjuguer(entries, natif, fonction);
    if (f) {
        // Copied before the proof: making dicts may run finalisers, and the proof must
        // come after anything that can change the list or the slot.
        nb::dict copie = copie_table(table.ptr());
        const morpho::Cles &k = morpho::cles();
        if (g_memo.confirmer(f, l, {k.cgram, k.mode, k.temps, k.ortho, k.personne, k.nombre, k.multext}))
            f->reponse = copie;
    }
    return table;
}

nb::list formes_de(nb::handle entries, nb::handle cgram) {
    exiger_list(entries, "entries");
    exiger_str_ou_none(cgram, "cgram");
    PyObject *l = entries.ptr();
    const morpho::Cles &k = morpho::cles();
    // With and without a cgram in two slots: a caller asking both of one list keeps both.
    const MemoListes::Sorte sorte = cgram.is_none() ? MemoListes::FORMES : MemoListes::FORMES_CGRAM;
    if (MemoListes::Fiche *f = g_memo.valide(l, sorte)) {
        if (f->cgram.is(cgram) || (!cgram.is_none() && str_egal(f->cgram.ptr(), cgram.ptr()))) {
            // The result list is made first: once the list is proved, nothing allocates.
            const size_t n = f->positions.size();
            nb::list res = nb::steal<nb::list>(PyList_New(Py_ssize_t(n)));
            if (!res.is_valid()) throw nb::python_error();
            if ((f = g_memo.valide(l, sorte)) && f->positions.size() == n) {
                for (size_t i = 0; i < n; ++i) {
                    PyObject *e = PyList_GET_ITEM(l, Py_ssize_t(f->positions[i]));
                    Py_INCREF(e);
                    PyList_SET_ITEM(res.ptr(), Py_ssize_t(i), e);
                }
                return res;
            }
            for (size_t i = 0; i < n; ++i) {  // (PyList_New left them NULL)
                Py_INCREF(Py_None);
                PyList_SET_ITEM(res.ptr(), Py_ssize_t(i), Py_None);
            }
        }
    }
    MemoListes::Fiche *f = g_memo.preparer(l, sorte);
    nb::list res = morpho::formes_de(entries, cgram);
    if (g_memo.confirmer(f, l, {k.ortho, k.cgram})) {
        // The kept entries, by position (each entry is kept at most once, in order).
        size_t j = 0;
        for (nb::handle e : res) {
            while (j < f->entrees.size() && f->entrees[j] != e.ptr()) ++j;
            if (j == f->entrees.size()) {
                f->notee = false;
                return res;
            }
            f->positions.push_back(uint32_t(j++));
        }
        f->cgram = nb::borrow(cgram);
    }
    return res;
}

nb::object lemme_de(nb::handle entries) {
    exiger_list(entries, "entries");
    PyObject *l = entries.ptr();
    if (MemoListes::Fiche *f = g_memo.valide(l, MemoListes::LEMME)) return f->reponse;
    MemoListes::Fiche *f = g_memo.preparer(l, MemoListes::LEMME);
    nb::object r = morpho::lemme_de(entries);
    const morpho::Cles &k = morpho::cles();
    if (g_memo.confirmer(f, l, {k.lemme, k.freq})) f->reponse = r;
    return r;
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
    // (Put in place before it is bound: conjuguer then knows the direct one as its own.)
    FonctionDirecte<&personne_nombre_from_entry, 1>::installer(m, "_personne_nombre_from_entry");
    g_personne_nombre.lier(m, "_personne_nombre_from_entry", m.attr("_personne_nombre_from_entry"));

    m.def("conjuguer", &conjuguer, nb::arg("entries").none(),
          nb::sig("def conjuguer(entries: list) -> dict[str, dict[str, dict[str, str]]]"),
          "Table de conjugaison depuis les entrees d'un lemme verbal.\n\n"
          "Ne conserve que les entrees VER ou AUX.");
    m.def("formes_de", &formes_de, nb::arg("entries").none(), nb::arg("cgram").none() = nb::none(),
          nb::sig("def formes_de(entries: list, cgram: str | None = None) -> list[dict]"),
          "Toutes les formes flechies d'un lemme, avec filtre POS optionnel.");
    m.def("lemme_de", &lemme_de, nb::arg("entries").none(),
          nb::sig("def lemme_de(entries: list) -> str | None"),
          "Lemme le plus frequent parmi les entrees d'un mot.");
    FonctionDirecte<&conjuguer, 1>::installer(m, "conjuguer");
    FonctionDirecte<&formes_de, 1, 2>::installer(m, "formes_de");
    FonctionDirecte<&lemme_de, 1>::installer(m, "lemme_de");
}
