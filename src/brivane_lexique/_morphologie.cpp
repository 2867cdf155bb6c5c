#include "_commun.hpp"

namespace nb = nanobind;

NB_MODULE(_morphologie, m) {
    m.doc() = "Fonctions de morphologie : conjugaison, formes flechies, lemmes.";
}
