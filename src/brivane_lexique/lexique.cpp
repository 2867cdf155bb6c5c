#include "lexique.hpp"

namespace nb = nanobind;
using namespace brivane::py;

NB_MODULE(lexique, m) {
    m.doc() = "Classe concrete Lexique avec chargement lazy a 4 niveaux.";
    ClasseLexique c(m, "Lexique");
}
