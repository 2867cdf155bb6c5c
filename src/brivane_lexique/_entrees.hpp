// One streaming pass over a CSV/TSV lexicon file, shared by the loaders and by the
// lexicon's own fast passes: opening (lazily, at the caller's first request),
// header resolution, records, error translation and construction of entries.
#pragma once

#include "_commun.hpp"

#include <memory>
#include <string_view>
#include <vector>

namespace brivane::py {

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

    void fermer();

private:
    struct Impl;
    std::unique_ptr<Impl> p_;
};

}  // namespace brivane::py
