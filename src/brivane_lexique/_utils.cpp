// Module _utils: the two text functions every other module relies on.
#include "_commun.hpp"
#include "_texte.hpp"

namespace nb = nanobind;
using namespace brivane::py;

namespace {

nb::object normaliser_ortho(nb::handle s) {
    exiger_str(s, "s");
    return normaliser_ortho_py(s);
}

}  // namespace

NB_MODULE(_utils, m) {
    brivane::py::lier_reglage(m);
    m.doc() = "Utilitaires texte : normalisation orthographique et segmentation IPA.";

    m.def("normaliser_ortho", &normaliser_ortho, nb::arg("s").none(), nb::sig("def normaliser_ortho(s: str) -> str"),
          "Normalise une orthographe : cle des formes et des index.\n\n"
          "Applique exactement unicodedata.normalize('NFC', s).strip().lower() :\n"
          "composition NFC, suppression des blancs en tete et en fin (ceux que\n"
          "str.strip() retire), puis passage complet en minuscules de str.lower()\n"
          "(U+0130 donne 'i' suivi de U+0307, U+1E9E donne U+00DF, le sigma\n"
          "majuscule devient final ou non selon le contexte). Rien d'autre n'est\n"
          "replie : accents, blancs interieurs, traits d'union et apostrophes\n"
          "restent. Une orthographe deja normalisee est rendue telle quelle (le\n"
          "meme objet).");

    m.def(
        "_tokenize_ipa",
        [](nb::handle s) {
            exiger_str(s, "s");
            return segmenter_py(s);
        },
        nb::arg("s").none(), nb::sig("def _tokenize_ipa(s: str) -> list[str]"),
        "Decoupe une transcription IPA en segments (phonemes).\n\n"
        "Chaque point de code ouvre un segment, sauf ceux qui s'attachent au\n"
        "segment en cours : marques combinantes (categories Mn, Mc, Me, par\n"
        "exemple le tilde U+0303 d'une voyelle nasale), marques de longueur\n"
        "U+02D0 et U+02D1, lettres modificatives U+02B0..U+02B8 et\n"
        "U+02E0..U+02E4. Un tirant U+0361 ou U+035C s'attache et attache aussi\n"
        "le point de code suivant (une affriquee notee avec un tirant est un seul\n"
        "segment). Une marque en tete ouvre le premier segment.\n"
        "'' donne [] ; la concatenation des segments redonne la transcription.");
}
