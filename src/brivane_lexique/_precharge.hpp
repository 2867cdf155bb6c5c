// Prefetching for the loops that read entry dicts scattered across the heap.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>

namespace brivane::py {

// A prefetch the optimiser cannot drop (GCC removes __builtin_prefetch from a
// loop it judges free of side effects). Never faults, whatever the address.
inline void precharger(const void *p) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __asm__ volatile("prefetcht0 %0" : : "m"(*static_cast<const char *>(p)));
#else
    __builtin_prefetch(p);
#endif
}

// The version of dict `d`: CPython 3.11 gives every dict one from a single global
// counter, at creation and on every change (callers that rest on it check the version
// they were built for).
inline uint64_t version_dict(PyObject *d) { return reinterpret_cast<PyDictObject *>(d)->ma_version_tag; }

// Whether a lookup by str key in dict `d` is sure to run no Python code: CPython 3.11
// records in the key table (dk_kind, the byte after the two size bytes: 0 for general
// keys) that every key is an exact str. Elsewhere the answer is always false.
inline bool cles_textes(PyObject *d) {
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
    const unsigned char *t = reinterpret_cast<const unsigned char *>(reinterpret_cast<PyDictObject *>(d)->ma_keys);
    return t[sizeof(Py_ssize_t) + 2] != 0;
#else
    (void)d;
    return false;
#endif
}

// The entries of an index list were created far apart (in file order), and reading a
// field of each one is a chain of dependent loads: the dict, its key table, the value.
// Walked cold, a list costs several memory latencies per entry; requested in batches
// ahead of use (dicts two batches ahead, key tables one, the values of the fields
// named in `champs` for the batch about to be read), the loads of a batch travel in
// parallel. Only addresses are read: nothing depends on the guessed layout but speed.
class PrechargeEntrees {
public:
    // `champs`: interned field names, up to three, nullptr-terminated when fewer.
    explicit PrechargeEntrees(PyObject *liste, std::initializer_list<PyObject *> champs = {}) {
        for (PyObject *c : champs)
            if (c && nb_champs_ < 3) champs_[nb_champs_++] = c;
        if (PyList_CheckExact(liste)) {
            liste_ = liste;
            relire();
            dicts(0);
            dicts(LOT);
            cles(0);
        }
    }
    // To call before reading entry i, in increasing order. Python code run between
    // two calls may have changed the list: its items are read again each time.
    void avant(Py_ssize_t i) {
        if (i % LOT != 0 || !liste_) return;
        relire();
        if (i >= n_) return;
        dicts(i + 2 * LOT);
        cles(i + LOT);
        valeurs(i);
    }

private:
    static constexpr Py_ssize_t LOT = 16;
    void relire() {
        items_ = reinterpret_cast<PyListObject *>(liste_)->ob_item;
        n_ = PyList_GET_SIZE(liste_);
    }
    Py_ssize_t fin(Py_ssize_t debut) const { return debut + LOT < n_ ? debut + LOT : n_; }
    void dicts(Py_ssize_t debut) {
        for (Py_ssize_t k = debut; k < fin(debut); ++k) precharger(items_[k]);
    }
    void cles(Py_ssize_t debut) {
        for (Py_ssize_t k = debut; k < fin(debut); ++k) {
            if (!PyDict_CheckExact(items_[k])) continue;
            // A row dict of about fifteen text keys: its key table spans five lines.
            const char *t = reinterpret_cast<const char *>(reinterpret_cast<PyDictObject *>(items_[k])->ma_keys);
            for (int ligne = 0; ligne < 5; ++ligne) precharger(t + 64 * ligne);
        }
    }
    // Values are prefetched only where reading them runs no Python code.
    void valeurs(Py_ssize_t debut) {
        if (!nb_champs_) return;
        for (Py_ssize_t k = debut; k < fin(debut); ++k) {
            if (!PyDict_CheckExact(items_[k]) || !cles_textes(items_[k])) continue;
            for (int c = 0; c < nb_champs_; ++c) {
                PyObject *v = PyDict_GetItemWithError(items_[k], champs_[c]);
                if (v) precharger(v);
            }
        }
    }
    PyObject *liste_ = nullptr;  // borrowed: the caller holds it
    PyObject **items_ = nullptr;
    Py_ssize_t n_ = 0;
    PyObject *champs_[3] = {nullptr, nullptr, nullptr};
    int nb_champs_ = 0;
};

}  // namespace brivane::py
