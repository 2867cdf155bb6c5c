// Everything that depends on the operating system, behind plain functions: a POSIX
// branch and a Windows branch in plateforme.cpp, standard C++ everywhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace brivane {

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
    // errno value (EISDIR for a directory, as the host says).
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

namespace brivane::plateforme {

// Runs `travail` on `fils` threads at once, the caller's among them, and returns when
// every one has finished; fewer threads when the system refuses more. `travail` must
// not throw.
void sur_plusieurs_fils(unsigned fils, const std::function<void()> &travail);

}  // namespace brivane::plateforme
