// Writing side of the CSV format: the records Python's csv.writer produces in the
// standard dialect (minimal quoting, doubled quotes, CR LF ends).
#pragma once

#include <string>
#include <string_view>

namespace brivane {

// Appends one field, quoted only when it holds a comma, a quote, CR or LF.
void ajouter_champ_csv(std::string &ligne, std::string_view champ);

// A record whose fields were all appended to `ligne` from offset `debut`: a single
// empty field is written as "" (csv.writer does so to keep the record visible),
// then CR LF.
void terminer_ligne_csv(std::string &ligne, size_t nb_champs, size_t debut = 0);

}  // namespace brivane
