// Everything that depends on the operating system, behind plain functions: a POSIX
// branch and a Windows branch in plateforme.cpp, standard C++ everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// MinGW's win32 thread model has neither std::thread nor std::mutex: there the work
// stays on the caller's thread.
#if defined(_WIN32) && defined(__GLIBCXX__) && !defined(_GLIBCXX_HAS_GTHREADS)
#define BRIVANE_SANS_FILS
#endif

namespace brivane {

// --- Fin des fils

// To be called first thing inside a `catch (...)`: when the exception being handled
// is the forced unwinding by which the C library ends a thread (the host ends its
// daemon threads that way at exit), the thread is parked for good instead. Such an
// unwinding must never be swallowed (the process aborts), and the handlers above it
// would run host code on a thread that no longer holds the interpreter. Returns at
// once for any other exception.
void suspendre_si_fin_forcee();

// Returned by FichierLu::ouvrir for a source that is neither a regular file nor a
// directory (a FIFO, a device, a socket): reading one could block forever, and a
// lexicon is read more than once.
constexpr int PAS_UN_FICHIER_ORDINAIRE = -1;

// --- Lecture de fichiers et nombres

// A file opened for reading in binary mode, closed with the object. Failures are
// errno values (the C runtime sets them on Windows too), so that the binding can
// raise the OSError subclass the host's open() and read() would.
class FichierLu {
public:
    FichierLu() = default;
    ~FichierLu();
    FichierLu(const FichierLu &) = delete;
    FichierLu &operator=(const FichierLu &) = delete;

    // `chemin` is the path as the host's os.fsencode() gives it. Returns 0, or the
    // errno value (EISDIR for a directory, as the host says), or
    // PAS_UN_FICHIER_ORDINAIRE. Opening never waits for a FIFO's writer.
    int ouvrir(const std::string &chemin);
    // Reads up to `taille` bytes into `tampon`: their count (0 at the end of the
    // file), or minus the errno value. Both calls may block (a slow device, a network
    // mount) and are not tried again when a signal interrupts them (EINTR): the
    // caller decides, after running the host's handlers, whether to go on.
    long long lire(char *tampon, size_t taille);
    // Size of a regular file, else 0.
    uint64_t taille() const { return taille_; }

private:
    int fd_ = -1;
    uint64_t taille_ = 0;
};

// strtod of a NUL-terminated text in the C locale, whatever locale the process
// runs in (a decimal comma must never be accepted, nor a point refused).
double lire_double_c(const char *texte);

}  // namespace brivane

namespace brivane::plateforme {

// --- Ecriture atomique

// A new file beside the destination of an export, renamed onto it only once complete,
// so that a failing export never destroys what was there. Failures throw
// std::system_error carrying an errno value.
class FichierTemporaire {
public:
    // Creates ".<nom>.tmp-<pid>-XXXXXX" in `dossier` (empty: the current folder), with
    // the permissions a plain open() of a new file gives, open for writing. The
    // process id in the name tells a later export whether its writer is still alive.
    FichierTemporaire(const std::string &dossier, const std::string &nom);
    ~FichierTemporaire();  // removes the file (and what SQLite left beside it) unless installed
    FichierTemporaire(const FichierTemporaire &) = delete;
    FichierTemporaire &operator=(const FichierTemporaire &) = delete;

    const std::string &chemin() const { return chemin_; }
    void ecrire(const char *octets, size_t n);
    // Closes the handle: a writer that opens the path itself (SQLite) takes over.
    void fermer();
    // Closes, then replaces `destination` in one step, whatever stood there. A regular
    // file that stood there passes on its permission bits (and on POSIX its owner and
    // group, where the process may give them).
    void installer(const std::string &destination);

private:
    std::string chemin_;
    int fd_ = -1;
};

// Whether two paths lead to the same file once links are followed: same device and
// inode on POSIX, same volume and file index on Windows. False when either path
// cannot be examined (a missing file is no other file).
bool meme_fichier(const std::string &a, const std::string &b);

// The path an export must replace so that a link at `chemin` stays a link: the file
// the link leads to (links followed one after another, a relative one read from its
// own folder), or `chemin` itself when it is no link. A dangling link gives the
// missing file it names. Throws std::system_error (ELOOP) on a cycle of links.
std::string destination_reelle(const std::string &chemin);

// Removes the temporary files that exports to `nom` in `dossier` left behind when
// killed: those not written for an hour, or for a minute when the process named in
// them is gone. Files of a running export are left alone; failures are ignored.
void nettoyer_temporaires(const std::string &dossier, const std::string &nom);

// Runs `travail` on `fils` threads at once, the caller's among them, and returns when
// every one has finished; fewer threads when the system refuses more (the caller's
// alone where the C++ library has none). `travail` must not throw.
void sur_plusieurs_fils(unsigned fils, const std::function<void()> &travail);

}  // namespace brivane::plateforme
