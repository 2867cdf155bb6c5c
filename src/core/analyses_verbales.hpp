// Verb analyses written in one cell, as Lexique 3.83's column `infover` holds them:
// "ind:pre:1s;ind:pre:3s;" (every analysis of the form, each item ended by ";").
#pragma once

#include <string_view>
#include <vector>

namespace brivane {

// One `mode:temps:personne` item. The person item carries person and number ("1s"
// gives personne "1", nombre "s"); "inf", "par:pre" and "par:pas" have neither, and
// "inf" no tense either. The views point into the cell.
struct AnalyseVerbale {
    std::string_view mode, temps, personne, nombre;
};

// The items of `cellule` in their order. Blanks around items and parts are ignored,
// an item without a mood is skipped, parts beyond the third are ignored; the last
// item may lack its ";".
std::vector<AnalyseVerbale> analyses_infover(std::string_view cellule);

}  // namespace brivane
