// Phonetic queries over an in-memory index: rhymes, sound containment, syllable counts.
#include "_recherche_cache.hpp"

#include "recherche_motif.hpp"

namespace nb = nanobind;
using namespace brivane::py;

namespace {

NomLie nom_tokenize;                    // _tokenize_ipa, taken from _utils at import
NomLie nom_nb_syllabes;                 // this module's own _get_nb_syllabes
// The object bound at import is _utils' compiled function, whose answers the C++
// segmentation of this build reproduces (a replacement installed in _utils before
// this import is a Python object, called as it is).
bool tokenize_cpp = false;

nb::object appeler(PyObject *f, PyObject *texte) {
    PyObject *r = PyObject_CallOneArg(f, texte);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// segments[-nb_phonemes:] of what a tokenizer returned: len() first, then the slice,
// refusing objects that cannot be sliced. Nothing when too few segments can never rhyme.
std::optional<nb::object> fin_segments(const nb::object &segments, long long nb_phonemes) {
    const Py_ssize_t n = PyObject_Size(segments.ptr());
    if (n < 0) throw nb::python_error();
    if (nb_phonemes > 0 && (long long)n < nb_phonemes) return std::nullopt;
    PyMappingMethods *mp = Py_TYPE(segments.ptr())->tp_as_mapping;
    if (!mp || !mp->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(segments.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object debut = nb::steal(nb_phonemes == LLONG_MIN ? PyLong_FromLongLong(LLONG_MAX)
                                                           : PyLong_FromLongLong(-nb_phonemes));
    nb::object tranche = nb::steal(PySlice_New(debut.ptr(), Py_None, Py_None));
    PyObject *r = PyObject_GetItem(segments.ptr(), tranche.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// segments[-nb_phonemes:] of the str s as the compiled segmentation cuts it, as one
// string that two slices share exactly when they are equal lists of segments: the
// code points of the slice, a separator no text holds, then the segment ends
// relative to the slice's start. Nothing when too few segments can never rhyme.
std::optional<std::u32string> tranche_de(PyObject *s, long long nb_phonemes) {
    std::u32string t;
    std::vector<size_t> fins;
    fins_segments_py(s, fins);
    const size_t c = fins.size();
    if (nb_phonemes > 0 && (long long)c < nb_phonemes) return std::nullopt;
    const long long k = nb_phonemes == LLONG_MIN ? LLONG_MAX : -nb_phonemes;  // segments[k:] when k >= 0
    const size_t d = nb_phonemes > 0 ? c - (size_t)nb_phonemes : (size_t)std::min(k, (long long)c);
    const size_t origine = d == 0 ? 0 : fins[d - 1];
    points_de(s, t);
    t.erase(0, origine);
    t.push_back(char32_t(0x110000));
    for (size_t j = d; j < c; ++j) t.push_back(char32_t(fins[j] - origine));
    return t;
}

// The keys of snapshot ci grouped by their slice for nb_phonemes (the rhyme
// grouping, made on first need and kept with the snapshot): those of `cle`.
GroupeCles &rimes_de(ClesIndex &ci, long long nb_phonemes, const std::u32string &cle) {
    static GroupeCles *aucune = new GroupeCles();
    auto g = ci.rimes.find(nb_phonemes);
    if (g == ci.rimes.end()) {
        // Kept only once complete: an interrupted grouping is made again next time.
        decltype(ci.rimes)::mapped_type groupes;
        Interruptible interruption;
        for (size_t i = 0; i < ci.cles.size(); ++i) {
            interruption();
            if (auto t = tranche_de(ci.cles[i], nb_phonemes)) groupes[*t].listes.push_back(ci.valeurs[i]);
        }
        g = ci.rimes.emplace(nb_phonemes, std::move(groupes)).first;
    }
    auto it = g->second.find(cle);
    return it == g->second.end() ? *aucune : it->second;
}

nb::list rimes(nb::handle phone_index, nb::handle mot_phone, nb::handle nb_phonemes_h, nb::handle limite_h) {
    exiger_dict(phone_index, "phone_index");
    exiger_str(mot_phone, "mot_phone");
    long long nb_phonemes = entier_arg(nb_phonemes_h, "nb_phonemes");
    long long limite = entier_arg(limite_h, "limite");
    if (PyUnicode_GET_LENGTH(mot_phone.ptr()) == 0) return nb::list();

    nb::object f = nom_tokenize.objet();
    // Unless it was replaced, the compiled segmentation applied here gives exactly the
    // segments that _utils._tokenize_ipa would return.
    const bool original = tokenize_cpp && nom_tokenize.original();
    AppelFiches appel;
    Fiches &F = *appel;
    Resultats res(F);
    PyObject *d = phone_index.ptr();
    // segments[-nb_phonemes:] of the reference through the module's tokenizer: first
    // of all when it was replaced (then called once on the reference and once per
    // key, in index order), else only for a key that is not an exact str.
    std::optional<nb::object> suffixe;
    std::optional<std::u32string> ref;
    if (original ? !(ref = tranche_de(mot_phone.ptr(), nb_phonemes))
                 : !(suffixe = fin_segments(appeler(f.ptr(), mot_phone.ptr()), nb_phonemes)))
        return nb::list();
    auto teste = [&](PyObject *cle) {
        if (original && PyUnicode_CheckExact(cle)) return tranche_de(cle, nb_phonemes) == ref;
        // The compiled tokenizer refuses anything else: its own error is raised.
        nb::object segments = appeler(f.ptr(), cle);
        if (!suffixe) suffixe = fin_segments(appeler(f.ptr(), mot_phone.ptr()), nb_phonemes);
        std::optional<nb::object> t = fin_segments(segments, nb_phonemes);
        if (!t || !suffixe) return false;
        const int differe = PyObject_RichCompareBool(t->ptr(), suffixe->ptr(), Py_NE);
        if (differe < 0) throw nb::python_error();
        return differe == 0;
    };
    // The entries of the key group through its table: one seal for all of them.
    ClesIndex *ci = original && brivane::chemins_rapides() ? cles_index(d) : nullptr;
    GroupeCles *groupe = ci ? &rimes_de(*ci, nb_phonemes, *ref) : nullptr;
    if (TableEntrees *t = groupe ? table_de(groupe->listes, groupe->table, F, G_TRI | G_FREQ) : nullptr) {
        for (size_t k = 0; k < t->fiches.size(); ++k) res.garder_fige(t->entrees[k], t->fiches[k], true);
        return res.trier(limite);
    }
    pour_chaque_cle(d, [&](PyObject *cle, PyObject *entrees) {
        if (teste(cle)) res.garder_liste(entrees);
    });
    return res.trier(limite);
}

nb::list contient_son(nb::handle phone_index, nb::handle son, nb::handle limite_h) {
    exiger_dict(phone_index, "phone_index");
    exiger_str(son, "son");
    long long limite = entier_arg(limite_h, "limite");
    if (PyUnicode_GET_LENGTH(son.ptr()) == 0) return nb::list();
    AppelFiches appel;
    Resultats res(*appel);
    PyObject *d = phone_index.ptr();
    auto teste = [&](PyObject *cle) {
        int r = PySequence_Contains(cle, son.ptr());
        if (r < 0) throw nb::python_error();
        return r != 0;
    };
    ClesIndex *ci = brivane::chemins_rapides() ? cles_index(d) : nullptr;
    if (!ci) {
        pour_chaque_cle(d, [&](PyObject *cle, PyObject *entrees) {
            if (teste(cle)) res.garder_liste(entrees);
        });
        return res.trier(limite);
    }
    // The keys holding the sound: one pass over their code points laid end to end,
    // from one occurrence of its first one or two code points to the next.
    std::u32string aiguille;
    points_de(son.ptr(), aiguille);
    const size_t m = aiguille.size(), total = ci->points.size();
    const uint32_t *p = reinterpret_cast<const uint32_t *>(ci->points.data());
    std::vector<uint32_t> retenues;
    for (size_t pos = 0, cle = 0;;) {
        pos += m == 1 ? brivane::trouver_point(p + pos, total - pos, aiguille[0])
                      : brivane::trouver_paire(p + pos, total - pos, aiguille[0], aiguille[1]);
        if (pos + m > total) break;
        while (ci->debuts[cle + 1] <= pos) ++cle;  // the key holding pos
        const size_t fin = ci->debuts[cle + 1];
        if (pos + m <= fin && std::equal(aiguille.begin() + 1, aiguille.end(), ci->points.begin() + (long)pos + 1)) {
            retenues.push_back((uint32_t)cle);
            pos = fin;
        } else {
            ++pos;
        }
    }
    parcourir_cles(d, *ci, retenues, teste, [&](PyObject *entrees) { res.garder_liste(entrees); });
    return res.trier(limite);
}

nb::list mots_par_syllabes(nb::handle ortho_index, nb::handle n_h, nb::handle cgram, nb::handle limite_h) {
    exiger_dict(ortho_index, "ortho_index");
    const long long n = entier_arg(n_h, "n");
    exiger_str_ou_none(cgram, "cgram");
    long long limite = entier_arg(limite_h, "limite");
    AppelFiches appel;
    Fiches &F = *appel;
    Resultats res(F);
    // A first scan reads the dicts; the table of the index answers the next ones while
    // the syllable count is the module's own.
    ClesIndex *ci = brivane::chemins_rapides() ? cles_index(ortho_index.ptr()) : nullptr;
    TableEntrees *t = ci && ci->parcours++ > 0 && nom_nb_syllabes.original()
                          ? table_de(ci->valeurs, ci->table, F, G_SYLL | G_TRI | G_FREQ)
                          : nullptr;
    if (t) {
        std::u32string prefixe;
        if (!cgram.is_none()) points_de(cgram.ptr(), prefixe);
        Interruptible interruption;
        for (size_t k = 0; k < t->fiches.size(); ++k) {
            interruption();
            const Fiche &f = t->fiches[k];
            if (f.syll_ok && f.syll == n && F.textes.texte(f.cgram).starts_with(prefixe))
                res.garder_fige(t->entrees[k], f, true);
        }
        return res.trier(limite);
    }
    // The entries as they are now, through the module's _get_nb_syllabes.
    const nb::int_ n_objet(n);
    pour_chaque_cle(ortho_index.ptr(), [&](PyObject *, PyObject *entrees) {
        pour_chaque_entree(entrees, [&](PyObject *e) {
            if (!cgram.is_none() && !texte_accepte(e, noms().cgram, cgram.ptr(), true)) return;
            if (!nb_syllabes_differe(nom_nb_syllabes, e, n_objet.ptr())) res.garder(e, true);
        });
    });
    return res.trier(limite);
}

}  // namespace

NB_MODULE(_phonetique, m) {
    brivane::py::lier_reglage(m);
    m.doc() = "Fonctions de phonetique : rimes, contient_son, mots_par_syllabes.";

    m.def("rimes", &rimes, nb::arg("phone_index").none(), nb::arg("mot_phone").none(),
          nb::arg("nb_phonemes").none() = 2, nb::arg("limite").none() = 50,
          nb::sig("def rimes(phone_index: dict, mot_phone: str, nb_phonemes: int = 2, limite: int = 50) "
                  "-> list[dict]"),
          "Mots partageant les N derniers phonemes.\n\n"
          "Args:\n"
          "    phone_index: Index phone -> [entrees]\n"
          "    mot_phone: Transcription IPA du mot de reference\n"
          "    nb_phonemes: Nombre de phonemes de fin a matcher\n"
          "    limite: Nombre max de resultats\n\n"
          "Returns:\n"
          "    Liste d'entrees triees par frequence decroissante");

    m.def("contient_son", &contient_son, nb::arg("phone_index").none(), nb::arg("son").none(),
          nb::arg("limite").none() = 50,
          nb::sig("def contient_son(phone_index: dict, son: str, limite: int = 50) -> list[dict]"),
          "Mots contenant une sequence phonetique.\n\n"
          "Args:\n"
          "    phone_index: Index phone -> [entrees]\n"
          "    son: Sequence IPA a rechercher\n"
          "    limite: Nombre max de resultats\n\n"
          "Returns:\n"
          "    Liste d'entrees triees par frequence decroissante");

    m.def("mots_par_syllabes", &mots_par_syllabes, nb::arg("ortho_index").none(), nb::arg("n").none(),
          nb::arg("cgram").none() = nb::none(), nb::arg("limite").none() = 50,
          nb::sig("def mots_par_syllabes(ortho_index: dict, n: int, cgram: str | None = None, limite: int = 50) "
                  "-> list[dict]"),
          "Mots avec exactement N syllabes.\n\n"
          "Utilise nb_syllabes ou syllabes.count('.')+1.\n\n"
          "Args:\n"
          "    ortho_index: Index ortho -> [entrees]\n"
          "    n: Nombre de syllabes souhaite\n"
          "    cgram: Filtre POS optionnel\n"
          "    limite: Nombre max de resultats\n\n"
          "Returns:\n"
          "    Liste d'entrees triees par frequence decroissante");

    definir_nb_syllabes(m, nom_nb_syllabes);

    nb::object tokenize = nb::module_::import_("brivane_lexique._utils").attr("_tokenize_ipa");
    tokenize_cpp = Py_TYPE(tokenize.ptr()) == Py_TYPE(m.attr("rimes").ptr()) &&
                   nb::str(tokenize.attr("__name__")).equal(nb::str("_tokenize_ipa"));
    nom_tokenize.lier(m, "_tokenize_ipa", tokenize);
}
