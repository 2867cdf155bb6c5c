// Everything that depends on the operating system, behind plain functions: a POSIX
// branch and a Windows branch in plateforme.cpp, standard C++ everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
    // file), or minus the errno value.
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
    // Creates ".<nom>.tmp-XXXXXX" in `dossier` (empty: the current folder), with the
    // permissions a plain open() of a new file gives, open for writing.
    FichierTemporaire(const std::string &dossier, const std::string &nom);
    ~FichierTemporaire();  // removes the file (and what SQLite left beside it) unless installed
    FichierTemporaire(const FichierTemporaire &) = delete;
    FichierTemporaire &operator=(const FichierTemporaire &) = delete;

    const std::string &chemin() const { return chemin_; }
    void ecrire(const char *octets, size_t n);
    // Closes the handle: a writer that opens the path itself (SQLite) takes over.
    void fermer();
    // Closes, then replaces `destination` in one step, whatever stood there.
    void installer(const std::string &destination);

private:
    std::string chemin_;
    int fd_ = -1;
};

}  // namespace brivane::plateforme
