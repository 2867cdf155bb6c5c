// Lexique: multi-criteria filter, count, and streaming export to CSV or SQLite.
#include "lexique.hpp"
#include "_criteres.hpp"

#include "csv_ecriture.hpp"
#include "plateforme.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace nb = nanobind;

namespace brivane::py {

namespace {

// ------------------------------------------------------------------ criteria

const char *const NOMS_CRITERES[12] = {"cgram",   "genre",   "nombre",          "freq_min",
                                       "freq_max", "nb_syllabes", "age_min", "age_max",
                                       "illustrable_min", "categorie", "has_age", "has_phone"};

// The checked criteria as keyword arguments, for an override of _build_filter_clauses.
nb::dict kwargs_de(const Criteres &c) {
    auto ou_none = [](auto &&v, auto &&faire) -> nb::object { return v ? faire(*v) : nb::object(nb::none()); };
    auto reel = [](double d) -> nb::object { return nb::float_(d); };
    auto texte = [](PyObject *t) -> nb::object { return t ? nb::borrow(t) : nb::object(nb::none()); };
    auto booleen = [](int b) -> nb::object { return b < 0 ? nb::object(nb::none()) : nb::object(nb::bool_(b == 1)); };
    nb::object valeurs[12] = {texte(c.cgram),
                              texte(c.genre),
                              texte(c.nombre),
                              ou_none(c.freq_min, reel),
                              ou_none(c.freq_max, reel),
                              c.nb_syllabes ? c.nb_syllabes_objet : nb::object(nb::none()),
                              ou_none(c.age_min, reel),
                              ou_none(c.age_max, reel),
                              ou_none(c.illustrable_min, reel),
                              texte(c.categorie),
                              booleen(c.has_age),
                              booleen(c.has_phone)};
    nb::dict d;
    for (int i = 0; i < 12; ++i) d[NOMS_CRITERES[i]] = valeurs[i];
    return d;
}

#define BRIVANE_CRITERES_PARAMS                                                                      \
    nb::handle cgram, nb::handle genre, nb::handle nombre, nb::handle freq_min, nb::handle freq_max, \
        nb::handle nb_syllabes, nb::handle age_min, nb::handle age_max, nb::handle illustrable_min,  \
        nb::handle categorie, nb::handle has_age, nb::handle has_phone
#define BRIVANE_CRITERES_VALEURS                                                                      \
    {cgram, genre, nombre, freq_min, freq_max, nb_syllabes, age_min, age_max, illustrable_min, categorie, \
     has_age, has_phone}
#define BRIVANE_CRITERES_ARGS                                                                       \
    nb::arg("cgram").none() = nb::none(), nb::arg("genre").none() = nb::none(),                      \
        nb::arg("nombre").none() = nb::none(), nb::arg("freq_min").none() = nb::none(),              \
        nb::arg("freq_max").none() = nb::none(), nb::arg("nb_syllabes").none() = nb::none(),         \
        nb::arg("age_min").none() = nb::none(), nb::arg("age_max").none() = nb::none(),              \
        nb::arg("illustrable_min").none() = nb::none(), nb::arg("categorie").none() = nb::none(),    \
        nb::arg("has_age").none() = nb::none(), nb::arg("has_phone").none() = nb::none()
#define BRIVANE_CRITERES_SIG                                                                          \
    "cgram: str | None = None, genre: str | None = None, nombre: str | None = None, "                   \
    "freq_min: float | None = None, freq_max: float | None = None, nb_syllabes: int | None = None, "    \
    "age_min: float | None = None, age_max: float | None = None, illustrable_min: float | None = None, " \
    "categorie: str | None = None, has_age: bool | None = None, has_phone: bool | None = None"

std::string table_de(nb::handle self) {
    return nb::cast<std::string>(nb::str(nb::inst_ptr<Lexique>(self)->table));
}

// "name" with embedded quotes doubled: column names come from the data.
std::string identifiant(nb::handle nom) {
    std::string s = nb::cast<std::string>(nb::str(nom));
    std::string r = "\"";
    for (char c : s) {
        if (c == '"') r.push_back('"');
        r.push_back(c);
    }
    r.push_back('"');
    return r;
}


// self._build_filter_clauses(**kwargs), through Python only for an override.
nb::tuple clauses_de(nb::handle self, nb::handle kwargs) {
    if (redefinie(self, "_build_filter_clauses"))
        return nb::borrow<nb::tuple>(self.attr("_build_filter_clauses")(**nb::borrow<nb::dict>(kwargs)));
    nb::handle bruts[12];
    nb::dict kw = nb::borrow<nb::dict>(kwargs);
    for (auto [k, _] : kw) {
        bool connu = false;
        for (const char *n : NOMS_CRITERES) connu |= nb::str(k).equal(nb::str(n));
        if (!connu) {
            PyErr_Format(PyExc_TypeError, "_build_filter_clauses() got an unexpected keyword argument '%U'",
                         k.ptr());
            throw nb::python_error();
        }
    }
    for (int i = 0; i < 12; ++i) {
        PyObject *v = PyDict_GetItemString(kw.ptr(), NOMS_CRITERES[i]);
        bruts[i] = v ? nb::handle(v) : nb::none();
    }
    return Criteres::lire(bruts).clauses_sql();
}

std::string where(nb::handle conditions) {
    if (nb::len(conditions) == 0) return "1=1";
    return nb::cast<std::string>(nb::str(" AND ").attr("join")(conditions));
}

// Every entry of the ortho index, keys in index order: a lazy stream that the
// filter may stop reading early.
nb::object flux_index(Lexique &l) {
    nb::object index = index_ortho(l);
    return nb::module_::import_("itertools").attr("chain").attr("from_iterable")(index.attr("values")());
}

nb::object filtrer_memoire(Lexique &l, nb::handle kwargs, nb::handle limite) {
    nb::dict kw;
    kw.update(nb::borrow<nb::dict>(kwargs));
    kw["limite"] = limite;
    return liens().recherche.objet().attr("filtrer")(flux_index(l), **kw);
}

nb::list filtrer(Lexique &l, BRIVANE_CRITERES_PARAMS, nb::handle limite) {
    nb::handle bruts[12] = BRIVANE_CRITERES_VALEURS;
    Criteres c = Criteres::lire(bruts);
    long long n = entier_arg(limite, "limite");
    nb::handle self = soi(&l);
    if (l.est_sqlite()) {
        nb::object conn = obtenir_conn(l);
        nb::tuple cl = clauses_de(self, kwargs_de(c));
        nb::list params = nb::list(cl[1]);
        params.append(n);
        nb::object cur = conn.attr("execute")("SELECT * FROM " + table_de(self) + " WHERE " + where(cl[0]) +
                                                  " LIMIT ?",
                                              params);
        return lignes_en_entrees(cur);
    }
    return nb::borrow<nb::list>(filtrer_memoire(l, kwargs_de(c), nb::int_(n)));
}

long long compter(Lexique &l, BRIVANE_CRITERES_PARAMS) {
    nb::handle bruts[12] = BRIVANE_CRITERES_VALEURS;
    Criteres c = Criteres::lire(bruts);
    nb::handle self = soi(&l);
    if (l.est_sqlite()) {
        nb::object conn = obtenir_conn(l);
        nb::tuple cl = clauses_de(self, kwargs_de(c));
        nb::object r = conn.attr("execute")("SELECT COUNT(*) FROM " + table_de(self) + " WHERE " + where(cl[0]),
                                            cl[1])
                           .attr("fetchone")();
        if (r.is_none()) return 0;
        return nb::cast<long long>(nb::int_(r[0]));
    }
    return (long long)nb::len(filtrer_memoire(l, kwargs_de(c), nb::int_(0)));
}

// ------------------------------------------------------------------ row source

nb::list colonnes_table(nb::handle self, int position) {
    nb::object conn = obtenir_conn(*nb::inst_ptr<Lexique>(self));
    nb::list res;
    for (nb::handle r : conn.attr("execute")("PRAGMA table_info(" + table_de(self) + ")").attr("fetchall")())
        res.append(r[position]);
    return res;
}

bool contient(nb::handle sequence, nb::handle x) {
    int r = PySequence_Contains(sequence.ptr(), x.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

bool colonnes_choisies(nb::handle colonnes) { return !colonnes.is_none() && vrai(colonnes.ptr()); }

// The row of an in-memory export: a fresh dict with the entry's fields (those named
// in `colonnes` when it is not empty), in the entry's order.
nb::object ligne_memoire(nb::handle entree, nb::handle colonnes) {
    nb::dict d;
    if (colonnes_choisies(colonnes)) {
        if (PyDict_Check(entree.ptr())) {
            for (auto [k, v] : nb::borrow<nb::dict>(entree))
                if (contient(colonnes, k)) d[k] = v;
        } else {
            // Another mapping (from an overridden index): through its items().
            for (nb::handle kv : entree.attr("items")()) {
                nb::object k = kv[0];
                if (contient(colonnes, k)) d[k] = kv[1];
            }
        }
        return d;
    }
    if (PyDict_Update(d.ptr(), entree.ptr()) < 0) throw nb::python_error();
    return d;
}

void exiger_colonnes(nb::handle colonnes) {
    if (!colonnes.is_none() && !PyList_CheckExact(colonnes.ptr())) erreur_type("colonnes", "list", colonnes.ptr());
}

// The lazy rows of an export: nothing runs before the first request, and the
// progress function sees the running count every 5000 rows taken. The exports read
// the same rows through brute(), without the dict made of each.
struct LignesFiltrees {
    nb::object lexique, colonnes, callback, kwargs;
    long long limite = 0, compte = 0;
    bool demarre = false, en_attente = false, fini = false, sql = false;
    nb::object source;  // iterator over cursor rows or filtered entries
    nb::list noms;      // selected names (SQL)
    std::string suite;  // the statement after its column list (SQL), and its parameters
    nb::list parametres;

    LignesFiltrees(nb::handle self, nb::handle colonnes_, long long limite_, nb::handle callback_, nb::handle kw)
        : lexique(nb::borrow(self)), colonnes(nb::borrow(colonnes_)), callback(nb::borrow(callback_)),
          kwargs(nb::dict()), limite(limite_) {
        nb::borrow<nb::dict>(kwargs).update(nb::borrow<nb::dict>(kw));
    }

    void demarrer() {
        Lexique &l = *nb::inst_ptr<Lexique>(lexique);
        demarre = true;
        if (l.est_sqlite()) {
            sql = true;
            nb::object conn = obtenir_conn(l);
            nb::tuple cl = clauses_de(lexique, kwargs);
            nb::list toutes = colonnes_table(lexique, 1);
            if (colonnes_choisies(colonnes)) {
                for (nb::handle c : colonnes)
                    if (contient(toutes, c)) noms.append(c);
            } else {
                noms = toutes;
            }
            std::string sel;
            for (nb::handle n : noms) sel += (sel.empty() ? "" : ", ") + identifiant(n);
            suite = " FROM " + table_de(lexique) + " WHERE " + where(cl[0]);
            parametres = nb::list(cl[1]);
            if (limite != 0) {
                suite += " LIMIT ?";
                parametres.append(limite);
            }
            nb::object cur = conn.attr("cursor")();
            cur.attr("row_factory") = nb::none();  // tuples: paired with the names below
            cur.attr("execute")("SELECT " + sel + suite, parametres);
            source = nb::steal(PyObject_GetIter(cur.ptr()));
        } else {
            nb::object res = filtrer_memoire(l, kwargs, nb::int_(limite));
            source = nb::steal(PyObject_GetIter(res.ptr()));
        }
        if (!source.is_valid()) throw nb::python_error();
    }

    // The next cursor row (a tuple in the order of `noms`) or filtered entry; an
    // invalid object at the end.
    nb::object brute() {
        if (fini) return nb::object();
        try {
            if (en_attente) {
                en_attente = false;
                ++compte;
                if (!callback.is_none() && vrai(callback.ptr()) && compte % 5000 == 0) callback(compte);
            }
            if (!demarre) demarrer();
            nb::object r = nb::steal(PyIter_Next(source.ptr()));
            if (!r.is_valid()) {
                if (PyErr_Occurred()) throw nb::python_error();
                fermer();
                return r;
            }
            en_attente = true;
            return r;
        } catch (...) {
            suspendre_si_fin_forcee();
            fermer();
            throw;
        }
    }

    nb::object ligne(nb::handle r) {
        if (!sql) return ligne_memoire(r, colonnes);
        nb::dict d;
        size_t i = 0;
        for (nb::handle v : r) {
            if (i >= nb::len(noms)) break;
            if (PyDict_SetItem(d.ptr(), noms[i++].ptr(), v.ptr()) < 0) throw nb::python_error();
        }
        return d;
    }

    nb::object suivant() {
        nb::object r = brute();
        if (!r.is_valid()) {
            PyErr_SetNone(PyExc_StopIteration);
            throw nb::python_error();
        }
        try {
            return ligne(r);
        } catch (...) {
            suspendre_si_fin_forcee();
            fermer();
            throw;
        }
    }

    void fermer() {
        fini = true;
        source = nb::object();
    }
};

nb::object iter_filtered_rows(nb::handle self, nb::handle colonnes, nb::handle limite, nb::handle callback,
                              nb::kwargs kwargs) {
    exiger_colonnes(colonnes);
    const long long n = entier_arg(limite, "limite");
    // Owned here until Python takes it: an error on the way must not leak it (it
    // holds a reference to the lexicon).
    auto it = std::make_unique<LignesFiltrees>(self, colonnes, n, callback, kwargs);
    nb::object res = nb::cast(it.get(), nb::rv_policy::take_ownership);
    it.release();
    return res;
}

// ------------------------------------------------------------------ rows of an export

// Whether every name is an exact str: the export then reads entries and cursor rows
// by name itself, which for such names is what the row dicts would give.
bool noms_simples(nb::handle noms) {
    if (noms.is_none()) return true;
    for (nb::handle c : noms)
        if (!PyUnicode_CheckExact(c.ptr())) return false;
    return true;
}

// ligne.get(nom), held: another mapping's get() may build the value it returns.
nb::object valeur_de(nb::handle ligne, nb::handle nom) {
    if (PyDict_CheckExact(ligne.ptr())) {
        PyObject *v = PyDict_GetItemWithError(ligne.ptr(), nom.ptr());
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(v ? v : Py_None);
    }
    return ligne.attr("get")(nom);
}

// The rows of an export as tuples of the values under the export's names (None when
// missing). A row is taken whole before any of it is written, as csv.writer and
// executemany are given it: writing one value may run code that changes the row.
// Rows come from self._iter_filtered_rows(); unless it is overridden (or the fast
// paths are off), they are read from the same row source without its dict per row.
class LignesExport {
public:
    LignesExport(nb::handle self, const nb::list &noms, nb::handle colonnes, long long limite, nb::handle callback,
                 nb::handle kwargs)
        : noms_(noms), colonnes_(colonnes) {
        if (chemins_rapides() && !redefinie(self, "_iter_filtered_rows") && noms_simples(colonnes) &&
            noms_simples(noms)) {
            directes_ = std::make_unique<LignesFiltrees>(self, colonnes, limite, callback, kwargs);
            return;
        }
        nb::dict kw;
        kw.update(nb::borrow<nb::dict>(kwargs));
        kw["colonnes"] = colonnes;
        kw["limite"] = limite;
        kw["callback"] = callback;
        generiques_ = nb::steal(PyObject_GetIter(self.attr("_iter_filtered_rows")(**kw).ptr()));
        if (!generiques_.is_valid()) throw nb::python_error();
    }

    // The next row, or an invalid object at the end.
    nb::object suivante() {
        if (!directes_) {
            nb::object r = nb::steal(PyIter_Next(generiques_.ptr()));
            if (!r.is_valid()) {
                if (PyErr_Occurred()) throw nb::python_error();
                return r;
            }
            return par_nom(r);
        }
        nb::object r = directes_->brute();
        if (!r.is_valid()) return r;
        if (directes_->sql) return par_position(r);
        // An entry that is a plain dict is read in place (what its copy would hold).
        return par_nom(PyDict_CheckExact(r.ptr()) ? r : ligne_memoire(r, colonnes_));
    }

private:
    nb::object par_nom(nb::handle r) {
        const size_t k = nb::len(noms_);
        nb::object t = nb::steal(PyTuple_New(Py_ssize_t(k)));
        if (!t.is_valid()) throw nb::python_error();
        for (size_t i = 0; i < k; ++i) PyTuple_SET_ITEM(t.ptr(), Py_ssize_t(i), valeur_de(r, noms_[i]).release().ptr());
        return t;
    }

    // A cursor row: the value of the last selected column of each name (a row dict
    // keeps the last), the row itself when the names are the selected ones in order.
    nb::object par_position(nb::handle r) {
        const size_t k = nb::len(noms_);
        if (positions_.empty() && k > 0) {
            identite_ = nb::len(directes_->noms) == k;
            for (size_t i = 0; i < k; ++i) {
                Py_ssize_t p = -1;
                for (size_t j = 0; j < nb::len(directes_->noms); ++j)
                    if (nb::str(directes_->noms[j]).equal(nb::str(noms_[i]))) p = Py_ssize_t(j);
                positions_.push_back(p);
                identite_ &= p == Py_ssize_t(i);
            }
        }
        if (identite_ && PyTuple_CheckExact(r.ptr()) && size_t(PyTuple_GET_SIZE(r.ptr())) == k)
            return nb::borrow(r);
        nb::object t = nb::steal(PyTuple_New(Py_ssize_t(k)));
        if (!t.is_valid()) throw nb::python_error();
        const Py_ssize_t n = PySequence_Size(r.ptr());
        for (size_t i = 0; i < k; ++i) {
            const Py_ssize_t p = positions_[i];
            nb::object v = p >= 0 && p < n ? nb::steal(PySequence_GetItem(r.ptr(), p)) : nb::none();
            if (!v.is_valid()) throw nb::python_error();
            PyTuple_SET_ITEM(t.ptr(), Py_ssize_t(i), v.release().ptr());
        }
        return t;
    }

    nb::list noms_;
    nb::handle colonnes_;
    std::unique_ptr<LignesFiltrees> directes_;
    std::vector<Py_ssize_t> positions_;
    bool identite_ = false;
    nb::object generiques_;
};

// ------------------------------------------------------------------ atomic output

// The temporary file of an export to `sortie`, and the destination it replaces once
// complete. The operating system's failures come back as OSError naming the destination.
struct Sortie {
    std::string destination;
    std::optional<plateforme::FichierTemporaire> fichier;

    explicit Sortie(nb::handle sortie) {
        destination = nb::cast<std::string>(nb::str(nb::module_::import_("os").attr("fspath")(sortie)));
        nb::object p = liens().Path(sortie);
        std::string dossier = nb::cast<std::string>(nb::str(nb::object(p.attr("parent"))));
        std::string nom = nb::cast<std::string>(nb::str(nb::object(p.attr("name"))));
        systeme([&] { fichier.emplace(dossier, nom); });
    }
    template <class F> void systeme(F &&f) {
        try {
            f();
        } catch (const std::system_error &e) {
            const int numero = e.code().value();
            nb::object err = nb::borrow(PyExc_OSError)(numero, std::generic_category().message(numero), destination);
            PyErr_SetObject((PyObject *)Py_TYPE(err.ptr()), err.ptr());
            throw nb::python_error();
        }
    }
    void ecrire(const std::string &octets) { systeme([&] { fichier->ecrire(octets.data(), octets.size()); }); }
    void fermer() { systeme([&] { fichier->fermer(); }); }
    void installer() { systeme([&] { fichier->installer(destination); }); }
};

// ------------------------------------------------------------------ CSV writer

// A str as UTF-8 field. ASCII is read in place; other text is encoded into a bytes
// object rather than through PyUnicode_AsUTF8, which would leave a UTF-8 copy inside
// every str of the indexes for the life of the lexicon. A lone surrogate raises.
void texte_csv(std::string &ligne, PyObject *s) {
    if (PyUnicode_IS_ASCII(s)) {
        ajouter_champ_csv(ligne, {static_cast<const char *>(PyUnicode_DATA(s)), size_t(PyUnicode_GET_LENGTH(s))});
        return;
    }
    nb::object b = nb::steal(PyUnicode_AsUTF8String(s));
    if (!b.is_valid()) throw nb::python_error();
    ajouter_champ_csv(ligne, {PyBytes_AS_STRING(b.ptr()), size_t(PyBytes_GET_SIZE(b.ptr()))});
}

// A value as csv.writer writes it: nothing for None, text as is, floats by repr(),
// anything else by str(). Exact floats, ints and bools are written without the host.
void valeur_csv(std::string &ligne, PyObject *v) {
    if (v == Py_None) return;
    if (PyUnicode_Check(v)) return texte_csv(ligne, v);
    if (PyFloat_CheckExact(v)) {
        char buf[REEL_REPR_MAX];
        ligne.append(buf, ecrire_reel_repr(PyFloat_AS_DOUBLE(v), buf));
        return;
    }
    if (v == Py_True || v == Py_False) {
        ligne.append(v == Py_True ? "True" : "False");
        return;
    }
    if (PyLong_CheckExact(v)) {
        int debordement = 0;
        const long long x = PyLong_AsLongLongAndOverflow(v, &debordement);
        if (!debordement) {
            char buf[24];
            ligne.append(buf, std::to_chars(buf, buf + sizeof buf, x).ptr);
            return;
        }
    }
    nb::object t = nb::steal(PyFloat_Check(v) ? PyObject_Repr(v) : PyObject_Str(v));
    if (!t.is_valid()) throw nb::python_error();
    texte_csv(ligne, t.ptr());
}

void ligne_csv(std::string &texte, nb::handle valeurs) {
    const size_t debut = texte.size(), n = size_t(PySequence_Fast_GET_SIZE(valeurs.ptr()));
    PyObject **v = PySequence_Fast_ITEMS(valeurs.ptr());
    for (size_t i = 0; i < n; ++i) {
        if (i) texte.push_back(',');
        valeur_csv(texte, v[i]);
    }
    terminer_ligne_csv(texte, n, debut);
}

nb::list entete_memoire(Lexique &l) {
    nb::object index = index_ortho(l);
    nb::list noms;
    for (auto [k, entrees] : nb::borrow<nb::dict>(index)) {
        if (nb::len(entrees) > 0)
            for (nb::handle nom : entrees[0]) noms.append(nom);
        break;
    }
    return noms;
}

void rappel_final(nb::handle callback, long long compte) {
    if (!callback.is_none() && vrai(callback.ptr())) callback(compte);
}

long long exporter_csv(nb::handle self, nb::handle sortie, nb::handle colonnes, nb::handle limite_o,
                       nb::handle callback, nb::kwargs kwargs) {
    exiger_colonnes(colonnes);
    long long limite = entier_arg(limite_o, "limite");
    Lexique &l = *nb::inst_ptr<Lexique>(self);
    nb::list entete = colonnes_choisies(colonnes) ? nb::list(colonnes)
                      : l.est_sqlite()            ? colonnes_table(self, 1)
                                                  : entete_memoire(l);

    Sortie s(sortie);
    std::string texte;
    ligne_csv(texte, entete);  // header fields go through the same rules as values
    LignesExport lignes(self, entete, colonnes, limite, callback, kwargs);
    long long compte = 0;
    for (nb::object r = lignes.suivante(); r.is_valid(); r = lignes.suivante()) {
        ligne_csv(texte, r);
        ++compte;
        if (texte.size() >= (1u << 20)) {
            s.ecrire(texte);
            texte.clear();
        }
    }
    s.ecrire(texte);
    s.installer();
    rappel_final(callback, compte);
    return compte;
}

// ------------------------------------------------------------------ SQLite writer

struct Schema {
    nb::list noms, types;
    std::string definitions, colonnes, marques;
};

Schema schema_export(nb::handle self, nb::handle colonnes) {
    Lexique &l = *nb::inst_ptr<Lexique>(self);
    const bool sql = l.est_sqlite(), choisies = colonnes_choisies(colonnes);
    nb::list noms = sql ? colonnes_table(self, 1) : entete_memoire(l), types = sql ? colonnes_table(self, 2) : noms;
    Schema s;
    for (size_t i = 0; i < nb::len(noms); ++i) {
        if (choisies && !contient(colonnes, noms[i])) continue;
        nb::str type = sql ? nb::str(types[i]) : nb::str("TEXT");
        const std::string id = identifiant(noms[i]), sep = s.colonnes.empty() ? "" : ", ";
        s.noms.append(noms[i]);
        s.types.append(type);
        s.definitions += sep + id + " " + nb::cast<std::string>(type);
        s.colonnes += sep + id;
        s.marques += sep + "?";
    }
    return s;
}

// The export's database `base` on `conn`: its table, the rows `remplir` puts in it,
// the indexes of the exported columns, then VACUUM. The file is a temporary one,
// deleted on any failure and renamed only once complete: a journal would protect
// nothing while it is built, and a write-ahead log would have every page written
// twice (VACUUM too). The WAL mode, recorded in the file for its readers, is set last.
template <class F> long long construire(nb::handle conn, const Schema &s, const std::string &base, F &&remplir) {
    const std::string b = base + ".";
    for (const char *p : {"journal_mode=OFF", "synchronous=OFF"}) conn.attr("execute")("PRAGMA " + b + p);
    conn.attr("execute")("CREATE TABLE " + b + "formes (" + s.definitions + ")");
    conn.attr("commit")();
    const long long compte = remplir(b + "formes");
    const char *index[6][2] = {{"ortho", " COLLATE NOCASE"}, {"lemme", " COLLATE NOCASE"}, {"phone", ""},
                               {"cgram", ""}, {"illustrable", ""}, {"nb_syllabes", ""}};
    for (auto &ix : index)
        if (contient(s.noms, nb::str(ix[0])))
            conn.attr("execute")("CREATE INDEX IF NOT EXISTS " + b + "idx_" + ix[0] + " ON formes(\"" + ix[0] +
                                 "\"" + ix[1] + ")");
    conn.attr("commit")();
    conn.attr("execute")("VACUUM " + base);
    conn.attr("execute")("PRAGMA " + b + "journal_mode=WAL");
    return compte;
}

// Rows go in by the sqlite3 module's executemany, one transaction per batch, so that
// its adapters and its binding rules decide what is stored.
constexpr size_t LOT = 10000;

long long inserer_lignes(nb::handle conn, const std::string &table, const Schema &s, LignesExport &lignes) {
    const std::string insertion = "INSERT INTO " + table + " (" + s.colonnes + ") VALUES (" + s.marques + ")";
    long long compte = 0;
    nb::list lot;
    for (;;) {
        nb::object r = lignes.suivante();
        if (r.is_valid()) {
            lot.append(r);
            ++compte;
        }
        if (nb::len(lot) == LOT || (!r.is_valid() && nb::len(lot) > 0)) {
            conn.attr("executemany")(insertion, lot);
            conn.attr("commit")();
            lot = nb::list();
        }
        if (!r.is_valid()) return compte;
    }
}

// Whether the connection gives Python the values exactly as SQLite holds them (text
// as str, no converter on an exported column, no adapter on a type they come as), so
// that SQLite copying them stores what binding each row again would.
bool copie_fidele(nb::handle conn, const Schema &s) {
    nb::object sq = liens().sqlite3;
    if (!conn.type().is(sq.attr("Connection")) || vrai(conn.attr("in_transaction").ptr()) ||
        !conn.attr("text_factory").is(nb::handle((PyObject *)&PyUnicode_Type)))
        return false;
    const PyTypeObject *types[5] = {&PyLong_Type, &PyFloat_Type, &PyUnicode_Type, &PyBytes_Type, Py_TYPE(Py_None)};
    for (nb::handle cle : sq.attr("adapters"))
        for (const PyTypeObject *t : types)
            if (cle[0].ptr() == (PyObject *)t) return false;
    nb::object convertisseurs = sq.attr("converters");
    for (size_t i = 0; i < nb::len(s.noms); ++i) {
        std::string type = nb::cast<std::string>(nb::str(s.types[i]));
        type.resize(std::min(type.size(), type.find_first_of(" (")));
        for (char &c : type) c = char(std::toupper((unsigned char)c));
        if (contient(convertisseurs, nb::str(type.c_str())) || contient(nb::str(s.noms[i]), nb::str("[")))
            return false;
    }
    nb::object codage = conn.attr("execute")("PRAGMA encoding").attr("fetchone")();
    return nb::str(codage[0]).equal(nb::str("UTF-8"));  // a new database attached takes the main one's
}

// A SQLite lexicon exported to SQLite: the rows are read once as the plain route
// reads them (its progress calls, its error on text that is not UTF-8), then SQLite
// copies them itself into the new database, attached to the lexicon's connection so
// that it sees what that connection sees. Without a result the plain route runs.
std::optional<long long> copier_par_sql(nb::handle self, const Schema &s, const std::string &chemin,
                                        nb::handle colonnes, long long limite, nb::handle callback,
                                        nb::handle kwargs) {
    Lexique &l = *nb::inst_ptr<Lexique>(self);
    if (!chemins_rapides() || !l.est_sqlite() || redefinie(self, "_iter_filtered_rows") || !noms_simples(colonnes))
        return std::nullopt;
    nb::object conn = obtenir_conn(l);
    if (!copie_fidele(conn, s)) return std::nullopt;
    try {
        conn.attr("execute")("ATTACH DATABASE ? AS brivane_export", nb::make_tuple(chemin));
    } catch (nb::python_error &e) {
        if (!erreur_operationnelle(e)) throw;
        return std::nullopt;  // the connection's limit of attached databases
    }
    try {
        const long long compte = construire(conn, s, "brivane_export", [&](const std::string &table) {
            LignesFiltrees lignes(self, colonnes, limite, callback, kwargs);
            while (lignes.brute().is_valid()) {
            }
            conn.attr("execute")("INSERT INTO " + table + " (" + s.colonnes + ") SELECT " + s.colonnes + lignes.suite,
                                 lignes.parametres);
            conn.attr("commit")();
            return lignes.compte;
        });
        conn.attr("execute")("DETACH DATABASE brivane_export");
        return compte;
    } catch (...) {
        suspendre_si_fin_forcee();
        // The error on its way out stays the one the caller sees.
        Py_XDECREF(PyObject_CallMethod(conn.ptr(), "rollback", nullptr));
        PyErr_Clear();
        Py_XDECREF(PyObject_CallMethod(conn.ptr(), "execute", "s", "DETACH DATABASE brivane_export"));
        PyErr_Clear();
        throw;
    }
}

long long exporter_sqlite(nb::handle self, nb::handle sortie, nb::handle colonnes, nb::handle limite_o,
                          nb::handle callback, nb::kwargs kwargs) {
    exiger_colonnes(colonnes);
    long long limite = entier_arg(limite_o, "limite");
    Schema s = schema_export(self, colonnes);
    Sortie dest(sortie);
    dest.fermer();  // SQLite opens the path itself
    std::optional<long long> compte = copier_par_sql(self, s, dest.fichier->chemin(), colonnes, limite, callback, kwargs);
    if (!compte) {
        nb::object conn = liens().sqlite3.attr("connect")(dest.fichier->chemin());
        try {
            compte = construire(conn, s, "main", [&](const std::string &table) {
                LignesExport lignes(self, s.noms, colonnes, limite, callback, kwargs);
                return inserer_lignes(conn, table, s, lignes);
            });
            conn.attr("close")();
        } catch (...) {
            suspendre_si_fin_forcee();
            fermer_en_silence(conn);
            throw;
        }
    }
    dest.installer();
    rappel_final(callback, *compte);
    return *compte;
}

long long exporter(nb::handle self, nb::handle sortie, nb::handle format, nb::handle colonnes,
                   BRIVANE_CRITERES_PARAMS, nb::handle limite, nb::handle callback) {
    exiger_str(format, "format");
    exiger_colonnes(colonnes);
    nb::handle bruts[12] = BRIVANE_CRITERES_VALEURS;
    Criteres::lire(bruts);  // type checks only: the mapping below passes the values on as given
    long long n = entier_arg(limite, "limite");
    nb::object chemin = liens().Path(sortie);
    nb::dict kw;
    for (int i = 0; i < 12; ++i) kw[NOMS_CRITERES[i]] = bruts[i];
    kw["colonnes"] = colonnes;
    kw["limite"] = n;
    kw["callback"] = callback;
    const char *methode = nb::str(format).equal(nb::str("sqlite")) ? "_exporter_sqlite" : "_exporter_csv";
    return nb::cast<long long>(nb::int_(self.attr(methode)(chemin, **kw)));
}

}  // namespace

void lier_filtre(ClasseLexique &c) {
    nb::class_<LignesFiltrees>(c, "_LignesFiltrees", "Lignes filtrees d'un export (iterateur paresseux).")
        .def("__iter__", [](nb::handle s) { return nb::borrow(s); })
        // The rows come from the lexicon's connection: its lock is held as by a method.
        .def("__next__", [](LignesFiltrees &it) {
            Passage p;
            Verrou v(lexique_de(it.lexique));
            return it.suivant();
        })
        .def("close", [](LignesFiltrees &it) {
            Verrou v(lexique_de(it.lexique));
            it.fermer();
        }, "Abandonne l'iteration et libere le curseur.");

    c.def("_build_filter_clauses",
          [](Lexique &, BRIVANE_CRITERES_PARAMS) {
              nb::handle bruts[12] = BRIVANE_CRITERES_VALEURS;
              return Criteres::lire(bruts).clauses_sql();
          },
          nb::kw_only(), BRIVANE_CRITERES_ARGS,
          nb::sig("def _build_filter_clauses(self, *, " BRIVANE_CRITERES_SIG ") -> tuple[list[str], list[Any]]"),
          "Construit les clauses WHERE et parametres pour les filtres.");
    c.def("filtrer", &filtrer, nb::kw_only(), BRIVANE_CRITERES_ARGS, nb::arg("limite").none() = 100,
          nb::sig("def filtrer(self, *, " BRIVANE_CRITERES_SIG ", limite: int = 100) -> list[dict[str, Any]]"),
          "Filtre multi-critere sur l'ensemble du lexique.");
    c.def("compter", &compter, nb::kw_only(), BRIVANE_CRITERES_ARGS,
          nb::sig("def compter(self, *, " BRIVANE_CRITERES_SIG ") -> int"),
          "Compte les formes matchant les filtres (sans les charger).");
    c.def("_iter_filtered_rows", &iter_filtered_rows, nb::kw_only(), nb::arg("colonnes").none() = nb::none(),
          nb::arg("limite").none() = 0, nb::arg("callback").none() = nb::none(), nb::arg("filter_kwargs"),
          nb::sig("def _iter_filtered_rows(self, *, colonnes: list[str] | None = None, limite: int = 0, "
                  "callback: Callable[[int], object] | None = None, **filter_kwargs: Any) "
                  "-> Iterator[dict[str, Any]]"),
          "Itere sur les lignes filtrees (generateur).");
    c.def("_exporter_csv", &exporter_csv, nb::arg("output_path").none(), nb::kw_only(),
          nb::arg("colonnes").none() = nb::none(), nb::arg("limite").none() = 0,
          nb::arg("callback").none() = nb::none(), nb::arg("filter_kwargs"),
          nb::sig("def _exporter_csv(self, output_path: os.PathLike[str], *, colonnes: list[str] | None = None, "
                  "limite: int = 0, callback: Callable[[int], object] | None = None, **filter_kwargs: Any) -> int"),
          "Exporte en CSV.\n\n"
          "Le fichier est ecrit a cote de la destination puis renomme une fois complet :\n"
          "une erreur laisse intact le fichier qui existait.");
    c.def("_exporter_sqlite", &exporter_sqlite, nb::arg("output_path").none(), nb::kw_only(),
          nb::arg("colonnes").none() = nb::none(), nb::arg("limite").none() = 0,
          nb::arg("callback").none() = nb::none(), nb::arg("filter_kwargs"),
          nb::sig("def _exporter_sqlite(self, output_path: os.PathLike[str], *, colonnes: list[str] | None = None, "
                  "limite: int = 0, callback: Callable[[int], object] | None = None, **filter_kwargs: Any) -> int"),
          "Exporte en SQLite.\n\n"
          "La base est construite a cote de la destination puis renommee une fois complete :\n"
          "une erreur laisse intact le fichier qui existait.");
    c.def("exporter", &exporter, nb::arg("output_path").none(), nb::kw_only(), nb::arg("format").none() = "csv",
          nb::arg("colonnes").none() = nb::none(), BRIVANE_CRITERES_ARGS, nb::arg("limite").none() = 0,
          nb::arg("callback").none() = nb::none(),
          nb::sig("def exporter(self, output_path: str | os.PathLike[str], *, format: str = 'csv', "
                  "colonnes: list[str] | None = None, " BRIVANE_CRITERES_SIG
                  ", limite: int = 0, callback: Callable[[int], object] | None = None) -> int"),
          "Exporte un sous-ensemble filtre du lexique.\n\n"
          "Args:\n"
          "    output_path: Chemin du fichier de sortie\n"
          "    format: \"csv\" ou \"sqlite\"\n"
          "    colonnes: Liste des colonnes a inclure (None = toutes)\n"
          "    limite: 0 = pas de limite\n"
          "    callback: Appele tous les 5000 lignes avec le nombre courant\n\n"
          "Returns:\n"
          "    Nombre de lignes exportees\n\n"
          "L'ecriture est atomique : le resultat remplace la destination seulement une fois\n"
          "complet, et une erreur laisse intact le fichier qui existait.");
}

}  // namespace brivane::py
