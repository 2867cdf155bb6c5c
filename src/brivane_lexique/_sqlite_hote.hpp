// The SQLite C library of the host's sqlite3 module, for the loops that read or write
// a database themselves, and the exceptions that module raises for its failures.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "sqlite_direct.hpp"

namespace brivane::py {

namespace nb = nanobind;

// The C library behind the host's sqlite3 module, or nullptr (then the callers go
// through the module, as a user would).
inline const sqlite::Fonctions *sqlite_c() {
    static bool essaye = false;
    static const sqlite::Fonctions *f = nullptr;
    if (!essaye) {
        essaye = true;
        try {
            nb::object module = nb::module_::import_("_sqlite3");
            nb::object sqlite3 = nb::module_::import_("sqlite3");
            f = sqlite::charger(nb::cast<std::string>(nb::str(module.attr("__file__"))),
                                nb::cast<std::string>(sqlite3.attr("sqlite_version")));
        } catch (nb::python_error &) {
            f = nullptr;  // no file name, no version: stay on the module's path
        }
    }
    return f;
}

// The exception the sqlite3 module raises for the same failure: class chosen from
// the primary code, message and the two attributes it sets.
[[noreturn]] inline void lever_sqlite(const sqlite::Erreur &e) {
    const char *classe = "DatabaseError";
    switch (e.code & 0xff) {
    case 7: PyErr_NoMemory(); throw nb::python_error();
    case 2: case 12: classe = "InternalError"; break;
    case 1: case 3: case 4: case 5: case 6: case 8: case 9: case 10: case 13: case 14: case 15: case 16:
    case 17: classe = "OperationalError"; break;
    case 18: classe = "DataError"; break;
    case 19: case 20: classe = "IntegrityError"; break;
    case 21: case 25: classe = "InterfaceError"; break;
    default: break;
    }
    nb::object type = nb::module_::import_("sqlite3").attr(classe);
    nb::object message =
        nb::steal(PyUnicode_DecodeUTF8(e.message.data(), Py_ssize_t(e.message.size()), "replace"));
    if (!message.is_valid()) throw nb::python_error();
    nb::object exc = type(message);
    exc.attr("sqlite_errorcode") = e.code;
    const char *nom = sqlite::nom_code(e.code);
    exc.attr("sqlite_errorname") = nb::str(nom ? nom : "unknown");
    PyErr_SetObject(type.ptr(), exc.ptr());
    throw nb::python_error();
}

}  // namespace brivane::py
