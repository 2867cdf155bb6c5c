// Phonetic queries over an in-memory index: rhymes, sound containment, syllable counts.
#include "_recherche_cache.hpp"
#include "_texte.hpp"

#include "recherche_motif.hpp"

#include <algorithm>
#include <optional>
#include <vector>

namespace nb = nanobind;
using namespace brivane::py;

namespace {

PyObject *module_phonetique = nullptr;  // borrowed: the module outlives its functions
NomLie nom_tokenize;                    // _tokenize_ipa, taken from _utils
bool tokenize_lie = false;
NomLie nom_nb_syllabes;                 // this module's own _get_nb_syllabes

bool tokenize_cpp = false;             // the bound object is _utils' own compiled function

// True for the compiled _tokenize_ipa of _utils, whose answers the C++ segmentation
// of this build reproduces: a compiled function object (Python code cannot make
// one) carrying that module and name. A replacement installed in _utils before this
// module was imported is a different object and is called as it is.
bool est_segmenteur_cpp(PyObject *f) {
    nb::object nous = nb::borrow(PyDict_GetItemString(PyModule_GetDict(module_phonetique), "rimes"));
    if (!nous.is_valid() || Py_TYPE(f) != Py_TYPE(nous.ptr())) return false;
    nb::object mod = nb::steal(PyObject_GetAttrString(f, "__module__"));
    nb::object nom = nb::steal(PyObject_GetAttrString(f, "__name__"));
    if (!mod.is_valid() || !nom.is_valid()) {
        PyErr_Clear();
        return false;
    }
    return PyUnicode_Check(mod.ptr()) && PyUnicode_Check(nom.ptr()) &&
           PyUnicode_CompareWithASCIIString(mod.ptr(), "brivane_lexique._utils") == 0 &&
           PyUnicode_CompareWithASCIIString(nom.ptr(), "_tokenize_ipa") == 0;
}

void lier_tokenize(bool a_l_import) {
    nb::module_ m = nb::borrow<nb::module_>(module_phonetique);
    nb::object utils = nb::module_::import_("brivane_lexique._utils");
    PyObject *f = PyObject_GetAttrString(utils.ptr(), "_tokenize_ipa");
    if (!f) {
        if (a_l_import && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();  // bound on first use instead
            return;
        }
        throw nb::python_error();
    }
    nb::object fo = nb::steal(f);
    tokenize_cpp = est_segmenteur_cpp(fo.ptr());
    nom_tokenize.lier(m, "_tokenize_ipa", fo);
    tokenize_lie = true;
}

// Current _tokenize_ipa of the module; `original` tells whether it is still the
// compiled segmentation bound at import, which C++ may then apply directly.
nb::object tokenize_courant(bool &original) {
    if (!tokenize_lie) {
        PyObject *d = PyModule_GetDict(module_phonetique);
        if (PyObject *c = PyDict_GetItemString(d, "_tokenize_ipa")) {
            original = false;
            return nb::borrow(c);
        }
        lier_tokenize(false);
    }
    original = tokenize_cpp && nom_tokenize.original();
    return nom_tokenize.objet();
}

nb::object appeler(PyObject *f, PyObject *texte) {
    PyObject *r = PyObject_CallOneArg(f, texte);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// segments[-nb_phonemes:], refusing objects that cannot be sliced.
nb::object tranche_fin(PyObject *segments, long long nb_phonemes) {
    PyMappingMethods *mp = Py_TYPE(segments)->tp_as_mapping;
    if (!mp || !mp->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(segments)->tp_name);
        throw nb::python_error();
    }
    nb::object debut = nb::steal(nb_phonemes == LLONG_MIN ? PyLong_FromLongLong(LLONG_MAX)
                                                           : PyLong_FromLongLong(-nb_phonemes));
    nb::object tranche = nb::steal(PySlice_New(debut.ptr(), Py_None, Py_None));
    PyObject *r = PyObject_GetItem(segments, tranche.ptr());
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// Index of the first segment of the end-relative slice, for a list of c segments.
inline long long debut_tranche(long long c, long long nb_phonemes) {
    if (nb_phonemes > 0) return c - nb_phonemes;
    long long d = nb_phonemes == LLONG_MIN ? LLONG_MAX : -nb_phonemes;
    return d < c ? d : c;
}

// Code points of a str.
std::vector<Py_UCS4> points_de(PyObject *s) {
    std::vector<Py_UCS4> p((size_t)PyUnicode_GET_LENGTH(s));
    int kind = PyUnicode_KIND(s);
    const void *d = PyUnicode_DATA(s);
    for (size_t i = 0; i < p.size(); ++i) p[i] = PyUnicode_READ(kind, d, (Py_ssize_t)i);
    return p;
}

// The reference suffix: segment ends relative to the start of the slice, and the
// code points of the slice.
struct Suffixe {
    std::vector<uint32_t> fins;
    std::vector<Py_UCS4> lettres;
};

Suffixe suffixe_de(const std::vector<Py_UCS4> &texte, const std::vector<size_t> &fins, long long nb_phonemes) {
    Suffixe s;
    long long c = (long long)fins.size(), d = debut_tranche(c, nb_phonemes);
    size_t origine = d == 0 ? 0 : fins[(size_t)d - 1];
    for (long long i = d; i < c; ++i) s.fins.push_back((uint32_t)(fins[(size_t)i] - origine));
    s.lettres.assign(texte.begin() + (std::ptrdiff_t)origine, texte.end());
    return s;
}

// Same end-relative slice of segments as the reference, for a key given by its
// code points and segment ends.
template <class F>
bool meme_suffixe(const Py_UCS4 *texte, size_t n, const F *fins, long long c, long long nb_phonemes,
                  const Suffixe &s) {
    if (nb_phonemes > 0 && c < nb_phonemes) return false;
    long long d = debut_tranche(c, nb_phonemes);
    if ((size_t)(c - d) != s.fins.size()) return false;
    size_t origine = d == 0 ? 0 : (size_t)fins[d - 1];
    if (n - origine != s.lettres.size()) return false;
    // The last characters differ for most keys: test them first.
    for (size_t i = n; i-- > origine;)
        if (texte[i] != s.lettres[i - origine]) return false;
    for (size_t j = 0; j < s.fins.size(); ++j)
        if ((size_t)fins[d + (long long)j] - origine != s.fins[j]) return false;
    return true;
}

// The generic rhyme test through Python objects: len() then the slice comparison.
bool rime_generique(PyObject *segments, long long nb_phonemes, PyObject *suffixe) {
    Py_ssize_t n = PyObject_Size(segments);
    if (n < 0) throw nb::python_error();
    if (nb_phonemes > 0 && (long long)n < nb_phonemes) return false;
    nb::object t = tranche_fin(segments, nb_phonemes);
    int d = PyObject_RichCompareBool(t.ptr(), suffixe, Py_NE);
    if (d < 0) throw nb::python_error();
    return d == 0;
}

// Hash of an end-relative slice: its code points and its segment ends relative to
// its start. Equal slices hash equally; candidates are still compared exactly.
template <class F>
uint64_t hash_suffixe(const Py_UCS4 *texte, size_t n, const F *fins, size_t nb_fins, size_t origine) {
    uint64_t h = 0xcbf29ce484222325ull;
    auto melanger = [&h](uint64_t x) { h = (h ^ x) * 0x100000001b3ull; h ^= h >> 29; };
    melanger(n - origine);
    for (size_t i = origine; i < n; ++i) melanger(texte[i]);
    for (size_t j = 0; j < nb_fins; ++j) melanger(((uint64_t)1 << 40) | ((size_t)fins[j] - origine));
    return h;
}

// The text keys of one index snapshot grouped by the hash of their slice for one
// nb_phonemes, in index order within a group; the other keys apart, since only
// their own test can decide them. Keys with too few segments are in no group.
struct GroupesRimes {
    PyObject *index = nullptr;  // address only, with the version it describes
    uint64_t version = 0;
    long long nb_phonemes = 0;
    uint64_t usage = 0;
    std::vector<uint64_t> hashs;  // sorted
    std::vector<uint32_t> cles;   // key number of each hash
    std::vector<uint32_t> autres;
};

// A few groupings, the least recently used replaced (about 2.3 MB each on a full
// lexicon's phone index).
GroupesRimes &groupes_rimes(PyObject *d, ClesIndex &ci, long long nb_phonemes) {
    static std::vector<GroupesRimes> *tous = new std::vector<GroupesRimes>(4);
    static uint64_t horloge = 0;
    GroupesRimes *libre = &(*tous)[0];
    for (GroupesRimes &g : *tous) {
        if (g.index == d && g.version == ci.version && g.nb_phonemes == nb_phonemes && g.usage) {
            g.usage = ++horloge;
            return g;
        }
        if (g.usage < libre->usage) libre = &g;
    }
    GroupesRimes &g = *libre;
    ci.segmenter();
    std::vector<std::pair<uint64_t, uint32_t>> paires;
    paires.reserve(ci.cles.size());
    g.autres.clear();
    for (size_t i = 0; i < ci.cles.size(); ++i) {
        if (!ci.texte[i]) {
            g.autres.push_back((uint32_t)i);
            continue;
        }
        const uint32_t *fins = ci.fins.data() + ci.debut_fins[i];
        long long c = (long long)(ci.debut_fins[i + 1] - ci.debut_fins[i]);
        if (nb_phonemes > 0 && c < nb_phonemes) continue;
        long long debut = debut_tranche(c, nb_phonemes);
        size_t origine = debut == 0 ? 0 : (size_t)fins[debut - 1];
        paires.emplace_back(hash_suffixe(ci.points.data() + ci.debuts[i], ci.debuts[i + 1] - ci.debuts[i],
                                         fins + debut, (size_t)(c - debut), origine),
                            (uint32_t)i);
    }
    std::sort(paires.begin(), paires.end());
    g.hashs.resize(paires.size());
    g.cles.resize(paires.size());
    for (size_t k = 0; k < paires.size(); ++k) g.hashs[k] = paires[k].first, g.cles[k] = paires[k].second;
    g.hashs.shrink_to_fit(), g.cles.shrink_to_fit();
    g.index = d;
    g.version = ci.version;
    g.nb_phonemes = nb_phonemes;
    g.usage = ++horloge;
    return g;
}

nb::list rimes(nb::handle phone_index, nb::handle mot_phone, nb::handle nb_phonemes_h, nb::handle limite_h) {
    exiger_dict(phone_index, "phone_index");
    exiger_str(mot_phone, "mot_phone");
    long long nb_phonemes = entier_arg(nb_phonemes_h, "nb_phonemes");
    long long limite = entier_arg(limite_h, "limite");
    if (PyUnicode_GET_LENGTH(mot_phone.ptr()) == 0) return nb::list();

    bool original = false;
    nb::object f = tokenize_courant(original);
    AppelFiches appel;
    Resultats res(*appel);
    PyObject *d = phone_index.ptr();

    if (original) {
        // The compiled segmentation applied here gives exactly the segments that
        // _utils._tokenize_ipa would return; the keys' segmentations are kept with
        // the index snapshot, so a repeated query only compares code points.
        std::vector<size_t> fins;
        fins_segments_py(mot_phone.ptr(), fins);
        if (nb_phonemes > 0 && (long long)fins.size() < nb_phonemes) return nb::list();
        std::vector<Py_UCS4> ref = points_de(mot_phone.ptr());
        Suffixe s = suffixe_de(ref, fins, nb_phonemes);
        nb::object suffixe_liste;  // only for keys that are not exact str
        std::vector<size_t> fins_cle;
        ClesIndex &ci = cles_index(d);
        ci.segmenter();
        auto rime = [&](size_t i) {
            return meme_suffixe(ci.points.data() + ci.debuts[i], ci.debuts[i + 1] - ci.debuts[i],
                                ci.fins.data() + ci.debut_fins[i],
                                (long long)(ci.debut_fins[i + 1] - ci.debut_fins[i]), nb_phonemes, s);
        };
        // The keys that can rhyme come from the grouping (built on the first call for
        // this snapshot and nb_phonemes), merged in index order with the keys that
        // are not exact str; each is still compared exactly.
        std::vector<uint32_t> retenues;
        {
            GroupesRimes &g = groupes_rimes(d, ci, nb_phonemes);
            uint64_t h = hash_suffixe(s.lettres.data(), s.lettres.size(), s.fins.data(), s.fins.size(), 0);
            auto [a, b] = std::equal_range(g.hashs.begin(), g.hashs.end(), h);
            size_t k = (size_t)(a - g.hashs.begin()), fin = (size_t)(b - g.hashs.begin()), x = 0;
            while (k < fin || x < g.autres.size()) {
                if (x < g.autres.size() && (k == fin || g.autres[x] < g.cles[k])) {
                    retenues.push_back(g.autres[x++]);
                } else {
                    uint32_t i = g.cles[k++];
                    if (rime(i)) retenues.push_back(i);
                }
            }
        }
        parcourir_retenues(
            d, ci, ci.version, PyDict_GET_SIZE(d), retenues,
            [&](PyObject *cle) {
                if (PyUnicode_CheckExact(cle)) {
                    fins_segments_py(cle, fins_cle);
                    std::vector<Py_UCS4> p = points_de(cle);
                    return meme_suffixe(p.data(), p.size(), fins_cle.data(), (long long)fins_cle.size(),
                                        nb_phonemes, s);
                }
                // The compiled tokenizer refuses anything else: its own error is raised.
                nb::object segs = appeler(f.ptr(), cle);
                if (!suffixe_liste.is_valid()) {
                    nb::object ref_segs = appeler(f.ptr(), mot_phone.ptr());
                    suffixe_liste = tranche_fin(ref_segs.ptr(), nb_phonemes);
                }
                return rime_generique(segs.ptr(), nb_phonemes, suffixe_liste.ptr());
            },
            [&](PyObject *, PyObject *entrees, ClesIndex *c, size_t i) { garder_entrees(*appel, entrees, res, c, i); });
        return res.trier(limite);
    }

    // A tokenizer replaced by the caller: called once on the reference and once per
    // key, in index order.
    res.python_a_tourne();
    nb::object segments = appeler(f.ptr(), mot_phone.ptr());
    Py_ssize_t n = PyObject_Size(segments.ptr());
    if (n < 0) throw nb::python_error();
    if (nb_phonemes > 0 && (long long)n < nb_phonemes) return nb::list();
    nb::object suffixe = tranche_fin(segments.ptr(), nb_phonemes);
    pour_chaque_cle(d, [&](PyObject *cle, PyObject *entrees) {
        nb::object segs = appeler(f.ptr(), cle);
        if (rime_generique(segs.ptr(), nb_phonemes, suffixe.ptr())) garder_entrees(*appel, entrees, res);
    });
    return res.trier(limite);
}

// Plain substring test on code units of two kinds.
template <class H, class A> bool contient(const H *h, size_t n, const A *a, size_t m) {
    if (m > n) return false;
    const H premier = (H)a[0];
    for (size_t i = 0; i + m <= n; ++i) {
        if (h[i] != premier) continue;
        size_t j = 1;
        while (j < m && h[i + j] == (H)a[j]) ++j;
        if (j == m) return true;
    }
    return false;
}

bool str_contient(PyObject *h, PyObject *a) {
    int kh = PyUnicode_KIND(h), ka = PyUnicode_KIND(a);
    // A wider needle holds a code point the haystack cannot hold.
    if (ka > kh) return false;
    size_t n = (size_t)PyUnicode_GET_LENGTH(h), m = (size_t)PyUnicode_GET_LENGTH(a);
    const void *dh = PyUnicode_DATA(h), *da = PyUnicode_DATA(a);
    auto u8 = [](const void *p) { return static_cast<const Py_UCS1 *>(p); };
    auto u16 = [](const void *p) { return static_cast<const Py_UCS2 *>(p); };
    auto u32 = [](const void *p) { return static_cast<const Py_UCS4 *>(p); };
    if (kh == 1) return contient(u8(dh), n, u8(da), m);
    if (kh == 2) return ka == 1 ? contient(u16(dh), n, u8(da), m) : contient(u16(dh), n, u16(da), m);
    if (ka == 1) return contient(u32(dh), n, u8(da), m);
    if (ka == 2) return contient(u32(dh), n, u16(da), m);
    return contient(u32(dh), n, u32(da), m);
}

nb::list contient_son(nb::handle phone_index, nb::handle son, nb::handle limite_h) {
    exiger_dict(phone_index, "phone_index");
    exiger_str(son, "son");
    long long limite = entier_arg(limite_h, "limite");
    if (PyUnicode_GET_LENGTH(son.ptr()) == 0) return nb::list();
    AppelFiches appel;
    Resultats res(*appel);
    PyObject *d = phone_index.ptr();
    std::vector<Py_UCS4> aiguille = points_de(son.ptr());
    ClesIndex &ci = cles_index(d);
    ci.lire_textes();
    // The text keys holding the sound: one pass over their code points laid end to
    // end, from one occurrence of its first one or two code points to the next.
    const size_t nb_cles = ci.cles.size(), m = aiguille.size(), total = ci.points.size();
    std::vector<uint8_t> contient_le_son(nb_cles, 0);
    const Py_UCS4 *p = ci.points.data();
    for (size_t pos = 0, cle = 0;;) {
        pos += m == 1 ? brivane::trouver_point(p + pos, total - pos, aiguille[0])
                      : brivane::trouver_paire(p + pos, total - pos, aiguille[0], aiguille[1]);
        if (pos + m > total) break;
        while (ci.debuts[cle + 1] <= pos) ++cle;  // the key holding pos
        const size_t fin = ci.debuts[cle + 1];
        if (pos + m <= fin && std::equal(aiguille.begin() + 1, aiguille.end(), p + pos + 1)) {
            contient_le_son[cle] = 1;
            pos = fin;
        } else {
            ++pos;
        }
    }
    std::vector<uint32_t> retenues;
    for (size_t i = 0; i < nb_cles; ++i)
        if (!ci.texte[i] || contient_le_son[i]) retenues.push_back((uint32_t)i);
    parcourir_retenues(
        d, ci, ci.version, PyDict_GET_SIZE(d), retenues,
        [&](PyObject *cle) {
            if (PyUnicode_CheckExact(cle)) return str_contient(cle, son.ptr());
            int r = PySequence_Contains(cle, son.ptr());
            if (r < 0) throw nb::python_error();
            return r != 0;
        },
        [&](PyObject *, PyObject *entrees, ClesIndex *c, size_t i) { garder_entrees(*appel, entrees, res, c, i); });
    return res.trier(limite);
}

nb::list mots_par_syllabes(nb::handle ortho_index, nb::handle n_h, nb::handle cgram, nb::handle limite_h) {
    exiger_dict(ortho_index, "ortho_index");
    long long n = entier_arg(n_h, "n");
    exiger_str_ou_none(cgram, "cgram");
    long long limite = entier_arg(limite_h, "limite");
    nb::object n_objet = nb::steal(PyLong_FromLongLong(n));
    const NomsChamps &k = noms();
    AppelFiches appel;
    Fiches &F = *appel;
    Resultats res(F);
    const bool avec_cgram = !cgram.is_none();
    // Prefix verdict per part-of-speech text id, decided once per call.
    std::vector<int8_t> prefixe;

    LienOriginal syll_cpp(nom_nb_syllabes, PyModule_GetDict(module_phonetique));
    // Decided ahead, for a large index: valid until Python code may have run.
    using Avance = DecisionsAvance;
    std::optional<Avance> avance;
    if (syll_cpp()) {
        ClesIndex &ci = cles_index(ortho_index.ptr());
        auto decider = [&](PyObject *, int32_t h, std::vector<int8_t> &pf) -> int32_t {
            const Tete &t = F.tetes[(size_t)h];
            if (!(t.prets & G_SYLL) || (t.vivants & G_SYLL)) return Avance::INDECISE;
            if (avec_cgram) {
                const int32_t c = F.cgram[(size_t)h];
                if ((size_t)c >= pf.size()) pf.resize(F.textes.taille(), -1);
                int8_t &p = pf[(size_t)c];
                if (p < 0) p = F.textes.commence_par(c, cgram.ptr());
                if (!p) return Avance::REJETEE;
            }
            if (!t.syll_ok || F.syll[(size_t)h] != n) return Avance::REJETEE;
            // Kept with its sort key known and a spelling key that needs no Python code.
            return (t.prets & G_TRI) && F.ortho[(size_t)h] >= 0 ? h : Avance::INDECISE;
        };
        if (Avance::utile(ci) && Avance::rentable(ci, F, 0, prefixe, decider))
            avance.emplace(ci, F, 0, prefixe, decider);
    }
    auto perimer = [&] { avance.reset(); };

    // The entry as it is now, through the module's current _get_nb_syllabes.
    auto vivant = [&](PyObject *e, int32_t fi) {
        perimer();
        res.python_a_tourne();
        if (avec_cgram) {
            nb::object t = texte_champ(e, k.cgram);
            bool ok;
            if (PyUnicode_CheckExact(t.ptr())) {
                ok = str_commence_par(t.ptr(), cgram.ptr());
            } else {
                nb::object r = nb::steal(PyObject_CallMethod(t.ptr(), "startswith", "O", cgram.ptr()));
                if (!r.is_valid()) throw nb::python_error();
                ok = vrai(r.ptr());
            }
            if (!ok) return;
        }
        if (nb_syllabes_differe(nom_nb_syllabes, e, n, n_objet.ptr())) return;
        if (fi >= 0 && !F.valide(fi, e)) fi = F.obtenir(e, G_TRI);
        if (fi >= 0) F.assurer(fi, G_TRI);
        if (res.dedoublonner(e, fi, true)) res.ajouter(e, fi);
    };

    parcourir_valeurs(ortho_index.ptr(), [&](PyObject *entrees, ClesIndex *ci, size_t cle) {
        nb::object liste_tenue;  // taken before any Python code may run
        // A key decided ahead is read from the decisions alone while they hold.
        size_t debut = 0;
        Py_ssize_t m = 0;
        const bool decide = ci && avance && avance->slots(*ci, cle, debut, m);
        if (!decide && !PyList_CheckExact(entrees)) {
            liste_tenue = nb::borrow(entrees);
            pour_chaque_entree(entrees, [&](PyObject *e) { vivant(e, F.obtenir(e, G_SYLL)); });
            return true;
        }
        for (Py_ssize_t i = 0; i < (decide && avance ? m : PyList_GET_SIZE(entrees)); ++i) {
            if (decide && avance) {
                const int32_t r = avance->lire(F, debut + (size_t)i);
                if (r == Avance::REJETEE) continue;
                if (r >= 0) {
                    PyObject *e = F.tetes[(size_t)r].e;
                    if (res.dedoublonner(e, r, true)) res.ajouter(e, r);
                    continue;
                }
            }
            PyObject *e = PyList_GET_ITEM(entrees, i);
            int32_t fi = F.obtenir(e, G_SYLL, ci ? ci->conseil(cle, i) : nullptr);
            if (fi < 0 || (F.tetes[(size_t)fi].vivants & G_SYLL) || !syll_cpp()) {
                if (!liste_tenue.is_valid()) liste_tenue = nb::borrow(entrees);
                nb::object tenu = nb::borrow(e);
                vivant(e, fi);
                continue;
            }
            const size_t r = (size_t)fi;
            if (avec_cgram) {
                int32_t c = F.cgram[r];
                if ((size_t)c >= prefixe.size()) prefixe.resize(F.textes.taille(), -1);
                int8_t &p = prefixe[(size_t)c];
                if (p < 0) p = F.textes.commence_par(c, cgram.ptr());
                if (!p) continue;
            }
            if (!F.tetes[r].syll_ok || F.syll[r] != n) continue;
            F.assurer(fi, G_TRI);
            if (F.ortho[r] < 0) {
                if (!liste_tenue.is_valid()) liste_tenue = nb::borrow(entrees);
                nb::object tenu = nb::borrow(e);
                perimer();
                if (res.dedoublonner(e, fi, true)) res.ajouter(e, fi);
            } else if (res.dedoublonner(e, fi, true)) {
                res.ajouter(e, fi);
            }
        }
        return liste_tenue.is_valid();
    }, !avance, [&](size_t cle) { return avance && avance->cles[cle] == Avance::REJETEE_TOUTE; });
    return res.trier(limite);
}

}  // namespace

NB_MODULE(_phonetique, m) {
    brivane::py::lier_reglage(m);
    m.doc() = "Fonctions de phonetique : rimes, contient_son, mots_par_syllabes.";
    module_phonetique = m.ptr();

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

    m.def("_get_nb_syllabes", [](nb::handle entry) { return nb_syllabes_objet(entry.ptr()); },
          nb::arg("entry").none(), nb::sig("def _get_nb_syllabes(entry: dict) -> int | None"),
          "Extrait le nombre de syllabes d'une entree.");
    nom_nb_syllabes.lier(m, "_get_nb_syllabes", m.attr("_get_nb_syllabes"));

    lier_tokenize(true);
}
