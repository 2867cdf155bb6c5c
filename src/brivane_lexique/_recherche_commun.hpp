// Pieces shared by the in-memory search modules (_recherche, _phonetique): field
// access on entries, the frequency order with its slice limit, the de-duplication
// key and the syllable count. Everything here reproduces the host's own rules
// (float(), int(), str.lower(), list slicing) because results must not depend on
// whether a query ran here or in plain Python.
#pragma once

#include "_commun.hpp"
#include "_texte.hpp"
#include "recherche_motif.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace brivane::py {

// Field names, interned once and leaked (they must outlive the interpreter's teardown order).
struct NomsChamps {
    PyObject *ortho, *phone, *freq, *cgram, *genre, *nombre, *age, *illustrable, *categorie,
        *nb_syllabes, *nbsyll, *syllabes, *syll, *get, *lower, *strip, *vide;
};
inline const NomsChamps &noms() {
    static const NomsChamps n = {
        PyUnicode_InternFromString("ortho"),       PyUnicode_InternFromString("phone"),
        PyUnicode_InternFromString("freq"),        PyUnicode_InternFromString("cgram"),
        PyUnicode_InternFromString("genre"),       PyUnicode_InternFromString("nombre"),
        PyUnicode_InternFromString("age"),         PyUnicode_InternFromString("illustrable"),
        PyUnicode_InternFromString("categorie"),   PyUnicode_InternFromString("nb_syllabes"),
        PyUnicode_InternFromString("nbsyll"),      PyUnicode_InternFromString("syllabes"),
        PyUnicode_InternFromString("syll"),        PyUnicode_InternFromString("get"),
        PyUnicode_InternFromString("lower"),       PyUnicode_InternFromString("strip"),
        PyUnicode_InternFromString("")};
    return n;
}

inline bool est_nul(const nb::object &o) { return !o.is_valid() || o.is_none(); }

// Python truth value, with the usual types answered without a call.
inline bool vrai(PyObject *o) {
    if (o == Py_None || o == Py_False) return false;
    if (o == Py_True) return true;
    if (PyUnicode_CheckExact(o)) return PyUnicode_GET_LENGTH(o) != 0;
    if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o) != 0.0;
    if (PyLong_CheckExact(o)) return _PyLong_Sign(o) != 0;
    int r = PyObject_IsTrue(o);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// e.get(nom): an invalid object when the field is missing. Entries are dicts in
// practice; any other mapping answers through its own get().
inline nb::object valeur_champ(PyObject *e, PyObject *nom) {
    if (PyDict_CheckExact(e)) {
        PyObject *v = PyDict_GetItemWithError(e, nom);
        if (!v) {
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::object();
        }
        return nb::borrow(v);
    }
    PyObject *v = PyObject_CallMethodOneArg(e, noms().get, nom);
    if (!v) throw nb::python_error();
    return nb::steal(v);
}

// Field text: the value, "" when missing or falsy, str(value) when it is not a text.
inline nb::object texte_champ(PyObject *e, PyObject *nom) {
    nb::object v = valeur_champ(e, nom);
    if (est_nul(v) || !vrai(v.ptr())) return nb::borrow(noms().vide);
    if (PyUnicode_Check(v.ptr())) return v;
    PyObject *s = PyObject_Str(v.ptr());
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

// Prefix test of two str objects (their equality: str_egal, _texte.hpp).
inline bool str_commence_par(PyObject *s, PyObject *prefixe) {
    Py_ssize_t m = PyUnicode_GET_LENGTH(prefixe);
    if (m > PyUnicode_GET_LENGTH(s)) return false;
    if (PyUnicode_KIND(s) == PyUnicode_KIND(prefixe))
        return std::memcmp(PyUnicode_DATA(s), PyUnicode_DATA(prefixe), (size_t)m * PyUnicode_KIND(s)) == 0;
    Py_ssize_t r = PyUnicode_Tailmatch(s, prefixe, 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// Sort key of the frequency order: -float(e.get("freq", 0) or 0). Errors are
// float()'s own (ValueError for a non-numeric text, message included).
inline double cle_frequence(PyObject *e) {
    nb::object v = valeur_champ(e, noms().freq);
    if (est_nul(v)) return -0.0;
    PyObject *o = v.ptr();
    if (PyFloat_CheckExact(o)) return -PyFloat_AS_DOUBLE(o);
    if (!vrai(o)) return -0.0;
    PyObject *f = PyNumber_Float(o);
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

// The end of a frequency sort, once every key (-freq, position) is known: the kept
// prefix in key order, or the host's own sort when a NaN key breaks the order.
inline nb::list ordonner_et_couper(nb::list resultats, std::vector<std::pair<double, Py_ssize_t>> &cles,
                                   bool nan, long long limite) {
    PyObject *r = resultats.ptr();
    const Py_ssize_t n = PyList_GET_SIZE(r);
    Py_ssize_t fin = fin_tranche(n, limite);
    if (nan) {
        nb::object cle = nb::cpp_function([](nb::handle e) { return cle_frequence(e.ptr()); });
        resultats.attr("sort")(nb::arg("key") = cle);
        return nb::steal<nb::list>(PyList_GetSlice(r, 0, fin));
    }
    if (fin < n)
        std::partial_sort(cles.begin(), cles.begin() + fin, cles.end());
    else
        std::sort(cles.begin(), cles.end());
    PyObject *sortie = PyList_New(fin);
    if (!sortie) throw nb::python_error();
    for (Py_ssize_t i = 0; i < fin; ++i) {
        PyObject *e = PyList_GET_ITEM(r, cles[(size_t)i].second);
        Py_INCREF(e);
        PyList_SET_ITEM(sortie, i, e);
    }
    return nb::steal<nb::list>(sortie);
}

// sorted(results, key=-freq)[:limite] as a new list. Every key is computed (and may
// raise) exactly as the host's sort would, in list order. Keys tied with their
// position make an ordinary sort stable; only the kept prefix is ordered. NaN keys
// break any total order, so that rare case is handed to the host's own sort.
inline nb::list trier_par_frequence(nb::list resultats, long long limite) {
    PyObject *r = resultats.ptr();
    Py_ssize_t n = PyList_GET_SIZE(r);
    std::vector<std::pair<double, Py_ssize_t>> cles((size_t)n);
    bool nan = false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        double k = cle_frequence(PyList_GET_ITEM(r, i));
        nan |= std::isnan(k);
        cles[(size_t)i] = {k, i};
    }
    return ordonner_et_couper(resultats, cles, nan, limite);
}

inline void ajouter_utf8(std::string &out, Py_UCS4 c) {
    if (c < 0x80) {
        out += (char)c;
    } else if (c < 0x800) {
        out += (char)(0xC0 | (c >> 6));
        out += (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += (char)(0xE0 | (c >> 12));
        out += (char)(0x80 | ((c >> 6) & 0x3F));
        out += (char)(0x80 | (c & 0x3F));
    } else {
        out += (char)(0xF0 | (c >> 18));
        out += (char)(0x80 | ((c >> 12) & 0x3F));
        out += (char)(0x80 | ((c >> 6) & 0x3F));
        out += (char)(0x80 | (c & 0x3F));
    }
}

// De-duplication key: str(e.get("ortho") or "").lower(), as UTF-8 bytes in `out`.
// Latin-1 spellings are lowered here; wider ones go through str.lower().
inline void cle_ortho(PyObject *e, std::string &out) {
    out.clear();
    nb::object t = texte_champ(e, noms().ortho);
    PyObject *s = t.ptr();
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND) {
        const unsigned char *d = PyUnicode_1BYTE_DATA(s);
        for (Py_ssize_t i = 0; i < n; ++i) ajouter_utf8(out, brivane::minuscule_latin1(d[i]));
        return;
    }
    nb::object bas = nb::steal(PyObject_CallMethodNoArgs(s, noms().lower));
    if (!bas.is_valid()) throw nb::python_error();
    if (!PyUnicode_Check(bas.ptr())) {
        PyErr_SetString(PyExc_TypeError, "lower() did not return a str");
        throw nb::python_error();
    }
    out = utf8(bas.ptr());
}

// Keeps only the first entry met for each lower-cased spelling.
class Dedoublonneur {
public:
    // True when the entry's spelling was not seen yet (it is then reserved).
    bool nouveau(PyObject *e) {
        cle_ortho(e, tampon_);
        return vus_.insert(tampon_).second;
    }
    // Same, but an entry without spelling is refused outright.
    bool nouveau_non_vide(PyObject *e) {
        cle_ortho(e, tampon_);
        if (tampon_.empty()) return false;
        return vus_.insert(tampon_).second;
    }

private:
    std::string tampon_;
    std::unordered_set<std::string> vus_;
};

// Calls f(entry) for every entry of one index list (or any iterable), holding a
// reference to the entry while f runs; a list growing or shrinking meanwhile is
// followed as the host's list iterator would.
template <class F> inline void pour_chaque_entree(PyObject *entrees, F &&f) {
    if (PyList_CheckExact(entrees)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entrees); ++i) {
            nb::object e = nb::borrow(PyList_GET_ITEM(entrees, i));
            f(e.ptr());
        }
        return;
    }
    nb::object it = nb::steal(PyObject_GetIter(entrees));
    if (!it.is_valid()) throw nb::python_error();
    while (PyObject *e = PyIter_Next(it.ptr())) {
        nb::object tenu = nb::steal(e);
        f(e);
    }
    if (PyErr_Occurred()) throw nb::python_error();
}

// Iterates the items of a dict in order, raising as the host's dict iterator does
// when the dict changes size while the loop body runs Python code.
template <class F> inline void pour_chaque_cle(PyObject *index, F &&f) {
    Py_ssize_t taille = PyDict_GET_SIZE(index), pos = 0;
    PyObject *cle, *valeur;
    while (PyDict_Next(index, &pos, &cle, &valeur)) {
        nb::object k = nb::borrow(cle), v = nb::borrow(valeur);
        f(k.ptr(), v.ptr());
        if (PyDict_GET_SIZE(index) != taille) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw nb::python_error();
        }
    }
}

// Result of the syllable count: absent (None), a count, or an int too large for
// 64 bits (kept as the object int() returned).
struct NbSyllabes {
    enum { Aucun, Valeur, Grand } etat = Aucun;
    long long valeur = 0;
    nb::object grand;
};

// int(nb_raw) for the syllable count; false when int() fails with ValueError or
// TypeError (the caller then falls back to the syllable text). Other errors raise.
inline bool entier_syllabes(PyObject *o, NbSyllabes &r) {
    if (PyLong_CheckExact(o) || PyBool_Check(o)) {
        int debord = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &debord);
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        if (!debord) {
            r.etat = NbSyllabes::Valeur;
            r.valeur = v;
            return true;
        }
    } else if (PyUnicode_CheckExact(o) && PyUnicode_IS_ASCII(o)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(o);
        const unsigned char *d = PyUnicode_1BYTE_DATA(o);
        if (n > 0 && n <= 18 && std::all_of(d, d + n, [](unsigned char c) { return c >= '0' && c <= '9'; })) {
            long long v = 0;
            for (Py_ssize_t i = 0; i < n; ++i) v = v * 10 + (d[i] - '0');
            r.etat = NbSyllabes::Valeur;
            r.valeur = v;
            return true;
        }
    }
    PyObject *i = PyNumber_Long(o);
    if (!i) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return false;
        }
        throw nb::python_error();
    }
    nb::object io = nb::steal(i);
    if (!PyLong_Check(i)) {  // int() always gives an int; __int__ returning a subclass is kept as is
        r.etat = NbSyllabes::Grand;
        r.grand = io;
        return true;
    }
    int debord = 0;
    long long v = PyLong_AsLongLongAndOverflow(i, &debord);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (debord || !PyLong_CheckExact(i)) {
        r.etat = NbSyllabes::Grand;
        r.grand = io;
    } else {
        r.etat = NbSyllabes::Valeur;
        r.valeur = v;
    }
    return true;
}

inline Py_ssize_t compter_points(PyObject *s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s), c = 0;
    int kind = PyUnicode_KIND(s);
    const void *d = PyUnicode_DATA(s);
    if (kind == PyUnicode_1BYTE_KIND) {
        auto p = static_cast<const unsigned char *>(d);
        return std::count(p, p + n, (unsigned char)'.');
    }
    for (Py_ssize_t i = 0; i < n; ++i) c += PyUnicode_READ(kind, d, i) == '.';
    return c;
}

// Syllable count of an entry: nb_syllabes, else nbsyll, as int(); else the number
// of "." in syllabes or syll plus one; else nothing. `entry` must be exactly a dict.
inline NbSyllabes nb_syllabes_entree(PyObject *e) {
    if (!PyDict_CheckExact(e)) erreur_type("entry", "dict", e);
    const NomsChamps &k = noms();
    NbSyllabes r;
    nb::object brut = valeur_champ(e, k.nb_syllabes);
    if (est_nul(brut) || !vrai(brut.ptr())) brut = valeur_champ(e, k.nbsyll);
    if (!est_nul(brut) && entier_syllabes(brut.ptr(), r)) return r;
    nb::object syll = valeur_champ(e, k.syllabes);
    if (est_nul(syll) || !vrai(syll.ptr())) syll = valeur_champ(e, k.syll);
    if (est_nul(syll) || !vrai(syll.ptr())) return r;
    if (!PyUnicode_Check(syll.ptr())) {
        syll = nb::steal(PyObject_Str(syll.ptr()));
        if (!syll.is_valid()) throw nb::python_error();
    }
    if (PyUnicode_GET_LENGTH(syll.ptr()) == 0) return r;
    r.etat = NbSyllabes::Valeur;
    r.valeur = compter_points(syll.ptr()) + 1;
    return r;
}

inline nb::object nb_syllabes_objet(PyObject *e) {
    NbSyllabes r = nb_syllabes_entree(e);
    if (r.etat == NbSyllabes::Aucun) return nb::none();
    if (r.etat == NbSyllabes::Grand) return r.grand;
    return nb::steal(PyLong_FromLongLong(r.valeur));
}

// Test "count != n" of the filters, through the module's current _get_nb_syllabes:
// the C++ count while it is the function bound at import, a call otherwise.
inline bool nb_syllabes_differe(const NomLie &fonction, PyObject *e, long long n, PyObject *n_objet) {
    if (fonction.original()) {
        NbSyllabes r = nb_syllabes_entree(e);
        if (r.etat == NbSyllabes::Aucun) return true;
        if (r.etat == NbSyllabes::Valeur) return r.valeur != n;
        int d = PyObject_RichCompareBool(r.grand.ptr(), n_objet, Py_NE);
        if (d < 0) throw nb::python_error();
        return d != 0;
    }
    nb::object f = fonction.objet();
    PyObject *res = PyObject_CallOneArg(f.ptr(), e);
    if (!res) throw nb::python_error();
    nb::object tenu = nb::steal(res);
    int d = PyObject_RichCompareBool(res, n_objet, Py_NE);
    if (d < 0) throw nb::python_error();
    return d != 0;
}

// Registers filtrer into the _recherche module; `nb_syllabes` is that module's binding
// of _get_nb_syllabes.
void enregistrer_filtrer(nb::module_ &m, const NomLie *nb_syllabes);

}  // namespace brivane::py
