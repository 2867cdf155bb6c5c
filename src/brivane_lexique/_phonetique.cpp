// Phonetic queries over an in-memory index: rhymes, sound containment, syllable counts.
#include "_recherche_commun.hpp"

#include <vector>

namespace nb = nanobind;
using namespace brivane::py;

namespace {

PyObject *module_phonetique = nullptr;  // borrowed: the module outlives its functions
NomLie nom_tokenize;                    // _tokenize_ipa, taken from _utils
bool tokenize_lie = false;
NomLie nom_nb_syllabes;                 // this module's own _get_nb_syllabes

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
    nom_tokenize.lier(m, "_tokenize_ipa", nb::steal(f));
    tokenize_lie = true;
}

// Current _tokenize_ipa of the module; `original` tells whether it is still the
// function bound at import (pure, so its answers may be remembered).
nb::object tokenize_courant(bool &original) {
    if (!tokenize_lie) {
        PyObject *d = PyModule_GetDict(module_phonetique);
        if (PyObject *c = PyDict_GetItemString(d, "_tokenize_ipa")) {
            original = false;
            return nb::borrow(c);
        }
        lier_tokenize(false);
    }
    original = nom_tokenize.original();
    return nom_tokenize.objet();
}

// ---------------------------------------------------------------------------
// Segmentations by the original tokenizer, remembered across calls per key text.
// A segmentation is kept as the end offsets (in code points) of its segments, which
// is exact as long as the segments, joined, give back the text; any other answer
// is not remembered and is handled through the generic path.

struct Segmentation {
    uint32_t debut, nb;  // slice of the pool
};
PyObject *cache_cles = nullptr;  // str -> index into `segmentations` (leaked with the module)
std::vector<uint32_t> pool;
std::vector<Segmentation> segmentations;
constexpr Py_ssize_t CACHE_MAX = 3000000;

// Asks the original tokenizer. When the core segmentation is linked into this
// module, this is the one place to switch: the ends come from brivane::segmenter_ipa
// (byte offsets turned into code point offsets) instead of a call.
nb::object appeler(PyObject *f, PyObject *texte) {
    PyObject *r = PyObject_CallOneArg(f, texte);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// Ends of the segments of a list of str that partitions `texte`; false otherwise.
bool fins_de(PyObject *texte, PyObject *segments, std::vector<uint32_t> &fins) {
    fins.clear();
    if (!PyList_CheckExact(segments)) return false;
    Py_ssize_t pos = 0, n = PyUnicode_GET_LENGTH(texte);
    int kt = PyUnicode_KIND(texte);
    const void *dt = PyUnicode_DATA(texte);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(segments); ++i) {
        PyObject *s = PyList_GET_ITEM(segments, i);
        if (!PyUnicode_CheckExact(s)) return false;
        Py_ssize_t m = PyUnicode_GET_LENGTH(s);
        if (pos + m > n) return false;
        int ks = PyUnicode_KIND(s);
        const void *ds = PyUnicode_DATA(s);
        for (Py_ssize_t j = 0; j < m; ++j)
            if (PyUnicode_READ(ks, ds, j) != PyUnicode_READ(kt, dt, pos + j)) return false;
        pos += m;
        fins.push_back((uint32_t)pos);
    }
    return pos == n;
}

// Segmentation of a key text by the original tokenizer, from the cache or computed
// now. nullptr when the answer is not representable (`brute` then holds it).
const Segmentation *segmentation(PyObject *f, PyObject *texte, nb::object &brute) {
    if (!cache_cles) {
        cache_cles = PyDict_New();
        if (!cache_cles) throw nb::python_error();
    }
    if (PyObject *i = PyDict_GetItemWithError(cache_cles, texte))
        return &segmentations[(size_t)PyLong_AsSsize_t(i)];
    if (PyErr_Occurred()) throw nb::python_error();
    brute = appeler(f, texte);
    static std::vector<uint32_t> fins;
    if (!fins_de(texte, brute.ptr(), fins)) return nullptr;
    if (PyDict_GET_SIZE(cache_cles) >= CACHE_MAX) {
        PyDict_Clear(cache_cles);
        pool.clear();
        segmentations.clear();
    }
    segmentations.push_back({(uint32_t)pool.size(), (uint32_t)fins.size()});
    pool.insert(pool.end(), fins.begin(), fins.end());
    nb::object idx = nb::steal(PyLong_FromSsize_t((Py_ssize_t)segmentations.size() - 1));
    if (PyDict_SetItem(cache_cles, texte, idx.ptr()) < 0) throw nb::python_error();
    return &segmentations.back();
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

// The reference suffix as offsets: segment ends relative to the start of the slice
// and the code points of the slice.
struct Suffixe {
    std::vector<uint32_t> fins;
    std::vector<Py_UCS4> lettres;
};

Suffixe suffixe_de(PyObject *texte, const uint32_t *fins, long long c, long long nb_phonemes) {
    Suffixe s;
    long long d = debut_tranche(c, nb_phonemes);
    uint32_t origine = d == 0 ? 0 : fins[d - 1];
    for (long long i = d; i < c; ++i) s.fins.push_back(fins[i] - origine);
    int kind = PyUnicode_KIND(texte);
    const void *data = PyUnicode_DATA(texte);
    for (Py_ssize_t i = origine; i < PyUnicode_GET_LENGTH(texte); ++i) s.lettres.push_back(PyUnicode_READ(kind, data, i));
    return s;
}

bool meme_suffixe(PyObject *texte, const uint32_t *fins, long long c, long long nb_phonemes, const Suffixe &s) {
    if (nb_phonemes > 0 && c < nb_phonemes) return false;
    long long d = debut_tranche(c, nb_phonemes);
    if ((size_t)(c - d) != s.fins.size()) return false;
    uint32_t origine = d == 0 ? 0 : fins[d - 1];
    Py_ssize_t n = PyUnicode_GET_LENGTH(texte);
    if ((size_t)(n - origine) != s.lettres.size()) return false;
    int kind = PyUnicode_KIND(texte);
    const void *data = PyUnicode_DATA(texte);
    // The last characters differ for most keys: test them first.
    for (Py_ssize_t i = n - 1; i >= (Py_ssize_t)origine; --i)
        if (PyUnicode_READ(kind, data, i) != s.lettres[(size_t)(i - origine)]) return false;
    for (size_t j = 0; j < s.fins.size(); ++j)
        if (fins[d + (long long)j] - origine != s.fins[j]) return false;
    return true;
}

void garder(PyObject *entrees, Dedoublonneur &vus, nb::list &resultats) {
    pour_chaque_entree(entrees, [&](PyObject *e) {
        if (vus.nouveau_non_vide(e) && PyList_Append(resultats.ptr(), e) < 0) throw nb::python_error();
    });
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

nb::list rimes(nb::handle phone_index, nb::handle mot_phone, nb::handle nb_phonemes_h, nb::handle limite_h) {
    exiger_dict(phone_index, "phone_index");
    exiger_str(mot_phone, "mot_phone");
    long long nb_phonemes = entier_arg(nb_phonemes_h, "nb_phonemes");
    long long limite = entier_arg(limite_h, "limite");
    if (PyUnicode_GET_LENGTH(mot_phone.ptr()) == 0) return nb::list();

    bool original = false;
    nb::object f = tokenize_courant(original);
    nb::list resultats;
    Dedoublonneur vus;

    if (original) {
        nb::object brute;
        const Segmentation *ref = segmentation(f.ptr(), mot_phone.ptr(), brute);
        if (ref) {
            long long c = ref->nb;
            if (nb_phonemes > 0 && c < nb_phonemes) return nb::list();
            Suffixe s = suffixe_de(mot_phone.ptr(), pool.data() + ref->debut, c, nb_phonemes);
            nb::object suffixe_liste;  // only for keys answered in the generic way
            pour_chaque_cle(phone_index.ptr(), [&](PyObject *cle, PyObject *entrees) {
                bool rime;
                nb::object brute_cle;
                const Segmentation *sg = PyUnicode_CheckExact(cle) ? segmentation(f.ptr(), cle, brute_cle) : nullptr;
                if (sg) {
                    rime = meme_suffixe(cle, pool.data() + sg->debut, sg->nb, nb_phonemes, s);
                } else {
                    if (!brute_cle.is_valid()) brute_cle = appeler(f.ptr(), cle);
                    if (!suffixe_liste.is_valid()) {
                        nb::object segs = appeler(f.ptr(), mot_phone.ptr());
                        suffixe_liste = tranche_fin(segs.ptr(), nb_phonemes);
                    }
                    rime = rime_generique(brute_cle.ptr(), nb_phonemes, suffixe_liste.ptr());
                }
                if (rime) garder(entrees, vus, resultats);
            });
            return trier_par_frequence(std::move(resultats), limite);
        }
    }

    // A tokenizer replaced by the caller (or an answer that is not a partition of
    // the text): called once on the reference and once per key, in index order.
    nb::object segments = appeler(f.ptr(), mot_phone.ptr());
    Py_ssize_t n = PyObject_Size(segments.ptr());
    if (n < 0) throw nb::python_error();
    if (nb_phonemes > 0 && (long long)n < nb_phonemes) return nb::list();
    nb::object suffixe = tranche_fin(segments.ptr(), nb_phonemes);
    pour_chaque_cle(phone_index.ptr(), [&](PyObject *cle, PyObject *entrees) {
        nb::object segs = appeler(f.ptr(), cle);
        if (rime_generique(segs.ptr(), nb_phonemes, suffixe.ptr())) garder(entrees, vus, resultats);
    });
    return trier_par_frequence(std::move(resultats), limite);
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
    nb::list resultats;
    Dedoublonneur vus;
    pour_chaque_cle(phone_index.ptr(), [&](PyObject *cle, PyObject *entrees) {
        bool dedans;
        if (PyUnicode_CheckExact(cle)) {
            dedans = str_contient(cle, son.ptr());
        } else {
            int r = PySequence_Contains(cle, son.ptr());
            if (r < 0) throw nb::python_error();
            dedans = r != 0;
        }
        if (dedans) garder(entrees, vus, resultats);
    });
    return trier_par_frequence(std::move(resultats), limite);
}

nb::list mots_par_syllabes(nb::handle ortho_index, nb::handle n_h, nb::handle cgram, nb::handle limite_h) {
    exiger_dict(ortho_index, "ortho_index");
    long long n = entier_arg(n_h, "n");
    exiger_str_ou_none(cgram, "cgram");
    long long limite = entier_arg(limite_h, "limite");
    nb::object n_objet = nb::steal(PyLong_FromLongLong(n));
    const NomsChamps &k = noms();
    nb::list resultats;
    Dedoublonneur vus;
    pour_chaque_cle(ortho_index.ptr(), [&](PyObject *, PyObject *entrees) {
        pour_chaque_entree(entrees, [&](PyObject *e) {
            if (!cgram.is_none()) {
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
            if (vus.nouveau_non_vide(e) && PyList_Append(resultats.ptr(), e) < 0) throw nb::python_error();
        });
    });
    return trier_par_frequence(std::move(resultats), limite);
}

}  // namespace

NB_MODULE(_phonetique, m) {
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
