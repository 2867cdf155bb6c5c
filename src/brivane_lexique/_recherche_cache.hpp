// What the in-memory queries remember between calls, and how they prove it is
// still true.
//
// The scans are bound by memory, not by arithmetic: reading five fields of 442,401
// entry dicts touches several cache lines per entry. So the values a query needs
// (spelling key, sort key, part of speech, syllable count, filter fields) are kept
// per entry in a flat record (a "fiche"), and reused only while the entry is
// provably unchanged:
// - a record is found by the entry's address and trusted only when the dict at
//   that address carries the same ma_version_tag. CPython 3.11 gives every dict a
//   version from one global counter at creation and on every mutation, so an
//   address reused by a new dict, or a field changed in place, never matches;
// - only values of exact immutable types (str, int, float, bool, None) are
//   remembered; anything else (subclasses, objects with their own __float__ or
//   __str__) is marked "live" and evaluated through the ordinary path on each call;
// - no record holds a reference: a stored address is compared, never followed.
// Texts are replaced by dense ids of their content (TableTextes), so that equality,
// de-duplication and prefix tests work on small integers.
#pragma once

#include "_precharge.hpp"
#include "_recherche_commun.hpp"
#include "nombre.hpp"
#include "_texte.hpp"

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

namespace brivane::py {

// Distinct texts by content, numbered densely from 0 ("" is id 0). Holds copies of
// the code points, no Python reference.
class TableTextes {
public:
    TableTextes() { vider(); }

    void vider() {
        cases_.assign(1024, Case{0, -1});
        debuts_.assign(1, 0);
        hashs_.clear();
        points_.clear();
        nb::object vide = nb::borrow(noms().vide);
        id(vide.ptr());
    }
    size_t taille() const { return hashs_.size(); }
    size_t volume() const { return points_.size(); }

    // Id of the content of `s` (a str, exact or not), added when absent.
    int32_t id(PyObject *s) {
        Py_hash_t h = hash_contenu(s);
        size_t masque = cases_.size() - 1, i = (size_t)h & masque;
        for (;; i = (i + 1) & masque) {
            Case &c = cases_[i];
            if (c.id < 0) break;
            if (c.h == (uint32_t)h && egal(c.id, s)) return c.id;
        }
        int32_t nouveau = (int32_t)hashs_.size();
        hashs_.push_back(h);
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        int kind = PyUnicode_KIND(s);
        const void *d = PyUnicode_DATA(s);
        for (Py_ssize_t k = 0; k < n; ++k) points_.push_back(PyUnicode_READ(kind, d, k));
        debuts_.push_back((uint32_t)points_.size());
        cases_[i] = Case{(uint32_t)h, nouveau};
        if (hashs_.size() * 2 > cases_.size()) agrandir();
        return nouveau;
    }

    // Prefix test of text `id` against a str.
    bool commence_par(int32_t id, PyObject *prefixe) const {
        Py_ssize_t m = PyUnicode_GET_LENGTH(prefixe);
        uint32_t a = debuts_[(size_t)id], b = debuts_[(size_t)id + 1];
        if ((Py_ssize_t)(b - a) < m) return false;
        int kind = PyUnicode_KIND(prefixe);
        const void *d = PyUnicode_DATA(prefixe);
        for (Py_ssize_t k = 0; k < m; ++k)
            if (points_[a + (size_t)k] != PyUnicode_READ(kind, d, k)) return false;
        return true;
    }

    // Code points of text `id`.
    const Py_UCS4 *points(int32_t id, size_t &n) const {
        n = debuts_[(size_t)id + 1] - debuts_[(size_t)id];
        return points_.data() + debuts_[(size_t)id];
    }

private:
    struct Case {
        uint32_t h;  // low bits of the hash: a first filter before comparing texts
        int32_t id;
    };
    // The hash of a str depends only on its content (str.__hash__, cached in the
    // object); a subclass may redefine __hash__, so its content is hashed here.
    static Py_hash_t hash_contenu(PyObject *s) {
        if (PyUnicode_CheckExact(s)) {
            Py_hash_t h = PyObject_Hash(s);
            if (h == -1) throw nb::python_error();
            return h;
        }
        Py_hash_t h = PyUnicode_Type.tp_hash(s);
        if (h == -1) throw nb::python_error();
        return h;
    }
    bool egal(int32_t id, PyObject *s) const {
        uint32_t a = debuts_[(size_t)id], b = debuts_[(size_t)id + 1];
        Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        if ((Py_ssize_t)(b - a) != n) return false;
        int kind = PyUnicode_KIND(s);
        const void *d = PyUnicode_DATA(s);
        for (Py_ssize_t k = 0; k < n; ++k)
            if (points_[a + (size_t)k] != PyUnicode_READ(kind, d, k)) return false;
        return true;
    }
    void agrandir() {
        std::vector<Case> neuves(cases_.size() * 2, Case{0, -1});
        size_t masque = neuves.size() - 1;
        for (const Case &c : cases_) {
            if (c.id < 0) continue;
            size_t i = (size_t)hashs_[(size_t)c.id] & masque;
            while (neuves[i].id >= 0) i = (i + 1) & masque;
            neuves[i] = c;
        }
        cases_.swap(neuves);
    }

    std::vector<Case> cases_;
    std::vector<uint32_t> debuts_;
    std::vector<Py_hash_t> hashs_;
    std::vector<Py_UCS4> points_;
};

// Groups of remembered values, computed on first need.
enum : uint8_t {
    G_TRI = 1,          // spelling key (de-duplication) and sort key
    G_SYLL = 2,         // part of speech and syllable count
    G_VAL_ORTHO = 4,    // the ortho value tested by rechercher
    G_VAL_PHONE = 8,    // the phone value tested by rechercher
    // filtrer: the frequency (read for every entry), then what its criteria read
    G_FREQ = 16,
    G_TEXTES = 32,      // genre, nombre, categorie
    G_MESURES = 64,     // age, illustrable
    G_PHONE = 128,      // phone present
};

// The part of a record every scan reads: which entry state it describes, what is
// computed, and the small flags.
struct Tete {
    PyObject *e = nullptr;  // address only: never dereferenced from here
    uint64_t version = 0;
    uint8_t prets = 0;      // groups computed
    uint8_t vivants = 0;    // groups that must be evaluated on the entry itself
    bool tri_ok = false;    // `cle` is valid (else the sort converts freq itself)
    bool syll_ok = false;   // the entry has a syllable count, `syll`
    uint8_t age_etat = 0, ill_etat = 0;  // 0 absent, 1 present but not a number, 2 number
    bool phone = false;     // phone present
};

// Real conversion of a value with float()'s rules: a number as a double, a text
// parsed by the core reader. nullopt for a bad value or a bad type; other errors
// (OverflowError of a huge int, errors of a custom __float__) raise.
inline std::optional<double> reel_de(PyObject *v) {
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    if (PyLong_CheckExact(v)) {
        double d = PyLong_AsDouble(v);
        if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return d;
    }
    if (PyUnicode_CheckExact(v)) {
        Py_ssize_t n = 0;
        const char *p = PyUnicode_AsUTF8AndSize(v, &n);
        if (!p) {  // lone surrogates: float() refuses them with ValueError
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
            PyErr_Clear();
            return std::nullopt;
        }
        return brivane::lire_reel(std::string_view(p, (size_t)n));
    }
    PyObject *f = PyNumber_Float(v);
    if (!f) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return std::nullopt;
        }
        throw nb::python_error();
    }
    double d = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return d;
}

// Values whose conversions and text forms run no Python code and cannot change.
inline bool immuable(PyObject *v) {
    return v == Py_None || PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) || PyLong_CheckExact(v) ||
           PyBool_Check(v);
}

// The records, found by entry address (a cursor makes a scan in the order of the
// previous one sequential). Stored by columns, so that a scan reads only what its
// criteria need; record i is row i of every column.
class Fiches {
public:
    TableTextes textes;
    std::vector<Tete> tetes;
    std::vector<int32_t> ortho;        // id of lower(ortho text); -1: computed on the entry
    std::vector<double> cle;           // -float(freq or 0)
    std::vector<int32_t> cgram, syll;  // part-of-speech text id, syllable count
    std::vector<int32_t> genre, nombre, categorie;
    std::vector<double> freq, age, ill;
    std::vector<int32_t> val_ortho, val_phone;  // id of the field value, -1 when empty/falsy
    int en_cours_ = 0;

    // Called at the start of each query: bounds the memory kept. Never while
    // another query is running (a live path may call back into this module): its
    // record numbers must stay valid.
    void debut_appel() {
        if (en_cours_ == 0 && (tetes.size() > 6000000 || textes.volume() > 120000000)) {
            for (auto *c : {&ortho, &cgram, &syll, &genre, &nombre, &categorie, &val_ortho, &val_phone})
                std::vector<int32_t>().swap(*c);
            for (auto *c : {&cle, &freq, &age, &ill}) std::vector<double>().swap(*c);
            std::vector<Tete>().swap(tetes);
            cases_.assign(1024, -1);
            textes.vider();
            curseur_ = 0;
        }
    }

    // The record of an exact dict with `groupes` computed and valid; -1 for
    // anything that is not an exact dict.
    // `conseil`: where the record of the entry at this place was last time (checked
    // by address before use, updated after).
    int32_t obtenir(PyObject *e, uint8_t groupes, int32_t *conseil = nullptr) {
        if (!PyDict_CheckExact(e)) return -1;
        int32_t i;
        if (conseil && *conseil >= 0 && (size_t)*conseil < tetes.size() && tetes[(size_t)*conseil].e == e) {
            i = *conseil;
        } else {
            i = indice(e);
            if (conseil) *conseil = i;
        }
        Tete &t = tetes[(size_t)i];
        uint64_t ver = version_dict(e);
        if (t.version != ver) {
            t = Tete{};
            t.e = e;
            t.version = ver;
        }
        if ((t.prets & groupes) != groupes) calculer(i, (uint8_t)(groupes & ~t.prets));
        return i;
    }

    // Computes more groups of a record already validated by obtenir().
    void assurer(int32_t i, uint8_t groupes) {
        uint8_t prets = tetes[(size_t)i].prets;
        if ((prets & groupes) != groupes) calculer(i, (uint8_t)(groupes & ~prets));
    }

    // True when the record is still that of this entry as it is now.
    bool valide(int32_t i, PyObject *e) const {
        const Tete &t = tetes[(size_t)i];
        return t.e == e && PyDict_CheckExact(e) && t.version == version_dict(e);
    }

private:
    static size_t hacher(PyObject *e) { return (size_t)(((uintptr_t)e >> 4) * 0x9E3779B97F4A7C15ull >> 20); }

    int32_t indice(PyObject *e) {
        if (curseur_ < tetes.size() && tetes[curseur_].e == e) return (int32_t)curseur_++;
        size_t masque = cases_.size() - 1, k = hacher(e) & masque;
        for (;; k = (k + 1) & masque) {
            int32_t c = cases_[k];
            if (c < 0) break;
            if (tetes[(size_t)c].e == e) {
                curseur_ = (size_t)c + 1;
                return c;
            }
        }
        int32_t i = (int32_t)tetes.size();
        Tete t;
        t.e = e;
        t.version = version_dict(e);
        tetes.push_back(t);
        cases_[k] = i;
        if (tetes.size() * 2 > cases_.size()) agrandir();
        curseur_ = tetes.size();
        return i;
    }
    void agrandir() {
        std::vector<int32_t> neuves(cases_.size() * 2, -1);
        size_t masque = neuves.size() - 1;
        for (size_t i = 0; i < tetes.size(); ++i) {
            size_t k = hacher(tetes[i].e) & masque;
            while (neuves[k] >= 0) k = (k + 1) & masque;
            neuves[k] = (int32_t)i;
        }
        cases_.swap(neuves);
    }

    // Field value of an exact dict, borrowed; nullptr when missing.
    static PyObject *champ(PyObject *e, PyObject *nom) {
        PyObject *v = PyDict_GetItemWithError(e, nom);
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return v;
    }
    // Field text as an id: "" for missing or falsy, the text of an exact str.
    // False when the value needs the live path.
    bool id_texte(PyObject *v, int32_t &id) {
        if (!v || v == Py_None || v == Py_False) return id = 0, true;
        if (PyUnicode_CheckExact(v)) return id = textes.id(v), true;
        if ((PyLong_CheckExact(v) || PyFloat_CheckExact(v)) && !vrai(v)) return id = 0, true;
        return false;
    }
    // Presence and real value of age / illustrable; false for the live path.
    static bool mesure(PyObject *v, uint8_t &etat, double &val) {
        if (!v || v == Py_None) return etat = 0, true;
        if (!immuable(v)) return false;
        if (PyUnicode_CheckExact(v) && PyUnicode_GET_LENGTH(v) == 0) return etat = 0, true;
        std::optional<double> d;
        try {
            d = reel_de(v);
        } catch (nb::python_error &) {
            return false;  // OverflowError of a huge int: raised again on the live path
        }
        etat = d ? 2 : 1;
        val = d.value_or(0.0);
        return true;
    }

    // A column is only as long as the records whose group filled it; readers only
    // read a row whose group is computed.
    template <class T> void etendre(std::vector<T> &c, size_t r) {
        if (c.size() <= r) c.resize(std::max(r + 1, tetes.size()));
    }

    void calculer(int32_t i, uint8_t groupes) {
        const NomsChamps &k = noms();
        const size_t r = (size_t)i;
        if (groupes & G_TRI) etendre(ortho, r), etendre(cle, r);
        if (groupes & G_SYLL) etendre(cgram, r), etendre(syll, r);
        if (groupes & G_FREQ) etendre(freq, r);
        if (groupes & G_TEXTES)
            for (auto *c : {&genre, &nombre, &categorie}) etendre(*c, r);
        if (groupes & G_MESURES) etendre(age, r), etendre(ill, r);
        if (groupes & G_VAL_ORTHO) etendre(val_ortho, r);
        if (groupes & G_VAL_PHONE) etendre(val_phone, r);
        PyObject *e = tetes[r].e;
        uint8_t vivants = 0;
        if (groupes & G_TRI) {
            int32_t o_id = -1;
            PyObject *o = champ(e, k.ortho);
            if (!o || o == Py_None) {
                o_id = 0;
            } else if (PyUnicode_CheckExact(o)) {
                nb::object bas = minuscules_py(o);
                o_id = textes.id(bas.ptr());
            } else if ((PyLong_CheckExact(o) || PyFloat_CheckExact(o) || PyBool_Check(o)) && !vrai(o)) {
                o_id = 0;
            }
            PyObject *f = champ(e, k.freq);
            bool ok = true;
            double c = -0.0;
            if (f && f != Py_None) {
                if (PyFloat_CheckExact(f)) {
                    c = -PyFloat_AS_DOUBLE(f);
                } else if (PyUnicode_CheckExact(f)) {
                    if (PyUnicode_GET_LENGTH(f) != 0) {
                        auto d = reel_de(f);
                        ok = d.has_value();
                        if (ok) c = -*d;
                    }
                } else if (PyLong_CheckExact(f) || PyBool_Check(f)) {
                    if (vrai(f)) {
                        double d = PyLong_AsDouble(f);
                        if (d == -1.0 && PyErr_Occurred()) {
                            PyErr_Clear();
                            ok = false;
                        }
                        c = -d;
                    }
                } else {
                    ok = false;
                }
            }
            ortho[r] = o_id;
            tetes[r].tri_ok = ok;
            cle[r] = c;
        }
        if (groupes & G_SYLL) {
            int32_t cg = 0;
            bool ok = id_texte(champ(e, k.cgram), cg);
            NbSyllabes s;
            if (ok) {
                for (PyObject *nom : {k.nb_syllabes, k.nbsyll, k.syllabes, k.syll}) {
                    PyObject *v = champ(e, nom);
                    if (v && !immuable(v)) ok = false;
                }
            }
            if (ok) {
                try {
                    s = nb_syllabes_entree(e);
                } catch (nb::python_error &) {
                    ok = false;  // int(inf) and the like: raised again on the live path
                }
                if (s.etat == NbSyllabes::Grand || s.valeur < INT32_MIN || s.valeur > INT32_MAX) ok = false;
            }
            cgram[r] = cg;
            tetes[r].syll_ok = s.etat == NbSyllabes::Valeur;
            syll[r] = (int32_t)s.valeur;
            if (!ok) vivants |= G_SYLL;
        }
        if (groupes & G_FREQ) {
            bool ok = true;
            double fr = 0.0;
            PyObject *f = champ(e, k.freq);
            if (f && f != Py_None) {
                if (!immuable(f)) {
                    ok = false;
                } else if (vrai(f)) {
                    try {
                        fr = reel_de(f).value_or(0.0);
                    } catch (nb::python_error &) {
                        ok = false;
                    }
                }
            }
            freq[r] = fr;
            if (!ok) vivants |= G_FREQ;
        }
        if (groupes & G_TEXTES) {
            int32_t g = 0, n = 0, ca = 0;
            bool ok = id_texte(champ(e, k.genre), g) && id_texte(champ(e, k.nombre), n) &&
                      id_texte(champ(e, k.categorie), ca);
            genre[r] = g;
            nombre[r] = n;
            categorie[r] = ca;
            if (!ok) vivants |= G_TEXTES;
        }
        if (groupes & G_MESURES) {
            uint8_t age_etat = 0, ill_etat = 0;
            double a = 0, il = 0;
            bool ok = mesure(champ(e, k.age), age_etat, a) && mesure(champ(e, k.illustrable), ill_etat, il);
            age[r] = a;
            ill[r] = il;
            tetes[r].age_etat = age_etat;
            tetes[r].ill_etat = ill_etat;
            if (!ok) vivants |= G_MESURES;
        }
        if (groupes & G_PHONE) {
            bool ok = true, phone = false;
            PyObject *p = champ(e, k.phone);
            if (p && PyUnicode_CheckExact(p)) {
                Py_ssize_t np = PyUnicode_GET_LENGTH(p);
                int kind = PyUnicode_KIND(p);
                const void *d = PyUnicode_DATA(p);
                for (Py_ssize_t j = 0; j < np && !phone; ++j) phone = !Py_UNICODE_ISSPACE(PyUnicode_READ(kind, d, j));
            } else if (p && p != Py_None && p != Py_False &&
                       !((PyLong_CheckExact(p) || PyFloat_CheckExact(p)) && !vrai(p))) {
                ok = false;
            }
            tetes[r].phone = phone;
            if (!ok) vivants |= G_PHONE;
        }
        for (uint8_t g : {G_VAL_ORTHO, G_VAL_PHONE}) {
            if (!(groupes & g)) continue;
            PyObject *v = champ(e, g == G_VAL_ORTHO ? k.ortho : k.phone);
            int32_t id = -1;
            bool ok = true;
            if (v && v != Py_None && v != Py_False) {
                if (PyUnicode_CheckExact(v)) {
                    if (PyUnicode_GET_LENGTH(v) != 0) id = textes.id(v);
                } else if (!((PyLong_CheckExact(v) || PyFloat_CheckExact(v)) && !vrai(v))) {
                    ok = false;
                }
            }
            (g == G_VAL_ORTHO ? val_ortho : val_phone)[r] = id;
            if (!ok) vivants |= g;
        }
        tetes[r].vivants |= vivants;
        tetes[r].prets |= groupes;
    }

    std::vector<int32_t> cases_ = std::vector<int32_t>(1024, -1);
    size_t curseur_ = 0;
};

// One store per extension module (visibility is hidden): leaked with the process.
inline Fiches &fiches() {
    static Fiches *f = new Fiches();
    return *f;
}

// Marks one query as running (see Fiches::debut_appel).
class AppelFiches {
public:
    AppelFiches() : f_(fiches()) {
        f_.debut_appel();
        ++f_.en_cours_;
    }
    ~AppelFiches() { --f_.en_cours_; }
    Fiches &operator*() { return f_; }

private:
    Fiches &f_;
};

// Results of a query being gathered: the entry and, when it has one, its record.
// Nothing here holds a reference beyond what the result list holds.
class Resultats {
public:
    explicit Resultats(Fiches &f) : f_(f) {}

    void ajouter(PyObject *e, int32_t fiche) {
        if (PyList_Append(liste_.ptr(), e) < 0) throw nb::python_error();
        fiches_.push_back(fiche);
    }
    // Python code ran during the scan (a live path): records kept so far must be
    // checked again before their sort keys are trusted.
    void python_a_tourne() { verifier_ = true; }

    // Keeps the first entry met for each spelling key. `non_vide`: an entry without
    // spelling is refused (phonetic queries).
    bool dedoublonner(PyObject *e, int32_t fiche, bool non_vide) {
        int32_t id;
        if (fiche >= 0 && f_.ortho[(size_t)fiche] >= 0) {
            id = f_.ortho[(size_t)fiche];
        } else {
            verifier_ = true;
            id = id_cle_vivante(e);
        }
        if (non_vide && id == 0) return false;
        // Marks belong to this call: a query started from a live path has its own.
        if ((size_t)id >= vus_.size()) vus_.resize(std::max((size_t)id + 1, f_.textes.taille()), 0);
        if (vus_[(size_t)id]) return false;
        vus_[(size_t)id] = 1;
        return true;
    }

    // sorted(results, key=-freq)[:limite] as a new list (see trier_par_frequence).
    nb::list trier(long long limite) {
        PyObject *r = liste_.ptr();
        Py_ssize_t n = PyList_GET_SIZE(r);
        std::vector<std::pair<double, Py_ssize_t>> cles((size_t)n);
        bool nan = false;
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *e = PyList_GET_ITEM(r, i);
            int32_t fi = fiches_[(size_t)i];
            double k;
            if (fi >= 0 && f_.tetes[(size_t)fi].tri_ok && (!verifier_ || f_.valide(fi, e)))
                k = f_.cle[(size_t)fi];
            else
                k = cle_frequence(e);
            nan |= std::isnan(k);
            cles[(size_t)i] = {k, i};
        }
        return ordonner_et_couper(liste_, cles, nan, limite);
    }

private:
    // str(e.get("ortho") or "").lower() as a text id, read on the entry itself
    // (str() of a str subclass is a plain str: its own lower() is not used).
    int32_t id_cle_vivante(PyObject *e) {
        nb::object t = texte_champ(e, noms().ortho);
        if (!PyUnicode_CheckExact(t.ptr())) {
            t = nb::steal(PyObject_Str(t.ptr()));
            if (!t.is_valid()) throw nb::python_error();
        }
        nb::object bas = minuscules_py(t.ptr());
        return f_.textes.id(bas.ptr());
    }

    Fiches &f_;
    nb::list liste_;
    std::vector<int32_t> fiches_;
    std::vector<uint8_t> vus_;
    bool verifier_ = false;
};

// Keys and values of an index in iteration order, remembered while the dict keeps
// its version (so the same key and value objects sit at the same positions); the
// positions let a scan fall back to the dict itself at any point.
struct ClesIndex {
    PyObject *index = nullptr;
    uint64_t version = 0;
    std::vector<PyObject *> cles, valeurs;  // borrowed from the dict while the version holds
    std::vector<Py_ssize_t> positions;      // PyDict_Next position after each key
    // Code points of the keys that are exact str, one after the other.
    std::vector<Py_UCS4> points;
    std::vector<uint32_t> debuts;           // key i: points[debuts[i], debuts[i+1])
    std::vector<uint8_t> texte;             // key i is an exact str
    // IPA segment ends of each text key (code point offsets within the key).
    bool segmente = false;
    std::vector<uint32_t> fins, debut_fins;
    uint64_t usage = 0;

    bool textes_lus = false;
    // Record number of each entry slot (key i, position j), as a hint for scans
    // in this index's order; the records themselves were created in another.
    std::vector<uint32_t> debut_conseils;
    std::vector<int32_t> conseils;

    int32_t *conseil(size_t i, Py_ssize_t j) {
        if (i + 1 >= debut_conseils.size()) return nullptr;
        size_t a = debut_conseils[i], b = debut_conseils[i + 1];
        return (size_t)j < b - a ? &conseils[a + (size_t)j] : nullptr;
    }

    void construire(PyObject *d) {
        index = d;
        version = version_dict(d);
        segmente = textes_lus = false;
        cles.clear(), valeurs.clear(), positions.clear();
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        debut_conseils.assign(1, 0);
        while (PyDict_Next(d, &pos, &k, &v)) {
            cles.push_back(k);
            valeurs.push_back(v);
            positions.push_back(pos);
            Py_ssize_t m = PyList_CheckExact(v) ? PyList_GET_SIZE(v) : 0;
            debut_conseils.push_back(debut_conseils.back() + (uint32_t)m);
        }
        conseils.assign(debut_conseils.back(), -1);
    }

    // The code points of the text keys, on first need.
    void lire_textes() {
        if (textes_lus) return;
        points.clear(), texte.clear();
        debuts.assign(1, 0);
        for (PyObject *k : cles) {
            bool t = PyUnicode_CheckExact(k);
            texte.push_back(t);
            if (t) {
                Py_ssize_t n = PyUnicode_GET_LENGTH(k);
                int kind = PyUnicode_KIND(k);
                const void *data = PyUnicode_DATA(k);
                for (Py_ssize_t j = 0; j < n; ++j) points.push_back(PyUnicode_READ(kind, data, j));
            }
            debuts.push_back((uint32_t)points.size());
        }
        textes_lus = true;
    }

    void segmenter() {
        if (segmente) return;
        lire_textes();
        fins.clear();
        debut_fins.assign(1, 0);
        std::vector<size_t> f;
        for (size_t i = 0; i < cles.size(); ++i) {
            if (texte[i]) {
                const Py_UCS4 *p = points.data() + debuts[i];
                brivane::segmenter_points(reinterpret_cast<const uint32_t *>(p), debuts[i + 1] - debuts[i], f);
                for (size_t x : f) fins.push_back((uint32_t)x);
            }
            debut_fins.push_back((uint32_t)fins.size());
        }
        segmente = true;
    }
};

// The snapshots of the last few indexes queried (a lexicon has three).
inline ClesIndex &cles_index(PyObject *d) {
    static std::vector<ClesIndex> *tous = new std::vector<ClesIndex>(4);
    static uint64_t horloge = 0;
    ClesIndex *libre = &(*tous)[0];
    for (ClesIndex &c : *tous) {
        if (c.index == d && c.version == version_dict(d)) {
            c.usage = ++horloge;
            return c;
        }
        if (c.usage < libre->usage) libre = &c;
    }
    for (ClesIndex &c : *tous)
        if (c.index == d) libre = &c;  // an older state of the same dict
    libre->construire(d);
    libre->usage = ++horloge;
    return *libre;
}

// NomLie::original() for a hot loop: asked again only when the module's namespace
// has changed (its dict version moves with every rebinding).
class LienOriginal {
public:
    LienOriginal(const NomLie &nom, PyObject *dict_module) : nom_(nom), dict_(dict_module) {}
    bool operator()() {
        uint64_t v = version_dict(dict_);
        if (v != version_ || !connu_) {
            version_ = v;
            connu_ = true;
            valeur_ = nom_.original();
        }
        return valeur_;
    }

private:
    const NomLie &nom_;
    PyObject *dict_;
    uint64_t version_ = 0;
    bool connu_ = false, valeur_ = false;
};

[[noreturn]] inline void erreur_taille_changee() {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    throw nb::python_error();
}

// Calls f(value) for each value of a dict in order, without taking references
// (no write to the key and list objects): a callback that may run Python code
// takes its own reference to the value first. A dict that changes size meanwhile
// raises as the host's iterator does.
template <class F> inline void pour_chaque_valeur(PyObject *index, F &&f) {
    Py_ssize_t taille = PyDict_GET_SIZE(index), pos = 0;
    PyObject *cle, *valeur;
    while (PyDict_Next(index, &pos, &cle, &valeur)) {
        f(valeur);
        if (PyDict_GET_SIZE(index) != taille) erreur_taille_changee();
    }
}

// Prefetches what a scan of index lists will read a few keys ahead: the list
// object, its item array, its first entry. Scans are bound by these dependent
// loads, not by the work done on each entry.
inline void precharger_listes(const ClesIndex &ci, size_t i) {
    const size_t n = ci.valeurs.size();
    if (i + 48 < n) precharger(ci.valeurs[i + 48]);
    if (i + 24 < n) {
        PyObject *l = ci.valeurs[i + 24];
        if (PyList_CheckExact(l) && PyList_GET_SIZE(l) > 0) precharger(((PyListObject *)l)->ob_item);
    }
    if (i + 8 < n) {
        PyObject *l = ci.valeurs[i + 8];
        if (PyList_CheckExact(l))
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(l) && j < 4; ++j) precharger(PyList_GET_ITEM(l, j));
    }
}

// Calls f(list) for each value of `d` in order, as pour_chaque_valeur, reading the
// values from the snapshot with prefetching. f returns true when Python code may
// have run: then the dict is checked (a new size raises as the host's iterator
// does; any other change sends the rest of the walk to the dict itself). A
// callback that may run Python code takes its own reference to the value first.
// `precharger`: false when the caller reads most lists from elsewhere. Keys for
// which `sauter(i)` holds are passed over (it must hold only for keys whose call
// would do nothing).
template <class F> inline void parcourir_valeurs(PyObject *d, F &&f, bool precharger = true) {
    parcourir_valeurs(d, f, precharger, [](size_t) { return false; });
}
template <class F, class S> inline void parcourir_valeurs(PyObject *d, F &&f, bool precharger, S &&sauter) {
    ClesIndex &ci = cles_index(d);
    const uint64_t v0 = ci.version;
    const Py_ssize_t taille = PyDict_GET_SIZE(d);
    Py_ssize_t pos = 0;
    bool vivant = false;
    for (size_t i = 0, n = ci.valeurs.size(); i < n; ++i) {
        if (sauter(i)) continue;
        if (precharger) precharger_listes(ci, i);
        pos = ci.positions[i];
        if (!f(ci.valeurs[i], &ci, i)) continue;
        if (PyDict_GET_SIZE(d) != taille) erreur_taille_changee();
        if (version_dict(d) != v0 || ci.index != d || ci.version != v0) {
            vivant = true;
            break;
        }
    }
    if (!vivant) return;
    PyObject *cle, *valeur;
    while (PyDict_Next(d, &pos, &cle, &valeur)) {
        f(valeur, nullptr, 0);
        if (PyDict_GET_SIZE(d) != taille) erreur_taille_changee();
    }
}

template <class TestK, class Action>
void parcourir_retenues(PyObject *d, ClesIndex &ci, uint64_t v0, Py_ssize_t taille,
                        const std::vector<uint32_t> &retenues, TestK &&test_cle, Action &&action);

// Visits the keys of `d` in order as the host's items() loop would, deciding each
// key from the snapshot (`test_instantane(i)`, pure C++, for exact str keys) or
// from the key object (`test_cle(k)`, which may run Python code), and calling
// `action(k, v)` for the keys that pass. Whenever Python code may have run, the dict
// is checked: a new size raises as the host's iterator does; any other change
// sends the rest of the walk to the dict itself, from the current position.
template <class TestI, class TestK, class Action>
void parcourir_cles(PyObject *d, ClesIndex &ci, TestI &&test_instantane, TestK &&test_cle, Action &&action) {
    ci.lire_textes();
    const uint64_t v0 = ci.version;
    const Py_ssize_t taille = PyDict_GET_SIZE(d);
    // First the pure tests over the snapshot (keys that are not exact str are kept
    // as candidates: their test may run Python code and waits for its turn)...
    std::vector<uint32_t> retenues;
    for (size_t i = 0, n = ci.cles.size(); i < n; ++i)
        if (!ci.texte[i] || test_instantane(i)) retenues.push_back((uint32_t)i);
    parcourir_retenues(d, ci, v0, taille, retenues, test_cle, action);
}

// The second half of parcourir_cles, for a caller that already knows which keys
// can pass: `retenues`, in index order, holds every text key that passes and every
// key that is not an exact str (tested by `test_cle` in its turn).
template <class TestK, class Action>
void parcourir_retenues(PyObject *d, ClesIndex &ci, uint64_t v0, Py_ssize_t taille,
                        const std::vector<uint32_t> &retenues, TestK &&test_cle, Action &&action) {
    // In index order, the work on the keys kept, with their lists and first entries
    // prefetched a few keys ahead.
    Py_ssize_t pos = 0;
    bool vivant = false;
    for (size_t r = 0; r < retenues.size(); ++r) {
        if (r + 8 < retenues.size()) precharger(ci.valeurs[retenues[r + 8]]);
        if (r + 4 < retenues.size()) {
            PyObject *l = ci.valeurs[retenues[r + 4]];
            if (PyList_CheckExact(l) && PyList_GET_SIZE(l) > 0) precharger(((PyListObject *)l)->ob_item);
        }
        if (r + 2 < retenues.size()) {
            PyObject *l = ci.valeurs[retenues[r + 2]];
            if (PyList_CheckExact(l))
                for (Py_ssize_t j = 0; j < PyList_GET_SIZE(l) && j < 4; ++j) precharger(PyList_GET_ITEM(l, j));
        }
        const size_t i = retenues[r];
        pos = ci.positions[i];
        bool passe = true;
        if (!ci.texte[i]) {
            nb::object k = nb::borrow(ci.cles[i]), v = nb::borrow(ci.valeurs[i]);
            passe = test_cle(k.ptr());
            if (passe) action(k.ptr(), v.ptr(), &ci, i);
        } else {
            // The action holds what it needs before running any Python code.
            action(ci.cles[i], ci.valeurs[i], &ci, i);
        }
        if (PyDict_GET_SIZE(d) != taille) erreur_taille_changee();
        // `ci` itself may have been rebuilt by a query started from Python code.
        if (version_dict(d) != v0 || ci.index != d || ci.version != v0) {
            vivant = true;
            break;
        }
    }
    if (!vivant) return;
    PyObject *cle, *valeur;
    while (PyDict_Next(d, &pos, &cle, &valeur)) {
        nb::object k = nb::borrow(cle), v = nb::borrow(valeur);
        if (test_cle(k.ptr())) action(k.ptr(), v.ptr(), nullptr, 0);
        if (PyDict_GET_SIZE(d) != taille) erreur_taille_changee();
    }
}

// What the entries of an index answer to one query, decided ahead on two threads
// for the entries whose records hold. While the calling thread holds the GIL and
// waits, no Python code runs anywhere, so the lists, entries and records are only
// read, by plain C++. Per entry slot of the index snapshot: a record number (the
// query's own meaning: kept, say), REJETEE, or INDECISE (the ordinary path decides
// it); per key, whether its list still had the snapshot's size, and whether every
// entry of it was rejected. The decisions hold until Python code may have run.
class DecisionsAvance {
public:
    static constexpr int32_t REJETEE = -1, INDECISE = -2;
    static constexpr uint8_t NON_DECIDEE = 0, DECIDEE = 1, REJETEE_TOUTE = 2;
    // Below this many entries a second thread costs more than it saves.
    static constexpr size_t SEUIL = 100000;

    // Keys from `premiere` on. `decider(e, h, etat)` answers for entry e whose record
    // h is that of e as it is now: h, REJETEE or INDECISE. It must be plain C++
    // reading nothing but the records; `etat` is its own per thread (a copy of
    // `modele`).
    template <class Etat, class D>
    DecisionsAvance(const ClesIndex &ci, const Fiches &F, size_t premiere, const Etat &modele, D &&decider) {
        const size_t n = ci.valeurs.size();
        issues.assign(ci.debut_conseils.back(), INDECISE);
        cles.assign(n, NON_DECIDEE);
        const size_t milieu = premiere + (n - premiere) / 2;
        Etat haut(modele), bas(modele);
        // (Out of memory in a decision: the keys left are not decided.)
        auto tranche = [&](size_t a, size_t b, Etat &etat) noexcept {
            try {
                for (size_t i = a; i < b; ++i) {
                    precharger_listes(ci, i);
                    const size_t debut = ci.debut_conseils[i], m = ci.debut_conseils[i + 1] - debut;
                    size_t rejetees = 0;
                    if (!decider_cle(ci, F, i, decider, etat, issues.data() + debut, rejetees)) continue;
                    cles[i] = rejetees == m ? REJETEE_TOUTE : DECIDEE;
                }
            } catch (...) {
            }
        };
        std::thread autre;
        try {
            autre = std::thread([&] { tranche(milieu, n, haut); });
        } catch (const std::system_error &) {
            tranche(milieu, n, haut);
        }
        tranche(premiere, milieu, bas);
        if (autre.joinable()) autre.join();
    }

    // Whether deciding ahead pays for the keys from `premiere` on, judged on a sample
    // of about 500 keys decided here: most entries must have records that hold (on
    // a first call they do not yet), and few must be kept (each kept entry is handled
    // on this thread anyway, after the walk).
    template <class Etat, class D>
    static bool rentable(const ClesIndex &ci, const Fiches &F, size_t premiere, const Etat &modele, D &&decider) {
        Etat etat(modele);
        const size_t n = ci.valeurs.size(), pas = std::max<size_t>(1, (n - premiere) / 512);
        std::vector<int32_t> r;
        size_t vus = 0, decides = 0, gardes = 0;
        for (size_t i = premiere; i < n; i += pas) {
            const size_t m = ci.debut_conseils[i + 1] - ci.debut_conseils[i];
            r.assign(m, INDECISE);
            size_t rejetees = 0;
            vus += m;
            if (!decider_cle(ci, F, i, decider, etat, r.data(), rejetees)) continue;
            for (int32_t x : r) {
                decides += x != INDECISE;
                gardes += x >= 0;
            }
        }
        return decides * 2 >= vus && gardes * 8 <= decides;
    }

    // Worth it for the keys from `premiere` on, by their number.
    static bool utile(const ClesIndex &ci, size_t premiere = 0) {
        const std::vector<uint32_t> &d = ci.debut_conseils;
        return d.size() == ci.valeurs.size() + 1 && premiere < ci.valeurs.size() &&
               d.back() - d[premiere] >= SEUIL && std::thread::hardware_concurrency() > 1;
    }

    // Brings in what keeping the entry at slot `i` reads, when it is kept: its record
    // 16 slots ahead of the walk, then the entry itself (whose reference count the
    // result list takes) 8 slots ahead, once the record is at hand.
    void precharger_gardees(const Fiches &F, size_t i) const {
        if (i + 16 < issues.size() && issues[i + 16] >= 0) {
            const int32_t r = issues[i + 16];
            __builtin_prefetch(F.tetes.data() + r);
            if ((size_t)r < F.ortho.size()) __builtin_prefetch(F.ortho.data() + r);
        }
        if (i + 8 < issues.size() && issues[i + 8] >= 0) __builtin_prefetch(F.tetes[(size_t)issues[i + 8]].e);
    }

    // The entry slots of key `cle` when it was decided ahead ([debut, debut + m)):
    // its value is then still an exact list of the snapshot's size. False otherwise.
    bool slots(const ClesIndex &ci, size_t cle, size_t &debut, Py_ssize_t &m) const {
        if (cles[cle] == NON_DECIDEE) return false;
        debut = ci.debut_conseils[cle];
        m = Py_ssize_t(ci.debut_conseils[cle + 1] - debut);
        return true;
    }
    // The decision for slot i, with what keeping later slots reads brought in.
    int32_t lire(const Fiches &F, size_t i) const {
        precharger_gardees(F, i);
        return issues[i];
    }

    std::vector<int32_t> issues;
    std::vector<uint8_t> cles;

private:
    // The decisions for key i's entries, into `sortie` (left INDECISE where the record
    // does not hold); false when its list is not as in the snapshot.
    template <class Etat, class D>
    static bool decider_cle(const ClesIndex &ci, const Fiches &F, size_t i, D &decider, Etat &etat, int32_t *sortie,
                            size_t &rejetees) {
        PyObject *l = ci.valeurs[i];
        const size_t debut = ci.debut_conseils[i], m = ci.debut_conseils[i + 1] - debut;
        if (!PyList_CheckExact(l) || (size_t)PyList_GET_SIZE(l) != m) return false;
        for (size_t j = 0; j < m; ++j) {
            PyObject *e = PyList_GET_ITEM(l, (Py_ssize_t)j);
            const int32_t h = ci.conseils[debut + j];
            if (h < 0 || (size_t)h >= F.tetes.size()) continue;
            const Tete &t = F.tetes[(size_t)h];
            if (t.e != e || !PyDict_CheckExact(e) || t.version != version_dict(e)) continue;
            sortie[j] = decider(e, h, etat);
            rejetees += sortie[j] == REJETEE;
        }
        return true;
    }
};

// Keeps the entries of one index list (or any iterable) through the records:
// one per non-empty spelling key, the first met.
inline void garder_entrees(Fiches &F, PyObject *entrees, Resultats &res, ClesIndex *ci = nullptr, size_t cle = 0) {
    nb::object liste_tenue;  // taken before any Python code may run
    if (PyList_CheckExact(entrees)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entrees); ++i) {
            PyObject *e = PyList_GET_ITEM(entrees, i);
            int32_t fi = F.obtenir(e, G_TRI, ci ? ci->conseil(cle, i) : nullptr);
            if (fi >= 0 && F.ortho[(size_t)fi] >= 0) {
                // No Python code runs on this path: no reference needs holding.
                if (res.dedoublonner(e, fi, true)) res.ajouter(e, fi);
                continue;
            }
            if (!liste_tenue.is_valid()) liste_tenue = nb::borrow(entrees);
            nb::object tenu = nb::borrow(e);
            if (res.dedoublonner(e, fi, true)) res.ajouter(e, fi);
        }
        return;
    }
    liste_tenue = nb::borrow(entrees);
    res.python_a_tourne();
    pour_chaque_entree(entrees, [&](PyObject *e) {
        int32_t fi = F.obtenir(e, G_TRI);
        if (res.dedoublonner(e, fi, true)) res.ajouter(e, fi);
    });
}

}  // namespace brivane::py
