// What the in-memory queries remember between calls, and how they prove it still holds.
//
// The scans are bound by memory, not by arithmetic: reading five fields of 442,401
// entry dicts touches several cache lines per entry. So the values a query needs are
// kept per entry in a flat record (a "fiche") and reused only while a Sceau
// (_cpython.hpp) made when they were read proves the entry unchanged: one seal per
// entry where a query reads a few index lists (contient_son, rhymes without a group
// table), one per table for the entries of an index or of a rhyme group
// (TableEntrees), proved without reading a record. Only values of exact immutable
// types (str, int, float, bool, None) are remembered; any other value
// marks its group "live", evaluated on the entry itself on every call. Texts are kept
// as ids of one TableTextes, so equality, de-duplication and prefix tests work on
// small integers. Records and key snapshots are used only while
// brivane::chemins_rapides() holds; otherwise every query reads the dicts.
#pragma once

#include "_cpython.hpp"
#include "_criteres.hpp"

#include <array>
#include <deque>
#include <memory>

namespace brivane::py {

// Groups of remembered values, computed on first need.
enum : uint8_t {
    G_TRI = 1,          // lower(ortho) as a text id: the de-duplication key
    G_FREQ = 2,         // float(freq or 0): the sort key and the frequency criteria
    G_SYLL = 4,         // part of speech and syllable count
    G_VAL_ORTHO = 8,    // the ortho value tested by rechercher (text id, 0 when falsy)
    G_VAL_PHONE = 16,   // the phone value tested by rechercher
};

// The remembered values of one entry.
struct Fiche {
    uint8_t prets = 0, vivants = 0;  // groups computed / groups to read on the entry
    bool freq_ok = true;             // freq is a number (else float() raises in the sort; criteria read 0.0)
    bool syll_ok = false;
    int32_t ortho = 0, cgram = 0, val_ortho = 0, val_phone = 0;
    int32_t syll = 0;
    double freq = 0;
};

// Values whose conversions and text forms run no Python code and cannot change.
inline bool immuable(PyObject *v) {
    return v == Py_None || PyUnicode_CheckExact(v) || PyFloat_CheckExact(v) || PyLong_CheckExact(v) ||
           PyBool_Check(v);
}

class Fiches {
public:
    TableTextes textes;
    uint64_t generation_textes = 0;  // moves when the ids of `textes` are forgotten
    int en_cours = 0;  // queries running (a live path may start one from Python code)

    // At the start of each query, never under a running one (its record numbers must
    // stay valid): forgets every record once they are many and a quarter of them
    // belong to entries nothing but their own seal still holds (a lexicon dropped
    // since), or once they are too many.
    void debut_appel() {
        if (en_cours != 0 || fiches_.size() < seuil_) return;
        size_t seules = 0;
        for (const Scellee &r : fiches_) seules += tient_ && r.sceau.intact() && Py_REFCNT(r.e) == 1;
        seuil_ = 2 * fiches_.size();
        if (seules * 4 < fiches_.size() && fiches_.size() < 3000000 && textes.taille() < 3000000) return;
        std::deque<Scellee> anciennes;  // released last: that may run Python code
        anciennes.swap(fiches_);
        adresses_.clear();
        textes.vider();
        ++generation_textes;
        curseur_ = 0;
        seuil_ = 1000000;
    }

    // The record of e with `groupes` computed and proved current; nullptr when e is not
    // an exact dict. A record whose seal holds is that of the same live dict: its
    // address is then all that is read.
    const Fiche *obtenir(PyObject *e, uint8_t groupes) {
        Scellee &r = fiches_[trouver(e)];
        if (!r.sceau.intact()) {
            if (!PyDict_CheckExact(e)) return nullptr;
            r.f = Fiche{};
            r.sceau.ouvrir();
            const Py_ssize_t avant = Py_REFCNT(e);
            r.sceau.ajouter(e);
            tient_ = Py_REFCNT(e) != avant;  // whether a seal holds its dict alive
        }
        if (uint8_t manque = groupes & ~r.f.prets) calculer(r.e, r.f, manque);
        return &r.f;
    }

    // Computes `groupes` of f from the dict e. Runs no Python code: a value that is not
    // of an exact immutable type only marks its group live.
    void calculer(PyObject *e, Fiche &f, uint8_t groupes) {
        const NomsChamps &k = noms();
        auto groupe = [&](uint8_t g, bool fige) { f.vivants |= fige ? 0 : g; };
        if (groupes & G_VAL_ORTHO) groupe(G_VAL_ORTHO, id_texte(champ(e, k.ortho), f.val_ortho));
        if (groupes & G_TRI) groupe(G_TRI, id_texte(champ(e, k.ortho), f.ortho, true));
        if (groupes & G_FREQ) {
            PyObject *v = champ(e, k.freq);
            std::optional<double> d = 0.0;
            groupe(G_FREQ, !v || (immuable(v) && (!vrai(v) || reel_fige(v, d))));
            f.freq_ok = d.has_value();
            f.freq = d.value_or(0.0);
        }
        if (groupes & G_SYLL) groupe(G_SYLL, id_texte(champ(e, k.cgram), f.cgram) && syllabes_figees(e, f));
        if (groupes & G_VAL_PHONE) groupe(G_VAL_PHONE, id_texte(champ(e, k.phone), f.val_phone));
        f.prets |= groupes;
    }

private:
    // A record with its entry's address (compared, never followed from here) and the
    // seal made when its values were read.
    struct Scellee {
        explicit Scellee(PyObject *entree) : e(entree) {}
        PyObject *e;
        Sceau sceau;
        Fiche f;
    };
    // A cursor makes a scan in the order of the previous one sequential.
    size_t trouver(PyObject *e) {
        if (curseur_ < fiches_.size() && fiches_[curseur_].e == e) return curseur_++;
        auto [it, neuf] = adresses_.try_emplace(e, fiches_.size());
        if (neuf) fiches_.emplace_back(e);  // its seal is not opened: filled on first use
        curseur_ = it->second + 1;
        return it->second;
    }
    static PyObject *champ(PyObject *e, PyObject *nom) {
        PyObject *v = PyDict_GetItemWithError(e, nom);
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return v;
    }
    // The text of a field as an id: "" for missing or falsy; false for the live path.
    bool id_texte(PyObject *v, int32_t &id, bool minuscules = false) {
        if (!v || v == Py_None || v == Py_False || ((PyLong_CheckExact(v) || PyFloat_CheckExact(v)) && !vrai(v)))
            return id = 0, true;
        if (!PyUnicode_CheckExact(v)) return false;
        id = minuscules ? textes.id(minuscules_py(v).ptr()) : textes.id(v);
        return true;
    }
    // float(v) of an immutable value; false where the live path must decide (it raises).
    static bool reel_fige(PyObject *v, std::optional<double> &d) {
        try {
            d = reel_de(v);
            return true;
        } catch (nb::python_error &) {  // OverflowError of a huge int
            return false;
        }
    }
    bool syllabes_figees(PyObject *e, Fiche &f) {
        const NomsChamps &k = noms();
        for (PyObject *nom : {k.nb_syllabes, k.nbsyll, k.syllabes, k.syll})
            if (PyObject *v = champ(e, nom); v && !immuable(v)) return false;
        nb::object n;
        try {
            n = nb_syllabes_entree(e);
        } catch (nb::python_error &) {  // int(inf) and the like: raised again on the live path
            return false;
        }
        f.syll_ok = !n.is_none();
        if (!f.syll_ok) return true;
        int debord = 0;
        const long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &debord);
        f.syll = (int32_t)v;
        return !debord && v >= INT32_MIN && v <= INT32_MAX;  // else compared as an int on the live path
    }
    std::deque<Scellee> fiches_;  // a Sceau does not move
    std::unordered_map<PyObject *, size_t> adresses_;
    size_t curseur_ = 0, seuil_ = 1000000;
    bool tient_ = false;
};

// One store per extension module, leaked with the process.
inline Fiches &fiches() {
    static Fiches *f = new Fiches();
    return *f;
}

// The results of one query: one entry per lower-cased spelling, in the order met, then
// ordered by frequency.
class Resultats {
public:
    explicit Resultats(Fiches &f) : F(f) {}
    // Keeps e unless its spelling was met already in this call; its sort key is read
    // on the entry when the results are ordered. `non_vide`: an entry without
    // spelling is refused.
    void garder(PyObject *e, bool non_vide) {
        nb::object t = texte_champ(e, noms().ortho);
        ajouter(e, F.textes.id(minuscules_py(t.ptr()).ptr()), non_vide, std::nullopt);
    }
    // The same for an entry whose record `f` (G_TRI and G_FREQ fixed, freq_ok) a table
    // proves current.
    void garder_fige(PyObject *e, const Fiche &f, bool non_vide) { ajouter(e, f.ortho, non_vide, -f.freq); }
    // The entries of one index list (or any iterable), one per non-empty spelling,
    // through the record of each when it holds the spelling and the frequency as fixed
    // values (a scan over many entries then reads no dict twice), else as garder().
    // The latter may run Python code, which may change an entry kept before: the keys
    // given so far are then read again on the entries when ordering.
    void garder_liste(PyObject *entrees) {
        const bool fiches = brivane::chemins_rapides();
        pour_chaque_entree(entrees, [&](PyObject *e) {
            const Fiche *f = fiches ? F.obtenir(e, G_TRI | G_FREQ) : nullptr;
            if (f && !(f->vivants & (G_TRI | G_FREQ)) && f->freq_ok) return garder_fige(e, *f, true);
            relire_ = true;
            garder(e, true);
        });
    }

    nb::list trier(long long limite) {
        std::vector<double> cles(cles_.size());
        for (size_t i = 0; i < cles.size(); ++i)
            cles[i] = cles_[i] && !relire_ ? *cles_[i] : cle_frequence(PyList_GET_ITEM(liste_.ptr(), (Py_ssize_t)i));
        return ordonner(PySequence_Fast_ITEMS(liste_.ptr()), cles, limite);
    }

private:
    void ajouter(PyObject *e, int32_t id, bool non_vide, std::optional<double> cle) {
        if ((size_t)id >= vus_.size()) vus_.resize((size_t)id + 1 + (size_t)id / 2, 0);
        if ((!non_vide || id != 0) && !vus_[(size_t)id]) {
            vus_[(size_t)id] = 1;
            if (PyList_Append(liste_.ptr(), e) < 0) throw nb::python_error();
            cles_.push_back(cle);
        }
    }

    Fiches &F;
    nb::list liste_;
    std::vector<std::optional<double>> cles_;  // given with the entry, else read when ordering
    std::vector<uint8_t> vus_;  // spellings met, by text id
    bool relire_ = false;       // Python code may have run since a key was given
};

// The entries of some lists of an index in scan order (lists in index order, then
// list order) with their records: of every list, for the scans that read every
// entry, or of the lists of one rhyme group. Seals over their dicts and a copy of
// each list's items prove the whole table at once, so that a scan reads no entry
// dict at all, only the records laid end to end. Lists have no watchers: each call
// reads them all. One seal covers a run of lists, so that a run's dicts (whose tags
// a seal reads on 3.11) and its lists, which the loader allocated side by side, are
// read together while that memory is at hand.
struct TableEntrees {
    static constexpr uint32_t ENTREES_PAR_SCEAU = 4096;
    bool prete = false, impossible = false;  // impossible: a value or entry of another type
    uint8_t prets = 0, vivants = 0;          // groups computed for all / live on some entry
    uint64_t generation_textes = 0;
    std::deque<Sceau> sceaux;         // run r: the dicts of lists [tranches[r], tranches[r + 1])
    std::vector<uint32_t> tranches;
    std::vector<PyObject *> entrees;  // borrowed: their lists hold them while they equal this copy
    std::vector<uint32_t> debuts;     // list i: entrees[debuts[i], debuts[i + 1])
    std::vector<Fiche> fiches;
    // The tested text of every entry (val_ortho or val_phone of its record), for the
    // scan of rechercher, which reads nothing else until an entry matches.
    std::vector<int32_t> valeurs_ortho, valeurs_phone;
    void vider() {
        prete = impossible = false;
        std::deque<Sceau> anciens;  // released last: that may release the last reference to an entry
        anciens.swap(sceaux);
        tranches.clear(), entrees.clear(), debuts.clear(), fiches.clear(), valeurs_ortho.clear(), valeurs_phone.clear();
    }
};

// The lists of the keys of an index that share their final segments, and the table
// of their entries made on first need.
struct GroupeCles {
    std::vector<PyObject *> listes;
    TableEntrees table;
};

// Keys and values of an index in iteration order, kept while a Sceau proves the dict
// unchanged (the same objects then sit at the same positions); the PyDict_Next
// positions let a walk fall back to the dict at any key. Only for an index whose
// keys are all exact str; their code points are laid end to end.
struct ClesIndex {
    PyObject *index = nullptr;
    Sceau sceau;
    bool tient = false;  // the seal holds the dict alive (then released once nothing else does)
    uint64_t generation = 0, usage = 0;
    // Full scans of the entries so far: recording every entry costs more than reading
    // the dicts once, so the table of every entry is made from the second scan on.
    uint32_t parcours = 0;
    std::vector<PyObject *> cles, valeurs;  // borrowed from the dict while the seal holds
    std::vector<Py_ssize_t> positions;      // PyDict_Next position after each key
    std::u32string points;
    std::vector<uint32_t> debuts;  // key i: points[debuts[i], debuts[i + 1])
    // Per nb_phonemes, the keys by their final segments (see _phonetique.cpp).
    std::unordered_map<long long, std::unordered_map<std::u32string, GroupeCles>> rimes;
    TableEntrees table;

    bool valide(PyObject *d) const { return index == d && sceau.intact(); }
    void construire(PyObject *d) {
        static uint64_t generations = 0;
        generation = ++generations;
        index = nullptr;
        sceau.ouvrir();  // first: releasing the previous dict may run Python code
        table.vider();
        cles.clear(), valeurs.clear(), positions.clear(), points.clear();
        debuts.assign(1, 0);
        rimes.clear();
        parcours = 0;
        Py_ssize_t pos = 0;
        std::u32string p;
        for (PyObject *k, *v; PyDict_Next(d, &pos, &k, &v);) {
            if (!PyUnicode_CheckExact(k)) return;
            cles.push_back(k), valeurs.push_back(v), positions.push_back(pos);
            points_de(k, p);
            points += p;
            debuts.push_back((uint32_t)points.size());
        }
        const Py_ssize_t avant = Py_REFCNT(d);
        if (sceau.ajouter(d)) index = d;
        tient = Py_REFCNT(d) != avant;
    }
};

// The snapshot of index d (the last four indexes queried are kept); nullptr when a
// key is not an exact str.
inline std::array<ClesIndex, 4> &instantanes() {
    static auto *tous = new std::array<ClesIndex, 4>();
    return *tous;
}
inline ClesIndex *cles_index(PyObject *d) {
    static uint64_t horloge = 0;
    ClesIndex *libre = &instantanes()[0];
    for (ClesIndex &c : instantanes()) {
        if (c.valide(d)) {
            c.usage = ++horloge;
            return &c;
        }
        if (c.usage < libre->usage) libre = &c;
    }
    libre->construire(d);
    libre->usage = ++horloge;
    return libre->index ? libre : nullptr;
}

// Releases the snapshots of indexes that nothing but their own seal still holds.
inline void liberer_index_abandonnes() {
    for (ClesIndex &c : instantanes()) {
        if (!c.index || !c.tient || Py_REFCNT(c.index) != 1) continue;
        c.index = nullptr;
        c.usage = 0;
        c.sceau.ouvrir();  // drops the reference
        c.table.vider();
        c.rimes.clear();  // and the entries the group tables sealed
    }
}

// Marks one query as running (see Fiches::debut_appel).
class AppelFiches {
public:
    AppelFiches() : f_(fiches()) {
        liberer_index_abandonnes();
        f_.debut_appel();
        ++f_.en_cours;
    }
    ~AppelFiches() { --f_.en_cours; }
    Fiches &operator*() { return f_; }

private:
    Fiches &f_;
};

// Whether `listes` and their entries are still those of table t, run by run.
inline bool table_intacte(const std::vector<PyObject *> &listes, const TableEntrees &t) {
    for (size_t r = 0; r + 1 < t.tranches.size(); ++r) {
        if (!t.sceaux[r].intact()) return false;
        bool differe = false;
        for (uint32_t i = t.tranches[r]; i < t.tranches[r + 1]; ++i) {
            PyObject *l = listes[i];
            const uint32_t debut = t.debuts[i], n = t.debuts[i + 1] - debut;
            if (PyList_GET_SIZE(l) != (Py_ssize_t)n) return false;
            for (uint32_t j = 0; j < n; ++j) differe |= PyList_GET_ITEM(l, j) != t.entrees[debut + j];
        }
        if (differe) return false;
    }
    return true;
}

// Lays out the entries of `listes` and seals them; false when a value is not an exact
// list of exact dicts.
inline bool construire_table(const std::vector<PyObject *> &listes, TableEntrees &t, uint64_t generation_textes) {
    t.vider();
    t.prets = t.vivants = 0;
    t.debuts.assign(1, 0);
    t.tranches.assign(1, 0);
    for (PyObject *l : listes) {
        if (!PyList_CheckExact(l)) return !(t.impossible = true);
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(l); ++j) {
            PyObject *e = PyList_GET_ITEM(l, j);
            if (!PyDict_CheckExact(e)) return !(t.impossible = true);
            t.entrees.push_back(e);
        }
        t.debuts.push_back((uint32_t)t.entrees.size());
        if (t.debuts.back() - t.debuts[t.tranches.back()] >= TableEntrees::ENTREES_PAR_SCEAU)
            t.tranches.push_back((uint32_t)(t.debuts.size() - 1));
    }
    if (t.tranches.back() != listes.size()) t.tranches.push_back((uint32_t)listes.size());
    for (size_t r = 0; r + 1 < t.tranches.size(); ++r) {
        Sceau &s = t.sceaux.emplace_back();
        s.ouvrir();
        for (uint32_t k = t.debuts[t.tranches[r]]; k < t.debuts[t.tranches[r + 1]]; ++k)
            if (!s.ajouter(t.entrees[k])) return false;
    }
    t.fiches.assign(t.entrees.size(), Fiche{});
    t.generation_textes = generation_textes;
    return t.prete = true;
}

// Table t of `listes` (values of an index whose seal holds) with `groupes` computed and
// proved current for every entry, built or completed here (reading every entry once,
// as a scan would); nullptr when some entry must be read on the dict itself (a live
// value, another type, no seal to be had).
inline TableEntrees *table_de(const std::vector<PyObject *> &listes, TableEntrees &t, Fiches &F, uint8_t groupes) {
    if (t.impossible) return nullptr;
    if (t.prete && !(t.generation_textes == F.generation_textes && table_intacte(listes, t)))
        t.prete = false;
    if (!t.prete && !construire_table(listes, t, F.generation_textes)) return nullptr;
    if (const uint8_t manque = groupes & ~t.prets) {
        // Interrupted, the groups stay marked missing and are computed again next time.
        Interruptible interruption;
        for (size_t k = 0; k < t.fiches.size(); ++k) {
            interruption();
            Fiche &f = t.fiches[k];
            F.calculer(t.entrees[k], f, manque);
            // A freq that float() refuses raises in the sort: read on the entry.
            t.vivants |= f.vivants | ((manque & G_FREQ) && !f.freq_ok ? G_FREQ : 0);
        }
        t.prets |= manque;
        for (auto [g, valeurs] : {std::pair{G_VAL_ORTHO, &t.valeurs_ortho}, {G_VAL_PHONE, &t.valeurs_phone}}) {
            if (!(manque & g)) continue;
            valeurs->resize(t.fiches.size());
            for (size_t k = 0; k < t.fiches.size(); ++k)
                (*valeurs)[k] = g == G_VAL_ORTHO ? t.fiches[k].val_ortho : t.fiches[k].val_phone;
        }
    }
    return t.vivants & groupes ? nullptr : &t;
}

// Visits the keys `retenues` of snapshot ci in index order as the host's items() loop
// would visit the keys that pass `teste`, calling action(value) with the value held
// (the key of a snapshot is not touched, its object is not read here). The action
// may run Python code: then a dict of another size raises as the host's iterator
// does, and any other change sends the rest of the walk to the dict itself, each
// key then tested by `teste`.
template <class T, class A>
void parcourir_cles(PyObject *d, ClesIndex &ci, const std::vector<uint32_t> &retenues, T &&teste, A &&action) {
    const uint64_t generation = ci.generation;
    const Py_ssize_t taille = PyDict_GET_SIZE(d);
    Interruptible interruption;
    for (uint32_t i : retenues) {
        interruption();
        nb::object v = nb::borrow(ci.valeurs[i]);
        action(v.ptr());
        if (PyDict_GET_SIZE(d) != taille) erreur_taille_changee();
        if (ci.generation != generation || !ci.valide(d)) {
            pour_chaque_cle(
                d, [&](PyObject *k, PyObject *v) { if (teste(k)) action(v); }, ci.positions[i]);
            return;
        }
    }
}

}  // namespace brivane::py
