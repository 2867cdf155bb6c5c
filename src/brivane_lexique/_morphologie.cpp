// Module _morphologie: lemma choice, inflected forms and conjugation tables over the
// entries a caller has already selected (one spelling, or one lemma).
#include <tuple>
#include <utility>
#include <vector>

#include "_champs.hpp"
#include "_commun.hpp"
#include "_texte.hpp"

namespace nb = nanobind;
using namespace brivane::py;

namespace {

constexpr Py_ssize_t POS_PERSONNE = 4;  // in a MULTEXT tag such as "Vmip3s"
constexpr Py_ssize_t POS_NOMBRE = 5;

PyObject *CLE_PERSONNE, *CLE_NOMBRE, *CLE_MULTEXT, *CLE_CGRAM, *CLE_MODE, *CLE_TEMPS,
    *CLE_ORTHO, *CLE_LEMME, *CLE_FREQ;

// conjuguer calls _personne_nombre_from_entry through the module, so that a
// replacement made from Python is obeyed; the C++ version is used while it is bound.
NomLie g_personne_nombre;

bool vide(const nb::object &texte) { return PyUnicode_GET_LENGTH(texte.ptr()) == 0; }

// The character at `pos` of `tag` when it is one of the accepted labels.
nb::object etiquette(PyObject *tag, Py_ssize_t pos, const char *acceptes) {
    Py_UCS4 c = PyUnicode_READ_CHAR(tag, pos);
    for (const char *a = acceptes; *a; ++a)
        if (c == Py_UCS4(*a)) return nb::steal(PyUnicode_FromOrdinal(c));
    return nb::object();
}

std::pair<nb::object, nb::object> personne_nombre(PyObject *entree) {
    nb::object p = texte_champ(entree, CLE_PERSONNE);
    nb::object n = texte_champ(entree, CLE_NOMBRE);
    if (!vide(p) && !vide(n)) return {p, n};
    nb::object v = valeur_champ(entree, CLE_MULTEXT);
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

nb::tuple personne_nombre_from_entry(nb::handle entry) {
    exiger_dict(entry, "entry");
    auto [p, n] = personne_nombre(entry.ptr());
    return nb::make_tuple(p, n);
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

// dict.setdefault(cle, {}) for an exact dict.
PyObject *sous_table(PyObject *table, PyObject *cle) {
    PyObject *fresh = PyDict_New();
    if (!fresh) throw nb::python_error();
    PyObject *r = PyDict_SetDefault(table, cle, fresh);  // borrowed
    Py_DECREF(fresh);
    if (!r) throw nb::python_error();
    return r;
}

nb::dict conjuguer(nb::handle entries) {
    exiger_list(entries, "entries");
    static PyObject *VER = cle_interne("VER"), *AUX = cle_interne("AUX");
    const bool natif = g_personne_nombre.original();
    nb::object fonction = natif ? nb::object() : g_personne_nombre.objet();
    nb::dict table;
    PyObject *l = entries.ptr();
    PrechargeEntrees pre(l, {CLE_ORTHO});
    // By index, re-reading the size: a callback met on the way could shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        pre.avant(i);
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        nb::object cgram = texte_champ(entree.ptr(), CLE_CGRAM);
        if (!commence_par(cgram, VER) && !commence_par(cgram, AUX)) continue;
        nb::object mode = texte_champ(entree.ptr(), CLE_MODE);
        nb::object temps = texte_champ(entree.ptr(), CLE_TEMPS);
        nb::object ortho = texte_champ(entree.ptr(), CLE_ORTHO);
        if (vide(mode) || vide(ortho)) continue;

        nb::object p, n;
        if (natif) {
            exiger_dict(entree, "entry");
            std::tie(p, n) = personne_nombre(entree.ptr());
        } else {
            std::tie(p, n) = deux_valeurs(fonction(entree));
        }
        nb::object cle;
        if (vrai(p.ptr()) && vrai(n.ptr())) {
            cle = nb::steal(PyNumber_Add(p.ptr(), n.ptr()));
            if (!cle.is_valid()) throw nb::python_error();
        } else {
            cle = vrai(p.ptr()) ? p : nb::str("");
        }

        PyObject *par_temps = sous_table(sous_table(table.ptr(), mode.ptr()), temps.ptr());
        // The first form met for a slot keeps it.
        if (!PyDict_SetDefault(par_temps, cle.ptr(), ortho.ptr())) throw nb::python_error();
    }
    return table;
}

nb::list formes_de(nb::handle entries, nb::handle cgram) {
    exiger_list(entries, "entries");
    exiger_str_ou_none(cgram, "cgram");
    const bool filtre = !cgram.is_none();
    nb::list res;
    nb::object vues = nb::steal(PySet_New(nullptr));
    if (!vues.is_valid()) throw nb::python_error();
    PyObject *l = entries.ptr();
    PrechargeEntrees pre(l, {CLE_ORTHO, filtre ? CLE_CGRAM : nullptr});
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        pre.avant(i);
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        if (filtre && !commence_par(texte_champ(entree.ptr(), CLE_CGRAM), cgram.ptr())) continue;
        nb::object ortho = texte_champ(entree.ptr(), CLE_ORTHO);
        if (vide(ortho)) continue;
        nb::object cle = minuscules_py(ortho.ptr());
        int r = PySet_Contains(vues.ptr(), cle.ptr());
        if (r < 0) throw nb::python_error();
        if (r) continue;
        if (PySet_Add(vues.ptr(), cle.ptr()) < 0) throw nb::python_error();
        res.append(entree);
    }
    return res;
}

// float(entry.get("freq") or 0), a value or type error counting as 0.0.
double frequence(PyObject *entree) {
    nb::object v = valeur_champ(entree, CLE_FREQ);
    if (PyFloat_CheckExact(v.ptr())) return PyFloat_AS_DOUBLE(v.ptr());
    if (!vrai(v.ptr())) return 0.0;
    PyObject *f = PyNumber_Float(v.ptr());
    if (!f) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return 0.0;
        }
        throw nb::python_error();
    }
    double d = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return d;
}

nb::object lemme_de(nb::handle entries) {
    exiger_list(entries, "entries");
    PyObject *l = entries.ptr();
    // lemma -> position in `totaux`, which keeps the order of first appearance.
    nb::dict position;
    std::vector<std::pair<nb::object, double>> totaux;
    PrechargeEntrees pre(l, {CLE_LEMME, CLE_FREQ});
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        pre.avant(i);
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        nb::object lemme = texte_champ(entree.ptr(), CLE_LEMME);
        if (vide(lemme)) continue;
        double f = frequence(entree.ptr());
        PyObject *pos = PyDict_GetItemWithError(position.ptr(), lemme.ptr());
        if (pos) {
            totaux[PyLong_AsSize_t(pos)].second += f;
        } else {
            if (PyErr_Occurred()) throw nb::python_error();
            position[lemme] = nb::int_(totaux.size());
            totaux.emplace_back(lemme, 0.0 + f);
        }
    }
    if (totaux.empty()) return nb::none();
    // Strictly greater replaces: equal totals keep the lemma met first.
    size_t meilleur = 0;
    for (size_t k = 1; k < totaux.size(); ++k)
        if (totaux[k].second > totaux[meilleur].second) meilleur = k;
    return totaux[meilleur].first;
}

}  // namespace

NB_MODULE(_morphologie, m) {
    m.doc() = "Fonctions de morphologie : conjugaison, formes flechies, lemmatisation.";
    CLE_PERSONNE = cle_interne("personne");
    CLE_NOMBRE = cle_interne("nombre");
    CLE_MULTEXT = cle_interne("multext");
    CLE_CGRAM = cle_interne("cgram");
    CLE_MODE = cle_interne("mode");
    CLE_TEMPS = cle_interne("temps");
    CLE_ORTHO = cle_interne("ortho");
    CLE_LEMME = cle_interne("lemme");
    CLE_FREQ = cle_interne("freq");

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
          "Ne conserve que les entrees VER ou AUX.");
    m.def("formes_de", &formes_de, nb::arg("entries").none(), nb::arg("cgram").none() = nb::none(),
          nb::sig("def formes_de(entries: list, cgram: str | None = None) -> list[dict]"),
          "Toutes les formes flechies d'un lemme, avec filtre POS optionnel.");
    m.def("lemme_de", &lemme_de, nb::arg("entries").none(),
          nb::sig("def lemme_de(entries: list) -> str | None"),
          "Lemme le plus frequent parmi les entrees d'un mot.");
}
