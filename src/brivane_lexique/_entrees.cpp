// Entries of module _loaders (see _entrees.hpp).
#include "_champs.hpp"
#include "_entrees.hpp"
#include "_texte.hpp"

#include "encodage.hpp"
#include "lecture.hpp"
#include "nombre.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <functional>

namespace brivane::py {

namespace {

// A compressed source the host's module could not read (not that format, truncated,
// corrupt): PasseCsv reports it naming the file and the line.
struct ErreurDecompression {
    nb::python_error erreur;
};

// One 0.0 for every entry without a frequency (never released).
nb::object zero() {
    static PyObject *z = PyFloat_FromDouble(0.0);
    return nb::borrow(z);
}

// Field text read as a frequency: empty gives 0.0, otherwise float(text) or 0.0.
nb::object reel_de_texte(std::string_view v) {
    std::optional<double> d = v.empty() ? std::nullopt : lire_reel(v);
    return d && (*d != 0.0 || std::signbit(*d)) ? nb::float_(*d) : zero();
}

// A str from field bytes (valid UTF-8, or decoded with `erreurs`).
nb::object texte_de(std::string_view v, const char *erreurs) {
    PyObject *s = PyUnicode_DecodeUTF8(v.data(), Py_ssize_t(v.size()), erreurs);
    if (!s) throw nb::python_error();
    return nb::steal(s);
}

PyObject *cle_freq() {
    static PyObject *f = PyUnicode_InternFromString("freq");
    return f;
}

bool est_texte_egal(PyObject *o, const char *s) {
    return PyUnicode_CheckExact(o) && PyUnicode_CompareWithASCIIString(o, s) == 0;
}

void verifier_vrai(int r) {
    if (r < 0) throw nb::python_error();
}

// d[k] (borrowed), or nullptr when absent.
PyObject *valeur_de(PyObject *d, PyObject *k) {
    PyObject *v = PyDict_GetItemWithError(d, k);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// The number rule of entries: null, empty, zero or otherwise false gives 0.0; an
// int or float is taken as float(x); text is read like float(text); a value that
// float() refuses with ValueError or TypeError (or OverflowError, when `debordement`
// says so) gives 0.0. Other errors propagate.
nb::object reel_de_valeur(PyObject *v, bool debordement = false) {
    if (v == Py_None) return zero();
    if (PyUnicode_CheckExact(v)) {
        Py_ssize_t n = 0;
        const char *s = PyUnicode_AsUTF8AndSize(v, &n);
        if (s) return reel_de_texte(std::string_view(s, size_t(n)));
        PyErr_Clear();  // lone surrogates: float() refuses them too
        return zero();
    }
    if (PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v) == 0.0 ? zero() : nb::borrow(v);
    if (!vrai(v)) return zero();
    PyObject *r = PyNumber_Float(v);
    if (r) return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_TypeError) &&
        !(debordement && PyErr_ExceptionMatches(PyExc_OverflowError)))
        throw nb::python_error();
    PyErr_Clear();
    return zero();
}

// The canonical name of column `col`: its entry in the mapping, else col.lower().strip().
nb::object canonique(nb::handle col, PyObject *mapping) {
    nb::object repli;
    // For anything but a str the fallback is computed first, found or not (it fails
    // for non-text).
    if (!PyUnicode_CheckExact(col.ptr())) repli = col.attr("lower")().attr("strip")();
    if (PyObject *c = valeur_de(mapping, col.ptr())) return nb::borrow(c);
    return repli.is_valid() ? repli : col.attr("lower")().attr("strip")();
}

nb::dict copie_dict(nb::handle d) {
    nb::dict c = nb::steal<nb::dict>(PyDict_Copy(d.ptr()));
    if (!c.is_valid()) throw nb::python_error();
    return c;
}

// The caller's thread waits for a file (a slow device or a network mount) or for the
// file thread with the interpreter given up, as the host's own file calls do, so
// that other threads go on meanwhile, and runs the host's signal handlers between two
// waits: Ctrl-C stops a read. Explicit rather than a guard object: at exit the host
// ends a daemon thread where it takes the interpreter back, by an unwinding that must
// not start in a destructor; it is parked here instead.
class AttenteHote final : public Attente {
public:
    void bloquer(const std::function<void()> &appel) override {
        PyThreadState *etat = PyEval_SaveThread();
        // A failure of the call (a thread that cannot be joined, memory) is rethrown
        // once the interpreter is back: leaving without it would end the process.
        std::exception_ptr echec;
        try {
            appel();
        } catch (...) {
            echec = std::current_exception();
        }
        try {
            PyEval_RestoreThread(etat);
        } catch (...) {
            suspendre_si_fin_forcee();
            throw;
        }
        if (echec) std::rethrow_exception(echec);
    }
    void entre_attentes() override {
        if (PyErr_CheckSignals() < 0) throw nb::python_error();
    }
};

// Stateless, shared by every source and pass; never destroyed (a daemon thread may
// still be reading when the process exits).
AttenteHote &g_attente = *new AttenteHote;

// A file the host reads: a compressed one through its gzip, bz2 or lzma module (which
// every build of the host carries, so the core needs no compression library of its
// own), or text of another encoding through its text layer (so that its errors,
// chunking and newline handling are its own), line by line, each re-encoded to UTF-8
// for the core reader. The host is called on every read: such a source is never read
// on another thread.
class SourceHote final : public SourceOctets {
public:
    SourceHote(nb::object fichier, bool texte) : fichier_(std::move(fichier)), texte_(texte) {}
    ~SourceHote() override { fermer_en_silence(fichier_); }
    bool par_lignes() const override { return texte_; }
    size_t lire(char *tampon, size_t taille) override {
        if (lu_ == reste_.size()) {
            nb::object b = texte_ ? ligne_utf8() : octets(taille);
            char *p = nullptr;
            Py_ssize_t n = 0;
            if (PyBytes_AsStringAndSize(b.ptr(), &p, &n) < 0) throw nb::python_error();
            reste_.assign(p, size_t(n));
            lu_ = 0;
        }
        size_t n = std::min(taille, reste_.size() - lu_);
        std::memcpy(tampon, reste_.data() + lu_, n);
        lu_ += n;
        return n;
    }

private:
    nb::object ligne_utf8() {
        nb::object ligne = nb::steal(PyObject_CallMethod(fichier_.ptr(), "readline", nullptr));
        if (!ligne.is_valid()) throw nb::python_error();
        nb::object b = nb::steal(PyUnicode_AsEncodedString(ligne.ptr(), "utf-8", "surrogatepass"));
        if (!b.is_valid()) throw nb::python_error();
        return b;
    }
    nb::object octets(size_t taille) {
        PyObject *b = PyObject_CallMethod(fichier_.ptr(), "read", "n", Py_ssize_t(taille));
        if (!b) {
            // Broken data (the host's modules each have their own error type); an
            // interruption or a lack of memory stays what it is.
            const bool donnees = PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
            nb::python_error e;
            if (donnees) throw ErreurDecompression{std::move(e)};
            throw e;
        }
        return nb::steal(b);
    }

    nb::object fichier_;
    const bool texte_;
    std::string reste_;
    size_t lu_ = 0;
};

// The source of raw bytes of `chemin` (str): the file itself, or what its compression
// suffix says it holds. Opening failures raise the host's OSError with the file name.
std::unique_ptr<SourceOctets> source_brute(nb::handle chemin) {
    if (const char *m = module_de_compression(chemin))
        return std::make_unique<SourceHote>(nb::module_::import_(m).attr("open")(chemin, "rb"), false);
    const std::string octets = octets_chemin(chemin);
    try {
        return std::make_unique<SourceFichier>(octets, g_attente);
    } catch (ErreurSysteme &e) {
        erreur_os(e.numero, chemin);
    }
}

// Beyond this many distinct short values, the new ones are no longer shared.
constexpr size_t MAX_PARTAGES = size_t(1) << 17;

}  // namespace

// ---------------------------------------------------------------------------
// The rule of entries

void verifier_delimiteur(nb::handle d) {
    if (PyUnicode_GET_LENGTH(d.ptr()) != 1) {
        PyErr_SetString(PyExc_TypeError, "\"delimiter\" must be a 1-character string");
        throw nb::python_error();
    }
}

nb::dict entree_de_ligne(nb::handle row, nb::handle mapping, nb::handle fp) {
    // The row's own plan: its keys are the columns, its values the record (taken now:
    // the rule may run Python code that changes the dict).
    nb::object noms = nb::steal(PyDict_Keys(row.ptr())), valeurs = nb::steal(PyDict_Values(row.ptr()));
    if (!noms.is_valid() || !valeurs.is_valid()) throw nb::python_error();
    PlanEntree plan;
    plan.construire(noms, mapping, fp, true);
    return plan.depuis_objets(PySequence_Fast_ITEMS(valeurs.ptr()), size_t(PyList_GET_SIZE(valeurs.ptr())));
}

namespace {
// The entries of a source are copies of a model holding the plan's keys in order,
// values None. Where the host offers it, the model is the attribute dict of an
// instance of a class of its own: such a dict and its copies share one table of keys
// and keep only their values (ordinary dicts in every respect, a third of the size);
// the plan then takes the model's key objects, so that each store finds its key by
// identity.
nb::dict modele_entrees(std::vector<PlanEntree::Emplacement> &E) {
    nb::dict simple;
    for (const PlanEntree::Emplacement &e : E) simple[e.cle] = nb::none();
    nb::object classe = nb::borrow(reinterpret_cast<PyObject *>(&PyType_Type))("Entree", nb::tuple(), nb::dict());
    nb::object instance = classe();
    for (const PlanEntree::Emplacement &e : E) {
        // (A name the class itself answers to would not land in the instance's dict.)
        if (!PyUnicode_CheckExact(e.cle.ptr()) || PyObject_HasAttr(classe.ptr(), e.cle.ptr())) return simple;
        verifier_vrai(PyObject_SetAttr(instance.ptr(), e.cle.ptr(), Py_None));
    }
    nb::object d = nb::steal(PyObject_GenericGetDict(instance.ptr(), nullptr));
    if (!d.is_valid()) throw nb::python_error();
    if (!PyDict_CheckExact(d.ptr()) || !nb::list(d.attr("items")()).equal(nb::list(simple.attr("items")())))
        return simple;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (size_t i = 0; PyDict_Next(d.ptr(), &pos, &k, &v); ++i) E[i].cle = nb::borrow(k);
    return nb::borrow<nb::dict>(d);
}
}  // namespace

void PlanEntree::construire(nb::handle noms, nb::handle mapping, nb::handle fp, bool une_fois) {
    emplacements_.clear();
    modele_ = nb::dict();
    erreur_.reset();
    try {
        if (!PyDict_CheckExact(mapping.ptr())) erreur_type("mapping", "dict", mapping.ptr());
        if (une_fois) {
            regle(noms.ptr(), nullptr, mapping.ptr(), fp.ptr());
            return;  // (its entry fills an empty model)
        }
        nb::dict colonnes;  // dict(zip(noms, range(len(noms)))): a later duplicate wins
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(noms.ptr()); ++i) colonnes[PyList_GET_ITEM(noms.ptr(), i)] = i;
        regle(nb::list(colonnes.keys()).ptr(), nb::list(colonnes.values()).ptr(), mapping.ptr(), fp.ptr());
        modele_ = modele_entrees(emplacements_);
    } catch (nb::python_error &e) {
        emplacements_.clear();
        modele_ = nb::dict();
        erreur_.emplace(std::move(e));
    }
}

// The rule of entries on distinct column names and their column numbers (nullptr: their
// positions): each column under its canonical name, in order, a later duplicate taking
// the earlier one's place; the columns `fp` names read by the number rule; "freq" from
// the first column called so, else from the first name of `fp` present (the same
// value), else 0.0.
void PlanEntree::regle(PyObject *noms, PyObject *numeros, PyObject *mapping, PyObject *fp) {
    nb::dict places;  // key -> index in emplacements_
    auto placer = [&](nb::handle cle, int colonne, bool reel, int copie = -1) {
        if (PyObject *i = valeur_de(places.ptr(), cle.ptr())) {
            emplacements_[PyLong_AsSize_t(i)].colonne = colonne;
            emplacements_[PyLong_AsSize_t(i)].reel = reel;
            return;
        }
        places[cle] = nb::int_(emplacements_.size());
        emplacements_.push_back({nb::borrow(cle), colonne, reel, copie});
    };
    emplacements_.reserve(size_t(PyList_GET_SIZE(noms)) + 1);
    bool freq_trouvee = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(noms); ++i) {
        const int colonne = numeros ? int(PyLong_AsLong(PyList_GET_ITEM(numeros, i))) : int(i);
        nb::object canon = canonique(PyList_GET_ITEM(noms, i), mapping);
        const int est_freq = PyObject_RichCompareBool(canon.ptr(), cle_freq(), Py_EQ);
        verifier_vrai(est_freq);
        if (est_freq) {
            if (!freq_trouvee) placer(cle_freq(), colonne, true);
            freq_trouvee = true;
            continue;
        }
        const int reel = PySequence_Contains(fp, canon.ptr());
        verifier_vrai(reel);
        placer(canon, colonne, reel != 0);
    }
    if (freq_trouvee) return;
    for (nb::handle f : nb::handle(fp))
        if (PyObject *i = valeur_de(places.ptr(), f.ptr())) {
            const Emplacement e = emplacements_[PyLong_AsSize_t(i)];
            return placer(cle_freq(), e.colonne, e.reel, int(PyLong_AsLong(i)));
        }
    placer(cle_freq(), -1, true);
}

void PlanEntree::verifier() const {
    if (erreur_) throw nb::python_error(*erreur_);
}

template <class F> nb::dict PlanEntree::entree(size_t n, F &&valeur) {
    tampon_.clear();
    valeurs_entree(n, valeur, tampon_);
    return depuis_valeurs(tampon_.data());
}

template <class F> void PlanEntree::valeurs_entree(size_t n, F &&valeur, std::vector<nb::object> &out) {
    verifier();
    const size_t base = out.size();
    for (size_t k = 0; k < emplacements_.size(); ++k) {
        const Emplacement &e = emplacements_[k];
        const size_t c = size_t(e.colonne);
        nb::object v = e.copie >= 0 ? out[base + size_t(e.copie)]
                       : e.colonne < 0 ? zero()
                       : c >= n        ? (e.reel ? zero() : nb::none())
                                       : valeur(c, e.reel);
        out.push_back(std::move(v));
    }
}

nb::dict PlanEntree::depuis_valeurs(const nb::object *v) {
    // A copy of a dict already holding the keys costs less than inserting each anew.
    nb::dict d = copie_dict(modele_);
    for (size_t k = 0; k < emplacements_.size(); ++k)
        verifier_vrai(PyDict_SetItem(d.ptr(), emplacements_[k].cle.ptr(), v[k].ptr()));
    return d;
}

nb::dict PlanEntree::depuis_objets(PyObject *const *valeurs, size_t n) {
    return entree(n, [&](size_t c, bool reel) { return reel ? reel_de_valeur(valeurs[c]) : nb::borrow(valeurs[c]); });
}

// ---------------------------------------------------------------------------
// The CSV/TSV pass

PasseCsv::PasseCsv(nb::handle chemin, nb::handle delimiteur, nb::handle encodage) {
    exiger_str(delimiteur, "delimiter");
    exiger_str(encodage, "encoding");
    chemin_ = texte_chemin(chemin);
    verifier_delimiteur(delimiteur);
    const long limite = nb::cast<long>(nb::module_::import_("csv").attr("field_size_limit")());
    // The core reads UTF-8 itself and decodes Latin-1 and cp1252; any other codec goes
    // through the host's text layer. (An unknown name raises the host's LookupError
    // here, as open() would.)
    const std::string nom = nb::cast<std::string>(nb::module_::import_("codecs").attr("lookup")(encodage).attr("name"));
    const bool sig = nom == "utf-8-sig", direct = sig || nom == "utf-8";
    std::unique_ptr<SourceOctets> source;
    if (direct) {
        source = source_brute(chemin_);
    } else if (nom == "cp1252" || nom == "iso8859-1") {
        source = std::make_unique<SourceTranscodee>(source_brute(chemin_),
                                                    nom == "cp1252" ? Encodage8::CP1252 : Encodage8::LATIN1);
    } else {
        const char *m = module_de_compression(chemin_);
        nb::object f = nb::module_::import_(m ? m : "io").attr("open")(chemin_, m ? "rt" : "r",
                                                                        nb::arg("encoding") = encodage,
                                                                        nb::arg("newline") = "");
        source = std::make_unique<SourceHote>(std::move(f), true);
        erreurs_ = "surrogatepass";
    }
    // The delimiters the host's csv module refuses differ between its versions: it is
    // asked, once the file is open, as csv.DictReader would.
    nb::module_::import_("_csv").attr("reader")(nb::list(), nb::arg("delimiter") = delimiteur);
    lecteur_ = std::make_unique<LecteurCsv>(std::move(source), std::string(utf8(delimiteur.ptr())), limite, sig,
                                            direct);
}

// Turns the error being handled into the host's exception (the host's own go through
// unchanged), the file closed.
void PasseCsv::lever(std::exception_ptr erreur) {
    const long ligne = lecteur_ ? lecteur_->numero_ligne() + 1 : 0;  // the one being read
    fermer();
    try {
        std::rethrow_exception(erreur);
    } catch (ErreurOctet &e) {
        // The host codec's own error, with a note saying where the byte is.
        nb::object octets = nb::steal(PyBytes_FromStringAndSize(e.bloc.data(), Py_ssize_t(e.bloc.size())));
        const Py_ssize_t k = Py_ssize_t(e.position);
        nb::object err = nb::borrow(PyExc_UnicodeDecodeError)("charmap", octets, k, k + 1,
                                                              "character maps to <undefined>");
        err.attr("add_note")(nb::str("{}, ligne {}").format(chemin_, e.ligne));
        PyErr_SetObject(PyExc_UnicodeDecodeError, err.ptr());
        throw nb::python_error();
    } catch (ErreurDecompression &e) {
        // One line naming the file and the line, in the host module's own error type.
        nb::object origine = nb::borrow(e.erreur.value());
        nb::str message = nb::str("{}, ligne {} : fichier compresse illisible ({})").format(chemin_, ligne, origine);
        PyObject *nouvelle = PyObject_CallOneArg(e.erreur.type().ptr(), message.ptr());
        if (!nouvelle) throw nb::python_error();
        PyException_SetCause(nouvelle, Py_NewRef(origine.ptr()));
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(nouvelle)), nouvelle);
        Py_DECREF(nouvelle);
        throw nb::python_error();
    } catch (ErreurSysteme &e) {
        erreur_os(e.numero);
    } catch (ErreurCsv &e) {
        nb::object err = nb::module_::import_("_csv").attr("Error");
        PyErr_SetString(err.ptr(), e.what());
        throw nb::python_error();
    } catch (ErreurDecodage &e) {
        // The host's codec builds the exact exception from the same bytes.
        nb::object octets = nb::steal(PyBytes_FromStringAndSize(e.octets.data(), Py_ssize_t(e.octets.size())));
        nb::object codecs = nb::module_::import_("codecs");
        nb::object res = nb::steal(PyObject_CallMethod(codecs.ptr(), "utf_8_decode", "OsO", octets.ptr(), "strict",
                                                      e.final ? Py_True : Py_False));
        if (!res.is_valid()) throw nb::python_error();
        PyErr_SetObject(PyExc_UnicodeDecodeError, nb::make_tuple("utf-8", octets, 0, 1, "invalid data").ptr());
        throw nb::python_error();
    }
}

nb::str delimiteur_du_fichier(nb::handle chemin) {
    std::string debut;
    try {
        lire_debut(*source_brute(texte_chemin(chemin)), debut);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
    } catch (ErreurDecompression &) {
    } catch (ErreurSysteme &) {
    }
    return nb::str(std::string(1, delimiteur_entete(debut)).c_str());
}

bool PasseCsv::lire_champs() {
    try {
        if (lecteur_->suivant(champs_)) return true;
    } catch (...) {
        suspendre_si_fin_forcee();
        lever(std::current_exception());
    }
    fermer();
    return false;
}

bool PasseCsv::lire_entete() {
    if (ferme_ || !lire_champs()) return false;
    nb_entete_ = champs_.size();
    derniers_.assign(nb_entete_, {});
    for (std::string_view v : champs_) noms_.append(texte_de(v, erreurs_));
    return true;
}

void PasseCsv::preparer(nb::handle mapping, nb::handle fp) {
    plan_.construire(noms_, mapping, fp);
}

void PasseCsv::trop_de_champs(size_t n) {
    const long ligne = lecteur_->numero_ligne();
    fermer();
    PyErr_Format(PyExc_ValueError, "%U, ligne %ld : %zu champs pour %zu colonnes dans l'en-tete", chemin_.ptr(),
                 ligne, n, nb_entete_);
    throw nb::python_error();
}

bool PasseCsv::suivant() {
    if (ferme_) return false;
    do {
        if (!lire_champs()) return false;
    } while (champs_.empty());  // blank line
    if (champs_.size() > nb_entete_) trop_de_champs(champs_.size());
    return true;
}

nb::object PasseCsv::valeur(std::string_view v, size_t colonne, bool reel) {
    Dernier &d = derniers_[colonne];
    if (d.objet.is_valid() && d.reel == reel && d.octets == v) return d.objet;
    const bool commun = !reel && !v.empty() && v.size() <= 3;
    nb::object s;
    if (commun) {
        cle_.assign(v);
        auto it = partages_.find(cle_);
        if (it != partages_.end()) s = it->second;
    }
    if (!s.is_valid()) {
        s = reel ? reel_de_texte(v) : texte_de(v, erreurs_);
        if (commun && partages_.size() < MAX_PARTAGES) partages_.emplace(cle_, s);
    }
    d.octets.assign(v);
    d.objet = s;
    d.reel = reel;
    return s;
}

nb::dict PasseCsv::entree() {
    return plan_.entree(champs_.size(), [&](size_t c, bool reel) { return valeur(champs_[c], c, reel); });
}

nb::dict PasseCsv::enregistrement() {
    nb::dict d;
    for (size_t i = 0; i < nb_entete_; ++i)
        d[PyList_GET_ITEM(noms_.ptr(), Py_ssize_t(i))] = i < champs_.size() ? valeur(champs_[i], i, false) : nb::none();
    return d;
}

void PasseCsv::fermer() {
    ferme_ = true;
    if (lecteur_) lecteur_->fermer();
    partages_.clear();
    derniers_.clear();
}

// ---------------------------------------------------------------------------
// Level 1

namespace {

nb::object normaliser_avec(nb::handle normaliser, nb::handle texte) {
    return normaliser.is_none() ? normaliser_ortho_py(texte) : normaliser(texte);
}

}  // namespace

// Reads the ortho column only; a large file on a thread of its own while this one
// makes the str objects of the batches already read.
nb::object formes_passe(PasseCsv &p) {
    int colonne = -1;
    for (const PlanEntree::Emplacement &e : p.plan_.emplacements())
        if (est_texte_egal(e.cle.ptr(), "ortho")) colonne = e.colonne;
    EnsembleFormes ens;
    std::vector<nb::object> textes;  // a batch's str, before they go in
    // The str objects of a batch are made and hashed first, then added in a loop of
    // their own: the set's table is far larger than the caches, and a tight loop of
    // additions lets the processor wait for several of its lines at once.
    auto verser = [&](const Lot &lot) {
        // A batch is a few thousand spellings: Ctrl-C is honoured between two.
        g_attente.entre_attentes();
        textes.clear();
        for (size_t i = 0; i < lot.taille(); ++i) {
            nb::object s = normaliser_ortho_py(texte_de(lot[i], nullptr));
            if (PyObject_Hash(s.ptr()) == -1) throw nb::python_error();
            textes.push_back(std::move(s));
        }
        for (const nb::object &s : textes) ens.ajouter(s);
        textes.clear();
    };
    const BilanColonne bilan = lire_colonne(*p.lecteur_, p.nb_entete_, colonne, verser, g_attente);
    // Errors in the order the records raise them: a broken column mapping at the
    // first record, then the reader's own.
    if (bilan.vu) p.plan_.verifier();
    if (bilan.trop) p.trop_de_champs(bilan.trop);
    if (bilan.erreur) p.lever(bilan.erreur);
    p.fermer();
    return ens.geler();
}

nb::object formes_de(nb::handle entrees, nb::handle normaliser) {
    EnsembleFormes ens;
    nb::str cle("ortho"), vide("");
    Interruptible interruption;
    for (nb::handle e : entrees) {
        interruption();
        nb::object ortho = e.attr("get")(cle, vide);
        if (vrai(ortho.ptr())) ens.ajouter(normaliser_avec(normaliser, ortho));
    }
    return ens.geler();
}

// ---------------------------------------------------------------------------
// Levels 2-4

namespace {

// Appends `entree` to the list of `cle`, created on first use.
void ajouter(nb::dict &index, PyObject *cle, PyObject *entree) {
    if (PyObject *liste = valeur_de(index.ptr(), cle)) {
        verifier_vrai(PyList_Append(liste, entree));
        return;
    }
    // Most keys keep one entry: a list of exactly one, not the four slots the first
    // append would reserve.
    nb::object nouvelle = nb::steal(PyList_New(1));
    if (!nouvelle.is_valid()) throw nb::python_error();
    PyList_SET_ITEM(nouvelle.ptr(), 0, Py_NewRef(entree));
    verifier_vrai(PyDict_SetItem(index.ptr(), cle, nouvelle.ptr()));
}

// The three indexes, filled entry by entry: phone, normalised ortho and normalised
// lemme, each key to the list of its entries in source order.
class Index {
public:
    explicit Index(nb::handle normaliser) : normaliser_(nb::borrow(normaliser)), rapide_(chemins_rapides()) {}

    // `propre`: a fresh dict nobody else holds, whose freq is already a float (stored
    // as it is); any other entry is copied and its freq made a float.
    void indexer(nb::handle entree, bool propre) {
        static PyObject *const k_ortho = cle_interne("ortho"), *const k_phone = cle_interne("phone"),
                               *const k_lemme = cle_interne("lemme");
        nb::object ortho = valeur_champ(entree.ptr(), k_ortho);
        if (!vrai(ortho.ptr())) return;
        nb::dict copie;
        if (propre) {
            copie = nb::borrow<nb::dict>(entree);
        } else {
            verifier_vrai(PyDict_Update(copie.ptr(), entree.ptr()));
            PyObject *freq = valeur_de(copie.ptr(), cle_freq());
            if (!freq || !PyFloat_CheckExact(freq)) copie[cle_freq()] = freq ? reel_de_valeur(freq, true) : zero();
        }
        placer(ortho_, ortho, true, copie.ptr());
        PyObject *ph = valeur_de(copie.ptr(), k_phone);
        if (ph && vrai(ph)) placer(phone_, ph, false, copie.ptr());
        PyObject *le = valeur_de(copie.ptr(), k_lemme);
        if (le && vrai(le)) placer(lemme_, le, true, copie.ptr());
    }
    nb::object resultat() {
        if (rapide_)
            for (Un *u : {&phone_, &ortho_, &lemme_}) finir(*u);
        return nb::make_tuple(phone_.dict, ortho_.dict, lemme_.dict);
    }

private:
    // One index. With the fast paths on, its lists are made once the pass is over, one
    // after the other: the scans that prove them unchanged on every call then read the
    // lists and their item arrays in a row, instead of one line here and one there
    // among the entries and their texts. Until then each key holds its first entry, and
    // only the later entries of a key wait here, each with that first one.
    struct Un {
        nb::dict dict;
        std::vector<std::pair<uintptr_t, nb::object>> suivantes;  // (first entry of its key, entry)
    };

    void placer(Un &u, nb::handle valeur, bool normaliser, PyObject *entree) {
        nb::object cle = normaliser ? normaliser_avec(normaliser_, valeur) : nb::borrow(valeur);
        if (!rapide_)
            ajouter(u.dict, cle.ptr(), entree);
        else if (PyObject *premiere = valeur_de(u.dict.ptr(), cle.ptr()))
            u.suivantes.emplace_back((uintptr_t)premiere, nb::borrow(entree));
        else
            verifier_vrai(PyDict_SetItem(u.dict.ptr(), cle.ptr(), entree));
    }

    // Each key's list, in key order, replaces its first entry. The later entries are
    // sorted by first entry, source order kept (no look-up per entry): each key's run
    // is then found by a binary search.
    static void finir(Un &u) {
        auto avant = [](const auto &a, const auto &b) { return a.first < b.first; };
        std::stable_sort(u.suivantes.begin(), u.suivantes.end(), avant);
        Py_ssize_t pos = 0;
        PyObject *cle, *premiere;
        while (PyDict_Next(u.dict.ptr(), &pos, &cle, &premiere)) {
            const auto [d, f] = std::equal_range(u.suivantes.begin(), u.suivantes.end(),
                                                 std::pair{(uintptr_t)premiere, nb::object()}, avant);
            nb::object liste = nb::steal(PyList_New(1 + (f - d)));
            if (!liste.is_valid()) throw nb::python_error();
            PyList_SET_ITEM(liste.ptr(), 0, Py_NewRef(premiere));
            for (auto i = d; i != f; ++i) PyList_SET_ITEM(liste.ptr(), 1 + (i - d), i->second.release().ptr());
            // Only a value changes: the walk stays valid.
            verifier_vrai(PyDict_SetItem(u.dict.ptr(), cle, liste.ptr()));
        }
        u.suivantes = {};
    }

    nb::object normaliser_;
    bool rapide_;
    Un phone_, ortho_, lemme_;
};

}  // namespace

nb::object index_de(nb::handle entrees, nb::handle normaliser) {
    Index ix(normaliser);
    Interruptible interruption;
    for (nb::handle e : entrees) {
        interruption();
        ix.indexer(e, false);
    }
    return ix.resultat();
}

nb::object index_passe(PasseCsv &p, nb::handle normaliser, nb::handle progression) {
    Index ix(normaliser);
    Interruptible interruption;
    // progression(octets lus, taille du fichier) on the caller's thread, every so many
    // records: a command line draws its bar from it.
    const bool suivre = !progression.is_none();
    const uint64_t taille = suivre ? p.lecteur_->taille_source() : 0;
    // With the native key rules (nothing the caller sees runs while a lot is indexed),
    // the records of a lot are read first and their dicts then made one after the
    // other: the scans that read every entry's dict on each call find them side by side
    // instead of among the records' texts.
    const size_t lot = chemins_rapides() && normaliser.is_none() ? 256 : 1;
    std::vector<nb::object> valeurs;
    std::vector<nb::dict> entrees;
    auto indexer_lot = [&] {
        const size_t m = p.plan_.emplacements().size();
        for (size_t debut = 0; m && debut < valeurs.size(); debut += m)
            entrees.push_back(p.plan_.depuis_valeurs(valeurs.data() + debut));
        valeurs.clear();
        for (nb::dict &e : entrees) ix.indexer(e, true);
        entrees.clear();
    };
    for (size_t n = 1; p.suivant(); ++n) {
        interruption();
        p.plan_.valeurs_entree(
            p.champs_.size(), [&](size_t c, bool reel) { return p.valeur(p.champs_[c], c, reel); }, valeurs);
        if (n % lot == 0) indexer_lot();
        if (suivre && n % 16384 == 0) progression(p.lecteur_->octets_consommes(), taille);
    }
    indexer_lot();
    if (suivre) progression(taille ? taille : p.lecteur_->octets_consommes(), taille);
    return ix.resultat();
}

}  // namespace brivane::py
