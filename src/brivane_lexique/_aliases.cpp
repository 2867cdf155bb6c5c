// Column alias table and resolution of a source's column names.
#include "_aliases_regle.hpp"

namespace nb = nanobind;
using namespace brivane::py;

namespace {

// Canonical name -> aliases, in the order the tables are built.
struct Alias {
    const char *canon;
    std::initializer_list<const char *> alias;
};
const Alias TABLE[] = {
    {"ortho", {"graphie", "form", "word", "forme", "flexion"}},
    {"lemme", {"lemma"}},
    {"cgram", {"category", "pos", "cat", "catgram"}},
    {"genre", {"gender", "gen"}},
    {"nombre", {"number", "num"}},
    {"mode", {"mood"}},
    {"temps", {"tense"}},
    {"personne", {"person", "pers"}},
    {"phone", {"phon", "phon_ipa", "ipa", "prononciation"}},
    {"freq", {"freq_opensubs", "freqfilms2", "freq_frwac_forme_pmw", "freq_frantext", "freq_lm10",
              "freq_frwac"}},
};
const char *const FREQ[] = {"freq_opensubs", "freqfilms2", "freq_frwac_forme_pmw",
                            "freq_frwac", "freq_lm10", "freq_frantext"};

PyObject *g_inverse = nullptr;  // _ALIAS_INVERSE, owned by the module (kept alive)

nb::dict resoudre_colonnes(nb::handle colonnes) {
    exiger_list(colonnes, "colonnes");
    nb::dict res;
    // Iterate by index: the list could be mutated by a __lower__ of a str subclass.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(colonnes.ptr()); ++i) {
        nb::object col = nb::borrow(PyList_GET_ITEM(colonnes.ptr(), i));
        if (PyDict_SetItem(res.ptr(), col.ptr(), alias::resoudre(g_inverse, col.ptr()).ptr()) < 0)
            throw nb::python_error();
    }
    return res;
}

}  // namespace

NB_MODULE(_aliases, m) {
    brivane::py::lier_reglage(m);
    m.doc() =
        "Resolution d'alias pour les noms de colonnes.\n\n"
        "Chaque source de lexique (Lexique3, GLAFF, CSV personnalise, etc.) nomme\n"
        "ses colonnes differemment. Ce module fournit un mapping canonique qui\n"
        "unifie l'acces aux champs, quelle que soit la source.";

    nb::dict alias_map;
    nb::dict inverse;
    for (const Alias &a : TABLE) {
        nb::list noms;
        for (const char *al : a.alias) {
            noms.append(nb::str(al));
            inverse[nb::str(al)] = nb::str(a.canon);
        }
        alias_map[nb::str(a.canon)] = nb::steal(PyFrozenSet_New(noms.ptr()));
    }
    nb::list freq;
    for (const char *f : FREQ) freq.append(nb::str(f));

    m.attr("ALIAS_MAP") = alias_map;
    m.attr("_ALIAS_INVERSE") = inverse;
    m.attr("FREQ_PRIORITE") = freq;
    g_inverse = inverse.release().ptr();  // module holds a reference too; never freed

    m.def("resoudre_colonnes", &resoudre_colonnes, nb::arg("colonnes").none(),
          nb::sig("def resoudre_colonnes(colonnes: list[str]) -> dict[str, str]"),
          "Mappe les noms de colonnes source vers les noms canoniques.\n\n"
          "Chaque nom est mis en minuscules puis debarrasse des blancs qui l'entourent ;\n"
          "un alias connu donne son nom canonique, tout autre nom se donne lui-meme.");
}
