// Multi-criteria filter over a stream of entries (registered by _recherche.cpp).
#include "_recherche_cache.hpp"

namespace nb = nanobind;

namespace brivane::py {

namespace {

const NomLie *nom_nb_syllabes = nullptr;
PyObject *dict_module = nullptr;  // borrowed: the module outlives its functions

nb::list filtrer(nb::handle flux, nb::handle cgram, nb::handle genre, nb::handle nombre, nb::handle freq_min,
                 nb::handle freq_max, nb::handle nb_syllabes, nb::handle age_min, nb::handle age_max,
                 nb::handle illustrable_min, nb::handle categorie, nb::handle has_age, nb::handle has_phone,
                 nb::handle nb_lettres_min, nb::handle nb_lettres_max, nb::handle nb_phonemes_min,
                 nb::handle nb_phonemes_max, nb::handle nb_syllabes_min, nb::handle nb_syllabes_max,
                 nb::handle motif, nb::handle limite_h) {
    Criteres c = Criteres::lire({cgram, genre, nombre, freq_min, freq_max, nb_syllabes, age_min, age_max,
                                 illustrable_min, categorie, has_age, has_phone});
    const CriteresForme forme = CriteresForme::lire(
        {nb_lettres_min, nb_lettres_max, nb_phonemes_min, nb_phonemes_max, nb_syllabes_min, nb_syllabes_max, motif});
    const bool forme_vide = forme.vide();
    const long long limite = entier_arg(limite_h, "limite");
    nb::object it = nb::steal(PyObject_GetIter(flux.ptr()));
    if (!it.is_valid()) throw nb::python_error();

    AppelFiches appel;
    Fiches &F = *appel;
    const bool rapide = brivane::chemins_rapides();
    // Recording every entry costs more than reading it once: a first filter uses the
    // records other queries made, later ones record what they read.
    static bool deja_appele = false;
    const bool creer = deja_appele;
    deja_appele = true;
    c.preparer(F.textes);
    std::unordered_map<int32_t, bool> prefixes;  // cgram verdict per text id
    // Only the values the given criteria read (the frequency is read for every entry,
    // as its conversion is attempted for every entry).
    const uint8_t groupes = (uint8_t)(G_FREQ | (c.cgram || c.nb_syllabes ? G_SYLL : 0) |
                                      (c.genre || c.nombre || c.categorie ? G_TEXTES : 0) |
                                      (c.has_age >= 0 || c.age_min || c.age_max || c.illustrable_min ? G_MESURES : 0) |
                                      (c.has_phone >= 0 ? G_PHONE : 0));
    nb::list resultats;
    Py_ssize_t gardes = 0;
    // A record answers while the syllable count is the module's own.
    LienOriginal compte_cpp(*nom_nb_syllabes, dict_module);
    Interruptible interruption;
    while (PyObject *brut = PyIter_Next(it.ptr())) {
        nb::object e = nb::steal(brut);
        interruption();
        const int32_t fi = rapide ? F.obtenir(brut, groupes, creer) : -1;
        bool garde;
        if (fi >= 0 && !(F[fi].vivants & groupes) && (!c.nb_syllabes || compte_cpp())) {
            garde = c.accepte(F[fi], F.textes, prefixes);
        } else {
            garde = c.accepte(brut, *nom_nb_syllabes);
        }
        // The shape of the word after the other criteria: they are cheaper.
        if (!garde || (!forme_vide && !forme.accepte(brut, *nom_nb_syllabes))) continue;
        if (PyList_Append(resultats.ptr(), brut) < 0) throw nb::python_error();
        if (limite != 0 && ++gardes >= limite) return resultats;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return resultats;
}

}  // namespace

void enregistrer_filtrer(nb::module_ &m, const NomLie *nb_syllabes) {
    nom_nb_syllabes = nb_syllabes;
    dict_module = PyModule_GetDict(m.ptr());
    m.def("filtrer", &filtrer, nb::arg("entries_iter").none(), nb::kw_only(), nb::arg("cgram").none() = nb::none(),
          nb::arg("genre").none() = nb::none(), nb::arg("nombre").none() = nb::none(),
          nb::arg("freq_min").none() = nb::none(), nb::arg("freq_max").none() = nb::none(),
          nb::arg("nb_syllabes").none() = nb::none(), nb::arg("age_min").none() = nb::none(),
          nb::arg("age_max").none() = nb::none(), nb::arg("illustrable_min").none() = nb::none(),
          nb::arg("categorie").none() = nb::none(), nb::arg("has_age").none() = nb::none(),
          nb::arg("has_phone").none() = nb::none(), nb::arg("nb_lettres_min").none() = nb::none(),
          nb::arg("nb_lettres_max").none() = nb::none(), nb::arg("nb_phonemes_min").none() = nb::none(),
          nb::arg("nb_phonemes_max").none() = nb::none(), nb::arg("nb_syllabes_min").none() = nb::none(),
          nb::arg("nb_syllabes_max").none() = nb::none(), nb::arg("motif").none() = nb::none(),
          nb::arg("limite").none() = 100,
          nb::sig("def filtrer(entries_iter, *, cgram: str | None = None, genre: str | None = None, "
                  "nombre: str | None = None, freq_min: float | None = None, freq_max: float | None = None, "
                  "nb_syllabes: int | None = None, age_min: float | None = None, age_max: float | None = None, "
                  "illustrable_min: float | None = None, categorie: str | None = None, "
                  "has_age: bool | None = None, has_phone: bool | None = None, "
                  "nb_lettres_min: int | None = None, nb_lettres_max: int | None = None, "
                  "nb_phonemes_min: int | None = None, nb_phonemes_max: int | None = None, "
                  "nb_syllabes_min: int | None = None, nb_syllabes_max: int | None = None, "
                  "motif: str | None = None, limite: int = 100) "
                  "-> list[dict]"),
          "Filtre multi-critere sur un iterateur d'entrees.\n\n"
          "Args:\n"
          "    entries_iter: Iterateur d'entrees lexicales\n"
          "    cgram: Filtre POS (prefix match)\n"
          "    genre: Filtre genre (m/f)\n"
          "    nombre: Filtre nombre (s/p)\n"
          "    freq_min: Frequence minimale\n"
          "    freq_max: Frequence maximale\n"
          "    nb_syllabes: Nombre exact de syllabes\n"
          "    age_min: Age d'acquisition minimal (Manulex)\n"
          "    age_max: Age d'acquisition maximal (Manulex)\n"
          "    illustrable_min: Score illustrable minimal (0.0-1.0)\n"
          "    categorie: Categorie semantique exacte\n"
          "    has_age: True = age NOT NULL, False = age IS NULL\n"
          "    has_phone: True = phone NOT NULL/vide, False = phone NULL/vide\n"
          "    nb_lettres_min, nb_lettres_max: Longueur de l'orthographe (caracteres)\n"
          "    nb_phonemes_min, nb_phonemes_max: Nombre de phonemes (segments de _tokenize_ipa)\n"
          "    nb_syllabes_min, nb_syllabes_max: Nombre de syllabes (_get_nb_syllabes ; None exclu)\n"
          "    motif: Expression reguliere cherchee dans l'orthographe (re.search, casse ignoree)\n"
          "    limite: Nombre max de resultats\n\n"
          "Returns:\n"
          "    Liste d'entrees correspondantes");
}

}  // namespace brivane::py
