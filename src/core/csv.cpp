#include "csv.hpp"

#include <algorithm>
#include <cstring>

#include "simd.hpp"
#include "texte.hpp"

namespace brivane {

namespace {

bool suite(unsigned char c) { return (c & 0xc0) == 0x80; }

// UTF-8 validation with the host decoder's rules: false on malformed input;
// otherwise `reste` = length of a well-formed but incomplete tail, which the host
// carries over to its next call.
bool valider_utf8(const unsigned char *p, size_t n, size_t &reste) {
    reste = 0;
    for (size_t i = 0; i < n;) {
        char32_t cp;
        const int lg = sequence_utf8(p + i, n - i, cp);
        if (lg == 0) return false;
        if (lg < 0) {
            reste = size_t(-lg);
            return true;
        }
        i += size_t(lg);
    }
    return true;
}

// Same answer as valider_utf8, faster on long texts: the bulk up to the last
// character start goes through the block check, the few bytes after it through
// valider_utf8 (so that an incomplete tail is measured exactly).
bool valider_utf8_vite(const unsigned char *p, size_t n, size_t &reste) {
#ifdef BRIVANE_AVX2
    if (n >= 64 && avx2_actif()) {
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

    // Quote-free lines are cut in place by suivant_colonne (only when the delimiter
    // is one byte that is neither a quote nor a line end, the state machine then
    // reduces to a split).
    bool simple = false;
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
            if (lire_source() == 0) tout_decode = true;
            valide = fin;
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
                    // The host's decoder holds a final "\r" back until it knows what
                    // follows; one it has already let through is followed by that
                    // held "\r" (text decoded past `valide`), so the line ends here.
                    if (tout_decode || par_lignes || (valider && base + valide < decode_abs - attente)) {
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

    // csv.field_size_limit(): characters, not bytes, count against it. `car` is the
    // count of a field so far, [p, p + n) its bytes not yet counted.
    long verifier_limite(const char *p, size_t n, long car) const {
        for (const char *f = p + n; p < f; ++p)
            if (!suite(static_cast<unsigned char>(*p))) ++car;
        if (car >= 1 && car > limite)
            throw ErreurCsv("field larger than field limit (" + std::to_string(limite) + ")");
        return car;
    }

    void ajouter(const char *p, size_t n) {
        arene.append(p, n);
        const size_t taille = arene.size() - debut_champ;
        if (taille <= size_t(limite > 0 ? limite : 0)) return;
        car_champ = verifier_limite(arene.data() + debut_champ + octets_comptes, taille - octets_comptes, car_champ);
        octets_comptes = taille;
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
            case Etape::DANS_CHAMP:
                p = dans_champ(p, te, f);
                break;
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
        if (etape == Etape::MANGER_CRLF) {
            etape = Etape::DEBUT_ENREG;
        } else if (etape != Etape::DEBUT_ENREG && etape != Etape::DANS_GUILLEMETS) {
            sauver_champ();
            etape = Etape::DEBUT_ENREG;
        }
    }

    // An unquoted field from p: its text up to the next delimiter or the line end
    // `te`, then that delimiter or line end. Returns where the line goes on.
    const char *dans_champ(const char *p, const char *te, const char *f) {
        const char *q = p;
        for (;;) {
            auto r = static_cast<const char *>(std::memchr(q, d0, size_t(te - q)));
            if (!r) {
                q = te;
                break;
            }
            if (est_delim(r, f)) {
                q = r;
                break;
            }
            q = r + 1;
        }
        if (q > p) ajouter(p, size_t(q - p));
        p = q;
        if (p == f) return p;
        const char c = *p;
        if (c == '\n' || c == '\r') {
            sauver_champ();
            etape = Etape::MANGER_CRLF;
            return p + 1;
        }
        if (est_delim(p, f)) {
            sauver_champ();
            etape = Etape::DEBUT_CHAMP;
            return p + dlen;
        }
        // Only reachable when the delimiter is "\r" or "\n" (already handled) --
        // keep the character to stay total.
        ajouter(p, 1);
        return p + 1;
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

bool LecteurCsv::suivant_colonne(size_t colonne, std::string_view &champ, size_t &nb_champs) {
    Etat &e = *e_;
    // The long way: the whole record through the state machine.
    auto par_suivant = [&] {
        if (!suivant(e.champs_colonne)) return false;
        nb_champs = e.champs_colonne.size();
        champ = colonne < nb_champs ? e.champs_colonne[colonne] : std::string_view();
        return true;
    };
    // The line is only looked at: when it goes the long way, suivant() finds it again.
    size_t ls, le;
    if (!e.simple || e.ferme || !e.ligne_suivante(ls, le)) return par_suivant();
    std::string_view ligne(e.tampon.data() + ls, le - ls);
    ligne = ligne.substr(0, ligne.find_last_not_of("\r\n") + 1);
    // One pass without an early exit, which the compiler vectorises.
    uint32_t delims = 0, guillemets = 0;
    for (char c : ligne) {
        delims += c == e.d0;
        guillemets += c == '"';
    }
    // (A line longer than the field limit goes the long way, which checks it; below
    // it the 32-bit counts are exact.)
    if (guillemets || ligne.size() > std::min<size_t>(size_t(e.limite > 0 ? e.limite : 0), UINT32_MAX))
        return par_suivant();
    ++e.ligne;
    e.pos = le;
    nb_champs = ligne.empty() ? 0 : size_t(delims) + 1;
    champ = {};
    if (colonne < nb_champs) {
        size_t debut = 0;
        for (size_t k = 0; k < colonne; ++k) debut = ligne.find(e.d0, debut) + 1;
        champ = ligne.substr(debut, ligne.find(e.d0, debut) - debut);
    }
    return true;
}

long LecteurCsv::numero_ligne() const { return e_->ligne; }

uint64_t LecteurCsv::octets_consommes() const { return e_->base + e_->pos; }

uint64_t LecteurCsv::taille_source() const { return e_->source ? e_->source->taille() : 0; }

bool LecteurCsv::source_autonome() const { return e_->source && e_->source->autonome(); }

void LecteurCsv::fermer() {
    e_->ferme = true;
    e_->source.reset();
    std::vector<char>().swap(e_->tampon);
    e_->pos = e_->fin = e_->valide = 0;
}

}  // namespace brivane
