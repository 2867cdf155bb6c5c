// Reading a source for the binding: a file whose blocking calls the host's thread
// may wrap, and one column of every record in batches (what level 1 reads of a file,
// its spellings), which the caller's thread turns into objects while, for a large
// file, a thread of its own reads ahead. Nothing here knows the host: the caller
// says how its thread waits.
#pragma once

#include "csv.hpp"
#include "plateforme.hpp"

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brivane {

// Texts of the column, gathered by the reading loop.
class Lot {
public:
    void ajouter(std::string_view t) {
        bornes_.emplace_back(octets_.size(), t.size());
        octets_.append(t);
    }
    bool plein() const { return bornes_.size() >= 8192 || octets_.size() >= (size_t(1) << 20); }
    size_t taille() const { return bornes_.size(); }
    std::string_view operator[](size_t i) const { return {octets_.data() + bornes_[i].first, bornes_[i].second}; }
    void vider() {
        octets_.clear();
        bornes_.clear();
    }

private:
    std::string octets_;
    std::vector<std::pair<size_t, size_t>> bornes_;  // start, size
};

// How the caller's thread waits.
class Attente {
public:
    virtual ~Attente() = default;
    // Runs `appel`, which may block (a slow device or a network mount, the reading
    // thread): the caller may let other threads of its host run meanwhile.
    virtual void bloquer(const std::function<void()> &appel) { appel(); }
    // Called between two waits of a few hundredths of a second, and after a signal
    // interrupted a read: may throw to stop (an interruption).
    virtual void entre_attentes() {}
};

// A file read through the platform layer. Its calls go through `attente` (which must
// outlive it), except on the reading thread of lire_colonne; one a signal interrupted
// (EINTR) is made again, after attente.entre_attentes() (at once on the reading
// thread: the caller's thread, waiting for it, looks at the signals).
class SourceFichier final : public SourceOctets {
public:
    // Opens the file: ErreurSysteme with the errno value (EISDIR for a directory, as
    // the host's open() says) or PAS_UN_FICHIER_ORDINAIRE on failure.
    SourceFichier(const std::string &chemin, Attente &attente);
    size_t lire(char *tampon, size_t taille) override;
    uint64_t taille() const override { return fichier_.taille(); }
    bool autonome() const override { return true; }

private:
    long long appeler(const std::function<long long()> &appel);

    FichierLu fichier_;
    Attente &attente_;
};

struct BilanColonne {
    bool vu = false;            // a record that is not blank was read
    size_t trop = 0;            // fields of the first record longer than the header (read no further)
    std::exception_ptr erreur;  // the reader's error, or the one that stopped the batches
};

// Reads field `colonne` (< 0: none; the records are still read, for their errors) of
// the records of `lecteur`, a header of `nb_entete` fields already read, and hands
// each value that is not empty and differs from the one before to `verser` on the
// caller's thread, in batches, in record order (an exception of `verser` ends the
// reading). Quote-free lines are not even cut into fields. The reader's errors (and,
// when a thread read, those of `verser` and `attente`) are kept in the result, after
// whatever was read before them went to `verser`; the reader is left open.
BilanColonne lire_colonne(LecteurCsv &lecteur, size_t nb_entete, int colonne,
                          const std::function<void(const Lot &)> &verser, Attente &attente);

}  // namespace brivane
