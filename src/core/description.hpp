// What a column of a lexicon holds: how many rows fill it, an example, its type.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brivane {

enum class TypeColonne { texte, entier, reel };

// Fed the field texts of one column, row by row. A field is filled when it holds
// something other than white space; the type is the narrowest that every filled field
// reads as (entier: optional sign and ASCII digits; reel: a finite number float()
// accepts; texte otherwise, and for a column that nothing fills).
class DescriptionColonne {
public:
    void ajouter(std::string_view champ);
    size_t remplies() const { return remplies_; }
    const std::string &exemple() const { return exemple_; }
    TypeColonne type() const;

private:
    size_t remplies_ = 0;
    std::string exemple_;
    bool entiers_ = true, reels_ = true;
};

const char *nom_type(TypeColonne t);

}  // namespace brivane
