// Spelling normalisation and IPA segmentation on Python str objects, shared by the
// modules that need them on a hot path (existence test, index build, rhymes).
// The str is read in place (1, 2 or 4 bytes per code point): no UTF-8 copy is made.
#pragma once

#include <nanobind/nanobind.h>

#include <cstring>
#include <string>
#include <vector>

#include "texte.hpp"

namespace brivane::py {

namespace nb = nanobind;

// Exact equality of the contents of two str objects. CPython stores a text in the
// narrowest kind that holds it, so equal texts always share their kind.
inline bool str_egal(PyObject *a, PyObject *b) {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), (size_t)n * PyUnicode_KIND(a)) == 0;
}

// unicodedata.normalize('NFC', s).strip().lower(), computed by the host: used when
// the C++ rules cannot decide (see texte.hpp) and for str subclasses.
inline nb::object normaliser_ortho_hote(nb::handle s) {
    return nb::module_::import_("unicodedata").attr("normalize")("NFC", s).attr("strip")().attr("lower")();
}

// `f(points, n)` over the code points of the exact str `o`, read in place in the
// width CPython stores them in (1, 2 or 4 bytes).
template <class F>
inline auto selon_largeur(PyObject *o, F &&f) {
    const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(o));
    const void *d = PyUnicode_DATA(o);
    switch (PyUnicode_KIND(o)) {
    case PyUnicode_1BYTE_KIND: return f(static_cast<const uint8_t *>(d), n);
    case PyUnicode_2BYTE_KIND: return f(static_cast<const uint16_t *>(d), n);
    default: return f(static_cast<const uint32_t *>(d), n);
    }
}

// The str of the code points of `sortie` (new reference).
inline nb::object depuis_points(const std::u32string &sortie) {
    PyObject *res = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, sortie.data(),
                                              static_cast<Py_ssize_t>(sortie.size()));
    if (!res) throw nb::python_error();
    return nb::steal(res);
}

// Normalised spelling of `s` (a str): the same object when it is already normalised.
inline nb::object normaliser_ortho_py(nb::handle s) {
    PyObject *o = s.ptr();
    if (!PyUnicode_CheckExact(o)) return normaliser_ortho_hote(s);
    if (PyUnicode_IS_ASCII(o) ? deja_normalise_ascii(static_cast<const unsigned char *>(PyUnicode_DATA(o)),
                                                     static_cast<size_t>(PyUnicode_GET_LENGTH(o)))
                              : selon_largeur(o, [](const auto *p, size_t n) { return deja_normalise_points(p, n); }))
        // A key as stored (accented, lower case) is read once and handed back: no
        // buffer to fill, and the caller keeps the hash the str has cached.
        return nb::borrow(s);
    // One buffer per thread, reused: no allocation once it has grown.
    thread_local std::u32string sortie;
    Normalisation r = selon_largeur(o, [](const auto *p, size_t n) { return normaliser_points(p, n, sortie); });
    if (r == Normalisation::inchangee) return nb::borrow(s);
    if (r == Normalisation::inconnue) return normaliser_ortho_hote(s);
    return depuis_points(sortie);
}

// s.lower() for an exact str `o` (new reference): the same object when nothing
// changes; the host's str.lower() for the final-sigma case.
inline nb::object minuscules_py(PyObject *o) {
    thread_local std::u32string sortie;
    Normalisation r = selon_largeur(o, [](const auto *p, size_t n) { return minuscules_points(p, n, sortie); });
    if (r == Normalisation::inchangee) return nb::borrow(o);
    if (r == Normalisation::modifiee) return depuis_points(sortie);
    return nb::handle(o).attr("lower")();
}

// s.strip() for an exact str (new reference; the same object when nothing changes).
inline nb::object sans_blancs_py(PyObject *o) {
    const int kind = PyUnicode_KIND(o);
    const void *d = PyUnicode_DATA(o);
    Py_ssize_t debut = 0, fin = PyUnicode_GET_LENGTH(o);
    while (debut < fin && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, d, debut))) ++debut;
    while (fin > debut && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, d, fin - 1))) --fin;
    if (debut == 0 && fin == PyUnicode_GET_LENGTH(o)) return nb::borrow(o);
    PyObject *r = PyUnicode_Substring(o, debut, fin);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// The pieces of a ";"-separated cell (exact str), each stripped of surrounding white
// space, empty pieces dropped, order and duplicates kept.
inline nb::list decouper_point_virgule(PyObject *o) {
    nb::object morceaux = nb::steal(PyUnicode_Split(o, nb::str(";").ptr(), -1));
    if (!morceaux.is_valid()) throw nb::python_error();
    nb::list res;
    for (nb::handle morceau : morceaux) {
        nb::object net = sans_blancs_py(morceau.ptr());
        if (PyUnicode_GET_LENGTH(net.ptr()) > 0) res.append(net);
    }
    return res;
}

// Segment end offsets (in code points) of the IPA transcription `o` (a str).
inline void fins_segments_py(PyObject *o, std::vector<size_t> &fins) {
    selon_largeur(o, [&fins](const auto *p, size_t n) { segmenter_points(p, n, fins); });
}

// Segments of the IPA transcription `s` (a str) as a list of str.
inline nb::list segmenter_py(nb::handle s) {
    PyObject *o = s.ptr();
    thread_local std::vector<size_t> fins;
    fins_segments_py(o, fins);
    nb::list res;
    size_t debut = 0;
    for (size_t fin : fins) {
        // One-character segments below U+0100 come from CPython's shared singletons.
        PyObject *seg = PyUnicode_Substring(o, Py_ssize_t(debut), Py_ssize_t(fin));
        if (!seg) throw nb::python_error();
        res.append(nb::steal(seg));
        debut = fin;
    }
    return res;
}

}  // namespace brivane::py
