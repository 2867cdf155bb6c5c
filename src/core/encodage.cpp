#include "encodage.hpp"

#include <algorithm>
#include <cstring>

#include "texte.hpp"

namespace brivane {

namespace {

// Code points of bytes 0x80-0x9F; 0 where the encoding has no character. Every other
// byte is the code point of the same value in both encodings.
constexpr char32_t LATIN1_80[32] = {
    0x80, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x8b, 0x8c, 0x8d, 0x8e, 0x8f,
    0x90, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9a, 0x9b, 0x9c, 0x9d, 0x9e, 0x9f};
constexpr char32_t CP1252_80[32] = {
    0x20ac, 0,      0x201a, 0x0192, 0x201e, 0x2026, 0x2020, 0x2021, 0x02c6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017d, 0,      0,      0x2018, 0x2019, 0x201c, 0x201d, 0x2022,
    0x2013, 0x2014, 0x02dc, 0x2122, 0x0161, 0x203a, 0x0153, 0,      0x017e, 0x0178};

// Line ends in [p, f): "\n", and "\r" not followed by "\n" (`cr` says whether the
// byte before p was a "\r"; it is updated for the next block).
long fins_de_ligne(const char *p, const char *f, bool &cr) {
    if (p == f) return 0;
    long n = (cr && *p != '\n') ? 1 : 0;
    n += long(std::count(p, f, '\n'));
    for (const char *r = p; (r = static_cast<const char *>(std::memchr(r, '\r', size_t(f - r)))); ++r)
        if (r + 1 < f && r[1] != '\n') ++n;
    cr = f[-1] == '\r';
    return n;
}

constexpr size_t BLOC = size_t(1) << 17;
constexpr size_t BLOC_HOTE = LecteurCsv::TAILLE_BLOC_HOTE;

}  // namespace

SourceTranscodee::SourceTranscodee(std::unique_ptr<SourceOctets> amont, Encodage8 encodage)
    : amont_(std::move(amont)), table_(encodage == Encodage8::CP1252 ? CP1252_80 : LATIN1_80) {}

size_t SourceTranscodee::lire(char *tampon, size_t taille) {
    while (lu_ == sortie_.size()) {
        if (erreur_) throw ErreurOctet(*erreur_);
        if (amont_fini_ && entree_.empty()) return 0;
        remplir();
        // Whole host chunks only (the input consumed so far is a whole number of
        // them), but for the end of the input.
        const size_t n = amont_fini_ ? entree_.size() : entree_.size() / BLOC_HOTE * BLOC_HOTE;
        transcoder(n);
    }
    const size_t n = std::min(taille, sortie_.size() - lu_);
    std::memcpy(tampon, sortie_.data() + lu_, n);
    lu_ += n;
    return n;
}

void SourceTranscodee::remplir() {
    while (!amont_fini_ && entree_.size() < BLOC) {
        const size_t avant = entree_.size();
        entree_.resize(BLOC);
        const size_t n = amont_->lire(entree_.data() + avant, BLOC - avant);
        entree_.resize(avant + n);
        if (n == 0) amont_fini_ = true;
    }
}

// Decodes entree_[0, n) into sortie_ and drops it from entree_; stops at the start of
// the chunk holding an undefined byte, which becomes erreur_.
void SourceTranscodee::transcoder(size_t n) {
    const auto *d = reinterpret_cast<const unsigned char *>(entree_.data());
    auto point = [&](unsigned char c) -> char32_t { return c >= 0x80 && c < 0xa0 ? table_[c - 0x80] : c; };
    const size_t ici = size_t(std::find_if(d, d + n, [&](unsigned char c) { return point(c) == 0 && c; }) - d);
    if (ici < n) {
        const size_t debut = ici / BLOC_HOTE * BLOC_HOTE;
        bool cr = cr_en_suspens_;
        long ligne = lignes_ + fins_de_ligne(entree_.data(), entree_.data() + ici, cr) + 1;
        if (cr) ++ligne;  // a "\r" just before the byte ended the line
        erreur_ = std::make_unique<ErreurOctet>(
            ligne, entree_.substr(debut, std::min(n, debut + BLOC_HOTE) - debut), ici - debut);
        n = debut;  // the text before that chunk still goes out
    }
    sortie_.clear();
    lu_ = 0;
    for (size_t i = 0; i < n; ++i) ajouter_utf8(sortie_, point(d[i]));
    lignes_ += fins_de_ligne(entree_.data(), entree_.data() + n, cr_en_suspens_);
    entree_.erase(0, n);
    if (erreur_) entree_.clear();
}

void lire_debut(SourceOctets &source, std::string &debut) {
    char tampon[8192];
    while (debut.size() < (size_t(1) << 16) && debut.find_first_of("\r\n") == std::string::npos) {
        const size_t n = source.lire(tampon, sizeof tampon);
        if (n == 0) return;
        debut.append(tampon, n);
    }
}

char delimiteur_entete(std::string_view debut) {
    if (debut.substr(0, 3) == "\xef\xbb\xbf") debut.remove_prefix(3);
    const std::string_view entete = debut.substr(0, debut.find_first_of("\r\n"));
    const bool virgule = entete.find(',') != std::string_view::npos;
    const bool tab = entete.find('\t') != std::string_view::npos;
    if (!virgule && !tab && entete.find(';') != std::string_view::npos) return ';';
    if (tab && !virgule) return '\t';
    return ',';
}

}  // namespace brivane
