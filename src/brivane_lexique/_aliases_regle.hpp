// The rule of column resolution, shared by module _aliases (resoudre_colonnes) and by
// Lexique, which applies it to the columns of every statement while the function
// bound as lexique.resoudre_colonnes is the module's own.
#pragma once

#include "_commun.hpp"
#include "_texte.hpp"

namespace brivane::py::alias {

namespace nb = nanobind;

// col.lower().strip() with the host's Unicode rules: in C++ for an exact str or ASCII
// text, through the methods otherwise (not text: the error of asking it for its
// lower-case form).
inline nb::object minuscule_sans_blancs(PyObject *col) {
    // A name already in lower case without surrounding blanks (as most sources write
    // them) is its own key.
    if (PyUnicode_CheckExact(col) && PyUnicode_IS_ASCII(col) &&
        brivane::deja_normalise_ascii(static_cast<const unsigned char *>(PyUnicode_DATA(col)),
                                      static_cast<size_t>(PyUnicode_GET_LENGTH(col))))
        return nb::borrow(col);
    if (PyUnicode_Check(col) && (PyUnicode_CheckExact(col) || PyUnicode_IS_ASCII(col)))
        return sans_blancs_py(minuscules_py(col).ptr());
    return nb::borrow(col).attr("lower")().attr("strip")();
}

// The name column `col` resolves to: its canonical name in `inverse` (alias ->
// canonical), else col.lower().strip().
inline nb::object resoudre(PyObject *inverse, PyObject *col) {
    nb::object cle = minuscule_sans_blancs(col);
    PyObject *canon = PyDict_GetItemWithError(inverse, cle.ptr());
    if (!canon && PyErr_Occurred()) throw nb::python_error();
    return canon ? nb::borrow(canon) : cle;
}

}  // namespace brivane::py::alias
