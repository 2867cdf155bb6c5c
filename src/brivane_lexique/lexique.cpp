// Module `lexique`: the Lexique object, its construction, backends, lifecycle,
// forms set and lazy indexes. The query methods live in lexique_*.cpp.
#include "lexique.hpp"

#include "_aliases_regle.hpp"
#include "_texte.hpp"
#include "code_lexique.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace nb = nanobind;

namespace brivane::py {

namespace {

LiensLexique *g_liens = nullptr;  // bound once at import, never freed
PyTypeObject *g_type = nullptr;   // the Lexique type itself

// self.<nom>() when a subclass redefines that method of Lexique (its own code then
// obeys the override), natif() otherwise.
template <typename F>
nb::object par_methode(nb::handle self, const char *nom, F &&natif) {
    if (redefinie(self, nom)) return self.attr(nom)();
    return natif();
}

Lexique &cpp(nb::handle self) { return *nb::inst_ptr<Lexique>(self); }

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
    if (redefinie(self, "_iter_source")) return false;
    if (!l.backend.equal(nb::str("tsv"))) return L.iter_csv.original();
    return L.iter_tsv.original() &&
           nb::module_::import_("brivane_lexique._loaders").attr("iter_csv").is(L.iter_csv.origine());
}

// One of the bulk passes of _loaders on the source: `passe` from the file itself,
// `de` from the entries of self._iter_source(); spellings are normalised by the
// native rules (None) while lexique.normaliser_ortho is the original.
nb::object passe_loaders(nb::handle self, Lexique &l, const char *passe, const char *de, nb::handle progression) {
    nb::module_ loaders = nb::module_::import_("brivane_lexique._loaders");
    NomLie &n = liens().normaliser_ortho;
    nb::object normaliser = n.original() ? nb::none() : n.objet();
    if (!passe_directe(self, l)) return loaders.attr(de)(self.attr("_iter_source")(), normaliser);
    nb::kwargs options;
    if (progression.is_valid() && !progression.is_none()) options["progression"] = progression;
    return loaders.attr(passe)(l.source, l.delimiteur, normaliser, l.lecture, **options);
}

// The reader's errors keep the host csv's type and text (callers match them); a note
// names the lexicon's file, which that text does not, unless a note of the loader's
// already names it ("file, line N").
void noter_fichier(nb::python_error &e, const Lexique &l) {
    if (!e.matches(PyExc_UnicodeError) && !e.matches(nb::module_::import_("_csv").attr("Error"))) return;
    nb::str chemin = nb::str(l.source);
    for (nb::handle n : nb::getattr(e.value(), "__notes__", nb::tuple()))
        if (PyUnicode_Check(n.ptr()) && PyUnicode_Find(n.ptr(), chemin.ptr(), 0, PY_SSIZE_T_MAX, 1) >= 0) return;
    e.value().attr("add_note")(nb::str("fichier : {!r}").format(chemin));
}

// A text source whose encoding was not given is read as UTF-8 (the common case costs
// nothing more) and, if it is not valid UTF-8, once again as cp1252, which covers
// the Latin-1 and Windows copies that spreadsheets save. A valid UTF-8 file is never
// read as anything else. When neither fits, the error says so in its one line, with
// the file and line the loaders put in a note.
nb::object passe_texte(nb::handle self, Lexique &l, const char *passe, const char *de,
                       nb::handle progression = nb::handle()) {
    try {
        return passe_loaders(self, l, passe, de, progression);
    } catch (nb::python_error &e) {
        noter_fichier(e, l);
        if (!e.matches(PyExc_UnicodeDecodeError) || !l.encodage_trouve) throw;
        if (!l.encodage.equal(nb::str("utf-8"))) {
            nb::object v = nb::borrow(e.value()), notes = nb::getattr(v, "__notes__", nb::none());
            if (nb::hasattr(v, "reason") && !notes.is_none() && nb::len(notes))
                v.attr("reason") = nb::str("{} ({}) : fichier ni UTF-8 ni cp1252, donnez son encodage (encoding=...)")
                                       .format(v.attr("reason"), notes[0]);
            throw;
        }
    }
    l.encodage = l.lecture = nb::str("cp1252");
    return passe_texte(self, l, passe, de, progression);
}

// ---------------------------------------------------------------- level 1

void charger_formes_sqlite(Lexique &l) {
    nb::object conn = obtenir_conn(l);
    std::string table = table_de(l);
    for (std::string colonne : {"ortho", "lemme"}) {
        // With a view over the table, the indexes go on the table itself, in its
        // schema, on the column the view exposes under the canonical name.
        std::string source = colonne;
        for (const auto &[c, s] : l.alias_sql)
            if (c == colonne) source = identifiant_cite(s);
        try {
            conn.attr("execute")("CREATE INDEX IF NOT EXISTS " + std::string(l.alias_sql.empty() ? "" : "main.") +
                                 "idx_" + table + "_" + colonne + "_nocase ON " + table + "(" + source +
                                 " COLLATE NOCASE)");
        } catch (nb::python_error &e) {
            // A read-only lexicon without these indexes still opens: they only speed
            // lookups up. Every other failure ends construction.
            if (!erreur_operationnelle(e)) throw;
            nb::object code = nb::getattr(e.value(), "sqlite_errorcode", nb::none());
            const int SQLITE_READONLY = 8;
            if (code.is_none() || (nb::cast<long>(code) & 0xff) != SQLITE_READONLY) throw;
        }
    }
    nb::object cur = conn.attr("cursor")();
    cur.attr("row_factory") = nb::none();  // plain tuples: one column, many rows
    cur.attr("execute")("SELECT DISTINCT lower(ortho) FROM " + table);
    EnsembleFormes ens;
    for (nb::handle ligne : cur) ens.ajouter(nb::handle(PyTuple_GET_ITEM(ligne.ptr(), 0)));
    cur.attr("close")();
    l.formes = ens.geler();
}

// ---------------------------------------------------------------- phonetic alphabet

// How many transcriptions recognition looks at: enough for the code's upper-case
// letters and digits to show, few enough to cost nothing next to level 1.
constexpr int ECHANTILLON_PHONES = 200;

void ajouter_phone(std::vector<std::string> &echantillon, nb::handle valeur) {
    if (!PyUnicode_Check(valeur.ptr()) || PyUnicode_GET_LENGTH(valeur.ptr()) == 0) return;
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(valeur.ptr(), &n);
    if (!p) {
        PyErr_Clear();  // lone surrogates: not a transcription in either alphabet
        return;
    }
    echantillon.emplace_back(p, size_t(n));
}

// The first non-empty transcriptions of the source. The CSV/TSV sample is read by
// the loader on the file, only when level 1 read the file itself; a file that the
// plain loader cannot read (ValueError) gives no sample.
std::vector<std::string> echantillon_phones(nb::handle self, Lexique &l) {
    std::vector<std::string> echantillon;
    if (l.est_sqlite()) {
        nb::object cur;
        try {
            cur = executer_sql(obtenir_conn(l), "SELECT phone FROM " + table_de(l) + " WHERE phone != '' LIMIT " +
                                                       std::to_string(ECHANTILLON_PHONES));
        } catch (nb::python_error &e) {
            if (!erreur_operationnelle(e)) throw;
            return echantillon;  // no phone column
        }
        for (nb::handle ligne : cur.attr("fetchall")()) ajouter_phone(echantillon, ligne[0]);
        return echantillon;
    }
    if (!passe_directe(self, l)) return echantillon;
    nb::module_ loaders = nb::module_::import_("brivane_lexique._loaders");
    // Read as level 1 read it: same delimiter, same encoding.
    nb::object it = loaders.attr("iter_csv")(l.source, l.delimiteur, l.lecture);
    nb::str cle("phone");
    try {
        for (nb::handle e : it) {
            ajouter_phone(echantillon, valeur_champ(e.ptr(), cle.ptr()));
            if ((int)echantillon.size() >= ECHANTILLON_PHONES) break;
        }
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        echantillon.clear();
    }
    it.attr("close")();
    return echantillon;
}

// The SQLite library's one-line error text, when it starts with `debut`, followed by
// the lexicon's file (unless a call further in already added it).
void nommer_fichier(const Lexique &l, nb::python_error &e, const char *debut = "") {
    nb::tuple args = nb::borrow<nb::tuple>(e.value().attr("args"));
    if (nb::len(args) != 1 || !PyUnicode_Check(args[0].ptr())) return;
    nb::str texte = nb::borrow<nb::str>(args[0]), suite = nb::str(" ({!r})").format(nb::str(l.source));
    if (!nb::cast<bool>(texte.attr("startswith")(debut)) || nb::cast<bool>(texte.attr("endswith")(suite))) return;
    e.value().attr("args") = nb::make_tuple(nb::str("{}{}").format(texte, suite));
}

// (size, mtime_ns) of a text source's file; what os.stat() raises when it cannot be
// looked at (naming it).
nb::tuple empreinte(const Lexique &l) {
    nb::object st = nb::module_::import_("os").attr("stat")(nb::str(l.source));
    return nb::make_tuple(st.attr("st_size"), st.attr("st_mtime_ns"));
}

// The index pass must read the file level 1 read: one truncated, grown or rewritten
// since would give indexes that disagree with the forms set.
void verifier_source_inchangee(nb::handle self, const Lexique &l) {
    if (l.empreinte.is_none() || !passe_directe(self, l)) return;
    nb::tuple apres = empreinte(l);
    if (l.empreinte.equal(apres)) return;
    nb::object avant = l.empreinte[0];
    nb::str quoi = avant.equal(apres[0]) ? nb::str("date de modification changee")
                                         : nb::str("taille {} -> {} octets").format(avant, apres[0]);
    nb::str msg = nb::str("{} : fichier modifie depuis l'ouverture du lexique ({}), rouvrez le lexique")
                      .format(nb::str(l.source), quoi);
    PyErr_SetObject(PyExc_OSError, msg.ptr());
    throw nb::python_error();
}

void charger_formes(nb::handle self) {
    Lexique &l = cpp(self);
    if (l.est_sqlite()) {
        // A database that cannot be read (not a database, damaged, without the forms
        // table) fails construction with the SQLite library's error, naming the file.
        try {
            charger_formes_sqlite(l);
        } catch (nb::python_error &e) {
            if (e.matches(liens().sqlite3.attr("DatabaseError"))) nommer_fichier(l, e);
            throw;
        }
    } else {
        // Taken just before level 1 reads the file; None when a subclass supplies the
        // entries or the file cannot be looked at (the pass then says why).
        l.empreinte = nb::none();
        try {
            if (passe_directe(self, l)) l.empreinte = empreinte(l);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_OSError) && !e.matches(PyExc_ValueError)) throw;
        }
        l.formes = passe_texte(self, l, "_formes", "_formes_de");
    }
    // Recognition at opening: the sample's characters are all symbols of Lexique's
    // code and some are symbols IPA does not use (see ressemble_code_lexique).
    if (l.alphabet.is_none())
        l.alphabet = nb::str(ressemble_code_lexique(echantillon_phones(self, l)) ? "lexique" : "ipa");
}

// ---------------------------------------------------------------- levels 2-4

void charger_index(nb::handle self, nb::handle progression = nb::handle()) {
    Lexique &l = cpp(self);
    if (l.est_sqlite()) return;
    if (!l.index_phone.is_none()) return;
    verifier_source_inchangee(self, l);
    nb::tuple ix = nb::borrow<nb::tuple>(passe_texte(self, l, "_index", "_index_de", progression));
    // Stored only once the whole pass succeeded: a failed pass leaves all three
    // unset, so the next request starts over.
    l.index_phone = ix[0];
    l.index_ortho = ix[1];
    l.index_lemme = ix[2];
}

// The index `membre`, built by _charger_index() when missing. The methods
// _get_index_* run this, without dispatching again: an override calling its base
// method must not come back to itself.
nb::object index_natif(Lexique &l, nb::object Lexique::*membre) {
    nb::handle self = soi(&l);
    if ((l.*membre).is_none()) par_methode(self, "_charger_index", [&] { return charger_index(self), nb::none(); });
    if ((l.*membre).is_none()) lever(PyExc_AssertionError, "");
    return l.*membre;
}

// The index `membre` through the method `methode`, honouring a subclass override.
nb::object index_par(Lexique &l, nb::object Lexique::*membre, const char *methode) {
    return par_methode(soi(&l), methode, [&] { return index_natif(l, membre); });
}

// A table written by another producer names its columns its own way (`phon`,
// `freqfilms2`...): the same aliases as for a CSV/TSV source then apply to the SQL of
// every query through a temporary view of the connection, named as the table (SQLite
// looks names up in the temporary schema first) and adding the canonical names the
// statements use. Nothing is written to the file; a table with those names as they
// are gets no view.
void exposer_alias(Lexique &l, nb::handle conn) {
    l.alias_sql.clear();
    const std::string table = table_de(l);
    nb::list colonnes;
    for (nb::handle r : executer_sql(conn, "PRAGMA main.table_info(" + table + ")")) colonnes.append(r[1]);
    if (nb::len(colonnes) == 0) return;  // no such table: the queries say so
    nb::object mapping = liens().resoudre_colonnes.objet()(colonnes);
    // The first column named `nom` in lower case, or with `canonique` the first one
    // resolving to it; None when there is none.
    auto colonne = [&](nb::handle nom, const char *canonique = nullptr) -> nb::object {
        for (nb::handle c : colonnes)
            if (canonique ? mapping.attr("get")(c).equal(nb::str(canonique)) : minuscule(c).equal(nom))
                return nb::borrow(c);
        return nb::none();
    };
    auto ajouter = [&](const char *canonique, nb::handle s) {
        if (!s.is_none()) l.alias_sql.emplace_back(canonique, nb::cast<std::string>(s));
    };
    for (const char *c : {"ortho", "phone", "lemme", "cgram", "genre", "nombre", "mode", "temps", "personne"})
        if (colonne(nb::str(c)).is_none()) ajouter(c, colonne(nb::handle(), c));
    if (colonne(nb::str("freq_opensubs")).is_none()) {
        nb::object s = nb::none();
        for (nb::handle nom : nb::module_::import_("brivane_lexique._aliases").attr("FREQ_PRIORITE"))
            if (s.is_none()) s = colonne(nom);
        ajouter("freq_opensubs", s.is_none() ? colonne(nb::handle(), "freq") : s);
    }
    if (l.alias_sql.empty()) return;
    std::string sql = "CREATE TEMP VIEW IF NOT EXISTS " + table + " AS SELECT *";
    for (const auto &[c, source] : l.alias_sql) sql += ", " + identifiant_cite(source) + " AS " + c;
    conn.attr("execute")(sql + " FROM main." + table);
}

nb::object get_conn(nb::handle self) {
    Lexique &l = cpp(self);
    if (l.conn.is_none()) {
        nb::str chemin = nb::str(l.source);
        // The host library would silently create an empty database at a missing path.
        // os.stat() fails as open() would (a missing file, a lone surrogate or a NUL
        // in the path), and tells a directory or a FIFO (SQLite would wait for its
        // writer while holding the interpreter) from a file.
        nb::object mode = nb::module_::import_("os").attr("stat")(chemin).attr("st_mode");
        nb::module_ st = nb::module_::import_("stat");
        if (!nb::cast<bool>(st.attr("S_ISREG")(mode)))
            erreur_os(nb::cast<bool>(st.attr("S_ISDIR")(mode)) ? EISDIR : PAS_UN_FICHIER_ORDINAIRE, chemin);
        nb::object conn = liens().sqlite3.attr("connect")(chemin, nb::arg("check_same_thread") = false);
        conn.attr("row_factory") = liens().sqlite3.attr("Row");
        try {
            exposer_alias(l, conn);
        } catch (...) {
            suspendre_si_fin_forcee();
            fermer_en_silence(conn);
            throw;
        }
        l.conn = conn;
    }
    return l.conn;
}

nb::object close(nb::handle self) {
    Lexique &l = cpp(self);
    if (!l.conn.is_none()) {
        l.conn.attr("close")();
        l.conn = nb::none();
    }
    return nb::none();
}

nb::object fermer(nb::handle self) {
    return par_methode(self, "close", [&] { return close(self); });
}

nb::object detecter_backend(nb::handle self) {
    nb::object source = cpp(self).source;
    // A compressed file is of the kind its name says before the compression suffix.
    if (module_de_compression(source)) source = liens().Path(source.attr("stem"));
    nb::object suffixe = source.attr("suffix").attr("lower")();
    for (const char *s : {".db", ".sqlite", ".sqlite3"})
        if (suffixe.equal(nb::str(s))) return nb::str("sqlite");
    return nb::str(suffixe.equal(nb::str(".tsv")) ? "tsv" : "csv");
}

// How a text source is read: its encoding (given, or UTF-8 until proved otherwise) and
// its delimiter (tab for .tsv, else the one its header line announces).
void fixer_lecture(Lexique &l, nb::handle encoding) {
    if (l.est_sqlite()) {
        if (module_de_compression(l.source)) {
            std::string msg = nb::cast<std::string>(nb::str(l.source)) +
                              " : une base SQLite compressee ne s'ouvre pas telle quelle, decompressez-la d'abord";
            lever(PyExc_ValueError, msg.c_str());
        }
        return;
    }
    l.encodage_trouve = encoding.is_none();
    l.encodage = l.encodage_trouve ? nb::str("utf-8") : nb::borrow(encoding);
    if (!l.encodage_trouve) {
        // An unknown name fails here (LookupError); UTF-8 given by name still drops a
        // byte-order mark, which would otherwise hide the first column's name.
        nb::object nom = nb::module_::import_("codecs").attr("lookup")(encoding).attr("name");
        l.lecture = nom.equal(nb::str("utf-8")) ? nb::str("utf-8-sig") : nb::borrow(encoding);
    }
    if (l.backend.equal(nb::str("tsv")))
        l.delimiteur = nb::str("\t");
    else
        l.delimiteur = nb::module_::import_("brivane_lexique._loaders").attr("_delimiteur")(l.source);
}

void construire(nb::handle self, Lexique &l, nb::handle source, nb::handle table, nb::handle precharger,
                nb::handle encoding, nb::handle alphabet) {
    l.source = liens().Path(source);
    exiger_str_ou_none(alphabet, "alphabet");
    if (!alphabet.is_none() && !nb::str("ipa").equal(alphabet) && !nb::str("lexique").equal(alphabet))
        lever(PyExc_ValueError, "Argument 'alphabet' must be 'ipa', 'lexique' or None");
    l.alphabet = nb::borrow(alphabet);
    exiger_str(table, "table");
    exiger_str_ou_none(encoding, "encoding");
    if (!identifiant_sql(utf8(table.ptr())))
        lever(PyExc_ValueError, "Argument 'table' must be a plain SQL identifier ([A-Za-z_][A-Za-z0-9_]*)");
    l.table = nb::borrow(table);
    l.backend = par_methode(self, "_detecter_backend", [&] { return detecter_backend(self); });
    fixer_lecture(l, encoding);
    l.formes = nb::steal(PyFrozenSet_New(nullptr));
    par_methode(self, "_charger_formes", [&] { return charger_formes(self), nb::none(); });
    if (l.alphabet.is_none()) l.alphabet = nb::str("ipa");  // a redefined level 1 recognises nothing
    if (vrai(precharger.ptr())) par_methode(self, "_charger_index", [&] { return charger_index(self), nb::none(); });
}

void initialiser(Lexique *ptr, nb::handle source, nb::handle table, nb::handle precharger, nb::handle encoding,
                 nb::handle alphabet) {
    nb::handle self = nb::find(ptr);  // the storage is not a Lexique yet
    new (ptr) Lexique();
    ptr->py = self.ptr();
    // Methods of a subclass may be called from here on; mark the instance usable
    // now, and undo that if construction fails.
    nb::inst_mark_ready(self);
    try {
        construire(self, *ptr, source, table, precharger, encoding, alphabet);
    } catch (...) {
        suspendre_si_fin_forcee();
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
    for (const char *motif : {"*.db", "*.sqlite", "*.sqlite3", "*.tsv", "*.csv", "*.tsv.gz", "*.csv.gz",
                              "*.tsv.bz2", "*.csv.bz2", "*.tsv.xz", "*.csv.xz"}) {
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
        fermer(self);
    } catch (...) {
        suspendre_si_fin_forcee();
    }
    PyErr_Clear();
    PyErr_Restore(t, v, tb);
}

bool existe(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    nb::object cle = normaliser(mot);
    int r = PySet_Contains(l.formes.ptr(), cle.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// ---------------------------------------------------------------- cycle collector

// The Python values an object holds: a cycle through one of them (an entry given a
// reference back to its lexicon, say) must be found and broken by the collector.
template <class F> void pour_chaque_membre(Lexique &l, F &&f) {
    for (nb::object Lexique::*m : {&Lexique::source, &Lexique::table, &Lexique::backend, &Lexique::formes,
                                   &Lexique::index_phone, &Lexique::index_ortho, &Lexique::index_lemme,
                                   &Lexique::conn})
        f(l.*m);
}

int traverser(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    int r = 0;
    pour_chaque_membre(*nb::inst_ptr<Lexique>(self), [&](nb::object &o) {
        if (!r && o.is_valid()) r = visit(o.ptr(), arg);
    });
    return r;
}

int effacer(PyObject *self) {
    if (!nb::inst_ready(self)) return 0;
    pour_chaque_membre(*nb::inst_ptr<Lexique>(self), [](nb::object &o) {
        nb::object ancien = std::move(o);  // released after the member is reset
        o = nb::none();
    });
    return 0;
}

PyType_Slot g_slots_gc[] = {{Py_tp_traverse, (void *)traverser}, {Py_tp_clear, (void *)effacer}, {0, nullptr}};

}  // namespace

// ---------------------------------------------------------------- shared helpers

Lexique *lexique_de(nb::handle self) {
    if (!g_type || !PyObject_TypeCheck(self.ptr(), g_type) || !nb::inst_ready(self)) return nullptr;
    return nb::inst_ptr<Lexique>(self);
}

void Verrou::attendre() {
    PyThreadState *etat = PyEval_SaveThread();
    // Taken before the interpreter is; released again if taking it back never returns
    // (the host ends daemon threads there at exit).
    std::unique_lock<std::recursive_mutex> pris(*m_);
    PyEval_RestoreThread(etat);
    pris.release();
}

LiensLexique &liens() { return *g_liens; }

bool erreur_operationnelle(nb::python_error &e) { return e.matches(liens().sqlite3.attr("OperationalError")); }

void nommer_colonne_manquante(Lexique *l, nb::python_error &e) {
    if (l && l->est_sqlite() && erreur_operationnelle(e)) nommer_fichier(*l, e, "no such column");
}

bool redefinie(nb::handle self, const char *nom) {
    PyTypeObject *t = Py_TYPE(self.ptr());
    if (t == g_type) return false;
    nb::object ici = nb::getattr(nb::handle((PyObject *)t), nom);
    nb::object base = nb::getattr(nb::handle((PyObject *)g_type), nom);
    return !ici.is(base);
}

nb::dict en_dict(nb::handle ligne) { return nb::borrow<nb::dict>(nb::handle((PyObject *)&PyDict_Type)(ligne)); }

nb::object minuscule(nb::handle s) { return s.attr("lower")(); }

std::string identifiant_cite(const std::string &nom) {
    std::string r = "\"";
    for (char c : nom) r += c == '"' ? std::string("\"\"") : std::string(1, c);
    return r + "\"";
}

std::string table_de(const Lexique &l) { return nb::cast<std::string>(nb::str(l.table)); }

nb::object phone_du_lexique(Lexique &l, nb::handle phone) {
    if (!nb::str("lexique").equal(l.alphabet)) return nb::borrow(phone);
    return texte(ipa_vers_code_lexique(utf8(phone.ptr())));
}

bool Lexique::est_sqlite() const {
    // Asked on every query: read in place, without measuring the literal each time.
    PyObject *b = backend.ptr();
    if (PyUnicode_CheckExact(b))
        return PyUnicode_GET_LENGTH(b) == 6 && PyUnicode_IS_ASCII(b) && std::memcmp(PyUnicode_DATA(b), "sqlite", 6) == 0;
    return backend.equal(nb::str("sqlite"));
}

nb::object obtenir_conn(Lexique &l) {
    nb::handle self = soi(&l);
    return par_methode(self, "_get_conn", [&] { return get_conn(self); });
}

nb::object en_rangees(nb::object curseur) {
    curseur.attr("row_factory") = liens().sqlite3.attr("Row");
    return curseur;
}

nb::object executer_sql(nb::handle conn, const std::string &sql, nb::handle params) {
    return en_rangees(params.is_valid() ? conn.attr("execute")(sql, params) : conn.attr("execute")(sql));
}

nb::object index_phone(Lexique &l) { return index_par(l, &Lexique::index_phone, "_get_index_phone"); }
nb::object index_ortho(Lexique &l) { return index_par(l, &Lexique::index_ortho, "_get_index_ortho"); }
nb::object index_lemme(Lexique &l) { return index_par(l, &Lexique::index_lemme, "_get_index_lemme"); }

nb::object normaliser(nb::handle mot) {
    NomLie &n = liens().normaliser_ortho;
    if (n.original() && chemins_rapides()) return normaliser_ortho_py(mot);
    return n.objet()(mot);
}

std::vector<nb::object> noms_resolus(nb::handle curseur) {
    nb::object description = curseur.attr("description");
    if (chemins_rapides() && liens().resoudre_colonnes.original()) {
        // The module's own rule, applied here name by name: the same names, without
        // the list and the dict of a call through Python.
        std::vector<nb::object> res;
        for (nb::handle item : description)
            res.push_back(alias::resoudre(liens().alias_inverse.ptr(), nb::object(item[0]).ptr()));
        return res;
    }
    nb::list noms;
    for (nb::handle item : description) noms.append(item[0]);
    // Called on every query, through the module attribute (which may be replaced).
    nb::object mapping = liens().resoudre_colonnes.objet()(noms);
    std::vector<nb::object> res;
    for (nb::handle nom : noms) {
        PyObject *v = PyDict_Check(mapping.ptr()) ? PyDict_GetItemWithError(mapping.ptr(), nom.ptr()) : nullptr;
        if (!v && PyErr_Occurred()) throw nb::python_error();
        res.push_back(nb::borrow(v ? v : nom.ptr()));
    }
    return res;
}

nb::dict ligne_en_entree(const std::vector<nb::object> &noms, nb::handle ligne, nb::handle modele) {
    nb::object valeurs = nb::steal(PySequence_Tuple(ligne.ptr()));
    if (!valeurs.is_valid()) throw nb::python_error();
    const size_t n = std::min<size_t>(size_t(PyTuple_GET_SIZE(valeurs.ptr())), noms.size());
    nb::dict d = modele.is_valid() ? nb::steal<nb::dict>(PyDict_Copy(modele.ptr())) : nb::dict();
    if (!d.is_valid()) throw nb::python_error();
    for (size_t i = 0; i < n; ++i)
        if (noms[i].is_valid() && PyDict_SetItem(d.ptr(), noms[i].ptr(), PyTuple_GET_ITEM(valeurs.ptr(), i)) < 0)
            throw nb::python_error();
    return d;
}

namespace {

// The rows of `curseur` turned into dicts by position under `noms`.
nb::list lignes_par_position(nb::handle curseur, const std::vector<nb::object> &noms) {
    // Plain tuples are cheaper to fetch than Row objects. The factory is read when rows
    // are fetched, so it can change after execute().
    curseur.attr("row_factory") = nb::none();
    nb::list res;
    // After the first row, each row's dict is a copy of the one before: a copy is sized
    // once, where a dict filled from empty grows several times, and every key keeps the
    // place the first row gave it.
    nb::object precedent;
    for (nb::handle ligne : curseur.attr("fetchall")()) {
        nb::dict d = ligne_en_entree(noms, ligne, chemins_rapides() ? nb::handle(precedent) : nb::handle());
        precedent = d;
        res.append(d);
    }
    return res;
}

}  // namespace

nb::list lignes_en_entrees(nb::handle curseur, std::initializer_list<const char *> seulement) {
    std::vector<nb::object> noms = noms_resolus(curseur);
    // Columns outside the wanted names get no key (ligne_en_entree skips them).
    for (nb::object &n : noms) {
        auto meme = [&](const char *s) { return PyUnicode_CompareWithASCIIString(n.ptr(), s) == 0; };
        if (seulement.size() && std::none_of(seulement.begin(), seulement.end(), meme)) n = nb::object();
    }
    return lignes_par_position(curseur, noms);
}

nb::list lignes_en_dicts(nb::handle curseur) {
    nb::list res;
    if (!chemins_rapides() || !nb::getattr(curseur, "row_factory", nb::none()).is(liens().sqlite3.attr("Row"))) {
        for (nb::handle r : curseur.attr("fetchall")()) res.append(en_dict(r));
        return res;
    }
    // dict(row) of a Row looks every name up again in the row; the statements' names
    // are distinct (a table's, or a select list's), so their values by position are
    // the same dict.
    std::vector<nb::object> noms;
    for (nb::handle d : curseur.attr("description")) noms.push_back(d[0]);
    return lignes_par_position(curseur, noms);
}

namespace {

// The names the module binds at import (replacing one from Python takes effect).
void lier_noms(nb::module_ &m) {
    g_liens = new LiensLexique();  // lives as long as the process
    LiensLexique &L = *g_liens;
    auto module = [](const char *nom) { return nb::module_::import_(("brivane_lexique." + std::string(nom)).c_str()); };
    nb::module_ aliases = module("_aliases"), loaders = module("_loaders"), morphologie = module("_morphologie"),
                semantique = module("_semantique");
    L.sqlite3 = nb::module_::import_("sqlite3");
    L.Path = nb::module_::import_("pathlib").attr("Path");
    m.attr("csv") = nb::module_::import_("csv");
    m.attr("sqlite3") = L.sqlite3;
    m.attr("Path") = L.Path;
    L.resoudre_colonnes.lier(m, "resoudre_colonnes", aliases.attr("resoudre_colonnes"));
    L.alias_inverse = aliases.attr("_ALIAS_INVERSE");
    L.iter_csv.lier(m, "iter_csv", loaders.attr("iter_csv"));
    L.iter_tsv.lier(m, "iter_tsv", loaders.attr("iter_tsv"));
    m.attr("EntreeLexicale") = module("_types").attr("EntreeLexicale");
    L.normaliser_ortho.lier(m, "normaliser_ortho", module("_utils").attr("normaliser_ortho"));
    L.morphologie.lier(m, "_morphologie", morphologie);
    L.conjuguer_origine = morphologie.attr("conjuguer");
    L.personne_nombre_origine = morphologie.attr("_personne_nombre_from_entry");
    L.lemme_de_origine = morphologie.attr("lemme_de");
    L.phonetique.lier(m, "_phonetique", module("_phonetique"));
    L.semantique.lier(m, "_semantique", semantique);
    L.synonymes_origine = semantique.attr("synonymes");
    L.antonymes_origine = semantique.attr("antonymes");
    L.definition_origine = semantique.attr("definition");
    L.recherche.lier(m, "_recherche", module("_recherche"));
}

// Construction, lifecycle, backends, forms set and indexes.
void lier_base(ClasseLexique &c) {
    c.def("__init__", &initialiser, nb::arg("source").none(), nb::kw_only(),
          nb::arg("table").none() = "formes", nb::arg("precharger").none() = false,
          nb::arg("encoding").none() = nb::none(), nb::arg("alphabet").none() = nb::none(),
          nb::sig("def __init__(self, source: str | os.PathLike[str], *, table: str = 'formes', "
                  "precharger: bool = False, encoding: str | None = None, alphabet: str | None = None) -> None"),
          "Initialise le lexique a partir d'un fichier.\n\n"
          "Args:\n"
          "    source: Chemin vers un fichier .db/.sqlite, .tsv, ou .csv\n"
          "    table: Nom de la table (pour SQLite uniquement)\n"
          "    precharger: Si True, charge tous les index immediatement\n"
          "    encoding: Encodage d'un fichier texte ; par defaut UTF-8, ou cp1252 si le\n"
          "        fichier n'est pas de l'UTF-8 valide (voir l'attribut encodage)\n\n"
          "Un fichier .csv (ou d'un autre suffixe) est lu avec le delimiteur de sa ligne\n"
          "d'en-tete (';', tabulation ou ','). Un fichier compresse (.gz, .bz2, .xz) est lu\n"
          "directement, son type etant donne par le suffixe qui precede.\n\n"
          "    alphabet: 'ipa' ou 'lexique' (code phonetique de Lexique 3.83, 'S@te'),\n"
          "        ecriture de la colonne phone ; None : reconnue a l'ouverture sur les\n"
          "        200 premieres prononciations (toutes en symboles du code, dont au moins\n"
          "        un absent de l'API : majuscule, chiffre, @, \u00b0, \u00a7)\n\n"
          "Le nom de table doit etre un identifiant SQL simple ([A-Za-z_][A-Za-z0-9_]*),\n"
          "sinon ValueError avant toute ouverture de fichier. Une source SQLite absente\n"
          "leve FileNotFoundError sans creer de fichier.");
    using Membre = std::pair<const char *, nb::object Lexique::*>;
    for (auto [nom, membre] : {Membre{"_source", &Lexique::source}, Membre{"_table", &Lexique::table},
                               Membre{"_backend", &Lexique::backend}, Membre{"_formes", &Lexique::formes},
                               Membre{"_index_phone", &Lexique::index_phone}, Membre{"_index_ortho", &Lexique::index_ortho},
                               Membre{"_index_lemme", &Lexique::index_lemme}, Membre{"_conn", &Lexique::conn},
                               Membre{"_delimiteur", &Lexique::delimiteur}})
        c.def_rw(nom, membre, nb::arg("value").none());
    c.def_prop_ro("alphabet", [](Lexique &l) { return l.alphabet; }, nb::sig("def alphabet(self) -> str"),
                  "Ecriture de la colonne phone : 'ipa' ou 'lexique' (code de Lexique).");
    c.def_prop_ro("encodage", [](Lexique &l) { return l.encodage; },
                  nb::sig("def encodage(self) -> str | None"),
                  "Encodage dans lequel le fichier texte est lu (None pour SQLite) : celui\n"
                  "donne par encoding=, sinon 'utf-8', ou 'cp1252' si le fichier n'etait pas\n"
                  "de l'UTF-8 valide.");

    nb::object fd = nb::cpp_function(
        &from_directory, nb::name("from_directory"), nb::arg("cls"), nb::arg("directory").none(),
        nb::arg("kwargs"),
        nb::sig("def from_directory(cls, directory: str | os.PathLike[str], **kwargs) -> Lexique"),
        "Auto-decouvre un fichier lexique dans le repertoire.\n\n"
        "Cherche dans l'ordre : .db, .sqlite, .sqlite3, .tsv, .csv.\n"
        "Puis les fichiers compresses .tsv.gz, .csv.gz, .tsv.bz2, .csv.bz2, .tsv.xz, .csv.xz.\n"
        "Les arguments nommes sont transmis au constructeur.");
    c.attr("from_directory") = nb::steal(PyClassMethod_New(fd.ptr()));

    c.def("close", [](nb::handle self) { close(self); },
          nb::sig("def close(self) -> None"), "Ferme la connexion SQLite si ouverte.");
    c.def("__enter__", [](nb::handle self) { return nb::borrow(self); },
          nb::sig("def __enter__(self) -> Lexique"), "Retourne le lexique lui-meme.");
    c.def("__exit__",
          [](nb::handle self, nb::args) { return fermer(self), false; },
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
              const bool tsv = l.backend.equal(nb::str("tsv"));
              // The loaders' defaults, when they fit, keep the plain calls.
              if (l.lecture.equal(nb::str("utf-8-sig")) && l.delimiteur.equal(nb::str(tsv ? "\t" : ",")))
                  return nb::iter((tsv ? liens().iter_tsv : liens().iter_csv).objet()(l.source));
              return nb::iter(liens().iter_csv.objet()(l.source, nb::arg("delimiter") = l.delimiteur,
                                                       nb::arg("encoding") = l.lecture));
          },
          nb::sig("def _iter_source(self) -> Iterator[dict[str, Any]]"),
          "Itere sur les entrees de la source CSV/TSV (une nouvelle passe par appel).");
    c.def("_charger_index", [](nb::handle self, nb::handle progression) { charger_index(self, progression); },
          nb::arg("progression").none() = nb::none(),
          nb::sig("def _charger_index(self, progression: object = None) -> None"),
          "Niveaux 2-4 : construit les index phone, ortho et lemme (CSV/TSV).\n\n"
          "progression, si donne, recoit (octets lus, taille du fichier) pendant la passe.");
    c.def("_get_index_phone", [](Lexique &l) { return index_natif(l, &Lexique::index_phone); },
          nb::sig("def _get_index_phone(self) -> dict[str, list[dict[str, Any]]]"),
          "Retourne l'index phone, le chargeant si necessaire.");
    c.def("_get_index_ortho", [](Lexique &l) { return index_natif(l, &Lexique::index_ortho); },
          nb::sig("def _get_index_ortho(self) -> dict[str, list[dict[str, Any]]]"),
          "Retourne l'index ortho, le chargeant si necessaire.");
    c.def("_get_index_lemme", [](Lexique &l) { return index_natif(l, &Lexique::index_lemme); },
          nb::sig("def _get_index_lemme(self) -> dict[str, list[dict[str, Any]]]"),
          "Retourne l'index lemme, le chargeant si necessaire.");
    c.def("existe", &existe, nb::arg("mot").none(), nb::sig("def existe(self, mot: str) -> bool"),
          "Test d'appartenance O(1) via le set en memoire.");
}

}  // namespace

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

    lier_noms(m);
    ClasseLexique c(m, "Lexique",
                    "Interface de requetage du lexique Brivane.\n\n"
                    "Supports CSV, TSV et SQLite. Detection automatique par extension.\n\n"
                    "Un meme objet peut etre partage entre fils d'execution sans verrou :\n"
                    "ses appels s'executent alors un a la fois (un verrou par objet serialise\n"
                    "ses requetes SQL et la construction paresseuse des index) ; des objets\n"
                    "distincts travaillent en parallele.",
                    nb::type_slots(g_slots_gc), nb::is_weak_referenceable());
    g_type = (PyTypeObject *)c.ptr();

    lier_base(c);
    lier_mots(c);
    lier_recherche(c);
    lier_filtre(c);
    lier_noms_propres(c);
    lier_description(c);
    lier_voisinage(c, m);
}
