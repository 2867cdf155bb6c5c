// Stimulus lists: what a filter asks beyond the row criteria (one row per spelling,
// the measures of the words as criteria and as columns, a sort), applied to the rows
// that passed the criteria, on both backends alike.
#pragma once

#include "lexique.hpp"

#include <optional>
#include <string_view>
#include <vector>

namespace brivane::py {

struct Selection {
    struct Cle {
        nb::object nom;     // canonical column name, or a measure's name
        bool decroissant;
        int mesure;         // index among the measures, -1 for a column of the rows
    };
    struct Borne {
        int mesure;
        std::optional<double> min, max;
    };
    bool une_par_ortho = false;
    std::vector<Cle> tri;
    std::vector<Borne> bornes;
    std::vector<int> colonnes;  // measures added to the rows, in this order

    bool vide() const { return !une_par_ortho && tri.empty() && bornes.empty() && colonnes.empty(); }
};

// Reads une_par_ortho, tri, mesures (None when the method has no such argument) and
// the keywords <mesure>_min / <mesure>_max (voisins_min / voisins_max for n_ortho);
// any other keyword raises the host's TypeError naming `fonction`.
Selection lire_selection(const char *fonction, nb::handle une_par_ortho, nb::handle tri, nb::handle mesures,
                         nb::handle kwargs);

// The rows after the selection, cut at `limite` as the backend cuts (`sql`: 0 keeps
// nothing and a negative limit everything; in memory 0 keeps everything and a
// negative limit one row). Rows that get measure columns are fresh dicts.
// With `mesures_sortie`, the measure columns are not added: the measures of the words
// of the rows returned are handed back there, for ajouter_mesures.
nb::list appliquer_selection(nb::handle self, nb::list lignes, const Selection &s, long long limite, bool sql,
                             nb::object *mesures_sortie = nullptr);

// Stores in the dict `d` the measures `colonnes` of the word of row `e`.
void ajouter_mesures(nb::handle d, nb::handle e, const std::vector<int> &colonnes, nb::handle mesures);

// The index of a measure's name, -1 for any other name.
int indice_mesure(std::string_view nom);

// The names of the eight measures, in the order of Lexique.mesures.
extern const char *const NOMS_MESURES[8];

}  // namespace brivane::py
