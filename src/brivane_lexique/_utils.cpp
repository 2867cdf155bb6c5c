// Module _utils: the two text functions every other module relies on.
#include "_commun.hpp"
#include "_texte.hpp"

#include "code_lexique.hpp"

#include <string>
#include <vector>

namespace nb = nanobind;
using namespace brivane::py;

namespace {

// The text functions take exactly a str, named s.
template <class F>
auto sur_texte(F f) {
    return [f](nb::handle s) {
        exiger_str(s, "s");
        return f(s);
    };
}

bool est_code_lexique(nb::handle transcriptions) {
    exiger_list(transcriptions, "transcriptions");
    std::vector<std::string> echantillon;
    for (nb::handle t : transcriptions) {
        exiger_str(t, "transcriptions");
        echantillon.emplace_back(utf8(t.ptr()));
    }
    return brivane::ressemble_code_lexique(echantillon);
}

}  // namespace

NB_MODULE(_utils, m) {
    brivane::py::lier_reglage(m);
    m.doc() = "Utilitaires texte : normalisation orthographique et segmentation IPA.";

    m.def("normaliser_ortho", sur_texte(normaliser_ortho_py), nb::arg("s").none(),
          nb::sig("def normaliser_ortho(s: str) -> str"),
          "Normalise une orthographe : cle des formes et des index.\n\n"
          "Applique exactement unicodedata.normalize('NFC', s).strip().lower() :\n"
          "composition NFC, suppression des blancs en tete et en fin (ceux que\n"
          "str.strip() retire), puis passage complet en minuscules de str.lower()\n"
          "(U+0130 donne 'i' suivi de U+0307, U+1E9E donne U+00DF, le sigma\n"
          "majuscule devient final ou non selon le contexte). Rien d'autre n'est\n"
          "replie : accents, blancs interieurs, traits d'union et apostrophes\n"
          "restent. Une orthographe deja normalisee est rendue telle quelle (le\n"
          "meme objet).");

    m.def("_tokenize_ipa", sur_texte(segmenter_py), nb::arg("s").none(),
          nb::sig("def _tokenize_ipa(s: str) -> list[str]"),
        "Decoupe une transcription IPA en segments (phonemes).\n\n"
        "Chaque point de code ouvre un segment, sauf ceux qui s'attachent au\n"
        "segment en cours : marques combinantes (categories Mn, Mc, Me, par\n"
        "exemple le tilde U+0303 d'une voyelle nasale), marques de longueur\n"
        "U+02D0 et U+02D1, lettres modificatives U+02B0..U+02B8 et\n"
        "U+02E0..U+02E4. Un tirant U+0361 ou U+035C s'attache et attache aussi\n"
        "le point de code suivant (une affriquee notee avec un tirant est un seul\n"
        "segment). Une marque en tete ouvre le premier segment.\n"
        "'' donne [] ; la concatenation des segments redonne la transcription.");

    nb::dict table;
    for (size_t i = 0; i < brivane::NB_SYMBOLES_LEXIQUE; ++i) {
        PyObject *c = PyUnicode_FromOrdinal(int(brivane::CODE_LEXIQUE[i].code));
        if (!c) throw nb::python_error();
        table[nb::steal<nb::str>(c)] = nb::str(brivane::CODE_LEXIQUE[i].ipa);
    }
    m.attr("CODE_LEXIQUE") = table;

    m.def("code_lexique_vers_ipa",
          sur_texte([](nb::handle s) { return texte(brivane::code_lexique_vers_ipa(utf8(s.ptr()))); }),
          nb::arg("s").none(),
          nb::sig("def code_lexique_vers_ipa(s: str) -> str"),
          "Transcrit en API une prononciation ecrite dans le code phonetique de Lexique.\n\n"
          "Chaque symbole du code (un caractere, par exemple 'S@te' pour chanter)\n"
          "devient son phoneme API ('\u0283\u0251\u0303te') ; tout autre caractere est garde.\n"
          "Table (code -> API) :\n"
          "  voyelles   a a, i i, y y, u u, o o, O \u0254, e e, E \u025b, \u00b0 \u0259,\n"
          "             2 \u00f8, 9 \u0153, 5 \u025b\u0303, 1 \u0153\u0303, @ \u0251\u0303, \u00a7 \u0254\u0303\n"
          "  glissantes j j, 8 \u0265, w w\n"
          "  consonnes  p b t d k f v s z m n l x (les memes), g \u0261, S \u0283, Z \u0292,\n"
          "             N \u0272, G \u014b, R \u0281\n"
          "La table est aussi le dictionnaire CODE_LEXIQUE du module.");
    m.def("ipa_vers_code_lexique",
          sur_texte([](nb::handle s) { return texte(brivane::ipa_vers_code_lexique(utf8(s.ptr()))); }),
          nb::arg("s").none(),
          nb::sig("def ipa_vers_code_lexique(s: str) -> str"),
          "Ecrit dans le code phonetique de Lexique une prononciation en API.\n\n"
          "Chaque phoneme de la table (une voyelle suivie du tilde U+0303 est la\n"
          "voyelle nasale) devient son symbole ; tout autre caractere est garde, si\n"
          "bien qu'un texte deja dans le code revient tel quel. Table : voir\n"
          "code_lexique_vers_ipa.");
    m.def("est_code_lexique", &est_code_lexique, nb::arg("transcriptions").none(),
          nb::sig("def est_code_lexique(transcriptions: list[str]) -> bool"),
          "Dit si des prononciations lues dans un lexique sont dans le code de Lexique.\n\n"
          "Vrai quand tous leurs caracteres sont des symboles du code et qu'au moins\n"
          "un n'appartient pas a l'API (majuscule, chiffre, @, \u00b0 ou \u00a7) ; faux pour\n"
          "une liste vide ou sans caractere.");
}
