// Pattern search and anagrams over an in-memory index.
#include "_recherche_cache.hpp"

#include "recherche_motif.hpp"

#include <algorithm>
#include <optional>
#include <unordered_map>
#include <vector>

namespace nb = nanobind;
using namespace brivane::py;

namespace {

// _get_nb_syllabes as bound in this module (filtrer calls it through the module).
NomLie nom_nb_syllabes;

struct ModuleRe {
    PyObject *compile = nullptr, *erreur = nullptr, *ignorecase = nullptr, *search = nullptr;
};
const ModuleRe &module_re() {
    static const ModuleRe r = [] {
        ModuleRe m;
        nb::module_ re = nb::module_::import_("re");
        m.compile = nb::object(re.attr("compile")).release().ptr();
        m.erreur = nb::object(re.attr("error")).release().ptr();
        m.ignorecase = nb::object(re.attr("IGNORECASE")).release().ptr();
        m.search = PyUnicode_InternFromString("search");
        return m;
    }();
    return r;
}

// The case rules of the host's engine for case-insensitive str patterns: simple
// lower case as _sre applies it to the text, "cased" as _sre.unicode_iscased, and
// the extra equivalences the compiler adds (re._compiler._EXTRA_CASES). nullptr
// when that table cannot be found: every pattern then goes to the host's engine.
const brivane::RegleCasse *regle_casse() {
    static const brivane::RegleCasse *r = []() -> const brivane::RegleCasse * {
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
        auto *regle = new brivane::RegleCasse();
        regle->minuscule = [](uint32_t c) { return (uint32_t)Py_UNICODE_TOLOWER((Py_UCS4)c); };
        regle->a_casse = [](uint32_t c) {
            return (uint32_t)Py_UNICODE_TOLOWER((Py_UCS4)c) != c || (uint32_t)Py_UNICODE_TOUPPER((Py_UCS4)c) != c;
        };
        regle->equivalents = [extras](uint32_t c, std::vector<uint32_t> &out) {
            auto it = extras->find(c);
            if (it != extras->end()) out = it->second;
        };
        return regle;
    }();
    return r;
}

// Simple lower case (the one _sre applies to the text) of every BMP code point,
// computed once.
const uint32_t *minuscules_bmp() {
    static const uint32_t *t = [] {
        auto *v = new uint32_t[0x10000];
        for (uint32_t c = 0; c < 0x10000; ++c) v[c] = (uint32_t)Py_UNICODE_TOLOWER((Py_UCS4)c);
        return v;
    }();
    return t;
}

// Verdict of the pattern on one value. Literal patterns over Latin-1 texts, then
// the subset of core/recherche_motif.hpp over any text, are answered in C++; the
// rest goes to the compiled expression. For the values met outside the records,
// entries of one key often share their value object, so the last verdict is
// reused for the same object.
class Chercheur {
public:
    Chercheur(nb::object rx, PyObject *motif) {
        search_ = nb::steal(PyObject_GetAttr(rx.ptr(), module_re().search));
        if (!search_.is_valid()) throw nb::python_error();
        std::vector<uint32_t> cp((size_t)PyUnicode_GET_LENGTH(motif));
        int kind = PyUnicode_KIND(motif);
        const void *d = PyUnicode_DATA(motif);
        for (size_t i = 0; i < cp.size(); ++i) cp[i] = PyUnicode_READ(kind, d, (Py_ssize_t)i);
        litteral_ = brivane::analyser_motif(cp.data(), cp.size());
        if (const brivane::RegleCasse *c = regle_casse()) {
            simple_ = brivane::analyser_motif_simple(cp.data(), cp.size(), *c);
            minuscules_bmp();  // made here, before any other thread may need it
        }
    }

    bool trouve(PyObject *v) {
        if (!PyUnicode_CheckExact(v)) return appeler(v);
        if (litteral_ && PyUnicode_KIND(v) == PyUnicode_1BYTE_KIND)
            return brivane::chercher_motif(*litteral_, PyUnicode_1BYTE_DATA(v), (size_t)PyUnicode_GET_LENGTH(v));
        if (simple_) {
            Py_ssize_t n = PyUnicode_GET_LENGTH(v);
            int kind = PyUnicode_KIND(v);
            const void *d = PyUnicode_DATA(v);
            points_.resize((size_t)n);
            for (Py_ssize_t i = 0; i < n; ++i) points_[(size_t)i] = PyUnicode_READ(kind, d, i);
            return trouve_simple(points_.data(), (size_t)n);
        }
        if (v == dernier_.ptr()) return verdict_;
        verdict_ = appeler(v);
        dernier_ = nb::borrow(v);
        return verdict_;
    }

    // Verdict on a text given by its code points, for literal patterns over Latin-1
    // texts; -1 when the compiled expression must decide.
    int trouve_points(const Py_UCS4 *p, size_t n) { return trouve_points(p, n, octets_); }
    // The same, with a buffer of the caller's: plain C++ that reads nothing of the
    // host's objects, so that another thread may run it.
    int trouve_points(const Py_UCS4 *p, size_t n, std::vector<unsigned char> &octets) const {
        if (litteral_ && litteral_->debut && !litteral_->fin) {
            // Anchored at the start only: the first characters decide.
            const std::string &c = litteral_->corps;
            if (n < c.size()) return 0;
            size_t i = 0;
            for (; i < c.size() && p[i] <= 0xFF; ++i)
                if (brivane::minuscule_latin1((unsigned char)p[i]) != (unsigned char)c[i]) return 0;
            if (i == c.size()) return 1;
        }
        if (litteral_) {
            octets.resize(n);
            size_t i = 0;
            for (; i < n && p[i] <= 0xFF; ++i) octets[i] = (unsigned char)p[i];
            if (i == n) return brivane::chercher_motif(*litteral_, octets.data(), n);
        }
        if (simple_) return trouve_simple(reinterpret_cast<const uint32_t *>(p), n);
        return -1;
    }

private:
    bool trouve_simple(const uint32_t *p, size_t n) const {
        return brivane::chercher_simple(*simple_, p, n, minuscules_bmp(),
                                        [](uint32_t c) { return (uint32_t)Py_UNICODE_TOLOWER((Py_UCS4)c); });
    }

    std::optional<brivane::MotifSimple> simple_;
    std::vector<uint32_t> points_;
    std::vector<unsigned char> octets_;
    bool appeler(PyObject *v) {
        PyObject *m = PyObject_CallOneArg(search_.ptr(), v);
        if (!m) throw nb::python_error();
        bool ok = m != Py_None;
        Py_DECREF(m);
        return ok;
    }

    nb::object search_, dernier_;
    bool verdict_ = false;
    std::optional<brivane::MotifLitteral> litteral_;
};

nb::list rechercher(nb::handle index, nb::handle pattern, nb::handle champ, nb::handle limite) {
    exiger_dict(index, "index");
    exiger_str(pattern, "pattern");
    exiger_str(champ, "champ");
    long long lim = entier_arg(limite, "limite");

    const ModuleRe &re = module_re();
    PyObject *rx = PyObject_CallFunctionObjArgs(re.compile, pattern.ptr(), re.ignorecase, nullptr);
    if (!rx) {
        if (PyErr_ExceptionMatches(re.erreur)) {
            PyErr_Clear();
            return nb::list();
        }
        throw nb::python_error();
    }
    Chercheur chercheur(nb::steal(rx), pattern.ptr());
    AppelFiches appel;
    Fiches &F = *appel;
    Resultats res(F);
    // The spelling and the pronunciation are remembered per entry as text ids, and
    // the verdict is decided once per distinct text in this call.
    const uint8_t groupe = str_egal(champ.ptr(), noms().ortho)   ? G_VAL_ORTHO
                           : str_egal(champ.ptr(), noms().phone) ? G_VAL_PHONE
                                                                 : 0;
    std::vector<int8_t> verdicts;

    auto garder = [&](PyObject *e, int32_t fi) {
        if (fi >= 0) F.assurer(fi, G_TRI);
        if (res.dedoublonner(e, fi, false)) res.ajouter(e, fi);
    };
    // Decided ahead, for a large index: valid until Python code may have run.
    using Avance = DecisionsAvance;
    std::optional<Avance> avance;
    if (groupe) {
        ClesIndex &ci = cles_index(index.ptr());
        if (Avance::utile(ci)) {
            // Per thread: the verdict per text id (-1 not known yet, 0 / 1, 2 when
            // only the compiled expression can tell) and a buffer.
            struct Verdicts {
                std::vector<int8_t> v;
                std::vector<unsigned char> tampon;
            };
            const std::vector<int32_t> &valeurs = groupe == G_VAL_ORTHO ? F.val_ortho : F.val_phone;
            const Chercheur &ch = chercheur;
            const Verdicts modele{std::vector<int8_t>(F.textes.taille(), -1), {}};
            auto decider = [&](PyObject *, int32_t h, Verdicts &vd) -> int32_t {
                const Tete &t = F.tetes[(size_t)h];
                if (!(t.prets & groupe) || (t.vivants & groupe)) return Avance::INDECISE;
                const int32_t id = valeurs[(size_t)h];
                if (id < 0) return Avance::REJETEE;
                if ((size_t)id >= vd.v.size()) return Avance::INDECISE;
                int8_t &v = vd.v[(size_t)id];
                if (v < 0) {
                    size_t np;
                    const Py_UCS4 *p = F.textes.points(id, np);
                    const int r = ch.trouve_points(p, np, vd.tampon);
                    v = int8_t(r < 0 ? 2 : r);
                }
                if (v == 0) return Avance::REJETEE;
                // Kept with its sort key known and a spelling key that needs no Python code.
                if (v == 1 && (t.prets & G_TRI) && F.ortho[(size_t)h] >= 0) return h;
                return Avance::INDECISE;
            };
            if (Avance::rentable(ci, F, 0, modele, decider)) avance.emplace(ci, F, 0, modele, decider);
        }
    }
    auto perimer = [&] { avance.reset(); };
    // The entry as it is now, read field by field.
    auto vivant = [&](PyObject *e, int32_t fi) {
        perimer();
        res.python_a_tourne();
        nb::object v = valeur_champ(e, champ.ptr());
        if (est_nul(v) || !vrai(v.ptr())) return;
        if (!PyUnicode_Check(v.ptr())) {
            v = nb::steal(PyObject_Str(v.ptr()));
            if (!v.is_valid()) throw nb::python_error();
            if (PyUnicode_GET_LENGTH(v.ptr()) == 0) return;
        }
        if (!chercheur.trouve(v.ptr())) return;
        if (fi >= 0 && !F.valide(fi, e)) fi = F.obtenir(e, G_TRI);
        garder(e, fi);
    };

    parcourir_valeurs(index.ptr(), [&](PyObject *entrees, ClesIndex *ci, size_t cle) {
        nb::object liste_tenue;  // taken before any Python code may run
        // A key decided ahead is read from the decisions alone while they hold.
        size_t debut = 0;
        Py_ssize_t m = 0;
        const bool decide = ci && avance && avance->slots(*ci, cle, debut, m);
        if (!decide && (!PyList_CheckExact(entrees) || !groupe)) {
            liste_tenue = nb::borrow(entrees);
            pour_chaque_entree(entrees, [&](PyObject *e) { vivant(e, F.obtenir(e, G_TRI)); });
            return true;
        }
        const std::vector<int32_t> &valeurs = groupe == G_VAL_ORTHO ? F.val_ortho : F.val_phone;
        for (Py_ssize_t i = 0; i < (decide && avance ? m : PyList_GET_SIZE(entrees)); ++i) {
            if (decide && avance) {
                const int32_t r = avance->lire(F, debut + (size_t)i);
                if (r == Avance::REJETEE) continue;
                if (r >= 0) {
                    garder(F.tetes[(size_t)r].e, r);
                    continue;
                }
            }
            PyObject *e = PyList_GET_ITEM(entrees, i);
            int32_t fi = F.obtenir(e, groupe, ci ? ci->conseil(cle, i) : nullptr);
            if (fi < 0 || (F.tetes[(size_t)fi].vivants & groupe)) {
                if (!liste_tenue.is_valid()) liste_tenue = nb::borrow(entrees);
                nb::object tenu = nb::borrow(e);
                vivant(e, fi);
                continue;
            }
            int32_t id = valeurs[(size_t)fi];
            if (id < 0) continue;
            if ((size_t)id >= verdicts.size()) verdicts.resize(F.textes.taille(), -1);
            if (verdicts[(size_t)id] < 0) {
                size_t n;
                const Py_UCS4 *p = F.textes.points(id, n);
                int r = chercheur.trouve_points(p, n);
                if (r < 0) {
                    // The value is an exact str (the record says so): the regular
                    // expression engine runs no Python code on it.
                    PyObject *v = PyDict_GetItemWithError(e, champ.ptr());
                    if (!v) throw nb::python_error();
                    r = chercheur.trouve(v);
                }
                verdicts[(size_t)id] = (int8_t)r;
            }
            if (!verdicts[(size_t)id]) continue;
            F.assurer(fi, G_TRI);
            if (F.ortho[(size_t)fi] < 0) {
                if (!liste_tenue.is_valid()) liste_tenue = nb::borrow(entrees);
                nb::object tenu = nb::borrow(e);
                perimer();
                garder(e, fi);
            } else {
                garder(e, fi);
            }
        }
        return liste_tenue.is_valid();
    }, !avance, [&](size_t cle) { return avance && avance->cles[cle] == Avance::REJETEE_TOUTE; });
    return res.trier(lim);
}

// Code points of a str, sorted.
void lettres_triees(PyObject *s, std::vector<Py_UCS4> &out) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void *d = PyUnicode_DATA(s);
    out.resize((size_t)n);
    for (Py_ssize_t i = 0; i < n; ++i) out[(size_t)i] = PyUnicode_READ(kind, d, i);
    std::sort(out.begin(), out.end());
}

nb::list anagrammes(nb::handle ortho_index, nb::handle mot, nb::handle limite) {
    exiger_dict(ortho_index, "ortho_index");
    exiger_str(mot, "mot");
    long long lim = entier_arg(limite, "limite");

    nb::object mot_lower = mot.attr("strip")().attr("lower")();
    std::vector<Py_UCS4> ref, lettres;
    lettres_triees(mot_lower.ptr(), ref);
    const Py_ssize_t n = (Py_ssize_t)ref.size();
    nb::object ref_liste;  // sorted(mot_lower), for keys that are not texts

    nb::list resultats;
    pour_chaque_cle(ortho_index.ptr(), [&](PyObject *cle, PyObject *entrees) {
        bool meme;
        if (PyUnicode_Check(cle)) {
            // Keys of another length cannot hold the same characters.
            if (PyUnicode_GET_LENGTH(cle) != n) return;
            if (str_egal(cle, mot_lower.ptr())) return;
            lettres_triees(cle, lettres);
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
    return trier_par_frequence(std::move(resultats), lim);
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

    m.def("_get_nb_syllabes", [](nb::handle entry) { return nb_syllabes_objet(entry.ptr()); },
          nb::arg("entry").none(), nb::sig("def _get_nb_syllabes(entry: dict) -> int | None"),
          "Extrait le nombre de syllabes d'une entree.");
    nom_nb_syllabes.lier(m, "_get_nb_syllabes", m.attr("_get_nb_syllabes"));

    enregistrer_filtrer(m, &nom_nb_syllabes);
}
