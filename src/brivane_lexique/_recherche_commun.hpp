// Pieces shared by the in-memory search modules (_recherche, _phonetique): field
// access on entries, the frequency order with its slice limit, the syllable count
// and the table of distinct texts. Everything here reproduces the host's own rules
// (float(), int(), str.lower(), list slicing, sorted()) because results must not
// depend on whether a query ran here or in plain Python.
#pragma once

#include "_champs.hpp"
#include "_commun.hpp"
#include "_texte.hpp"
#include "nombre.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace brivane::py {

// Field names, interned once and leaked (they must outlive the interpreter's teardown order).
struct NomsChamps {
    PyObject *ortho, *phone, *freq, *cgram, *genre, *nombre, *age, *illustrable, *categorie, *nb_syllabes,
        *nbsyll, *syllabes, *syll, *strip, *vide, *point;
};
inline const NomsChamps &noms() {
    static const NomsChamps n = {
        cle_interne("ortho"),     cle_interne("phone"),   cle_interne("freq"),        cle_interne("cgram"),
        cle_interne("genre"),     cle_interne("nombre"),  cle_interne("age"),         cle_interne("illustrable"),
        cle_interne("categorie"), cle_interne("nb_syllabes"), cle_interne("nbsyll"), cle_interne("syllabes"),
        cle_interne("syll"),      cle_interne("strip"),   cle_interne(""),            cle_interne(".")};
    return n;
}

// Code points of a str (any kind), into `out`.
inline void points_de(PyObject *s, std::u32string &out) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void *d = PyUnicode_DATA(s);
    out.resize((size_t)n);
    for (Py_ssize_t i = 0; i < n; ++i) out[(size_t)i] = (char32_t)PyUnicode_READ(kind, d, i);
}

// The text a criterion compares: e.get(nom) or "", str() of a value that is not a
// text; a str subclass is kept, so that its own methods answer.
inline nb::object texte_brut(PyObject *e, PyObject *nom) {
    nb::object v = valeur_champ(e, nom);
    if (!vrai(v.ptr())) return nb::borrow(noms().vide);
    if (PyUnicode_Check(v.ptr())) return v;
    return en_texte(v.ptr());
}

// float(v), nullopt where float() raises ValueError or TypeError; other errors
// (OverflowError of a huge int, errors of a custom __float__) are raised.
inline std::optional<double> reel_de(PyObject *v) {
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    if (PyUnicode_CheckExact(v)) {
        Py_ssize_t n = 0;
        const char *p = PyUnicode_AsUTF8AndSize(v, &n);
        if (p) return brivane::lire_reel(std::string_view(p, (size_t)n));
        if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
        PyErr_Clear();  // lone surrogates: float() refuses them with ValueError
        return std::nullopt;
    }
    PyObject *f = PyNumber_Float(v);
    if (!f) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
        return std::nullopt;
    }
    double d = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return d;
}

// Sort key of the frequency order: -float(e.get("freq", 0) or 0) (number rule of
// nombre_float), with float()'s own errors.
inline double cle_frequence(PyObject *e) {
    nb::object v = valeur_champ(e, noms().freq);
    if (!vrai(v.ptr())) return -0.0;
    if (PyFloat_CheckExact(v.ptr())) return -PyFloat_AS_DOUBLE(v.ptr());
    PyObject *f = nombre_float(v.ptr());
    if (!f) throw nb::python_error();
    double d = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return -d;
}

// End of results[:limite] for a list of n elements.
inline Py_ssize_t fin_tranche(Py_ssize_t n, long long limite) {
    if (limite >= 0) return limite < (long long)n ? (Py_ssize_t)limite : n;
    long long f = (long long)n + limite;
    return f > 0 ? (Py_ssize_t)f : 0;
}

// The one frequency order of the slice: sorted(entrees, key=-freq)[:limite] as a new
// list, given every element's key in order (one key per element). The host's sort is
// stable, so ties keep list order; NaN keys break any total order, and then the
// host's own sort orders the positions by the same keys (it compares nothing but the
// keys).
inline nb::list ordonner(PyObject *const *entrees, const std::vector<double> &cles, long long limite) {
    const Py_ssize_t n = (Py_ssize_t)cles.size(), fin = fin_tranche(n, limite);
    // (key, position) pairs: an ordinary sort of them is stable, and only the kept prefix is ordered.
    std::vector<std::pair<double, Py_ssize_t>> ordre((size_t)n);
    for (Py_ssize_t i = 0; i < n; ++i) ordre[(size_t)i] = {cles[(size_t)i], i};
    if (std::any_of(cles.begin(), cles.end(), [](double k) { return std::isnan(k); })) {
        nb::list k;
        for (double c : cles) k.append(nb::float_(c));
        nb::module_ b = nb::module_::import_("builtins");
        nb::list o = nb::borrow<nb::list>(b.attr("sorted")(b.attr("range")(n), nb::arg("key") = k.attr("__getitem__")));
        for (Py_ssize_t i = 0; i < n; ++i) ordre[(size_t)i].second = nb::cast<Py_ssize_t>(o[(size_t)i]);
    } else if (fin < n) {
        std::partial_sort(ordre.begin(), ordre.begin() + fin, ordre.end());
    } else {
        std::sort(ordre.begin(), ordre.end());
    }
    PyObject *sortie = PyList_New(fin);
    if (!sortie) throw nb::python_error();
    for (Py_ssize_t i = 0; i < fin; ++i) PyList_SET_ITEM(sortie, i, Py_NewRef(entrees[ordre[(size_t)i].second]));
    return nb::steal<nb::list>(sortie);
}

// sorted(resultats, key=-freq)[:limite], every key read on its entry in list order.
inline nb::list trier_par_frequence(const nb::list &resultats, long long limite) {
    std::vector<double> cles;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(resultats.ptr()); ++i)
        cles.push_back(cle_frequence(PyList_GET_ITEM(resultats.ptr(), i)));
    return ordonner(PySequence_Fast_ITEMS(resultats.ptr()), cles, limite);
}

// Syllable count of an entry (what _get_nb_syllabes returns): int(nb_syllabes or
// nbsyll) unless int() refuses it (ValueError, TypeError), else the number of "." in
// str(syllabes or syll) plus one, else None. `entry` must be exactly a dict.
inline nb::object nb_syllabes_entree(PyObject *e) {
    if (!PyDict_CheckExact(e)) erreur_type("entry", "dict", e);
    const NomsChamps &k = noms();
    nb::object brut = valeur_champ(e, k.nb_syllabes);
    if (!vrai(brut.ptr())) brut = valeur_champ(e, k.nbsyll);
    if (!brut.is_none()) {
        PyObject *i = PyLong_CheckExact(brut.ptr()) ? Py_NewRef(brut.ptr()) : PyNumber_Long(brut.ptr());
        if (i) return nb::steal(i);
        if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError))
            throw nb::python_error();
        PyErr_Clear();
    }
    nb::object syll = valeur_champ(e, k.syllabes);
    if (!vrai(syll.ptr())) syll = valeur_champ(e, k.syll);
    if (!vrai(syll.ptr())) return nb::none();
    syll = en_texte(syll.ptr());
    if (PyUnicode_GET_LENGTH(syll.ptr()) == 0) return nb::none();
    Py_ssize_t points = PyUnicode_Count(syll.ptr(), k.point, 0, PY_SSIZE_T_MAX);
    if (points < 0) throw nb::python_error();
    return nb::steal(PyLong_FromSsize_t(points + 1));
}

// The syllable count of the filters, through the module's current _get_nb_syllabes:
// the C++ count while it is the function bound at import, a call otherwise.
inline nb::object compter_syllabes(const NomLie &fonction, PyObject *e) {
    nb::object compte = fonction.original() ? nb_syllabes_entree(e)
                                            : nb::steal(PyObject_CallOneArg(fonction.objet().ptr(), e));
    if (!compte.is_valid()) throw nb::python_error();
    return compte;
}

// Test "count != n" of the filters.
inline bool nb_syllabes_differe(const NomLie &fonction, PyObject *e, PyObject *n) {
    int d = PyObject_RichCompareBool(compter_syllabes(fonction, e).ptr(), n, Py_NE);
    if (d < 0) throw nb::python_error();
    return d != 0;
}

// Calls f(entry) for every entry of one index list (or any iterable), holding a
// reference to the entry while f runs; a list growing or shrinking meanwhile is
// followed as the host's list iterator would.
template <class F> inline void pour_chaque_entree(PyObject *entrees, F &&f) {
    if (PyList_CheckExact(entrees)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entrees); ++i) f(nb::borrow(PyList_GET_ITEM(entrees, i)).ptr());
        return;
    }
    nb::object it = nb::steal(PyObject_GetIter(entrees));
    if (!it.is_valid()) throw nb::python_error();
    Interruptible interruption;
    while (PyObject *e = PyIter_Next(it.ptr())) {
        nb::object tenue = nb::steal(e);
        interruption();
        f(e);
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

[[noreturn]] inline void erreur_taille_changee() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    throw nb::python_error();
}

// Iterates the items of a dict in order from PyDict_Next position `pos`, raising as
// the host's dict iterator does when the dict changes size while the body runs.
template <class F> inline void pour_chaque_cle(PyObject *index, F &&f, Py_ssize_t pos = 0) {
    const Py_ssize_t taille = PyDict_GET_SIZE(index);
    PyObject *cle, *valeur;
    Interruptible interruption;
    while (PyDict_Next(index, &pos, &cle, &valeur)) {
        nb::object k = nb::borrow(cle), v = nb::borrow(valeur);
        interruption();
        f(k.ptr(), v.ptr());
        if (PyDict_GET_SIZE(index) != taille) erreur_taille_changee();
    }
}

// Distinct texts by content, numbered densely from 0 ("" is id 0). Holds copies of
// the code points, no Python reference. The texts are also laid end to end in id
// order, so that a scan testing texts in the order they were met reads them in a row.
class TableTextes {
public:
    TableTextes() { vider(); }
    void vider() {
        ids_.clear();
        points_.clear();
        debuts_.assign(1, 0);
        id(std::u32string());
    }
    size_t taille() const { return debuts_.size() - 1; }
    int32_t id(const std::u32string &t) {
        auto [it, neuf] = ids_.try_emplace(t, (int32_t)taille());
        if (neuf) {
            points_ += t;
            debuts_.push_back(points_.size());
        }
        return it->second;
    }
    int32_t id(PyObject *s) {
        points_de(s, tampon_);
        return id(tampon_);
    }
    std::u32string_view texte(int32_t id) const {
        return std::u32string_view(points_).substr(debuts_[(size_t)id], debuts_[(size_t)id + 1] - debuts_[(size_t)id]);
    }

private:
    std::unordered_map<std::u32string, int32_t> ids_;
    std::u32string points_;
    std::vector<size_t> debuts_;
    std::u32string tampon_;
};

// Defines the module's own _get_nb_syllabes, which `nom` then follows.
inline void definir_nb_syllabes(nb::module_ &m, NomLie &nom) {
    m.def("_get_nb_syllabes", [](nb::handle entry) { return nb_syllabes_entree(entry.ptr()); },
          nb::arg("entry").none(), nb::sig("def _get_nb_syllabes(entry: dict) -> int | None"),
          "Extrait le nombre de syllabes d'une entree.");
    nom.lier(m, "_get_nb_syllabes", m.attr("_get_nb_syllabes"));
}

// Registers filtrer into the _recherche module (a source of its own: compiled with the
// scans, its per-entry loop came out slower); `nb_syllabes` is that module's binding of
// _get_nb_syllabes.
void enregistrer_filtrer(nb::module_ &m, const NomLie *nb_syllabes);

}  // namespace brivane::py
