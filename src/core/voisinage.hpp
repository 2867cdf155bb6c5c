// Lexical neighbourhoods: neighbours, mean distance to the n closest words, uniqueness points.
//
// A lexicon is a set of distinct strings of symbols: the code points of a spelling, or
// the phonemes of a pronunciation (each distinct segment numbered). They sit in a trie
// whose children are contiguous, with for every node the number of words below it and
// the range of their lengths. The Levenshtein searches walk the trie with one row of
// the edit-distance table per depth (bit vectors when the word has at most 64 symbols)
// and leave a branch as soon as no word below it can come within the bound.
//
// Every search has a plain twin (`*_simple`) that compares the word with each string of
// the lexicon in turn; the two give the same answers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace brivane {

// The kernels of the reading by length: the plain one and its vector twins.
enum class Noyau { simple, avx2, avx512 };

class ArbreVoisinage {
public:
    using Chaine = std::u32string;
    using Vue = std::u32string_view;
    static constexpr uint32_t AUCUN = UINT32_MAX;

    ArbreVoisinage() { construire({}); }
    // Duplicates are dropped; the words are numbered in code-point order.
    explicit ArbreVoisinage(std::vector<Chaine> mots) { construire(std::move(mots)); }

    size_t taille() const { return mots_.size(); }
    Chaine mot(uint32_t id) const;
    uint32_t trouver(Vue mot) const;  // AUCUN when absent

    // Mean Levenshtein distance to the n closest words other than `mot` itself; over
    // all of them when there are fewer than n; nullopt when there is none (n >= 1).
    // When its last search reads the words by length, `fils` threads share them.
    std::optional<double> distance_moyenne(Vue mot, size_t n, unsigned fils = 1) const;
    std::optional<double> distance_moyenne_simple(Vue mot, size_t n) const;
    // Words of the same length that differ from `mot` by one substitution (ids, sorted).
    std::vector<uint32_t> voisins_substitution(Vue mot) const;
    std::vector<uint32_t> voisins_substitution_simple(Vue mot) const;
    // Words at Levenshtein distance exactly 1 (ids, sorted).
    std::vector<uint32_t> voisins_levenshtein(Vue mot) const;
    std::vector<uint32_t> voisins_levenshtein_simple(Vue mot) const;
    // 1 + the longest prefix `mot` shares with another word: the 1-based position from
    // which no other word starts the same way; len + 1 when there is no such position
    // (`mot` is a prefix of another word).
    size_t point_unicite(Vue mot) const;
    size_t point_unicite_simple(Vue mot) const;

private:
    // A node: the rank of the last symbol of its prefix, its children (contiguous,
    // sorted by symbol), the range of the lengths of the words below it (its own
    // included), the classes of the symbols below it (rank % 64) and those that some
    // word holds twice below it. The searches load a node at every step: what they read
    // seldom lives beside the nodes, and the lengths take 16 bits, so that a node fills
    // half a cache line and a block of siblings as few lines as can be.
    struct alignas(32) Noeud {
        uint64_t dessous = 0, deux = 0;
        char32_t symbole = 0;
        uint32_t premier = 0, nb_enfants = 0;
        // A length past SATURE is stored as SATURE: lmin still bounds from below, and
        // lmax is read through Trie::lmax.
        uint16_t lmin = 0, lmax_ = 0;
    };
    static constexpr uint32_t SATURE = UINT16_MAX;
    struct Trie {
        std::vector<Noeud> noeuds;  // root first
        // By node, the number of words below it (its own included): only the uniqueness
        // point reads it.
        std::vector<uint32_t> comptes;
        // By node, the word that ends there (or AUCUN): read once a word is within reach.
        std::vector<uint32_t> fins;
        uint32_t longueur_max = 0;  // of the words
        uint32_t lmax(const Noeud &nd) const { return nd.lmax_ < SATURE ? nd.lmax_ : longueur_max; }
        void construire(const std::vector<Chaine> &tries);  // sorted, distinct
        uint32_t enfant(uint32_t noeud, char32_t c) const;  // AUCUN when absent
    };

    void construire(std::vector<Chaine> mots);
    // `mot` with each symbol replaced by its rank in alphabet_ (alphabet_.size() when
    // the lexicon has none of it): the words are kept that way, so that the rows of a
    // search are indexed by symbol. Past this, every `mot` below is in ranks.
    Chaine en_rangs(Vue mot) const;
    template <class F>
    auto avec_ligne(Vue mot, F &&f) const;
    template <class Ligne, class F>
    bool parcourir(const Trie &t, const Ligne &ligne, Vue mot, uint32_t d, const uint32_t &limite, size_t h,
                   uint32_t d_moitie, F &&trouve) const;
    template <class F>
    bool chercher_moities(Vue mot, uint32_t d, const uint32_t &limite, F &&compter) const;
    bool chercher(Vue mot, uint32_t d, size_t arret, std::vector<uint64_t> &hist, std::vector<uint32_t> *ids) const;
    // The n-th smallest distance from `mot` to the words next to it in the sorted orders
    // of the words and of the words read backwards (an upper bound of the n-th smallest
    // distance over all words); nullopt when they are fewer than n.
    std::optional<uint32_t> borne_par_voisins_tries(Vue mot, size_t n) const;
    // distance_moyenne when at least n words other than `mot` lie within `plafond`: one
    // search of the trie below d = plafond - 1, or the reading of the words below.
    double moyenne_sous_plafond(Vue mot, size_t n, uint32_t plafond, uint32_t d0, unsigned fils) const;
    // Whether that search, for a `mot` of m symbols below d, reads the words by length.
    bool par_lecture(size_t m, uint32_t d) const;
    double moyenne_arbre(Vue mot, size_t n, uint32_t d, uint32_t d0) const;
    // The same answer from every word whose length is within `plafond` of that of `mot`
    // (m <= 32 symbols), compared with `mot` a block at a time, on `fils` threads. A long
    // `mot` far from every word keeps nearly every branch of the trie within reach, and
    // then reading the words in a row costs less.
    double moyenne_balayage(Vue mot, size_t n, uint32_t plafond, unsigned fils, Noyau noyau) const;
    // The kernel the reading takes under `mode` (see mode_balayage).
    Noyau noyau_de_lecture(int mode) const;

    std::vector<char32_t> alphabet_;  // the symbols of the words, sorted
    std::vector<Chaine> mots_;        // sorted, in ranks
    Trie avant_;               // the words
    Trie arriere_;             // the words read backwards
    std::vector<uint32_t> id_arriere_;  // word of arriere_ -> its number in mots_
    // The words again, for moyenne_balayage: by length, in blocks of LARGEUR_BLOC (the
    // last one filled with the rank past the alphabet), symbol i of the block's words
    // side by side. Empty when the ranks do not fit 16 bits.
    struct ParLongueur {
        std::vector<uint16_t> symboles;
        std::vector<size_t> debut;     // by length, where its blocks start in `symboles`
        std::vector<uint32_t> nombre;  // by length, its words
    } par_longueur_;
    void construire_par_longueur();
};

size_t distance_levenshtein(std::u32string_view a, std::u32string_view b);

// Which route the last search of distance_moyenne takes for a `mot` of at most 32
// symbols: 0, the trie or the reading of the words by length, as the search shapes up;
// -1, always the trie; 1, always the reading (with the widest vector kernel the
// processor and the alphabet allow); 2, always the reading, with the plain kernel; 3,
// always the reading, with the AVX2 kernel at most. The tests force each one.
int mode_balayage() noexcept;
void regler_mode_balayage(int mode) noexcept;

// The strings of one lexicon as an ArbreVoisinage: spellings cut into code points, or
// pronunciations cut into IPA segments (as segmenter_ipa cuts them), each distinct
// segment given a number.
class RepertoireVoisinage {
public:
    RepertoireVoisinage(const std::vector<std::string> &textes, bool phonemes);

    bool phonemes() const { return phonemes_; }
    const ArbreVoisinage &arbre() const { return arbre_; }
    // The symbols of a UTF-8 text; a segment unknown to the lexicon gets a number of its
    // own, so it matches nothing.
    std::u32string coder(std::string_view texte) const;
    std::string texte(uint32_t id) const;  // the UTF-8 text of word `id`

private:
    bool phonemes_;
    std::unordered_map<std::string, char32_t> numeros_;
    std::vector<std::string> segments_;
    ArbreVoisinage arbre_;
};

// distance_moyenne of every target, on `fils` threads (1: the caller's thread only).
// When the targets are too few to keep more than one of them busy, each target's last
// search may share them instead. Touches nothing but its arguments.
std::vector<std::optional<double>> distances_moyennes(const ArbreVoisinage &arbre,
                                                      const std::vector<std::u32string> &cibles, size_t n,
                                                      unsigned fils, bool simple);

// The three measures of one word against a lexicon.
struct MesuresVoisinage {
    std::optional<double> distance;  // distance_moyenne
    size_t voisins = 0;              // number of substitution neighbours
    size_t unicite = 0;              // point_unicite
};
// Same, for every target, on `fils` threads (through the plain twins when `simple`).
std::vector<MesuresVoisinage> mesurer_voisinages(const ArbreVoisinage &arbre, const std::vector<std::u32string> &cibles,
                                                 size_t n, unsigned fils, bool simple);

}  // namespace brivane
