// Module _voisinage: neighbourhood measures of words against a list of words.
#include "_champs.hpp"
#include "_voisinage_commun.hpp"

#include <memory>

namespace nb = nanobind;
using namespace brivane::py;
using brivane::RepertoireVoisinage;

namespace {

// The lexicon list copied into C++, its trie built without the GIL.
std::unique_ptr<RepertoireVoisinage> repertoire(nb::handle mots, nb::handle ipa) {
    std::vector<std::string> textes = textes_de(mots, "mots");
    bool phonemes = vrai(ipa.ptr());
    nb::gil_scoped_release libre;
    return std::make_unique<RepertoireVoisinage>(textes, phonemes);
}

// Search `r` for `mot` against the list.
nb::object sur_un_mot(nb::handle mot, nb::handle mots, nb::handle ipa, Recherche r, size_t n = 0) {
    exiger_str(mot, "mot");
    auto rep = repertoire(mots, ipa);
    return chercher(*rep, rep->coder(utf8(mot.ptr())), r, n);
}

// The words of `cibles` coded in the trie of the list.
std::vector<std::u32string> coder_cibles(const RepertoireVoisinage &rep, const std::vector<std::string> &textes) {
    std::vector<std::u32string> codes;
    codes.reserve(textes.size());
    for (const std::string &t : textes) codes.push_back(rep.coder(t));
    return codes;
}

nb::list distances_moyennes(nb::handle cibles, nb::handle mots, nb::handle n, nb::handle ipa) {
    std::vector<std::string> textes = textes_de(cibles, "cibles");
    size_t k = n_plus_proches(n);
    auto rep = repertoire(mots, ipa);
    auto res = par_tranches(coder_cibles(*rep, textes), [&](const std::vector<std::u32string> &t, unsigned fils,
                                                            bool simple) {
        return brivane::distances_moyennes(rep->arbre(), t, k, fils, simple);
    });
    nb::list l;
    for (const auto &v : res) l.append(reel_ou_none(v));
    return l;
}

nb::list mesures(nb::handle cibles, nb::handle mots, nb::handle n, nb::handle ipa) {
    std::vector<std::string> textes = textes_de(cibles, "cibles");
    size_t k = n_plus_proches(n);
    auto rep = repertoire(mots, ipa);
    nb::list l;
    for (const auto &v : mesurer(rep->arbre(), coder_cibles(*rep, textes), k))
        l.append(nb::make_tuple(reel_ou_none(v.distance), v.voisins, v.unicite));
    return l;
}

// Every docstring ends with the paragraph on `ipa` (nanobind keeps its own copy).
std::string avec_ipa(const char *doc) {
    return std::string(doc) +
           "ipa : faux, les mots sont des orthographes comparees point de code par\n"
           "point de code ; vrai, ce sont des transcriptions IPA comparees phoneme par\n"
           "phoneme, decoupees comme _tokenize_ipa les decoupe.\n";
}

}  // namespace

NB_MODULE(_voisinage, m) {
    brivane::py::lier_reglage(m);
    m.doc() = "Voisinage lexical : voisins, OLD20/PLD20, points d'unicite sur une liste de mots.";
    const auto mot = nb::arg("mot").none(), mots = nb::arg("mots").none(), cibles = nb::arg("cibles").none();

    m.def("voisins", [](nb::handle x, nb::handle l, nb::handle i) { return sur_un_mot(x, l, i, Recherche::voisins); },
          mot, mots, nb::arg("ipa").none() = false,
          nb::sig("def voisins(mot: str, mots: Iterable[str], ipa: bool = False) -> list[str]"),
          avec_ipa("Voisins par substitution (N de Coltheart) de mot parmi mots.\n\n"
                   "Les mots distincts de meme longueur qui different de mot par un seul\n"
                   "symbole substitue ; mot lui-meme n'en fait pas partie. Liste triee.\n").c_str());
    m.def("voisins_levenshtein",
          [](nb::handle x, nb::handle l, nb::handle i) { return sur_un_mot(x, l, i, Recherche::levenshtein); },
          mot, mots, nb::arg("ipa").none() = false,
          nb::sig("def voisins_levenshtein(mot: str, mots: Iterable[str], ipa: bool = False) -> list[str]"),
          avec_ipa("Voisins de Levenshtein 1 de mot parmi mots.\n\n"
                   "Les mots distincts a une substitution, une insertion ou une suppression\n"
                   "de mot ; mot lui-meme n'en fait pas partie. Liste triee.\n").c_str());
    m.def("distance_moyenne",
          [](nb::handle x, nb::handle l, nb::handle n, nb::handle i) {
              exiger_str(x, "mot");
              return sur_un_mot(x, l, i, Recherche::distance, n_plus_proches(n));
          },
          mot, mots, nb::arg("n").none() = 20, nb::arg("ipa").none() = false,
          nb::sig("def distance_moyenne(mot: str, mots: Iterable[str], n: int = 20, ipa: bool = False) "
                  "-> float | None"),
          avec_ipa("OLD20 (PLD20 avec ipa) : distance de Levenshtein moyenne aux n plus proches.\n\n"
                   "Moyenne des distances de mot aux n mots distincts de mots les plus proches,\n"
                   "mot lui-meme exclu ; mot peut etre absent de la liste (pseudo-mot). Avec\n"
                   "moins de n autres mots, moyenne sur tous ; aucun autre mot : None.\n"
                   "ValueError si n < 1.\n").c_str());
    m.def("distances_moyennes", &distances_moyennes, cibles, mots, nb::arg("n").none() = 20,
          nb::arg("ipa").none() = false,
          nb::sig("def distances_moyennes(cibles: Iterable[str], mots: Iterable[str], n: int = 20, "
                  "ipa: bool = False) -> list[float | None]"),
          avec_ipa("distance_moyenne de chaque mot de cibles, dans l'ordre de cibles.\n\n"
                   "Le calcul se fait hors du GIL, sur tous les coeurs de la machine.\n").c_str());
    m.def("mesures", &mesures, cibles, mots, nb::arg("n").none() = 20, nb::arg("ipa").none() = false,
          nb::sig("def mesures(cibles: Iterable[str], mots: Iterable[str], n: int = 20, ipa: bool = False) "
                  "-> list[tuple[float | None, int, int]]"),
          avec_ipa("(distance_moyenne, nombre de voisins, point_unicite) de chaque mot de cibles.\n\n"
                   "Dans l'ordre de cibles ; le nombre de voisins est len(voisins(mot, mots)).\n"
                   "Le calcul se fait hors du GIL, sur tous les coeurs de la machine.\n").c_str());
    lier_mode_balayage(m);
    m.def("point_unicite",
          [](nb::handle x, nb::handle l, nb::handle i) { return sur_un_mot(x, l, i, Recherche::unicite); },
          mot, mots, nb::arg("ipa").none() = false,
          nb::sig("def point_unicite(mot: str, mots: Iterable[str], ipa: bool = False) -> int"),
          avec_ipa("Point d'unicite de mot parmi mots (position a partir de 1).\n\n"
                   "La position de la lettre (du phoneme) a partir de laquelle aucun autre mot\n"
                   "de la liste ne commence comme mot. Quand il n'y en a pas (mot est le debut\n"
                   "d'un autre mot, comme chat de chaton), la reponse est len(mot) + 1.\n").c_str());
}
