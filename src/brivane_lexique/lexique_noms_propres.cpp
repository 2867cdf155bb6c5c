#include "lexique.hpp"

namespace brivane::py {

void lier_noms_propres(ClasseLexique &c) { (void)c; }

}  // namespace brivane::py
