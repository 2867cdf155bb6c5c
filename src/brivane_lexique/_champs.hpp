// Reading one field of an entry, as the module functions do on the lists they are
// handed: entry.get(name), an absent or false-like value reading as "".
#pragma once

#include <nanobind/nanobind.h>

namespace brivane::py {

namespace nb = nanobind;

// Interned key, created once and kept for the life of the interpreter.
inline PyObject *cle_interne(const char *nom) {
    PyObject *c = PyUnicode_InternFromString(nom);
    if (!c) throw nb::python_error();
    return c;
}

// entry.get(cle): a plain dict is read directly; any other object goes through its
// own get() method, whose error (no such method, ...) reaches the caller.
inline nb::object valeur_champ(PyObject *entree, PyObject *cle) {
    if (PyDict_CheckExact(entree)) {
        PyObject *v = PyDict_GetItemWithError(entree, cle);
        if (!v) {
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::none();
        }
        return nb::borrow(v);
    }
    return nb::handle(entree).attr("get")(nb::handle(cle));
}

// bool(v), with the error of a failing __bool__ passed on.
inline bool vrai(PyObject *v) {
    if (v == Py_None || v == Py_False) return false;
    if (v == Py_True) return true;
    if (PyUnicode_CheckExact(v)) return PyUnicode_GET_LENGTH(v) != 0;
    int r = PyObject_IsTrue(v);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// str(v), the same object for an exact str.
inline nb::object en_texte(PyObject *v) {
    if (PyUnicode_CheckExact(v)) return nb::borrow(v);
    PyObject *s = PyObject_Str(v);
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

// Adds `cle` to the exact set `vus`; true when it was not there yet. One probe: an
// insertion that finds the key leaves the size as it was.
inline bool nouveau(PyObject *vus, PyObject *cle) {
    const Py_ssize_t avant = PySet_GET_SIZE(vus);
    if (PySet_Add(vus, cle) < 0) throw nb::python_error();
    return PySet_GET_SIZE(vus) != avant;
}

// The field text: str(entry.get(cle) or "").
inline nb::object texte_champ(PyObject *entree, PyObject *cle) {
    static PyObject *vide = cle_interne("");  // made once (the host keeps one such object anyway)
    nb::object v = valeur_champ(entree, cle);
    if (!vrai(v.ptr())) return nb::borrow(vide);
    return en_texte(v.ptr());
}

}  // namespace brivane::py
