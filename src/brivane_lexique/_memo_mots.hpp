// What the word lookups remember between calls, and how they prove it still holds.
//
// A lookup in memory follows a chain of dependent loads: the index's hash table, the
// stored key, the list, its items, each entry dict, its key table, the value. Between
// two lookups of the same word a program usually looks up thousands of others, so each
// link is a cache miss, and a plain Python lookup pays the very same chain. A record
// (Fiche) keeps, per key looked up, the list found under it, the entries it held with
// their dict versions, and the answers computed from them. A later call reads the
// record, then proves in one round of parallel loads that nothing they depend on moved:
// - the memo belongs to one index dict at one ma_version_tag (CPython 3.11 gives every
//   dict a version from one global counter at creation and on every mutation). Any
//   change to the dict (a key added, removed or given another list) empties the memo,
//   so while the version holds, the list recorded under a key is still there, alive;
// - that list is compared item by item with the recorded entries (lists carry no
//   version), and each entry is trusted while its ma_version_tag is the recorded one;
// - an answer is recorded only when every value it was computed from is of an exact
//   immutable type, so that the same objects always give the same answer, and only when
//   nothing changed while it was computed. An answer object (a pronunciation, a lemma)
//   is a value held by one of the entries, alive while that entry is unchanged.
// No record holds a reference to the index's objects: their addresses are compared,
// and followed only once proved alive (prefetches, which never fault, go ahead of the
// proof). The texts of the meaning lists, new objects, are held by the memo.
#pragma once

#include "_precharge.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace brivane::py {

namespace nb = nanobind;

class MemoMots {
public:
    // The proof rests on the dict versions of CPython 3.11; elsewhere nothing is
    // remembered.
    static constexpr bool DISPONIBLE = PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000;

    // What a record knows besides its list.
    enum Connu : uint8_t {
        FREQ = 1, PHONE = 2, LEMME = 4, FORMES = 8, FORMES_CGRAM = 16, SYNONYMES = 32, ANTONYMES = 64, DEFINITION = 128,
        CONJUGAISON = PHONE,  // a lemma's record (PHONE is a spelling's)
        VERBES = FREQ         // a pronunciation's record (FREQ is a spelling's)
    };
    // A verb form kept by verbes_par_phone_et_personne under one pronunciation: its
    // rank in the record's entries, its lowered spelling (held by the memo) and its
    // frequency.
    struct Verbe {
        uint32_t indice;
        PyObject *cle;
        double freq;
    };

    struct Entree {
        PyObject *objet;
        uint64_t version;
    };
    static constexpr size_t COURT = 16, INTERNES = 2;

    // Two cache lines: read with one miss (the adjacent line comes along), it gives
    // every address the proof needs, so that the proof's own loads go out together.
    struct alignas(128) Fiche {
        Py_hash_t h = 0;
        PyObject *liste = nullptr;   // nullptr: the key is absent from the index
        PyObject **items = nullptr;  // the list's item array when recorded (to prefetch)
        uint32_t n = 0;              // entries: the first INTERNES here, the rest at
        uint32_t debut = 0;          // entrees_[debut .. debut + n - INTERNES)
        uint32_t lg = 0;             // key length in code points; its bytes are in `court`
        uint32_t cle = 0;            // when they fit, else at textes_[cle ..)
        uint32_t generation = 0;     // changes each time the record is made again
        uint8_t kind = 0;
        uint8_t connus = 0;
        bool occupee = false;
        uint8_t lg_cgram = 0;
        union {
            struct {  // the spelling lookups
                double freq;
                PyObject *phone;  // borrowed from an entry, or None
                PyObject *lemme;
                uint32_t sens;    // 1 + its slot in sens_ (0: none yet)
            } ortho;
            struct {  // formes_de(lemme[, cgram]): indices of the entries at choix_[...]
                uint32_t choix, nb_choix, choix_cg, nb_choix_cg;
                char cgram[8];  // the (1-byte) cgram of the filtered selection
                uint32_t plan, nb_plan;  // conjuguer(lemme): see noter_plan
            } formes;
            struct {  // verbes_par_phone_et_personne: verbes_[debut .. debut + nb)
                uint32_t debut, nb;
                char personne[4], nombre[4];  // the (1-byte) texts asked
                uint8_t lg_personne, lg_nombre;
            } verbes;
        } r = {};
        char court[COURT] = {};
        Entree internes[INTERNES] = {};
    };
    static_assert(sizeof(Fiche) == 128, "a record is two cache lines");
    // Follows `index` (an exact dict): a memo of another dict, or of this one before a
    // change, is forgotten.
    void suivre(PyObject *index) {
        const uint64_t v = version(index);
        if (index == index_ && v == version_) return;
        vider();
        index_ = index;
        version_ = v;
    }

    // Whether `index` is still the dict followed, unchanged.
    bool a_jour(PyObject *index) const { return index == index_ && version(index) == version_; }

    // The record of `cle` (an exact str), or nullptr.
    Fiche *trouver(PyObject *cle) {
        if (cases_.empty()) return nullptr;
        const Py_hash_t h = hash(cle);
        if (h == -1) return nullptr;
        const size_t masque = cases_.size() - 1;
        for (size_t i = size_t(h) & masque;; i = (i + 1) & masque) {
            Fiche &f = cases_[i];
            // Both lines at once: the key and the entries are in the second.
            precharger(reinterpret_cast<const char *>(&f) + 64);
            if (!f.occupee) return nullptr;
            if (f.h == h && meme_cle(f, cle)) return &f;
        }
    }

    // Prefetches what valide() will read, so that its loads travel together.
    void precharger_fiche(const Fiche &f) const {
        if (!f.liste) return;
        precharger(f.liste);
        precharger(f.items);
        for (uint32_t k = 0; k < f.n; ++k) precharger(entree(f, k));
    }

    // Whether the list under the record's key still holds the recorded entries,
    // each unchanged. Valid only while a_jour() holds.
    bool valide(const Fiche &f) const {
        if (!f.liste) return true;
        if (PyList_GET_SIZE(f.liste) != Py_ssize_t(f.n)) return false;
        PyObject **items = reinterpret_cast<PyListObject *>(f.liste)->ob_item;
        for (uint32_t k = 0; k < f.n; ++k)
            if (items[k] != entree(f, k)) return false;
        for (uint32_t k = 0; k < f.n; ++k) {
            const Entree &e = k < INTERNES ? f.internes[k] : entrees_[f.debut + k - INTERNES];
            // (A dict freed and another object made at its address and put in its place
            // has no version to read.)
            if (Py_TYPE(e.objet) != &PyDict_Type || version(e.objet) != e.version) return false;
        }
        return true;
    }

    // Whether a record of `cle` may be made now. A word is remembered from its second
    // lookup within a window of 65,536 first lookups: a program that asks each word of
    // a long list once, or walks a list longer than the window again and again, pays
    // one bit per word, not a record. (The bit of a word may have been set by another
    // one with the same hash bits: it is then remembered from its first lookup.)
    bool admettre(PyObject *cle) {
        const Py_hash_t h = hash(cle);
        return h != -1 && marquer(h);
    }

    // Records (or records again, forgetting its answers) `cle` with the list `liste`
    // found under it (nullptr when absent). nullptr when the list cannot be followed:
    // not an exact list, or an entry that is not an exact dict.
    Fiche *noter(PyObject *cle, PyObject *liste) {
        if (liste && !PyList_CheckExact(liste)) return nullptr;
        const Py_ssize_t n = liste ? PyList_GET_SIZE(liste) : 0;
        for (Py_ssize_t k = 0; k < n; ++k)
            if (!PyDict_CheckExact(PyList_GET_ITEM(liste, k))) return nullptr;
        if (!PyUnicode_CheckExact(cle) || n > Py_ssize_t(UINT32_MAX / 2)) return nullptr;
        const Py_hash_t h = hash(cle);
        if (h == -1) return nullptr;
        // Bounded (see MAX_FICHES). Records made again leave their old entries behind:
        // when those fill the room, the memo starts afresh.
        if (entrees_.size() + size_t(n) > MAX_VALEURS || textes_.size() > MAX_VALEURS ||
            choix_.size() > MAX_VALEURS || tenus_.size() > MAX_VALEURS || verbes_.size() > MAX_VALEURS) {
            PyObject *i = index_;
            const uint64_t v = version_;
            vider();
            index_ = i;
            version_ = v;
        }
        Fiche *f = trouver(cle);
        if (!f && occupees_ >= MAX_FICHES) return nullptr;  // full: the words in it stay
        if (!f && 2 * (occupees_ + 1) > cases_.size()) agrandir();
        if (!f) {
            marquer(h);
            const size_t masque = cases_.size() - 1;
            size_t i = size_t(h) & masque;
            while (cases_[i].occupee) i = (i + 1) & masque;
            f = &cases_[i];
            f->h = h;
            f->occupee = true;
            f->kind = uint8_t(PyUnicode_KIND(cle));
            f->lg = uint32_t(PyUnicode_GET_LENGTH(cle));
            const char *d = static_cast<const char *>(PyUnicode_DATA(cle));
            const size_t octets = size_t(f->lg) * f->kind;
            if (octets <= COURT) {
                std::memcpy(f->court, d, octets);
            } else {
                f->cle = uint32_t(textes_.size());
                textes_.insert(textes_.end(), d, d + octets);
            }
            ++occupees_;
        }
        f->connus = 0;
        f->generation = ++generation_;
        f->liste = liste;
        f->items = liste ? reinterpret_cast<PyListObject *>(liste)->ob_item : nullptr;
        f->n = uint32_t(n);
        f->r = {};
        f->debut = uint32_t(entrees_.size());
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject *e = PyList_GET_ITEM(liste, k);
            if (size_t(k) < INTERNES)
                f->internes[k] = Entree{e, version(e)};
            else
                entrees_.push_back(Entree{e, version(e)});
        }
        return f;
    }

    // Entry k of a valid record (borrowed).
    PyObject *entree(const Fiche &f, uint32_t k) const {
        return k < INTERNES ? f.internes[k].objet : entrees_[f.debut + k - INTERNES].objet;
    }

    // The selections of formes_de: indices into the record's entries.
    void noter_choix(Fiche &f, const std::vector<uint32_t> &indices, PyObject *cgram) {
        const uint32_t debut = uint32_t(choix_.size());
        choix_.insert(choix_.end(), indices.begin(), indices.end());
        if (!cgram) {
            f.r.formes.choix = debut;
            f.r.formes.nb_choix = uint32_t(indices.size());
            f.connus |= FORMES;
            return;
        }
        const size_t lg = size_t(PyUnicode_GET_LENGTH(cgram));
        f.r.formes.choix_cg = debut;
        f.r.formes.nb_choix_cg = uint32_t(indices.size());
        f.lg_cgram = uint8_t(lg);
        std::memcpy(f.r.formes.cgram, PyUnicode_DATA(cgram), lg);
        f.connus |= FORMES_CGRAM;
    }
    // Whether a cgram can have its selection remembered (a short 1-byte text).
    static bool cgram_notable(PyObject *cgram) {
        return PyUnicode_KIND(cgram) == PyUnicode_1BYTE_KIND && PyUnicode_GET_LENGTH(cgram) <= 8;
    }
    // The remembered selection for `cgram` (nullptr: without filter), or false.
    bool choix_de(const Fiche &f, PyObject *cgram, const uint32_t *&indices, uint32_t &nb) const {
        if (!cgram) {
            if (!(f.connus & FORMES)) return false;
            indices = choix_.data() + f.r.formes.choix;
            nb = f.r.formes.nb_choix;
            return true;
        }
        if (!(f.connus & FORMES_CGRAM) || !cgram_notable(cgram) ||
            size_t(PyUnicode_GET_LENGTH(cgram)) != f.lg_cgram ||
            std::memcmp(PyUnicode_DATA(cgram), f.r.formes.cgram, f.lg_cgram) != 0)
            return false;
        indices = choix_.data() + f.r.formes.choix_cg;
        nb = f.r.formes.nb_choix_cg;
        return true;
    }

    // Whether a person or number can key a remembered selection (a short 1-byte text).
    static bool court_notable(PyObject *t) {
        return PyUnicode_CheckExact(t) && PyUnicode_KIND(t) == PyUnicode_1BYTE_KIND && PyUnicode_GET_LENGTH(t) <= 4;
    }
    // The verb forms of a pronunciation's record for (personne, nombre), both notable.
    // The lowered spellings are taken by the memo.
    void noter_verbes(Fiche &f, PyObject *personne, PyObject *nombre, const std::vector<Verbe> &verbes) {
        f.r.verbes.debut = uint32_t(verbes_.size());
        f.r.verbes.nb = uint32_t(verbes.size());
        for (const Verbe &v : verbes) {
            tenus_.push_back(nb::borrow(v.cle));
            verbes_.push_back(v);
        }
        f.r.verbes.lg_personne = uint8_t(PyUnicode_GET_LENGTH(personne));
        f.r.verbes.lg_nombre = uint8_t(PyUnicode_GET_LENGTH(nombre));
        std::memcpy(f.r.verbes.personne, PyUnicode_DATA(personne), f.r.verbes.lg_personne);
        std::memcpy(f.r.verbes.nombre, PyUnicode_DATA(nombre), f.r.verbes.lg_nombre);
        f.connus |= VERBES;
    }
    // The remembered verb forms for (personne, nombre), or false.
    bool verbes_de(const Fiche &f, PyObject *personne, PyObject *nombre, const Verbe *&verbes, uint32_t &nb) const {
        if (!(f.connus & VERBES) || !court_notable(personne) || !court_notable(nombre)) return false;
        const auto &v = f.r.verbes;
        if (size_t(PyUnicode_GET_LENGTH(personne)) != v.lg_personne ||
            size_t(PyUnicode_GET_LENGTH(nombre)) != v.lg_nombre ||
            std::memcmp(PyUnicode_DATA(personne), v.personne, v.lg_personne) != 0 ||
            std::memcmp(PyUnicode_DATA(nombre), v.nombre, v.lg_nombre) != 0)
            return false;
        verbes = verbes_.data() + v.debut;
        nb = v.nb;
        return true;
    }

    // The lists of texts of synonymes, antonymes and definition (`quoi`: one of the
    // three bits). The texts are new objects: the memo holds them.
    void noter_textes(Fiche &f, Connu quoi, const nb::list &textes) {
        if (!f.r.ortho.sens) {
            sens_.push_back(Sens{});
            f.r.ortho.sens = uint32_t(sens_.size());
        }
        Sens &s = sens_[f.r.ortho.sens - 1];
        const int k = rang(quoi);
        s.debut[k] = uint32_t(tenus_.size());
        s.nb[k] = uint32_t(PyList_GET_SIZE(textes.ptr()));
        for (nb::handle t : textes) tenus_.push_back(nb::borrow(t));
        f.connus |= quoi;
    }
    // The conjugation table of a lemma as the (mode, tense, slot, form) objects of its
    // cells, in the order the table holds them (the memo holds them).
    void noter_plan(Fiche &f, const std::vector<PyObject *> &cellules) {
        f.r.formes.plan = uint32_t(tenus_.size());
        f.r.formes.nb_plan = uint32_t(cellules.size());
        for (PyObject *o : cellules) tenus_.push_back(nb::borrow(o));
        f.connus |= CONJUGAISON;
    }
    // The objects of the remembered cells, each referenced by `cellules`.
    void plan(const Fiche &f, std::vector<nb::object> &cellules) const {
        cellules.assign(tenus_.begin() + f.r.formes.plan, tenus_.begin() + f.r.formes.plan + f.r.formes.nb_plan);
    }

    // A new list of the texts remembered for `quoi`.
    nb::list textes(const Fiche &f, Connu quoi) const {
        const Sens &s = sens_[f.r.ortho.sens - 1];
        const int k = rang(quoi);
        return nouvelle_liste(s.nb[k], [&](uint32_t i) { return tenus_[s.debut[k] + i].ptr(); });
    }

    // A new list of the `n` objects objet(0) .. objet(n - 1), all taken before the list
    // is made: making it may run a collection, whose finalisers may call back into
    // the lookups and change the memo.
    template <class F> static nb::list nouvelle_liste(uint32_t n, F &&objet) {
        PyObject *pile[32];
        std::vector<PyObject *> tas;
        PyObject **pris = pile;
        if (n > 32) {
            tas.resize(n);
            pris = tas.data();
        }
        for (uint32_t i = 0; i < n; ++i) {
            pris[i] = objet(i);
            Py_INCREF(pris[i]);
        }
        PyObject *l = PyList_New(Py_ssize_t(n));
        if (!l) {
            for (uint32_t i = 0; i < n; ++i) Py_DECREF(pris[i]);
            throw nb::python_error();
        }
        for (uint32_t i = 0; i < n; ++i) PyList_SET_ITEM(l, i, pris[i]);  // the references taken above
        return nb::steal<nb::list>(l);
    }

    void vider() {
        cases_.clear();
        entrees_.clear();
        textes_.clear();
        choix_.clear();
        verbes_.clear();
        sens_.clear();
        tenus_.clear();
        vus_.clear();
        marques_ = 0;
        occupees_ = 0;
        index_ = nullptr;
        version_ = 0;
    }

    static uint64_t version(PyObject *d) { return version_dict(d); }

private:
    struct Sens {
        uint32_t debut[3], nb[3];
    };
    static int rang(Connu quoi) { return quoi == SYNONYMES ? 0 : quoi == ANTONYMES ? 1 : 2; }
    // Bounds on the memory of one memo: 65,536 records (a table of 16 MiB at most),
    // about a million entries, selections and texts (16 MiB at most each). A program
    // that looks up more distinct words starts afresh each time the bound is met:
    // the words it asks often are soon remembered again.
    static constexpr size_t MAX_FICHES = size_t(1) << 16;
    static constexpr size_t MAX_VALEURS = size_t(1) << 20;

    static constexpr size_t MOTS_VUS = size_t(1) << 17;  // 2^23 bits: 1 MiB
    static constexpr size_t FENETRE = size_t(1) << 16;   // bits set before they are all cleared
    static size_t bit_vu(Py_hash_t h) {
        // The table uses the low bits of the hash; these are others.
        return size_t(uint64_t(h) >> 24) % (MOTS_VUS * 64);
    }
    // Sets the bit of `h`; whether it was set already.
    bool marquer(Py_hash_t h) {
        if (vus_.empty() || marques_ >= FENETRE) {
            vus_.assign(MOTS_VUS, 0);
            marques_ = 0;
        }
        const size_t i = bit_vu(h);
        uint64_t &mot = vus_[i / 64];
        const uint64_t b = uint64_t(1) << (i % 64);
        const bool deja = mot & b;
        mot |= b;
        marques_ += !deja;
        return deja;
    }
    static Py_hash_t hash(PyObject *cle) {
        // An exact str keeps its hash once computed; computing it runs no Python code.
        Py_hash_t h = reinterpret_cast<PyASCIIObject *>(cle)->hash;
        if (h != -1) return h;
        h = PyObject_Hash(cle);
        if (h == -1) PyErr_Clear();
        return h;
    }
    bool meme_cle(const Fiche &f, PyObject *cle) const {
        if (PyUnicode_KIND(cle) != f.kind || size_t(PyUnicode_GET_LENGTH(cle)) != f.lg) return false;
        const size_t octets = size_t(f.lg) * f.kind;
        return std::memcmp(PyUnicode_DATA(cle), octets <= COURT ? f.court : textes_.data() + f.cle, octets) == 0;
    }
    void agrandir() {
        std::vector<Fiche> neuves(cases_.empty() ? 1024 : cases_.size() * 2);
        const size_t masque = neuves.size() - 1;
        for (const Fiche &f : cases_) {
            if (!f.occupee) continue;
            size_t i = size_t(f.h) & masque;
            while (neuves[i].occupee) i = (i + 1) & masque;
            neuves[i] = f;
        }
        cases_.swap(neuves);
    }

    std::vector<Fiche> cases_;
    std::vector<Entree> entrees_;
    std::vector<char> textes_;
    std::vector<uint32_t> choix_;
    std::vector<Verbe> verbes_;
    std::vector<Sens> sens_;
    std::vector<nb::object> tenus_;  // texts of the meaning lists, cells, lowered spellings (owned)
    std::vector<uint64_t> vus_;       // words looked up at least once (see admettre)
    size_t marques_ = 0;              // bits set in vus_
    size_t occupees_ = 0;
    uint32_t generation_ = 0;
    PyObject *index_ = nullptr;  // compared, never followed unless a_jour
    uint64_t version_ = 0;
};

}  // namespace brivane::py
