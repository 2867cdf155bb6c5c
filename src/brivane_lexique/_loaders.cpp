// Lazy loaders over CSV, TSV and SQLite sources. The iterators behave like
// generators: the call only checks its arguments, the source opens at the first
// request and is released at the end, on error, on close() and when dropped.
#include "_commun.hpp"
#include "_entrees.hpp"
#include "description.hpp"

#include <memory>

namespace nb = nanobind;
using namespace brivane::py;

namespace {

NomLie g_resoudre;    // resoudre_colonnes, bound from _aliases
NomLie g_freq;        // FREQ_PRIORITE, bound from _aliases
NomLie g_iter_csv;    // this module's own iter_csv (iter_tsv goes through it)
NomLie g_normaliser;  // this module's own _normaliser_entree

void exiger_chemin(nb::handle o, const char *nom) {
    if (PyUnicode_Check(o.ptr())) return;
    if (PyObject_HasAttrString(reinterpret_cast<PyObject *>(Py_TYPE(o.ptr())), "__fspath__")) return;
    erreur_type(nom, "str | os.PathLike", o.ptr());
}

// Entries are made from a plan of the source while _normaliser_entree is this
// module's own; otherwise (and with the fast paths off) each record goes through the
// function bound in the module.
bool plan_natif() { return g_normaliser.original() && brivane::chemins_rapides(); }

nb::dict normaliser_entree(nb::handle row, nb::handle mapping) {
    exiger_dict(row, "row");
    exiger_dict(mapping, "mapping");
    return entree_de_ligne(row, mapping, g_freq.objet());
}

// ---------------------------------------------------------------------------
// Generator-like base: states created / running / finished, re-entry refused.

class Iterateur {
public:
    virtual ~Iterateur() = default;
    // The next entry; StopIteration once the iteration is over.
    nb::object suivant() {
        if (fini_) throw nb::stop_iteration();
        refuser_si_en_cours();
        en_cours_ = true;
        struct Garde {
            bool &b;
            ~Garde() { b = false; }
        } garde{en_cours_};
        nb::object r;
        try {
            r = avancer();
        } catch (...) {
            brivane::suspendre_si_fin_forcee();
            terminer();
            throw;
        }
        if (r.is_valid()) return r;
        terminer();
        throw nb::stop_iteration();
    }
    void close() {
        refuser_si_en_cours();
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

private:
    void refuser_si_en_cours() const {
        if (!en_cours_) return;
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        throw nb::python_error();
    }
    bool fini_ = false, en_cours_ = false;
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
            if (plan_natif()) passe_->preparer(mapping_, g_freq.objet());
            else normaliser_ = g_normaliser.objet();
        }
        if (!passe_->suivant()) return nb::object();
        if (normaliser_.is_valid()) return normaliser_(passe_->enregistrement(), mapping_);
        return passe_->entree();
    }
    void liberer() override {
        if (passe_) passe_->fermer();
        passe_.reset();
        mapping_ = normaliser_ = nb::object();
    }

private:
    nb::object chemin_, delim_, enc_;
    std::unique_ptr<PasseCsv> passe_;
    nb::object mapping_, normaliser_;
};

// iter_csv with a tab, taken element by element from whatever _loaders.iter_csv is
// at the first request.
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
        if (!interne_.is_valid()) {
            nb::object it = g_iter_csv.objet()(chemin_, nb::arg("delimiter") = "\t");
            interne_ = nb::steal(PyObject_GetIter(it.ptr()));
            if (!interne_.is_valid()) throw nb::python_error();
        }
        PyObject *r = PyIter_Next(interne_.ptr());
        if (!r && PyErr_Occurred()) throw nb::python_error();
        return nb::steal(r);
    }
    void liberer() override {
        nb::object it = std::move(interne_);
        if (it.is_valid() && PyObject_HasAttrString(it.ptr(), "close")) it.attr("close")();
    }

private:
    nb::object chemin_, interne_;
};

// ---------------------------------------------------------------------------
// SQLite, read through the host's sqlite3 module

class IterSqlite : public Iterateur {
public:
    IterSqlite(nb::object chemin, nb::object table) : chemin_(std::move(chemin)), table_(std::move(table)) {}
    ~IterSqlite() override { terminer(); }

protected:
    nb::object avancer() override {
        if (!curseur_.is_valid()) ouvrir();
        PyObject *r = PyIter_Next(curseur_.ptr());
        if (!r) {
            if (PyErr_Occurred()) throw nb::python_error();
            return nb::object();
        }
        nb::object ligne = nb::steal(PySequence_Fast(nb::steal(r).ptr(), "row"));
        if (!ligne.is_valid()) throw nb::python_error();
        PyObject **valeurs = PySequence_Fast_ITEMS(ligne.ptr());
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(ligne.ptr());
        if (!normaliser_.is_valid()) return plan_.depuis_objets(valeurs, size_t(n));
        nb::dict record;
        for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(noms_.ptr()); ++i)
            record[PyList_GET_ITEM(noms_.ptr(), i)] = nb::handle(valeurs[i]);
        return normaliser_(record, mapping_);
    }
    void liberer() override {
        curseur_ = nb::object();
        nb::object c = std::move(conn_);
        if (c.is_valid()) fermer_en_silence(c);
    }

private:
    void ouvrir() {
        nb::object texte = texte_chemin(chemin_);
        // The library would create an empty database where no file exists.
        try {
            nb::module_::import_("os").attr("stat")(texte);
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_FileNotFoundError)) throw;
        }
        conn_ = nb::module_::import_("sqlite3").attr("connect")(texte);
        curseur_ = conn_.attr("execute")(nb::str("SELECT * FROM {}").format(table_));
        noms_ = nb::list();
        for (nb::handle d : curseur_.attr("description")) noms_.append(d[0]);
        mapping_ = g_resoudre.objet()(noms_);
        if (plan_natif()) plan_.construire(noms_, mapping_, g_freq.objet());
        else normaliser_ = g_normaliser.objet();
    }

    nb::object chemin_, table_;
    nb::object conn_, curseur_, mapping_, normaliser_;
    nb::list noms_;
    PlanEntree plan_;
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

// ---------------------------------------------------------------------------
// The bulk passes of module `lexique` over a CSV/TSV source, used while its loader
// names are the originals; `normaliser`: None for the native spelling rules, else the
// function lexique.normaliser_ortho is bound to.

nb::object entrees_de(nb::handle chemin, nb::handle delimiteur, nb::handle encodage) {
    return nb::handle(g_iter_csv.origine())(chemin, delimiteur, encodage);
}

// A pass whose entries are made from the plan, or nullptr when the plain loop must
// read the entries of iter_csv instead.
std::unique_ptr<PasseCsv> passe_preparee(nb::handle chemin, nb::handle delimiteur, nb::handle encodage) {
    if (!plan_natif()) return nullptr;
    auto p = std::make_unique<PasseCsv>(chemin, delimiteur, encodage);
    if (p->lire_entete()) p->preparer(g_resoudre.objet()(p->noms()), g_freq.objet());
    return p;
}

nb::object formes_csv(nb::handle chemin, nb::handle delimiteur, nb::handle normaliser, nb::handle encodage) {
    std::unique_ptr<PasseCsv> p = normaliser.is_none() ? passe_preparee(chemin, delimiteur, encodage) : nullptr;
    return p ? formes_passe(*p) : formes_de(entrees_de(chemin, delimiteur, encodage), normaliser);
}

nb::object index_csv(nb::handle chemin, nb::handle delimiteur, nb::handle normaliser, nb::handle encodage,
                     nb::handle progression) {
    if (std::unique_ptr<PasseCsv> p = passe_preparee(chemin, delimiteur, encodage))
        return index_passe(*p, normaliser, progression);
    // The plain pass cannot say where it is: the bar is drawn once, complete.
    nb::object ix = index_de(entrees_de(chemin, delimiteur, encodage), normaliser);
    if (!progression.is_none()) {
        nb::object taille = nb::module_::import_("os").attr("path").attr("getsize")(chemin);
        progression(taille, taille);
    }
    return ix;
}

// Header names of a CSV/TSV source, read as the loaders read them (empty file: []).
nb::list entete_csv(nb::handle chemin, nb::handle delimiteur, nb::handle encodage) {
    PasseCsv p(chemin, delimiteur, encodage);
    nb::list noms = p.lire_entete() ? p.noms() : nb::list();
    p.fermer();
    return noms;
}

// Per column of a CSV/TSV source, in header order: (name as read, filled rows, first
// filled value, type), from one pass over the raw fields.
nb::list decrire_csv(nb::handle chemin, nb::handle delimiteur, nb::handle encodage) {
    PasseCsv p(chemin, delimiteur, encodage);
    nb::list res;
    if (!p.lire_entete()) return res;
    std::vector<brivane::DescriptionColonne> colonnes(p.noms().size());
    while (p.suivant())
        for (size_t i = 0; i < p.champs().size(); ++i) colonnes[i].ajouter(p.champs()[i]);
    for (size_t i = 0; i < colonnes.size(); ++i) {
        const brivane::DescriptionColonne &d = colonnes[i];
        nb::object exemple = d.remplies() ? nb::object(nb::str(d.exemple().data(), d.exemple().size()))
                                          : nb::none();
        res.append(nb::make_tuple(p.noms()[i], d.remplies(), exemple, brivane::nom_type(d.type())));
    }
    return res;
}

template <class T>
void classe_iterateur(nb::module_ &m, const char *nom) {
    nb::class_<T>(m, nom)
        .def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__", [](T &it) {
            Passage p;  // SQL steps give the interpreter up
            return it.suivant();
        })
        .def("close", [](T &it) { it.close(); }, "Ferme la source et termine l'iteration.");
}

}  // namespace

// The type of the three indexes the bulk passes return.
#define INDEX "tuple[dict[str, list[EntreeLexicale]], dict[str, list[EntreeLexicale]], dict[str, list[EntreeLexicale]]]"

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

    m.def("_formes", &formes_csv, nb::arg("chemin"), nb::arg("delimiter"), nb::arg("normaliser").none(),
          nb::arg("encoding").none() = "utf-8-sig",
          nb::sig("def _formes(chemin: str | Path, delimiter: str, normaliser: object, "
                  "encoding: str = 'utf-8-sig') -> frozenset[str]"),
          "Niveau 1 d'un fichier CSV/TSV : les orthographes normalisees (lu comme iter_csv).");
    m.def("_formes_de", &formes_de, nb::arg("entrees"), nb::arg("normaliser").none(),
          nb::sig("def _formes_de(entrees: object, normaliser: object) "
                  "-> frozenset[str]"),
          "Niveau 1 a partir d'entrees quelconques.");
    m.def("_index", &index_csv, nb::arg("chemin"), nb::arg("delimiter"), nb::arg("normaliser").none(),
          nb::arg("encoding").none() = "utf-8-sig", nb::arg("progression").none() = nb::none(),
          nb::sig("def _index(chemin: str | Path, delimiter: str, normaliser: object, "
                  "encoding: str = 'utf-8-sig', progression: object = None) -> " INDEX),
          "Niveaux 2-4 d'un fichier CSV/TSV : index phone, ortho et lemme (lu comme iter_csv).\n\n"
          "progression, si donne, est appele avec (octets lus, taille du fichier) au fil de la passe.");
    m.def("_entete", &entete_csv, nb::arg("chemin"), nb::arg("delimiter"), nb::arg("encoding") = "utf-8-sig",
          nb::sig("def _entete(chemin: str | Path, delimiter: str, encoding: str = 'utf-8-sig') -> list[str]"),
          "Noms de colonnes d'un fichier CSV/TSV, tels que les lisent les loaders.");
    m.def("_decrire", &decrire_csv, nb::arg("chemin"), nb::arg("delimiter"), nb::arg("encoding") = "utf-8-sig",
          nb::sig("def _decrire(chemin: str | Path, delimiter: str, encoding: str = 'utf-8-sig') -> list[tuple[str, int, str | None, str]]"),
          "Colonnes d'un fichier CSV/TSV : (nom lu, lignes remplies, exemple, type).");
    m.def("_index_de", &index_de, nb::arg("entrees"), nb::arg("normaliser").none(),
          nb::sig("def _index_de(entrees: object, normaliser: object) -> " INDEX),
          "Niveaux 2-4 a partir d'entrees quelconques (chacune copiee, freq en float).");

    m.def("_delimiteur", [](nb::handle chemin) { return delimiteur_du_fichier(chemin); }, nb::arg("chemin"),
          nb::sig("def _delimiteur(chemin: str | Path) -> str"),
          "Delimiteur annonce par la ligne d'en-tete d'un fichier CSV : ';' s'il y a des\n"
          "points-virgules sans virgule ni tabulation, la tabulation s'il y a des\n"
          "tabulations sans virgule, ',' sinon (et quand le fichier est illisible).");
    g_iter_csv.lier(m, "iter_csv", m.attr("iter_csv"));
    g_normaliser.lier(m, "_normaliser_entree", m.attr("_normaliser_entree"));
}
