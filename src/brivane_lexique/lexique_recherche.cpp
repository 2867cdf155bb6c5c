// Lexique: pattern search, anagrams, rhymes, sounds and syllable counts.
#include "lexique.hpp"

#include <algorithm>
#include <string>

namespace nb = nanobind;

namespace brivane::py {

namespace {

std::string table_de(Lexique &l) { return nb::cast<std::string>(nb::str(l.table)); }

nb::object module_recherche() { return liens().recherche.objet(); }
nb::object module_phonetique() { return liens().phonetique.objet(); }

// Keeps one entry per spelling key: str(ortho).lower(), "none" for a null spelling.
nb::list dedoublonner_sql(nb::list entrees) {
    nb::list res;
    nb::object vus = nb::steal(PySet_New(nullptr));
    nb::str k_ortho("ortho"), vide("");
    for (nb::handle e : entrees) {
        PyObject *o = PyDict_GetItemWithError(e.ptr(), k_ortho.ptr());
        if (!o && PyErr_Occurred()) throw nb::python_error();
        nb::object texte_o = o ? nb::steal(PyObject_Str(o)) : nb::object(vide);
        if (!texte_o.is_valid()) throw nb::python_error();
        nb::object cle = minuscule(texte_o);
        int r = PySet_Contains(vus.ptr(), cle.ptr());
        if (r < 0) throw nb::python_error();
        if (r) continue;
        PySet_Add(vus.ptr(), cle.ptr());
        res.append(e);
    }
    return res;
}

// The characters of `s`, sorted by code point, joined.
nb::object lettres_triees(nb::handle s) {
    nb::list l = nb::list(s);
    l.sort();
    return nb::str("").attr("join")(l);
}

bool est_operationnelle(nb::python_error &e) { return e.matches(liens().sqlite3.attr("OperationalError")); }

// ------------------------------------------------------------------ rechercher

nb::list rechercher(Lexique &l, nb::handle pattern, nb::handle champ, nb::handle limite) {
    exiger_str(pattern, "pattern");
    exiger_str(champ, "champ");
    long long n = entier_arg(limite, "limite");
    const bool phone = nb::str(champ).equal(nb::str("phone"));
    if (l.est_sqlite()) {
        nb::object motif = compiler_motif(pattern);
        if (motif.is_none()) return nb::list();
        nb::object conn = obtenir_conn(l);
        enregistrer_regexp(conn, motif);
        std::string sql = "SELECT * FROM " + table_de(l) + " WHERE " + (phone ? "phone" : "ortho") +
                          " REGEXP ? ORDER BY freq_opensubs DESC LIMIT ?";
        return dedoublonner_sql(lignes_en_entrees(conn.attr("execute")(sql, nb::make_tuple(pattern, n))));
    }
    nb::object index = phone ? index_phone(l) : index_ortho(l);
    return nb::borrow<nb::list>(module_recherche().attr("rechercher")(index, pattern, champ, n));
}

// ------------------------------------------------------------------ anagrammes

nb::list anagrammes(Lexique &l, nb::handle mot, nb::handle limite) {
    exiger_str(mot, "mot");
    long long n = entier_arg(limite, "limite");
    if (!l.est_sqlite())
        return nb::borrow<nb::list>(module_recherche().attr("anagrammes")(index_ortho(l), mot, n));
    nb::object conn = obtenir_conn(l);
    nb::object mot_lower = nb::borrow(mot).attr("strip")().attr("lower")();
    nb::object cible = lettres_triees(mot_lower);
    nb::object cur = conn.attr("execute")(
        "SELECT DISTINCT ortho FROM " + table_de(l) + " WHERE length(ortho) = ? AND lower(ortho) != ?",
        nb::make_tuple(nb::len(mot_lower), mot_lower));
    nb::list candidats;
    for (nb::handle r : cur.attr("fetchall")()) {
        nb::object v = r[0];
        if (lettres_triees(v.attr("lower")()).equal(cible)) candidats.append(v);
    }
    const size_t k = nb::len(candidats);
    if (k == 0) return nb::list();
    std::string marques;
    for (size_t i = 0; i < k; ++i) marques += i ? ",?" : "?";
    candidats.append(n);
    nb::object lignes = conn.attr("execute")("SELECT * FROM " + table_de(l) + " WHERE ortho IN (" + marques +
                                                 ") ORDER BY freq_opensubs DESC LIMIT ?",
                                             candidats);
    return dedoublonner_sql(lignes_en_entrees(lignes));
}

// ------------------------------------------------------------------ rimes

// segments[-n:] as Python slices it (n <= 0 included).
nb::object fin_relative(nb::handle segments, long long n) {
    PyObject *s = PySlice_New(nb::int_(-n).ptr(), Py_None, Py_None);
    if (!s) throw nb::python_error();
    nb::object tranche = nb::steal(s);
    PyObject *r = PyObject_GetItem(segments.ptr(), tranche.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// The entries of the rows of `sql` that `retenir` gives (an invalid object skips the
// row), at most `limite` of them (negative: all); a zero limit runs no statement.
template <typename F>
nb::list balayer(nb::handle conn, const std::string &sql, nb::handle params, long long limite, F &&retenir) {
    nb::list res;
    if (limite == 0) return res;
    nb::object cur = conn.attr("execute")(sql, params);
    std::vector<nb::object> noms = noms_resolus(cur);
    for (nb::handle ligne : cur) {
        nb::object e = retenir(noms, ligne);
        if (!e.is_valid()) continue;
        res.append(e);
        if (limite > 0 && (long long)nb::len(res) >= limite) break;
    }
    return res;
}

nb::list rimes_sans_colonne(Lexique &l, nb::handle conn, nb::handle tokenize, nb::handle suffixe,
                            long long nb, long long n) {
    // A table without phone_reversed: compare the segmented pronunciations row by row.
    std::string sql = "SELECT * FROM " + table_de(l) +
                      " WHERE phone IS NOT NULL AND phone != '' ORDER BY freq_opensubs DESC";
    return balayer(conn, sql, nb::tuple(), n, [&](const std::vector<nb::object> &noms, nb::handle ligne) {
        nb::object segs = tokenize(ligne["phone"]);
        if ((long long)nb::len(segs) < nb || !fin_relative(segs, nb).equal(suffixe)) return nb::object();
        return nb::object(ligne_en_entree(noms, ligne));
    });
}

nb::list rimes(Lexique &l, nb::handle mot, nb::handle nb_phonemes, nb::handle limite) {
    exiger_str(mot, "mot");
    long long nb = entier_arg(nb_phonemes, "nb_phonemes");
    long long n = entier_arg(limite, "limite");
    nb::object phone = phone_de_lexique(l, mot);
    if (!PyObject_IsTrue(phone.ptr())) return nb::list();
    if (l.est_sqlite()) {
        nb::object tokenize = nb::module_::import_("brivane_lexique._utils").attr("_tokenize_ipa");
        nb::object segments = tokenize(phone);
        if ((long long)nb::len(segments) < nb) return nb::list();
        nb::object suffixe = fin_relative(segments, nb);
        nb::list inverse = nb::list(suffixe);
        inverse.reverse();
        nb::object suffixe_rev = nb::str("").attr("join")(inverse);
        nb::object conn = obtenir_conn(l);
        try {
            nb::object cur = conn.attr("execute")(
                "SELECT * FROM " + table_de(l) + " WHERE phone_reversed LIKE ? ORDER BY freq_opensubs DESC LIMIT ?",
                nb::make_tuple(suffixe_rev + nb::str("%"), n));
            return lignes_en_entrees(cur);
        } catch (nb::python_error &e) {
            if (!est_operationnelle(e)) throw;
        }
        return rimes_sans_colonne(l, conn, tokenize, suffixe, nb, n);
    }
    return nb::borrow<nb::list>(module_phonetique().attr("rimes")(index_phone(l), phone, nb, n));
}

// ------------------------------------------------------------------ contient_son

nb::list contient_son(Lexique &l, nb::handle son, nb::handle limite) {
    exiger_str(son, "son");
    long long n = entier_arg(limite, "limite");
    if (l.est_sqlite()) {
        nb::object cur = obtenir_conn(l).attr("execute")(
            "SELECT * FROM " + table_de(l) + " WHERE phone LIKE ? ORDER BY freq_opensubs DESC LIMIT ?",
            nb::make_tuple(nb::str("%") + nb::str(son) + nb::str("%"), n));
        return lignes_en_entrees(cur);
    }
    return nb::borrow<nb::list>(module_phonetique().attr("contient_son")(index_phone(l), son, n));
}

// ------------------------------------------------------------------ mots_par_syllabes

nb::list syllabes_sans_colonne(Lexique &l, nb::handle conn, long long n, nb::handle cgram, long long limite) {
    // A table without nb_syllabes: count with the entry rules (syllabes, nbsyll...).
    std::string sql = "SELECT * FROM " + table_de(l);
    nb::list params;
    if (!cgram.is_none()) {
        sql += " WHERE cgram LIKE ?";
        params.append(nb::str(cgram) + nb::str("%"));
    }
    nb::object compter = module_phonetique().attr("_get_nb_syllabes");
    nb::object cible = nb::int_(n);
    return balayer(conn, sql + " ORDER BY freq_opensubs DESC", params, limite,
                   [&](const std::vector<nb::object> &noms, nb::handle ligne) {
                       nb::dict d = ligne_en_entree(noms, ligne);
                       return compter(d).equal(cible) ? nb::object(d) : nb::object();
                   });
}

nb::list mots_par_syllabes(Lexique &l, nb::handle n_arg, nb::handle cgram, nb::handle limite) {
    long long n = entier_arg(n_arg, "n");
    exiger_str_ou_none(cgram, "cgram");
    long long lim = entier_arg(limite, "limite");
    if (l.est_sqlite()) {
        nb::object conn = obtenir_conn(l);
        std::string sql = "SELECT * FROM " + table_de(l) + " WHERE nb_syllabes = ?";
        nb::list params;
        params.append(n);
        if (!cgram.is_none()) {
            sql += " AND cgram LIKE ?";
            params.append(nb::str(cgram) + nb::str("%"));
        }
        sql += " ORDER BY freq_opensubs DESC LIMIT ?";
        params.append(lim);
        try {
            return lignes_en_entrees(conn.attr("execute")(sql, params));
        } catch (nb::python_error &e) {
            if (!est_operationnelle(e)) throw;
        }
        return syllabes_sans_colonne(l, conn, n, cgram, lim);
    }
    return nb::borrow<nb::list>(
        module_phonetique().attr("mots_par_syllabes")(index_ortho(l), n, cgram, lim));
}

}  // namespace

void lier_recherche(ClasseLexique &c) {
    c.def("rechercher", &rechercher, nb::arg("pattern").none(), nb::arg("champ").none() = "ortho",
          nb::arg("limite").none() = 50,
          nb::sig("def rechercher(self, pattern: str, champ: str = 'ortho', limite: int = 50) "
                  "-> list[dict[str, Any]]"),
          "Recherche par regex sur ortho ou phone.");
    c.def("anagrammes", &anagrammes, nb::arg("mot").none(), nb::arg("limite").none() = 50,
          nb::sig("def anagrammes(self, mot: str, limite: int = 50) -> list[dict[str, Any]]"),
          "Mots avec les memes lettres rearrangees.");
    c.def("rimes", &rimes, nb::arg("mot").none(), nb::arg("nb_phonemes").none() = 2, nb::arg("limite").none() = 50,
          nb::sig("def rimes(self, mot: str, nb_phonemes: int = 2, limite: int = 50) -> list[dict[str, Any]]"),
          "Mots partageant les N derniers phonemes avec le mot donne.\n\n"
          "Sur une base SQLite sans colonne phone_reversed, les prononciations de la table\n"
          "sont segmentees ligne a ligne.");
    c.def("contient_son", &contient_son, nb::arg("son").none(), nb::arg("limite").none() = 50,
          nb::sig("def contient_son(self, son: str, limite: int = 50) -> list[dict[str, Any]]"),
          "Mots contenant une sequence phonetique.");
    c.def("mots_par_syllabes", &mots_par_syllabes, nb::arg("n").none(), nb::arg("cgram").none() = nb::none(),
          nb::arg("limite").none() = 50,
          nb::sig("def mots_par_syllabes(self, n: int, cgram: str | None = None, limite: int = 50) "
                  "-> list[dict[str, Any]]"),
          "Mots avec exactement N syllabes.\n\n"
          "Sur une base SQLite sans colonne nb_syllabes, les syllabes sont comptees\n"
          "entree par entree (nb_syllabes, nbsyll, syllabes, syll).");
}

}  // namespace brivane::py
