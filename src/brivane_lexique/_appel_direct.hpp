// The word lookups of Lexique reached through CPython's own method calling
// convention.
//
// A nanobind method call spends about twenty nanoseconds matching its arguments
// against the overloads and casting self before the body runs; a lookup answered
// from the memo takes about fifty, so that is a third of the call. The commonest
// call (one positional argument, on an instance whose __init__ ran) goes straight
// to the body. Every other call (keywords, another number of arguments, an
// instance left uninitialised) is handed to the nanobind method, which keeps its
// own checks and messages; the body's C++ exceptions are translated by nanobind too.
#pragma once

#include "lexique.hpp"

#include <exception>
#include <utility>

namespace brivane::py {

// Sets the Python error nanobind would set for the C++ exception `e`; nullptr.
PyObject *erreur_comme_nanobind(std::exception_ptr e) noexcept;
// The call `lent(self, *args, **kwargs)` in vectorcall form (`lent`: a nanobind method).
PyObject *appel_delegue(PyObject *lent, PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) noexcept;
// Puts `def` (named as a method of Lexique already bound by nanobind) in the type in
// place of that method, which `lent` then holds.
void installer_direct(PyMethodDef &def, PyObject *&lent);

inline PyObject *en_python(nb::object &&o) { return o.release().ptr(); }
inline PyObject *en_python(double d) { return PyFloat_FromDouble(d); }
inline PyObject *en_python(bool b) { return Py_NewRef(b ? Py_True : Py_False); }
inline PyObject *en_python(long long n) { return PyLong_FromLongLong(n); }

// Method `F(Lexique &, nb::handle...)` taking from MIN to MAX arguments; those not
// given are None (the default of every optional argument of these methods).
template <auto F, int MIN, int MAX = MIN> struct Direct {
    static inline PyObject *lent = nullptr;  // the nanobind method (held for the process)
    static inline PyMethodDef def{};

    static PyObject *appel(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        if (nargs < MIN || nargs > MAX || kwnames || !nb::inst_ready(self))
            return appel_delegue(lent, self, args, nargs, kwnames);
        try {
            nb::handle a[MAX];
            for (Py_ssize_t i = 0; i < MAX; ++i) a[i] = i < nargs ? args[i] : Py_None;
            return en_python(corps(*nb::inst_ptr<Lexique>(self), a, std::make_index_sequence<MAX>()));
        } catch (nb::python_error &e) {
            e.restore();
            return nullptr;
        } catch (...) {
            return erreur_comme_nanobind(std::current_exception());
        }
    }
    template <size_t... I> static auto corps(Lexique &l, const nb::handle *a, std::index_sequence<I...>) {
        return F(l, a[I]...);
    }
    static void installer(const char *nom) {
        def = PyMethodDef{nom, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&appel)),
                          METH_FASTCALL | METH_KEYWORDS, nullptr};
        installer_direct(def, lent);
    }
};

}  // namespace brivane::py
