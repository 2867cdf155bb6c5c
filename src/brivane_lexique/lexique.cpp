// Module `lexique`: the Lexique object, its construction, backends, lifecycle,
// forms set and lazy indexes. The query methods live in lexique_*.cpp.
#include "lexique.hpp"
#include "_appel_direct.hpp"

#include "_texte.hpp"
#include "texte.hpp"

#include <cerrno>
#include <cstring>
#include <string>
#include <algorithm>
#include <cmath>

namespace nb = nanobind;

namespace brivane::py {

namespace {

LiensLexique *g_liens = nullptr;   // bound once at import, never freed
PyTypeObject *g_type = nullptr;    // the Lexique type itself

// Name of the method of Lexique and its original function, to tell whether a
// Python subclass redefines it (then we must go through Python).
struct Methode {
    const char *nom;
    PyObject *nom_py = nullptr;
    PyObject *origine = nullptr;
};
Methode M_GET_CONN{"_get_conn"}, M_CHARGER_INDEX{"_charger_index"},
    M_CHARGER_FORMES{"_charger_formes"}, M_ITER_SOURCE{"_iter_source"},
    M_DETECTER{"_detecter_backend"}, M_GET_PHONE{"_get_index_phone"},
    M_GET_ORTHO{"_get_index_ortho"}, M_GET_LEMME{"_get_index_lemme"}, M_CLOSE{"close"};
Methode *const METHODES[] = {&M_GET_CONN,  &M_CHARGER_INDEX, &M_CHARGER_FORMES,
                             &M_ITER_SOURCE, &M_DETECTER,    &M_GET_PHONE,
                             &M_GET_ORTHO, &M_GET_LEMME,     &M_CLOSE};

bool redefinie(nb::handle self, const Methode &m) {
    PyTypeObject *t = Py_TYPE(self.ptr());
    if (t == g_type) return false;
    return _PyType_Lookup(t, m.nom_py) != m.origine;
}

nb::object appeler(nb::handle self, const Methode &m) {
    return self.attr(m.nom)();
}

Lexique &cpp(nb::handle self) { return *nb::inst_ptr<Lexique>(self); }

const char *const BACKEND_SQLITE = "sqlite";


[[noreturn]] void lever(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    throw nb::python_error();
}

// The CSV/TSV passes of module _loaders (level 1, the three indexes) read the file
// themselves while nothing on the way has been replaced from Python: the loader names
// bound in `lexique` (and the one `iter_tsv` delegates to), and the source iterator of
// the object. Otherwise they are handed the entries of self._iter_source().
bool passe_directe(nb::handle self, const Lexique &l) {
    LiensLexique &L = liens();
    if (redefinie(self, M_ITER_SOURCE)) return false;
    if (l.backend.equal(nb::str("tsv"))) {
        if (!L.iter_tsv.original()) return false;
        return nb::module_::import_("brivane_lexique._loaders").attr("iter_csv").is(L.iter_csv_origine);
    }
    return L.iter_csv.original();
}

// One of the bulk passes of _loaders on the source: `passe` from the file itself,
// `de` from the entries of self._iter_source(); spellings are normalised by the
// native rules (None) while lexique.normaliser_ortho is the original.
nb::object passe_loaders(nb::handle self, Lexique &l, const char *passe, const char *de) {
    nb::module_ loaders = nb::module_::import_("brivane_lexique._loaders");
    NomLie &n = liens().normaliser_ortho;
    nb::object normaliser = n.original() ? nb::none() : n.objet();
    if (!passe_directe(self, l)) return loaders.attr(de)(appeler(self, M_ITER_SOURCE), normaliser);
    return loaders.attr(passe)(l.source, l.backend.equal(nb::str("tsv")) ? "\t" : ",", normaliser);
}

// ---------------------------------------------------------------- level 1

// A frozenset whose members are all plain str (or None) can never be part of a
// reference cycle: it is left out of the collector's walks, each of which would
// otherwise visit every member (the host spares tuples of such values the same way).
void detacher_si_textes(PyObject *gele) {
    Py_ssize_t pos = 0;
    PyObject *cle;
    Py_hash_t h;
    while (_PySet_NextEntry(gele, &pos, &cle, &h))
        if (!PyUnicode_CheckExact(cle) && cle != Py_None) return;
    if (PyObject_GC_IsTracked(gele)) PyObject_GC_UnTrack(gele);
}

nb::object geler(nb::handle ensemble) {
    nb::object gele = nb::steal(PyFrozenSet_New(ensemble.ptr()));
    if (!gele.is_valid()) throw nb::python_error();
    detacher_si_textes(gele.ptr());
    return gele;
}

void charger_formes_sqlite(nb::handle self, Lexique &l) {
    nb::object conn = obtenir_conn(self);
    std::string table = nb::cast<std::string>(nb::str(l.table));
    const std::string index[2] = {
        "CREATE INDEX IF NOT EXISTS idx_" + table + "_ortho_nocase ON " + table + "(ortho COLLATE NOCASE)",
        "CREATE INDEX IF NOT EXISTS idx_" + table + "_lemme_nocase ON " + table + "(lemme COLLATE NOCASE)",
    };
    nb::object operationnelle = liens().sqlite3.attr("OperationalError");
    for (const std::string &sql : index) {
        try {
            conn.attr("execute")(sql);
        } catch (nb::python_error &e) {
            // A read-only lexicon without these indexes still opens: they only speed
            // lookups up. Every other failure ends construction.
            if (!e.matches(operationnelle)) throw;
            nb::object code = nb::getattr(e.value(), "sqlite_errorcode", nb::none());
            const int SQLITE_READONLY = 8;
            if (code.is_none() || (nb::cast<long>(code) & 0xff) != SQLITE_READONLY) throw;
        }
    }
    nb::object cur = conn.attr("cursor")();
    cur.attr("row_factory") = nb::none();  // plain tuples: one column, many rows
    cur.attr("execute")("SELECT DISTINCT lower(ortho) FROM " + table);
    nb::object ens = nb::steal(PySet_New(nullptr));
    nb::object it = nb::steal(PyObject_GetIter(cur.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    while (PyObject *ligne = PyIter_Next(it.ptr())) {
        nb::object r = nb::steal(ligne);
        if (PySet_Add(ens.ptr(), PyTuple_GET_ITEM(ligne, 0)) < 0) throw nb::python_error();
    }
    if (PyErr_Occurred()) throw nb::python_error();
    cur.attr("close")();
    l.formes = geler(ens);
}

void charger_formes(nb::handle self) {
    Lexique &l = cpp(self);
    if (l.est_sqlite())
        charger_formes_sqlite(self, l);
    else
        l.formes = passe_loaders(self, l, "_formes", "_formes_de");
}

// ---------------------------------------------------------------- levels 2-4

void charger_index(nb::handle self) {
    Lexique &l = cpp(self);
    if (l.est_sqlite()) return;
    if (!l.index_phone.is_none()) return;
    nb::tuple ix = nb::borrow<nb::tuple>(passe_loaders(self, l, "_index", "_index_de"));
    // Stored only once the whole pass succeeded: a failed pass leaves all three
    // unset, so the next request starts over.
    l.index_phone = ix[0];
    l.index_ortho = ix[1];
    l.index_lemme = ix[2];
}

nb::object index_par(Lexique &l, nb::object Lexique::*membre, const Methode &m) {
    nb::handle self = soi(&l);
    if (redefinie(self, m)) return appeler(self, m);
    if ((l.*membre).is_none()) {
        if (redefinie(self, M_CHARGER_INDEX))
            appeler(self, M_CHARGER_INDEX);
        else
            charger_index(self);
    }
    if ((l.*membre).is_none()) lever(PyExc_AssertionError, "");
    return l.*membre;
}

nb::object get_conn(nb::handle self) {
    Lexique &l = cpp(self);
    if (l.conn.is_none()) {
        nb::str chemin = nb::str(l.source);
        // The host library would silently create an empty database here.
        nb::object os = nb::module_::import_("os");
        if (!nb::cast<bool>(os.attr("path").attr("exists")(chemin))) {
            nb::object err = nb::borrow(PyExc_FileNotFoundError)(ENOENT, std::strerror(ENOENT), chemin);
            PyErr_SetObject(PyExc_FileNotFoundError, err.ptr());
            throw nb::python_error();
        }
        nb::object conn = liens().sqlite3.attr("connect")(chemin, nb::arg("check_same_thread") = false);
        conn.attr("row_factory") = liens().sqlite3.attr("Row");
        l.conn = conn;
    }
    return l.conn;
}

void close(nb::handle self) {
    Lexique &l = cpp(self);
    if (!l.conn.is_none()) {
        l.conn.attr("close")();
        l.conn = nb::none();
    }
}

nb::object interne(const char *s) { return nb::steal(PyUnicode_InternFromString(s)); }

nb::object detecter_backend(nb::handle self) {
    Lexique &l = cpp(self);
    nb::object suffixe = l.source.attr("suffix").attr("lower")();
    for (const char *s : {".db", ".sqlite", ".sqlite3"})
        if (suffixe.equal(nb::str(s))) return interne(BACKEND_SQLITE);
    if (suffixe.equal(nb::str(".tsv"))) return interne("tsv");
    return interne("csv");
}

void initialiser(Lexique *ptr, nb::handle source, nb::handle table, nb::handle precharger) {
    nb::handle self = nb::find(ptr);  // the storage is not a Lexique yet
    new (ptr) Lexique();
    ptr->py = self.ptr();
    // Methods of a subclass may be called from here on; mark the instance usable
    // now, and undo that if construction fails.
    nb::inst_mark_ready(self);
    try {
        Lexique &l = *ptr;
        l.source = liens().Path(source);
        exiger_str(table, "table");
        if (!identifiant_sql(utf8(table.ptr())))
            lever(PyExc_ValueError,
                  "Argument 'table' must be a plain SQL identifier ([A-Za-z_][A-Za-z0-9_]*)");
        l.table = nb::borrow(table);
        l.backend = redefinie(self, M_DETECTER) ? appeler(self, M_DETECTER) : detecter_backend(self);
        l.formes = nb::steal(PyFrozenSet_New(nullptr));
        if (redefinie(self, M_CHARGER_FORMES))
            appeler(self, M_CHARGER_FORMES);
        else
            charger_formes(self);
        int pre = PyObject_IsTrue(precharger.ptr());
        if (pre < 0) throw nb::python_error();
        if (pre) {
            if (redefinie(self, M_CHARGER_INDEX))
                appeler(self, M_CHARGER_INDEX);
            else
                charger_index(self);
        }
    } catch (...) {
        // A connection opened before the failure must not outlive the attempt.
        nb::object conn = ptr->conn;
        ptr->conn = nb::none();
        if (!conn.is_none()) fermer_en_silence(conn);
        nb::inst_destruct(self);
        throw;
    }
}

nb::object from_directory(nb::handle cls, nb::handle directory, nb::kwargs kwargs) {
    nb::object dossier = liens().Path(directory);
    nb::object trier = nb::module_::import_("builtins").attr("sorted");
    for (const char *motif : {"*.db", "*.sqlite", "*.sqlite3", "*.tsv", "*.csv"}) {
        nb::list trouves = nb::borrow<nb::list>(trier(dossier.attr("glob")(motif)));
        if (nb::len(trouves) > 0) return cls(trouves[0], **kwargs);
    }
    std::string msg = "Aucun fichier lexique trouve dans " + nb::cast<std::string>(nb::str(directory));
    lever(PyExc_FileNotFoundError, msg.c_str());
}

// Destruction closes the connection through close() (a subclass may extend it);
// it must never fail, even for an object whose construction failed.
void finaliser(nb::handle self) {
    if (!nb::inst_ready(self)) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    try {
        if (redefinie(self, M_CLOSE))
            appeler(self, M_CLOSE);
        else
            close(self);
    } catch (...) {
    }
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
}

}  // namespace

// ---------------------------------------------------------------- shared helpers

LiensLexique &liens() { return *g_liens; }

namespace {
bool existe(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    nb::object cle = normaliser(mot);
    int r = PySet_Contains(l.formes.ptr(), cle.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}
}  // namespace

bool redefinie(nb::handle self, const char *nom) {
    PyTypeObject *t = Py_TYPE(self.ptr());
    if (t == g_type) return false;
    nb::str cle = nb::steal<nb::str>(PyUnicode_InternFromString(nom));
    return _PyType_Lookup(t, cle.ptr()) != _PyType_Lookup(g_type, cle.ptr());
}

double en_reel(nb::handle v) {
    if (PyFloat_CheckExact(v.ptr())) return PyFloat_AS_DOUBLE(v.ptr());
    nb::object f = nb::steal(PyNumber_Float(v.ptr()));
    if (!f.is_valid()) throw nb::python_error();
    return PyFloat_AS_DOUBLE(f.ptr());
}

void trier_par_freq(nb::list &entrees) {
    const size_t n = nb::len(entrees);
    if (n < 2) {
        // Still convert, so that a bad frequency fails as the sort would.
        for (nb::handle e : entrees) en_reel(nb::borrow(e).attr("get")("freq", 0));
        return;
    }
    std::vector<std::pair<double, size_t>> cles(n);
    bool nan = false;
    for (size_t i = 0; i < n; ++i) {
        PyObject *e = PyList_GET_ITEM(entrees.ptr(), i);
        static PyObject *const cle_freq = PyUnicode_InternFromString("freq");  // kept for the process
        PyObject *f = PyDict_CheckExact(e) ? PyDict_GetItemWithError(e, cle_freq) : nullptr;
        if (!f && PyErr_Occurred()) throw nb::python_error();
        double d;
        if (f && PyFloat_CheckExact(f))
            d = PyFloat_AS_DOUBLE(f);
        else if (PyDict_CheckExact(e))
            d = f ? en_reel(f) : 0.0;
        else
            d = en_reel(nb::borrow(e).attr("get")("freq", 0));
        nan |= std::isnan(d);
        cles[i] = {-d, i};
    }
    if (nan) {
        // NaN keys make the order depend on the host's merge steps: let it sort.
        nb::object cle = nb::cpp_function([](nb::handle e) {
            return nb::float_(-en_reel(nb::borrow(e).attr("get")("freq", 0)));
        });
        entrees.attr("sort")(nb::arg("key") = cle);
        return;
    }
    std::stable_sort(cles.begin(), cles.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    std::vector<PyObject *> ordre(n);
    for (size_t i = 0; i < n; ++i) ordre[i] = PyList_GET_ITEM(entrees.ptr(), cles[i].second);
    for (size_t i = 0; i < n; ++i) PyList_SET_ITEM(entrees.ptr(), i, ordre[i]);  // same refs, permuted
}

namespace {
// sqlite3.Row's test of a name against a column's: equal, or both ASCII and equal
// ignoring case.
bool meme_nom_de_colonne(PyObject *a, PyObject *b) {
    const int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) throw nb::python_error();
    if (r) return true;
    if (!PyUnicode_Check(a) || !PyUnicode_Check(b) || !PyUnicode_IS_ASCII(a) || !PyUnicode_IS_ASCII(b) ||
        PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b))
        return false;
    const Py_UCS1 *p = PyUnicode_1BYTE_DATA(a), *q = PyUnicode_1BYTE_DATA(b);
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(a); ++i)
        if (Py_TOLOWER(p[i]) != Py_TOLOWER(q[i])) return false;
    return true;
}
// A print equal for any two names meme_nom_de_colonne may match: an ASCII name's
// length and lower-cased bytes, anything else its length alone.
uint64_t empreinte_de_nom(PyObject *nom) {
    if (!PyUnicode_Check(nom)) return 0;
    uint64_t h = 1469598103934665603ull ^ uint64_t(PyUnicode_GET_LENGTH(nom));
    if (!PyUnicode_IS_ASCII(nom)) return h;
    const Py_UCS1 *p = PyUnicode_1BYTE_DATA(nom);
    for (Py_ssize_t i = 0; i < PyUnicode_GET_LENGTH(nom); ++i) h = (h ^ Py_TOLOWER(p[i])) * 1099511628211ull;
    return h;
}
}  // namespace

nb::dict DictsDeLignes::operator()(nb::handle ligne) {
    static PyObject *type_row = nb::object(liens().sqlite3.attr("Row")).release().ptr();  // kept for the process
    if (Py_TYPE(ligne.ptr()) != reinterpret_cast<PyTypeObject *>(type_row)) return dict_de(ligne);
    if (!pret_) {
        std::vector<uint64_t> empreintes;
        for (nb::handle nom : ligne.attr("keys")()) {
            noms_.push_back(nb::borrow(nom));
            empreintes.push_back(empreinte_de_nom(nom.ptr()));
        }
        // Two names sqlite3.Row cannot tell apart: each reads the first of their
        // columns, as dict() does it. (Names it may match have the same print.)
        for (size_t i = 0; i < noms_.size() && !par_dict_; ++i)
            for (size_t j = 0; j < i && !par_dict_; ++j)
                par_dict_ = empreintes[i] == empreintes[j] && meme_nom_de_colonne(noms_[i].ptr(), noms_[j].ptr());
        pret_ = true;
    }
    const Py_ssize_t n = Py_ssize_t(noms_.size());
    const Py_ssize_t taille = PySequence_Size(ligne.ptr());
    if (taille < 0) throw nb::python_error();
    if (par_dict_ || taille != n) return dict_de(ligne);
    nb::dict d = nb::steal<nb::dict>(_PyDict_NewPresized(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object v = nb::steal(PySequence_GetItem(ligne.ptr(), i));
        if (!v.is_valid() || PyDict_SetItem(d.ptr(), noms_[size_t(i)].ptr(), v.ptr()) < 0) throw nb::python_error();
    }
    return d;
}

nb::object minuscule(nb::handle s) {
    if (PyUnicode_CheckExact(s.ptr()) && PyUnicode_IS_ASCII(s.ptr())) {
        const char *p = (const char *)PyUnicode_DATA(s.ptr());
        Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
        Py_ssize_t i = 0;
        while (i < n && !(p[i] >= 'A' && p[i] <= 'Z')) ++i;
        if (i == n) return nb::borrow(s);
    }
    return s.attr("lower")();
}

bool Lexique::est_sqlite() const {
    // Asked on every query: the usual value is the interned constant itself.
    static PyObject *sqlite = PyUnicode_InternFromString(BACKEND_SQLITE);
    if (backend.ptr() == sqlite) return true;
    if (PyUnicode_CheckExact(backend.ptr()) && PyUnicode_CHECK_INTERNED(backend.ptr())) return false;
    return backend.equal(nb::handle(sqlite));
}

nb::object obtenir_conn(nb::handle self) {
    if (redefinie(self, M_GET_CONN)) return appeler(self, M_GET_CONN);
    return get_conn(self);
}
nb::object obtenir_conn(Lexique &l) { return obtenir_conn(soi(&l)); }

nb::object index_phone(Lexique &l) { return index_par(l, &Lexique::index_phone, M_GET_PHONE); }
nb::object index_ortho(Lexique &l) { return index_par(l, &Lexique::index_ortho, M_GET_ORTHO); }
namespace {
PyObject *deja_la(Lexique &l, nb::object Lexique::*champ, const Methode &m) {
    if (redefinie(soi(&l), m)) return nullptr;
    PyObject *ix = (l.*champ).ptr();
    return PyDict_CheckExact(ix) ? ix : nullptr;
}
}  // namespace
PyObject *index_ortho_deja_la(Lexique &l) { return deja_la(l, &Lexique::index_ortho, M_GET_ORTHO); }
PyObject *index_phone_deja_la(Lexique &l) { return deja_la(l, &Lexique::index_phone, M_GET_PHONE); }
nb::object index_lemme(Lexique &l) { return index_par(l, &Lexique::index_lemme, M_GET_LEMME); }

nb::object normaliser(nb::handle mot) {
    NomLie &n = liens().normaliser_ortho;
    if (n.original()) return normaliser_ortho_py(mot);
    return n.objet()(mot);
}

namespace {
// Resolutions already made by the resoudre_colonnes bound at import, by column names.
// Its alias tables never change, so a result computed once stays right; the few
// shapes of SELECT the queries run make this a handful of entries. Never freed.
struct ResolutionConnue {
    nb::object noms;  // tuple of the column names
    std::vector<nb::object> resolus;
};
std::vector<ResolutionConnue> *g_resolutions = new std::vector<ResolutionConnue>();
}  // namespace

std::vector<nb::object> noms_resolus(nb::handle curseur) {
    nb::object desc = curseur.attr("description");
    nb::list noms;
    for (nb::handle item : desc) noms.append(item[0]);
    // A replaced resoudre_colonnes is called on every query, as the module binds it.
    const bool original = liens().resoudre_colonnes.original();
    nb::object cle;
    if (original) {
        cle = nb::steal(PyList_AsTuple(noms.ptr()));
        if (!cle.is_valid()) throw nb::python_error();
        for (const ResolutionConnue &r : *g_resolutions) {
            int egal = PyObject_RichCompareBool(r.noms.ptr(), cle.ptr(), Py_EQ);
            if (egal < 0) throw nb::python_error();
            if (egal) return r.resolus;
        }
    }
    nb::object mapping = liens().resoudre_colonnes.objet()(noms);
    std::vector<nb::object> res;
    res.reserve(nb::len(noms));
    for (nb::handle nom : noms) {
        PyObject *v = PyDict_Check(mapping.ptr()) ? PyDict_GetItemWithError(mapping.ptr(), nom.ptr()) : nullptr;
        if (!v && PyErr_Occurred()) throw nb::python_error();
        res.push_back(nb::borrow(v ? v : nom.ptr()));
    }
    if (original && g_resolutions->size() < 32) g_resolutions->push_back({cle, res});
    return res;
}

nb::dict ligne_en_entree(const std::vector<nb::object> &noms, nb::handle ligne) {
    if (PyTuple_CheckExact(ligne.ptr())) {
        const Py_ssize_t n = std::min<Py_ssize_t>(PyTuple_GET_SIZE(ligne.ptr()), (Py_ssize_t)noms.size());
        nb::dict d = nb::steal<nb::dict>(_PyDict_NewPresized(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyDict_SetItem(d.ptr(), noms[size_t(i)].ptr(), PyTuple_GET_ITEM(ligne.ptr(), i)) < 0)
                throw nb::python_error();
        return d;
    }
    nb::dict d;
    size_t i = 0;
    for (nb::handle v : ligne) {
        if (i >= noms.size()) break;
        if (PyDict_SetItem(d.ptr(), noms[i].ptr(), v.ptr()) < 0) throw nb::python_error();
        ++i;
    }
    return d;
}

nb::list lignes_en_entrees(nb::handle curseur, std::initializer_list<const char *> seulement) {
    std::vector<nb::object> noms = noms_resolus(curseur);
    if (seulement.size()) {
        // Columns outside the wanted names get no key: an empty name marks them.
        for (nb::object &n : noms) {
            bool garde = false;
            for (const char *s : seulement) garde |= PyUnicode_CompareWithASCIIString(n.ptr(), s) == 0;
            if (!garde) n = nb::object();
        }
    }
    // The rows become dicts here: plain tuples are cheaper to fetch than Row objects.
    // The factory is read when rows are fetched, so it can change after execute().
    curseur.attr("row_factory") = nb::none();
    nb::object lignes = nb::steal(PyObject_CallMethod(curseur.ptr(), "fetchall", nullptr));
    if (!lignes.is_valid()) throw nb::python_error();
    const Py_ssize_t n = PyList_GET_SIZE(lignes.ptr());
    nb::list res = nb::steal<nb::list>(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *ligne = PyList_GET_ITEM(lignes.ptr(), i);
        nb::dict d;
        if (seulement.size()) {
            const Py_ssize_t k = std::min<Py_ssize_t>(PyTuple_GET_SIZE(ligne), (Py_ssize_t)noms.size());
            for (Py_ssize_t j = 0; j < k; ++j)
                if (noms[size_t(j)].is_valid() &&
                    PyDict_SetItem(d.ptr(), noms[size_t(j)].ptr(), PyTuple_GET_ITEM(ligne, j)) < 0)
                    throw nb::python_error();
        } else {
            d = ligne_en_entree(noms, ligne);
        }
        PyList_SET_ITEM(res.ptr(), i, d.release().ptr());
    }
    return res;
}

}  // namespace brivane::py

using namespace brivane::py;

NB_MODULE(lexique, m) {
    brivane::py::lier_reglage(m);
    m.doc() =
        "Classe concrete Lexique avec chargement lazy a 4 niveaux.\n\n"
        "Niveau 1 (construction) : set immuable de toutes les formes -> existe() en O(1).\n"
        "Niveau 2 (lazy) : index phone -> entrees, pour homophones().\n"
        "Niveau 3 (lazy) : index ortho -> entrees, pour info(), frequence(), phone_de().\n"
        "Niveau 4 (lazy) : index lemme -> entrees, pour conjuguer(), formes_de().\n\n"
        "Pour SQLite, les niveaux 2-4 utilisent des requetes SQL directes (pas de memoire).\n"
        "Pour CSV/TSV, une seule passe sur le fichier construit les trois index a la demande.";

    g_liens = new LiensLexique();  // lives as long as the process
    LiensLexique &L = *g_liens;
    nb::module_ pkg_aliases = nb::module_::import_("brivane_lexique._aliases");
    nb::module_ pkg_loaders = nb::module_::import_("brivane_lexique._loaders");
    nb::module_ pkg_types = nb::module_::import_("brivane_lexique._types");
    nb::module_ pkg_utils = nb::module_::import_("brivane_lexique._utils");

    L.csv = nb::module_::import_("csv");
    L.sqlite3 = nb::module_::import_("sqlite3");
    L.Path = nb::module_::import_("pathlib").attr("Path");
    m.attr("csv") = L.csv;
    m.attr("sqlite3") = L.sqlite3;
    m.attr("Path") = L.Path;
    L.resoudre_colonnes.lier(m, "resoudre_colonnes", pkg_aliases.attr("resoudre_colonnes"));
    L.iter_csv.lier(m, "iter_csv", pkg_loaders.attr("iter_csv"));
    L.iter_tsv.lier(m, "iter_tsv", pkg_loaders.attr("iter_tsv"));
    L.iter_csv_origine = pkg_loaders.attr("iter_csv");
    L.EntreeLexicale.lier(m, "EntreeLexicale", pkg_types.attr("EntreeLexicale"));
    L.normaliser_ortho.lier(m, "normaliser_ortho", pkg_utils.attr("normaliser_ortho"));
    nb::module_ morphologie = nb::module_::import_("brivane_lexique._morphologie");
    L.morphologie.lier(m, "_morphologie", morphologie);
    L.conjuguer_origine = morphologie.attr("conjuguer");
    L.personne_nombre_origine = morphologie.attr("_personne_nombre_from_entry");
    L.formes_de_origine = morphologie.attr("formes_de");
    L.lemme_de_origine = morphologie.attr("lemme_de");
    L.phonetique.lier(m, "_phonetique", nb::module_::import_("brivane_lexique._phonetique"));
    nb::module_ semantique = nb::module_::import_("brivane_lexique._semantique");
    L.semantique.lier(m, "_semantique", semantique);
    L.synonymes_origine = semantique.attr("synonymes");
    L.antonymes_origine = semantique.attr("antonymes");
    L.definition_origine = semantique.attr("definition");
    L.recherche.lier(m, "_recherche", nb::module_::import_("brivane_lexique._recherche"));

    ClasseLexique c(m, "Lexique",
                    "Interface de requetage du lexique Brivane.\n\n"
                    "Supports CSV, TSV et SQLite. Detection automatique par extension.");
    g_type = (PyTypeObject *)c.ptr();

    c.def("__init__", &initialiser, nb::arg("source").none(), nb::kw_only(),
          nb::arg("table").none() = "formes", nb::arg("precharger").none() = false,
          nb::sig("def __init__(self, source: str | os.PathLike[str], *, table: str = 'formes', "
                  "precharger: bool = False) -> None"),
          "Initialise le lexique a partir d'un fichier.\n\n"
          "Args:\n"
          "    source: Chemin vers un fichier .db/.sqlite, .tsv, ou .csv\n"
          "    table: Nom de la table (pour SQLite uniquement)\n"
          "    precharger: Si True, charge tous les index immediatement\n\n"
          "Le nom de table doit etre un identifiant SQL simple ([A-Za-z_][A-Za-z0-9_]*),\n"
          "sinon ValueError avant toute ouverture de fichier. Une source SQLite absente\n"
          "leve FileNotFoundError sans creer de fichier.");
    c.def_rw("_source", &Lexique::source, nb::arg("value").none());
    c.def_rw("_table", &Lexique::table, nb::arg("value").none());
    c.def_rw("_backend", &Lexique::backend, nb::arg("value").none());
    c.def_rw("_formes", &Lexique::formes, nb::arg("value").none());
    c.def_rw("_index_phone", &Lexique::index_phone, nb::arg("value").none());
    c.def_rw("_index_ortho", &Lexique::index_ortho, nb::arg("value").none());
    c.def_rw("_index_lemme", &Lexique::index_lemme, nb::arg("value").none());
    c.def_rw("_conn", &Lexique::conn, nb::arg("value").none());

    nb::object fd = nb::cpp_function(
        &from_directory, nb::name("from_directory"), nb::arg("cls"), nb::arg("directory").none(),
        nb::arg("kwargs"),
        nb::sig("def from_directory(cls, directory: str | os.PathLike[str], **kwargs) -> Lexique"),
        "Auto-decouvre un fichier lexique dans le repertoire.\n\n"
        "Cherche dans l'ordre : .db, .sqlite, .sqlite3, .tsv, .csv.\n"
        "Les arguments nommes sont transmis au constructeur.");
    c.attr("from_directory") = nb::steal(PyClassMethod_New(fd.ptr()));

    c.def("close", [](nb::handle self) { close(self); },
          nb::sig("def close(self) -> None"), "Ferme la connexion SQLite si ouverte.");
    c.def("__enter__", [](nb::handle self) { return nb::borrow(self); },
          nb::sig("def __enter__(self) -> Lexique"), "Retourne le lexique lui-meme.");
    c.def("__exit__",
          [](nb::handle self, nb::args) {
              if (redefinie(self, M_CLOSE))
                  appeler(self, M_CLOSE);
              else
                  close(self);
              return false;
          },
          nb::sig("def __exit__(self, *exc: object) -> bool"),
          "Ferme la connexion en sortie de bloc with (l'erreur eventuelle n'est pas masquee).");
    c.def("__del__", &finaliser, nb::sig("def __del__(self) -> None"),
          "Ferme la connexion a la destruction, sans jamais echouer.");
    c.def("_detecter_backend", [](nb::handle self) { return detecter_backend(self); },
          nb::sig("def _detecter_backend(self) -> str"),
          "Detecte le backend par extension de fichier.");
    c.def("_get_conn", [](nb::handle self) { return get_conn(self); },
          nb::sig("def _get_conn(self) -> sqlite3.Connection"),
          "Ouvre la connexion SQLite a la demande.");
    c.def("_charger_formes", [](nb::handle self) { charger_formes(self); },
          nb::sig("def _charger_formes(self) -> None"),
          "Niveau 1 : charge le set de toutes les formes.");
    c.def("_iter_source",
          [](nb::handle self) {
              Lexique &l = cpp(self);
              NomLie &f = l.backend.equal(nb::str("tsv")) ? liens().iter_tsv : liens().iter_csv;
              return nb::steal(PyObject_GetIter(f.objet()(l.source).ptr()));
          },
          nb::sig("def _iter_source(self) -> Iterator[dict[str, Any]]"),
          "Itere sur les entrees de la source CSV/TSV (une nouvelle passe par appel).");
    c.def("_charger_index", [](nb::handle self) { charger_index(self); },
          nb::sig("def _charger_index(self) -> None"),
          "Niveaux 2-4 : construit les index phone, ortho et lemme (CSV/TSV).");
    c.def("_get_index_phone", [](Lexique &l) { return index_phone(l); },
          nb::sig("def _get_index_phone(self) -> dict[str, list[dict[str, Any]]]"),
          "Retourne l'index phone, le chargeant si necessaire.");
    c.def("_get_index_ortho", [](Lexique &l) { return index_ortho(l); },
          nb::sig("def _get_index_ortho(self) -> dict[str, list[dict[str, Any]]]"),
          "Retourne l'index ortho, le chargeant si necessaire.");
    c.def("_get_index_lemme", [](Lexique &l) { return index_lemme(l); },
          nb::sig("def _get_index_lemme(self) -> dict[str, list[dict[str, Any]]]"),
          "Retourne l'index lemme, le chargeant si necessaire.");
    c.def("existe", &existe, nb::arg("mot").none(), nb::sig("def existe(self, mot: str) -> bool"),
          "Test d'appartenance O(1) via le set en memoire.");
    MethodeDirecte<Lexique, &existe, 1>::installer(c, "existe");

    for (Methode *meth : METHODES) {
        meth->nom_py = PyUnicode_InternFromString(meth->nom);
        meth->origine = _PyType_Lookup(g_type, meth->nom_py);
        Py_XINCREF(meth->origine);
    }

    lier_mots(c);
    lier_recherche(c);
    lier_filtre(c);
    lier_noms_propres(c);
}
