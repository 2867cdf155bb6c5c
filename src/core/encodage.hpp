// Single-byte encodings (Latin-1, cp1252) turned into the UTF-8 the reader works on,
// and the delimiter a header line announces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "csv.hpp"

namespace brivane {

enum class Encodage8 { LATIN1, CP1252 };

// A byte with no character in the encoding (cp1252 leaves 0x81, 0x8D, 0x8F, 0x90 and
// 0x9D undefined, as the host's codec does). `ligne` is the physical line it sits on
// (1 for the first; CR LF, LF and a lone CR end a line); `bloc` holds the bytes the
// host's text layer would have decoded in the failing call (it decodes 8192-byte
// chunks) and `position` where the byte is in them, so that the host's exact
// UnicodeDecodeError can be rebuilt.
struct ErreurOctet : std::runtime_error {
    long ligne;
    std::string bloc;
    size_t position;
    ErreurOctet(long l, std::string b, size_t p)
        : std::runtime_error("octet sans caractere"), ligne(l), bloc(std::move(b)), position(p) {}
};

// The bytes of `amont` decoded from `encodage` and handed on as UTF-8. The input is
// decoded in the host's chunks: an undefined byte stops the text at the start of its
// chunk, and the error is raised when the reader asks for more, as the host raises it
// when its line reader needs that chunk.
class SourceTranscodee final : public SourceOctets {
public:
    SourceTranscodee(std::unique_ptr<SourceOctets> amont, Encodage8 encodage);
    size_t lire(char *tampon, size_t taille) override;
    // The size of the input: output is somewhat longer, but this only tells how far
    // through the file the reader is.
    uint64_t taille() const override { return amont_->taille(); }
    bool autonome() const override { return amont_->autonome(); }

private:
    void remplir();
    void transcoder(size_t n);

    std::unique_ptr<SourceOctets> amont_;
    const char32_t *table_;
    std::string entree_, sortie_;
    size_t lu_ = 0;               // of sortie_, already handed on
    bool amont_fini_ = false;
    long lignes_ = 0;             // line ends met in the input already decoded
    bool cr_en_suspens_ = false;  // that input ended with "\r"
    std::unique_ptr<ErreurOctet> erreur_;  // raised once the text before it is handed on
};

// Appends to `debut` the bytes of `source` up to its first line end, or at most some
// 64 KiB (a header line is never longer); what was read stays there if a read fails.
void lire_debut(SourceOctets &source, std::string &debut);

// The delimiter of a CSV file from its start (what lire_debut read), from its header
// line without a leading byte order mark: ';' when it holds semicolons and neither a
// comma nor a tab, a tab when it holds tabs and no comma, ',' otherwise.
char delimiteur_entete(std::string_view debut);

}  // namespace brivane
