#include "reglages.hpp"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace brivane {

namespace {
// Every extension module links its own copy of the core, hence its own switch:
// the Python side sets them all together.
std::atomic<bool> rapides{true};
}  // namespace

bool chemins_rapides() noexcept { return rapides.load(std::memory_order_relaxed); }

void regler_chemins_rapides(bool actifs) noexcept { rapides.store(actifs, std::memory_order_relaxed); }

void lire_reglage_environnement() noexcept {
    const char *v = std::getenv("BRIVANE_LEXIQUE_SIMPLE");
    regler_chemins_rapides(!(v && *v && std::strcmp(v, "0") != 0));
}

}  // namespace brivane
