// Multi-criteria filter over a stream of entries (registered by _recherche.cpp).
#include "_criteres.hpp"

namespace nb = nanobind;

namespace brivane::py {

namespace {

const NomLie *nom_nb_syllabes = nullptr;

// `b`: the twelve criteria, then those of form.
nb::list filtrer(nb::handle flux, const nb::handle *b, nb::handle limite_h) {
    const Criteres c = Criteres::lire(b);
    const CriteresForme forme = CriteresForme::lire(b + 12);
    const long long limite = entier_arg(limite_h, "limite");
    nb::object it = nb::steal(PyObject_GetIter(flux.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    nb::list resultats;
    Py_ssize_t gardes = 0;
    Interruptible interruption;
    while (PyObject *brut = PyIter_Next(it.ptr())) {
        nb::object e = nb::steal(brut);
        interruption();
        // The shape of the word after the other criteria: they are cheaper.
        if (!c.accepte(brut, *nom_nb_syllabes) || !forme.accepte(brut, *nom_nb_syllabes)) continue;
        if (PyList_Append(resultats.ptr(), brut) < 0) throw nb::python_error();
        if (limite != 0 && ++gardes >= limite) return resultats;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return resultats;
}

// filtrer as nanobind calls it: one argument per criterion.
template <size_t... I> auto par_argument(std::index_sequence<I...>) {
    return [](nb::handle flux, Poignee<I>... v, nb::handle limite) {
        const nb::handle b[] = {v...};
        return filtrer(flux, b, limite);
    };
}

}  // namespace

void enregistrer_filtrer(nb::module_ &m, const NomLie *nb_syllabes) {
    nom_nb_syllabes = nb_syllabes;
    const std::string sig = "def filtrer(entries_iter, *, " + signature_de(Criteres::PARAMETRES) + ", " +
                            signature_de(CriteresForme::PARAMETRES) + ", limite: int = 100) -> list[dict]";
    const auto criteres = std::tuple_cat(args_de(Criteres::PARAMETRES), args_de(CriteresForme::PARAMETRES));
    std::apply([&](auto... a) {
        m.def("filtrer", par_argument(std::make_index_sequence<12 + CriteresForme::N>()),
              nb::arg("entries_iter").none(), nb::kw_only(), a..., nb::arg("limite").none() = 100, nb::sig(sig.c_str()),
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
    }, criteres);
}

}  // namespace brivane::py
