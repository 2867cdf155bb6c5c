// The only place where the library looks past CPython's public API.
//
// A record cache (values read once from entry dicts and reused by later scans) is
// only sound while those dicts are unchanged. A `Sceau` (seal) gives that proof:
// - CPython 3.12 and later: the public dict watchers (PyDict_AddWatcher). Every
//   sealed dict is watched; any change to a watched dict, or its destruction, moves
//   one counter, and a seal holds while the counter has not moved since it was made.
// - CPython 3.11 (no watchers): the private field `ma_version_tag`, which 3.11 draws
//   from one global counter at creation and on every change of every dict; a seal
//   keeps each dict's tag and compares them all.
// When no watcher can be had (all eight of the interpreter's slots taken), a seal
// never holds and callers fall back to reading the dicts on every call.
#pragma once

#include <Python.h>

#include "simd.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace brivane::py {

#if PY_VERSION_HEX >= 0x030C0000

namespace detail {
// Shared by every seal of this module: one watcher slot, however many caches.
inline uint64_t &modifications() {
    static uint64_t n = 1;
    return n;
}
inline int rappel(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++modifications();
    return 0;
}
inline int observateur() {
    static int id = [] {
        int i = PyDict_AddWatcher(rappel);
        if (i < 0) PyErr_Clear();
        return i;
    }();
    return id;
}
}  // namespace detail

class Sceau {
public:
    // Starts a new seal over no dict.
    void ouvrir() { depart_ = detail::observateur() >= 0 ? detail::modifications() : 0; }
    // Adds a dict to the seal; false when it cannot be watched (the seal is then broken).
    bool ajouter(PyObject *d) {
        if (depart_ == 0 || !PyDict_Check(d)) return casser();
        if (PyDict_Watch(detail::observateur(), d) < 0) {
            PyErr_Clear();
            return casser();
        }
        return true;
    }
    // Whether no sealed dict changed (or died) since ouvrir().
    bool intact() const { return depart_ != 0 && depart_ == detail::modifications(); }

private:
    bool casser() {
        depart_ = 0;
        return false;
    }
    uint64_t depart_ = 0;
};

#else  // CPython 3.11

class Sceau {
public:
    Sceau() = default;
    Sceau(const Sceau &) = delete;
    Sceau &operator=(const Sceau &) = delete;
    // A seal kept in a static outlives the interpreter: its references are then left alone.
    ~Sceau() {
        if (Py_IsInitialized()) vider();
    }
    void ouvrir() {
        vider();
        valide_ = true;
    }
    // The seal holds a reference to each dict, so that a tag is never read from freed
    // memory; the tags are unique over the whole process.
    bool ajouter(PyObject *d) {
        if (!valide_ || !PyDict_Check(d)) {
            valide_ = false;
            return false;
        }
        Py_INCREF(d);
        vus_.emplace_back(d, reinterpret_cast<PyDictObject *>(d)->ma_version_tag);
        return true;
    }
    // Every tag is read, each asked for well ahead: the dicts are far apart in memory.
    bool intact() const {
        if (!valide_) return false;
        bool differe = false;
        for (size_t i = 0, n = vus_.size(); i < n; ++i) {
            if (i + 32 < n) brivane::precharger(vus_[i + 32].first);
            differe |= reinterpret_cast<PyDictObject *>(vus_[i].first)->ma_version_tag != vus_[i].second;
        }
        return !differe;
    }

private:
    void vider() {
        for (auto &[d, tag] : vus_) Py_DECREF(d);
        vus_.clear();
        valide_ = false;
    }
    std::vector<std::pair<PyObject *, uint64_t>> vus_;
    bool valide_ = false;
};

#endif

}  // namespace brivane::py
