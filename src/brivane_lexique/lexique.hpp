// The Lexique object shared by the binding sources of module `lexique`.
#pragma once

#include "_champs.hpp"
#include "_commun.hpp"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brivane::py {

// Names the module binds at import; the query methods call through them.
struct LiensLexique {
    NomLie resoudre_colonnes, iter_csv, iter_tsv, normaliser_ortho;
    NomLie morphologie, phonetique, semantique, recherche;
    nb::object sqlite3, Path;  // host modules/types
    nb::object alias_inverse;       // _aliases._ALIAS_INVERSE, the table resoudre_colonnes reads
    // _morphologie's functions as imported: while they are in place, the entries handed
    // to conjuguer are read by our own code only.
    nb::object conjuguer_origine, personne_nombre_origine, lemme_de_origine;
    // Same for _semantique.
    nb::object synonymes_origine, antonymes_origine, definition_origine;
};
LiensLexique &liens();

struct EtatVoisinage;  // lexique_voisinage.cpp

struct Lexique {
    nb::object source;                    // pathlib.Path
    nb::object table;                     // str
    nb::object backend;                   // "sqlite" | "tsv" | "csv"
    nb::object formes;                    // frozenset[str]
    nb::object index_phone = nb::none();  // None | dict
    nb::object index_ortho = nb::none();
    nb::object index_lemme = nb::none();
    nb::object conn = nb::none();  // None | sqlite3.Connection
    nb::object alphabet = nb::none();  // "ipa" | "lexique": how the phone column is written
    // Text sources: the encoding the file is read in (None for SQLite), whether it was
    // found (no encoding given) rather than given, the codec name the loaders get, and
    // the delimiter.
    nb::object encodage = nb::none();
    bool encodage_trouve = false;
    nb::object lecture = nb::str("utf-8-sig");
    nb::object delimiteur = nb::str(",");
    // (size, mtime_ns) of a text source when level 1 read it, None when unknown: the
    // index pass refuses a file changed since.
    nb::object empreinte = nb::none();
    // The Python instance holding this object (borrowed: the C++ object lives inside
    // it, so the pointer is valid for the object's whole life).
    PyObject *py = nullptr;
    // Neighbourhood tries, built on first need.
    std::shared_ptr<EtatVoisinage> voisinage;
    // Serialises the object's SQL and lazy builds between threads (see Verrou).
    std::recursive_mutex verrou;
    // Columns of the forms table that carry a canonical name under another
    // producer's one (canonical, source), exposed by a view of the connection.
    std::vector<std::pair<std::string, std::string>> alias_sql;

    bool est_sqlite() const;
};

// Held by every method of Lexique for the length of the call. One object shared by
// threads without a lock of their own must neither hang nor corrupt its state: the
// SQLite connection runs the REGEXP function (Python) inside a step while holding its
// own mutex, and the index build fills three attributes in one step. Calls on one
// object therefore run one at a time; calls on separate objects run side by side.
// Re-entrant, since methods call one another (also through Python overrides). A
// thread that must wait gives the GIL up first, so the holder can always go on.
class Verrou {
public:
    explicit Verrou(Lexique *l) : m_(l ? &l->verrou : nullptr) {
        if (m_ && !m_->try_lock()) attendre();
    }
    ~Verrou() {
        if (m_) m_->unlock();
    }
    Verrou(const Verrou &) = delete;
    Verrou &operator=(const Verrou &) = delete;

private:
    void attendre();
    std::recursive_mutex *m_;
};

// The Lexique behind the `self` of a method, or nullptr when there is nothing to
// guard (an instance not constructed yet, or not a Lexique at all).
Lexique *lexique_de(nb::handle self);
inline Lexique *lexique_de(Lexique &l) { return &l; }
inline Lexique *lexique_de(Lexique *l) { return l; }

// A column the forms table lacks makes SQLite's error name the column, not the
// file: on its way to the caller it gets the file's name too (same type, one line).
void nommer_colonne_manquante(Lexique *l, nb::python_error &e);

// A method of Lexique holding the object's Verrou for the whole call.
template <class R, class S, class... A> auto verrouillee(R (*f)(S, A...)) {
    return [f](S self, A... a) -> R {
        Passage p;
        Lexique *l = lexique_de(self);
        Verrou v(l);
        try {
            return f(std::forward<S>(self), std::forward<A>(a)...);
        } catch (nb::python_error &e) {
            nommer_colonne_manquante(l, e);
            throw;
        }
    };
}

// The class of Lexique: every method defined through it (a function or a lambda
// without captures) holds the object's Verrou, except construction (nothing is shared
// yet), the finaliser (nobody else can hold the object any more), the membership test
// (it reads the forms set, fixed at construction, and nothing else: the hottest call
// pays nothing) and info, which takes it itself unless it only reads an index already
// built.
struct ClasseLexique : nb::class_<Lexique> {
    using nb::class_<Lexique>::class_;
    template <class F, class... Extra> ClasseLexique &def(const char *nom, F &&f, const Extra &...extra) {
        const std::string_view n(nom);
        if (n == "__init__" || n == "__del__" || n == "existe" || n == "info")
            nb::class_<Lexique>::def(nom, +f, extra...);
        else
            nb::class_<Lexique>::def(nom, verrouillee(+f), extra...);
        return *this;
    }
};

// The Python object of a Lexique (its own instance or a subclass instance).
inline nb::handle soi(Lexique *l) { return l->py ? nb::handle(l->py) : nb::find(l); }

// Whether the Python type of `self` redefines the method `nom` of Lexique (then
// internal calls must go through Python to honour the override).
bool redefinie(nb::handle self, const char *nom);

// dict(row) for a row of a statement, whatever the connection's row factory makes
// (sqlite3.Row, a subclass of it, any other object dict() accepts).
nb::dict en_dict(nb::handle ligne);
// Lower-case of a str as str.lower() gives it.
nb::object minuscule(nb::handle s);
// A column name as a quoted SQL identifier (a source may name a column anything).
std::string identifiant_cite(const std::string &nom);
// The forms table's name, as the SQL text of every statement writes it.
std::string table_de(const Lexique &l);

// self._get_conn(), going through Python only when a subclass overrides it.
nb::object obtenir_conn(Lexique &l);
// The connection is handed out, and its caller may give it another row factory. Rows
// handed out as dict(row) follow it; rows our code indexes by position or by name are
// read as sqlite3.Row: en_rangees sets that on a cursor (the factory is read at fetch
// time), executer_sql runs a statement of ours that way.
nb::object en_rangees(nb::object curseur);
nb::object executer_sql(nb::handle conn, const std::string &sql, nb::handle params = nb::handle());
// self._get_index_*(), same rule.
nb::object index_phone(Lexique &l);
nb::object index_ortho(Lexique &l);
nb::object index_lemme(Lexique &l);
// lexique.normaliser_ortho(mot) through the module attribute (C++ when original).
nb::object normaliser(nb::handle mot);
// resoudre_colonnes through the module attribute, on the names of a cursor's
// description; returns the list of resolved names, in column order.
std::vector<nb::object> noms_resolus(nb::handle curseur);
// One row turned into an entry by resolved name (a later column wins; a name left
// empty drops its column), filled into a copy of `modele` when given (an entry with
// the same names, whose values the row's replace).
nb::dict ligne_en_entree(const std::vector<nb::object> &noms, nb::handle ligne, nb::handle modele = nb::handle());
// Rows of a cursor turned into entries by resolved name, the later column winning.
// With `seulement`, the entries hold only the fields of those resolved names (for
// entries that never leave the library).
nb::list lignes_en_entrees(nb::handle curseur, std::initializer_list<const char *> seulement = {});
// The rows of a statement, each as dict(row) of the row the connection's factory makes.
nb::list lignes_en_dicts(nb::handle curseur);

// A pronunciation given by the caller, written as the lexicon's phone column is: on
// a lexicon in Lexique's code, IPA is converted (code symbols pass unchanged).
nb::object phone_du_lexique(Lexique &l, nb::handle phone);

// phone_de(mot) honouring a subclass override (rimes starts from it).
nb::object phone_de_lexique(Lexique &l, nb::handle mot);

// Whether `e` is a sqlite3.OperationalError (missing table or column, locked or
// read-only database...), which some queries answer with a plainer route.
bool erreur_operationnelle(nb::python_error &e);

// re.compile(pattern, re.IGNORECASE), or None when re.error says it is invalid.
nb::object compiler_motif(nb::handle pattern);
// Registers on `conn` the SQL function REGEXP(x, s): true when `motif` finds a
// match anywhere in a truthy `s`; the first argument is ignored.
void enregistrer_regexp(nb::handle conn, nb::handle motif);

// Query methods defined in the other binding sources.
void lier_mots(ClasseLexique &c);          // lookups, morphology, meanings
void lier_recherche(ClasseLexique &c);     // patterns, anagrams, sounds
void lier_filtre(ClasseLexique &c);        // filter, count, export
void lier_noms_propres(ClasseLexique &c);  // proper nouns
void lier_description(ClasseLexique &c);   // repr, columns
void lier_voisinage(ClasseLexique &c, nb::module_ &m);     // neighbours, OLD20/PLD20, uniqueness points

}  // namespace brivane::py
