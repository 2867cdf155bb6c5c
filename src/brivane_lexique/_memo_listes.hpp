// What the functions of _morphologie remember between calls, per list of entries.
//
// A caller hands these functions a list of entry dicts (a lemma's entries, a
// spelling's), often the same list many times: a program conjugates the verbs of a
// text, or walks an index again. Reading a few fields of each entry is a chain of
// dependent loads (the dict, its key table, each value) that costs more than the
// answer. A record keeps, per list (by address) and per function, the entries the list
// held with their dict versions, and the answer computed from them. A later call with
// that list proves in one round of parallel loads that the answer still holds:
// - the list is compared item by item with the recorded entries (lists carry no
//   version), and each entry must still be an exact dict at its recorded
//   ma_version_tag (CPython 3.11 gives every dict a version from one global counter,
//   at creation and on every mutation: a dict made later at a freed one's address
//   never matches);
// - an answer is recorded only when the fields it read are exact immutable values (or
//   absent) in dicts whose keys are all exact str, so that the same entries always give
//   it, and only when the list and its entries did not move while it was computed.
// Nothing of the caller's is held: the list and the entries are compared by address
// and followed only through the live list. An answer holds its own objects.
//
// A list is recorded from its second call in a row on its slot (a direct-mapped table):
// a program that never comes back to a list pays one word per call, not a record.
#pragma once

#include "_champs.hpp"
#include "_precharge.hpp"

#include <nanobind/nanobind.h>

#include <cstdint>
#include <vector>

namespace brivane::py {

namespace nb = nanobind;

class MemoListes {
public:
    static constexpr bool DISPONIBLE = PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000;
    enum Sorte : uint8_t { CONJUGUER = 1, FORMES = 2, FORMES_CGRAM = 3, LEMME = 4 };

    struct Fiche {
        PyObject *liste = nullptr;  // compared, never followed
        Sorte sorte{};
        bool notee = false;  // false: the list was seen once here, nothing recorded
        std::vector<PyObject *> entrees;
        std::vector<uint64_t> versions;
        // What the function answered (conjuguer: its table, a private copy; lemme_de: the
        // lemma or None) and, for formes_de, the cgram asked (None or a str) and the
        // positions of the entries kept.
        nb::object reponse, cgram;
        std::vector<uint32_t> positions;
    };

    // The record of `liste` for `sorte` when it still holds, else nullptr.
    Fiche *valide(PyObject *liste, Sorte sorte) {
        if (!DISPONIBLE) return nullptr;
        Fiche &f = case_de(liste, sorte);
        if (!f.notee || f.liste != liste || f.sorte != sorte) return nullptr;
        return correspond(f, liste) ? &f : nullptr;
    }

    // Before a computation: the slot to fill afterwards (nullptr when this call only
    // marks the list as seen), with the list's state taken now.
    Fiche *preparer(PyObject *liste, Sorte sorte) {
        if (!DISPONIBLE) return nullptr;
        Fiche &f = case_de(liste, sorte);
        if (f.liste != liste || f.sorte != sorte) {
            oublier(f);
            f.liste = liste;
            f.sorte = sorte;
            return nullptr;  // first sighting
        }
        oublier(f);
        f.liste = liste;
        f.sorte = sorte;
        const Py_ssize_t n = PyList_GET_SIZE(liste);
        if (n > Py_ssize_t(MAX_ENTREES)) return nullptr;
        // Bounded as a whole too: past the budget, every record is dropped and the
        // table starts afresh (the lists that come back are recorded again).
        if (total_ + size_t(n) > BUDGET)
            for (Fiche &autre : cases_)
                if (&autre != &f) oublier(autre);
        for (Py_ssize_t k = 0; k < n; ++k)
            if (!PyDict_CheckExact(PyList_GET_ITEM(liste, k))) return nullptr;
        f.entrees.reserve(size_t(n));
        f.versions.reserve(size_t(n));
        for (Py_ssize_t k = 0; k < n; ++k) {
            PyObject *e = PyList_GET_ITEM(liste, k);
            f.entrees.push_back(e);
            f.versions.push_back(version(e));
        }
        total_ += size_t(n);
        return &f;
    }

    // After the computation: the record is kept when the list and its entries did not
    // move meanwhile and the fields read hold fixed values. The caller then stores its
    // answer in it.
    bool confirmer(Fiche *f, PyObject *liste, std::initializer_list<PyObject *> champs) {
        if (!f) return false;
        if (f->liste != liste || !correspond(*f, liste) || !valeurs_figees(liste, champs)) {
            oublier(*f);
            f->liste = liste;
            return false;
        }
        f->notee = true;
        return true;
    }

private:
    static constexpr size_t CASES = 4096;  // a power of two
    static constexpr size_t MAX_ENTREES = 1 << 16;  // per list
    static constexpr size_t BUDGET = 1 << 20;       // entries recorded in all (16 MB)

    static uint64_t version(PyObject *d) { return version_dict(d); }

    Fiche &case_de(PyObject *liste, Sorte sorte) {
        if (cases_.empty()) cases_.resize(CASES);
        uintptr_t h = reinterpret_cast<uintptr_t>(liste) >> 4;
        h ^= h >> 13;
        return cases_[(h * 5 + sorte) & (CASES - 1)];
    }

    void oublier(Fiche &f) {
        total_ -= f.entrees.size();
        f.notee = false;
        // (Their room released too: the budget counts what records hold.)
        std::vector<PyObject *>().swap(f.entrees);
        std::vector<uint64_t>().swap(f.versions);
        std::vector<uint32_t>().swap(f.positions);
        f.reponse = nb::object();
        f.cgram = nb::object();
    }

    // The list holds the recorded entries, each an exact dict at its recorded version
    // (their headers requested together first).
    static bool correspond(const Fiche &f, PyObject *liste) {
        const size_t n = f.entrees.size();
        if (size_t(PyList_GET_SIZE(liste)) != n) return false;
        PyObject **items = reinterpret_cast<PyListObject *>(liste)->ob_item;
        for (size_t k = 0; k < n; ++k) {
            if (items[k] != f.entrees[k]) return false;
            precharger(items[k]);
        }
        for (size_t k = 0; k < n; ++k)
            if (Py_TYPE(items[k]) != &PyDict_Type || version(items[k]) != f.versions[k]) return false;
        return true;
    }

    std::vector<Fiche> cases_;
    size_t total_ = 0;  // entries held by the records
};

}  // namespace brivane::py
