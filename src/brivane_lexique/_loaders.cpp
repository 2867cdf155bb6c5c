#include "_commun.hpp"

namespace nb = nanobind;

NB_MODULE(_loaders, m) {
    m.doc() = "Backends de chargement pour differents formats de lexique.";
}
