#include "_commun.hpp"

namespace nb = nanobind;

NB_MODULE(_semantique, m) {
    m.doc() = "Fonctions de semantique : synonymes, antonymes, definition.";
}
