// Pattern search and anagrams over an in-memory index.
#include "_recherche_cache.hpp"

#include "recherche_motif.hpp"

namespace nb = nanobind;
using namespace brivane::py;

namespace {

// _get_nb_syllabes as bound in this module (filtrer calls it through the module).
NomLie nom_nb_syllabes;

// Simple lower case (the one _sre applies to the text) of a code point.
uint32_t minuscule(uint32_t c) { return (uint32_t)Py_UNICODE_TOLOWER((Py_UCS4)c); }

// The case rules of the host's engine for case-insensitive str patterns: simple
// lower case as _sre applies it to the text, "cased" as _sre.unicode_iscased, and
// the extra equivalences the compiler adds (re._compiler._EXTRA_CASES). nullptr
// when that table cannot be found: every pattern then goes to the host's engine.
struct Casse {
    brivane::RegleCasse regle;
    std::vector<uint32_t> minuscules;  // of every BMP code point
};
const Casse *casse() {
    static const Casse *r = []() -> const Casse * {
        PyObject *mod = PyImport_ImportModule("re._compiler");
        PyObject *table = mod ? PyObject_GetAttrString(mod, "_EXTRA_CASES") : nullptr;
        Py_XDECREF(mod);
        if (!table || !PyDict_Check(table)) {
            PyErr_Clear();
            Py_XDECREF(table);
            return nullptr;
        }
        auto *extras = new std::unordered_map<uint32_t, std::vector<uint32_t>>();
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(table, &pos, &k, &v)) {
            std::vector<uint32_t> &l = (*extras)[(uint32_t)PyLong_AsUnsignedLong(k)];
            for (Py_ssize_t i = 0; PyTuple_Check(v) && i < PyTuple_GET_SIZE(v); ++i)
                l.push_back((uint32_t)PyLong_AsUnsignedLong(PyTuple_GET_ITEM(v, i)));
        }
        Py_DECREF(table);
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
        auto *c = new Casse();
        c->regle.minuscule = minuscule;
        c->regle.a_casse = [](uint32_t x) { return minuscule(x) != x || (uint32_t)Py_UNICODE_TOUPPER((Py_UCS4)x) != x; };
        c->regle.equivalents = [extras](uint32_t x, std::vector<uint32_t> &out) {
            auto it = extras->find(x);
            if (it != extras->end()) out = it->second;
        };
        c->minuscules.resize(0x10000);
        for (uint32_t x = 0; x < 0x10000; ++x) c->minuscules[x] = minuscule(x);
        return c;
    }();
    return r;
}

// Verdict of the pattern on one value. The subset of core/recherche_motif.hpp is
// answered in C++ (a fast path: the compiled expression answers everything when
// they are off).
class Chercheur {
public:
    Chercheur(nb::object rx, PyObject *motif) {
        search_ = rx.attr("search");
        if (!brivane::chemins_rapides() || !(casse_ = casse())) return;
        std::u32string p;
        points_de(motif, p);
        simple_ = brivane::analyser_motif_simple(reinterpret_cast<const uint32_t *>(p.data()), p.size(), casse_->regle);
    }

    bool trouve(PyObject *v) {
        if (!PyUnicode_CheckExact(v) || !simple_) return appeler(v);
        points_de(v, points_);
        return trouve_texte(points_);
    }

    // Whether C++ answers every verdict: the pattern is in the subset.
    bool simple() const { return simple_.has_value(); }

    // Verdict on a text given by its code points (the pattern is in the subset).
    bool trouve_texte(std::u32string_view t) {
        return brivane::chercher_simple(*simple_, reinterpret_cast<const uint32_t *>(t.data()), t.size(),
                                        casse_->minuscules.data(), [](uint32_t c) { return minuscule(c); });
    }

    // The verdicts of every text of T (the pattern is in the subset), -1 for those left
    // to decide: only the texts whose first character the first atom of an anchored
    // pattern accepts are asked, the others cannot match.
    void decider_tous(const TableTextes &T, std::vector<int8_t> &verdicts) {
        const std::vector<brivane::AtomeMotif> &atomes = simple_->atomes;
        // A first atom that accepts nearly everything ("." or a negated class) rules nothing out.
        if (!simple_->debut || atomes.empty() || atomes[0].quant != brivane::AtomeMotif::Un || atomes[0].point ||
            atomes[0].negation)
            return verdicts.assign(T.taille(), -1);
        verdicts.assign(T.taille(), 0);
        for (size_t id = 0; id < T.taille(); ++id) {
            const std::u32string_view t = T.texte((int32_t)id);
            if (!t.empty() && brivane::accepte_atome(atomes[0], t[0], casse_->minuscules.data(), minuscule))
                verdicts[id] = trouve_texte(t);
        }
    }

private:
    bool appeler(PyObject *v) {
        PyObject *m = PyObject_CallOneArg(search_.ptr(), v);
        if (!m) throw nb::python_error();
        bool ok = m != Py_None;
        Py_DECREF(m);
        return ok;
    }

    nb::object search_;
    const Casse *casse_ = nullptr;
    std::optional<brivane::MotifSimple> simple_;
    std::u32string points_;
};

// Positions in a table of the values whose text the pattern matches, in table order,
// the verdict decided once per distinct text (id 0: nothing to test).
std::vector<uint32_t> balayer(const std::vector<int32_t> &valeurs, const Fiches &F, Chercheur &chercheur) {
    std::vector<int8_t> verdicts;  // per text id: -1 not decided yet
    chercheur.decider_tous(F.textes, verdicts);
    std::vector<uint32_t> trouvees;
    Interruptible interruption;
    for (size_t k = 0; k < valeurs.size(); ++k) {
        interruption();
        const int32_t id = valeurs[k];
        if (id == 0) continue;
        int8_t &v = verdicts[(size_t)id];
        if (v < 0) v = chercheur.trouve_texte(F.textes.texte(id));
        if (v) trouvees.push_back((uint32_t)k);
    }
    return trouvees;
}

// The scan over the table of an index (see TableEntrees), into `sortie`. False when the
// table cannot answer.
bool rechercher_table(ClesIndex &ci, Fiches &F, uint8_t groupe, Chercheur &chercheur, long long lim, nb::list &sortie) {
    TableEntrees *t = table_de(ci.valeurs, ci.table, F, groupe | G_TRI | G_FREQ);
    if (!t) return false;
    Resultats res(F);
    for (uint32_t k : balayer(groupe == G_VAL_ORTHO ? t->valeurs_ortho : t->valeurs_phone, F, chercheur))
        res.garder_fige(t->entrees[k], t->fiches[k], false);
    sortie = res.trier(lim);
    return true;
}

nb::list rechercher(nb::handle index, nb::handle pattern, nb::handle champ, nb::handle limite) {
    exiger_dict(index, "index");
    exiger_str(pattern, "pattern");
    exiger_str(champ, "champ");
    long long lim = entier_arg(limite, "limite");
    nb::module_ re = nb::module_::import_("re");
    nb::object rx;
    try {
        rx = re.attr("compile")(pattern, re.attr("IGNORECASE"));
    } catch (nb::python_error &e) {
        if (!e.matches(re.attr("error"))) throw;
        return nb::list();
    }
    Chercheur chercheur(rx, pattern.ptr());
    AppelFiches appel;
    Fiches &F = *appel;
    // The spelling or the pronunciation is kept in the table as a text id, and the
    // verdict is decided once per distinct text in this call.
    const uint8_t groupe = str_egal(champ.ptr(), noms().ortho)   ? G_VAL_ORTHO
                           : str_egal(champ.ptr(), noms().phone) ? G_VAL_PHONE
                                                                 : 0;
    // A first scan reads the dicts; the table of the index answers the next ones. A
    // pattern outside the subset reads the dicts on every call.
    ClesIndex *ci = groupe && chercheur.simple() ? cles_index(index.ptr()) : nullptr;
    nb::list sortie;
    if (ci && ci->parcours++ > 0 && rechercher_table(*ci, F, groupe, chercheur, lim, sortie)) return sortie;
    Resultats res(F);
    pour_chaque_cle(index.ptr(), [&](PyObject *, PyObject *entrees) {
        pour_chaque_entree(entrees, [&](PyObject *e) {
            nb::object v = valeur_champ(e, champ.ptr());
            if (!vrai(v.ptr())) return;
            if (!PyUnicode_Check(v.ptr())) {
                v = en_texte(v.ptr());
                if (PyUnicode_GET_LENGTH(v.ptr()) == 0) return;
            }
            if (chercheur.trouve(v.ptr())) res.garder(e, false);
        });
    });
    return res.trier(lim);
}

nb::list anagrammes(nb::handle ortho_index, nb::handle mot, nb::handle limite) {
    exiger_dict(ortho_index, "ortho_index");
    exiger_str(mot, "mot");
    long long lim = entier_arg(limite, "limite");

    nb::object mot_lower = mot.attr("strip")().attr("lower")();
    std::u32string ref, lettres;
    points_de(mot_lower.ptr(), ref);
    std::sort(ref.begin(), ref.end());
    const Py_ssize_t n = (Py_ssize_t)ref.size();
    nb::object ref_liste;  // sorted(mot_lower), for keys that are not texts

    nb::list resultats;
    pour_chaque_cle(ortho_index.ptr(), [&](PyObject *cle, PyObject *entrees) {
        bool meme;
        if (PyUnicode_Check(cle)) {
            // Keys of another length cannot hold the same characters.
            if (PyUnicode_GET_LENGTH(cle) != n) return;
            if (str_egal(cle, mot_lower.ptr())) return;
            points_de(cle, lettres);
            std::sort(lettres.begin(), lettres.end());
            meme = lettres == ref;
        } else {
            int eg = PyObject_RichCompareBool(cle, mot_lower.ptr(), Py_EQ);
            if (eg < 0) throw nb::python_error();
            if (eg) return;
            if (!ref_liste.is_valid()) ref_liste = nb::steal(PySequence_List(mot_lower.ptr()));
            if (!ref_liste.is_valid() || PyList_Sort(ref_liste.ptr()) < 0) throw nb::python_error();
            nb::object l = nb::steal(PySequence_List(cle));
            if (!l.is_valid() || PyList_Sort(l.ptr()) < 0) throw nb::python_error();
            int r = PyObject_RichCompareBool(l.ptr(), ref_liste.ptr(), Py_EQ);
            if (r < 0) throw nb::python_error();
            meme = r != 0;
        }
        if (!meme || !vrai(entrees)) return;
        nb::object premiere = nb::steal(PyList_CheckExact(entrees) ? Py_NewRef(PyList_GET_ITEM(entrees, 0))
                                                                   : PyObject_GetItem(entrees, nb::int_(0).ptr()));
        if (!premiere.is_valid()) throw nb::python_error();
        if (PyList_Append(resultats.ptr(), premiere.ptr()) < 0) throw nb::python_error();
    });
    return trier_par_frequence(resultats, lim);
}

}  // namespace

NB_MODULE(_recherche, m) {
    brivane::py::lier_reglage(m);
    m.doc() = "Fonctions de recherche : rechercher, filtrer, anagrammes.";

    m.def("rechercher", &rechercher, nb::arg("index").none(), nb::arg("pattern").none(),
          nb::arg("champ").none() = "ortho", nb::arg("limite").none() = 50,
          nb::sig("def rechercher(index: dict, pattern: str, champ: str = \"ortho\", limite: int = 50) "
                  "-> list[dict]"),
          "Regex sur ortho ou phone.\n\n"
          "Args:\n"
          "    index: Index (ortho ou phone) -> [entrees]\n"
          "    pattern: Expression reguliere a chercher\n"
          "    champ: Champ a tester (\"ortho\" ou \"phone\")\n"
          "    limite: Nombre max de resultats\n\n"
          "Returns:\n"
          "    Liste d'entrees correspondantes, triees par frequence");

    m.def("anagrammes", &anagrammes, nb::arg("ortho_index").none(), nb::arg("mot").none(),
          nb::arg("limite").none() = 50,
          nb::sig("def anagrammes(ortho_index: dict, mot: str, limite: int = 50) -> list[dict]"),
          "Mots avec les memes lettres rearrangees.\n\n"
          "Exclut le mot lui-meme. Trie par frequence.\n\n"
          "Args:\n"
          "    ortho_index: Index ortho -> [entrees]\n"
          "    mot: Mot de reference\n"
          "    limite: Nombre max de resultats\n\n"
          "Returns:\n"
          "    Liste d'entrees anagrammes");

    definir_nb_syllabes(m, nom_nb_syllabes);

    enregistrer_filtrer(m, &nom_nb_syllabes);
}
