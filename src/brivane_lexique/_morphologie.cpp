// Module _morphologie: lemma choice, inflected forms and conjugation tables over the
// entries a caller has already selected (one spelling, or one lemma).
#include "_morphologie_noyau.hpp"

#include <tuple>

namespace nb = nanobind;
using namespace brivane::py;
using namespace brivane::py::morpho;

namespace {

constexpr Py_ssize_t POS_PERSONNE = 4;  // in a MULTEXT tag such as "Vmip3s"
constexpr Py_ssize_t POS_NOMBRE = 5;

// The character at `pos` of `tag` when it is one of the accepted labels.
nb::object etiquette(PyObject *tag, Py_ssize_t pos, const char *acceptes) {
    Py_UCS4 c = PyUnicode_READ_CHAR(tag, pos);
    for (const char *a = acceptes; *a; ++a)
        if (c == Py_UCS4(*a)) return nb::steal(PyUnicode_FromOrdinal(c));
    return nb::object();
}

std::pair<nb::object, nb::object> personne_nombre(PyObject *entree) {
    const Cles &k = cles();
    nb::object p = texte_champ(entree, k.personne);
    nb::object n = texte_champ(entree, k.nombre);
    if (!vide(p) && !vide(n)) return {p, n};
    nb::object v = valeur_champ(entree, k.multext);
    if (!vrai(v.ptr())) return {p, n};
    nb::object tag = en_texte(v.ptr());
    Py_ssize_t lg = PyUnicode_GET_LENGTH(tag.ptr());
    if (lg > POS_PERSONNE && vide(p)) {
        nb::object e = etiquette(tag.ptr(), POS_PERSONNE, "123");
        if (e.is_valid()) p = e;
    }
    if (lg > POS_NOMBRE && vide(n)) {
        nb::object e = etiquette(tag.ptr(), POS_NOMBRE, "sp");
        if (e.is_valid()) n = e;
    }
    return {p, n};
}

bool commence_par(const nb::object &texte, PyObject *prefixe) {
    Py_ssize_t r = PyUnicode_Tailmatch(texte.ptr(), prefixe, 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// Unpacks `p, n = valeur` as Python would.
std::pair<nb::object, nb::object> deux_valeurs(nb::object valeur) {
    nb::object it = nb::steal(PyObject_GetIter(valeur.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    nb::object v[2];
    for (int k = 0; k < 2; ++k) {
        v[k] = nb::steal(PyIter_Next(it.ptr()));
        if (!v[k].is_valid()) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", k);
            throw nb::python_error();
        }
    }
    nb::object reste = nb::steal(PyIter_Next(it.ptr()));
    if (reste.is_valid()) {
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return {v[0], v[1]};
}

// table.setdefault(cle, {}) for an exact dict; the new dict is made only when needed.
PyObject *sous_table(PyObject *table, PyObject *cle) {
    PyObject *r = PyDict_GetItemWithError(table, cle);  // borrowed
    if (r) return r;
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object neuve = nb::steal(PyDict_New());
    if (!neuve.is_valid()) throw nb::python_error();
    r = PyDict_SetDefault(table, cle, neuve.ptr());
    if (!r) throw nb::python_error();
    return r;
}

// table[mode][temps].setdefault(cle, ortho): the first form met for a slot keeps it.
void ranger(PyObject *table, PyObject *mode, PyObject *temps, PyObject *cle, PyObject *ortho) {
    if (!PyDict_SetDefault(sous_table(sous_table(table, mode), temps), cle, ortho)) throw nb::python_error();
}

// Files `ortho` under every analysis of the entry's infover cell (see infover_de);
// the person key is the person item as written ("1s"), empty for "inf" and the
// participles.
void classer_infover(PyObject *table, PyObject *entree, const nb::object &ortho) {
    nb::object cellule = infover_de(entree);
    if (vide(cellule)) return;
    for (const brivane::AnalyseVerbale &a : brivane::analyses_infover(utf8(cellule.ptr()))) {
        std::string cle(a.personne);
        cle += a.nombre;
        ranger(table, texte(a.mode).ptr(), texte(a.temps).ptr(), texte(cle).ptr(), ortho.ptr());
    }
}

// conjuguer calls _personne_nombre_from_entry through the module, so that a
// replacement made from Python is obeyed; the C++ version is used while it is bound
// (and the fast paths are on).
NomLie g_personne_nombre;

nb::dict conjuguer(nb::handle entries) {
    exiger_list(entries, "entries");
    const bool natif = brivane::chemins_rapides() && g_personne_nombre.original();
    const nb::object fonction = natif ? nb::object() : g_personne_nombre.objet();
    const Cles &k = cles();
    nb::dict table;
    PyObject *l = entries.ptr();
    // By index, re-reading the size: a callback met on the way could shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        nb::object cgram = texte_champ(entree.ptr(), k.cgram);
        if (!commence_par(cgram, k.ver) && !commence_par(cgram, k.aux)) continue;
        nb::object mode = texte_champ(entree.ptr(), k.mode);
        nb::object temps = texte_champ(entree.ptr(), k.temps);
        nb::object ortho = texte_champ(entree.ptr(), k.ortho);
        if (vide(ortho)) continue;
        if (vide(mode)) {
            if (vide(temps)) classer_infover(table.ptr(), entree.ptr(), ortho);
            continue;
        }

        nb::object p, n;
        if (natif) {
            exiger_dict(entree, "entry");
            std::tie(p, n) = personne_nombre(entree.ptr());
        } else {
            std::tie(p, n) = deux_valeurs(fonction(entree));
        }
        nb::object cle;
        if (vrai(p.ptr()) && vrai(n.ptr()))
            cle = nb::steal(PyNumber_Add(p.ptr(), n.ptr()));
        else
            cle = vrai(p.ptr()) ? p : nb::str("");
        if (!cle.is_valid()) throw nb::python_error();
        ranger(table.ptr(), mode.ptr(), temps.ptr(), cle.ptr(), ortho.ptr());
    }
    return table;
}

nb::list formes_de(nb::handle entries, nb::handle cgram) {
    exiger_list(entries, "entries");
    exiger_str_ou_none(cgram, "cgram");
    const Cles &k = cles();
    const bool filtre = !cgram.is_none();
    nb::list res;
    PyObject *l = entries.ptr();
    nb::object vues = nb::steal(PySet_New(nullptr));
    if (!vues.is_valid()) throw nb::python_error();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        if (filtre && !commence_par(texte_champ(entree.ptr(), k.cgram), cgram.ptr())) continue;
        nb::object ortho = texte_champ(entree.ptr(), k.ortho);
        if (vide(ortho)) continue;
        if (nouveau(vues.ptr(), minuscules_py(ortho.ptr()).ptr())) res.append(entree);
    }
    return res;
}

nb::tuple personne_nombre_from_entry(nb::handle entry) {
    exiger_dict(entry, "entry");
    auto [p, n] = personne_nombre(entry.ptr());
    return nb::make_tuple(p, n);
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
    m.attr("_MULTEXT_POS_PERSONNE") = POS_PERSONNE;
    m.attr("_MULTEXT_POS_NOMBRE") = POS_NOMBRE;
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
    m.def("formes_de", &formes_de, nb::arg("entries").none(), nb::arg("cgram").none() = nb::none(),
          nb::sig("def formes_de(entries: list, cgram: str | None = None) -> list[dict]"),
          "Toutes les formes flechies d'un lemme, avec filtre POS optionnel.");
    m.def("lemme_de", &lemme_de, nb::arg("entries").none(),
          nb::sig("def lemme_de(entries: list) -> str | None"),
          "Lemme le plus frequent parmi les entrees d'un mot.");
}
