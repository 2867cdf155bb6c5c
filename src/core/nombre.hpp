// Text to double with the grammar of Python's float() on str.
#pragma once

#include <optional>
#include <string_view>

namespace brivane {

// Parses UTF-8 text as float(text) would: surrounding white space (Python's
// str.isspace set), sign, decimal or exponent form, inf/infinity/nan in any case,
// single underscores between digits. Returns nullopt where float() raises ValueError,
// with one exception: a decimal comma written as digits, one comma, digits (after the
// white space is stripped, with an optional sign: "130,74", "-0,5") reads as that
// number, since lexicons saved in a French locale write their numbers so.
//
// Details that follow the host exactly: Unicode decimal digits (Arabic-Indic, full
// width, ...) count as digits; non-ASCII white space is stripped like ASCII white
// space, but the ASCII separators \x1c-\x1f are not; overflow gives an infinity and
// underflow a (signed) zero; "-nan" keeps its sign bit. Invalid UTF-8 is refused.
std::optional<double> lire_reel(std::string_view texte);

}  // namespace brivane
