// Lexique: proper nouns. They exist only in SQLite lexicons (table noms_propres);
// elsewhere, and when the table is missing, every query gives its empty answer.
#include "lexique.hpp"

namespace nb = nanobind;

namespace brivane::py {

namespace {

// The rows of one statement on noms_propres as dicts, or with `premiere` its first row
// (None when there is none). A lexicon that is not SQLite, or an OperationalError
// (missing table or column, locked database, failing REGEXP), leaves the empty answer;
// any other error propagates.
nb::object lignes(Lexique &l, const char *sql, nb::handle params, bool premiere = false) {
    nb::list res;
    if (!l.est_sqlite()) return premiere ? nb::none() : nb::object(res);
    nb::object conn = obtenir_conn(l);
    try {
        nb::object cur = conn.attr("execute")(sql, params);
        if (premiere) return cur.attr("fetchone")();
        res = lignes_en_dicts(cur);
    } catch (nb::python_error &e) {
        if (!erreur_operationnelle(e)) throw;
    }
    return premiere ? nb::none() : nb::object(res);
}

nb::object info_nom_propre(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    return lignes(l, "SELECT * FROM noms_propres WHERE lemme = ? COLLATE NOCASE", nb::make_tuple(mot));
}

bool existe_nom_propre(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    return !lignes(l, "SELECT 1 FROM noms_propres WHERE lemme = ? COLLATE NOCASE LIMIT 1", nb::make_tuple(mot), true)
                .is_none();
}

nb::object phone_nom_propre(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    nb::object r = lignes(l,
                          "SELECT phone FROM noms_propres WHERE lemme = ? COLLATE NOCASE AND phone IS NOT NULL "
                          "AND phone != '' LIMIT 1",
                          nb::make_tuple(mot), true);
    nb::object res = r.is_none() ? r : nb::object(r[0]);
    if (!res.is_none() && !PyUnicode_Check(res.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(res.ptr())->tp_name);
        throw nb::python_error();
    }
    return res;
}

nb::object homophones_nom_propre(Lexique &l, nb::handle phone) {
    exiger_str(phone, "phone");
    return lignes(l, "SELECT * FROM noms_propres WHERE phone = ?", nb::make_tuple(phone));
}

nb::object rechercher_nom_propre(Lexique &l, nb::handle pattern, nb::handle limite) {
    exiger_str(pattern, "pattern");
    long long n = entier_arg(limite, "limite");
    if (!l.est_sqlite()) return nb::list();
    nb::object motif = compiler_motif(pattern);
    if (motif.is_none()) return nb::list();
    enregistrer_regexp(obtenir_conn(l), motif);
    return lignes(l, "SELECT * FROM noms_propres WHERE lemme REGEXP ? LIMIT ?", nb::make_tuple(pattern, n));
}

nb::object rimes_nom_propre(Lexique &l, nb::handle suffixe, nb::handle limite) {
    exiger_str(suffixe, "phone_suffix");
    long long n = entier_arg(limite, "limite");
    return lignes(l, "SELECT * FROM noms_propres WHERE phone LIKE ? AND phone IS NOT NULL AND phone != '' LIMIT ?",
                  nb::make_tuple(nb::str("%") + nb::str(suffixe), n));
}

}  // namespace

nb::object compiler_motif(nb::handle pattern) {
    nb::module_ re = nb::module_::import_("re");
    try {
        return re.attr("compile")(pattern, re.attr("IGNORECASE"));
    } catch (nb::python_error &e) {
        if (e.matches(re.attr("error"))) return nb::none();
        throw;
    }
}

void enregistrer_regexp(nb::handle conn, nb::handle motif) {
    nb::object chercher = motif.attr("search");
    // The first argument (the pattern text) is ignored: the expression compiled for
    // this query is bound into the function, which replaces any earlier REGEXP.
    nb::object fonction = nb::cpp_function(
        [chercher](nb::handle, nb::handle s) -> bool {
            if (!vrai(s.ptr())) return false;
            // A column without type affinity hands numbers over as they were stored:
            // they are matched on their text, as the in-memory search does.
            if (!PyUnicode_Check(s.ptr())) return !chercher(nb::str(s)).is_none();
            return !chercher(s).is_none();
        },
        nb::arg("motif").none(), nb::arg("valeur").none());
    conn.attr("create_function")("REGEXP", 2, fonction);
}

void lier_noms_propres(ClasseLexique &c) {
    c.def("info_nom_propre", &info_nom_propre, nb::arg("mot").none(),
          nb::sig("def info_nom_propre(self, mot: str) -> list[dict[str, Any]]"),
          "Retourne les entrees noms propres (SQLite uniquement).");
    c.def("existe_nom_propre", &existe_nom_propre, nb::arg("mot").none(),
          nb::sig("def existe_nom_propre(self, mot: str) -> bool"), "Test d'existence dans les noms propres.");
    c.def("phone_nom_propre", &phone_nom_propre, nb::arg("mot").none(),
          nb::sig("def phone_nom_propre(self, mot: str) -> str | None"),
          "Retourne la phonetique d'un nom propre.");
    c.def("homophones_nom_propre", &homophones_nom_propre, nb::arg("phone").none(),
          nb::sig("def homophones_nom_propre(self, phone: str) -> list[dict[str, Any]]"),
          "Noms propres ayant cette prononciation.");
    c.def("rechercher_nom_propre", &rechercher_nom_propre, nb::arg("pattern").none(),
          nb::arg("limite").none() = 50,
          nb::sig("def rechercher_nom_propre(self, pattern: str, limite: int = 50) -> list[dict[str, Any]]"),
          "Recherche regex sur les noms propres.");
    c.def("rimes_nom_propre", &rimes_nom_propre, nb::arg("phone_suffix").none(),
          nb::arg("limite").none() = 50,
          nb::sig("def rimes_nom_propre(self, phone_suffix: str, limite: int = 50) -> list[dict[str, Any]]"),
          "Noms propres dont la phonetique se termine par le suffixe donne.");
}

}  // namespace brivane::py
