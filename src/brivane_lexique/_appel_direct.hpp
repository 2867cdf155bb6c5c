// Hot functions and methods reached through CPython's own calling convention.
//
// A nanobind call spends about fifteen nanoseconds matching its arguments against
// the overloads (and casting self) before the body runs; a lookup answered from the
// memo takes about fifty, so that is a quarter of the call. The commonest calls
// (positional arguments only, on an instance whose __init__ ran) go straight to the
// body. Every other call (keywords, another number of arguments, an instance left
// uninitialised) is handed to the nanobind function, which keeps its own checks and
// messages; the body's C++ exceptions are translated by nanobind too. The text of
// __doc__ (whose first line is the signature) is the nanobind function's.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <exception>
#include <string>
#include <utility>
#include <vector>

namespace brivane::py {

namespace nb = nanobind;

namespace direct {

// The stub generator reads the signatures of nanobind's functions: while it runs (on
// a package that says so), they stay in place.
inline bool generation_des_stubs() {
    nb::object paquet = nb::steal(PyImport_GetModule(nb::str("brivane_lexique").ptr()));
    if (!paquet.is_valid()) PyErr_Clear();
    return paquet.is_valid() && nb::hasattr(paquet, "_GENERATION_DES_STUBS");
}

// Sets the Python error nanobind would set for the C++ exception `e`; nullptr.
inline PyObject *erreur_comme_nanobind(std::exception_ptr e) noexcept {
    // A nanobind function that throws `e` again: nanobind's own translation applies.
    static thread_local std::exception_ptr en_cours;
    static PyObject *relancer =
        nb::cpp_function([] { std::rethrow_exception(std::exchange(en_cours, nullptr)); }).release().ptr();
    en_cours = std::move(e);
    Py_XDECREF(PyObject_CallNoArgs(relancer));  // (it always raises)
    return nullptr;
}

// The call `lent([premier,] *args, **kwargs)` in vectorcall form.
inline PyObject *deleguer(PyObject *lent, PyObject *premier, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames) noexcept {
    if (!premier) return PyObject_Vectorcall(lent, args, size_t(nargs), kwnames);
    const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject *pile[8];
    std::vector<PyObject *> tas;
    PyObject **tous = pile;
    if (total + 1 > 8) {
        tas.resize(size_t(total) + 1);
        tous = tas.data();
    }
    tous[0] = premier;
    std::copy(args, args + total, tous + 1);
    return PyObject_Vectorcall(lent, tous, size_t(nargs) + 1, kwnames);
}

inline PyObject *en_python(nb::object &&o) { return o.release().ptr(); }
inline PyObject *en_python(double d) { return PyFloat_FromDouble(d); }
inline PyObject *en_python(bool b) { return Py_NewRef(b ? Py_True : Py_False); }

// The body of a direct call: arguments not given are None (the default of every
// optional argument of the functions served this way).
template <int MAX, class Corps>
PyObject *appeler(PyObject *const *args, Py_ssize_t nargs, Corps &&corps) noexcept {
    try {
        nb::handle a[MAX];
        for (Py_ssize_t i = 0; i < MAX; ++i) a[i] = i < nargs ? args[i] : Py_None;
        return en_python(corps(a));
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    } catch (...) {
        return erreur_comme_nanobind(std::current_exception());
    }
}

// Puts `def` in `cible` (a type or a module) in place of the nanobind function bound
// there under its name, which `lent` then holds for the process.
inline void installer(nb::handle cible, PyMethodDef &def, PyObject *&lent, bool methode) {
    if (generation_des_stubs()) return;
    nb::str nom(def.ml_name);
    lent = nb::getattr(cible, nom).release().ptr();
    def.ml_doc = (new std::string(nb::cast<std::string>(nb::handle(lent).attr("__doc__"))))->c_str();
    nb::object f = nb::steal(methode ? PyDescr_NewMethod(reinterpret_cast<PyTypeObject *>(cible.ptr()), &def)
                                     : PyCFunction_NewEx(&def, cible.ptr(), nb::getattr(cible, "__name__").ptr()));
    if (!f.is_valid() || PyObject_SetAttr(cible.ptr(), nom.ptr(), f.ptr()) < 0) throw nb::python_error();
}

constexpr int APPEL = METH_FASTCALL | METH_KEYWORDS;

}  // namespace direct

// Method `F(T &, nb::handle...)` of the nanobind class of T, taking MIN to MAX
// positional arguments.
template <class T, auto F, int MIN, int MAX = MIN> struct MethodeDirecte {
    static inline PyObject *lent = nullptr;
    static inline PyMethodDef def{};

    static PyObject *appel(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        if (nargs < MIN || nargs > MAX || kwnames || !nb::inst_ready(self))
            return direct::deleguer(lent, self, args, nargs, kwnames);
        T &objet = *nb::inst_ptr<T>(self);
        return direct::appeler<MAX>(args, nargs, [&](const nb::handle *a) {
            return corps(objet, a, std::make_index_sequence<MAX>());
        });
    }
    template <size_t... I> static auto corps(T &objet, const nb::handle *a, std::index_sequence<I...>) {
        return F(objet, a[I]...);
    }
    static void installer(nb::handle type, const char *nom) {
        def = PyMethodDef{nom, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&appel)), direct::APPEL,
                          nullptr};
        direct::installer(type, def, lent, true);
    }
};

// Module function `F(nb::handle...)`, taking MIN to MAX positional arguments.
template <auto F, int MIN, int MAX = MIN> struct FonctionDirecte {
    static inline PyObject *lent = nullptr;
    static inline PyMethodDef def{};

    static PyObject *appel(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
        if (nargs < MIN || nargs > MAX || kwnames) return direct::deleguer(lent, nullptr, args, nargs, kwnames);
        return direct::appeler<MAX>(args, nargs, [](const nb::handle *a) {
            return corps(a, std::make_index_sequence<MAX>());
        });
    }
    template <size_t... I> static auto corps(const nb::handle *a, std::index_sequence<I...>) { return F(a[I]...); }
    static void installer(nb::module_ &m, const char *nom) {
        def = PyMethodDef{nom, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&appel)), direct::APPEL,
                          nullptr};
        direct::installer(m, def, lent, false);
    }
};

}  // namespace brivane::py
