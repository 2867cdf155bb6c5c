#include "lexique.hpp"

namespace brivane::py {

void lier_recherche(ClasseLexique &c) { (void)c; }

}  // namespace brivane::py
