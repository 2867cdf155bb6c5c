// The Lexique object shared by the binding sources of module `lexique`.
#pragma once

#include "_commun.hpp"

#include <vector>

namespace brivane::py {

// Names the module binds at import; the query methods call through them.
struct LiensLexique {
    NomLie resoudre_colonnes, iter_csv, iter_tsv, EntreeLexicale, normaliser_ortho;
    NomLie morphologie, phonetique, semantique, recherche;
    nb::object sqlite3, csv, Path;  // host modules/types (leaked on purpose)
};
LiensLexique &liens();

struct Lexique {
    nb::object source;                    // pathlib.Path
    nb::object table;                     // str
    nb::object backend;                   // "sqlite" | "tsv" | "csv"
    nb::object formes;                    // frozenset[str]
    nb::object index_phone = nb::none();  // None | dict
    nb::object index_ortho = nb::none();
    nb::object index_lemme = nb::none();
    nb::object conn = nb::none();  // None | sqlite3.Connection

    bool est_sqlite() const;
};

using ClasseLexique = nb::class_<Lexique>;

// The Python object of a Lexique (its own instance or a subclass instance).
inline nb::handle soi(Lexique *l) { return nb::find(l); }

// self._get_conn(), going through Python only when a subclass overrides it.
nb::object obtenir_conn(Lexique &l);
// self._get_index_*(), same rule.
nb::object index_phone(Lexique &l);
nb::object index_ortho(Lexique &l);
nb::object index_lemme(Lexique &l);
// lexique.normaliser_ortho(mot) through the module attribute (fast when original).
nb::object normaliser(nb::handle mot);
// resoudre_colonnes through the module attribute, on the names of a cursor's
// description; returns the list of resolved names, in column order.
std::vector<nb::object> noms_resolus(nb::handle curseur);
// Rows of a cursor turned into entries by resolved name, the later column winning.
nb::list lignes_en_entrees(nb::handle curseur);

// Query methods defined in the other binding sources.
void lier_mots(ClasseLexique &c);          // lookups, morphology, meanings
void lier_recherche(ClasseLexique &c);     // patterns, anagrams, sounds
void lier_filtre(ClasseLexique &c);        // filter, count, export
void lier_noms_propres(ClasseLexique &c);  // proper nouns

}  // namespace brivane::py
