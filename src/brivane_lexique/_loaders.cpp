// Lazy loaders over CSV, TSV and SQLite sources. The iterators behave like
// generators: the call only checks its arguments, the source opens at the first
// request and is released at the end, on error, on close() and when dropped.
#include "_commun.hpp"
#include "_entrees.hpp"
#include "_sqlite_hote.hpp"
#include "_precharge.hpp"
#include "_appel_direct.hpp"

#include <cstring>
#include <memory>
#include <optional>

#include <cerrno>
#include <sys/stat.h>

namespace nb = nanobind;
using namespace brivane::py;
namespace sqlite = brivane::sqlite;

namespace {

NomLie g_resoudre;       // resoudre_colonnes, bound from _aliases
NomLie g_freq;           // FREQ_PRIORITE, bound from _aliases
NomLie g_iter_csv;       // this module's own iter_csv (iter_tsv goes through it)
NomLie g_normaliser;     // this module's own _normaliser_entree

void exiger_chemin(nb::handle o, const char *nom) {
    if (PyUnicode_Check(o.ptr())) return;
    if (PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(o.ptr())), "__fspath__")) return;
    erreur_type(nom, "str | os.PathLike", o.ptr());
}



[[noreturn]] void fin_iteration() { throw nb::stop_iteration(); }

// ---------------------------------------------------------------------------
// _normaliser_entree

nb::object repli(nb::handle col) { return col.attr("lower")().attr("strip")(); }

// A caller that builds entries row by row hands in dicts with the same key objects in
// the same order (those of a reader's header) and the same mapping. From the second
// such row on, the walk below is replayed from a plan made once, as the loaders do,
// while nothing it rests on has moved: the mapping (the same dict at the same
// version: CPython 3.11 moves it with every change), FREQ_PRIORITE (the same list or
// tuple holding the same str objects), the keys (the same str objects in the same
// order), and values whose conversion runs no Python code. Rows of another shape take
// the walk, and a shape is planned only when two rows in a row share it.
class PlanDeLignes {
public:
    static constexpr bool DISPONIBLE = PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000;

    // The entry, or an invalid object when the row must take the walk.
    nb::object essayer(PyObject *row, PyObject *mapping, PyObject *fp) {
        // Making the entry allocates, and a finaliser run by the collector then could
        // call back in: that call takes the walk, and leaves this plan alone.
        if (!DISPONIBLE || occupe_ || !cles_textes(row) || !texte_seulement(fp)) return nb::object();
        occupe_ = true;
        struct Garde {
            bool &b;
            ~Garde() { b = false; }
        } garde{occupe_};
        const bool meme = forme_connue(row, mapping, fp);
        if (!meme) {
            retenir(row, mapping, fp);
            return nb::object();
        }
        if (!pret_) {
            if (!planifier(mapping, fp)) {
                oublier();
                return nb::object();
            }
            pret_ = true;
        }
        // The values held: the same finaliser could change the row meanwhile.
        for (PyObject *v : valeurs_) Py_INCREF(v);
        struct Rendre {
            std::vector<PyObject *> &v;
            ~Rendre() {
                for (PyObject *o : v) Py_DECREF(o);
            }
        } rendre{valeurs_};
        return plan_.depuis_objets(valeurs_.data(), valeurs_.size());
    }

private:
    static uint64_t version(PyObject *d) { return version_dict(d); }
    static bool texte_seulement(PyObject *fp) {
        if (!PyList_CheckExact(fp) && !PyTuple_CheckExact(fp)) return false;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fp); ++i)
            if (!PyUnicode_CheckExact(PySequence_Fast_GET_ITEM(fp, i))) return false;
        return true;
    }
    // Same shape as the recorded one; the row's values (borrowed) into valeurs_.
    bool forme_connue(PyObject *row, PyObject *mapping, PyObject *fp) {
        if (mapping != mapping_ || version(mapping) != version_ || fp != fp_.ptr()) return false;
        if (size_t(PySequence_Fast_GET_SIZE(fp)) != fp_items_.size()) return false;
        for (size_t i = 0; i < fp_items_.size(); ++i)
            if (PySequence_Fast_GET_ITEM(fp, Py_ssize_t(i)) != fp_items_[i].ptr()) return false;
        if (size_t(PyDict_GET_SIZE(row)) != cles_.size()) return false;
        valeurs_.clear();
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        for (size_t i = 0; PyDict_Next(row, &pos, &k, &v); ++i) {
            if (k != cles_[i].ptr() || !valeur_atomique(v)) return false;
            valeurs_.push_back(v);
        }
        return true;
    }
    void retenir(PyObject *row, PyObject *mapping, PyObject *fp) {
        oublier();
        mapping_ = mapping;
        version_ = version(mapping);
        fp_ = nb::borrow(fp);
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(fp); ++i)
            fp_items_.push_back(nb::borrow(PySequence_Fast_GET_ITEM(fp, i)));
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(row, &pos, &k, &v)) cles_.push_back(nb::borrow(k));
    }
    // The plan of the recorded keys, when every name the mapping gives them is a str
    // (any other object could compare differently from one row to the next).
    bool planifier(PyObject *mapping, PyObject *fp) {
        nb::list noms;
        for (const nb::object &c : cles_) {
            PyObject *canon = PyDict_GetItemWithError(mapping, c.ptr());
            if (!canon && PyErr_Occurred()) throw nb::python_error();
            if (canon && !PyUnicode_CheckExact(canon)) return false;
            noms.append(c);
        }
        plan_.construire(noms, mapping, fp);
        try {
            plan_.verifier();
        } catch (nb::python_error &) {
            return false;  // the walk raises it, in its own order
        }
        // Planning ran no Python code that could have changed what it read.
        return version(mapping) == version_;
    }
    void oublier() {
        pret_ = false;
        mapping_ = nullptr;
        fp_ = nb::object();
        fp_items_.clear();
        cles_.clear();
    }

    PlanEntree plan_;
    bool pret_ = false, occupe_ = false;
    PyObject *mapping_ = nullptr;  // compared, never followed
    uint64_t version_ = 0;
    nb::object fp_;
    std::vector<nb::object> fp_items_, cles_;
    std::vector<PyObject *> valeurs_;
};

// Never destroyed: it holds references that must not be released after the
// interpreter has shut down.
PlanDeLignes &g_plan_lignes = *new PlanDeLignes();

nb::dict normaliser_entree(nb::handle row, nb::handle mapping) {
    exiger_dict(row, "row");
    exiger_dict(mapping, "mapping");
    nb::object fp = g_freq.objet();
    {
        nb::object e = g_plan_lignes.essayer(row.ptr(), mapping.ptr(), fp.ptr());
        if (e.is_valid()) return nb::borrow<nb::dict>(e);
    }
    nb::object freq = nb::str("freq");
    // A snapshot: the walk may run Python code (str subclasses) that mutates `row`.
    nb::object items = nb::steal(PyDict_Items(row.ptr()));
    if (!items.is_valid()) throw nb::python_error();
    nb::dict entree;
    bool freq_trouvee = false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject *paire = PyList_GET_ITEM(items.ptr(), i);
        nb::handle col = PyTuple_GET_ITEM(paire, 0), valeur = PyTuple_GET_ITEM(paire, 1);
        nb::object canon;
        if (PyUnicode_CheckExact(col.ptr())) {
            PyObject *c = PyDict_GetItemWithError(mapping.ptr(), col.ptr());
            if (!c && PyErr_Occurred()) throw nb::python_error();
            canon = c ? nb::borrow(c) : repli(col);
        } else {
            // The fallback is computed first, found or not (it fails for non-text).
            nb::object r = repli(col);
            PyObject *c = PyDict_GetItemWithError(mapping.ptr(), col.ptr());
            if (!c && PyErr_Occurred()) throw nb::python_error();
            canon = c ? nb::borrow(c) : r;
        }
        int est_freq = PyObject_RichCompareBool(canon.ptr(), freq.ptr(), Py_EQ);
        if (est_freq < 0) throw nb::python_error();
        if (est_freq) {
            if (!freq_trouvee) entree[freq] = reel_de_valeur(valeur.ptr());
            freq_trouvee = true;
            continue;
        }
        int prio = PySequence_Contains(fp.ptr(), canon.ptr());
        if (prio < 0) throw nb::python_error();
        if (PyDict_SetItem(entree.ptr(), canon.ptr(),
                           prio ? reel_de_valeur(valeur.ptr()).ptr() : valeur.ptr()) < 0)
            throw nb::python_error();
    }
    if (!entree.contains(freq)) {
        for (nb::handle f : fp) {
            PyObject *v = PyDict_GetItemWithError(entree.ptr(), f.ptr());
            if (!v && PyErr_Occurred()) throw nb::python_error();
            if (v) {
                entree[freq] = nb::borrow(v);
                return entree;
            }
        }
        entree[freq] = nb::float_(0.0);
    }
    return entree;
}

// ---------------------------------------------------------------------------
// Generator-like base: states created / running / finished, re-entry refused.

class Iterateur {
public:
    virtual ~Iterateur() = default;
    nb::object suivant() {
        nb::object r = prochain();
        if (!r.is_valid()) fin_iteration();
        return r;
    }
    // Next entry, or an invalid object once the iteration is over.
    nb::object prochain() {
        if (fini_) return nb::object();
        if (en_cours_) {
            PyErr_SetString(PyExc_ValueError, "generator already executing");
            throw nb::python_error();
        }
        en_cours_ = true;
        struct Garde {
            bool &b;
            ~Garde() { b = false; }
        } garde{en_cours_};
        nb::object r;
        try {
            r = avancer();
        } catch (...) {
            terminer();
            throw;
        }
        if (!r.is_valid()) terminer();
        return r;
    }
    void close() {
        if (en_cours_) {
            PyErr_SetString(PyExc_ValueError, "generator already executing");
            throw nb::python_error();
        }
        terminer();
    }

protected:
    // Next entry, or an invalid object at the end.
    virtual nb::object avancer() = 0;
    virtual void liberer() = 0;
    void terminer() {
        if (fini_) return;
        fini_ = true;
        liberer();
    }
    bool fini_ = false;

private:
    bool en_cours_ = false;
};

// ---------------------------------------------------------------------------
// CSV / TSV

class IterCsv : public Iterateur {
public:
    IterCsv(nb::object chemin, nb::object delim, nb::object enc)
        : chemin_(std::move(chemin)), delim_(std::move(delim)), enc_(std::move(enc)) {}
    ~IterCsv() override { terminer(); }

protected:
    nb::object avancer() override {
        if (!passe_) {
            passe_ = std::make_unique<PasseCsv>(chemin_, delim_, enc_);
            if (!passe_->lire_entete()) return nb::object();
            mapping_ = g_resoudre.objet()(passe_->noms());
            if (g_normaliser.original()) passe_->preparer(mapping_);
            else normaliser_ = g_normaliser.objet();
        }
        if (!passe_->suivant()) return nb::object();
        if (normaliser_.is_valid()) return normaliser_(passe_->enregistrement(), mapping_);
        return passe_->entree();
    }
    void liberer() override {
        if (passe_) passe_->fermer();
        passe_.reset();
        mapping_ = nb::object();
        normaliser_ = nb::object();
    }

private:
    nb::object chemin_, delim_, enc_;
    std::unique_ptr<PasseCsv> passe_;
    nb::object mapping_, normaliser_;
};

// iter_csv with a tab, taken element by element from whatever _loaders.iter_csv is
// at the first request (the C++ pass directly while it is the original).
class IterTsv : public Iterateur {
public:
    explicit IterTsv(nb::object chemin) : chemin_(std::move(chemin)) {}
    ~IterTsv() override {
        try {
            terminer();
        } catch (nb::python_error &e) {
            e.discard_as_unraisable("closing the iterator of iter_tsv");
        }
    }

protected:
    nb::object avancer() override {
        if (!direct_ && !interne_.is_valid()) {
            if (g_iter_csv.original()) {
                direct_ = std::make_unique<IterCsv>(chemin_, nb::str("\t"), nb::str("utf-8-sig"));
            } else {
                nb::object it = g_iter_csv.objet()(chemin_, nb::arg("delimiter") = "\t");
                interne_ = nb::steal(PyObject_GetIter(it.ptr()));
                if (!interne_.is_valid()) throw nb::python_error();
            }
        }
        if (direct_) return direct_->prochain();
        PyObject *r = PyIter_Next(interne_.ptr());
        if (!r) {
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::object();
        }
        return nb::steal(r);
    }
    void liberer() override {
        direct_.reset();
        nb::object it = std::move(interne_);
        if (it.is_valid() && PyObject_HasAttrString(it.ptr(), "close")) it.attr("close")();
    }

private:
    nb::object chemin_;
    std::unique_ptr<IterCsv> direct_;
    nb::object interne_;
};

// ---------------------------------------------------------------------------
// SQLite

// The rows of a table read by the SQLite library itself, turned into Python values as
// the sqlite3 module turns them (int, float, str decoded strictly, bytes, None),
// through a read-only connection of our own: the module's per-row objects (cursor
// step, Row, one value per column asked by index) cost more than the entry built
// from them.
class LectureDirecte {
public:
    // Opened and on its first row (or done); nullptr on any failure up to there,
    // which the module's path then meets again and reports in its own words.
    static std::unique_ptr<LectureDirecte> ouvrir(const std::string &fichier, const std::string &sql) {
        const sqlite::Fonctions *f = sqlite_c();
        if (!f) return nullptr;
        auto l = std::make_unique<LectureDirecte>();
        std::optional<sqlite::Erreur> echec;
        {
            // A database held locked by another connection may make the first step wait
            // (the module's timeout): other threads run meanwhile, as with the module.
            nb::gil_scoped_release libre;
            try {
                l->base_ = std::make_unique<sqlite::Base>(*f, fichier,
                                                          sqlite::OUVRIR_LECTURE | sqlite::OUVRIR_SANS_VERROU);
                l->req_ = std::make_unique<sqlite::Requete>(*l->base_, sql);
                l->ligne_ = l->req_->pas();
            } catch (sqlite::Erreur &e) {
                echec = e;
            }
        }
        if (!echec) return l;
        // Busy or locked after the whole wait: the module would wait as long again
        // before saying the same, so it is said now.
        const int code = echec->code & 0xff;
        if (code == 5 || code == 6) lever_sqlite(*echec);
        return nullptr;
    }

    nb::list noms() const {
        nb::list r;
        for (int i = 0; i < req_->nb_colonnes(); ++i) {
            const char *n = req_->nom(i);
            nb::object o = nb::steal(PyUnicode_DecodeUTF8(n, Py_ssize_t(std::strlen(n)), "replace"));
            if (!o.is_valid()) throw nb::python_error();
            r.append(o);
        }
        return r;
    }

    // The columns whose equal texts may be one shared str (the plan's choice).
    void partager(const PlanEntree &plan) {
        partage_.assign(size_t(req_->nb_colonnes()), false);
        for (const PlanEntree::Emplacement &e : plan.emplacements())
            if (e.partage && e.colonne >= 0 && size_t(e.colonne) < partage_.size()) partage_[size_t(e.colonne)] = true;
    }

    // The values of the current row into `valeurs`, then the step to the next one, as
    // the module's cursor steps right after reading a row (its failure is this call's).
    // False when there is no row left.
    bool suivante(std::vector<nb::object> &valeurs) {
        if (!ligne_) return false;
        const int n = req_->nb_colonnes();
        if (derniers_.size() != size_t(n)) {
            derniers_.assign(size_t(n), {});
            partage_.resize(size_t(n), false);
        }
        valeurs.clear();
        for (int i = 0; i < n; ++i) valeurs.push_back(valeur(i));
        try {
            ligne_ = req_->pas();
        } catch (sqlite::Erreur &e) {
            ligne_ = false;
            lever_sqlite(e);
        }
        return true;
    }

private:
    nb::object valeur(int i) {
        PyObject *o = nullptr;
        switch (req_->type(i)) {
        case sqlite::ENTIER: o = PyLong_FromLongLong(req_->entier(i)); break;
        case sqlite::REEL: o = PyFloat_FromDouble(req_->reel(i)); break;
        case sqlite::TEXTE: {
            std::string_view t = req_->texte(i);
            // Lexicons keep the rows of one word together: a text equal to the same
            // column's in the previous row is that row's str.
            Dernier &d = derniers_[size_t(i)];
            if (d.objet.is_valid() && std::string_view(d.octets) == t) return d.objet;
            o = textes_.texte(t, partage_[size_t(i)]);
            if (!o && PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
                PyErr_Clear();
                nb::object type = nb::module_::import_("sqlite3").attr("OperationalError");
                PyErr_Format(type.ptr(), "Could not decode to UTF-8 column '%s' with text '%s'", req_->nom(i),
                             std::string(t).c_str());
            }
            if (o) {
                d.octets.assign(t);
                d.objet = nb::borrow(o);
            }
            break;
        }
        case sqlite::BLOB: {
            std::string_view b = req_->blob(i);
            o = PyBytes_FromStringAndSize(b.data(), Py_ssize_t(b.size()));
            break;
        }
        default: return nb::none();
        }
        if (!o) throw nb::python_error();
        return nb::steal(o);
    }

    std::unique_ptr<sqlite::Base> base_;
    std::unique_ptr<sqlite::Requete> req_;
    bool ligne_ = false;
    TextesPartages textes_;
    std::vector<bool> partage_;
    struct Dernier {
        std::string octets;
        nb::object objet;
    };
    std::vector<Dernier> derniers_;
};

class IterSqlite : public Iterateur {
public:
    IterSqlite(nb::object chemin, nb::object table) : chemin_(std::move(chemin)), table_(std::move(table)) {}
    ~IterSqlite() override { terminer(); }

protected:
    nb::object avancer() override {
        if (!conn_.is_valid() && !direct_) {
            nb::object texte = texte_chemin(chemin_);
            // The library would create an empty database where no file exists.
            PyObject *octets = nullptr;
            if (!PyUnicode_FSConverter(texte.ptr(), &octets)) throw nb::python_error();
            nb::object o = nb::steal(octets);
            struct stat st;
            if (::stat(PyBytes_AS_STRING(octets), &st) != 0 && errno == ENOENT) {
                errno = ENOENT;
                PyErr_SetFromErrnoWithFilenameObject(PyExc_FileNotFoundError, texte.ptr());
                throw nb::python_error();
            }
            nb::object sql = nb::steal(PyUnicode_Concat(nb::str("SELECT * FROM ").ptr(), table_.ptr()));
            if (!sql.is_valid()) throw nb::python_error();
            // Read directly only while the entries are made by this module's own rules.
            if (g_normaliser.original())
                direct_ = LectureDirecte::ouvrir(std::string(PyBytes_AS_STRING(octets), size_t(PyBytes_GET_SIZE(octets))),
                                                 std::string(utf8(sql.ptr())));
            if (direct_) {
                noms_ = direct_->noms();
            } else {
                nb::module_ sqlite3 = nb::module_::import_("sqlite3");
                conn_ = sqlite3.attr("connect")(texte);
                conn_.attr("row_factory") = sqlite3.attr("Row");
                curseur_ = conn_.attr("execute")(sql);
                noms_ = nb::list();
                for (nb::handle d : curseur_.attr("description")) noms_.append(d[0]);
            }
            mapping_ = g_resoudre.objet()(noms_);
            if (g_normaliser.original()) plan_.construire(noms_, mapping_, g_freq.objet());
            else normaliser_ = g_normaliser.objet();
            if (direct_) direct_->partager(plan_);
        }
        size_t n = size_t(PyList_GET_SIZE(noms_.ptr()));
        if (direct_) {
            if (!direct_->suivante(valeurs_)) return nb::object();
        } else {
            PyObject *r = PyIter_Next(curseur_.ptr());
            if (!r) {
                if (PyErr_Occurred()) throw nb::python_error();
                return nb::object();
            }
            nb::object ligne = nb::steal(r);
            valeurs_.clear();
            for (size_t i = 0; i < n; ++i) {
                PyObject *v = PySequence_GetItem(ligne.ptr(), Py_ssize_t(i));
                if (!v) throw nb::python_error();
                valeurs_.push_back(nb::steal(v));
            }
        }
        if (normaliser_.is_valid()) {
            nb::dict record;
            for (size_t i = 0; i < n; ++i) record[PyList_GET_ITEM(noms_.ptr(), Py_ssize_t(i))] = valeurs_[i];
            return normaliser_(record, mapping_);
        }
        std::vector<PyObject *> ptrs(n);
        for (size_t i = 0; i < n; ++i) ptrs[i] = valeurs_[i].ptr();
        return plan_.depuis_objets(ptrs.data(), n);
    }
    void liberer() override {
        direct_.reset();
        curseur_ = nb::object();
        nb::object c = std::move(conn_);
        if (c.is_valid()) {
            PyObject *r = PyObject_CallMethod(c.ptr(), "close", nullptr);
            if (r) Py_DECREF(r);
            else PyErr_Clear();
        }
        valeurs_.clear();
    }

private:
    nb::object chemin_, table_;
    nb::object conn_, curseur_, mapping_, normaliser_;
    std::unique_ptr<LectureDirecte> direct_;
    nb::list noms_;
    PlanEntree plan_;
    std::vector<nb::object> valeurs_;
};

// ---------------------------------------------------------------------------

IterCsv *iter_csv(nb::handle path, nb::handle delimiter, nb::handle encoding) {
    exiger_chemin(path, "path");
    exiger_str(delimiter, "delimiter");
    exiger_str(encoding, "encoding");
    verifier_delimiteur(delimiter);
    return new IterCsv(nb::borrow(path), nb::borrow(delimiter), nb::borrow(encoding));
}

IterTsv *iter_tsv(nb::handle path) {
    exiger_chemin(path, "path");
    return new IterTsv(nb::borrow(path));
}

IterSqlite *iter_sqlite(nb::handle path, nb::handle table) {
    exiger_chemin(path, "path");
    exiger_str(table, "table");
    if (!identifiant_sql(utf8(table.ptr()))) {
        PyErr_Format(PyExc_ValueError,
                     "Argument 'table' must be a plain SQL identifier "
                     "([A-Za-z_][A-Za-z0-9_]*), got %.200R",
                     table.ptr());
        throw nb::python_error();
    }
    return new IterSqlite(nb::borrow(path), nb::borrow(table));
}

template <class T>
void classe_iterateur(nb::module_ &m, const char *nom) {
    nb::class_<T>(m, nom)
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](T &it) { return it.suivant(); })
        .def("close", [](T &it) { it.close(); }, "Ferme la source et termine l'iteration.");
}

}  // namespace

NB_MODULE(_loaders, m) {
    brivane::py::lier_reglage(m);
    m.doc() =
        "Backends de chargement pour differents formats de lexique.\n\n"
        "Chaque loader est un iterateur qui produit des entrees (EntreeLexicale) aux\n"
        "noms de champs canoniques, obtenus via resoudre_colonnes.";

    nb::module_ aliases = nb::module_::import_("brivane_lexique._aliases");
    g_freq.lier(m, "FREQ_PRIORITE", aliases.attr("FREQ_PRIORITE"));
    g_resoudre.lier(m, "resoudre_colonnes", aliases.attr("resoudre_colonnes"));

    // Iterator types: internal, but named so that a repr tells what they are.
    classe_iterateur<IterCsv>(m, "_IterateurCsv");
    classe_iterateur<IterTsv>(m, "_IterateurTsv");
    classe_iterateur<IterSqlite>(m, "_IterateurSqlite");

    m.def("_normaliser_entree", &normaliser_entree, nb::arg("row").none(), nb::arg("mapping").none(),
          nb::sig("def _normaliser_entree(row: dict[str, str], mapping: dict[str, str]) -> EntreeLexicale"),
          "Applique le mapping d'alias et resout la frequence prioritaire.");
    // (Put in place before it is bound: the loaders then know the direct one as their own.)
    FonctionDirecte<&normaliser_entree, 2>::installer(m, "_normaliser_entree");
    m.def("iter_csv", &iter_csv, nb::arg("path").none(), nb::arg("delimiter").none() = ",",
          nb::arg("encoding").none() = "utf-8-sig", nb::rv_policy::take_ownership,
          nb::sig("def iter_csv(path: str | Path, delimiter: str = ',', encoding: str = 'utf-8-sig') "
                  "-> Iterator[EntreeLexicale]"),
          "Itere sur un fichier CSV/TSV et produit des EntreeLexicale.");
    m.def("iter_tsv", &iter_tsv, nb::arg("path").none(), nb::rv_policy::take_ownership,
          nb::sig("def iter_tsv(path: str | Path) -> Iterator[EntreeLexicale]"),
          "Raccourci pour iter_csv avec la tabulation comme delimiteur.");
    m.def("iter_sqlite", &iter_sqlite, nb::arg("path").none(), nb::arg("table").none() = "formes",
          nb::rv_policy::take_ownership,
          nb::sig("def iter_sqlite(path: str | Path, table: str = 'formes') -> Iterator[EntreeLexicale]"),
          "Itere sur une table SQLite et produit des EntreeLexicale.");

    g_iter_csv.lier(m, "iter_csv", m.attr("iter_csv"));
    g_normaliser.lier(m, "_normaliser_entree", m.attr("_normaliser_entree"));
}
