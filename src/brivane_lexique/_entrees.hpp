// One streaming pass over a CSV/TSV lexicon file, shared by the loaders and by the
// lexicon's own fast passes: opening (lazily, at the caller's first request),
// header resolution, records, error translation and construction of entries.
#pragma once

#include "_commun.hpp"

#include <exception>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace brivane {
class LecteurCsv;
}

namespace brivane::py {

// The number rule of entries: null, empty, zero or otherwise false gives 0.0; an
// int or float is taken as float(x); text is read like float(text); a value that
// float() refuses with ValueError or TypeError gives 0.0. Other errors propagate.
// Returns a new reference.
nb::object reel_de_valeur(PyObject *valeur);

// "delimiter" checks of the csv module (after the house str check):
// TypeError '"delimiter" must be a 1-character string'.
void verifier_delimiteur(nb::handle delimiteur);

// How the records of one source become entries, fixed once per source from its
// column names, the column mapping and FREQ_PRIORITE: the walk of
// _normaliser_entree is replayed on the names only, so every record then costs one
// dict with no per-field lookups. Keys are the mapping's own objects.
// A value that holds no other object and whose conversions run no Python code.
inline bool valeur_atomique(PyObject *v) {
    const PyTypeObject *t = Py_TYPE(v);
    return v == Py_None || t == &PyUnicode_Type || t == &PyFloat_Type || t == &PyLong_Type || t == &PyBool_Type ||
           t == &PyBytes_Type;
}

class PlanEntree {
public:
    struct Emplacement {
        nb::object cle;       // key of the entry
        int colonne;          // index in the record's values; -1: the constant 0.0
        bool reel;            // value converted by the number rule
        bool partage;         // text value shared between entries of the pass
    };

    // Entries are made as copies of a model holding the plan's keys in order (values
    // None); when the model shares its key table (an instance's dict), each value is then
    // stored in its slot of the copy without a key look-up.
    struct ModeleEntrees {
        nb::object modele;
        std::vector<nb::object> cles;    // the model's keys, in the plan's order
        std::vector<Py_ssize_t> places;  // where a copy keeps each key's value
        // A new copy of the model (made on first use); `valeurs`: its slots, or nullptr.
        nb::dict copie(const std::vector<Emplacement> &emplacements, PyObject **&valeurs);
        // Stores value `v` of key k of the plan in `d`.
        void poser(nb::dict &d, PyObject **valeurs, size_t k, nb::object v) const;
    };

    // `noms`: the source's column names in order (duplicates allowed; a record is
    // dict(zip(noms, values)), later duplicates winning). Errors that
    // _normaliser_entree would raise on every record (mapping not a dict, ...) are
    // kept and raised by verifier() instead, so that a source without records
    // raises nothing.
    void construire(nb::handle noms, nb::handle mapping, nb::handle freq_priorite);
    // Raises the kept error, if any.
    void verifier() const;
    const std::vector<Emplacement> &emplacements() const { return emplacements_; }
    // Entry from Python values (values[i] borrowed; n values, short records padded
    // with None).
    nb::dict depuis_objets(PyObject *const *valeurs, size_t n) const;

private:
    std::vector<Emplacement> emplacements_;
    std::optional<nb::python_error> erreur_;
    mutable ModeleEntrees modele_;
};

// Str values of one pass over another source, equal ones shared as in PasseCsv (the
// few distinct values of the columns PlanEntree marks `partage`, and every text of up
// to 3 bytes).
class TextesPartages {
public:
    TextesPartages();
    ~TextesPartages();
    TextesPartages(const TextesPartages &) = delete;
    TextesPartages &operator=(const TextesPartages &) = delete;
    // A new reference to the str of `v` decoded as strict UTF-8, or nullptr with the
    // decoding error set.
    PyObject *texte(std::string_view v, bool partage);

private:
    struct Impl;
    std::unique_ptr<Impl> p_;
};

class PasseCsv {
public:
    // Opens the file now. `chemin` is text or a path object; `delimiteur` and
    // `encodage` are str (already checked). Raises the host's OSError subclasses
    // (FileNotFoundError, ...) with the file name, like open() does.
    PasseCsv(nb::handle chemin, nb::handle delimiteur, nb::handle encodage);
    ~PasseCsv();
    PasseCsv(const PasseCsv &) = delete;
    PasseCsv &operator=(const PasseCsv &) = delete;

    // Reads the header line. False when the file is empty (no header).
    bool lire_entete();
    // Header names as read (list of str, duplicates kept, in order).
    nb::list noms() const;
    // Fixes how records become entries, from the column mapping (the result of
    // resoudre_colonnes on noms()) and the current _loaders.FREQ_PRIORITE.
    void preparer(nb::handle mapping);

    // Advances to the next non-blank record. False at end of input (the file is
    // then closed). A record with more fields than the header raises ValueError
    // naming the file, the line number and both counts; read/decode/csv errors
    // raise the host's exceptions. The file is closed on any error.
    bool suivant();
    // suivant() for a caller that reads one column only: `champ` is field `colonne`
    // of the next non-blank record and `present` whether the record reaches it.
    // Same records and errors; quote-free lines are not cut into fields.
    bool suivant_colonne(size_t colonne, std::string_view &champ, bool &present);
    // Raises what building the first entry would raise for a broken column mapping.
    void verifier_plan() const;
    // Column that supplies canonical field `nom` (as source_du_champ, for any
    // record long enough), or -1.
    int colonne_du_champ(const char *nom) const;
    // For a caller reading the records itself: the reader and the header's width.
    LecteurCsv &lecteur();
    size_t nb_colonnes() const;
    // Back on the host's side: raise what suivant() would have raised for a record
    // of `n` fields (the reader is still on it), or for an error of the reader.
    [[noreturn]] void trop_de_champs_courant(size_t n) { trop_de_champs(n); }
    [[noreturn]] void lever(std::exception_ptr erreur);
    // Raw fields of the current record (views valid until the next suivant()).
    const std::vector<std::string_view> &champs() const;
    // Index into champs() of the field that supplies canonical field `nom` in the
    // entry (after duplicate header names and resolved-name collisions), or -1 when
    // no column gives it, or when the current record is too short to hold it.
    int source_du_champ(const char *nom) const;

    // The entry for the current record, exactly as _normaliser_entree would build it
    // from dict(zip(header, fields)) and the mapping. Equal short values are shared
    // between entries of the same pass to save memory.
    nb::dict entree();

    // The record as csv.DictReader gives it: header names to field text, None for
    // the fields missing from a short line.
    nb::dict enregistrement() const;
    // csv.reader.line_num of the current record.
    long numero_ligne() const;
    // A str for the text of one field, through the pass's cache of shared values.
    nb::object texte_champ(std::string_view v, bool partage);

    void fermer();

private:
    [[noreturn]] void trop_de_champs(size_t n);
    struct Impl;
    std::unique_ptr<Impl> p_;
};

// Level 1 of a pass whose header is read and prepared: adds to `ens` (a set
// nobody else sees yet) the normalised spelling (native rules) of field `colonne`
// (-1: no such column) of every record whose field is non-empty, then closes the
// file. Raises what reading the records raises, in record order.
void verser_formes(PasseCsv &p, int colonne, PyObject *ens);

}  // namespace brivane::py
