// Lexique: multi-criteria filter, count, and streaming export to CSV or SQLite.
#include "lexique.hpp"

#include "csv_ecriture.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace nb = nanobind;

namespace brivane::py {

namespace {

// ------------------------------------------------------------------ criteria

const char *const NOMS_CRITERES[12] = {"cgram",   "genre",   "nombre",          "freq_min",
                                       "freq_max", "nb_syllabes", "age_min", "age_max",
                                       "illustrable_min", "categorie", "has_age", "has_phone"};
enum Sorte { TEXTE, REEL, ENTIER, BOOLEEN };
const Sorte SORTES[12] = {TEXTE, TEXTE, TEXTE, REEL, REEL, ENTIER, REEL, REEL, REEL, TEXTE, BOOLEEN, BOOLEEN};

// The twelve criteria after the type rules: text or None, a float, an int, or
// exactly True/False/None.
struct Criteres {
    nb::object v[12];

    static Criteres lire(nb::handle const (&bruts)[12]) {
        Criteres c;
        for (int i = 0; i < 12; ++i) {
            nb::handle h = bruts[i];
            const char *nom = NOMS_CRITERES[i];
            if (h.is_none()) {
                c.v[i] = nb::none();
                continue;
            }
            switch (SORTES[i]) {
            case TEXTE: exiger_str(h, nom); c.v[i] = nb::borrow(h); break;
            case REEL: c.v[i] = nb::float_(reel_arg(h, nom)); break;
            case ENTIER: c.v[i] = nb::int_(entier_arg(h, nom)); break;
            case BOOLEEN:
                if (h.ptr() != Py_True && h.ptr() != Py_False) erreur_type(nom, "bool", h.ptr());
                c.v[i] = nb::borrow(h);
                break;
            }
        }
        return c;
    }
    nb::dict en_kwargs() const {
        nb::dict d;
        for (int i = 0; i < 12; ++i) d[NOMS_CRITERES[i]] = v[i];
        return d;
    }
};

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

nb::tuple clauses(const Criteres &c) {
    nb::list conditions, params;
    auto ajout = [&](const char *cond, nb::handle p) {
        conditions.append(cond);
        if (p.is_valid()) params.append(p);
    };
    const nb::object *v = c.v;
    if (!v[0].is_none()) ajout("cgram LIKE ?", nb::str(v[0]) + nb::str("%"));
    if (!v[1].is_none()) ajout("genre = ?", v[1]);
    if (!v[2].is_none()) ajout("nombre = ?", v[2]);
    if (!v[3].is_none()) ajout("freq_opensubs >= ?", v[3]);
    if (!v[4].is_none()) ajout("freq_opensubs <= ?", v[4]);
    if (!v[5].is_none()) ajout("nb_syllabes = ?", v[5]);
    if (v[10].ptr() == Py_True) ajout("age IS NOT NULL", nb::handle());
    if (v[10].ptr() == Py_False) ajout("age IS NULL", nb::handle());
    if (!v[6].is_none()) ajout("age >= ?", v[6]);
    if (!v[7].is_none()) ajout("age <= ?", v[7]);
    if (!v[8].is_none()) ajout("illustrable >= ?", v[8]);
    if (!v[9].is_none()) ajout("categorie = ?", v[9]);
    if (v[11].ptr() == Py_True) ajout("phone IS NOT NULL AND phone != ''", nb::handle());
    if (v[11].ptr() == Py_False) ajout("(phone IS NULL OR phone = '')", nb::handle());
    return nb::make_tuple(conditions, params);
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
    return clauses(Criteres::lire(bruts));
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
        nb::tuple cl = clauses_de(self, c.en_kwargs());
        nb::list params = nb::list(cl[1]);
        params.append(n);
        nb::object cur = conn.attr("execute")("SELECT * FROM " + table_de(self) + " WHERE " + where(cl[0]) +
                                                  " LIMIT ?",
                                              params);
        return lignes_en_entrees(cur);
    }
    return nb::borrow<nb::list>(filtrer_memoire(l, c.en_kwargs(), nb::int_(n)));
}

long long compter(Lexique &l, BRIVANE_CRITERES_PARAMS) {
    nb::handle bruts[12] = BRIVANE_CRITERES_VALEURS;
    Criteres c = Criteres::lire(bruts);
    nb::handle self = soi(&l);
    if (l.est_sqlite()) {
        nb::object conn = obtenir_conn(l);
        nb::tuple cl = clauses_de(self, c.en_kwargs());
        nb::object r = conn.attr("execute")("SELECT COUNT(*) FROM " + table_de(self) + " WHERE " + where(cl[0]),
                                            cl[1])
                           .attr("fetchone")();
        if (r.is_none()) return 0;
        return nb::cast<long long>(nb::int_(r[0]));
    }
    return (long long)nb::len(filtrer_memoire(l, c.en_kwargs(), nb::int_(0)));
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
bool contient(nb::handle sequence, const char *x) { return contient(sequence, nb::str(x)); }

bool vrai(nb::handle o) {
    int r = PyObject_IsTrue(o.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

void exiger_colonnes(nb::handle colonnes) {
    if (!colonnes.is_none() && !PyList_CheckExact(colonnes.ptr())) erreur_type("colonnes", "list", colonnes.ptr());
}

// The lazy rows of an export: nothing runs before the first request, and the
// progress function sees the running count every 5000 rows taken.
struct LignesFiltrees {
    nb::object lexique, colonnes, callback, kwargs;
    long long limite = 0;
    long long compte = 0;
    bool demarre = false, en_attente = false, fini = false;
    bool sql = false;
    nb::object source;  // iterator over cursor rows or filtered entries
    nb::list noms;      // selected names (SQL)

    void demarrer() {
        Lexique &l = *nb::inst_ptr<Lexique>(lexique);
        demarre = true;
        if (l.est_sqlite()) {
            sql = true;
            nb::object conn = obtenir_conn(l);
            nb::tuple cl = clauses_de(lexique, kwargs);
            nb::list toutes = colonnes_table(lexique, 1);
            if (!colonnes.is_none() && vrai(colonnes)) {
                for (nb::handle c : colonnes)
                    if (contient(toutes, c)) noms.append(c);
            } else {
                noms = toutes;
            }
            std::string sel;
            for (nb::handle n : noms) sel += (sel.empty() ? "" : ", ") + identifiant(n);
            std::string sqlt = "SELECT " + sel + " FROM " + table_de(lexique) + " WHERE " + where(cl[0]);
            nb::list params = nb::list(cl[1]);
            if (limite != 0) {
                sqlt += " LIMIT ?";
                params.append(limite);
            }
            nb::object cur = conn.attr("cursor")();
            cur.attr("row_factory") = nb::none();  // tuples: paired with the names below
            cur.attr("execute")(sqlt, params);
            source = nb::steal(PyObject_GetIter(cur.ptr()));
        } else {
            nb::object res = filtrer_memoire(l, kwargs, nb::int_(limite));
            source = nb::steal(PyObject_GetIter(res.ptr()));
        }
        if (!source.is_valid()) throw nb::python_error();
    }

    nb::object ligne(PyObject *brut) {
        nb::object r = nb::steal(brut);
        nb::dict d;
        if (sql) {
            size_t i = 0;
            for (nb::handle v : r) {
                if (i >= nb::len(noms)) break;
                PyDict_SetItem(d.ptr(), noms[i++].ptr(), v.ptr());
            }
            return d;
        }
        if (!colonnes.is_none() && vrai(colonnes)) {
            for (auto [k, v] : nb::borrow<nb::dict>(r))
                if (contient(colonnes, k)) d[k] = v;
            return d;
        }
        if (PyDict_Update(d.ptr(), r.ptr()) < 0) throw nb::python_error();
        return d;
    }

    [[noreturn]] static void arret() {
        PyErr_SetNone(PyExc_StopIteration);
        throw nb::python_error();
    }

    nb::object suivant() {
        if (fini) arret();
        try {
            if (en_attente) {
                en_attente = false;
                ++compte;
                if (!callback.is_none() && vrai(callback) && compte % 5000 == 0) callback(compte);
            }
            if (!demarre) demarrer();
            PyObject *brut = PyIter_Next(source.ptr());
            if (!brut) {
                if (PyErr_Occurred()) throw nb::python_error();
                fermer();
                return nb::object();
            }
            nb::object res = ligne(brut);
            en_attente = true;
            return res;
        } catch (...) {
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
    auto *it = new LignesFiltrees();
    it->lexique = nb::borrow(self);
    it->colonnes = nb::borrow(colonnes);
    it->limite = entier_arg(limite, "limite");
    it->callback = nb::borrow(callback);
    it->kwargs = nb::dict();
    nb::borrow<nb::dict>(it->kwargs).update(kwargs);
    return nb::cast(it, nb::rv_policy::take_ownership);
}

nb::object lignes_de(nb::handle self, nb::handle colonnes, long long limite, nb::handle callback,
                     nb::handle kwargs) {
    nb::dict kw;
    kw.update(nb::borrow<nb::dict>(kwargs));
    kw["colonnes"] = colonnes;
    kw["limite"] = limite;
    kw["callback"] = callback;
    return nb::steal(PyObject_GetIter(self.attr("_iter_filtered_rows")(**kw).ptr()));
}

// ------------------------------------------------------------------ atomic output

[[noreturn]] void erreur_os(int numero, const std::string &chemin) {
    nb::object err = nb::borrow(PyExc_OSError)(numero, std::strerror(numero), chemin);
    PyErr_SetObject((PyObject *)Py_TYPE(err.ptr()), err.ptr());
    throw nb::python_error();
}

// A new file beside the destination; renamed onto it only once complete, so a
// failing export never destroys what was there.
struct FichierTemporaire {
    std::string chemin, destination;
    int fd = -1;

    explicit FichierTemporaire(nb::handle sortie) {
        destination = nb::cast<std::string>(nb::str(nb::module_::import_("os").attr("fspath")(sortie)));
        nb::object p = liens().Path(sortie);
        std::string dossier = nb::cast<std::string>(nb::str(nb::object(p.attr("parent"))));
        std::string nom = nb::cast<std::string>(nb::str(nb::object(p.attr("name"))));
        std::string modele = dossier + "/." + nom + ".tmp-XXXXXX";
        std::vector<char> tampon(modele.begin(), modele.end());
        tampon.push_back('\0');
        fd = mkstemp(tampon.data());
        if (fd < 0) erreur_os(errno, destination);
        chemin = tampon.data();
        // mkstemp creates 0600; give the file the mode open() would have given it.
        mode_t masque = umask(0);
        umask(masque);
        fchmod(fd, 0666 & ~masque);
    }
    void supprimer() {
        if (fd >= 0) ::close(fd);
        fd = -1;
        if (!chemin.empty()) {
            std::remove(chemin.c_str());
            std::remove((chemin + "-wal").c_str());
            std::remove((chemin + "-shm").c_str());
            std::remove((chemin + "-journal").c_str());
        }
        chemin.clear();
    }
    void installer() {
        if (std::rename(chemin.c_str(), destination.c_str()) != 0) erreur_os(errno, destination);
        chemin.clear();
    }
    ~FichierTemporaire() { supprimer(); }
};

// ------------------------------------------------------------------ CSV writer

void valeur_csv(std::string &ligne, PyObject *v) {
    if (!v || v == Py_None) {
        ajouter_champ_csv(ligne, {});
    } else if (PyUnicode_CheckExact(v)) {
        ajouter_champ_csv(ligne, utf8(v));
    } else if (PyFloat_CheckExact(v)) {
        ligne.append(reel_repr(PyFloat_AS_DOUBLE(v)));
    } else if (v == Py_True) {
        ligne.append("True");
    } else if (v == Py_False) {
        ligne.append("False");
    } else {
        // The csv module writes floats with repr() and everything else with str().
        nb::object t = nb::steal(PyFloat_Check(v) ? PyObject_Repr(v) : PyObject_Str(v));
        if (!t.is_valid()) throw nb::python_error();
        ajouter_champ_csv(ligne, utf8(t.ptr()));
    }
}

PyObject *valeur_de(nb::handle ligne, nb::handle nom) {
    if (PyDict_CheckExact(ligne.ptr())) {
        PyObject *v = PyDict_GetItemWithError(ligne.ptr(), nom.ptr());
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return v;
    }
    nb::object v = ligne.attr("get")(nom);
    return v.is_none() ? nullptr : v.ptr();
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

long long exporter_csv(nb::handle self, nb::handle sortie, nb::handle colonnes, nb::handle limite_o,
                       nb::handle callback, nb::kwargs kwargs) {
    exiger_colonnes(colonnes);
    long long limite = entier_arg(limite_o, "limite");
    Lexique &l = *nb::inst_ptr<Lexique>(self);
    nb::list entete;
    if (!colonnes.is_none() && vrai(colonnes))
        entete = nb::list(colonnes);
    else if (l.est_sqlite())
        entete = colonnes_table(self, 1);
    else
        entete = entete_memoire(l);

    FichierTemporaire tmp(sortie);
    std::FILE *f = fdopen(tmp.fd, "wb");
    if (!f) erreur_os(errno, tmp.destination);
    tmp.fd = -1;  // now owned by f
    long long compte = 0;
    std::string tampon;
    auto vider = [&](bool toujours) {
        if (tampon.size() < (1u << 20) && !toujours) return;
        if (!tampon.empty() && std::fwrite(tampon.data(), 1, tampon.size(), f) != tampon.size()) {
            int e = errno;
            std::fclose(f);
            f = nullptr;
            erreur_os(e ? e : EIO, tmp.destination);
        }
        tampon.clear();
    };
    try {
        const size_t nb_champs = nb::len(entete);
        std::string ligne;
        // Header fields go through the same rules as values.
        for (size_t i = 0; i < nb_champs; ++i) {
            if (i) ligne.push_back(',');
            valeur_csv(ligne, entete[i].ptr());
        }
        terminer_ligne_csv(ligne, nb_champs);
        tampon += ligne;
        nb::object lignes = lignes_de(self, colonnes, limite, callback, kwargs);
        while (PyObject *brut = PyIter_Next(lignes.ptr())) {
            nb::object r = nb::steal(brut);
            ligne.clear();
            for (size_t i = 0; i < nb_champs; ++i) {
                if (i) ligne.push_back(',');
                valeur_csv(ligne, valeur_de(r, entete[i]));
            }
            terminer_ligne_csv(ligne, nb_champs);
            tampon += ligne;
            ++compte;
            vider(false);
        }
        if (PyErr_Occurred()) throw nb::python_error();
        vider(true);
        if (std::fclose(f) != 0) {
            f = nullptr;
            erreur_os(errno, tmp.destination);
        }
        f = nullptr;
    } catch (...) {
        if (f) std::fclose(f);
        throw;
    }
    tmp.installer();
    if (!callback.is_none() && vrai(callback)) callback(compte);
    return compte;
}

// ------------------------------------------------------------------ SQLite writer

long long exporter_sqlite(nb::handle self, nb::handle sortie, nb::handle colonnes, nb::handle limite_o,
                          nb::handle callback, nb::kwargs kwargs) {
    exiger_colonnes(colonnes);
    long long limite = entier_arg(limite_o, "limite");
    Lexique &l = *nb::inst_ptr<Lexique>(self);
    nb::list noms, types;
    if (l.est_sqlite()) {
        nb::object conn = obtenir_conn(l);
        for (nb::handle r :
             conn.attr("execute")("PRAGMA table_info(" + table_de(self) + ")").attr("fetchall")()) {
            noms.append(r[1]);
            types.append(r[2]);
        }
    } else {
        for (nb::handle n : entete_memoire(l)) {
            noms.append(n);
            types.append("TEXT");
        }
    }
    if (!colonnes.is_none() && vrai(colonnes)) {
        nb::list n2, t2;
        for (size_t i = 0; i < nb::len(noms); ++i)
            if (contient(colonnes, noms[i])) {
                n2.append(noms[i]);
                t2.append(types[i]);
            }
        noms = n2;
        types = t2;
    }
    std::string defs, cols, marques;
    for (size_t i = 0; i < nb::len(noms); ++i) {
        std::string id = identifiant(noms[i]);
        defs += (i ? ", " : "") + id + " " + nb::cast<std::string>(nb::str(types[i]));
        cols += (i ? ", " : "") + id;
        marques += i ? ", ?" : "?";
    }

    FichierTemporaire tmp(sortie);
    ::close(tmp.fd);
    tmp.fd = -1;
    nb::object conn = liens().sqlite3.attr("connect")(tmp.chemin);
    long long compte = 0;
    try {
        conn.attr("execute")("PRAGMA journal_mode=WAL");
        conn.attr("execute")("PRAGMA synchronous=OFF");
        conn.attr("execute")("CREATE TABLE formes (" + defs + ")");
        conn.attr("commit")();
        std::string insertion = "INSERT INTO formes (" + cols + ") VALUES (" + marques + ")";
        nb::list lot;
        nb::object lignes = lignes_de(self, colonnes, limite, callback, kwargs);
        const size_t k = nb::len(noms);
        while (PyObject *brut = PyIter_Next(lignes.ptr())) {
            nb::object r = nb::steal(brut);
            nb::object t = nb::steal(PyTuple_New((Py_ssize_t)k));
            for (size_t i = 0; i < k; ++i) {
                PyObject *v = valeur_de(r, noms[i]);
                if (!v) v = Py_None;
                Py_INCREF(v);
                PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)i, v);
            }
            lot.append(t);
            ++compte;
            if (nb::len(lot) == 10000) {
                conn.attr("executemany")(insertion, lot);
                conn.attr("commit")();
                lot = nb::list();
            }
        }
        if (PyErr_Occurred()) throw nb::python_error();
        if (nb::len(lot) > 0) {
            conn.attr("executemany")(insertion, lot);
            conn.attr("commit")();
        }
        const char *index[4][2] = {{"ortho", " COLLATE NOCASE"}, {"lemme", " COLLATE NOCASE"}, {"phone", ""},
                                   {"cgram", ""}};
        for (auto &ix : index)
            if (contient(noms, ix[0]))
                conn.attr("execute")(std::string("CREATE INDEX IF NOT EXISTS idx_") + ix[0] + " ON formes(\"" +
                                     ix[0] + "\"" + ix[1] + ")");
        if (contient(noms, "illustrable"))
            conn.attr("execute")("CREATE INDEX IF NOT EXISTS idx_illustrable ON formes(\"illustrable\")");
        if (contient(noms, "nb_syllabes"))
            conn.attr("execute")("CREATE INDEX IF NOT EXISTS idx_nb_syllabes ON formes(\"nb_syllabes\")");
        conn.attr("commit")();
        conn.attr("execute")("VACUUM");
        conn.attr("close")();
    } catch (...) {
        PyObject *t, *v, *tb;
        PyErr_Fetch(&t, &v, &tb);
        PyObject *r = PyObject_CallMethod(conn.ptr(), "close", nullptr);
        Py_XDECREF(r);
        PyErr_Clear();
        PyErr_Restore(t, v, tb);
        throw;
    }
    tmp.installer();
    if (!callback.is_none() && vrai(callback)) callback(compte);
    return compte;
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
        .def("__next__",
             [](LignesFiltrees &it) {
                 nb::object r = it.suivant();
                 if (!r.is_valid()) LignesFiltrees::arret();
                 return r;
             })
        .def("close", &LignesFiltrees::fermer, "Abandonne l'iteration et libere le curseur.");

    c.def("_build_filter_clauses",
          [](Lexique &, BRIVANE_CRITERES_PARAMS) {
              nb::handle bruts[12] = BRIVANE_CRITERES_VALEURS;
              return clauses(Criteres::lire(bruts));
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
