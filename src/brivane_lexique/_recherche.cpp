#include "_commun.hpp"

namespace nb = nanobind;

NB_MODULE(_recherche, m) {
    m.doc() = "Fonctions de recherche : rechercher, filtrer, anagrammes.";
}
