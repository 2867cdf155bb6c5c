// Entries of module _loaders: the rule that turns a record into an entry, the
// CSV/TSV pass that reads records (opened at the caller's first request), and the two
// bulk passes a lexicon makes over its source (its forms set, its three indexes).
#pragma once

#include "_commun.hpp"
#include "csv.hpp"

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brivane::py {

// "delimiter" checks of the csv module (after the house str check):
// TypeError '"delimiter" must be a 1-character string'.
void verifier_delimiteur(nb::handle delimiteur);

// What _normaliser_entree documents: the entry of record `row` (a dict) under the
// column mapping and the frequency priority list `fp` (the rule of PlanEntree, on
// the row's own keys).
nb::dict entree_de_ligne(nb::handle row, nb::handle mapping, nb::handle fp);

// How the records of one source become entries, fixed once per source by running the
// rule of entries on the column names: each record then costs one dict and no look-up
// in the mapping. Keys are the mapping's own objects.
class PlanEntree {
public:
    struct Emplacement {
        nb::object cle;  // key of the entry
        int colonne;     // index in the record's values; -1: the constant 0.0
        bool reel;       // value converted by the number rule
        int copie;       // >= 0: the value of that earlier field (freq taken from another)
    };

    // `noms`: the source's column names in order (duplicates allowed; a record is
    // dict(zip(noms, values)), later duplicates winning). What the rule would raise on
    // every record (mapping not a dict, ...) is kept and raised by verifier(), so
    // that a source without records raises nothing. `une_fois`: a plan for a single
    // record, whose names are distinct (no model of entries is made).
    void construire(nb::handle noms, nb::handle mapping, nb::handle fp, bool une_fois = false);
    void verifier() const;
    const std::vector<Emplacement> &emplacements() const { return emplacements_; }
    // Entry from Python values (borrowed; n values, short records padded with None).
    nb::dict depuis_objets(PyObject *const *valeurs, size_t n);
    // Entry of a record of `n` values, `valeur(colonne, reel)` giving the value of a
    // column (converted when `reel`).
    template <class F> nb::dict entree(size_t n, F &&valeur);
    // The two halves of entree(), for a pass that makes the values of several records
    // before their dicts: the values of one record (one per field of the plan) appended
    // to `out`, then the entry of such values.
    template <class F> void valeurs_entree(size_t n, F &&valeur, std::vector<nb::object> &out);
    nb::dict depuis_valeurs(const nb::object *v);

private:
    void regle(PyObject *noms, PyObject *numeros, PyObject *mapping, PyObject *fp);

    std::vector<Emplacement> emplacements_;
    std::optional<nb::python_error> erreur_;
    nb::dict modele_;                 // what entree() copies: the keys in order, values None (empty: une_fois)
    std::vector<nb::object> tampon_;  // the values of the record entree() makes
};

// The delimiter a CSV file announces on its header line (see core/encodage), read
// through the same decompression as PasseCsv; ',' when the file cannot be read (its
// error then comes from the pass itself).
nb::str delimiteur_du_fichier(nb::handle chemin);

class PasseCsv {
public:
    // Opens the file now. `chemin` is text or a path object; `delimiteur` and
    // `encodage` must be str (the house TypeError otherwise). Raises the host's OSError
    // subclasses (FileNotFoundError, ...) with the file name, like open() does.
    PasseCsv(nb::handle chemin, nb::handle delimiteur, nb::handle encodage);

    // Reads the header line. False when the file is empty (no header).
    bool lire_entete();
    // Header names as read (str, duplicates kept, in order).
    const nb::list &noms() const { return noms_; }
    // Fixes how records become entries, from the column mapping (resoudre_colonnes on
    // noms()) and the frequency priority list.
    void preparer(nb::handle mapping, nb::handle fp);

    // Advances to the next non-blank record. False at end of input (the file is then
    // closed). A record with more fields than the header raises ValueError naming the
    // file, the line number and both counts; read/decode/csv errors raise the host's
    // exceptions. The file is closed on any error.
    bool suivant();
    // The entry of the current record, as entree_de_ligne would make it from
    // enregistrement() (preparer() first).
    nb::dict entree();
    // The record as csv.DictReader gives it: header names to field text, None for the
    // fields missing from a short line.
    nb::dict enregistrement();
    // The current record's field texts.
    const std::vector<std::string_view> &champs() const { return champs_; }
    void fermer();

private:
    // The bulk passes read the reader and the plan themselves.
    friend nb::object formes_passe(PasseCsv &p);
    friend nb::object index_passe(PasseCsv &p, nb::handle normaliser, nb::handle progression);

    // Raises what suivant() raises for a record of `n` fields (the reader still on it),
    // or for an error of the reader (the host's own errors go through unchanged); the
    // file is closed.
    [[noreturn]] void trop_de_champs(size_t n);
    [[noreturn]] void lever(std::exception_ptr erreur);
    // The reader's next record into champs_: false at the end of input (the file then
    // closed); its errors raised as the host's.
    bool lire_champs();
    // The value of field text `v` of column `colonne`: a str, or a float by the number rule.
    nb::object valeur(std::string_view v, size_t colonne, bool reel);

    nb::object chemin_;  // str form, for messages
    std::unique_ptr<LecteurCsv> lecteur_;
    const char *erreurs_ = nullptr;  // UTF-8 error handler for field text (nullptr: strict)
    std::vector<std::string_view> champs_;
    nb::list noms_;
    size_t nb_entete_ = 0;
    PlanEntree plan_;
    bool ferme_ = false;
    // Lexicons put the lines of one word together and repeat a few values (parts of
    // speech, genders, lemmas) on every line: a field equal to the same column's in the
    // previous record, and a short text value (a part of speech, a gender, a tense...),
    // are one str for the whole pass.
    struct Dernier {
        std::string octets;
        nb::object objet;
        bool reel = false;
    };
    std::vector<Dernier> derniers_;  // per column
    std::unordered_map<std::string, nb::object> partages_;
    std::string cle_;
};

// The forms set of level 1 from a prepared pass: the frozenset of the normalised
// spellings (native rules) of every non-empty ortho field. Raises what reading the
// records raises, in record order. Large files are read on a thread of their own,
// which touches no Python object.
nb::object formes_passe(PasseCsv &p);

// The same set from any iterable of entries: entry.get("ortho", "") when true,
// through `normaliser` (None: the native rules).
nb::object formes_de(nb::handle entrees, nb::handle normaliser);

// The three indexes of levels 2-4 (phone, normalised ortho and normalised lemme, each
// key to the list of its entries in source order; `normaliser` None for the native
// rules), from a prepared pass (its entries stored as they are; progression(bytes
// read, file size), unless None, called every so many records) or from any iterable
// of entries (each copied, its freq made a float).
nb::object index_passe(PasseCsv &p, nb::handle normaliser, nb::handle progression);
nb::object index_de(nb::handle entrees, nb::handle normaliser);

}  // namespace brivane::py
