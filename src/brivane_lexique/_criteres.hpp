// The twelve filter criteria (filtrer in memory, and the SQL of Lexique.filtrer,
// compter and exporter): their argument rules, the test of one entry, and the SQL
// clause each one adds. A criterion left to None takes no part.
//
// The two backends do not read the same thing: memory reads the entry dict with
// Python's rules, SQL compares the stored column with SQLite's. The differences:
//   criterion          in memory (entry dict)                  SQL (table column)
//   cgram              str(cgram or "").startswith(x)          cgram LIKE x || '%': ASCII case
//                                                               folded, % and _ of x are wildcards
//   genre, nombre,     str(v or "") == x: a missing field      col = x: NULL equals nothing
//   categorie          equals ""
//   freq_min/max       float(freq or 0); a non-number is 0.0   freq_opensubs, SQLite affinity
//                                                               (a text is above every number)
//   nb_syllabes        int(nb_syllabes or nbsyll), else        nb_syllabes = n (that column only)
//                      syllabes.count(".") + 1
//   age_min/max,       float(v); absent, "" or not a number    col >= x / <= x (a text is above
//   illustrable_min    never passes                            every number)
//   has_age            age is not None and age != ""           age IS [NOT] NULL ('' is present)
//   has_phone          str(phone or "").strip() != ""          phone IS NOT NULL AND phone != ''
//                                                               (blanks are present)
#pragma once

#include "_recherche_commun.hpp"

#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace brivane::py {

// v is present when it is not None and differs from "".
inline bool present(const nb::object &v) {
    if (v.is_none()) return false;
    if (PyUnicode_CheckExact(v.ptr())) return PyUnicode_GET_LENGTH(v.ptr()) != 0;
    int r = PyObject_RichCompareBool(v.ptr(), noms().vide, Py_NE);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// str(phone or "").strip() is not empty (a str subclass strips with its own method).
inline bool phone_present(PyObject *e) {
    nb::object t = texte_brut(e, noms().phone);
    if (!PyUnicode_CheckExact(t.ptr())) {
        nb::object r = nb::steal(PyObject_CallMethodNoArgs(t.ptr(), noms().strip));
        if (!r.is_valid()) throw nb::python_error();
        return vrai(r.ptr());
    }
    return PyUnicode_GET_LENGTH(sans_blancs_py(t.ptr()).ptr()) != 0;
}

// float(freq or 0), 0.0 where it does not convert: the frequency an entry is filtered
// and chosen by.
inline double frequence_entree(PyObject *e) {
    nb::object f = valeur_champ(e, noms().freq);
    return vrai(f.ptr()) ? reel_de(f.ptr()).value_or(0.0) : 0.0;
}

// v present, not below `min` nor above `max` (a NaN passes every bound).
inline bool dans_bornes(std::optional<double> v, std::optional<double> min, std::optional<double> max) {
    return v && !(min && *v < *min) && !(max && *v > *max);
}

// The field text compared with a criterion: equality, or prefix for cgram. A str
// subclass answers with its own methods, as the host would.
inline bool texte_accepte(PyObject *e, PyObject *nom, PyObject *critere, bool prefixe) {
    nb::object t = texte_brut(e, nom);
    if (PyUnicode_CheckExact(t.ptr()) && !prefixe) return str_egal(t.ptr(), critere);
    if (PyUnicode_CheckExact(t.ptr())) {
        const Py_ssize_t r = PyUnicode_Tailmatch(t.ptr(), critere, 0, PY_SSIZE_T_MAX, -1);
        if (r < 0) throw nb::python_error();
        return r == 1;
    }
    nb::object r = nb::steal(prefixe ? PyObject_CallMethod(t.ptr(), "startswith", "O", critere)
                                     : PyObject_RichCompare(t.ptr(), critere, Py_EQ));
    if (!r.is_valid()) throw nb::python_error();
    return vrai(r.ptr());
}

// A keyword argument of the filters: its name and the type the signatures show (each
// also accepts None, its default), and the SQL condition it adds, with its value as
// parameter; a boolean adds `sql` when True and `sql_faux` when False, without one.
// No `sql`: the criterion has no SQL form.
struct Parametre {
    const char *nom, *type, *sql = nullptr, *sql_faux = nullptr;
};

// "nom: type | None = None, ..." for the signatures of the functions taking `ps`.
inline std::string signature_de(std::span<const Parametre> ps) {
    std::string s;
    for (const Parametre &p : ps) s += (s.empty() ? "" : ", ") + std::string(p.nom) + ": " + p.type + " | None = None";
    return s;
}

// The nanobind arguments of `ps` (keyword, None by default), to splice into a
// definition with std::apply; the function defined takes one Poignee per parameter.
template <size_t N> auto args_de(const Parametre (&ps)[N]) {
    return [&]<size_t... I>(std::index_sequence<I...>) {
        return std::make_tuple((nb::arg(ps[I].nom).none() = nb::none())...);
    }(std::make_index_sequence<N>());
}
template <size_t> using Poignee = nb::handle;

// Appends the SQL condition of each parameter of `ps` given (valeurs[i] valid), taken
// in `ordre`, to `conditions`, and its value to `params`.
template <size_t N>
void ajouter_clauses(const Parametre (&ps)[N], const nb::object *valeurs, const int (&ordre)[N], nb::list &conditions,
                     nb::list &params) {
    for (int i : ordre) {
        const Parametre &p = ps[i];
        if (!p.sql || !valeurs[i].is_valid()) continue;
        conditions.append(p.sql_faux && valeurs[i].ptr() == Py_False ? p.sql_faux : p.sql);
        if (!p.sql_faux) params.append(valeurs[i]);
    }
}

struct Criteres {
    static constexpr Parametre PARAMETRES[12] = {
        {"cgram", "str", "cgram LIKE ?"},
        {"genre", "str", "genre = ?"},
        {"nombre", "str", "nombre = ?"},
        {"freq_min", "float", "freq_opensubs >= ?"},
        {"freq_max", "float", "freq_opensubs <= ?"},
        {"nb_syllabes", "int", "nb_syllabes = ?"},
        {"age_min", "float", "age >= ?"},
        {"age_max", "float", "age <= ?"},
        {"illustrable_min", "float", "illustrable >= ?"},
        {"categorie", "str", "categorie = ?"},
        {"has_age", "bool", "age IS NOT NULL", "age IS NULL"},
        {"has_phone", "bool", "phone IS NOT NULL AND phone != ''", "(phone IS NULL OR phone = '')"}};
    // The order criteria are tested in, in memory as in SQL: has_age before the bounds of the age.
    static constexpr int ORDRE[12] = {0, 1, 2, 3, 4, 5, 10, 6, 7, 8, 9, 11};
    PyObject *cgram = nullptr, *genre = nullptr, *nombre = nullptr, *categorie = nullptr;  // the caller's
    std::optional<double> freq_min, freq_max, age_min, age_max, illustrable_min;
    nb::object nb_syllabes;  // the int asked
    int has_age = -1, has_phone = -1;  // -1: no criterion, else 0 or 1
    nb::object sql[12];  // the SQL value of each criterion given (cgram as a LIKE pattern)

    // The arguments in the order of PARAMETRES, checked in that order.
    static Criteres lire(const nb::handle *b) {
        Criteres c;
        PyObject **textes[12] = {&c.cgram, &c.genre, &c.nombre, nullptr, nullptr, nullptr,
                                 nullptr,  nullptr,  nullptr,   &c.categorie};
        std::optional<double> *reels[12] = {nullptr,    nullptr,    nullptr, &c.freq_min, &c.freq_max, nullptr,
                                            &c.age_min, &c.age_max, &c.illustrable_min};
        for (int i = 0; i < 12; ++i) {
            const char *nom = PARAMETRES[i].nom;
            if (textes[i]) exiger_str_ou_none(b[i], nom);
            if (b[i].is_none()) continue;
            if (textes[i]) {
                *textes[i] = b[i].ptr();
                c.sql[i] = i == 0 ? nb::borrow<nb::str>(b[i]) + nb::str("%") : nb::borrow(b[i]);
            } else if (reels[i]) {
                *reels[i] = reel_arg(b[i], nom);
                c.sql[i] = nb::float_(**reels[i]);
            } else if (i == 5) {
                c.nb_syllabes = c.sql[i] = nb::int_(entier_arg(b[i], nom));
            } else {
                if (b[i].ptr() != Py_True && b[i].ptr() != Py_False) erreur_type(nom, "bool", b[i].ptr());
                (i == 10 ? c.has_age : c.has_phone) = b[i].ptr() == Py_True;
                c.sql[i] = nb::borrow(b[i]);
            }
        }
        return c;
    }

    // The entry as it is now, criteria in their documented order; `compteur` is the
    // module's binding of _get_nb_syllabes.
    bool accepte(PyObject *e, const NomLie &compteur) const {
        const NomsChamps &k = noms();
        if (cgram && !texte_accepte(e, k.cgram, cgram, true)) return false;
        if (genre && !texte_accepte(e, k.genre, genre, false)) return false;
        if (nombre && !texte_accepte(e, k.nombre, nombre, false)) return false;
        // Every entry's freq is converted, raising as float() does, bounds or not.
        if (!dans_bornes(frequence_entree(e), freq_min, freq_max)) return false;
        if (nb_syllabes.is_valid() && nb_syllabes_differe(compteur, e, nb_syllabes.ptr())) return false;
        if (has_age >= 0 || age_min || age_max) {
            nb::object age = valeur_champ(e, k.age);
            const bool a = present(age);
            if (has_age >= 0 && a != (has_age == 1)) return false;
            if ((age_min || age_max) && !dans_bornes(a ? reel_de(age.ptr()) : std::nullopt, age_min, age_max))
                return false;
        }
        if (illustrable_min) {
            nb::object ill = valeur_champ(e, k.illustrable);
            if (!dans_bornes(present(ill) ? reel_de(ill.ptr()) : std::nullopt, illustrable_min, std::nullopt))
                return false;
        }
        if (categorie && !texte_accepte(e, k.categorie, categorie, false)) return false;
        return has_phone < 0 || phone_present(e) == (has_phone == 1);
    }

    // (conditions, params) for a WHERE clause joined with AND.
    nb::tuple clauses_sql() const {
        nb::list conditions, params;
        ajouter_clauses(PARAMETRES, sql, ORDRE, conditions, params);
        return nb::make_tuple(conditions, params);
    }

};

// Criteria on the shape of a word, for stimulus lists: lengths in letters (code
// points of the spelling), in phonemes (segments of the pronunciation, as
// _tokenize_ipa cuts it) and in syllables, inclusive bounds, and a regular
// expression searched in the spelling (re.search, case ignored, as rechercher).
// Letters, syllables and the expression have an SQL form (the expression through the
// connection's REGEXP function, which the caller registers with `motif`); phonemes
// are tested in C++ on the fetched rows, with the very test the in-memory filter uses.
//   criterion          in memory (entry dict)                  SQL (table column)
//   nb_lettres_*       len(str(ortho or "")): no spelling is 0 length(ortho): NULL fails
//   nb_syllabes_*      _get_nb_syllabes(e); None fails         nb_syllabes column; NULL fails
//   nb_phonemes_*      len(_tokenize_ipa(str(phone or "")))    the same, after the fetch
//   motif              re.search on str(ortho or "")           ortho REGEXP: the same search; a
//                                                               NULL or empty spelling never matches
struct CriteresForme {
    static constexpr int N = 7;
    static constexpr Parametre PARAMETRES[N] = {
        {"nb_lettres_min", "int", "length(ortho) >= ?"},  {"nb_lettres_max", "int", "length(ortho) <= ?"},
        {"nb_phonemes_min", "int"},                       {"nb_phonemes_max", "int"},
        {"nb_syllabes_min", "int", "nb_syllabes >= ?"},   {"nb_syllabes_max", "int", "nb_syllabes <= ?"},
        {"motif", "str", "ortho REGEXP ?"}};
    static constexpr int ORDRE[N] = {0, 1, 2, 3, 4, 5, 6};
    std::optional<long long> bornes[6];  // in the order of PARAMETRES
    nb::object motif;                    // the compiled expression, when given
    nb::object sql[N];                   // the value of each criterion given, for SQL

    static CriteresForme lire(const nb::handle *b) {
        CriteresForme c;
        for (int i = 0; i < 6; ++i) {
            if (b[i].is_none()) continue;
            c.bornes[i] = entier_arg(b[i], PARAMETRES[i].nom);
            c.sql[i] = nb::int_(*c.bornes[i]);
        }
        exiger_str_ou_none(b[6], "motif");
        if (!b[6].is_none()) {
            nb::object re = nb::module_::import_("re");
            try {
                c.motif = re.attr("compile")(b[6], re.attr("IGNORECASE"));
                c.sql[6] = nb::borrow(b[6]);
            } catch (nb::python_error &e) {
                if (!e.matches(re.attr("error"))) throw;
                PyErr_Format(PyExc_ValueError, "Argument 'motif' is not a valid regular expression: %S",
                             e.value().ptr());
                throw nb::python_error();
            }
        }
        return c;
    }

    // What SQL cannot say: tested on the rows it returns.
    bool apres_sql() const { return bornes[2] || bornes[3]; }

    // The whole test on an entry; `compteur` is the binding of _get_nb_syllabes.
    // Phonemes then the expression, the dearest last.
    bool accepte(PyObject *e, const NomLie &compteur) const {
        const NomsChamps &k = noms();
        if (bornes[0] || bornes[1]) {
            nb::object t = texte_brut(e, k.ortho);
            const Py_ssize_t n = PyObject_Length(t.ptr());
            if (n < 0) throw nb::python_error();
            if (!dans(n, 0)) return false;
        }
        if (bornes[4] || bornes[5]) {
            nb::object n = compter_syllabes(compteur, e);
            if (n.is_none()) return false;
            const long long v = entier_arg(n, "nb_syllabes");
            if (!dans(v, 4)) return false;
        }
        if (!accepte_apres_sql(e)) return false;
        if (motif.is_valid()) {
            nb::object t = texte_brut(e, k.ortho);
            nb::object m = nb::steal(PyObject_CallMethod(motif.ptr(), "search", "O", t.ptr()));
            if (!m.is_valid()) throw nb::python_error();
            if (m.is_none()) return false;
        }
        return true;
    }

    // The criteria without an SQL form, on an entry or on a row made an entry.
    bool accepte_apres_sql(PyObject *e) const {
        if (!apres_sql()) return true;
        std::vector<size_t> fins;  // the segments _tokenize_ipa cuts the text into
        fins_segments_py(texte_brut(e, noms().phone).ptr(), fins);
        return dans((long long)fins.size(), 2);
    }

private:
    // v within bornes[i] (min) and bornes[i + 1] (max).
    bool dans(long long v, int i) const {
        return !(bornes[i] && v < *bornes[i]) && !(bornes[i + 1] && v > *bornes[i + 1]);
    }
};

}  // namespace brivane::py
