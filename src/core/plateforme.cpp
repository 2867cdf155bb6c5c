#include "plateforme.hpp"

#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdlib>

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
    do {
        fd_ = ::open(chemin.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) return errno;
    struct stat st;
    if (::fstat(fd_, &st) == 0) {
        if (S_ISDIR(st.st_mode)) return EISDIR;
        if (S_ISREG(st.st_mode) && st.st_size > 0) taille_ = uint64_t(st.st_size);
    }
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
