// Huge pages under the host's small-object arenas while a large forms set is built.
//
// The host keeps its small objects in 1 MiB arenas, each mapped on its own and
// faulted in 4 KiB at a time. Level 1 of a large lexicon makes hundreds of
// thousands of str objects in one go: a page fault (and the kernel's bookkeeping
// for it) every 4 KiB. While a GrandesArenes object lives, new arenas are carved
// out of 2 MiB-aligned blocks advised for huge pages: one fault per 2 MiB.
//
// The allocator in place before keeps serving every arena asked for outside such a
// build, and receives back every arena it gave. Arenas carved here go back to the
// system here, whichever allocator is in place by then, since ours stays installed
// once it has been: it only forwards when no build is running.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace brivane::py {

#if defined(__linux__) && defined(MADV_HUGEPAGE)

namespace arenes {

constexpr size_t GRANDE_PAGE = size_t(2) << 20;
constexpr size_t BLOC = size_t(32) << 20;

struct Etat {
    PyObjectArenaAllocator precedent{};
    bool installe = false;
    int actifs = 0;
    char *libre = nullptr, *fin = nullptr;  // the unused part of the current block
    std::vector<std::pair<uintptr_t, uintptr_t>> blocs;  // every block ever carved from
};

// One per extension module, never destroyed: arenas may be released at exit.
inline Etat &etat() {
    static Etat *e = new Etat;
    return *e;
}

inline void nouveau_bloc(Etat &e) {
    void *m = mmap(nullptr, BLOC + GRANDE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return;
    const uintptr_t brut = reinterpret_cast<uintptr_t>(m);
    const uintptr_t debut = (brut + GRANDE_PAGE - 1) & ~uintptr_t(GRANDE_PAGE - 1);
    // Only the aligned part is kept.
    if (debut > brut) munmap(m, debut - brut);
    munmap(reinterpret_cast<void *>(debut + BLOC), brut + GRANDE_PAGE - debut);
    madvise(reinterpret_cast<void *>(debut), BLOC, MADV_HUGEPAGE);
    e.blocs.emplace_back(debut, debut + BLOC);
    e.libre = reinterpret_cast<char *>(debut);
    e.fin = e.libre + BLOC;
}

// Gives the unused end of the current block back to the system.
inline void fermer_bloc(Etat &e) {
    if (e.libre && e.fin > e.libre) munmap(e.libre, size_t(e.fin - e.libre));
    e.libre = e.fin = nullptr;
}

inline void *allouer(void *, size_t taille) {
    Etat &e = etat();
    if (e.actifs > 0 && taille % 4096 == 0 && taille <= BLOC) {
        if (size_t(e.fin - e.libre) < taille) {
            fermer_bloc(e);
            nouveau_bloc(e);
        }
        if (e.libre && size_t(e.fin - e.libre) >= taille) {
            void *r = e.libre;
            e.libre += taille;
            return r;
        }
    }
    return e.precedent.alloc(e.precedent.ctx, taille);
}

inline void liberer(void *, void *p, size_t taille) {
    Etat &e = etat();
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    for (const auto &b : e.blocs)
        if (a >= b.first && a < b.second) {
            munmap(p, taille);
            return;
        }
    e.precedent.free(e.precedent.ctx, p, taille);
}

}  // namespace arenes

class GrandesArenes {
public:
    // With the GIL held; `actif` false makes it do nothing.
    explicit GrandesArenes(bool actif) : actif_(actif) {
        if (!actif_) return;
        arenes::Etat &e = arenes::etat();
        if (!e.installe) {
            PyObject_GetArenaAllocator(&e.precedent);
            PyObjectArenaAllocator a{nullptr, arenes::allouer, arenes::liberer};
            PyObject_SetArenaAllocator(&a);
            e.installe = true;
        }
        ++e.actifs;
    }
    ~GrandesArenes() {
        if (!actif_) return;
        arenes::Etat &e = arenes::etat();
        if (--e.actifs == 0) arenes::fermer_bloc(e);
    }
    GrandesArenes(const GrandesArenes &) = delete;
    GrandesArenes &operator=(const GrandesArenes &) = delete;

private:
    bool actif_;
};

#else

class GrandesArenes {
public:
    explicit GrandesArenes(bool) {}
    GrandesArenes(const GrandesArenes &) = delete;
    GrandesArenes &operator=(const GrandesArenes &) = delete;
};

#endif

}  // namespace brivane::py
