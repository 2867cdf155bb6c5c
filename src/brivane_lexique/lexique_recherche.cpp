// Lexique: pattern search, anagrams, rhymes, sounds and syllable counts.
#include "lexique.hpp"

#include <string>

namespace nb = nanobind;

namespace brivane::py {

namespace {

// The in-memory answer: the function `nom` of a module bound in this one, called
// through its attribute.
template <class... A> nb::list par_module(NomLie &module, const char *nom, A &&...a) {
    return nb::borrow<nb::list>(module.objet().attr(nom)(std::forward<A>(a)...));
}

// "SELECT * ... WHERE <condition>", most frequent rows first.
std::string par_frequence_sql(Lexique &l, const std::string &condition) {
    return "SELECT * FROM " + table_de(l) + " WHERE " + condition + " ORDER BY freq_opensubs DESC";
}

// The entries of par_frequence_sql(condition), at most `limite`.
nb::list par_frequence(Lexique &l, nb::handle conn, const std::string &condition, nb::list params,
                       long long limite) {
    params.append(limite);
    return lignes_en_entrees(executer_sql(conn, par_frequence_sql(l, condition) + " LIMIT ?", params));
}

// The entries of the rows of `sql` that `retenir` gives (an invalid object skips the
// row), at most `limite` of them (negative: all); a zero limit runs no statement.
template <typename F>
nb::list balayer(nb::handle conn, const std::string &sql, nb::handle params, long long limite, F &&retenir) {
    nb::list res;
    if (limite == 0) return res;
    nb::object cur = executer_sql(conn, sql, params);
    std::vector<nb::object> noms = noms_resolus(cur);
    for (nb::handle ligne : cur) {
        nb::object e = retenir(noms, ligne);
        if (!e.is_valid()) continue;
        res.append(e);
        if (limite > 0 && (long long)nb::len(res) >= limite) break;
    }
    return res;
}

// Keeps one entry per spelling key: str(ortho).lower(), "none" for a null spelling.
nb::list dedoublonner_sql(nb::list entrees) {
    nb::list res;
    nb::set vus;
    for (nb::handle e : entrees) {
        nb::object cle = minuscule(nb::str(e.attr("get")("ortho", "")));
        if (vus.contains(cle)) continue;
        vus.add(cle);
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

nb::list rechercher(Lexique &l, nb::handle pattern, nb::handle champ, nb::handle limite) {
    exiger_str(pattern, "pattern");
    exiger_str(champ, "champ");
    long long n = entier_arg(limite, "limite");
    const bool phone = nb::str(champ).equal(nb::str("phone"));
    if (!l.est_sqlite())
        return par_module(liens().recherche, "rechercher", phone ? index_phone(l) : index_ortho(l), pattern, champ, n);
    nb::object motif = compiler_motif(pattern);
    if (motif.is_none()) return nb::list();
    nb::object conn = obtenir_conn(l);
    enregistrer_regexp(conn, motif);
    const std::string condition = phone ? "phone REGEXP ?" : "ortho REGEXP ?";
    return dedoublonner_sql(par_frequence(l, conn, condition, nb::list(nb::make_tuple(pattern)), n));
}

nb::list anagrammes(Lexique &l, nb::handle mot, nb::handle limite) {
    exiger_str(mot, "mot");
    long long n = entier_arg(limite, "limite");
    if (!l.est_sqlite())
        return par_module(liens().recherche, "anagrammes", index_ortho(l), mot, n);
    nb::object conn = obtenir_conn(l);
    nb::object mot_lower = nb::borrow(mot).attr("strip")().attr("lower")();
    nb::object cible = lettres_triees(mot_lower);
    nb::object cur = executer_sql(
        conn, "SELECT DISTINCT ortho FROM " + table_de(l) + " WHERE length(ortho) = ? AND lower(ortho) != ?",
        nb::make_tuple(nb::len(mot_lower), mot_lower));
    nb::list candidats;
    std::string marques;
    for (nb::handle r : cur.attr("fetchall")()) {
        nb::object v = r[0];
        if (!lettres_triees(v.attr("lower")()).equal(cible)) continue;
        candidats.append(v);
        marques += marques.empty() ? "?" : ",?";
    }
    if (marques.empty()) return nb::list();
    return dedoublonner_sql(par_frequence(l, conn, "ortho IN (" + marques + ")", candidats, n));
}

// segments[-n:] as Python slices it (n <= 0 included; -n computed on Python ints,
// since n may be the most negative long long).
nb::object fin_relative(nb::handle segments, long long n) {
    nb::object debut = nb::steal(PyNumber_Negative(nb::int_(n).ptr()));
    if (!debut.is_valid()) throw nb::python_error();
    return segments[nb::slice(debut, nb::none(), nb::none())];
}

nb::list rimes_sans_colonne(Lexique &l, nb::handle conn, nb::handle tokenize, nb::handle suffixe,
                            long long nb, long long n) {
    // A table without phone_reversed: compare the segmented pronunciations row by row.
    const std::string sql = par_frequence_sql(l, "phone IS NOT NULL AND phone != ''");
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
    if (!vrai(phone.ptr())) return nb::list();
    if (!l.est_sqlite())
        return par_module(liens().phonetique, "rimes", index_phone(l), phone, nb, n);
    nb::object tokenize = nb::module_::import_("brivane_lexique._utils").attr("_tokenize_ipa");
    nb::object segments = tokenize(phone);
    if ((long long)nb::len(segments) < nb) return nb::list();
    nb::object suffixe = fin_relative(segments, nb);
    nb::list inverse = nb::list(suffixe);
    inverse.reverse();
    nb::object motif = nb::str("").attr("join")(inverse) + nb::str("%");
    nb::object conn = obtenir_conn(l);
    try {
        return par_frequence(l, conn, "phone_reversed LIKE ?", nb::list(nb::make_tuple(motif)), n);
    } catch (nb::python_error &e) {
        if (!erreur_operationnelle(e)) throw;
    }
    return rimes_sans_colonne(l, conn, tokenize, suffixe, nb, n);
}

nb::list contient_son(Lexique &l, nb::handle son_arg, nb::handle limite) {
    exiger_str(son_arg, "son");
    long long n = entier_arg(limite, "limite");
    nb::object son = phone_du_lexique(l, son_arg);
    if (!l.est_sqlite())
        return par_module(liens().phonetique, "contient_son", index_phone(l), son, n);
    nb::object motif = nb::str("%") + nb::str(son) + nb::str("%");
    return par_frequence(l, obtenir_conn(l), "phone LIKE ?", nb::list(nb::make_tuple(motif)), n);
}

nb::list syllabes_sans_colonne(Lexique &l, nb::handle conn, long long n, nb::handle cgram, long long limite) {
    // A table without nb_syllabes: count with the entry rules (syllabes, nbsyll...).
    nb::list params;
    if (!cgram.is_none()) params.append(nb::str(cgram) + nb::str("%"));
    nb::object compter = liens().phonetique.objet().attr("_get_nb_syllabes");
    nb::object cible = nb::int_(n);
    return balayer(conn, par_frequence_sql(l, cgram.is_none() ? "1" : "cgram LIKE ?"), params, limite,
                   [&](const std::vector<nb::object> &noms, nb::handle ligne) {
                       nb::dict d = ligne_en_entree(noms, ligne);
                       return compter(d).equal(cible) ? nb::object(d) : nb::object();
                   });
}

nb::list mots_par_syllabes(Lexique &l, nb::handle n_arg, nb::handle cgram, nb::handle limite) {
    long long n = entier_arg(n_arg, "n");
    exiger_str_ou_none(cgram, "cgram");
    long long lim = entier_arg(limite, "limite");
    if (!l.est_sqlite())
        return par_module(liens().phonetique, "mots_par_syllabes", index_ortho(l), n, cgram, lim);
    nb::object conn = obtenir_conn(l);
    nb::list params;
    params.append(n);
    if (!cgram.is_none()) params.append(nb::str(cgram) + nb::str("%"));
    try {
        return par_frequence(l, conn, cgram.is_none() ? "nb_syllabes = ?" : "nb_syllabes = ? AND cgram LIKE ?",
                             params, lim);
    } catch (nb::python_error &e) {
        if (!erreur_operationnelle(e)) throw;
    }
    return syllabes_sans_colonne(l, conn, n, cgram, lim);
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
          "Mots contenant une sequence phonetique.\n\n"
          "Sur un lexique en code de Lexique (alphabet 'lexique'), le son peut etre\n"
          "donne en API ou dans le code.");
    c.def("mots_par_syllabes", &mots_par_syllabes, nb::arg("n").none(), nb::arg("cgram").none() = nb::none(),
          nb::arg("limite").none() = 50,
          nb::sig("def mots_par_syllabes(self, n: int, cgram: str | None = None, limite: int = 50) "
                  "-> list[dict[str, Any]]"),
          "Mots avec exactement N syllabes.\n\n"
          "Sur une base SQLite sans colonne nb_syllabes, les syllabes sont comptees\n"
          "entree par entree (nb_syllabes, nbsyll, syllabes, syll).");
}

}  // namespace brivane::py
