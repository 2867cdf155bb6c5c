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
#include <vector>

namespace brivane::py {

// v is present when it is not None and differs from "".
inline bool present(const nb::object &v) {
    if (est_nul(v)) return false;
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

// The field text compared with a criterion: equality, or prefix for cgram. A str
// subclass answers with its own methods, as the host would.
inline bool texte_accepte(PyObject *e, PyObject *nom, PyObject *critere, bool prefixe) {
    nb::object t = texte_brut(e, nom);
    if (PyUnicode_CheckExact(t.ptr())) return prefixe ? str_commence_par(t.ptr(), critere) : str_egal(t.ptr(), critere);
    nb::object r = nb::steal(prefixe ? PyObject_CallMethod(t.ptr(), "startswith", "O", critere)
                                     : PyObject_RichCompare(t.ptr(), critere, Py_EQ));
    if (!r.is_valid()) throw nb::python_error();
    return vrai(r.ptr());
}

struct Criteres {
    PyObject *cgram = nullptr, *genre = nullptr, *nombre = nullptr, *categorie = nullptr;  // the caller's
    std::optional<double> freq_min, freq_max, age_min, age_max, illustrable_min;
    std::optional<long long> nb_syllabes;
    nb::object nb_syllabes_objet;
    int has_age = -1, has_phone = -1;  // -1: no criterion, else 0 or 1
    bool lit_freq = true;  // filtrer converts every entry's freq (and raises as float() does)
    // The text criteria as ids of a TableTextes (see preparer()).
    int32_t id_genre = -1, id_nombre = -1, id_categorie = -1;

    // The arguments cgram, genre, nombre, freq_min, freq_max, nb_syllabes, age_min,
    // age_max, illustrable_min, categorie, has_age, has_phone, checked in that order.
    static Criteres lire(nb::handle const (&b)[12]) {
        static const char *const noms[12] = {"cgram",   "genre",   "nombre",          "freq_min",  "freq_max", "nb_syllabes",
                                             "age_min", "age_max", "illustrable_min", "categorie", "has_age",  "has_phone"};
        Criteres c;
        PyObject **textes[12] = {&c.cgram, &c.genre, &c.nombre, nullptr, nullptr, nullptr,
                                 nullptr,  nullptr,  nullptr,   &c.categorie};
        std::optional<double> *reels[12] = {nullptr,    nullptr,    nullptr, &c.freq_min, &c.freq_max, nullptr,
                                            &c.age_min, &c.age_max, &c.illustrable_min};
        for (int i = 0; i < 12; ++i) {
            if (textes[i]) exiger_str_ou_none(b[i], noms[i]);
            if (b[i].is_none()) continue;
            if (textes[i]) {
                *textes[i] = b[i].ptr();
            } else if (reels[i]) {
                *reels[i] = reel_arg(b[i], noms[i]);
            } else if (i == 5) {
                c.nb_syllabes = entier_arg(b[i], noms[i]);
                c.nb_syllabes_objet = nb::steal(PyLong_FromLongLong(*c.nb_syllabes));
            } else {
                if (b[i].ptr() != Py_True && b[i].ptr() != Py_False) erreur_type(noms[i], "bool", b[i].ptr());
                (i == 10 ? c.has_age : c.has_phone) = b[i].ptr() == Py_True;
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
        if (lit_freq || freq_min || freq_max) {
            nb::object f = valeur_champ(e, k.freq);
            const double freq = vrai(f.ptr()) ? reel_de(f.ptr()).value_or(0.0) : 0.0;
            if ((freq_min && freq < *freq_min) || (freq_max && freq > *freq_max)) return false;
        }
        if (nb_syllabes && nb_syllabes_differe(compteur, e, nb_syllabes_objet.ptr())) return false;
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

    // Ids of the text criteria in `t`, so that records can be compared by id.
    template <class Table> void preparer(Table &t) {
        id_genre = genre ? t.id(genre) : -1;
        id_nombre = nombre ? t.id(nombre) : -1;
        id_categorie = categorie ? t.id(categorie) : -1;
    }

    // The same test on a record `f` of the entry (texts as ids of `t`, see Fiche in
    // _recherche_cache.hpp); `prefixes` keeps the cgram verdict per text id.
    template <class Fiche, class Table>
    bool accepte(const Fiche &f, const Table &t, std::unordered_map<int32_t, bool> &prefixes) const {
        if (cgram) {
            auto [p, neuf] = prefixes.try_emplace(f.cgram);
            if (neuf) p->second = commence_par(t.texte(f.cgram), cgram);
            if (!p->second) return false;
        }
        if ((genre && f.genre != id_genre) || (nombre && f.nombre != id_nombre)) return false;
        if ((freq_min && f.freq < *freq_min) || (freq_max && f.freq > *freq_max)) return false;
        if (nb_syllabes && (!f.syll_ok || f.syll != *nb_syllabes)) return false;
        if (has_age >= 0 && (f.age_etat != 0) != (has_age == 1)) return false;
        if ((age_min || age_max) && !dans_bornes(f.age_etat == 2 ? std::optional(f.age) : std::nullopt, age_min, age_max))
            return false;
        if (illustrable_min && !dans_bornes(f.ill_etat == 2 ? std::optional(f.ill) : std::nullopt, illustrable_min,
                                            std::nullopt))
            return false;
        if (categorie && f.categorie != id_categorie) return false;
        return has_phone < 0 || f.phone == (has_phone == 1);
    }

    // (conditions, params) for a WHERE clause joined with AND.
    nb::tuple clauses_sql() const {
        nb::list conditions, params;
        auto ajout = [&](const char *cond, nb::handle p) {
            conditions.append(cond);
            if (p.is_valid()) params.append(p);
        };
        auto reel = [](double d) { return nb::float_(d); };
        if (cgram) ajout("cgram LIKE ?", nb::borrow<nb::str>(cgram) + nb::str("%"));
        if (genre) ajout("genre = ?", genre);
        if (nombre) ajout("nombre = ?", nombre);
        if (freq_min) ajout("freq_opensubs >= ?", reel(*freq_min));
        if (freq_max) ajout("freq_opensubs <= ?", reel(*freq_max));
        if (nb_syllabes) ajout("nb_syllabes = ?", nb_syllabes_objet);
        if (has_age >= 0) ajout(has_age ? "age IS NOT NULL" : "age IS NULL", nb::handle());
        if (age_min) ajout("age >= ?", reel(*age_min));
        if (age_max) ajout("age <= ?", reel(*age_max));
        if (illustrable_min) ajout("illustrable >= ?", reel(*illustrable_min));
        if (categorie) ajout("categorie = ?", categorie);
        if (has_phone >= 0)
            ajout(has_phone ? "phone IS NOT NULL AND phone != ''" : "(phone IS NULL OR phone = '')", nb::handle());
        return nb::make_tuple(conditions, params);
    }

private:
    static bool dans_bornes(std::optional<double> v, std::optional<double> min, std::optional<double> max) {
        return v && !(min && *v < *min) && !(max && *v > *max);
    }
    static bool commence_par(std::u32string_view s, PyObject *prefixe) {
        const Py_ssize_t m = PyUnicode_GET_LENGTH(prefixe);
        if ((size_t)m > s.size()) return false;
        for (Py_ssize_t i = 0; i < m; ++i)
            if (s[(size_t)i] != (char32_t)PyUnicode_READ_CHAR(prefixe, i)) return false;
        return true;
    }
};

}  // namespace brivane::py
