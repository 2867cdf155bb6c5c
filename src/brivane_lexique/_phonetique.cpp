#include "_commun.hpp"

namespace nb = nanobind;

NB_MODULE(_phonetique, m) {
    m.doc() = "Fonctions phonetiques : rimes, sons, syllabes.";
}
