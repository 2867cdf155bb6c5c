#include "_commun.hpp"

namespace nb = nanobind;

NB_MODULE(_utils, m) {
    m.doc() = "Utilitaires texte : normalisation orthographique et segmentation IPA.";
}
