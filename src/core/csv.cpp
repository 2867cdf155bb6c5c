#include "csv.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brivane {

// ---------------------------------------------------------------------------
// File source

SourceFichier::SourceFichier(const std::string &chemin) {
    do {
        fd_ = ::open(chemin.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) throw ErreurSysteme(errno);
    struct stat st;
    if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd_);
        fd_ = -1;
        throw ErreurSysteme(EISDIR);
    }
}

SourceFichier::~SourceFichier() {
    if (fd_ >= 0) ::close(fd_);
}

size_t SourceFichier::lire(char *tampon, size_t taille) {
    for (;;) {
        ssize_t n = ::read(fd_, tampon, taille);
        if (n >= 0) return size_t(n);
        if (errno != EINTR) throw ErreurSysteme(errno);
    }
}

// ---------------------------------------------------------------------------
// UTF-8 validation with the host decoder's rules: a malformed sequence is an
// error as soon as it is seen; a well-formed but incomplete sequence at the end of
// the data is carried over to the next call.

namespace {

bool suite(unsigned char c) { return (c & 0xc0) == 0x80; }

// False on malformed input; otherwise `reste` = length of the incomplete tail.
bool valider_utf8(const unsigned char *p, size_t n, size_t &reste) {
    const unsigned char *fin = p + n;
    reste = 0;
    while (p < fin) {
        // ASCII runs, eight bytes at a time.
        while (fin - p >= 8) {
            uint64_t m;
            std::memcpy(&m, p, 8);
            if (m & 0x8080808080808080ULL) break;
            p += 8;
        }
        if (p == fin) break;
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        size_t dispo = size_t(fin - p);
        if (c >= 0xc2 && c <= 0xdf) {
            if (dispo < 2) { reste = dispo; return true; }
            if (!suite(p[1])) return false;
            p += 2;
        } else if (c >= 0xe0 && c <= 0xef) {
            if (dispo >= 2) {
                unsigned char c2 = p[1];
                // A surrogate (ED A0..BF) is only refused once its third byte is there.
                if (!suite(c2) || (c2 < 0xa0 && c == 0xe0)) return false;
                if (dispo >= 3 && c == 0xed && c2 >= 0xa0) return false;
            }
            if (dispo >= 3 && !suite(p[2])) return false;
            if (dispo < 3) { reste = dispo; return true; }
            p += 3;
        } else if (c >= 0xf0 && c <= 0xf4) {
            if (dispo >= 2) {
                unsigned char c2 = p[1];
                if (!suite(c2) || (c2 < 0x90 ? c == 0xf0 : c == 0xf4)) return false;
            }
            if (dispo >= 3 && !suite(p[2])) return false;
            if (dispo >= 4 && !suite(p[3])) return false;
            if (dispo < 4) { reste = dispo; return true; }
            p += 4;
        } else {
            return false;
        }
    }
    return true;
}

const char BOM[] = "\xef\xbb\xbf";

enum class Etape { DEBUT_ENREG, DEBUT_CHAMP, DANS_CHAMP, DANS_GUILLEMETS, GUILLEMET_DANS_GUILLEMETS, MANGER_CRLF };

constexpr size_t TAILLE_LECTURE = size_t(1) << 18;

}  // namespace

// ---------------------------------------------------------------------------
// Reader

struct LecteurCsv::Etat {
    std::unique_ptr<SourceOctets> source;
    std::string delim;
    char d0;
    size_t dlen;
    long limite;
    bool sauter_bom, valider, par_lignes;

    // Raw bytes: [pos, fin) unconsumed; [pos, valide) what the host's text layer
    // would have decoded and handed to its line reader by now.
    std::vector<char> tampon;
    size_t pos = 0, fin = 0, valide = 0;
    uint64_t base = 0;         // absolute offset of tampon[0]
    uint64_t decode_abs = 0;   // absolute end of the bytes given to the decoder
    size_t attente = 0;        // incomplete sequence carried over
    bool source_finie = false;
    bool tout_decode = false;  // end of input decoded: [pos, fin) is all there is
    bool ferme = false;
    long ligne = 0;

    // Record being built: fields are copied into one arena.
    Etape etape = Etape::DEBUT_ENREG;
    std::string arene;
    std::vector<std::pair<size_t, size_t>> bornes;
    size_t debut_champ = 0;
    size_t octets_comptes = 0;  // bytes of the current field already counted
    long car_champ = 0;         // characters among them

    bool est_delim(const char *p, const char *f) const {
        if (*p != d0) return false;
        return dlen == 1 || (size_t(f - p) >= dlen && std::memcmp(p, delim.data(), dlen) == 0);
    }

    // Reads more from the source, making room first. Returns the byte count.
    size_t lire_source() {
        if (tampon.size() - fin < TAILLE_LECTURE) {
            if (pos > 0) {
                std::memmove(tampon.data(), tampon.data() + pos, fin - pos);
                base += pos;
                fin -= pos;
                valide -= pos;
                pos = 0;
            }
            if (tampon.size() - fin < TAILLE_LECTURE) tampon.resize(fin + 2 * TAILLE_LECTURE);
        }
        size_t n = source->lire(tampon.data() + fin, tampon.size() - fin);
        if (n == 0) source_finie = true;
        fin += n;
        return n;
    }

    // One decoding call of the host's text layer: the next 8192-byte chunk (or the
    // end-of-input call). Moves `valide` like the host's decoder and newline
    // decoder move the text they have produced (a trailing "\r" is held back).
    void decoder_bloc() {
        uint64_t fin_bloc = (decode_abs / TAILLE_BLOC_HOTE + 1) * TAILLE_BLOC_HOTE;
        while (!source_finie && base + fin < fin_bloc) lire_source();
        size_t i_debut = size_t(decode_abs - base);
        size_t i_fin = size_t(std::min<uint64_t>(base + fin, fin_bloc) - base);
        const char *b = tampon.data();
        bool premier = (decode_abs == 0);
        if (i_fin == i_debut) {
            // End-of-input call.
            if (attente && !(sauter_bom && decode_abs < 3 && std::memcmp(b, BOM, decode_abs) == 0))
                throw ErreurDecodage(std::string(b + i_debut - attente, attente), true);
            // (A file shorter than the mark and a prefix of it decodes to nothing
            // under "utf-8-sig": the host's decoder keeps waiting for the mark.)
            tout_decode = true;
            valide = i_fin;
            if (attente) pos = i_fin;
            attente = 0;
            return;
        }
        if (premier && sauter_bom && i_fin - i_debut < 3 &&
            std::memcmp(b, BOM, i_fin - i_debut) == 0) {
            // Not enough to decide whether it is the mark: the host waits.
            attente = i_fin - i_debut;
            decode_abs = base + i_fin;
            return;
        }
        size_t d = i_debut - attente;
        size_t reste = 0;
        bool bom = premier && sauter_bom && i_fin >= 3 && std::memcmp(b, BOM, 3) == 0;
        if (!valider_utf8(reinterpret_cast<const unsigned char *>(b + d), i_fin - d, reste)) {
            std::string octets(b + d, i_fin - d);
            if (bom) octets.erase(0, 3);
            throw ErreurDecodage(std::move(octets), false);
        }
        if (bom && pos == 0) pos = 3;
        attente = reste;
        decode_abs = base + i_fin;
        size_t produit = i_fin - attente;
        valide = (produit > pos && b[produit - 1] == '\r') ? produit - 1 : produit;
        if (valide < pos) valide = pos;
    }

    // More text for the line reader.
    void plus() {
        if (valider) {
            decoder_bloc();
        } else {
            size_t n = lire_source();
            if (sauter_bom && base == 0 && pos == 0 && fin >= 3 && std::memcmp(tampon.data(), BOM, 3) == 0)
                pos = 3;
            valide = fin;
            if (n == 0) tout_decode = true;
        }
    }

    // Next physical line [ls, le) (terminator included), split after "\n", after
    // "\r" not followed by "\n" and after "\r\n". False when there is none left.
    bool ligne_suivante(size_t &ls, size_t &le) {
        size_t depuis = 0;  // offset from pos where the search resumes
        for (;;) {
            const char *b = tampon.data();
            const char *p = b + pos + depuis, *f = b + valide;
            if (p < f) {
                auto nl = static_cast<const char *>(std::memchr(p, '\n', size_t(f - p)));
                const char *lim = nl ? nl : f;
                auto cr = static_cast<const char *>(std::memchr(p, '\r', size_t(lim - p)));
                if (cr) {
                    if (cr + 1 < f) {
                        ls = pos;
                        le = size_t((cr[1] == '\n' ? cr + 2 : cr + 1) - b);
                        return true;
                    }
                    if (tout_decode || par_lignes) {
                        ls = pos;
                        le = size_t(cr + 1 - b);
                        return true;
                    }
                    depuis = size_t(cr - b) - pos;
                } else if (nl) {
                    ls = pos;
                    le = size_t(nl + 1 - b);
                    return true;
                } else {
                    depuis = valide - pos;
                }
            }
            if (tout_decode) {
                if (pos < valide) {
                    ls = pos;
                    le = valide;
                    return true;
                }
                return false;
            }
            plus();
        }
    }

    void ajouter(const char *p, size_t n) {
        arene.append(p, n);
        size_t taille = arene.size() - debut_champ;
        size_t seuil = limite > 0 ? size_t(limite) : 0;
        if (taille > seuil) {
            // Characters, not bytes, count against the limit.
            const char *c = arene.data() + debut_champ + octets_comptes;
            const char *f = arene.data() + arene.size();
            for (; c < f; ++c)
                if (!suite(static_cast<unsigned char>(*c))) ++car_champ;
            octets_comptes = taille;
            if (car_champ >= 1 && car_champ > limite)
                throw ErreurCsv("field larger than field limit (" + std::to_string(limite) + ")");
        }
    }

    void sauver_champ() {
        bornes.emplace_back(debut_champ, arene.size() - debut_champ);
        debut_champ = arene.size();
        octets_comptes = 0;
        car_champ = 0;
    }

    // The state machine of the host's csv reader, fed one line, then its end.
    void traiter_ligne(const char *p, const char *f) {
        // Within a line, "\r" and "\n" can only form its terminator.
        const char *te = f;
        while (te > p && (te[-1] == '\n' || te[-1] == '\r')) --te;
        while (p < f) {
            char c = *p;
            switch (etape) {
            case Etape::DEBUT_ENREG:
                if (c == '\n' || c == '\r') {
                    etape = Etape::MANGER_CRLF;
                    ++p;
                    break;
                }
                etape = Etape::DEBUT_CHAMP;
                [[fallthrough]];
            case Etape::DEBUT_CHAMP:
                if (c == '\n' || c == '\r') {
                    sauver_champ();
                    etape = Etape::MANGER_CRLF;
                    ++p;
                } else if (c == '"') {
                    etape = Etape::DANS_GUILLEMETS;
                    ++p;
                } else if (est_delim(p, f)) {
                    sauver_champ();
                    p += dlen;
                } else {
                    etape = Etape::DANS_CHAMP;  // the character is taken below
                }
                break;
            case Etape::DANS_CHAMP: {
                const char *q = p;
                for (;;) {
                    auto r = static_cast<const char *>(std::memchr(q, d0, size_t(te - q)));
                    if (!r) { q = te; break; }
                    if (est_delim(r, f)) { q = r; break; }
                    q = r + 1;
                }
                if (q > p) ajouter(p, size_t(q - p));
                p = q;
                if (p == f) break;
                c = *p;
                if (c == '\n' || c == '\r') {
                    sauver_champ();
                    etape = Etape::MANGER_CRLF;
                    ++p;
                } else if (est_delim(p, f)) {
                    sauver_champ();
                    etape = Etape::DEBUT_CHAMP;
                    p += dlen;
                } else {
                    // Only reachable when the delimiter is "\r" or "\n" (already
                    // handled) -- keep the character to stay total.
                    ajouter(p, 1);
                    ++p;
                }
                break;
            }
            case Etape::DANS_GUILLEMETS: {
                auto r = static_cast<const char *>(std::memchr(p, '"', size_t(f - p)));
                const char *q = r ? r : f;
                if (q > p) ajouter(p, size_t(q - p));
                p = q;
                if (r) {
                    etape = Etape::GUILLEMET_DANS_GUILLEMETS;
                    ++p;
                }
                break;
            }
            case Etape::GUILLEMET_DANS_GUILLEMETS:
                if (c == '"') {
                    ajouter(p, 1);
                    etape = Etape::DANS_GUILLEMETS;
                    ++p;
                } else if (est_delim(p, f)) {
                    sauver_champ();
                    etape = Etape::DEBUT_CHAMP;
                    p += dlen;
                } else if (c == '\n' || c == '\r') {
                    sauver_champ();
                    etape = Etape::MANGER_CRLF;
                    ++p;
                } else {
                    etape = Etape::DANS_CHAMP;  // text after a closing quote is kept
                }
                break;
            case Etape::MANGER_CRLF:
                if (c == '\n' || c == '\r') {
                    ++p;
                } else {
                    throw ErreurCsv(
                        "new-line character seen in unquoted field - do you need to open the "
                        "file with newline=''?");
                }
                break;
            }
        }
        // End of line.
        switch (etape) {
        case Etape::DEBUT_ENREG:
        case Etape::DANS_GUILLEMETS:
            break;
        case Etape::DEBUT_CHAMP:
        case Etape::DANS_CHAMP:
        case Etape::GUILLEMET_DANS_GUILLEMETS:
            sauver_champ();
            etape = Etape::DEBUT_ENREG;
            break;
        case Etape::MANGER_CRLF:
            etape = Etape::DEBUT_ENREG;
            break;
        }
    }
};

LecteurCsv::LecteurCsv(std::unique_ptr<SourceOctets> source, std::string delimiteur,
                       long limite_champ, bool sauter_bom, bool valider)
    : e_(new Etat) {
    if (delimiteur.empty()) throw std::invalid_argument("delimiteur vide");
    e_->par_lignes = source->par_lignes();
    e_->source = std::move(source);
    e_->delim = std::move(delimiteur);
    e_->d0 = e_->delim[0];
    e_->dlen = e_->delim.size();
    e_->limite = limite_champ;
    e_->sauter_bom = sauter_bom;
    e_->valider = valider;
}

LecteurCsv::~LecteurCsv() = default;

bool LecteurCsv::suivant(std::vector<std::string_view> &champs) {
    Etat &e = *e_;
    champs.clear();
    if (e.ferme) return false;
    e.arene.clear();
    e.bornes.clear();
    e.debut_champ = 0;
    e.octets_comptes = 0;
    e.car_champ = 0;
    e.etape = Etape::DEBUT_ENREG;
    for (;;) {
        size_t ls, le;
        if (!e.ligne_suivante(ls, le)) {
            // End of input inside a quoted field: the field is kept (non-strict).
            if (e.arene.size() != e.debut_champ || e.etape == Etape::DANS_GUILLEMETS) {
                e.sauver_champ();
                break;
            }
            return false;
        }
        ++e.ligne;
        e.traiter_ligne(e.tampon.data() + ls, e.tampon.data() + le);
        e.pos = le;
        if (e.etape == Etape::DEBUT_ENREG) break;
    }
    champs.reserve(e.bornes.size());
    for (auto &b : e.bornes) champs.emplace_back(e.arene.data() + b.first, b.second);
    return true;
}

long LecteurCsv::numero_ligne() const { return e_->ligne; }

void LecteurCsv::fermer() {
    e_->ferme = true;
    e_->source.reset();
    std::vector<char>().swap(e_->tampon);
    e_->pos = e_->fin = e_->valide = 0;
}

}  // namespace brivane
