// Python-facing helpers shared by every binding source: argument checks with the
// system's one TypeError wording, number coercions, and access to names that a
// module binds at import (so that a caller who replaces them from Python is obeyed).
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "nombre.hpp"
#include "plateforme.hpp"
#include "reglages.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <chrono>
#include <cmath>
#include <optional>
#include <thread>
#include <string_view>

namespace brivane::py {

namespace nb = nanobind;

// Raises TypeError "Argument '<nom>' has incorrect type (expected <attendu>, got <type>)".
// The %.200s truncations are part of the wording callers match against.
[[noreturn]] inline void erreur_type(const char *nom, const char *attendu, PyObject *recu) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 nom, attendu, Py_TYPE(recu)->tp_name);
    throw nb::python_error();
}

// Exactly str: subclasses and None are refused.
inline void exiger_str(nb::handle o, const char *nom) {
    if (!PyUnicode_CheckExact(o.ptr())) erreur_type(nom, "str", o.ptr());
}
inline void exiger_str_ou_none(nb::handle o, const char *nom) {
    if (!o.is_none() && !PyUnicode_CheckExact(o.ptr())) erreur_type(nom, "str", o.ptr());
}
// Exactly list / dict.
inline void exiger_list(nb::handle o, const char *nom) {
    if (!PyList_CheckExact(o.ptr())) erreur_type(nom, "list", o.ptr());
}
inline void exiger_dict(nb::handle o, const char *nom) {
    if (!PyDict_CheckExact(o.ptr())) erreur_type(nom, "dict", o.ptr());
}

// A "number" for the integer and real rules: int (bool included), float, or any
// object that offers __index__ or __float__ (numpy scalars, Fraction, Decimal).
inline bool est_nombre(PyObject *o) {
    if (PyLong_Check(o) || PyFloat_Check(o)) return true;
    if (PyUnicode_Check(o) || PyBytes_Check(o) || PyByteArray_Check(o)) return false;
    PyNumberMethods *nm = Py_TYPE(o)->tp_as_number;
    return nm && (nm->nb_index || nm->nb_float);
}

// Integer rule: any number is accepted and truncated toward zero; anything else
// raises the TypeError naming `int`. NaN and infinities raise as int() does.
inline long long entier_arg(nb::handle h, const char *nom) {
    PyObject *o = h.ptr();
    if (PyLong_Check(o)) {
        int depasse = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &depasse);
        // Out of range: clamp, a limit that large behaves as "no limit" anyway.
        if (depasse) return depasse < 0 ? LLONG_MIN : LLONG_MAX;
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        return v;
    }
    if (!est_nombre(o)) erreur_type(nom, "int", o);
    PyNumberMethods *nm = Py_TYPE(o)->tp_as_number;
    if (!PyFloat_Check(o) && nm->nb_index) {
        nb::object i = nb::steal(PyNumber_Index(o));
        if (!i.is_valid()) throw nb::python_error();
        return entier_arg(i, nom);
    }
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (!std::isfinite(d)) {  // int()'s own errors: ValueError for NaN, OverflowError for infinities
        Py_XDECREF(PyLong_FromDouble(d));
        throw nb::python_error();
    }
    d = std::trunc(d);
    if (d >= 9.2e18) return LLONG_MAX;
    if (d <= -9.2e18) return LLONG_MIN;
    return static_cast<long long>(d);
}

// Real rule: any number is accepted and converted to a double; anything else
// raises the TypeError naming `float`.
inline double reel_arg(nb::handle h, const char *nom) {
    PyObject *o = h.ptr();
    if (PyFloat_Check(o)) return PyFloat_AS_DOUBLE(o);
    if (!est_nombre(o)) erreur_type(nom, "float", o);
    double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

// float(v) under the library's number rule: text goes through core/nombre (so that a
// decimal comma reads as a number), anything else through float(). A new reference,
// or nullptr with float()'s own error set.
inline PyObject *nombre_float(PyObject *v) {
    if (PyUnicode_CheckExact(v)) {
        Py_ssize_t n = 0;
        if (const char *p = PyUnicode_AsUTF8AndSize(v, &n)) {
            if (std::optional<double> d = brivane::lire_reel(std::string_view(p, size_t(n))))
                return PyFloat_FromDouble(*d);
        } else {
            PyErr_Clear();  // lone surrogates: float() says what is wrong
        }
    }
    return PyNumber_Float(v);
}

// View of the UTF-8 bytes of a str (cached by CPython inside the object).
inline std::string_view utf8(PyObject *s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s, &n);
    if (!p) throw nb::python_error();
    return {p, static_cast<size_t>(n)};
}
inline nb::str texte(std::string_view v) {
    return nb::steal<nb::str>(PyUnicode_DecodeUTF8(v.data(), (Py_ssize_t)v.size(), "strict"));
}

// Plain SQL identifier ([A-Za-z_][A-Za-z0-9_]*): a table name is concatenated into
// statements and into index names, so anything else is refused up front.
inline bool identifiant_sql(std::string_view s) {
    auto lettre = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; };
    return !s.empty() && lettre(s[0]) &&
           std::all_of(s.begin() + 1, s.end(), [&](char c) { return lettre(c) || (c >= '0' && c <= '9'); });
}

// The str form of a path argument (text or os.PathLike giving text), as open() reads it.
inline nb::object texte_chemin(nb::handle chemin) {
    nb::object s = nb::steal(PyOS_FSPath(chemin.ptr()));
    if (!s.is_valid()) throw nb::python_error();
    if (!PyUnicode_Check(s.ptr())) {
        PyErr_Format(PyExc_TypeError,
                     "argument should be a str or an os.PathLike object where __fspath__ "
                     "returns a str, not '%.200s'",
                     Py_TYPE(s.ptr())->tp_name);
        throw nb::python_error();
    }
    return s;
}

// The host module that reads files of this compression suffix, or nullptr.
inline const char *module_de_compression(nb::handle chemin) {
    nb::object suffixe = nb::module_::import_("pathlib").attr("Path")(chemin).attr("suffix").attr("lower")();
    for (const auto &[s, m] : {std::pair{".gz", "gzip"}, {".bz2", "bz2"}, {".xz", "lzma"}})
        if (suffixe.equal(nb::str(s))) return m;
    return nullptr;
}

// The bytes of a path as os.fsencode() gives them, refused as the host's open()
// refuses them: a lone surrogate raises UnicodeEncodeError (a ValueError), a NUL byte
// ValueError, instead of naming another file once cut at the NUL.
inline std::string octets_chemin(nb::handle chemin) {
    PyObject *b = nullptr;
    if (!PyUnicode_FSConverter(chemin.ptr(), &b)) throw nb::python_error();
    nb::object octets = nb::steal(b);
    return std::string(PyBytes_AS_STRING(b), size_t(PyBytes_GET_SIZE(b)));
}

// The OSError the host raises for errno value `numero` (as its subclass for that
// value), naming the file `nom` when given; a source the platform layer refuses as
// PAS_UN_FICHIER_ORDINAIRE is "Not a regular file".
[[noreturn]] inline void erreur_os(int numero, nb::handle nom = nb::handle()) {
    if (numero == PAS_UN_FICHIER_ORDINAIRE) {
        nb::object err = nb::borrow(PyExc_OSError)(EINVAL, "Not a regular file", nom.is_valid() ? nom : nb::none());
        PyErr_SetObject(PyExc_OSError, err.ptr());
        throw nb::python_error();
    }
    errno = numero;
    if (nom.is_valid()) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, nom.ptr());
    else PyErr_SetFromErrno(PyExc_OSError);
    throw nb::python_error();
}

// Closes a sqlite3 connection while another error is on its way out: that error
// stays the one the caller sees, whatever close() does.
inline void fermer_en_silence(nb::handle conn) {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject *r = PyObject_CallMethod(conn.ptr(), "close", nullptr);
    Py_XDECREF(r);
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
}

// A frozenset filled before anybody else sees it (as PySet_Add allows), out of the
// collector's walks when it holds plain str only: such a set can be part of no
// reference cycle, and every walk would otherwise visit each of its members.
class EnsembleFormes {
public:
    EnsembleFormes() : ens_(nb::steal(PyFrozenSet_New(nullptr))) {
        if (!ens_.is_valid()) throw nb::python_error();
    }
    void ajouter(nb::handle cle) {
        textes_ = textes_ && (PyUnicode_CheckExact(cle.ptr()) || cle.is_none());
        if (PySet_Add(ens_.ptr(), cle.ptr()) < 0) throw nb::python_error();
    }
    nb::object geler() {
        if (textes_ && PyObject_GC_IsTracked(ens_.ptr())) PyObject_GC_UnTrack(ens_.ptr());
        return std::move(ens_);
    }

private:
    nb::object ens_;
    bool textes_ = true;
};

// A name bound into a module's namespace at import. Calls go through the module's
// current attribute, so replacing it from Python takes effect; `original()` tells
// whether it is still the object bound at import, which allows a C++ fast path.
class NomLie {
public:
    // Instances are static: the two references are leaked on purpose, since they
    // must not be released after the interpreter has shut down.
    void lier(nb::module_ &m, const char *nom, nb::object valeur) {
        nom_ = nom;
        cle_ = PyUnicode_InternFromString(nom);
        dict_ = nb::object(m.attr("__dict__")).release().ptr();
        m.attr(nom) = valeur;
        origine_ = valeur.release().ptr();
    }
    // Borrowed reference to the current binding (nullptr if deleted).
    PyObject *courant() const {
        PyObject *c = PyDict_GetItemWithError(dict_, cle_);
        if (!c && PyErr_Occurred()) throw nb::python_error();
        return c;
    }
    PyObject *origine() const { return origine_; }
    bool original() const { return courant() == origine_; }
    nb::object objet() const {
        PyObject *c = courant();
        if (!c) {
            PyErr_Format(PyExc_NameError, "name '%s' is not defined", nom_);
            throw nb::python_error();
        }
        return nb::borrow(c);
    }

private:
    const char *nom_ = "";
    PyObject *cle_ = nullptr;
    PyObject *dict_ = nullptr;
    PyObject *origine_ = nullptr;
};

// Counts the rows of a loop that can run long over a whole lexicon: every few
// thousand, the host's signal handlers run, so that Ctrl-C stops the loop with
// KeyboardInterrupt (the error then unwinds like any other, leaving nothing half
// stored). Cheap enough for the hottest loops: one increment and a test per row.
class Interruptible {
public:
    void operator()() {
        if ((++n_ & 4095u) == 0 && PyErr_CheckSignals() < 0) throw nb::python_error();
    }

private:
    uint32_t n_ = 0;
};

// A call of the library that may run host code which gives the interpreter up (SQL
// statements, Python overrides and callbacks). At exit the host ends daemon threads
// where they take the interpreter back, by unwinding their stack: through C++ frames
// that would release Python objects without holding the interpreter, while it is
// being torn down. So, once exit has begun (see lier_reglage), calls still running
// are let finish, and a daemon thread that starts a new one is parked there for good.
namespace detail {
inline std::atomic<long> appels_en_cours{0};
inline std::atomic<bool> sortie_commencee{false};
// The thread running the exit (the host's atexit handlers): it must go on.
inline std::atomic<std::thread::id> fil_de_sortie{};
}  // namespace detail

class Passage {
public:
    Passage() {
        if (detail::sortie_commencee.load(std::memory_order_acquire) &&
            detail::fil_de_sortie.load(std::memory_order_acquire) != std::this_thread::get_id()) {
            PyEval_SaveThread();
            for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
        }
        detail::appels_en_cours.fetch_add(1, std::memory_order_acq_rel);
    }
    ~Passage() { detail::appels_en_cours.fetch_sub(1, std::memory_order_acq_rel); }
    Passage(const Passage &) = delete;
    Passage &operator=(const Passage &) = delete;
};

// Run by the host's atexit, before it starts tearing down: waits (without the
// interpreter) for the calls in flight, a bounded time.
inline void attendre_appels_en_cours() {
    detail::fil_de_sortie.store(std::this_thread::get_id(), std::memory_order_release);
    detail::sortie_commencee.store(true, std::memory_order_release);
    for (int i = 0; i < 10000 && detail::appels_en_cours.load(std::memory_order_acquire) > 0; ++i) {
        PyThreadState *etat = PyEval_SaveThread();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        PyEval_RestoreThread(etat);
    }
}

// Every module reads the fast-path switch at import and offers `_chemins_rapides`
// so that the tests can turn the fast paths of all modules off and on together.
inline void lier_reglage(nb::module_ &m) {
    brivane::lire_reglage_environnement();
    // The host ends daemon threads at exit by unwinding their stack; the binding
    // layer would catch that unwinding in its dispatcher and abort the process. It
    // is recognised there (the first translator asked) and the thread parked instead.
    nb::register_exception_translator([](const std::exception_ptr &p, void *) {
        if (p) std::rethrow_exception(p);
        brivane::suspendre_si_fin_forcee();
        PyErr_SetString(PyExc_SystemError, "exception C++ inconnue");
    });
    nb::module_::import_("atexit").attr("register")(nb::cpp_function(&attendre_appels_en_cours));
    m.def(
        "_chemins_rapides",
        [](nb::handle actifs) {
            if (!actifs.is_none()) brivane::regler_chemins_rapides(PyObject_IsTrue(actifs.ptr()) == 1);
            return brivane::chemins_rapides();
        },
        nb::arg("actifs").none() = nb::none(),
        "_chemins_rapides(actifs=None) -> bool\n\nEtat (et reglage) des chemins rapides de ce module.");
}

}  // namespace brivane::py
