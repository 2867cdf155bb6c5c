#include "lexique.hpp"

namespace brivane::py {

void lier_filtre(ClasseLexique &c) { (void)c; }

}  // namespace brivane::py
