// Writing side of the CSV format: the records Python's csv.writer produces in the
// standard dialect (minimal quoting, doubled quotes, CR LF ends), and the text
// forms it gives to numbers.
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

// repr() of a double as Python 3 writes it: shortest text that reads back to the
// same value, exponent form when the decimal point is far away ("1e-05", "1e+16"),
// ".0" added to integral values ("12.0"), "inf", "-inf", "nan".
// Written at `out`, which has room for REEL_REPR_MAX bytes; returns its end.
constexpr size_t REEL_REPR_MAX = 32;
char *ecrire_reel_repr(double d, char *out);

}  // namespace brivane
