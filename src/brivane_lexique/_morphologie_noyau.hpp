// The morphology functions over lists of entries, shared by the module _morphologie
// and by Lexique, which calls them directly while the module's functions are the
// ones bound at import (otherwise it calls whatever is bound, through Python).
#pragma once

#include <tuple>
#include <utility>
#include <vector>

#include "_champs.hpp"
#include "_precharge.hpp"
#include "_commun.hpp"
#include "_texte.hpp"

namespace brivane::py::morpho {

namespace nb = nanobind;

constexpr Py_ssize_t POS_PERSONNE = 4;  // in a MULTEXT tag such as "Vmip3s"
constexpr Py_ssize_t POS_NOMBRE = 5;

// Interned once per extension module, kept for the life of the interpreter.
struct Cles {
    PyObject *personne, *nombre, *multext, *cgram, *mode, *temps, *ortho, *lemme, *freq, *ver, *aux;
    // "1s" .. "3p": the slot keys of the usual persons, built once.
    PyObject *personnes[3][2];
};
inline const Cles &cles() {
    static const Cles c = [] {
        Cles k{cle_interne("personne"), cle_interne("nombre"), cle_interne("multext"), cle_interne("cgram"),
               cle_interne("mode"),     cle_interne("temps"),  cle_interne("ortho"),   cle_interne("lemme"),
               cle_interne("freq"),     cle_interne("VER"),    cle_interne("AUX"),     {}};
        const char noms[3][2][3] = {{"1s", "1p"}, {"2s", "2p"}, {"3s", "3p"}};
        for (int p = 0; p < 3; ++p)
            for (int n = 0; n < 2; ++n) k.personnes[p][n] = cle_interne(noms[p][n]);
        return k;
    }();
    return c;
}

inline bool vide(const nb::object &texte) { return PyUnicode_GET_LENGTH(texte.ptr()) == 0; }

// The character at `pos` of `tag` when it is one of the accepted labels.
inline nb::object etiquette(PyObject *tag, Py_ssize_t pos, const char *acceptes) {
    Py_UCS4 c = PyUnicode_READ_CHAR(tag, pos);
    for (const char *a = acceptes; *a; ++a)
        if (c == Py_UCS4(*a)) return nb::steal(PyUnicode_FromOrdinal(c));
    return nb::object();
}

inline std::pair<nb::object, nb::object> personne_nombre(PyObject *entree) {
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

inline bool commence_par(const nb::object &texte, PyObject *prefixe) {
    Py_ssize_t r = PyUnicode_Tailmatch(texte.ptr(), prefixe, 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// Unpacks `p, n = valeur` as Python would.
inline std::pair<nb::object, nb::object> deux_valeurs(nb::object valeur) {
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
inline PyObject *sous_table(PyObject *table, PyObject *cle) {
    PyObject *r = PyDict_GetItemWithError(table, cle);  // borrowed
    if (r) return r;
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object neuve = nb::steal(PyDict_New());
    if (!neuve.is_valid()) throw nb::python_error();
    r = PyDict_SetDefault(table, cle, neuve.ptr());
    if (!r) throw nb::python_error();
    return r;
}

// p + n for the slot key; the six usual keys are shared objects.
inline nb::object cle_personne(const nb::object &p, const nb::object &n) {
    if (PyUnicode_CheckExact(p.ptr()) && PyUnicode_CheckExact(n.ptr()) && PyUnicode_GET_LENGTH(p.ptr()) == 1 &&
        PyUnicode_GET_LENGTH(n.ptr()) == 1) {
        Py_UCS4 a = PyUnicode_READ_CHAR(p.ptr(), 0), b = PyUnicode_READ_CHAR(n.ptr(), 0);
        if (a >= '1' && a <= '3' && (b == 's' || b == 'p'))
            return nb::borrow(cles().personnes[a - '1'][b == 's' ? 0 : 1]);
    }
    nb::object cle = nb::steal(PyNumber_Add(p.ptr(), n.ptr()));
    if (!cle.is_valid()) throw nb::python_error();
    return cle;
}

// `natif`: the C++ reading of person and number; otherwise `fonction` (the module's
// current _personne_nombre_from_entry) is called on each retained entry.
inline nb::dict conjuguer(nb::handle entries, bool natif, nb::handle fonction) {
    exiger_list(entries, "entries");
    const Cles &k = cles();
    nb::dict table;
    PyObject *l = entries.ptr();
    PrechargeEntrees pre(l, {k.ortho});
    // By index, re-reading the size: a callback met on the way could shrink the list.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        pre.avant(i);
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        nb::object cgram = texte_champ(entree.ptr(), k.cgram);
        if (!commence_par(cgram, k.ver) && !commence_par(cgram, k.aux)) continue;
        nb::object mode = texte_champ(entree.ptr(), k.mode);
        nb::object temps = texte_champ(entree.ptr(), k.temps);
        nb::object ortho = texte_champ(entree.ptr(), k.ortho);
        if (vide(mode) || vide(ortho)) continue;

        nb::object p, n;
        if (natif) {
            exiger_dict(entree, "entry");
            std::tie(p, n) = personne_nombre(entree.ptr());
        } else {
            std::tie(p, n) = deux_valeurs(fonction(entree));
        }
        nb::object cle;
        if (vrai(p.ptr()) && vrai(n.ptr()))
            cle = cle_personne(p, n);
        else
            cle = vrai(p.ptr()) ? p : nb::str("");

        PyObject *par_temps = sous_table(sous_table(table.ptr(), mode.ptr()), temps.ptr());
        // The first form met for a slot keeps it.
        if (!PyDict_SetDefault(par_temps, cle.ptr(), ortho.ptr())) throw nb::python_error();
    }
    return table;
}

// Distinct texts met by a call, numbered in order of first appearance: exact str
// objects compared as a dict compares them (hash, then content), in a small table
// of the call's own instead of a Python set or dict.
class TextesVus {
public:
    explicit TextesVus(size_t prevus) {
        size_t t = 8;
        while (t < 2 * prevus) t <<= 1;
        cases_.assign(t, Case{0, -1});
    }
    size_t taille() const { return tenus_.size(); }
    // The number of `cle`, and whether it was new (then it is kept, with a reference).
    std::pair<size_t, bool> numero(const nb::object &cle) {
        Py_hash_t h = PyObject_Hash(cle.ptr());
        if (h == -1) throw nb::python_error();
        const size_t masque = cases_.size() - 1;
        size_t i = size_t(h) & masque;
        for (;; i = (i + 1) & masque) {
            const Case &c = cases_[i];
            if (c.numero < 0) break;
            if (c.h == h && str_egal(tenus_[size_t(c.numero)].ptr(), cle.ptr())) return {size_t(c.numero), false};
        }
        cases_[i] = Case{h, Py_ssize_t(tenus_.size())};
        tenus_.push_back(cle);
        if (2 * tenus_.size() > cases_.size()) agrandir();
        return {tenus_.size() - 1, true};
    }
    const nb::object &texte(size_t n) const { return tenus_[n]; }

private:
    void agrandir() {
        std::vector<Case> neuves(cases_.size() * 2, Case{0, -1});
        const size_t masque = neuves.size() - 1;
        for (const Case &c : cases_) {
            if (c.numero < 0) continue;
            size_t i = size_t(c.h) & masque;
            while (neuves[i].numero >= 0) i = (i + 1) & masque;
            neuves[i] = c;
        }
        cases_.swap(neuves);
    }
    struct Case {
        Py_hash_t h;
        Py_ssize_t numero;
    };
    std::vector<Case> cases_;
    std::vector<nb::object> tenus_;
};

inline nb::list formes_de(nb::handle entries, nb::handle cgram) {
    exiger_list(entries, "entries");
    exiger_str_ou_none(cgram, "cgram");
    const Cles &k = cles();
    const bool filtre = !cgram.is_none();
    nb::list res;
    PyObject *l = entries.ptr();
    TextesVus vues(size_t(PyList_GET_SIZE(l)));
    PrechargeEntrees pre(l, {k.ortho, filtre ? k.cgram : nullptr});
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        pre.avant(i);
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        if (filtre && !commence_par(texte_champ(entree.ptr(), k.cgram), cgram.ptr())) continue;
        nb::object ortho = texte_champ(entree.ptr(), k.ortho);
        if (vide(ortho)) continue;
        // Keys are exact str: texte_champ turns anything else into one first.
        if (vues.numero(minuscules_py(ortho.ptr())).second) res.append(entree);
    }
    return res;
}

// float(entry.get("freq") or 0), a value or type error counting as 0.0.
inline double frequence(PyObject *entree) {
    nb::object v = valeur_champ(entree, cles().freq);
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

inline nb::object lemme_de(nb::handle entries) {
    exiger_list(entries, "entries");
    const Cles &k = cles();
    PyObject *l = entries.ptr();
    TextesVus lemmes(4);
    std::vector<double> totaux;  // by lemma number, in order of first appearance
    PrechargeEntrees pre(l, {k.lemme, k.freq});
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(l); ++i) {
        pre.avant(i);
        nb::object entree = nb::borrow(PyList_GET_ITEM(l, i));
        nb::object lemme = texte_champ(entree.ptr(), k.lemme);
        if (vide(lemme)) continue;
        double f = frequence(entree.ptr());
        auto [n, nouveau] = lemmes.numero(lemme);
        if (nouveau)
            totaux.push_back(0.0 + f);
        else
            totaux[n] += f;
    }
    if (totaux.empty()) return nb::none();
    // Strictly greater replaces: equal totals keep the lemma met first.
    size_t meilleur = 0;
    for (size_t i = 1; i < totaux.size(); ++i)
        if (totaux[i] > totaux[meilleur]) meilleur = i;
    return lemmes.texte(meilleur);
}

}  // namespace brivane::py::morpho
