#include "lexique.hpp"

namespace brivane::py {

void lier_mots(ClasseLexique &c) { (void)c; }

}  // namespace brivane::py
