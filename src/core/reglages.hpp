// The one switch for every fast path of the library.
//
// Each fast path (vector kernels, record caches, the reader's file thread, the
// literal pattern matcher) has a plain twin that gives the same answers. Setting
// BRIVANE_LEXIQUE_SIMPLE to anything but "" or "0" before the modules are imported
// turns every fast path off, so that a suspected fault can be checked against the
// plain code, and the tests can compare the two.
#pragma once

namespace brivane {

// True while the fast paths are allowed.
bool chemins_rapides() noexcept;
// Sets the switch (the modules' private `_chemins_rapides` reaches it from Python).
void regler_chemins_rapides(bool actifs) noexcept;
// Reads BRIVANE_LEXIQUE_SIMPLE; called once by every module at import.
void lire_reglage_environnement() noexcept;

}  // namespace brivane
