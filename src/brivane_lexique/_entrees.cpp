// Implementation of the shared CSV/TSV pass (see _entrees.hpp).
#include "_entrees.hpp"
#include "_commun.hpp"
#include "_texte.hpp"

#include "csv.hpp"
#include "hachage.hpp"
#include "nombre.hpp"
#include "relais.hpp"

#include <cerrno>
#include <sys/mman.h>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <algorithm>

namespace brivane::py {

namespace {

// Immortal by intent: shared by every entry of every pass, never released.
PyObject *zero_reel() {
    static PyObject *z = PyFloat_FromDouble(0.0);
    return z;
}
nb::object zero() { return nb::borrow(zero_reel()); }

PyObject *cle_freq() {
    static PyObject *f = PyUnicode_InternFromString("freq");
    return f;
}

nb::object reel(double d) {
    if (d == 0.0 && !std::signbit(d)) return zero();
    return nb::steal(PyFloat_FromDouble(d));
}

// Field text read as a frequency: empty gives 0.0, otherwise float(text) or 0.0.
nb::object reel_de_texte(std::string_view v) {
    if (v.empty()) return zero();
    std::optional<double> d = lire_reel(v);
    return d ? reel(*d) : zero();
}

bool est_texte_egal(PyObject *o, const char *s) {
    if (!PyUnicode_CheckExact(o)) return false;
    return PyUnicode_CompareWithASCIIString(o, s) == 0;
}

// Columns whose few distinct values repeat on every row.
bool colonne_partagee(PyObject *cle) {
    static const char *const NOMS[] = {"cgram", "genre", "nombre", "mode", "temps", "personne", "lemme"};
    for (const char *n : NOMS)
        if (est_texte_egal(cle, n)) return true;
    return false;
}

nb::object module_loaders() {
    return nb::module_::import_("brivane_lexique._loaders");
}


std::string octets_chemin(nb::handle texte) {
    PyObject *b = nullptr;
    if (!PyUnicode_FSConverter(texte.ptr(), &b)) throw nb::python_error();
    nb::object o = nb::steal(b);
    return std::string(PyBytes_AS_STRING(b), size_t(PyBytes_GET_SIZE(b)));
}

[[noreturn]] void erreur_os(int numero, nb::handle nom) {
    errno = numero;
    if (nom.is_valid()) PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, nom.ptr());
    else PyErr_SetFromErrno(PyExc_OSError);
    throw nb::python_error();
}

// Turns an error of the core reader into the host's exception.
[[noreturn]] void relancer() {
    try {
        throw;
    } catch (ErreurSysteme &e) {
        erreur_os(e.numero, nb::handle());
    } catch (ErreurCsv &e) {
        nb::object err = nb::module_::import_("_csv").attr("Error");
        PyErr_SetString(err.ptr(), e.what());
        throw nb::python_error();
    } catch (ErreurDecodage &e) {
        // The host's codec builds the exact exception from the same bytes.
        nb::object octets = nb::steal(PyBytes_FromStringAndSize(e.octets.data(), (Py_ssize_t)e.octets.size()));
        nb::object res = nb::steal(PyObject_CallMethod(nb::module_::import_("codecs").ptr(), "utf_8_decode",
                                                      "OsO", octets.ptr(), "strict", e.final ? Py_True : Py_False));
        if (!res.is_valid()) throw nb::python_error();
        PyErr_SetObject(PyExc_UnicodeDecodeError,
                        nb::make_tuple("utf-8", octets, 0, 1, "invalid data").ptr());
        throw nb::python_error();
    }
}

// Text of another encoding: the host's text layer reads and decodes (so that its
// errors, chunking and newline handling are its own); lines are re-encoded to UTF-8
// for the core reader.
class SourceHote final : public SourceOctets {
public:
    explicit SourceHote(nb::object fichier) : fichier_(std::move(fichier)) {}
    ~SourceHote() override {
        PyObject *r = PyObject_CallMethod(fichier_.ptr(), "close", nullptr);
        if (r) Py_DECREF(r);
        else PyErr_Clear();
    }
    bool par_lignes() const override { return true; }
    size_t lire(char *tampon, size_t taille) override {
        if (lu_ == reste_.size()) {
            nb::object ligne = nb::steal(PyObject_CallMethod(fichier_.ptr(), "readline", nullptr));
            if (!ligne.is_valid()) throw nb::python_error();
            if (!PyUnicode_Check(ligne.ptr())) {
                PyErr_SetString(PyExc_TypeError, "readline() should return a str");
                throw nb::python_error();
            }
            nb::object b = nb::steal(PyUnicode_AsEncodedString(ligne.ptr(), "utf-8", "surrogatepass"));
            if (!b.is_valid()) throw nb::python_error();
            reste_.assign(PyBytes_AS_STRING(b.ptr()), size_t(PyBytes_GET_SIZE(b.ptr())));
            lu_ = 0;
        }
        size_t n = std::min(taille, reste_.size() - lu_);
        std::memcpy(tampon, reste_.data() + lu_, n);
        lu_ += n;
        return n;
    }

private:
    nb::object fichier_;
    std::string reste_;
    size_t lu_ = 0;
};

// Shared str values of one pass, keyed by their UTF-8 bytes: open addressing with a
// cheap word hash (the values are short; a general-purpose string hash costs more
// than the lookup saves).
class CachePartage {
public:
    ~CachePartage() { vider(); }
    PyObject *trouver(std::string_view v, uint64_t h) const {
        if (cases_.empty()) return nullptr;
        for (size_t i = h & masque_;; i = (i + 1) & masque_) {
            const Case &c = cases_[i];
            if (!c.objet) return nullptr;
            if (c.h == h && c.n == v.size() && std::memcmp(c.donnees, v.data(), v.size()) == 0) return c.objet;
        }
    }
    // Takes a new reference to `objet`, whose own UTF-8 bytes are the key.
    void ajouter(PyObject *objet, std::string_view v, uint64_t h) {
        if (2 * (nb_ + 1) > cases_.size()) agrandir();
        size_t i = h & masque_;
        while (cases_[i].objet) i = (i + 1) & masque_;
        Py_INCREF(objet);
        cases_[i] = {h, objet, v.data(), v.size()};
        ++nb_;
    }
    size_t taille() const { return nb_; }
    void vider() {
        for (Case &c : cases_)
            if (c.objet) Py_DECREF(c.objet);
        cases_.clear();
        nb_ = 0;
        masque_ = 0;
    }
    static uint64_t hacher(std::string_view v) {
        uint64_t h = 0x9e3779b97f4a7c15ULL ^ v.size();
        const char *p = v.data();
        size_t n = v.size();
        while (n >= 8) {
            uint64_t m;
            std::memcpy(&m, p, 8);
            h = (h ^ m) * 0xff51afd7ed558ccdULL;
            h ^= h >> 32;
            p += 8;
            n -= 8;
        }
        if (n) {
            uint64_t m = 0;
            std::memcpy(&m, p, n);
            h = (h ^ m) * 0xc4ceb9fe1a85ec53ULL;
        }
        return h ^ (h >> 29);
    }

private:
    struct Case {
        uint64_t h;
        PyObject *objet;
        const char *donnees;
        size_t n;
    };
    void agrandir() {
        std::vector<Case> anciennes(std::max<size_t>(1024, cases_.size() * 2));
        anciennes.swap(cases_);
        masque_ = cases_.size() - 1;
        for (Case &c : anciennes) {
            if (!c.objet) continue;
            size_t i = c.h & masque_;
            while (cases_[i].objet) i = (i + 1) & masque_;
            cases_[i] = c;
        }
    }
    std::vector<Case> cases_;
    size_t nb_ = 0, masque_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------

nb::object reel_de_valeur(PyObject *v) {
    if (v == Py_None) return zero();
    if (PyUnicode_CheckExact(v)) {
        if (PyUnicode_GET_LENGTH(v) == 0) return zero();
        Py_ssize_t n = 0;
        const char *s = PyUnicode_AsUTF8AndSize(v, &n);
        if (s) {
            std::optional<double> d = lire_reel(std::string_view(s, size_t(n)));
            return d ? reel(*d) : zero();
        }
        PyErr_Clear();  // lone surrogates: float() refuses them too
        return zero();
    }
    if (PyFloat_CheckExact(v)) {
        if (PyFloat_AS_DOUBLE(v) == 0.0) return zero();
        return nb::borrow(v);
    }
    int vrai = PyObject_IsTrue(v);
    if (vrai < 0) throw nb::python_error();
    if (!vrai) return zero();
    PyObject *r = PyNumber_Float(v);
    if (!r) {
        if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return zero();
        }
        throw nb::python_error();
    }
    return nb::steal(r);
}

void verifier_delimiteur(nb::handle d) {
    if (PyUnicode_GET_LENGTH(d.ptr()) != 1) {
        PyErr_SetString(PyExc_TypeError, "\"delimiter\" must be a 1-character string");
        throw nb::python_error();
    }
}

// ---------------------------------------------------------------------------
// Plan

void PlanEntree::construire(nb::handle noms, nb::handle mapping, nb::handle freq_priorite) {
    emplacements_.clear();
    modele_ = ModeleEntrees();
    erreur_.reset();
    try {
        if (!PyDict_CheckExact(mapping.ptr())) erreur_type("mapping", "dict", mapping.ptr());
        // Distinct names in first-seen order, each with the index of its last
        // occurrence (dict(zip(...)) keeps the first position and the last value).
        nb::dict derniers;
        nb::list ordre;
        Py_ssize_t nb_noms = PyList_GET_SIZE(noms.ptr());
        for (Py_ssize_t i = 0; i < nb_noms; ++i) {
            nb::handle nom = PyList_GET_ITEM(noms.ptr(), i);
            int deja = PyDict_Contains(derniers.ptr(), nom.ptr());
            if (deja < 0) throw nb::python_error();
            if (!deja) ordre.append(nom);
            derniers[nom] = nb::int_(i);
        }
        nb::dict modele;  // key -> index in emplacements_
        auto poser = [&](nb::handle cle, int col, bool conv) {
            PyObject *idx = PyDict_GetItemWithError(modele.ptr(), cle.ptr());
            if (!idx && PyErr_Occurred()) throw nb::python_error();
            if (idx) {
                Emplacement &e = emplacements_[PyLong_AsSize_t(idx)];
                e.colonne = col;
                e.reel = conv;
            } else {
                modele[cle] = nb::int_(emplacements_.size());
                emplacements_.push_back({nb::borrow(cle), col, conv, false});
            }
        };
        bool freq_trouvee = false;
        for (nb::handle nom : ordre) {
            int col = nb::cast<int>(derniers[nom]);
            nb::object repli = nom.attr("lower")().attr("strip")();
            PyObject *c = PyDict_GetItemWithError(mapping.ptr(), nom.ptr());
            if (!c && PyErr_Occurred()) throw nb::python_error();
            nb::object canon = c ? nb::borrow(c) : repli;
            int est_freq = PyObject_RichCompareBool(canon.ptr(), cle_freq(), Py_EQ);
            if (est_freq < 0) throw nb::python_error();
            if (est_freq) {
                if (!freq_trouvee) poser(cle_freq(), col, true);
                freq_trouvee = true;
                continue;
            }
            int prio = PySequence_Contains(freq_priorite.ptr(), canon.ptr());
            if (prio < 0) throw nb::python_error();
            poser(canon, col, prio != 0);
        }
        int a_freq = PyDict_Contains(modele.ptr(), cle_freq());
        if (a_freq < 0) throw nb::python_error();
        if (!a_freq) {
            int col = -1;
            for (nb::handle f : freq_priorite) {
                PyObject *idx = PyDict_GetItemWithError(modele.ptr(), f.ptr());
                if (!idx && PyErr_Occurred()) throw nb::python_error();
                if (idx) {
                    col = emplacements_[PyLong_AsSize_t(idx)].colonne;
                    break;
                }
            }
            poser(cle_freq(), col, true);
        }
        for (Emplacement &e : emplacements_) e.partage = !e.reel && colonne_partagee(e.cle.ptr());
    } catch (nb::python_error &e) {
        emplacements_.clear();
        erreur_.emplace(std::move(e));
    }
}

void PlanEntree::verifier() const {
    if (erreur_) throw nb::python_error(*erreur_);
}

// ---------------------------------------------------------------------------
// Pass

namespace {
// Spellings of the two UTF-8 codecs read by the core directly (any other name goes
// through the host's text layer, which also validates it exactly as open() does).
const char *const UTF8[] = {"utf-8", "utf8", "UTF-8", "UTF8", "utf_8"};
const char *const UTF8_SIG[] = {"utf-8-sig", "utf_8_sig", "UTF-8-SIG"};
constexpr size_t MAX_PARTAGES = size_t(1) << 17;
}  // namespace

struct PasseCsv::Impl {
    nb::object chemin;  // str form, for messages
    std::unique_ptr<LecteurCsv> lecteur;
    const char *erreurs = nullptr;  // UTF-8 error handler for field text
    std::vector<std::string_view> champs;
    nb::list noms;
    size_t nb_entete = 0;
    PlanEntree plan;
    bool prepare = false;
    bool ferme = false;
    CachePartage partages;
    PlanEntree::ModeleEntrees modele;
    // Per key of the plan: the previous record's text and its str.
    struct Dernier {
        std::string octets;
        nb::object objet;
    };
    std::vector<Dernier> derniers;

    void vider() {
        partages.vider();
        derniers.clear();
    }
};

PasseCsv::PasseCsv(nb::handle chemin, nb::handle delimiteur, nb::handle encodage) : p_(new Impl) {
    Impl &p = *p_;
    p.chemin = texte_chemin(chemin);
    verifier_delimiteur(delimiteur);
    std::string delim(utf8(delimiteur.ptr()));
    nb::object csvmod = nb::module_::import_("csv");
    long limite = nb::cast<long>(csvmod.attr("field_size_limit")());

    std::string_view enc = utf8(encodage.ptr());
    bool rapide = false, sig = false;
    for (const char *e : UTF8) rapide |= (enc == e);
    for (const char *e : UTF8_SIG) sig |= (enc == e);
    std::unique_ptr<SourceOctets> source;
    if (rapide || sig) {
        std::string octets = octets_chemin(p.chemin);
        try {
            source = std::make_unique<SourceFichier>(octets);
        } catch (ErreurSysteme &e) {
            erreur_os(e.numero, p.chemin);
        }
    } else {
        nb::object f = nb::module_::import_("io").attr("open")(p.chemin, "r", nb::arg("encoding") = encodage,
                                                               nb::arg("newline") = "");
        source = std::make_unique<SourceHote>(std::move(f));
        p.erreurs = "surrogatepass";
    }
    p.lecteur = std::make_unique<LecteurCsv>(std::move(source), std::move(delim), limite, sig,
                                             rapide || sig);
}

PasseCsv::~PasseCsv() = default;

bool PasseCsv::lire_entete() {
    Impl &p = *p_;
    if (p.ferme) return false;
    try {
        if (!p.lecteur->suivant(p.champs)) {
            fermer();
            return false;
        }
    } catch (...) {
        fermer();
        relancer();
    }
    p.nb_entete = p.champs.size();
    nb::list noms;
    for (std::string_view v : p.champs) {
        nb::object s = nb::steal(PyUnicode_DecodeUTF8(v.data(), Py_ssize_t(v.size()), p.erreurs));
        if (!s.is_valid()) throw nb::python_error();
        noms.append(s);
    }
    p.noms = noms;
    return true;
}

nb::list PasseCsv::noms() const { return p_->noms; }

void PasseCsv::preparer(nb::handle mapping) {
    nb::object fp = module_loaders().attr("FREQ_PRIORITE");
    p_->plan.construire(p_->noms, mapping, fp);
    p_->modele = PlanEntree::ModeleEntrees();
    p_->prepare = true;
}

void PasseCsv::trop_de_champs(size_t n) {
    Impl &p = *p_;
    long ligne = p.lecteur->numero_ligne();
    fermer();
    PyErr_Format(PyExc_ValueError, "%U, ligne %ld : %zu champs pour %zu colonnes dans l'en-tete",
                 p.chemin.ptr(), ligne, n, p.nb_entete);
    throw nb::python_error();
}

bool PasseCsv::suivant() {
    Impl &p = *p_;
    if (p.ferme) return false;
    try {
        for (;;) {
            if (!p.lecteur->suivant(p.champs)) {
                fermer();
                return false;
            }
            if (p.champs.empty()) continue;  // blank line
            if (p.champs.size() > p.nb_entete) trop_de_champs(p.champs.size());
            return true;
        }
    } catch (...) {
        // relancer() lets the host's own exceptions through unchanged.
        fermer();
        relancer();
    }
}

bool PasseCsv::suivant_colonne(size_t colonne, std::string_view &champ, bool &present) {
    Impl &p = *p_;
    if (p.ferme) return false;
    try {
        for (;;) {
            size_t n = 0;
            if (!p.lecteur->suivant_colonne(colonne, champ, n)) {
                fermer();
                return false;
            }
            if (n == 0) continue;  // blank line
            if (n > p.nb_entete) trop_de_champs(n);
            present = colonne < n;
            return true;
        }
    } catch (...) {
        // relancer() lets the host's own exceptions through unchanged.
        fermer();
        relancer();
    }
}

void PasseCsv::verifier_plan() const { p_->plan.verifier(); }

LecteurCsv &PasseCsv::lecteur() { return *p_->lecteur; }

size_t PasseCsv::nb_colonnes() const { return p_->nb_entete; }

void PasseCsv::lever(std::exception_ptr erreur) {
    fermer();
    try {
        std::rethrow_exception(erreur);
    } catch (nb::python_error &) {
        throw;
    } catch (...) {
        relancer();
    }
}

int PasseCsv::colonne_du_champ(const char *nom) const {
    for (const PlanEntree::Emplacement &e : p_->plan.emplacements())
        if (est_texte_egal(e.cle.ptr(), nom)) return e.colonne;
    return -1;
}

const std::vector<std::string_view> &PasseCsv::champs() const { return p_->champs; }

int PasseCsv::source_du_champ(const char *nom) const {
    for (const PlanEntree::Emplacement &e : p_->plan.emplacements()) {
        if (!est_texte_egal(e.cle.ptr(), nom)) continue;
        if (e.colonne < 0 || size_t(e.colonne) >= p_->champs.size()) return -1;
        return e.colonne;
    }
    return -1;
}

// The code point at u[j] of valid UTF-8, j moved past it.
inline uint32_t point_utf8(const unsigned char *u, size_t &j) {
    const unsigned char c = u[j];
    if (c < 0x80) return j += 1, c;
    if (c < 0xe0) return j += 2, (c & 0x1fu) << 6 | (u[j - 1] & 0x3fu);
    if (c < 0xf0) return j += 3, (c & 0x0fu) << 12 | (u[j - 2] & 0x3fu) << 6 | (u[j - 1] & 0x3fu);
    return j += 4, (c & 0x07u) << 18 | (u[j - 3] & 0x3fu) << 12 | (u[j - 2] & 0x3fu) << 6 | (u[j - 1] & 0x3fu);
}

// The str of text the reader has already checked as strict UTF-8: sized and filled
// in one go, where the host's decoder would also check it again and, past ASCII,
// build it in a buffer it then shrinks.
PyObject *texte_utf8_verifie(std::string_view v) {
    const auto *u = reinterpret_cast<const unsigned char *>(v.data());
    const size_t n = v.size();
    size_t i = 0;
    for (uint64_t m; i + 8 <= n; i += 8) {
        std::memcpy(&m, u + i, 8);
        if (m & 0x8080808080808080ULL) break;
    }
    while (i < n && u[i] < 0x80) ++i;
    auto suivant = [u](size_t &j) { return point_utf8(u, j); };
    size_t longueur = i;
    uint32_t max = 0x7f;
    for (size_t j = i; j < n; ++longueur) max = std::max(max, suivant(j));
    PyObject *s = PyUnicode_New(Py_ssize_t(longueur), max);
    if (!s) return nullptr;
    void *d = PyUnicode_DATA(s);
    const int kind = PyUnicode_KIND(s);
    if (kind == PyUnicode_1BYTE_KIND) {
        auto *o = static_cast<Py_UCS1 *>(d);
        std::memcpy(o, u, i);
        for (size_t j = i, k = i; j < n;) o[k++] = Py_UCS1(suivant(j));
    } else if (kind == PyUnicode_2BYTE_KIND) {
        auto *o = static_cast<Py_UCS2 *>(d);
        for (size_t k = 0; k < i; ++k) o[k] = u[k];
        for (size_t j = i, k = i; j < n;) o[k++] = Py_UCS2(suivant(j));
    } else {
        auto *o = static_cast<Py_UCS4 *>(d);
        for (size_t k = 0; k < i; ++k) o[k] = u[k];
        for (size_t j = i, k = i; j < n;) o[k++] = suivant(j);
    }
    return s;
}

struct TextesPartages::Impl {
    CachePartage partages;
};
TextesPartages::TextesPartages() : p_(std::make_unique<Impl>()) {}
TextesPartages::~TextesPartages() = default;

PyObject *TextesPartages::texte(std::string_view v, bool partage) {
    const bool cache = !v.empty() && (partage || v.size() <= 3);
    uint64_t h = 0;
    if (cache) {
        h = CachePartage::hacher(v);
        if (PyObject *o = p_->partages.trouver(v, h)) return Py_NewRef(o);
    }
    PyObject *s = PyUnicode_DecodeUTF8(v.data(), Py_ssize_t(v.size()), nullptr);
    if (s && cache && p_->partages.taille() < MAX_PARTAGES) {
        Py_ssize_t n = 0;
        const char *u = PyUnicode_AsUTF8AndSize(s, &n);
        if (u) p_->partages.ajouter(s, std::string_view(u, size_t(n)), h);
        else PyErr_Clear();
    }
    return s;
}

nb::object PasseCsv::texte_champ(std::string_view v, bool partage) {
    Impl &p = *p_;
    if (v.empty()) return nb::steal(PyUnicode_FromStringAndSize("", 0));
    bool cache = partage || v.size() <= 3;
    uint64_t h = 0;
    if (cache) {
        h = CachePartage::hacher(v);
        if (PyObject *o = p.partages.trouver(v, h)) return nb::borrow(o);
    }
    PyObject *s = p.erreurs ? PyUnicode_DecodeUTF8(v.data(), Py_ssize_t(v.size()), p.erreurs)
                            : texte_utf8_verifie(v);
    if (!s) throw nb::python_error();
    nb::object r = nb::steal(s);
    if (cache && p.partages.taille() < MAX_PARTAGES) {
        // The key views the str's own UTF-8 (kept alive by the cache's reference).
        Py_ssize_t n = 0;
        const char *u = PyUnicode_AsUTF8AndSize(s, &n);
        if (u) p.partages.ajouter(s, std::string_view(u, size_t(n)), h);
        else PyErr_Clear();  // lone surrogates: just not shared
    }
    return r;
}

// Entries start as a copy of a dict holding the keys in order (values None):
// copying is cheaper than inserting every key anew. When it can, the model is
// the attribute dict of an instance of a private class: such a dict keeps only
// its values and shares its key table with the class, and so do its copies --
// ordinary dicts in every respect, about a third smaller each.
nb::object modele_entree(const std::vector<PlanEntree::Emplacement> &E) {
    nb::dict simple = nb::steal<nb::dict>(_PyDict_NewPresized(Py_ssize_t(E.size())));
    for (const PlanEntree::Emplacement &e : E) simple[e.cle] = nb::none();
    if (E.empty()) return std::move(simple);
    nb::object classe = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type))("Entree", nb::tuple(), nb::dict());
    for (const PlanEntree::Emplacement &e : E)
        if (!PyUnicode_CheckExact(e.cle.ptr()) || _PyType_Lookup((PyTypeObject *)classe.ptr(), e.cle.ptr()))
            return std::move(simple);  // a name the class itself answers to
    nb::object instance = classe();
    for (const PlanEntree::Emplacement &e : E)
        if (PyObject_SetAttr(instance.ptr(), e.cle.ptr(), Py_None) < 0) throw nb::python_error();
    nb::object d = nb::steal(PyObject_GenericGetDict(instance.ptr(), nullptr));
    if (!d.is_valid()) throw nb::python_error();
    // Same keys, same order, or the plain model.
    if (!PyDict_CheckExact(d.ptr()) || PyDict_Size(d.ptr()) != Py_ssize_t(E.size())) return std::move(simple);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (size_t i = 0; PyDict_Next(d.ptr(), &pos, &k, &v); ++i) {
        int egal = PyObject_RichCompareBool(k, E[i].cle.ptr(), Py_EQ);
        if (egal < 0) throw nb::python_error();
        if (!egal || v != Py_None) return std::move(simple);
    }
    return d;
}

// CPython 3.11: a copy of a model whose keys are shared (an instance's dict) holds
// its values in a plain array, one slot per key. Storing a field there directly
// spares the key look-up of a dict store, for every field of every record. The
// slot of each key is found once, by storing a marker through the ordinary path;
// empty when the model is not such a dict.
std::vector<Py_ssize_t> places_des_valeurs(PyObject *modele, const std::vector<nb::object> &cles) {
    std::vector<Py_ssize_t> places;
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
    if (!PyDict_CheckExact(modele) || !reinterpret_cast<PyDictObject *>(modele)->ma_values) return places;
    const size_t n = cles.size();
    if (Py_ssize_t(n) != PyDict_GET_SIZE(modele)) return places;
    nb::object marque = nb::steal(PyList_New(0));  // an object found nowhere else
    if (!marque.is_valid()) throw nb::python_error();
    for (size_t k = 0; k < n; ++k) {
        nb::object copie = nb::steal(PyDict_Copy(modele));
        if (!copie.is_valid()) throw nb::python_error();
        if (PyDict_SetItem(copie.ptr(), cles[k].ptr(), marque.ptr()) < 0) throw nb::python_error();
        auto *c = reinterpret_cast<PyDictObject *>(copie.ptr());
        if (!c->ma_values) return {};
        PyObject **valeurs = reinterpret_cast<PyObject **>(c->ma_values);
        Py_ssize_t trouvee = -1;
        for (size_t i = 0; i < n; ++i)
            if (valeurs[i] == marque.ptr()) trouvee = trouvee < 0 ? Py_ssize_t(i) : -2;
        if (trouvee < 0) return {};
        places.push_back(trouvee);
    }
#else
    (void)modele;
    (void)cles;
#endif
    return places;
}

nb::dict PlanEntree::ModeleEntrees::copie(const std::vector<Emplacement> &E, PyObject **&valeurs) {
    if (!modele.is_valid()) {
        modele = modele_entree(E);
        // The model's own key objects (names of attributes are interned): later
        // stores then find their key by identity.
        cles.clear();
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(modele.ptr(), &pos, &k, &v)) cles.push_back(nb::borrow(k));
        places = places_des_valeurs(modele.ptr(), cles);
    }
    nb::dict d = nb::steal<nb::dict>(PyDict_Copy(modele.ptr()));
    if (!d.is_valid()) throw nb::python_error();
    valeurs = nullptr;
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
    if (places.size() == E.size() && reinterpret_cast<PyDictObject *>(d.ptr())->ma_values)
        valeurs = reinterpret_cast<PyObject **>(reinterpret_cast<PyDictObject *>(d.ptr())->ma_values);
#endif
    return d;
}

void PlanEntree::ModeleEntrees::poser(nb::dict &d, PyObject **valeurs, size_t k, nb::object v) const {
    // A store in place skips the dict's upkeep: only for values that leave its
    // tracking by the collector as it is (those that can hold no other object).
    if (valeurs && valeur_atomique(v.ptr())) {
        PyObject *ancienne = valeurs[places[k]];
        valeurs[places[k]] = v.release().ptr();
        Py_XDECREF(ancienne);
    } else if (PyDict_SetItem(d.ptr(), cles[k].ptr(), v.ptr()) < 0) {
        throw nb::python_error();
    }
}

nb::dict PasseCsv::entree() {
    Impl &p = *p_;
    p.plan.verifier();
    const auto &E = p.plan.emplacements();
    const size_t n = p.champs.size();
    if (p.derniers.size() != E.size()) p.derniers.assign(E.size(), {});
    PyObject **valeurs = nullptr;
    nb::dict d = p.modele.copie(E, valeurs);
    for (size_t k = 0; k < E.size(); ++k) {
        const PlanEntree::Emplacement &e = E[k];
        nb::object v;
        if (e.colonne < 0) {
            v = zero();
        } else if (size_t(e.colonne) >= n) {
            v = e.reel ? zero() : nb::none();
        } else if (e.reel) {
            v = reel_de_texte(p.champs[size_t(e.colonne)]);
        } else {
            // Lexicons put the lines of one word together: a value equal to the
            // same field of the previous record is that record's str.
            std::string_view t = p.champs[size_t(e.colonne)];
            Impl::Dernier &dn = p.derniers[k];
            if (t.empty()) {
                v = nb::steal(PyUnicode_FromStringAndSize("", 0));
            } else if (dn.objet.is_valid() && std::string_view(dn.octets) == t) {
                v = dn.objet;
            } else {
                v = texte_champ(t, e.partage);
                dn.octets.assign(t);
                dn.objet = v;
            }
        }
        p.modele.poser(d, valeurs, k, std::move(v));
    }
    return d;
}

nb::dict PlanEntree::depuis_objets(PyObject *const *valeurs, size_t n) const {
    verifier();
    PyObject **places = nullptr;
    nb::dict d = modele_.copie(emplacements_, places);
    for (size_t k = 0; k < emplacements_.size(); ++k) {
        const Emplacement &e = emplacements_[k];
        nb::object v;
        if (e.colonne < 0) v = zero();
        else {
            PyObject *brut = size_t(e.colonne) < n ? valeurs[e.colonne] : Py_None;
            v = e.reel ? reel_de_valeur(brut) : nb::borrow(brut);
        }
        modele_.poser(d, places, k, std::move(v));
    }
    return d;
}

nb::dict PasseCsv::enregistrement() const {
    const Impl &p = *p_;
    nb::dict d;
    Py_ssize_t nb = PyList_GET_SIZE(p.noms.ptr());
    for (Py_ssize_t i = 0; i < nb; ++i) {
        nb::object v;
        if (size_t(i) < p.champs.size()) {
            std::string_view s = p.champs[size_t(i)];
            v = nb::steal(PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), p.erreurs));
            if (!v.is_valid()) throw nb::python_error();
        } else {
            v = nb::none();
        }
        d[PyList_GET_ITEM(p.noms.ptr(), i)] = v;
    }
    return d;
}

long PasseCsv::numero_ligne() const { return p_->lecteur ? p_->lecteur->numero_ligne() : 0; }

void PasseCsv::fermer() {
    Impl &p = *p_;
    p.ferme = true;
    if (p.lecteur) {
        p.lecteur->fermer();
        p.lecteur.reset();
    }
    p.vider();
}

// ---------------------------------------------------------------------------
// Level 1

namespace {

// A growable array of plain values kept with realloc(): large blocks then grow
// by remapping their pages instead of copying and touching fresh ones.
template <class T>
class TableauBrut {
public:
    TableauBrut() = default;
    ~TableauBrut() { std::free(d_); }
    TableauBrut(const TableauBrut &) = delete;
    TableauBrut &operator=(const TableauBrut &) = delete;
    size_t size() const { return n_; }
    T *data() { return d_; }
    const T *data() const { return d_; }
    T &operator[](size_t i) { return d_[i]; }
    const T &operator[](size_t i) const { return d_[i]; }
    // Room for `k` more values; returns where they go (call ajoute(k) after).
    T *place(size_t k) {
        if (n_ + k > cap_) {
            size_t c = std::max({n_ + k, cap_ * 2, size_t(4096 / sizeof(T))});
            T *d = static_cast<T *>(std::realloc(d_, c * sizeof(T)));
            if (!d) throw std::bad_alloc();
            d_ = d;
            cap_ = c;
        }
        return d_ + n_;
    }
    void ajoute(size_t k) { n_ += k; }
    void retire(size_t k) { n_ -= k; }

private:
    T *d_ = nullptr;
    size_t n_ = 0, cap_ = 0;
};

// A str object of level 1 (owned reference) and its hash.
struct ObjetForme {
    Py_hash_t hash;
    PyObject *objet;
};

// The hash the host gives a str, from its code units. Computed here, eight texts
// at a time, when the host hashes with SipHash-1-3 and no small-text shortcut,
// and checked once against the host's own answers on texts of every length class;
// otherwise asked of the host. Each text must be followed by 8 readable bytes.
class HachageHote {
public:
    static const HachageHote &instance() {
        static const HachageHote h;
        return h;
    }
    Py_hash_t un(const void *p, size_t n) const {
        if (!natif_ || n == 0) return _Py_HashBytes(p, Py_ssize_t(n));
        return corriger(siphash13(k0_, k1_, p, n));
    }
    void huit(const void *const p[8], const size_t n[8], Py_hash_t h[8]) const {
        if (!natif_) {
            for (int i = 0; i < 8; ++i) h[i] = _Py_HashBytes(p[i], Py_ssize_t(n[i]));
            return;
        }
        uint64_t r[8];
        siphash13_x8(k0_, k1_, p, n, r);
        for (int i = 0; i < 8; ++i) h[i] = n[i] == 0 ? 0 : corriger(r[i]);
    }

private:
    HachageHote() {
#if Py_HASH_CUTOFF == 0 && SIZEOF_VOID_P == 8
        const PyHash_FuncDef *f = PyHash_GetFuncDef();
        if (!f || std::strcmp(f->name, "siphash13") != 0 || f->hash_bits != 64) return;
        k0_ = _Py_HashSecret.siphash.k0;
        k1_ = _Py_HashSecret.siphash.k1;
        natif_ = true;
        std::string texte;
        texte.reserve(64);  // room past every text below
        for (size_t n = 1; n <= 40; ++n) {
            texte.push_back(char('a' + (n * 7) % 26));
            const void *p[8];
            size_t t[8];
            for (size_t i = 0; i < 8; ++i) {
                p[i] = texte.data() + (i * n) / 8;
                t[i] = n - (i * n) / 8 - i % 2;
            }
            Py_hash_t h[8];
            huit(p, t, h);
            for (int i = 0; i < 8; ++i)
                if (h[i] != _Py_HashBytes(p[i], Py_ssize_t(t[i])) || un(p[i], t[i]) != h[i]) natif_ = false;
        }
#endif
    }
    static Py_hash_t corriger(uint64_t x) {
        const auto h = Py_hash_t(x);
        return h == -1 ? -2 : h;
    }
    bool natif_ = false;
    uint64_t k0_ = 0, k1_ = 0;
};

// A batch of normalised spellings of level 1, gathered by plain C++ as the code
// units their str objects will hold; their hashes, the host's own, are computed
// for the whole batch when it is handed over.
class LotFormes {
public:
    void ajouter_ascii(const char *p, size_t n) { ajouter_unites(p, n, 0x7f, 1); }
    // One byte per code point, at least one of them past U+007F.
    void ajouter_latin1(const char *p, size_t n) { ajouter_unites(p, n, 0xff, 1); }
    void ajouter_points(const uint32_t *p, size_t n) {
        uint32_t max = 0;
        for (size_t i = 0; i < n; ++i) max = std::max(max, p[i]);
        if (max < 0x100) {
            char *d = reinterpret_cast<char *>(brouillon(n));
            for (size_t i = 0; i < n; ++i) d[i] = char(p[i]);
            ajouter_unites(d, n, max < 0x80 ? 0x7f : 0xff, 1);
        } else if (max < 0x10000) {
            auto *d = reinterpret_cast<uint16_t *>(brouillon(2 * n));
            for (size_t i = 0; i < n; ++i) d[i] = uint16_t(p[i]);
            ajouter_unites(d, n, 0xffff, 2);
        } else {
            ajouter_unites(p, n, 0x10ffff, 4);
        }
    }
    // Time to hand the batch over.
    bool plein() const { return formes_.size() >= 8192 || donnees_.size() >= (size_t(1) << 20); }
    void vider() {
        formes_.retire(formes_.size());
        donnees_.retire(donnees_.size());
        vide_ = false;
    }

    // Creates the str objects (new references, with their hash) into `sortie`.
    // (hacher() first.)
    void creer(TableauBrut<ObjetForme> &sortie) {
        for (size_t i = 0; i < formes_.size(); ++i) {
            const Forme &f = formes_[i];
            const unsigned code = f.taille & 3;
            const size_t longueur = f.taille >> 2, largeur = size_t(1) << code;
            const Py_UCS4 max = code == 0 ? (f.ascii ? 0x7f : 0xff) : code == 1 ? 0xffff : 0x10ffff;
            PyObject *s = PyUnicode_New(Py_ssize_t(longueur), max);
            if (!s) throw nb::python_error();
            std::memcpy(PyUnicode_DATA(s), donnees_.data() + f.debut, longueur * largeur);
            // The very value the host would compute from these code units.
            reinterpret_cast<PyASCIIObject *>(s)->hash = f.hash;
            *sortie.place(1) = {f.hash, s};
            sortie.ajoute(1);
        }
        if (vide_) {
            *sortie.place(1) = {0, PyUnicode_New(0, 0)};  // the host's shared empty str
            sortie.ajoute(1);
        }
    }

    // The host's hash of each spelling gathered (plain C++ once HachageHote is set up).
    void hacher() {
        const HachageHote &h = HachageHote::instance();
        const size_t n = formes_.size();
        size_t i = 0;
        for (; i + 8 <= n; i += 8) {
            const void *p[8];
            size_t t[8];
            Py_hash_t r[8];
            for (size_t k = 0; k < 8; ++k) {
                p[k] = donnees_.data() + formes_[i + k].debut;
                t[k] = formes_[i + k].octets();
            }
            h.huit(p, t, r);
            for (size_t k = 0; k < 8; ++k) formes_[i + k].hash = r[k];
        }
        for (; i < n; ++i) formes_[i].hash = h.un(donnees_.data() + formes_[i].debut, formes_[i].octets());
    }

private:
    struct Forme {
        Py_hash_t hash;
        uint32_t debut;
        uint32_t taille : 31;  // length << 2 | log2(width)
        uint32_t ascii : 1;
        size_t octets() const { return size_t(taille >> 2) << (taille & 3); }
    };

    void *brouillon(size_t octets) {
        if (brouillon_.size() < octets) brouillon_.resize(octets);
        return brouillon_.data();
    }

    void ajouter_unites(const void *p, size_t n, uint32_t max, size_t largeur) {
        if (n == 0) {
            vide_ = true;
            return;
        }
        const size_t octets = n * largeur;
        if (octets >= (size_t(1) << 29)) throw std::length_error("forme trop longue");
        const uint32_t taille = uint32_t(n << 2 | (largeur == 1 ? 0 : largeur == 2 ? 1 : 2));
        const bool ascii = max < 0x80;
        // Equal to the previous spelling (another case or another line of the same
        // word): one copy is enough.
        if (formes_.size()) {
            const Forme &d = formes_[formes_.size() - 1];
            if (d.taille == taille && d.ascii == ascii && std::memcmp(donnees_.data() + d.debut, p, octets) == 0)
                return;
        }
        // (8 bytes of room beyond the text: the hashing reads its last word whole.)
        std::memcpy(donnees_.place(octets + 8), p, octets);
        *formes_.place(1) = Forme{0, uint32_t(donnees_.size()), taille, ascii};
        donnees_.ajoute(octets);
        formes_.ajoute(1);
    }

    TableauBrut<char> donnees_;
    TableauBrut<Forme> formes_;
    std::string brouillon_;
    bool vide_ = false;
};

// Level 1 stays on ordinary pages. Huge pages saved about 10 ms on the real lexicon,
// but on a virtual machine a fresh 2 MiB page is often one the host must back anew:
// the build then took anywhere from 1 to 7 times as long (8 copies of the lexicon:
// 0.32 to 1.1 s, against 0.43 s every time on ordinary pages).

// The str objects of level 1 (owned references) and their hash.
class ObjetsFormes {
public:
    TableauBrut<ObjetForme> v;
    ~ObjetsFormes() {
        for (size_t i = 0; i < v.size(); ++i) Py_XDECREF(v[i].objet);
    }

    // Adds them to `ens`, in the order of their slots in the table the set ends
    // with: the set's table (and each table it outgrows) is then walked front to
    // back instead of at random, far beyond the caches.
    void verser(PyObject *ens) {
        const size_t n = v.size();
        // The host's growth rule: resize when 3/5 full, to the power of two above
        // 4x the count (2x past 50,000 keys).
        size_t masque = 7;
        for (size_t rempli = 1; rempli <= n; ++rempli) {
            if (rempli * 5 >= masque * 3) masque = taille_de_table(rempli) - 1;
        }
        std::vector<uint32_t> ordre(n);
        par_case(masque, [&](size_t j, size_t i) { ordre[j] = uint32_t(i); });
        // Records and objects are read out of order: fetch the record far ahead,
        // then, once it is at hand, the object it points to.
        constexpr size_t AVANCE = 16;
        for (size_t i = 0; i < n; ++i) {
            if (i + 2 * AVANCE < n) __builtin_prefetch(&v[ordre[i + 2 * AVANCE]]);
            if (i + AVANCE < n) __builtin_prefetch(v[ordre[i + AVANCE]].objet);
            if (PySet_Add(ens, v[ordre[i]].objet) < 0) throw nb::python_error();
        }
    }

    // The host's table size for `n` keys: the power of two above 4n (2n past
    // 50,000 keys).
    static size_t taille_de_table(size_t n) {
        size_t taille = 8;
        const size_t cible = n > 50000 ? n * 2 : n * 4;
        while (taille <= cible) taille <<= 1;
        return taille;
    }

private:
    // A counting sort of the records on the top bits of their slot in a table of
    // mask `masque`: `poser(j, i)` puts record i at place j. Within a bucket the keys
    // land in a window of the table small enough to stay in cache.
    template <class F> void par_case(size_t masque, F &&poser) const {
        const size_t n = v.size();
        unsigned bits = 0;
        while ((size_t(1) << bits) <= masque) ++bits;
        const unsigned nb = std::min(bits, 10u), decalage = bits - nb;
        const size_t seaux = size_t(1) << nb;
        auto seau = [&](size_t i) { return (size_t(v[i].hash) & masque) >> decalage; };
        std::vector<uint32_t> compte(seaux + 1, 0);
        for (size_t i = 0; i < n; ++i) ++compte[seau(i) + 1];
        for (size_t i = 1; i <= seaux; ++i) compte[i] += compte[i - 1];
        for (size_t i = 0; i < n; ++i) poser(size_t(compte[seau(i)]++), i);
    }
};

#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define BRIVANE_TABLE_DIRECTE 1
// CPython 3.11: the set's table itself, filled batch by batch as the str objects
// are made, then handed to the frozenset. Adding the strings one by one at the end
// costs a growing table rehashed several times and, per string, a reread of an
// object made long before (a cache miss each): most of the time of level 1. Here
// each batch goes in while its objects are still in cache, in a table sized once
// from an estimate of the final count. The probe sequence is the host's own (nine
// linear probes, then the perturbed jump), so its look-ups find every key; equal
// texts met twice keep the first, as adding them would.
class TableFormes {
public:
    TableFormes() = default;
    TableFormes(const TableFormes &) = delete;
    TableFormes &operator=(const TableFormes &) = delete;
    ~TableFormes() {
        if (!table_) return;
        for (size_t i = 0; i <= masque_; ++i) Py_XDECREF(table_[i].key);
        PyMem_Free(table_);
    }

    // Takes over the references of `lot` (emptied). `attendus`: the count of keys
    // the table should end with, as far as can be told now.
    void inserer(ObjetsFormes &lot, size_t attendus) {
        const size_t n = lot.v.size();
        if (!table_ || (size_t(places_) + n) * 5 > (masque_ + 1) * 3)
            refaire(taille_finale(std::max(attendus, size_t(places_) + n)));
        constexpr size_t AVANCE = 24;
        const ObjetForme *r = lot.v.data();
        for (size_t i = 0; i < std::min(n, AVANCE); ++i) __builtin_prefetch(&table_[size_t(r[i].hash) & masque_]);
        for (size_t i = 0; i < n; ++i) {
            if (i + AVANCE < n) __builtin_prefetch(&table_[size_t(r[i + AVANCE].hash) & masque_]);
            if (!placer(r[i].hash, r[i].objet, true)) Py_DECREF(r[i].objet);
        }
        lot.v.retire(n);
    }

    // Hands the table to `ens`, a new empty frozenset, resized first when the
    // estimate missed the size frozenset(set) has for the final count. False (nothing done)
    // when `ens` is not such a set or the table is too small to be worth it.
    bool verser(PyObject *ens) {
        auto *so = reinterpret_cast<PySetObject *>(ens);
        if (!table_ || !PyFrozenSet_CheckExact(ens) || Py_REFCNT(ens) != 1 || so->table != so->smalltable ||
            so->used != 0 || places_ < 1024)
            return false;
        const size_t taille = taille_finale(size_t(places_));
        if (taille != masque_ + 1) refaire(taille);
        so->table = table_;
        so->mask = Py_ssize_t(masque_);
        so->fill = so->used = places_;
        so->hash = -1;
        so->finger = 0;
        table_ = nullptr;
        return true;
    }

    // The keys, for the ordinary path (references handed over, table emptied).
    void vider_dans(ObjetsFormes &objets) {
        if (!table_) return;
        for (size_t i = 0; i <= masque_; ++i)
            if (table_[i].key) {
                *objets.v.place(1) = {table_[i].hash, table_[i].key};
                objets.v.ajoute(1);
                table_[i].key = nullptr;
            }
        places_ = 0;
    }

private:
    // The table of frozenset(s) for a set s of n keys: the power of two above 2n.
    static size_t taille_finale(size_t n) {
        size_t taille = 8;
        while (taille <= 2 * n) taille <<= 1;
        return taille;
    }

    // Puts `o` in its slot; false when an equal text is already there.
    bool placer(Py_hash_t h, PyObject *o, bool comparer) {
        constexpr size_t SONDES = 9;      // LINEAR_PROBES
        constexpr unsigned DECALAGE = 5;  // PERTURB_SHIFT
        size_t i = size_t(h) & masque_, perturbation = size_t(h);
        for (;;) {
            setentry *e = &table_[i];
            size_t sondes = i + SONDES <= masque_ ? SONDES : 0;
            for (;; ++e) {
                if (!e->key) {
                    e->key = o;
                    e->hash = h;
                    ++places_;
                    return true;
                }
                if (comparer && e->hash == h && str_egal(e->key, o)) return false;
                if (sondes-- == 0) break;
            }
            perturbation >>= DECALAGE;
            i = (i * 5 + 1 + perturbation) & masque_;
        }
    }

    // Moves the keys to a new table of `taille` slots. The old one is walked front
    // to back, so the new one is written in a few runs rather than at random.
    void refaire(size_t taille) {
        // Zeroed by writing, not calloc: fresh pages calloc leaves untouched would
        // first be read as the shared zero page, then copied on the first write,
        // each copy flushing the address translations of every thread of the process.
        auto *neuve = static_cast<setentry *>(PyMem_Malloc(taille * sizeof(setentry)));
        if (!neuve) throw std::bad_alloc();
        std::memset(static_cast<void *>(neuve), 0, taille * sizeof(setentry));
        setentry *ancienne = table_;
        const size_t ancien_masque = masque_;
        table_ = neuve;
        masque_ = taille - 1;
        places_ = 0;
        if (!ancienne) return;
        for (size_t i = 0; i <= ancien_masque; ++i)
            if (ancienne[i].key) placer(ancienne[i].hash, ancienne[i].key, false);
        PyMem_Free(ancienne);
    }

    setentry *table_ = nullptr;
    size_t masque_ = 0;
    Py_ssize_t places_ = 0;
};
#endif

// Normalised spellings of valid UTF-8 text, decided in C++ when the rules allow
// it; false when the host must decide.
class NormaliseurFormes {
public:
    bool ajouter(LotFormes &lot, std::string_view ortho) {
        const auto *u = reinterpret_cast<const unsigned char *>(ortho.data());
        const size_t n = ortho.size();
        size_t i = 0;
        while (i < n && u[i] < 0x80) ++i;
        Normalisation r;
        if (i == n) {
            if (deja_normalise_ascii(u, n)) return lot.ajouter_ascii(ortho.data(), n), true;
            r = normaliser_points(reinterpret_cast<const uint8_t *>(u), n, sortie_);
            if (r == Normalisation::inchangee) return lot.ajouter_ascii(ortho.data(), n), true;
        } else if (latin1(u, i, n)) {
            // Every code point below U+0100 (French letters and their accents): one
            // byte each, as the str will hold them.
            const auto *l = reinterpret_cast<const uint8_t *>(latin1_.data());
            const size_t k = latin1_.size();
            if (deja_normalise_points(l, k)) return lot.ajouter_latin1(latin1_.data(), k), true;
            r = normaliser_points(l, k, sortie_);
            if (r == Normalisation::inchangee) return lot.ajouter_latin1(latin1_.data(), k), true;
        } else {
            points_.clear();
            for (i = 0; i < n;) points_.push_back(point_utf8(u, i));
            if (deja_normalise_points(points_.data(), points_.size()))
                return lot.ajouter_points(points_.data(), points_.size()), true;
            r = normaliser_points(points_.data(), points_.size(), sortie_);
            if (r == Normalisation::inchangee) return lot.ajouter_points(points_.data(), points_.size()), true;
        }
        if (r != Normalisation::modifiee) return false;
        lot.ajouter_points(reinterpret_cast<const uint32_t *>(sortie_.data()), sortie_.size());
        return true;
    }

private:
    // Decodes u[0, n) into latin1_ when every code point is below U+0100; the
    // first `ascii` bytes are known to be ASCII. The text is well-formed UTF-8.
    bool latin1(const unsigned char *u, size_t ascii, size_t n) {
        latin1_.resize(n);
        char *d = latin1_.data();
        std::memcpy(d, u, ascii);
        size_t k = ascii;
        for (size_t j = ascii; j < n;) {
            const unsigned c = u[j];
            if (c < 0x80) {
                d[k++] = char(c);
                ++j;
            } else if (c == 0xc2 || c == 0xc3) {
                d[k++] = char((c & 3) << 6 | (u[j + 1] & 0x3f));
                j += 2;
            } else {
                return false;
            }
        }
        latin1_.resize(k);
        return true;
    }

    std::string latin1_;
    std::vector<uint32_t> points_;
    std::u32string sortie_;
};

// Level 1 of a CSV/TSV source with the native normaliser. Reading and cutting fill
// batches of spellings as read; each full batch is normalised and hashed, and its
// str objects go into the set's table while they are still in cache. For a large
// file read without the host, the batches are filled on a thread of their own while
// this one makes the objects of the previous ones.
class PasseFormes {
public:
    PasseFormes(PasseCsv &p, int colonne) : p_(p), colonne_(colonne) {}

    void executer(PyObject *ens) {
        ObjetsFormes objets;
        lire(objets);
        // Errors in the order the records raise them: a broken column mapping at
        // the first record, then the reader's own.
        if (vu_) p_.verifier_plan();
        if (trop_) p_.trop_de_champs_courant(trop_);
        if (erreur_) p_.lever(erreur_);
        p_.fermer();
#ifdef BRIVANE_TABLE_DIRECTE
        if (!table_.verser(ens)) {
            table_.vider_dans(objets);
            objets.verser(ens);
        }
#else
        objets.verser(ens);
#endif
        bool textes = true;
        for (const std::string &brut : hote_) {
            nb::object cle = normaliser_ortho_py(texte(brut));
            textes = textes && PyUnicode_CheckExact(cle.ptr());
            if (PySet_Add(ens, cle.ptr()) < 0) throw nb::python_error();
        }
        // Plain str only: out of the collector's walks (see detacher_si_textes).
        if (textes && PyFrozenSet_CheckExact(ens) && PyObject_GC_IsTracked(ens)) PyObject_GC_UnTrack(ens);
    }

private:
    // Spellings as read, and how far into the source the reader was when the
    // batch was full.
    struct Lot {
        TableauBrut<char> octets;
        TableauBrut<std::pair<uint32_t, uint32_t>> bornes;  // start, size in octets
        uint64_t lus = 0;
        void ajouter(std::string_view t) {
            if (t.size() >= (size_t(1) << 29)) throw std::length_error("forme trop longue");
            std::memcpy(octets.place(t.size()), t.data(), t.size());
            *bornes.place(1) = {uint32_t(octets.size()), uint32_t(t.size())};
            octets.ajoute(t.size());
            bornes.ajoute(1);
        }
        bool plein() const { return bornes.size() >= 8192 || octets.size() >= (size_t(1) << 20); }
        void vider() {
            octets.retire(octets.size());
            bornes.retire(bornes.size());
        }
    };

    // Below this size a second thread costs more than it saves.
    static constexpr uint64_t SEUIL_PARALLELE = uint64_t(1) << 20;

    void lire(ObjetsFormes &objets) {
        LecteurCsv &lecteur = p_.lecteur();
        taille_ = lecteur.taille_source();
        // (On ordinary pages: see conseiller_grandes_pages.)
        // Its one-time self-check asks the host: done here, before any thread.
        HachageHote::instance();
        if (lecteur.source_autonome() && taille_ >= SEUIL_PARALLELE &&
            std::thread::hardware_concurrency() > 1 && lire_en_parallele(objets))
            return;
        try {
            Lot lot;
            produire(&lot, [&](Lot *plein, bool dernier) {
                verser_lot(*plein, objets);
                return dernier ? nullptr : plein;
            });
        } catch (...) {
            erreur_ = std::current_exception();
        }
    }

    // The batches are filled on another thread; false when it cannot be started.
    bool lire_en_parallele(ObjetsFormes &objets) {
        // Enough batches for the reader to keep ahead while this thread catches up.
        Relais<Lot> relais(4);
        std::thread producteur;
        try {
            producteur = std::thread([this, &relais] {
                try {
                    if (std::unique_ptr<Lot> lot = relais.prendre()) {
                        Lot *courant = lot.release();
                        produire(courant, [&](Lot *plein, bool dernier) -> Lot * {
                            relais.livrer(std::unique_ptr<Lot>(plein));
                            if (dernier) return nullptr;
                            return relais.prendre().release();  // nullptr: this side stopped
                        });
                    }
                } catch (...) {
                    erreur_ = std::current_exception();
                }
                relais.terminer();
            });
        } catch (const std::system_error &) {
            return false;
        }
        std::exception_ptr ici;
        try {
            while (std::unique_ptr<Lot> lot = relais.recevoir()) {
                verser_lot(*lot, objets);
                relais.rendre(std::move(lot));
            }
        } catch (...) {
            ici = std::current_exception();
        }
        relais.arreter();
        producteur.join();
        // A failure here came from a batch read before whatever stopped the reader.
        if (ici) erreur_ = ici;
        return true;
    }

    // The reading loop: fills `lot`, hands each full one to `livrer(lot, dernier)`,
    // which gives the next one to fill (nullptr: stop). The last one, perhaps
    // empty, is handed over with dernier = true, unless livrer has stopped the
    // loop. The reader's errors are kept for executer(); livrer's own go up.
    template <class F> void produire(Lot *lot, F &&livrer) {
        LecteurCsv &lecteur = p_.lecteur();
        bool livraison = false;
        try {
            const size_t nb_entete = p_.nb_colonnes();
            const size_t lue = colonne_ < 0 ? 0 : size_t(colonne_);  // read anyway: errors must surface
            // Lexicons list the forms of one spelling together: a repeat of the
            // previous spelling is skipped before any work.
            std::string precedent;
            std::string_view ortho;
            size_t n = 0;
            while (lecteur.suivant_colonne(lue, ortho, n)) {
                if (n == 0) continue;  // blank line
                if (n > nb_entete) {
                    trop_ = n;
                    break;
                }
                vu_ = true;
                if (colonne_ < 0 || lue >= n || ortho.empty() || ortho == precedent) continue;
                precedent.assign(ortho);
                lot->ajouter(ortho);
                if (lot->plein()) {
                    lot->lus = lecteur.octets_consommes();
                    livraison = true;
                    if (!(lot = livrer(lot, false))) return;
                    livraison = false;
                }
            }
        } catch (...) {
            if (livraison) throw;  // not the reader's: the pass ends here
            erreur_ = std::current_exception();
        }
        // What was gathered before an error still goes in, as it did record by record.
        lot->lus = lecteur.octets_consommes();
        livrer(lot, true);
    }

    // The batch's spellings normalised, then their str objects, into the set's
    // table where it is built directly. The batch is left empty.
    void verser_lot(Lot &lot, ObjetsFormes &objets) {
        for (size_t i = 0; i < lot.bornes.size(); ++i) {
            const std::string_view ortho(lot.octets.data() + lot.bornes[i].first, lot.bornes[i].second);
            if (!normaliseur_.ajouter(formes_, ortho)) hote_.emplace_back(ortho);
        }
        lot.vider();
        formes_.hacher();
#ifdef BRIVANE_TABLE_DIRECTE
        const size_t debut = objets.v.size();
        formes_.creer(objets.v);
        crees_ += objets.v.size() - debut;
        // The final count, extrapolated from the share of the file read so far; at
        // most 64 times what is known, so that a start dense in spellings followed
        // by a long stretch of other text does not size a table of gigabytes (the
        // table grows as usual if the file keeps its density).
        const uint64_t total = taille_, lu = lot.lus;
        const double estimes = total > lu && lu > 0 ? double(crees_) * double(total) / double(lu) : double(crees_);
        const size_t attendus = size_t(std::min(estimes, 64.0 * double(crees_)));
        table_.inserer(objets, attendus);
#else
        formes_.creer(objets.v);
#endif
        formes_.vider();
    }

    PasseCsv &p_;
    const int colonne_;
#ifdef BRIVANE_TABLE_DIRECTE
    TableFormes table_;
    size_t crees_ = 0;
#endif
    uint64_t taille_ = 0;  // of the source, when known beforehand
    NormaliseurFormes normaliseur_;
    LotFormes formes_;
    std::vector<std::string> hote_;  // spellings the host must normalise
    // Written by the reading loop, read once it is over.
    bool vu_ = false;
    size_t trop_ = 0;
    std::exception_ptr erreur_;
};

}  // namespace

void verser_formes(PasseCsv &p, int colonne, PyObject *ens) { PasseFormes(p, colonne).executer(ens); }

}  // namespace brivane::py
