// Delimited-text reader that yields, record for record, what Python's csv.reader
// (standard dialect, only the delimiter changed, file opened with newline='')
// yields for the same text. Input is UTF-8 bytes; the reader validates them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace brivane {

// Where the bytes come from. read() returns 0 at end of input, throws on failure.
class SourceOctets {
public:
    virtual ~SourceOctets() = default;
    virtual size_t lire(char *tampon, size_t taille) = 0;
    // True when every lire() hands over exactly one whole line as the host's text
    // layer cut it (a final "\r" then needs no look-ahead to know it ends the line).
    virtual bool par_lignes() const { return false; }
    // Total size in bytes when known beforehand (a regular file), else 0.
    virtual uint64_t taille() const { return 0; }
    // True when lire() needs nothing of the host: the reader may then run on a
    // thread of its own.
    virtual bool autonome() const { return false; }
};

// An OS error (open/read), carrying errno so the binding can raise OSError subclasses.
struct ErreurSysteme : std::runtime_error {
    int numero;
    explicit ErreurSysteme(int n) : std::runtime_error("erreur systeme"), numero(n) {}
};

// The csv module's own error (the binding raises csv.Error with what()).
struct ErreurCsv : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Invalid UTF-8. `octets` holds exactly the bytes the host's incremental decoder
// would have been given in the failing call (the host reads 8192-byte chunks and
// carries an incomplete trailing sequence over to the next call), and `final`
// whether that call was the end-of-input one. Decoding them with the host's codec
// rebuilds the exact UnicodeDecodeError.
struct ErreurDecodage : std::runtime_error {
    std::string octets;
    bool final = false;
    explicit ErreurDecodage(std::string o, bool f = false)
        : std::runtime_error("utf-8 invalide"), octets(std::move(o)), final(f) {}
};

class LecteurCsv {
public:
    // Size of the host's text-layer reads; decoding errors surface at the same
    // record as they do in the host because validation follows these chunks.
    static constexpr size_t TAILLE_BLOC_HOTE = 8192;

    // delimiteur: one character, as UTF-8 bytes. limite_champ: csv.field_size_limit()
    // (counted in characters). valider: check the bytes as strict UTF-8 (false when
    // the source already produced them from decoded text). sauter_bom: drop one
    // leading U+FEFF ("utf-8-sig"), checked with the validation (only then is it asked).
    LecteurCsv(std::unique_ptr<SourceOctets> source, std::string delimiteur,
               long limite_champ, bool sauter_bom, bool valider = true);
    ~LecteurCsv();
    LecteurCsv(const LecteurCsv &) = delete;
    LecteurCsv &operator=(const LecteurCsv &) = delete;

    // Next record as csv.reader would return it (blank lines give an empty record).
    // Returns false at end of input. The views stay valid until the next call.
    bool suivant(std::vector<std::string_view> &champs);

    // suivant() for a caller that needs one field only: `champ` is field `colonne`
    // (empty when the record is shorter) and `nb_champs` the record's field count;
    // same records, errors and line count. Lines without quotes are not cut into
    // fields at all. The view stays valid until the next call.
    bool suivant_colonne(size_t colonne, std::string_view &champ, size_t &nb_champs);

    // csv.reader.line_num: physical lines consumed so far.
    long numero_ligne() const;

    // Bytes of the source consumed so far, and its size when known beforehand (else
    // 0): how far through the input the reader is.
    uint64_t octets_consommes() const;
    uint64_t taille_source() const;
    // True when the source needs nothing of the host (see SourceOctets::autonome).
    bool source_autonome() const;

    // Releases the source early (the reader then reports end of input).
    void fermer();

private:
    struct Etat;
    std::unique_ptr<Etat> e_;
};

}  // namespace brivane
