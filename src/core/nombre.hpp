// Text to double with the grammar of Python's float() on str.
#pragma once

#include <optional>
#include <string_view>

namespace brivane {

// Parses UTF-8 text as float(text) would: surrounding white space (Python's
// str.isspace set), sign, decimal or exponent form, inf/infinity/nan in any case,
// single underscores between digits. Returns nullopt where float() raises ValueError.
std::optional<double> lire_reel(std::string_view texte);

}  // namespace brivane
