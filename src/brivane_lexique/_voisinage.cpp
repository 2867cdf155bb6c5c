// Module _voisinage: neighbourhood measures of words against a list of words.
#include "_voisinage_commun.hpp"

#include <memory>

namespace nb = nanobind;
using namespace brivane::py;
using brivane::RepertoireVoisinage;

namespace {

bool vrai_arg(nb::handle h) {
    int v = PyObject_IsTrue(h.ptr());
    if (v < 0) throw nb::python_error();
    return v == 1;
}

// The lexicon list copied into C++, its trie built without the GIL.
std::unique_ptr<RepertoireVoisinage> repertoire(nb::handle mots, nb::handle ipa) {
    std::vector<std::string> textes = textes_de(mots, "mots");
    bool phonemes = vrai_arg(ipa);
    nb::gil_scoped_release libre;
    return std::make_unique<RepertoireVoisinage>(textes, phonemes);
}

std::u32string coder(const RepertoireVoisinage &rep, nb::handle mot, const char *nom) {
    exiger_str(mot, nom);
    return rep.coder(utf8(mot.ptr()));
}

nb::list voisins(nb::handle mot, nb::handle mots, nb::handle ipa) {
    exiger_str(mot, "mot");
    auto rep = repertoire(mots, ipa);
    return textes_des_ids(*rep, voisins_de(rep->arbre(), coder(*rep, mot, "mot")));
}

nb::list voisins_levenshtein(nb::handle mot, nb::handle mots, nb::handle ipa) {
    exiger_str(mot, "mot");
    auto rep = repertoire(mots, ipa);
    return textes_des_ids(*rep, voisins_levenshtein_de(rep->arbre(), coder(*rep, mot, "mot")));
}

nb::object distance_moyenne(nb::handle mot, nb::handle mots, nb::handle n, nb::handle ipa) {
    exiger_str(mot, "mot");
    size_t k = n_plus_proches(n);
    auto rep = repertoire(mots, ipa);
    return reel_ou_none(distance_moyenne_de(rep->arbre(), coder(*rep, mot, "mot"), k));
}

nb::list distances_moyennes(nb::handle cibles, nb::handle mots, nb::handle n, nb::handle ipa) {
    std::vector<std::string> textes = textes_de(cibles, "cibles");
    size_t k = n_plus_proches(n);
    auto rep = repertoire(mots, ipa);
    std::vector<std::optional<double>> res;
    {
        const bool simple = !brivane::chemins_rapides();
        const unsigned fils = fils_de_calcul();
        std::vector<std::u32string> codes;
        codes.reserve(textes.size());
        for (const std::string &t : textes) codes.push_back(rep->coder(t));
        res = par_tranches(codes, [&](const std::vector<std::u32string> &t) {
            return brivane::distances_moyennes(rep->arbre(), t, k, fils, simple);
        });
    }
    nb::list l;
    for (const auto &v : res) l.append(reel_ou_none(v));
    return l;
}

nb::list mesures(nb::handle cibles, nb::handle mots, nb::handle n, nb::handle ipa) {
    std::vector<std::string> textes = textes_de(cibles, "cibles");
    size_t k = n_plus_proches(n);
    auto rep = repertoire(mots, ipa);
    std::vector<brivane::MesuresVoisinage> res;
    {
        const bool simple = !brivane::chemins_rapides();
        const unsigned fils = fils_de_calcul();
        std::vector<std::u32string> codes;
        codes.reserve(textes.size());
        for (const std::string &t : textes) codes.push_back(rep->coder(t));
        res = par_tranches(codes, [&](const std::vector<std::u32string> &t) {
            return brivane::mesurer_voisinages(rep->arbre(), t, k, fils, simple);
        });
    }
    nb::list l;
    for (const auto &v : res) l.append(nb::make_tuple(reel_ou_none(v.distance), v.voisins, v.unicite));
    return l;
}

nb::int_ point_unicite(nb::handle mot, nb::handle mots, nb::handle ipa) {
    exiger_str(mot, "mot");
    auto rep = repertoire(mots, ipa);
    return nb::int_(point_unicite_de(rep->arbre(), coder(*rep, mot, "mot")));
}

const char *const DOC_IPA =
    "ipa : faux, les mots sont des orthographes comparees point de code par\n"
    "point de code ; vrai, ce sont des transcriptions IPA comparees phoneme par\n"
    "phoneme, decoupees comme _tokenize_ipa les decoupe.\n";

}  // namespace

NB_MODULE(_voisinage, m) {
    brivane::py::lier_reglage(m);
    m.doc() = "Voisinage lexical : voisins, OLD20/PLD20, points d'unicite sur une liste de mots.";
    const std::string ipa = DOC_IPA;

    m.def("voisins", &voisins, nb::arg("mot").none(), nb::arg("mots").none(), nb::arg("ipa").none() = false,
          nb::sig("def voisins(mot: str, mots: Iterable[str], ipa: bool = False) -> list[str]"),
          ("Voisins par substitution (N de Coltheart) de mot parmi mots.\n\n"
           "Les mots distincts de meme longueur qui different de mot par un seul\n"
           "symbole substitue ; mot lui-meme n'en fait pas partie. Liste triee.\n" + ipa)
              .c_str());
    m.def("voisins_levenshtein", &voisins_levenshtein, nb::arg("mot").none(), nb::arg("mots").none(),
          nb::arg("ipa").none() = false,
          nb::sig("def voisins_levenshtein(mot: str, mots: Iterable[str], ipa: bool = False) -> list[str]"),
          ("Voisins de Levenshtein 1 de mot parmi mots.\n\n"
           "Les mots distincts a une substitution, une insertion ou une suppression\n"
           "de mot ; mot lui-meme n'en fait pas partie. Liste triee.\n" + ipa)
              .c_str());
    m.def("distance_moyenne", &distance_moyenne, nb::arg("mot").none(), nb::arg("mots").none(),
          nb::arg("n").none() = 20, nb::arg("ipa").none() = false,
          nb::sig("def distance_moyenne(mot: str, mots: Iterable[str], n: int = 20, ipa: bool = False) "
                  "-> float | None"),
          ("OLD20 (PLD20 avec ipa) : distance de Levenshtein moyenne aux n plus proches.\n\n"
           "Moyenne des distances de mot aux n mots distincts de mots les plus proches,\n"
           "mot lui-meme exclu ; mot peut etre absent de la liste (pseudo-mot). Avec\n"
           "moins de n autres mots, moyenne sur tous ; aucun autre mot : None.\n"
           "ValueError si n < 1.\n" + ipa)
              .c_str());
    m.def("distances_moyennes", &distances_moyennes, nb::arg("cibles").none(), nb::arg("mots").none(),
          nb::arg("n").none() = 20, nb::arg("ipa").none() = false,
          nb::sig("def distances_moyennes(cibles: Iterable[str], mots: Iterable[str], n: int = 20, "
                  "ipa: bool = False) -> list[float | None]"),
          ("distance_moyenne de chaque mot de cibles, dans l'ordre de cibles.\n\n"
           "Le calcul se fait hors du GIL, sur tous les coeurs de la machine.\n" + ipa)
              .c_str());
    m.def("mesures", &mesures, nb::arg("cibles").none(), nb::arg("mots").none(), nb::arg("n").none() = 20,
          nb::arg("ipa").none() = false,
          nb::sig("def mesures(cibles: Iterable[str], mots: Iterable[str], n: int = 20, ipa: bool = False) "
                  "-> list[tuple[float | None, int, int]]"),
          ("(distance_moyenne, nombre de voisins, point_unicite) de chaque mot de cibles.\n\n"
           "Dans l'ordre de cibles ; le nombre de voisins est len(voisins(mot, mots)).\n"
           "Le calcul se fait hors du GIL, sur tous les coeurs de la machine.\n" + ipa)
              .c_str());
    m.def("point_unicite", &point_unicite, nb::arg("mot").none(), nb::arg("mots").none(),
          nb::arg("ipa").none() = false,
          nb::sig("def point_unicite(mot: str, mots: Iterable[str], ipa: bool = False) -> int"),
          ("Point d'unicite de mot parmi mots (position a partir de 1).\n\n"
           "La position de la lettre (du phoneme) a partir de laquelle aucun autre mot\n"
           "de la liste ne commence comme mot. Quand il n'y en a pas (mot est le debut\n"
           "d'un autre mot, comme chat de chaton), la reponse est len(mot) + 1.\n" + ipa)
              .c_str());
}
