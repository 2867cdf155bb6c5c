// One column of every record of a reader, in batches: what level 1 reads of a file
// (its spellings). The caller's thread turns each batch into objects while, for a
// large file, a thread of its own reads ahead. Nothing here knows the host: the
// caller says how its thread waits.
#pragma once

#include "csv.hpp"

#include <cstddef>
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

// What the caller does on its own thread.
class Versement {
public:
    virtual ~Versement() = default;
    // Takes the texts of a batch; an exception ends the reading.
    virtual void verser(const Lot &lot) = 0;
    // Runs `attente`, a wait for the reading thread (the caller may let other threads
    // of its host run meanwhile).
    virtual void attendre(const std::function<void()> &attente) { attente(); }
    // Called between two waits of a few hundredths of a second: may throw to stop
    // the reading (an interruption).
    virtual void entre_attentes() {}
};

struct BilanColonne {
    bool vu = false;            // a record that is not blank was read
    size_t trop = 0;            // fields of the first record longer than the header (read no further)
    std::exception_ptr erreur;  // the reader's error, or the one that stopped the batches
};

// Reads field `colonne` (< 0: none; the records are still read, for their errors) of
// the records of `lecteur`, a header of `nb_entete` fields already read, and hands
// each value that is not empty and differs from the one before to `v`, in batches, in
// record order. Quote-free lines are not even cut into fields. The reader's errors
// (and, when a thread read, those of `v`) are kept in the result, after whatever was
// read before them went to `v`; the reader is left open.
BilanColonne lire_colonne(LecteurCsv &lecteur, size_t nb_entete, int colonne, Versement &v);

// True on the reading thread of lire_colonne, which holds nothing of the host.
bool sur_fil_de_lecture();

}  // namespace brivane
