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

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace brivane::py {

#if defined(__linux__) && defined(MADV_HUGEPAGE)

namespace arenes {

constexpr size_t GRANDE_PAGE = size_t(2) << 20;
constexpr size_t BLOC = size_t(8) << 20;

// Faults fresh blocks in on a thread of its own, ahead of the arenas carved from
// them: MADV_POPULATE_WRITE fills the page tables without touching the contents,
// so it may run while arenas of the same block are already in use. The cost of a
// fault (zeroing 2 MiB, and on a virtual machine the host's own faults under it)
// then falls on the other core. Systems without it simply fault on first use.
class Peupleur {
public:
    ~Peupleur() { arreter(); }
    // Never throws: without memory for the request, the block faults as it is used.
    void demander(uintptr_t debut, uintptr_t fin) noexcept {
        if (!disponible_) return;
        try {
            std::lock_guard<std::mutex> v(m_);
            if (arret_) return;
            file_.emplace_back(debut, fin);
        } catch (...) {
            return;
        }
        if (!t_.joinable()) {
            try {
                t_ = std::thread([this] { boucle(); });
            } catch (...) {
                disponible_ = false;
                return;
            }
        }
        cv_.notify_one();
    }
    // Waits for at most the 2 MiB being faulted in; what is left in the queue is dropped.
    void arreter() {
        {
            std::lock_guard<std::mutex> v(m_);
            arret_ = true;
            file_.clear();
        }
        cv_.notify_one();
        if (t_.joinable()) t_.join();
        arret_ = false;
    }

private:
    void boucle() {
#if defined(MADV_POPULATE_WRITE)
        for (;;) {
            std::pair<uintptr_t, uintptr_t> r;
            {
                std::unique_lock<std::mutex> v(m_);
                cv_.wait(v, [&] { return arret_ || !file_.empty(); });
                if (arret_) return;
                r = file_.front();
                file_.pop_front();
            }
            for (uintptr_t a = r.first; a < r.second; a += GRANDE_PAGE) {
                {
                    std::lock_guard<std::mutex> v(m_);
                    if (arret_) return;
                }
                // Part of the block may have been unmapped since (ENOMEM): nothing to do there.
                if (madvise(reinterpret_cast<void *>(a), GRANDE_PAGE, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
                    disponible_ = false;
                    return;
                }
            }
        }
#endif
    }

    std::thread t_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::pair<uintptr_t, uintptr_t>> file_;
    bool arret_ = false;
    std::atomic<bool> disponible_{true};
};

struct Etat {
    PyObjectArenaAllocator precedent{};
    bool installe = false;
    int actifs = 0;
    bool peupler = false;  // fault blocks in ahead (see Peupleur)
    char *libre = nullptr, *fin = nullptr;  // the unused part of the current block
    uintptr_t reserve = 0;  // the next block, already mapped (and being faulted in), or 0
    std::vector<std::pair<uintptr_t, uintptr_t>> blocs;  // every block ever carved from
    Peupleur peupleur;
};

// One per extension module, never destroyed: arenas may be released at exit.
inline Etat &etat() {
    static Etat *e = new Etat;
    return *e;
}

// A 2 MiB-aligned block advised for huge pages, or 0. Throws (std::bad_alloc)
// before mapping anything.
inline uintptr_t projeter_bloc(Etat &e) {
    e.blocs.reserve(e.blocs.size() + 1);  // so that recording the block cannot fail
    void *m = mmap(nullptr, BLOC + GRANDE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return 0;
    const uintptr_t brut = reinterpret_cast<uintptr_t>(m);
    const uintptr_t debut = (brut + GRANDE_PAGE - 1) & ~uintptr_t(GRANDE_PAGE - 1);
    // Only the aligned part is kept.
    if (debut > brut) munmap(m, debut - brut);
    munmap(reinterpret_cast<void *>(debut + BLOC), brut + GRANDE_PAGE - debut);
    madvise(reinterpret_cast<void *>(debut), BLOC, MADV_HUGEPAGE);
    e.blocs.emplace_back(debut, debut + BLOC);
    if (e.peupler) e.peupleur.demander(debut, debut + BLOC);
    return debut;
}

inline void nouveau_bloc(Etat &e) {
    uintptr_t debut = e.reserve ? e.reserve : projeter_bloc(e);
    e.reserve = 0;
    if (!debut) return;
    e.libre = reinterpret_cast<char *>(debut);
    e.fin = e.libre + BLOC;
    // The next one is faulted in while this one fills.
    if (e.peupler) e.reserve = projeter_bloc(e);
}

// Gives the unused end of the current block, and the reserve, back to the system.
inline void fermer_bloc(Etat &e) {
    e.peupleur.arreter();
    if (e.libre && e.fin > e.libre) munmap(e.libre, size_t(e.fin - e.libre));
    e.libre = e.fin = nullptr;
    if (e.reserve) munmap(reinterpret_cast<void *>(e.reserve), BLOC);
    e.reserve = 0;
}

// Called by the host's allocator: nothing may be thrown through it.
inline void *allouer(void *, size_t taille) {
    Etat &e = etat();
    if (e.actifs > 0 && taille % 4096 == 0 && taille <= BLOC) {
        if (size_t(e.fin - e.libre) < taille) {
            if (e.libre && e.fin > e.libre) munmap(e.libre, size_t(e.fin - e.libre));
            e.libre = e.fin = nullptr;
            try {
                nouveau_bloc(e);
            } catch (...) {
                // No room to record a block: the allocator in place serves.
            }
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
    // With the GIL held; `actif` false makes it do nothing. `peupler`: blocks are
    // faulted in ahead on another thread (worth it where no other thread of ours
    // is busy meanwhile).
    explicit GrandesArenes(bool actif, bool peupler = false) : actif_(actif) {
        if (!actif_) return;
        arenes::Etat &e = arenes::etat();
        if (!e.installe) {
            PyObject_GetArenaAllocator(&e.precedent);
            PyObjectArenaAllocator a{nullptr, arenes::allouer, arenes::liberer};
            PyObject_SetArenaAllocator(&a);
            e.installe = true;
        }
        if (e.actifs++ == 0) e.peupler = peupler;
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
