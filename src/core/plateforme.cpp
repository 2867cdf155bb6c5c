#include "plateforme.hpp"

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <random>
#include <system_error>
#include <thread>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <locale.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__) || defined(__FreeBSD__)
#include <xlocale.h>
#endif
#endif

namespace brivane {

// --- Fin des fils

void suspendre_si_fin_forcee() {
#if defined(__GLIBCXX__)
    // glibc's pthread_exit unwinds the stack with an exception of this type; other
    // C++ runtimes end threads without running handlers, so nothing is caught there.
    try {
        throw;
    } catch (abi::__forced_unwind &) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    } catch (...) {
    }
#endif
}

// --- Lecture de fichiers et nombres

#ifdef _WIN32

int FichierLu::ouvrir(const std::string &chemin) {
    // The host encodes paths as UTF-8 on Windows; the wide API takes every name.
    int n = MultiByteToWideChar(CP_UTF8, 0, chemin.data(), int(chemin.size()), nullptr, 0);
    if (n <= 0 && !chemin.empty()) return EINVAL;
    std::wstring large(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, chemin.data(), int(chemin.size()), large.data(), n);
    fd_ = _wopen(large.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd_ < 0) return errno;
    struct _stat64 st;
    if (_fstat64(fd_, &st) == 0) {
        if ((st.st_mode & _S_IFMT) == _S_IFDIR) return EISDIR;
        if ((st.st_mode & _S_IFMT) != _S_IFREG) return PAS_UN_FICHIER_ORDINAIRE;
        if ((st.st_mode & _S_IFMT) == _S_IFREG && st.st_size > 0) taille_ = uint64_t(st.st_size);
    }
    return 0;
}

long long FichierLu::lire(char *tampon, size_t taille) {
    int n = _read(fd_, tampon, unsigned(taille < INT_MAX ? taille : INT_MAX));
    return n >= 0 ? n : -(long long)errno;
}

FichierLu::~FichierLu() {
    if (fd_ >= 0) _close(fd_);
}

double lire_double_c(const char *texte) {
    static _locale_t c = _create_locale(LC_ALL, "C");
    return _strtod_l(texte, nullptr, c);
}

#else

int FichierLu::ouvrir(const std::string &chemin) {
    // Non-blocking, so that a FIFO without a writer is seen (and refused) at once
    // instead of holding the caller until one comes.
    do {
        fd_ = ::open(chemin.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) return errno;
    struct stat st;
    if (::fstat(fd_, &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) return EISDIR;
    if (!S_ISREG(st.st_mode)) return PAS_UN_FICHIER_ORDINAIRE;
    if (st.st_size > 0) taille_ = uint64_t(st.st_size);
    int drapeaux = ::fcntl(fd_, F_GETFL);
    if (drapeaux >= 0) ::fcntl(fd_, F_SETFL, drapeaux & ~O_NONBLOCK);
    return 0;
}

long long FichierLu::lire(char *tampon, size_t taille) {
    for (;;) {
        ssize_t n = ::read(fd_, tampon, taille);
        if (n >= 0) return n;
        if (errno != EINTR) return -(long long)errno;
    }
}

FichierLu::~FichierLu() {
    if (fd_ >= 0) ::close(fd_);
}

double lire_double_c(const char *texte) {
    static locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
    return strtod_l(texte, nullptr, c);
}

#endif

}  // namespace brivane

namespace brivane::plateforme {

// --- Ecriture atomique

namespace {

[[noreturn]] void echec(int numero) { throw std::system_error(numero, std::generic_category()); }

// Six characters for a temporary name: not guessable ahead by another process.
std::string suffixe_aleatoire() {
    static const char ALPHABET[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 alea([] {
        std::random_device rd;
        auto t = static_cast<unsigned long long>(std::chrono::steady_clock::now().time_since_epoch().count());
        return (static_cast<unsigned long long>(rd()) << 32) ^ rd() ^ t;
    }());
    std::string s(6, 'x');
    for (char &c : s) c = ALPHABET[alea() % (sizeof ALPHABET - 1)];
    return s;
}

#ifdef _WIN32

std::wstring large(const std::string &utf8) {
    if (utf8.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), nullptr, 0);
    if (n <= 0) echec(EINVAL);
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), w.data(), n);
    return w;
}

// The file is created exclusively with the default permissions: the process's
// umask-like mode applies as it does to any new file.
int creer_exclusif(const std::string &chemin) {
    return _wopen(large(chemin).c_str(), _O_CREAT | _O_EXCL | _O_WRONLY | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
}
long ecrire_une_fois(int fd, const char *p, size_t n) {
    return _write(fd, p, unsigned(n > (1u << 30) ? (1u << 30) : n));
}
int fermer_fd(int fd) { return _close(fd); }
void supprimer_fichier(const std::string &chemin) { _wremove(large(chemin).c_str()); }

// Windows refuses to rename onto an existing file unless told to replace it.
void remplacer(const std::string &source, const std::string &destination) {
    if (MoveFileExW(large(source).c_str(), large(destination).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return;
    switch (GetLastError()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: echec(ENOENT);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: echec(EACCES);
    case ERROR_NOT_SAME_DEVICE: echec(EXDEV);
    default: echec(EIO);
    }
}

#else

// Created exclusively with mode 0666: the kernel applies the umask, as open() does
// for any new file (mkstemp's 0600 would need the umask read, which changes it).
int creer_exclusif(const std::string &chemin) {
    return ::open(chemin.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0666);
}
long ecrire_une_fois(int fd, const char *p, size_t n) { return long(::write(fd, p, n)); }
int fermer_fd(int fd) { return ::close(fd); }
void supprimer_fichier(const std::string &chemin) { std::remove(chemin.c_str()); }

// rename() replaces the destination in one step, a link itself rather than its target.
void remplacer(const std::string &source, const std::string &destination) {
    if (std::rename(source.c_str(), destination.c_str()) != 0) echec(errno);
}

#endif

}  // namespace

FichierTemporaire::FichierTemporaire(const std::string &dossier, const std::string &nom) {
    std::string prefixe = (dossier.empty() ? std::string() : dossier + "/") + "." + nom + ".tmp-";
    for (int essai = 0; essai < 100; ++essai) {
        std::string chemin = prefixe + suffixe_aleatoire();
        fd_ = creer_exclusif(chemin);
        if (fd_ >= 0) {
            chemin_ = std::move(chemin);
            return;
        }
        if (errno != EEXIST) echec(errno);
    }
    echec(EEXIST);
}

FichierTemporaire::~FichierTemporaire() {
    if (fd_ >= 0) fermer_fd(fd_);
    if (chemin_.empty()) return;
    for (const char *compagnon : {"", "-wal", "-shm", "-journal"}) supprimer_fichier(chemin_ + compagnon);
}

void FichierTemporaire::ecrire(const char *octets, size_t n) {
    while (n > 0) {
        long k = ecrire_une_fois(fd_, octets, n);
        if (k < 0) {
            if (errno == EINTR) continue;
            echec(errno);
        }
        octets += k;
        n -= size_t(k);
    }
}

void FichierTemporaire::fermer() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    if (fermer_fd(fd) != 0) echec(errno);
}

void FichierTemporaire::installer(const std::string &destination) {
    fermer();
    remplacer(chemin_, destination);
    chemin_.clear();
}

}  // namespace brivane::plateforme
