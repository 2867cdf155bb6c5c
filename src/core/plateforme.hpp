// What depends on the operating system, with a POSIX branch and a Windows branch.
#pragma once

#include <cstddef>
#include <string>

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
