#include "csv.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__SSE2__)
#include <immintrin.h>
#define BRIVANE_X86 1
#endif

namespace brivane {

// ---------------------------------------------------------------------------
// File source

SourceFichier::SourceFichier(const std::string &chemin) {
    do {
        fd_ = ::open(chemin.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0) throw ErreurSysteme(errno);
    struct stat st;
    if (::fstat(fd_, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            ::close(fd_);
            fd_ = -1;
            throw ErreurSysteme(EISDIR);
        }
        if (S_ISREG(st.st_mode) && st.st_size > 0) taille_ = uint64_t(st.st_size);
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

#ifdef BRIVANE_X86
// Whole-block UTF-8 check (the "lookup" method: three nibble tables classify every
// pair of adjacent bytes, two shifted copies catch the third and fourth bytes). It
// only says "valid and complete" or "not": the exact answer (an incomplete tail to
// carry over, the error itself) is left to the byte-by-byte validator above.
// One 32-byte block; `avant` is the previous block, `erreur` accumulates every
// fault and `incomplet` flags a sequence left open at the end of the block.
struct Utf8Avx2 {
    __m256i erreur, avant, incomplet;

    __attribute__((target("avx2"))) void bloc(__m256i v) {
        constexpr uint8_t COURT = 1 << 0, LONG = 1 << 1, SURLONG3 = 1 << 2, TROP_GRAND = 1 << 3,
                          SUBSTITUT = 1 << 4, SURLONG2 = 1 << 5, GRAND_1000 = 1 << 6, SURLONG4 = 1 << 6,
                          DEUX_SUITES = 1 << 7;
        constexpr uint8_t RET = COURT | LONG | DEUX_SUITES;
        constexpr uint8_t G = RET | TROP_GRAND | GRAND_1000;
        constexpr uint8_t S80 = LONG | SURLONG2 | DEUX_SUITES | SURLONG3 | GRAND_1000 | SURLONG4;
        constexpr uint8_t S90 = LONG | SURLONG2 | DEUX_SUITES | SURLONG3 | TROP_GRAND;
        constexpr uint8_t SA0 = LONG | SURLONG2 | DEUX_SUITES | SUBSTITUT | TROP_GRAND;
        if (_mm256_movemask_epi8(v) == 0) {
            erreur = _mm256_or_si256(erreur, incomplet);
            avant = v;
            return;
        }
        // First byte of each pair, by high then low nibble; second byte by high nibble.
        const __m256i t1_haut = _mm256_setr_epi8(
            LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG, DEUX_SUITES, DEUX_SUITES, DEUX_SUITES, DEUX_SUITES,
            COURT | SURLONG2, COURT, COURT | SURLONG3 | SUBSTITUT, COURT | TROP_GRAND | GRAND_1000 | SURLONG4,
            LONG, LONG, LONG, LONG, LONG, LONG, LONG, LONG, DEUX_SUITES, DEUX_SUITES, DEUX_SUITES, DEUX_SUITES,
            COURT | SURLONG2, COURT, COURT | SURLONG3 | SUBSTITUT, COURT | TROP_GRAND | GRAND_1000 | SURLONG4);
        const __m256i t1_bas = _mm256_setr_epi8(
            RET | SURLONG3 | SURLONG2 | SURLONG4, RET | SURLONG2, RET, RET, RET | TROP_GRAND, G, G, G, G, G, G, G,
            G, G | SUBSTITUT, G, G,
            RET | SURLONG3 | SURLONG2 | SURLONG4, RET | SURLONG2, RET, RET, RET | TROP_GRAND, G, G, G, G, G, G, G,
            G, G | SUBSTITUT, G, G);
        const __m256i t2_haut = _mm256_setr_epi8(
            COURT, COURT, COURT, COURT, COURT, COURT, COURT, COURT, S80, S90, SA0, SA0, COURT, COURT, COURT, COURT,
            COURT, COURT, COURT, COURT, COURT, COURT, COURT, COURT, S80, S90, SA0, SA0, COURT, COURT, COURT, COURT);
        const __m256i quartet = _mm256_set1_epi8(0x0f);
        const __m256i max_fin = _mm256_setr_epi8(
            -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
            -1, -1, -1, -1, -1, char(0xf0 - 1), char(0xe0 - 1), char(0xc0 - 1));
        __m256i t = _mm256_permute2x128_si256(avant, v, 0x21);
        __m256i p1 = _mm256_alignr_epi8(v, t, 15), p2 = _mm256_alignr_epi8(v, t, 14),
                p3 = _mm256_alignr_epi8(v, t, 13);
        __m256i a = _mm256_shuffle_epi8(t1_haut, _mm256_and_si256(_mm256_srli_epi16(p1, 4), quartet));
        __m256i b = _mm256_shuffle_epi8(t1_bas, _mm256_and_si256(p1, quartet));
        __m256i c = _mm256_shuffle_epi8(t2_haut, _mm256_and_si256(_mm256_srli_epi16(v, 4), quartet));
        __m256i cas = _mm256_and_si256(_mm256_and_si256(a, b), c);
        // Where a third or fourth byte must be a continuation byte.
        __m256i troisieme = _mm256_subs_epu8(p2, _mm256_set1_epi8(char(0xe0 - 0x80)));
        __m256i quatrieme = _mm256_subs_epu8(p3, _mm256_set1_epi8(char(0xf0 - 0x80)));
        __m256i doit = _mm256_and_si256(_mm256_or_si256(troisieme, quatrieme), _mm256_set1_epi8(char(0x80)));
        erreur = _mm256_or_si256(erreur, _mm256_xor_si256(doit, cas));
        incomplet = _mm256_subs_epu8(v, max_fin);
        avant = v;
    }
};

__attribute__((target("avx2"))) bool utf8_complet_avx2(const unsigned char *p, size_t n) {
    Utf8Avx2 u{_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
    size_t i = 0;
    for (; i + 32 <= n; i += 32) u.bloc(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + i)));
    if (i < n) {
        alignas(32) unsigned char dernier[32] = {};
        std::memcpy(dernier, p + i, n - i);
        u.bloc(_mm256_load_si256(reinterpret_cast<const __m256i *>(dernier)));
    }
    __m256i e = _mm256_or_si256(u.erreur, u.incomplet);
    return _mm256_testz_si256(e, e);
}

const bool AVX2 = __builtin_cpu_supports("avx2");
#endif

// Same answer as valider_utf8, faster on long texts: the bulk up to the last
// character start goes through the block check, the few bytes after it through
// valider_utf8 (so that an incomplete tail is measured exactly).
bool valider_utf8_vite(const unsigned char *p, size_t n, size_t &reste) {
#ifdef BRIVANE_X86
    if (AVX2 && n >= 64) {
        size_t c = n;
        for (size_t k = 0; k < 4 && c > 0; ++k) {
            --c;
            if (!suite(p[c])) break;
        }
        if (utf8_complet_avx2(p, c)) return valider_utf8(p + c, n - c, reste);
    }
#endif
    return valider_utf8(p, n, reste);
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

    // Quote-free lines are cut in place: `coupes` holds the delimiter offsets of
    // the line (only when the delimiter is one byte that is neither a quote nor a
    // line end, the state machine then reduces to a split).
    bool simple = false;
    std::vector<size_t> coupes;
    std::vector<std::string_view> champs_colonne;

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
        if (!valider_utf8_vite(reinterpret_cast<const unsigned char *>(b + d), i_fin - d, reste)) {
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

    // The next line when it holds no quote and ends inside the decoded text:
    // [pos, *te) is its content and [pos, *le) the line. With colonne == TOUTES its
    // delimiters go to `coupes`; otherwise only the count `nb_coupes` is kept, with
    // the bounds [*c0, *c1) of field `colonne` (c0 == npos: the line is shorter).
    // False leaves everything to the state machine (quotes, a line running past
    // what is decoded, a final "\r" whose successor is not known yet).
    static constexpr size_t TOUTES = size_t(-1);
    size_t nb_coupes = 0, c0 = 0, c1 = 0;

    void noter_coupes(unsigned dm, size_t base_bloc, size_t colonne) {
        if (colonne == TOUTES) {
            for (; dm; dm &= dm - 1) coupes.push_back(base_bloc + unsigned(__builtin_ctz(dm)));
            return;
        }
        // (Bit count without a library call where popcnt is not known to exist.)
        unsigned x = dm - ((dm >> 1) & 0x55555555u);
        x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
        x = (x + (x >> 4)) & 0x0f0f0f0fu;
        size_t n = size_t((x * 0x01010101u) >> 24);
        if (nb_coupes + n < colonne || nb_coupes > colonne) {
            nb_coupes += n;
            return;
        }
        for (; dm; dm &= dm - 1) {
            size_t x = base_bloc + unsigned(__builtin_ctz(dm));
            if (nb_coupes + 1 == colonne) c0 = x + 1;
            if (nb_coupes == colonne) c1 = x;
            ++nb_coupes;
        }
    }

#ifdef BRIVANE_X86
    // 32 bytes at a time while that many remain; `arret` says whether *p (the
    // returned position) is a quote or a line end.
    __attribute__((target("avx2"))) const char *balayer_avx2(const char *p, const char *f, const char *b,
                                                            size_t colonne, bool &arret) {
        const __m256i nl = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r'), gu = _mm256_set1_epi8('"'),
                      de = _mm256_set1_epi8(d0);
        for (; f - p >= 32; p += 32) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
            unsigned a = unsigned(_mm256_movemask_epi8(_mm256_or_si256(
                _mm256_or_si256(_mm256_cmpeq_epi8(v, nl), _mm256_cmpeq_epi8(v, cr)), _mm256_cmpeq_epi8(v, gu))));
            unsigned dm = unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, de)));
            if (a) {
                unsigned k = unsigned(__builtin_ctz(a));
                noter_coupes(dm & ((1u << k) - 1), size_t(p - b), colonne);
                arret = true;
                return p + k;
            }
            noter_coupes(dm, size_t(p - b), colonne);
        }
        return p;
    }
#endif

    // Lines read ahead for suivant_colonne: every quote-free line of the decoded
    // text, scanned 64 bytes at a time in one sweep, with the bounds of field
    // `colonne` (c0 == npos: the line is shorter), its field count and its end.
    // `pos` always stays at the start of the next line not yet handed out, so the
    // lines read ahead can be dropped at any time.
    struct LigneLue {
        size_t c0, c1, le, nb;
    };
    std::vector<LigneLue> lues;
    size_t lue_suivante = 0, colonne_lues = TOUTES;

    void oublier_lues() {
        lues.clear();
        lue_suivante = 0;
    }

#ifdef BRIVANE_X86
    // Delimiters `dm` (bits from offset `cur`) of the line being read: the count
    // goes on, the bounds of field k are noted when they are among them.
    __attribute__((target("avx2,popcnt,bmi"))) static void compter_delims(uint64_t dm, size_t cur, size_t k,
                                                                         size_t &nd, size_t &c0, size_t &c1) {
        if (nd <= k) {
            for (; dm && nd < k; dm &= dm - 1, ++nd)
                if (nd + 1 == k) c0 = cur + size_t(__builtin_ctzll(dm)) + 1;
            if (dm && nd == k) c1 = cur + size_t(__builtin_ctzll(dm));
        }
        nd += size_t(__builtin_popcountll(dm));
    }

    // Fills `lues` from `pos` up to the first line the sweep leaves to the line
    // reader: one holding a quote, ending on a "\r" whose successor is not decoded
    // yet, or longer than the field limit. True when the sweep stopped only because
    // the last line runs past the decoded text.
    __attribute__((target("avx2,popcnt,bmi"))) bool lire_lignes_avx2(size_t colonne) {
        oublier_lues();
        colonne_lues = colonne;
        const char *b = tampon.data();
        const size_t seuil = limite > 0 ? size_t(limite) : 0;
        const size_t npos = size_t(-1);
        const __m256i nl = _mm256_set1_epi8('\n'), cr = _mm256_set1_epi8('\r'), gu = _mm256_set1_epi8('"'),
                      de = _mm256_set1_epi8(d0);
        alignas(32) char bord[64];
        size_t cur = pos, ls = pos, nd = 0, c0 = colonne == 0 ? pos : npos, c1 = npos;
        while (cur < valide) {
            const size_t reste = valide - cur;
            const char *q = b + cur;
            uint64_t garde = ~uint64_t(0);
            if (reste < 64) {
                std::memcpy(bord, q, reste);
                std::memset(bord + reste, 0, 64 - reste);
                q = bord;
                garde = (uint64_t(1) << reste) - 1;
            }
            const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(q));
            const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(q + 32));
            const __m256i a0 = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v0, nl), _mm256_cmpeq_epi8(v0, cr)),
                                               _mm256_cmpeq_epi8(v0, gu));
            const __m256i a1 = _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(v1, nl), _mm256_cmpeq_epi8(v1, cr)),
                                               _mm256_cmpeq_epi8(v1, gu));
            const uint64_t arrets = (uint64_t(uint32_t(_mm256_movemask_epi8(a0))) |
                                     uint64_t(uint32_t(_mm256_movemask_epi8(a1))) << 32) & garde;
            const uint64_t dm = (uint64_t(uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v0, de)))) |
                                 uint64_t(uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v1, de)))) << 32) & garde;
            if (!arrets) {
                compter_delims(dm, cur, colonne, nd, c0, c1);
                cur += reste < 64 ? reste : 64;
                continue;
            }
            const unsigned j = unsigned(__builtin_ctzll(arrets));
            compter_delims(dm & ((uint64_t(1) << j) - 1), cur, colonne, nd, c0, c1);
            const size_t te = cur + j;
            size_t le;
            if (b[te] == '"') return false;
            if (b[te] == '\n') {
                le = te + 1;
            } else {
                if (te + 1 >= valide) return false;
                le = te + 1 + (b[te + 1] == '\n');
            }
            if (te - ls > seuil) return false;
            if (c0 != npos && c1 == npos) c1 = te;
            lues.push_back({c0, c1, le, (te > ls || nd) ? nd + 1 : 0});
            cur = ls = le;
            nd = 0;
            c0 = colonne == 0 ? ls : npos;
            c1 = npos;
        }
        return true;
    }

    // Lines for suivant_colonne; more text is asked for exactly when the line reader
    // would ask for it (the last line runs past what is decoded). Each request
    // sweeps the unfinished line again, so a line past 64 KiB (or the field limit)
    // is left to the line reader, which resumes where it stopped.
    void remplir_lues(size_t colonne) {
        const size_t borne = std::min<size_t>(size_t(1) << 16, limite > 0 ? size_t(limite) : 0);
        while (lire_lignes_avx2(colonne) && lues.empty() && !tout_decode && valide - pos <= borne) plus();
    }
#endif

    bool ligne_simple(size_t &te, size_t &le, size_t colonne = TOUTES) {
        const char *b = tampon.data();
        const char *p = b + pos, *f = b + valide;
        coupes.clear();
        nb_coupes = 0;
        c0 = colonne == 0 ? pos : size_t(-1);
        c1 = size_t(-1);
#ifdef BRIVANE_X86
        if (AVX2) {
            bool arret = false;
            p = balayer_avx2(p, f, b, colonne, arret);
            if (arret) goto fin;
        }
        {
            const __m128i nl = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r'), gu = _mm_set1_epi8('"'),
                          de = _mm_set1_epi8(d0);
            for (; f - p >= 16; p += 16) {
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
                unsigned arret = unsigned(_mm_movemask_epi8(
                    _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, nl), _mm_cmpeq_epi8(v, cr)), _mm_cmpeq_epi8(v, gu))));
                unsigned dm = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(v, de)));
                if (arret) {
                    unsigned k = unsigned(__builtin_ctz(arret));
                    noter_coupes(dm & ((1u << k) - 1), size_t(p - b), colonne);
                    p += k;
                    goto fin;
                }
                noter_coupes(dm, size_t(p - b), colonne);
            }
        }
#endif
        for (; p < f; ++p) {
            char c = *p;
            if (c == '\n' || c == '\r' || c == '"') goto fin;
            if (c == d0) noter_coupes(1u, size_t(p - b), colonne);
        }
        return false;
    fin:
        if (*p == '"') return false;
        te = size_t(p - b);
        if (*p == '\n') {
            le = te + 1;
        } else {
            if (p + 1 >= f) return false;
            le = te + 1 + (p[1] == '\n');
        }
        if (c0 != size_t(-1) && c1 == size_t(-1)) c1 = te;
        return true;
    }

    // csv.field_size_limit() for a field read in place.
    void verifier_limite(const char *p, size_t n) const {
        size_t seuil = limite > 0 ? size_t(limite) : 0;
        if (n <= seuil) return;
        long car = 0;
        for (size_t i = 0; i < n; ++i)
            if (!suite(static_cast<unsigned char>(p[i]))) ++car;
        if (car >= 1 && car > limite)
            throw ErreurCsv("field larger than field limit (" + std::to_string(limite) + ")");
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
    e_->simple = e_->dlen == 1 && e_->d0 != '"' && e_->d0 != '\r' && e_->d0 != '\n';
}

LecteurCsv::~LecteurCsv() = default;

bool LecteurCsv::suivant(std::vector<std::string_view> &champs) {
    Etat &e = *e_;
    champs.clear();
    e.oublier_lues();
    if (e.ferme) return false;
    size_t te, le;
    if (e.simple && e.ligne_simple(te, le)) {
        ++e.ligne;
        const char *b = e.tampon.data();
        if (te > e.pos || !e.coupes.empty()) {
            champs.reserve(e.coupes.size() + 1);
            size_t debut = e.pos;
            for (size_t c : e.coupes) {
                champs.emplace_back(b + debut, c - debut);
                debut = c + 1;
            }
            champs.emplace_back(b + debut, te - debut);
            if (size_t(te - e.pos) > size_t(e.limite > 0 ? e.limite : 0))
                for (std::string_view v : champs) e.verifier_limite(v.data(), v.size());
        }
        e.pos = le;
        return true;
    }
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

bool LecteurCsv::suivant_colonne(size_t colonne, std::string_view &champ, size_t &nb_champs) {
    Etat &e = *e_;
#ifdef BRIVANE_X86
    if (AVX2 && !e.ferme && e.simple && colonne != Etat::TOUTES) {
        if (e.lue_suivante == e.lues.size() || e.colonne_lues != colonne) e.remplir_lues(colonne);
        if (e.lue_suivante < e.lues.size()) {
            const Etat::LigneLue &l = e.lues[e.lue_suivante++];
            ++e.ligne;
            const char *b = e.tampon.data();
            nb_champs = l.nb;
            champ = l.c0 == size_t(-1) ? std::string_view() : std::string_view(b + l.c0, l.c1 - l.c0);
            e.pos = l.le;
            return true;
        }
    }
#endif
    size_t te, le;
    if (!e.ferme && e.simple && colonne != Etat::TOUTES && e.ligne_simple(te, le, colonne) &&
        size_t(te - e.pos) <= size_t(e.limite > 0 ? e.limite : 0)) {
        // (A line longer than the field limit goes the long way, which checks it.)
        ++e.ligne;
        const char *b = e.tampon.data();
        nb_champs = (te > e.pos || e.nb_coupes) ? e.nb_coupes + 1 : 0;
        champ = e.c0 == size_t(-1) ? std::string_view() : std::string_view(b + e.c0, e.c1 - e.c0);
        e.pos = le;
        return true;
    }
    if (!suivant(e.champs_colonne)) return false;
    nb_champs = e.champs_colonne.size();
    champ = colonne < nb_champs ? e.champs_colonne[colonne] : std::string_view();
    return true;
}

long LecteurCsv::numero_ligne() const { return e_->ligne; }

uint64_t LecteurCsv::octets_consommes() const { return e_->base + e_->pos; }

uint64_t LecteurCsv::taille_source() const { return e_->source ? e_->source->taille() : 0; }

bool LecteurCsv::source_autonome() const { return e_->source && e_->source->autonome(); }

void LecteurCsv::fermer() {
    e_->ferme = true;
    e_->oublier_lues();
    e_->source.reset();
    std::vector<char>().swap(e_->tampon);
    e_->pos = e_->fin = e_->valide = 0;
}

}  // namespace brivane
