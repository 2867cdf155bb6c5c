#include "plateforme.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>
#include <thread>
#include <vector>

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
#include <signal.h>
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
        if (st.st_size > 0) taille_ = uint64_t(st.st_size);
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
    fd_ = ::open(chemin.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
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
    const ssize_t n = ::read(fd_, tampon, taille);
    return n >= 0 ? n : -(long long)errno;
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

// The path of a name as the host's os.fsencode() gives it: UTF-8 on Windows, where
// the standard library would read it in the local code page, the bytes themselves
// elsewhere.
std::filesystem::path chemin_fs(const std::string &octets) {
#ifdef _WIN32
    return std::filesystem::path(std::u8string(octets.begin(), octets.end()));
#else
    return octets;
#endif
}

// Six characters for a temporary name: not guessable ahead by another process.
std::string suffixe_aleatoire() {
    static const char ALPHABET[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device alea;
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

std::string etroit(const wchar_t *w, int n) {
    int k = WideCharToMultiByte(CP_UTF8, 0, w, n, nullptr, 0, nullptr, nullptr);
    std::string s(size_t(k > 0 ? k : 0), '\0');
    if (k > 0) WideCharToMultiByte(CP_UTF8, 0, w, n, s.data(), k, nullptr, nullptr);
    return s;
}

unsigned long pid_courant() { return GetCurrentProcessId(); }

bool processus_vivant(unsigned long pid) {
    HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
    if (!h) return GetLastError() == ERROR_ACCESS_DENIED;
    DWORD code = 0;
    const bool vivant = GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
    CloseHandle(h);
    return vivant;
}

// The permission bits of Windows (read-only or not) already forbid the replacement.
void reprendre_droits(const std::string &, const std::string &) {}

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

// rename() replaces the destination in one step, a link itself rather than its target.
void remplacer(const std::string &source, const std::string &destination) {
    if (std::rename(source.c_str(), destination.c_str()) != 0) echec(errno);
}

unsigned long pid_courant() { return (unsigned long)::getpid(); }

bool processus_vivant(unsigned long pid) {
    if (pid == 0 || pid > (unsigned long)INT_MAX) return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// Owner first: giving a file away clears its set-id bits, which the mode then restores.
void reprendre_droits(const std::string &chemin, const std::string &destination) {
    struct stat st;
    if (::stat(destination.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (::chown(chemin.c_str(), st.st_uid, st.st_gid) != 0) {
        [[maybe_unused]] int r = ::chown(chemin.c_str(), uid_t(-1), st.st_gid);
    }
    ::chmod(chemin.c_str(), st.st_mode & 07777);
}

#endif

}  // namespace

FichierTemporaire::FichierTemporaire(const std::string &dossier, const std::string &nom) {
    std::string prefixe = (dossier.empty() ? std::string() : dossier + "/") + "." + nom + ".tmp-" +
                          std::to_string(pid_courant()) + "-";
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
    std::error_code ignoree;
    for (const char *compagnon : {"", "-wal", "-shm", "-journal"})
        std::filesystem::remove(chemin_fs(chemin_ + compagnon), ignoree);
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
    reprendre_droits(chemin_, destination);
    remplacer(chemin_, destination);
    chemin_.clear();
}

namespace {

// A temporary file, given the part of its name after ".<nom>.tmp-" and the seconds
// since it was last written, that no export will finish any more.
bool abandonne(long long age, const std::filesystem::path::string_type &reste) {
    if (age >= 3600) return true;
    if (age < 60) return false;
    unsigned long pid = 0;
    size_t i = 0;
    for (; i < reste.size() && i < 10 && reste[i] >= '0' && reste[i] <= '9'; ++i) pid = pid * 10 + (reste[i] - '0');
    const bool avec_pid = i > 0 && i < reste.size() && reste[i] == '-';
    return !avec_pid || !processus_vivant(pid);
}

}  // namespace

bool meme_fichier(const std::string &a, const std::string &b) {
    std::error_code ec;
    try {
        return std::filesystem::equivalent(chemin_fs(a), chemin_fs(b), ec);
    } catch (const std::system_error &) {
        return false;  // a name that is no UTF-8 (Windows)
    }
}

#ifdef _WIN32

// The system resolves the whole chain itself; a dangling link cannot be opened and is
// then replaced like any file.
std::string destination_reelle(const std::string &chemin) {
    const DWORD attributs = GetFileAttributesW(large(chemin).c_str());
    if (attributs == INVALID_FILE_ATTRIBUTES || !(attributs & FILE_ATTRIBUTE_REPARSE_POINT)) return chemin;
    HANDLE h = CreateFileW(large(chemin).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return chemin;
    std::wstring w(32768, L'\0');
    const DWORD n = GetFinalPathNameByHandleW(h, w.data(), DWORD(w.size()), FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= w.size()) return chemin;
    w.resize(n);
    if (w.rfind(L"\\\\?\\UNC\\", 0) == 0) w = L"\\\\" + w.substr(8);
    else if (w.rfind(L"\\\\?\\", 0) == 0) w = w.substr(4);
    return etroit(w.data(), int(w.size()));
}

#else

std::string destination_reelle(const std::string &chemin) {
    std::string c = chemin;
    for (int saut = 0; saut < 40; ++saut) {
        struct stat st;
        if (::lstat(c.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return c;
        std::string lien(size_t(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        ssize_t n;
        while ((n = ::readlink(c.c_str(), lien.data(), lien.size())) >= 0 && size_t(n) == lien.size())
            lien.resize(lien.size() * 2);  // the link changed since lstat
        if (n < 0) echec(errno);
        lien.resize(size_t(n));
        if (lien.empty() || lien[0] != '/') {
            const size_t fin = c.rfind('/');
            lien = (fin == std::string::npos ? std::string() : c.substr(0, fin + 1)) + lien;
        }
        c = std::move(lien);
    }
    echec(ELOOP);
}

#endif

void nettoyer_temporaires(const std::string &dossier, const std::string &nom) {
    namespace fs = std::filesystem;
    std::error_code ec, ignoree;  // an entry that cannot be examined is passed over
    try {
        const fs::path::string_type prefixe = chemin_fs("." + nom + ".tmp-").native();
        fs::directory_iterator it(dossier.empty() ? fs::path(".") : chemin_fs(dossier), ec);
        for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
            const fs::path::string_type n = it->path().filename().native();
            if (n.compare(0, prefixe.size(), prefixe) != 0 || !fs::is_regular_file(it->symlink_status(ignoree))) continue;
            const auto ecrit = fs::last_write_time(it->path(), ignoree);
            if (ignoree) continue;
            const auto age = std::chrono::duration_cast<std::chrono::seconds>(fs::file_time_type::clock::now() - ecrit);
            if (abandonne(age.count(), n.substr(prefixe.size()))) fs::remove(it->path(), ignoree);
        }
    } catch (const std::system_error &) {
        // (A name that is no UTF-8, on Windows: nothing of it can be there.)
    }
}

// --- Threads for work on data copied out of Python

void sur_plusieurs_fils(unsigned fils, const std::function<void()> &travail) {
    // The caller's thread is one of them, and does the rest when the system refuses more.
#ifndef BRIVANE_SANS_FILS
    std::vector<std::thread> autres;
    try {
        while (autres.size() + 1 < fils) autres.emplace_back(travail);
    } catch (const std::system_error &) {
    }
#endif
    travail();
#ifndef BRIVANE_SANS_FILS
    for (std::thread &f : autres) f.join();
#endif
}

}  // namespace brivane::plateforme
