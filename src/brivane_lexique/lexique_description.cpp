// What a lexicon says about itself: its repr and the description of its columns.
#include "lexique.hpp"

#include <cctype>
#include <string>

namespace nb = nanobind;

namespace brivane::py {

namespace {

// The type a SQLite declared type gives its values (the database's affinity rules).
const char *type_declare(std::string t) {
    for (char &c : t) c = char(std::toupper((unsigned char)c));
    if (t.find("INT") != std::string::npos) return "entier";
    if (t.empty() || t.find("CHAR") != std::string::npos || t.find("CLOB") != std::string::npos ||
        t.find("TEXT") != std::string::npos || t.find("BLOB") != std::string::npos)
        return "texte";
    return "reel";
}

nb::dict colonne(nb::handle nom, nb::handle source, const char *type, nb::handle remplies, nb::handle exemple,
                 bool frequence) {
    nb::handle dict_(reinterpret_cast<PyObject *>(&PyDict_Type));
    return nb::borrow<nb::dict>(dict_(nb::arg("nom") = nom, nb::arg("source") = source, nb::arg("type") = type,
                                      nb::arg("remplies") = remplies, nb::arg("exemple") = exemple,
                                      nb::arg("frequence") = frequence));
}

nb::list colonnes_sqlite(Lexique &l) {
    const std::string table = table_de(l);
    nb::object cur = obtenir_conn(l).attr("cursor")();
    cur.attr("row_factory") = nb::none();
    nb::list infos = nb::borrow<nb::list>(cur.attr("execute")("PRAGMA table_info(" + table + ")").attr("fetchall")());
    nb::list noms, res;
    std::string comptes, exemples;  // per column, the rows that fill it, then the first value that does
    for (nb::handle info : infos) {
        noms.append(info[1]);
        const std::string q = identifiant_cite(nb::cast<std::string>(nb::str(info[1])));
        comptes += (comptes.empty() ? "" : ", ") + ("COUNT(NULLIF(TRIM(" + q + "), ''))");
        exemples += ", (SELECT " + q + " FROM " + table + " WHERE NULLIF(TRIM(" + q + "), '') IS NOT NULL LIMIT 1)";
    }
    if (nb::len(noms) == 0) return res;
    nb::dict resolus = nb::borrow<nb::dict>(liens().resoudre_colonnes.objet()(noms));
    nb::object ligne = cur.attr("execute")("SELECT " + comptes + exemples + " FROM " + table).attr("fetchone")();
    const size_t n = nb::len(noms);
    for (size_t i = 0; i < n; ++i) {
        nb::handle nom = noms[i];
        const std::string decl = nb::cast<std::string>(nb::str(infos[i][2]));
        // The queries rank and answer frequencies from this column (see the SQL paths).
        const bool freq = nb::str(nom).equal(nb::str("freq_opensubs"));
        res.append(colonne(resolus[nom], nom, type_declare(decl), ligne[i], ligne[n + i], freq));
    }
    cur.attr("close")();
    return res;
}

nb::list colonnes_texte(Lexique &l) {
    nb::module_ loaders = nb::module_::import_("brivane_lexique._loaders");
    nb::list desc = nb::borrow<nb::list>(loaders.attr("_decrire")(l.source, l.delimiteur, l.lecture));
    nb::list noms, res;
    for (nb::handle d : desc) noms.append(d[0]);
    nb::dict resolus = nb::borrow<nb::dict>(liens().resoudre_colonnes.objet()(noms));
    // The loaders take the frequency from the first column that resolves to freq.
    bool freq_vue = false;
    for (nb::handle d : desc) {
        nb::object nom = resolus[d[0]];
        const bool freq = !freq_vue && nom.equal(nb::str("freq"));
        freq_vue = freq_vue || freq;
        // The loaders read the frequency as a real, whatever its text looks like.
        const char *type = nb::cast<const char *>(d[3]);
        if (freq && std::string(type) == "entier") type = "reel";
        res.append(colonne(nom, d[0], type, d[1], d[2], freq));
    }
    return res;
}

nb::object nombre_de_lignes(Lexique &l) {
    if (l.est_sqlite()) {
        try {
            nb::object cur = executer_sql(obtenir_conn(l), "SELECT COUNT(*) FROM " + table_de(l));
            return nb::borrow(cur.attr("fetchone")()[0]);
        } catch (nb::python_error &) {
            return nb::none();  // a repr never fails: the count is left out
        }
    }
    if (l.index_ortho.is_none()) return nb::none();
    size_t n = 0;
    for (auto [cle, liste] : nb::borrow<nb::dict>(l.index_ortho)) n += nb::len(liste);
    return nb::int_(n);
}

nb::str representer(nb::handle self) {
    Lexique &l = *nb::inst_ptr<Lexique>(self);
    std::string r = "<" + nb::cast<std::string>(nb::str(self.type().attr("__name__"))) + " " +
                    nb::cast<std::string>(nb::repr(nb::str(l.source))) + " (" +
                    nb::cast<std::string>(nb::str(l.backend));
    nb::object n = nombre_de_lignes(l);
    if (!n.is_none())
        r += ", " + nb::cast<std::string>(nb::str(n)) + " lignes";
    else
        r += ", " + std::to_string(nb::len(l.formes)) + " formes";
    return nb::str((r + ")>").c_str());
}

}  // namespace

void lier_description(ClasseLexique &c) {
    c.def("__repr__", &representer, nb::sig("def __repr__(self) -> str"),
          "Chemin, backend et nombre de lignes (sans construire d'index).\n\n"
          "Un lexique CSV/TSV dont les index ne sont pas encore construits donne le nombre\n"
          "de formes distinctes au lieu du nombre de lignes.");
    c.def(
        "colonnes",
        [](Lexique &l) { return l.est_sqlite() ? colonnes_sqlite(l) : colonnes_texte(l); },
        nb::sig("def colonnes(self) -> list[dict[str, Any]]"),
        "Decrit chaque colonne de la source, dans l'ordre de la source.\n\n"
        "Chaque element porte : nom (nom canonique, ou nom source en minuscules),\n"
        "source (nom dans le fichier), type ('texte', 'entier' ou 'reel' : le type declare\n"
        "en SQLite, le type que lisent toutes les valeurs remplies en CSV/TSV), remplies\n"
        "(nombre de lignes ou la valeur n'est ni nulle ni blanche), exemple (premiere\n"
        "valeur remplie, ou None) et frequence (vrai pour la colonne lue comme freq).\n"
        "Lit toute la source une fois ; ne construit pas les index.");
}

}  // namespace brivane::py
