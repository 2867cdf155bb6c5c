// Lexique: multi-criteria filter, count, and streaming export to CSV or SQLite.
#include "lexique.hpp"
#include "_precharge.hpp"

#include "csv_ecriture.hpp"
#include "_sqlite_hote.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <charconv>
#include <climits>
#include <exception>
#include <memory>
#include <optional>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>
#include <fcntl.h>
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

// The row of an in-memory export: a fresh dict with the entry's fields (those named
// in `colonnes` when it is not empty), in the entry's order.
nb::object ligne_memoire(nb::handle entree, nb::handle colonnes) {
    nb::dict d;
    if (!colonnes.is_none() && vrai(colonnes)) {
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
        return ligne_memoire(r, colonnes);
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
    const long long n = entier_arg(limite, "limite");
    // Owned here until Python takes it: an error on the way must not leak it (it
    // holds a reference to the lexicon).
    auto it = std::make_unique<LignesFiltrees>();
    it->lexique = nb::borrow(self);
    it->colonnes = nb::borrow(colonnes);
    it->limite = n;
    it->callback = nb::borrow(callback);
    it->kwargs = nb::dict();
    nb::borrow<nb::dict>(it->kwargs).update(kwargs);
    nb::object res = nb::cast(it.get(), nb::rv_policy::take_ownership);
    it.release();
    return res;
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
        // Freeing the file replaced (its cached pages and its blocks) takes the kernel
        // several milliseconds for a large one. Held open across the rename, that file
        // is freed by its last close, made on a helper thread. Only a regular file is
        // opened (without following a link, without waiting on a pipe).
        int ancien = ::open(destination.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        if (ancien >= 0 && (fstat(ancien, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < GRAND_FICHIER)) {
            ::close(ancien);
            ancien = -1;
        }
        if (std::rename(chemin.c_str(), destination.c_str()) != 0) {
            const int numero = errno;
            if (ancien >= 0) ::close(ancien);
            erreur_os(numero, destination);
        }
        chemin.clear();
        if (ancien < 0) return;
        try {
            std::thread([ancien] { ::close(ancien); }).detach();
        } catch (const std::system_error &) {
            ::close(ancien);
        }
    }
    static constexpr off_t GRAND_FICHIER = off_t(1) << 20;
    ~FichierTemporaire() { supprimer(); }
};

// ------------------------------------------------------------------ values

// UTF-8 of code units, written at `o`; nullptr at a lone surrogate.
template <class C> char *vers_utf8(const C *p, size_t n, char *o) {
    for (size_t i = 0; i < n; ++i) {
        const uint32_t c = p[i];
        if (c < 0x80) {
            *o++ = char(c);
        } else if (c < 0x800) {
            *o++ = char(0xC0 | (c >> 6));
            *o++ = char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return nullptr;
            *o++ = char(0xE0 | (c >> 12));
            *o++ = char(0x80 | ((c >> 6) & 0x3F));
            *o++ = char(0x80 | (c & 0x3F));
        } else {
            *o++ = char(0xF0 | (c >> 18));
            *o++ = char(0x80 | ((c >> 12) & 0x3F));
            *o++ = char(0x80 | ((c >> 6) & 0x3F));
            *o++ = char(0x80 | (c & 0x3F));
        }
    }
    return o;
}

// The UTF-8 a compact str already holds: its own bytes when ASCII, the copy the host
// cached in it otherwise. False when it holds none.
bool utf8_tenu(PyObject *s, std::string_view &texte) {
    if (PyUnicode_IS_ASCII(s)) {
        texte = {static_cast<const char *>(PyUnicode_DATA(s)), size_t(PyUnicode_GET_LENGTH(s))};
        return true;
    }
    auto *compact = reinterpret_cast<PyCompactUnicodeObject *>(s);
    if (!compact->utf8) return false;
    texte = {compact->utf8, size_t(compact->utf8_length)};
    return true;
}

// The UTF-8 of a compact str written at `out`, which has room for (kind + 1) bytes a
// code point; nullptr at a lone surrogate.
char *ecrire_utf8(PyObject *s, char *out) {
    const size_t n = size_t(PyUnicode_GET_LENGTH(s));
    const void *d = PyUnicode_DATA(s);
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: return vers_utf8(static_cast<const uint8_t *>(d), n, out);
    case PyUnicode_2BYTE_KIND: return vers_utf8(static_cast<const uint16_t *>(d), n, out);
    default: return vers_utf8(static_cast<const uint32_t *>(d), n, out);
    }
}

// UTF-8 of a str without leaving a cached copy inside it (the strings of the indexes
// would keep one each for the life of the lexicon): ASCII is read in place, the rest
// encoded into `tampon`. Plain C++ that calls nothing of the host, so that another
// thread may run it while this one holds the GIL; false for a str it cannot encode
// so (not in compact form, or with a lone surrogate).
bool utf8_pur(PyObject *s, std::string &tampon, std::string_view &texte) {
    if (!PyUnicode_IS_COMPACT(s)) return false;
    if (utf8_tenu(s, texte)) return true;
    const size_t n = size_t(PyUnicode_GET_LENGTH(s));
    // Room for the longest encoding, written in place, then cut to size.
    if (tampon.size() < n * 4) tampon.resize(n * 4);
    char *const debut = tampon.data();
    char *fin = ecrire_utf8(s, debut);
    if (!fin) return false;
    texte = {debut, size_t(fin - debut)};
    return true;
}

// utf8_pur(), or the host's encoding (which raises for a lone surrogate).
std::string_view utf8_passager(PyObject *s, std::string &tampon) {
    std::string_view texte;
    return utf8_pur(s, tampon, texte) ? texte : utf8(s);
}

// Room that ecrire_csv_pur() may need for `v`.
size_t place_csv_pure(PyObject *v) {
    if (!v || v == Py_None) return 0;
    if (PyUnicode_Check(v)) {
        if (!PyUnicode_IS_COMPACT(v)) return 0;  // not written in place anyway
        const size_t n = size_t(PyUnicode_GET_LENGTH(v));
        if (PyUnicode_IS_ASCII(v)) return 2 * n + 2;
        auto *compact = reinterpret_cast<PyCompactUnicodeObject *>(v);
        if (compact->utf8) return 2 * size_t(compact->utf8_length) + 2;
        // UTF-8 takes at most kind + 1 bytes a code point (2, 3, 4); quoting doubles.
        return 2 * (size_t(PyUnicode_KIND(v)) + 1) * n + 2;
    }
    return REEL_REPR_MAX;
}

// valeur_csv() of a value that needs nothing of the host (None or missing, a str
// utf8_pur() encodes, an exact float, a bool), by plain C++, written at `out` (room
// for place_csv_pure(v) bytes): the end of the field, or nullptr for any other value.
char *ecrire_csv_pur(PyObject *v, char *out, std::string &tampon) {
    if (!v || v == Py_None) return out;
    if (PyUnicode_Check(v)) {
        if (!PyUnicode_IS_COMPACT(v)) return nullptr;
        std::string_view t;
        if (utf8_tenu(v, t)) return ecrire_champ_csv(out, t);
        // Encoded in place; quoting (rare: the characters it looks for are ASCII)
        // rewrites it from a copy.
        char *fin = ecrire_utf8(v, out);
        if (!fin) return nullptr;
        t = {out, size_t(fin - out)};
        if (!a_guillemeter(t, ',')) return fin;
        tampon.assign(t);
        return ecrire_champ_csv(out, tampon);
    }
    if (PyFloat_CheckExact(v)) return ecrire_reel_repr(PyFloat_AS_DOUBLE(v), out);
    if (v == Py_True) return std::copy_n("True", 4, out);
    if (v == Py_False) return std::copy_n("False", 5, out);
    return nullptr;
}

// ecrire_csv_pur() appended to `ligne`; false, `ligne` untouched, for a value that
// needs the host.
bool valeur_csv_pure(std::string &ligne, PyObject *v, std::string &tampon) {
    const size_t avant = ligne.size();
    ligne.resize(avant + place_csv_pure(v));
    char *fin = ecrire_csv_pur(v, ligne.data() + avant, tampon);
    ligne.resize(fin ? size_t(fin - ligne.data()) : avant);
    return fin != nullptr;
}

// A value as csv.writer writes it: text as is, floats by repr(), anything else by str().
void valeur_csv(std::string &ligne, PyObject *v, std::string &tampon) {
    if (valeur_csv_pure(ligne, v, tampon)) return;
    if (PyUnicode_Check(v)) {
        ajouter_champ_csv(ligne, utf8(v));
        return;
    }
    nb::object t = nb::steal(PyFloat_Check(v) ? PyObject_Repr(v) : PyObject_Str(v));
    if (!t.is_valid()) throw nb::python_error();
    ajouter_champ_csv(ligne, utf8_passager(t.ptr(), tampon));
}

// The value under `nom` of a plain dict, borrowed; nullptr when missing.
PyObject *valeur_dict(PyObject *ligne, PyObject *nom) {
    PyObject *v = PyDict_GetItemWithError(ligne, nom);
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v;
}

// ligne.get(nom), held: another mapping's get() may build the value it returns.
// An invalid object when missing or None.
nb::object valeur_de(nb::handle ligne, nb::handle nom) {
    if (PyDict_CheckExact(ligne.ptr())) return nb::borrow(valeur_dict(ligne.ptr(), nom.ptr()));
    nb::object v = ligne.attr("get")(nom);
    return v.is_none() ? nb::object() : v;
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

// ------------------------------------------------------------------ direct SQLite

// Whether an adapter is registered for a type that the module would otherwise bind
// by itself: then only the module knows what reaches the database.
bool adaptateurs_de_base() {
    nb::object adaptateurs = nb::getattr(liens().sqlite3, "adapters", nb::none());
    if (!PyDict_Check(adaptateurs.ptr())) return true;
    PyObject *const bases[] = {(PyObject *)Py_TYPE(Py_None), (PyObject *)&PyLong_Type, (PyObject *)&PyFloat_Type,
                               (PyObject *)&PyUnicode_Type, (PyObject *)&PyBytes_Type, (PyObject *)&PyByteArray_Type,
                               (PyObject *)&PyBool_Type};
    for (auto [cle, _] : nb::borrow<nb::dict>(adaptateurs)) {
        if (!PyTuple_Check(cle.ptr()) || PyTuple_GET_SIZE(cle.ptr()) < 1) return true;
        for (PyObject *b : bases)
            if (PyTuple_GET_ITEM(cle.ptr(), 0) == b) return true;
    }
    return false;
}

// Where a value goes: a parameter of a prepared statement (`p` counts from 1), or a
// column handed to the library by a virtual table.
struct VersParametre {
    sqlite::Requete &r;
    int p;
    void lier_nul() { r.lier_nul(p); }
    void lier_reel(double x) { r.lier_reel(p, x); }
    void lier_entier(long long x) { r.lier_entier(p, x); }
    void lier_texte(std::string_view t) { r.lier_texte(p, t); }
    void lier_texte_statique(std::string_view t) { r.lier_texte_statique(p, t); }
    void lier_blob(std::string_view t) { r.lier_blob(p, t); }
    int numero() const { return p; }
};
struct VersColonne {
    sqlite::Valeur &v;
    int n;  // from 1, as the parameter it stands for
    void lier_nul() { v.nul(); }
    void lier_reel(double x) { v.reel(x); }
    void lier_entier(long long x) { v.entier(x); }
    void lier_texte(std::string_view t) { v.texte(t); }
    void lier_texte_statique(std::string_view t) { v.texte_statique(t); }
    void lier_blob(std::string_view t) { v.blob(t); }
    int numero() const { return n; }
};

// One value bound as the sqlite3 module binds a parameter: None, exact int, float and
// str directly; anything else after sqlite3.adapt, then by its kind (int, float, str,
// buffer), else the module's ProgrammingError.
// `statique`: the text is bound without a copy. Only for a str that outlives the
// next step (or row) and a `tampon` kept for this value alone until then.
template <class Cible> void lier_valeur(Cible r, PyObject *v, std::string &tampon, bool statique = false) {
    if (!v || v == Py_None) return r.lier_nul();
    if (PyFloat_CheckExact(v)) return r.lier_reel(PyFloat_AS_DOUBLE(v));
    if (PyUnicode_CheckExact(v)) {
        std::string_view t = utf8_passager(v, tampon);
        if (t.size() > size_t(INT_MAX)) {
            PyErr_SetString(PyExc_OverflowError, "string longer than INT_MAX bytes");
            throw nb::python_error();
        }
        return statique ? r.lier_texte_statique(t) : r.lier_texte(t);
    }
    nb::object adapte = nb::borrow(v);
    if (!PyLong_CheckExact(v)) {
        nb::object module = nb::module_::import_("_sqlite3");
        adapte = module.attr("adapt")(nb::handle(v), module.attr("PrepareProtocol"), nb::handle(v));
    }
    PyObject *a = adapte.ptr();
    if (a == Py_None) return r.lier_nul();
    if (PyLong_Check(a)) {
        int debordement = 0;
        long long x = PyLong_AsLongLongAndOverflow(a, &debordement);
        if (debordement) {
            PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to SQLite INTEGER");
            throw nb::python_error();
        }
        if (x == -1 && PyErr_Occurred()) throw nb::python_error();
        return r.lier_entier(x);
    }
    if (PyFloat_Check(a)) {
        double x = PyFloat_AsDouble(a);
        if (x == -1.0 && PyErr_Occurred()) throw nb::python_error();
        return r.lier_reel(x);
    }
    if (PyUnicode_Check(a)) return r.lier_texte(utf8(a));
    if (PyObject_CheckBuffer(a)) {
        Py_buffer vue;
        if (PyObject_GetBuffer(a, &vue, PyBUF_SIMPLE) < 0) throw nb::python_error();
        if (vue.len > INT_MAX) {
            PyBuffer_Release(&vue);
            PyErr_SetString(PyExc_OverflowError, "BLOB longer than INT_MAX bytes");
            throw nb::python_error();
        }
        std::string_view octets(static_cast<const char *>(vue.buf), size_t(vue.len));
        try {
            r.lier_blob(octets);
        } catch (...) {
            PyBuffer_Release(&vue);
            throw;
        }
        PyBuffer_Release(&vue);
        return;
    }
    PyErr_Format(liens().sqlite3.attr("ProgrammingError").ptr(),
                 "Error binding parameter %d: type '%s' is not supported", r.numero(), Py_TYPE(v)->tp_name);
    throw nb::python_error();
}

// The progress rule of the row source, for the writers that read rows themselves: a
// row counts when the next one is asked for, and every 5000th count is reported.
void lier_objet(sqlite::Requete &r, int p, PyObject *v, std::string &tampon, bool statique = false) {
    lier_valeur(VersParametre{r, p}, v, tampon, statique);
}

struct Progression {
    nb::handle callback;
    long long compte = 0;
    bool en_attente = false;

    // Whether the next demande() calls into Python (the GIL must then be held).
    bool appel_du() const { return en_attente && (compte + 1) % 5000 == 0; }

    void demande() {
        if (!en_attente) return;
        en_attente = false;
        ++compte;
        if (compte % 5000 == 0 && !callback.is_none() && vrai(callback)) callback(compte);
    }
};

// The module's error for a text that is not UTF-8, in its words: the message is cut
// to 198 bytes and its non-ASCII bytes replaced.
[[noreturn]] void erreur_decodage(const char *colonne, const char *texte) {
    char tampon[200];
    std::snprintf(tampon, sizeof tampon - 1, "Could not decode to UTF-8 column '%s' with text '%s'", colonne, texte);
    nb::object message = nb::steal(PyUnicode_DecodeASCII(tampon, Py_ssize_t(std::strlen(tampon)), "replace"));
    if (!message.is_valid()) throw nb::python_error();
    PyErr_SetObject(liens().sqlite3.attr("OperationalError").ptr(), message.ptr());
    throw nb::python_error();
}

// A table name that can follow "schema." in a statement.
bool identifiant_simple(std::string_view s) {
    if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
    for (char c : s)
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
    return true;
}

// Rows of a SQLite lexicon read straight from the C library, on a read-only
// connection of our own to the same file. Taken only when that connection cannot see
// anything else than the lexicon's: see ouvrir_source_sql.
struct SourceSql {
    std::unique_ptr<sqlite::Base> base;
    std::unique_ptr<sqlite::Requete> req;
    std::vector<std::string> noms;  // selected columns, in order (UTF-8)
    Progression prog;
    bool premiere_lue = false;  // the first row was stepped to during the opening
    bool fini = false;

    bool suivante() {
        prog.demande();
        if (fini) return false;
        if (premiere_lue) {
            premiere_lue = false;
        } else {
            bool ligne;
            try {
                ligne = req->pas();
            } catch (sqlite::Erreur &e) {
                fini = true;
                lever_sqlite(e);
            }
            if (!ligne) {
                fini = true;
                return false;
            }
        }
        prog.en_attente = true;
        return true;
    }

    // Position of the last selected column of that name (a row dict keeps the last),
    // or -1.
    int colonne(std::string_view nom) const {
        for (size_t j = noms.size(); j-- > 0;)
            if (noms[j] == nom) return int(j);
        return -1;
    }

    // Text of a column, as the module decodes it (strict UTF-8, its error otherwise).
    std::string_view texte_valide(int j) const {
        std::string_view t = req->texte(j);
        if (!sqlite::utf8_valide(t)) erreur_decodage(req->nom(j), t.data());
        return t;
    }

    void champ_csv(std::string &ligne, int j) const {
        if (j < 0) return;
        switch (req->type(j)) {
        case sqlite::ENTIER: {
            char buf[24];
            auto r = std::to_chars(buf, buf + sizeof buf, req->entier(j));
            ligne.append(buf, size_t(r.ptr - buf));
            break;
        }
        case sqlite::REEL: ligne.append(reel_repr(req->reel(j))); break;
        case sqlite::TEXTE: ajouter_champ_csv(ligne, texte_valide(j)); break;
        case sqlite::BLOB: {
            std::string_view b = req->blob(j);
            nb::object o = nb::steal(PyBytes_FromStringAndSize(b.data(), Py_ssize_t(b.size())));
            if (!o.is_valid()) throw nb::python_error();
            std::string tampon;
            valeur_csv(ligne, o.ptr(), tampon);
            break;
        }
        default: break;  // NULL: the empty field
        }
    }

    void lier(sqlite::Requete &ins, int p, int j) const {
        if (j < 0) return ins.lier_nul(p);
        if (req->type(j) == sqlite::TEXTE) return ins.lier_texte(p, texte_valide(j));
        ins.lier_valeur(p, req->valeur(j));
    }
};

// Whether every name of `colonnes` is an exact str (the direct paths compare names
// as UTF-8 bytes, which is what == does on such names).
bool noms_simples(nb::handle colonnes) {
    if (colonnes.is_none()) return true;
    for (nb::handle c : colonnes)
        if (!PyUnicode_CheckExact(c.ptr())) return false;
    return true;
}

struct Schema {
    nb::list noms, types;
    std::string definitions, colonnes, marques;
};

// The database file of the lexicon's connection, when a connection of our own to that
// file sees exactly what the lexicon's connection sees; empty otherwise. Not so when
// a subclass provides the connection or the clauses, when a transaction is open on
// it (uncommitted changes), when other databases are attached or temporary tables
// exist (names could resolve elsewhere), or when its text factory is not str.
std::string fichier_lisible_directement(nb::handle self) {
    if (!sqlite_c() || redefinie(self, "_get_conn") || redefinie(self, "_build_filter_clauses")) return {};
    nb::object conn = obtenir_conn(*nb::inst_ptr<Lexique>(self));
    if (!conn.type().is(liens().sqlite3.attr("Connection"))) return {};
    if (vrai(conn.attr("in_transaction"))) return {};
    if (!conn.attr("text_factory").is(nb::handle((PyObject *)&PyUnicode_Type))) return {};
    nb::object cur = conn.attr("cursor")();
    cur.attr("row_factory") = nb::none();
    nb::list bases = nb::borrow<nb::list>(cur.attr("execute")("PRAGMA database_list").attr("fetchall")());
    cur.attr("close")();
    if (nb::len(bases) != 1 || !nb::str(bases[0][1]).equal(nb::str("main"))) return {};
    nb::object fichier = bases[0][2];
    if (!PyUnicode_CheckExact(fichier.ptr())) return {};
    return std::string(utf8(fichier.ptr()));  // empty for an in-memory database
}

// The SELECT of the SQL row source, in pieces, built as the row source builds it.
struct RequeteSource {
    nb::list noms;  // selected columns, in selection order
    std::string colonnes, table, where;
    nb::list params;
};

// Empty `noms` when there is nothing to select (the row source then fails in the
// module's words) or when a selected name is not a plain str.
RequeteSource requete_source(nb::handle self, nb::handle colonnes, long long limite, nb::handle kwargs) {
    RequeteSource r;
    nb::tuple cl = clauses_de(self, kwargs);
    nb::list toutes = colonnes_table(self, 1);
    if (!colonnes.is_none() && vrai(colonnes)) {
        for (nb::handle c : colonnes)
            if (contient(toutes, c)) r.noms.append(c);
    } else {
        r.noms = toutes;
    }
    for (nb::handle n : r.noms) {
        if (!PyUnicode_CheckExact(n.ptr())) {
            r.noms = nb::list();
            return r;
        }
        r.colonnes += (r.colonnes.empty() ? "" : ", ") + identifiant(n);
    }
    r.table = table_de(self);
    r.where = where(cl[0]);
    r.params = nb::list(cl[1]);
    if (limite != 0) {
        r.where += " LIMIT ?";
        r.params.append(limite);
    }
    return r;
}

// Binds the parameters of a source statement (false when their number differs).
bool lier_parametres(sqlite::Requete &req, const nb::list &params) {
    if (req.nb_parametres() != int(nb::len(params))) return false;
    std::string tampon;
    for (size_t i = 0; i < nb::len(params); ++i) lier_objet(req, int(i + 1), params[i].ptr(), tampon);
    return true;
}

// The SQL row source of a SQLite lexicon, opened on the C library; nullptr when the
// module's own path must be taken instead (see fichier_lisible_directement), or on
// any failure up to the first row: the module then meets it again and reports it in
// its own words.
std::unique_ptr<SourceSql> ouvrir_source_sql(nb::handle self, nb::handle colonnes, long long limite,
                                             nb::handle callback, nb::handle kwargs) {
    std::string fichier = fichier_lisible_directement(self);
    if (fichier.empty()) return nullptr;
    RequeteSource rq = requete_source(self, colonnes, limite, kwargs);
    if (nb::len(rq.noms) == 0) return nullptr;
    auto src = std::make_unique<SourceSql>();
    for (nb::handle n : rq.noms) src->noms.emplace_back(utf8(n.ptr()));
    try {
        src->base = std::make_unique<sqlite::Base>(*sqlite_c(), fichier,
                                                   sqlite::OUVRIR_LECTURE | sqlite::OUVRIR_SANS_VERROU);
        src->req = std::make_unique<sqlite::Requete>(
            *src->base, "SELECT " + rq.colonnes + " FROM " + rq.table + " WHERE " + rq.where);
        if (!lier_parametres(*src->req, rq.params)) return nullptr;
        src->premiere_lue = src->req->pas();
        src->fini = !src->premiere_lue;
    } catch (sqlite::Erreur &) {
        return nullptr;
    }
    src->prog.callback = callback;
    return src;
}

// ------------------------------------------------------------------ copy inside SQLite

// State of the SQL function that every copied row goes through: it counts the rows
// for the progress function and checks their texts as the module would decode them.
struct Recopie {
    const sqlite::Fonctions *f = nullptr;
    Progression prog;
    std::vector<std::string> noms;  // names of the arguments
    std::vector<int> ordre;         // arguments in the order the module decodes them
    std::exception_ptr erreur;
};

// brivane_ligne(first column, every column...): the first column, unchanged.
void ligne_recopiee(sqlite3_context *ctx, int n, sqlite3_value **v) {
    const sqlite::Fonctions &f = *sqlite_c();
    auto *r = static_cast<Recopie *>(f.user_data(ctx));
    // The statement runs without the GIL; it is taken back only to call into Python.
    try {
        if (r->prog.appel_du()) {
            nb::gil_scoped_acquire gil;
            r->prog.demande();  // the previous row is taken
        } else {
            r->prog.demande();
        }
        for (int k : r->ordre) {
            if (k >= n || f.value_type(v[k]) != sqlite::TEXTE) continue;
            const char *t = reinterpret_cast<const char *>(f.value_text(v[k]));
            if (t && !sqlite::utf8_valide({t, size_t(f.value_bytes(v[k]))})) {
                nb::gil_scoped_acquire gil;
                erreur_decodage(r->noms[size_t(k)].c_str(), t);
            }
        }
        r->prog.en_attente = true;
    } catch (...) {
        // Nothing may cross the library's frames: kept, and raised once the step fails.
        r->erreur = std::current_exception();
        f.result_error(ctx, "brivane_ligne", -1);
        return;
    }
    f.result_value(ctx, v[0]);
}

// The rows of a SQLite lexicon copied by one INSERT ... SELECT on the export's own
// connection, the lexicon's file attached read-only: no value leaves the library.
// Same rows, same order and same values as the row source gives (same FROM, WHERE and
// LIMIT, same columns); false when this path cannot be taken, before any row.
bool recopier_depuis_source(sqlite::Base &base, nb::handle self, const Schema &s, nb::handle colonnes,
                            long long limite, nb::handle callback, nb::handle kwargs, long long &compte) {
    std::string fichier = fichier_lisible_directement(self);
    if (fichier.empty()) return false;
    RequeteSource rq = requete_source(self, colonnes, limite, kwargs);
    if (nb::len(rq.noms) == 0 || !identifiant_simple(rq.table)) return false;
    // Every exported column is selected by the row source, and conversely.
    const size_t k = nb::len(s.noms);
    Recopie r;
    r.f = &base.f;
    r.prog.callback = callback;
    std::string args, suite;
    for (size_t i = 0; i < k; ++i) {
        if (!PyUnicode_CheckExact(s.noms[i].ptr()) || !contient(rq.noms, s.noms[i])) return false;
        r.noms.emplace_back(utf8(s.noms[i].ptr()));
        std::string id = identifiant(s.noms[i]);
        args += (i ? ", " : "") + id;
        if (i) suite += ", " + id;
    }
    for (nb::handle n : rq.noms)
        for (size_t i = 0; i < k; ++i)
            if (r.noms[i] == utf8(n.ptr())) r.ordre.push_back(int(i));
    std::string sql = "INSERT INTO main.formes (" + s.colonnes + ") SELECT brivane_ligne(" + args + ")" + suite +
                      " FROM brivane_source." + rq.table + " WHERE " + rq.where;
    try {
        sqlite::Requete attache(base, "ATTACH ? AS brivane_source");
        attache.lier_texte(1, fichier);
        attache.pas();
    } catch (sqlite::Erreur &) {
        return false;
    }
    struct Detache {
        sqlite::Base &b;
        ~Detache() {
            try {
                b.fonction("brivane_ligne", -1, nullptr, nullptr);
                b.executer("DETACH brivane_source");
            } catch (sqlite::Erreur &) {
                // Left attached: only the export's connection sees it, and it closes soon.
            }
        }
    } detache{base};
    base.fonction("brivane_ligne", -1, &r, ligne_recopiee);
    std::unique_ptr<sqlite::Requete> ins;
    try {
        ins = std::make_unique<sqlite::Requete>(base, sql);
        if (!lier_parametres(*ins, rq.params)) return false;
    } catch (sqlite::Erreur &) {
        return false;  // e.g. a column of the criteria missing: the row source says so
    }
    std::optional<sqlite::Erreur> echec;
    {
        nb::gil_scoped_release sans_gil;
        try {
            ins->pas();
        } catch (sqlite::Erreur &e) {
            echec = e;
        }
    }
    if (r.erreur) std::rethrow_exception(r.erreur);
    if (echec) lever_sqlite(*echec);
    ins.reset();
    r.prog.demande();  // the request that finds no further row
    compte = r.prog.compte;
    return true;
}

// The in-memory row source read in place: the entries the filter returns, without
// the copy that the generic row source makes of each.
// The values of entry `e` under the names of list `noms`, into `vals` (sized to
// them), when `e` is a plain dict holding exactly those key objects in that order:
// entries built from one key template do, and one walk over the dict then gives
// them all. Plain reads of `e` only. False otherwise.
bool valeurs_en_ordre(PyObject *e, PyObject *noms, std::vector<PyObject *> &vals) {
    const size_t n = size_t(PyList_GET_SIZE(noms));
    if (!PyDict_CheckExact(e) || size_t(PyDict_GET_SIZE(e)) != n) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    size_t i = 0;
    while (i < n && PyDict_Next(e, &pos, &k, &v) && k == PyList_GET_ITEM(noms, Py_ssize_t(i))) vals[i++] = v;
    return i == n;
}

struct SourceEntrees {
    nb::handle lexique, colonnes;
    nb::object kwargs;
    long long limite;
    Progression prog;
    nb::object iterateur, entree, copie;
    std::vector<PyObject *> vals;

    nb::object resultat;  // what the filter gave

    // Runs the filter (done by the first suivante() otherwise).
    void ouvrir() {
        if (iterateur.is_valid()) return;
        resultat = filtrer_memoire(*nb::inst_ptr<Lexique>(lexique), kwargs, nb::int_(limite));
        iterateur = nb::steal(PyObject_GetIter(resultat.ptr()));
        if (!iterateur.is_valid()) throw nb::python_error();
    }

    bool suivante() {
        prog.demande();
        ouvrir();
        PyObject *e = PyIter_Next(iterateur.ptr());
        if (!e) {
            if (PyErr_Occurred()) throw nb::python_error();
            entree = copie = nb::object();
            return false;
        }
        entree = nb::steal(e);
        // A plain dict is read in place: its value under a selected name is the row's.
        copie = PyDict_CheckExact(e) ? nb::object() : ligne_memoire(entree, colonnes);
        prog.en_attente = true;
        return true;
    }

    // The row's values under `noms`, in order (nullptr when absent), borrowed from the
    // entry (see valeurs_en_ordre).
    const std::vector<PyObject *> &valeurs(const nb::list &noms) {
        PyObject *e = copie.is_valid() ? copie.ptr() : entree.ptr();
        const size_t n = nb::len(noms);
        vals.resize(n);
        if (valeurs_en_ordre(e, noms.ptr(), vals)) return vals;
        for (size_t i = 0; i < n; ++i) vals[i] = valeur_dict(e, PyList_GET_ITEM(noms.ptr(), Py_ssize_t(i)));
        return vals;
    }
};

// ------------------------------------------------------------------ CSV writer

// lignes_csv_pures() without its guard: `r` follows the row being written and
// `debut` where its text starts.
size_t lignes_csv_pures_sans_garde(PyObject *liste, size_t &r, size_t b, PyObject *noms, std::string &texte,
                                   size_t &debut) {
    const size_t n = size_t(PyList_GET_SIZE(noms));
    std::string tampon;
    const size_t a = r;
    // The rows' dicts and their values lie scattered across the heap: each row is read
    // a few rows ahead of its writing, its dict and key table before that, and every
    // load is requested early enough to travel with the others.
    constexpr size_t AVANCE = 4, DICTS = 16, CLES = 8;
    std::vector<PyObject *> vals[AVANCE];
    bool lues[AVANCE];
    PyObject **items = reinterpret_cast<PyListObject *>(liste)->ob_item;
    auto lire = [&](size_t k) {
        std::vector<PyObject *> &v = vals[k % AVANCE];
        v.resize(n);
        lues[k % AVANCE] = valeurs_en_ordre(items[k], noms, v);
        if (!lues[k % AVANCE]) return;
        for (PyObject *x : v) {
            precharger(x);
            precharger(reinterpret_cast<const char *>(x) + 64);  // the text of a longer str
        }
    };
    for (size_t k = r; k < b && k < r + AVANCE; ++k) lire(k);
    for (; r < b; ++r) {
        if (r + DICTS < b) precharger(items[r + DICTS]);
        if (r + CLES < b && PyDict_CheckExact(items[r + CLES])) {
            const char *t = reinterpret_cast<const char *>(reinterpret_cast<PyDictObject *>(items[r + CLES])->ma_keys);
            for (size_t ligne = 0; ligne < (n + 3) * 24 / 64 + 2; ++ligne) precharger(t + 64 * ligne);
        }
        debut = texte.size();
        // Room for the rest, from the size of the rows so far (no copy as it grows).
        if (r == a + 256) texte.reserve(texte.size() / 256 * (b - a) * 9 / 8);
        if (!lues[r % AVANCE]) return r;
        const std::vector<PyObject *> &v = vals[r % AVANCE];
        // The row is written through a pointer into room made for its longest form,
        // then cut to size; taken back if a value needs the host.
        size_t place = n + 4;
        for (PyObject *x : v) place += place_csv_pure(x);
        texte.resize(debut + place);
        char *o = texte.data() + debut;
        for (size_t i = 0; i < n; ++i) {
            if (i) *o++ = ',';
            o = ecrire_csv_pur(v[i], o, tampon);
            if (!o) {
                texte.resize(debut);
                return r;
            }
        }
        texte.resize(size_t(o - texte.data()));
        terminer_ligne_csv(texte, n, debut);
        if (r + AVANCE < b) lire(r + AVANCE);
    }
    return b;
}

// Rows [a, b) of the list of entries `liste` as CSV records, appended to `texte` by
// plain C++ (see valeur_csv_pure) for entries that are plain dicts holding exactly
// the header's key objects in its order. Returns the first row it could not write
// so: b when it wrote them all; out of memory, the row it was on (its text taken
// back). Another thread may run it while this one holds the GIL and waits: nothing
// is then changed under it.
size_t lignes_csv_pures(PyObject *liste, size_t a, size_t b, PyObject *noms, std::string &texte) noexcept {
    size_t r = a, debut = texte.size();
    try {
        return lignes_csv_pures_sans_garde(liste, r, b, noms, texte, debut);
    } catch (...) {
        texte.resize(debut);  // shrinking does not allocate
        return r;
    }
}

// Large writes to the temporary file.
struct Tampon {
    std::FILE *f = nullptr;
    std::string donnees;
    const std::string *destination = nullptr;

    void vider(bool toujours) {
        if (donnees.size() < (1u << 20) && !toujours) return;
        if (!donnees.empty() && std::fwrite(donnees.data(), 1, donnees.size(), f) != donnees.size()) {
            int e = errno;
            std::fclose(f);
            f = nullptr;
            erreur_os(e ? e : EIO, *destination);
        }
        donnees.clear();
    }
    // A large text written as it is, after what is waiting.
    void ecrire(const std::string &texte) {
        vider(true);
        if (!texte.empty() && std::fwrite(texte.data(), 1, texte.size(), f) != texte.size()) {
            int e = errno;
            std::fclose(f);
            f = nullptr;
            erreur_os(e ? e : EIO, *destination);
        }
    }
    void fermer() {
        vider(true);
        std::FILE *g = f;
        f = nullptr;
        if (std::fclose(g) != 0) erreur_os(errno, *destination);
    }
    ~Tampon() {
        if (f) std::fclose(f);
    }
};

// Below this many rows a second thread costs more than it saves.
constexpr size_t LIGNES_PARALLELES = 20000;

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
    Tampon sortie_f;
    sortie_f.destination = &tmp.destination;
    sortie_f.f = fdopen(tmp.fd, "wb");
    if (!sortie_f.f) erreur_os(errno, tmp.destination);
    tmp.fd = -1;  // now owned by the FILE
    const size_t nb_champs = nb::len(entete);
    std::string ligne, tampon;
    // Header fields go through the same rules as values.
    for (size_t i = 0; i < nb_champs; ++i) {
        if (i) ligne.push_back(',');
        valeur_csv(ligne, entete[i].ptr(), tampon);
    }
    terminer_ligne_csv(ligne, nb_champs);
    sortie_f.donnees += ligne;

    long long compte = 0;
    auto ecrire = [&](auto &&champ) {
        ligne.clear();
        for (size_t i = 0; i < nb_champs; ++i) {
            if (i) ligne.push_back(',');
            champ(i);
        }
        terminer_ligne_csv(ligne, nb_champs);
        sortie_f.donnees += ligne;
        ++compte;
        sortie_f.vider(false);
    };
    // Rows read in place when the row source is ours; through it otherwise.
    bool fait = false;
    if (!redefinie(self, "_iter_filtered_rows") && noms_simples(colonnes) && noms_simples(entete)) {
        if (l.est_sqlite()) {
            if (auto src = ouvrir_source_sql(self, colonnes, limite, callback, kwargs)) {
                std::vector<int> pos;
                for (nb::handle nom : entete) pos.push_back(src->colonne(utf8(nom.ptr())));
                while (src->suivante()) ecrire([&](size_t i) { src->champ_csv(ligne, pos[i]); });
                fait = true;
            }
        } else {
            SourceEntrees src{self, colonnes, nb::borrow(kwargs), limite};
            src.prog.callback = callback;
            // Without a progress callback, a long list of plain rows is written on two
            // threads; the rows they leave go through the loop below, from the first.
            if (callback.is_none() || !vrai(callback)) {
                src.ouvrir();
                PyObject *liste = src.resultat.ptr();
                const size_t n = PyList_CheckExact(liste) ? size_t(PyList_GET_SIZE(liste)) : 0;
                if (n >= LIGNES_PARALLELES && std::thread::hardware_concurrency() > 1) {
                    const size_t milieu = n / 2;
                    std::string bas, haut;
                    size_t fin_bas = 0, fin_haut = milieu;
                    std::thread autre;
                    try {
                        autre = std::thread([&] { fin_haut = lignes_csv_pures(liste, milieu, n, entete.ptr(), haut); });
                    } catch (const std::system_error &) {
                        fin_haut = lignes_csv_pures(liste, milieu, n, entete.ptr(), haut);
                    }
                    fin_bas = lignes_csv_pures(liste, 0, milieu, entete.ptr(), bas);
                    if (autre.joinable()) autre.join();
                    size_t reprise = fin_bas;
                    sortie_f.ecrire(bas);
                    // The upper half stands only if nothing ran in between.
                    if (fin_bas == milieu) {
                        sortie_f.ecrire(haut);
                        reprise = fin_haut;
                    }
                    compte += (long long)reprise;
                    if (reprise > 0) {
                        nb::object r = nb::steal(PyObject_CallMethod(src.iterateur.ptr(), "__setstate__", "n",
                                                                      Py_ssize_t(reprise)));
                        if (!r.is_valid()) throw nb::python_error();
                    }
                }
            }
            std::vector<nb::object> tenues;
            while (src.suivante()) {
                const std::vector<PyObject *> &v = src.valeurs(entete);
                bool simple = true;
                for (PyObject *x : v)
                    if (x && x != Py_None && !PyUnicode_Check(x) && !PyFloat_CheckExact(x) && !PyBool_Check(x))
                        simple = false;
                if (simple) {
                    ecrire([&](size_t i) { valeur_csv(ligne, v[i], tampon); });
                } else {
                    // str() of another value may run code that changes the row: its
                    // values are held first, as the list csv.writer is given holds them.
                    tenues.assign(v.size(), nb::object());
                    for (size_t i = 0; i < v.size(); ++i)
                        if (v[i]) tenues[i] = nb::borrow(v[i]);
                    ecrire([&](size_t i) { valeur_csv(ligne, tenues[i].ptr(), tampon); });
                }
            }
            fait = true;
        }
    }
    if (!fait) {
        nb::object lignes = lignes_de(self, colonnes, limite, callback, kwargs);
        while (PyObject *brut = PyIter_Next(lignes.ptr())) {
            nb::object r = nb::steal(brut);
            ecrire([&](size_t i) { valeur_csv(ligne, valeur_de(r, entete[i]).ptr(), tampon); });
        }
        if (PyErr_Occurred()) throw nb::python_error();
    }
    sortie_f.fermer();
    tmp.installer();
    if (!callback.is_none() && vrai(callback)) callback(compte);
    return compte;
}

// ------------------------------------------------------------------ SQLite writer

Schema schema_export(nb::handle self, nb::handle colonnes) {
    Lexique &l = *nb::inst_ptr<Lexique>(self);
    Schema s;
    if (l.est_sqlite()) {
        nb::object conn = obtenir_conn(l);
        for (nb::handle r :
             conn.attr("execute")("PRAGMA table_info(" + table_de(self) + ")").attr("fetchall")()) {
            s.noms.append(r[1]);
            s.types.append(r[2]);
        }
    } else {
        for (nb::handle n : entete_memoire(l)) {
            s.noms.append(n);
            s.types.append("TEXT");
        }
    }
    if (!colonnes.is_none() && vrai(colonnes)) {
        nb::list n2, t2;
        for (size_t i = 0; i < nb::len(s.noms); ++i)
            if (contient(colonnes, s.noms[i])) {
                n2.append(s.noms[i]);
                t2.append(s.types[i]);
            }
        s.noms = n2;
        s.types = t2;
    }
    for (size_t i = 0; i < nb::len(s.noms); ++i) {
        std::string id = identifiant(s.noms[i]);
        s.definitions += (i ? ", " : "") + id + " " + nb::cast<std::string>(nb::str(s.types[i]));
        s.colonnes += (i ? ", " : "") + id;
        s.marques += i ? ", ?" : "?";
    }
    return s;
}

// The indexes of an export, each only if its column is exported.
std::vector<std::string> index_export(const nb::list &noms) {
    std::vector<std::string> res;
    const char *index[4][2] = {{"ortho", " COLLATE NOCASE"}, {"lemme", " COLLATE NOCASE"}, {"phone", ""},
                               {"cgram", ""}};
    for (auto &ix : index)
        if (contient(noms, ix[0]))
            res.push_back(std::string("CREATE INDEX IF NOT EXISTS idx_") + ix[0] + " ON formes(\"" + ix[0] + "\"" +
                          ix[1] + ")");
    if (contient(noms, "illustrable"))
        res.push_back("CREATE INDEX IF NOT EXISTS idx_illustrable ON formes(\"illustrable\")");
    if (contient(noms, "nb_syllabes"))
        res.push_back("CREATE INDEX IF NOT EXISTS idx_nb_syllabes ON formes(\"nb_syllabes\")");
    return res;
}

const size_t LOT = 10000;

// Through the host's sqlite3 module: when the C library is not available, or when an
// adapter registered for a base type makes the module the only judge of the values.
long long exporter_sqlite_module(nb::handle self, const Schema &s, FichierTemporaire &tmp, nb::handle colonnes,
                                 long long limite, nb::handle callback, nb::handle kwargs) {
    nb::object conn = liens().sqlite3.attr("connect")(tmp.chemin);
    long long compte = 0;
    try {
        conn.attr("execute")("PRAGMA journal_mode=WAL");
        conn.attr("execute")("PRAGMA synchronous=OFF");
        conn.attr("execute")("CREATE TABLE formes (" + s.definitions + ")");
        conn.attr("commit")();
        std::string insertion = "INSERT INTO formes (" + s.colonnes + ") VALUES (" + s.marques + ")";
        nb::list lot;
        nb::object lignes = lignes_de(self, colonnes, limite, callback, kwargs);
        const size_t k = nb::len(s.noms);
        while (PyObject *brut = PyIter_Next(lignes.ptr())) {
            nb::object r = nb::steal(brut);
            nb::object t = nb::steal(PyTuple_New((Py_ssize_t)k));
            for (size_t i = 0; i < k; ++i) {
                nb::object v = valeur_de(r, s.noms[i]);
                PyTuple_SET_ITEM(t.ptr(), (Py_ssize_t)i, (v.is_valid() ? v : nb::none()).release().ptr());
            }
            lot.append(t);
            ++compte;
            if (nb::len(lot) == LOT) {
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
        for (const std::string &sql : index_export(s.noms)) conn.attr("execute")(sql);
        conn.attr("commit")();
        conn.attr("execute")("VACUUM");
        conn.attr("close")();
    } catch (...) {
        fermer_en_silence(conn);
        throw;
    }
    return compte;
}

// A real bound to a column of TEXT affinity is stored as SQLite's own text of it.
// Lexicons repeat the same frequencies over and over: each distinct value is turned
// into text once, by SQLite itself (CAST applies the very conversion the column's
// affinity does), and the text is bound from here on. Bounded: past the limit, or
// for NaN (stored as NULL), the real is bound as it is.
class TextesDeReels {
public:
    explicit TextesDeReels(sqlite::Base &b) : cast_(b, "SELECT CAST(? AS TEXT)") {}
    const std::string *texte(double x) {
        if (std::isnan(x)) return nullptr;
        uint64_t bits;
        std::memcpy(&bits, &x, sizeof bits);
        auto it = textes_.find(bits);
        if (it != textes_.end()) return &it->second;
        if (textes_.size() >= LIMITE) return nullptr;
        cast_.lier_reel(1, x);
        if (!cast_.pas()) return nullptr;
        std::string t(cast_.texte(0));
        cast_.reinitialiser();
        return &textes_.emplace(bits, std::move(t)).first->second;  // nodes never move
    }

private:
    static constexpr size_t LIMITE = 1 << 16;
    sqlite::Requete cast_;
    std::unordered_map<uint64_t, std::string> textes_;
};

// The in-memory rows of an export, handed to the library batch by batch through a
// virtual table. Texts are given in place (or from a buffer of their own column):
// the row's dict holds them until the next row is asked for. A row with any other
// value holds its values first, as the module's tuple of parameters does (converting
// one may run Python code that changes the row), and has them copied.
// A value that cannot be converted gives NULL and keeps its error for the end of the
// batch, where the module, binding the batch only once it is complete, would raise
// it: the rows and progress calls up to there are still taken from the source.
class LotEntrees : public sqlite::SourceLot {
public:
    LotEntrees(SourceEntrees &src, const nb::list &noms, sqlite::Base &b)
        : src_(src), noms_(noms), tampons_(nb::len(noms)), reels_(b) {}

    bool commencer() override {
        dans_lot = 0;
        return avancer();
    }
    bool suivante() override { return dans_lot < LOT && avancer(); }
    void colonne(sqlite::Valeur &val, int i) override {
        if (differee) return val.nul();  // this batch is lost: no more conversions
        PyObject *x = statique_ ? (*v_)[size_t(i)] : tenues_[size_t(i)].ptr();
        try {
            // Every column here is declared TEXT.
            if (statique_ && x && PyFloat_CheckExact(x))
                if (const std::string *t = reels_.texte(PyFloat_AS_DOUBLE(x))) return val.texte_statique(*t);
            lier_valeur(VersColonne{val, i + 1}, x, statique_ ? tampons_[size_t(i)] : tampon_, statique_);
        } catch (...) {
            differee = std::current_exception();
            val.nul();
        }
    }

    size_t dans_lot = 0;
    long long compte = 0;
    std::exception_ptr differee;

private:
    bool avancer() {
        if (!src_.suivante()) return false;
        ++dans_lot;
        ++compte;
        v_ = &src_.valeurs(noms_);
        statique_ = true;
        for (PyObject *x : *v_)
            if (x && x != Py_None && !PyUnicode_CheckExact(x) && !PyFloat_CheckExact(x)) statique_ = false;
        if (!statique_) {
            tenues_.assign(v_->size(), nb::object());
            for (size_t i = 0; i < v_->size(); ++i)
                if ((*v_)[i]) tenues_[i] = nb::borrow((*v_)[i]);
        }
        return true;
    }

    SourceEntrees &src_;
    const nb::list &noms_;
    const std::vector<PyObject *> *v_ = nullptr;
    bool statique_ = true;
    std::vector<nb::object> tenues_;
    std::vector<std::string> tampons_;
    std::string tampon_;
    TextesDeReels reels_;
};

// One INSERT ... SELECT and one commit per batch of 10000 rows, as the module's
// executemany and commit per batch. Returns the number of rows.
long long inserer_par_lots(sqlite::Base &base, nb::handle self, const Schema &s, nb::handle colonnes,
                           long long limite, nb::handle callback, nb::handle kwargs) {
    SourceEntrees src{self, colonnes, nb::borrow(kwargs), limite};
    src.prog.callback = callback;
    LotEntrees lot(src, s.noms, base);
    sqlite::TableLot table(base, "brivane_lot", int(nb::len(s.noms)));
    table.brancher(&lot);
    sqlite::Requete ins(base, "INSERT INTO formes (" + s.colonnes + ") SELECT * FROM brivane_lot");
    for (;;) {
        base.executer("BEGIN");
        try {
            ins.pas();
        } catch (sqlite::Erreur &) {
            // The source's own error first (a progress callback that raised, ...).
            if (std::exception_ptr e = table.erreur) std::rethrow_exception(e);
            // A failure of the library: the rest of the batch is still taken first.
            while (lot.suivante()) {
            }
            throw;
        }
        ins.reinitialiser();
        if (lot.differee) std::rethrow_exception(lot.differee);
        base.executer("COMMIT");
        if (lot.dans_lot < LOT) return lot.compte;
    }
}

// Through the C library: one prepared INSERT bound and stepped per row, in the same
// 10000-row transactions. The module would bind a batch only once it is complete, so
// a failure while inserting a row is held back until the batch is: rows (and progress
// calls) up to there are still taken from the source first.
long long exporter_sqlite_direct(const sqlite::Fonctions &f, nb::handle self, const Schema &s,
                                 FichierTemporaire &tmp, nb::handle colonnes, long long limite, nb::handle callback,
                                 nb::handle kwargs) {
    Lexique &l = *nb::inst_ptr<Lexique>(self);
    long long compte = 0;
    try {
        sqlite::Base base(f, tmp.chemin, sqlite::OUVRIR_ECRITURE | sqlite::OUVRIR_CREER | sqlite::OUVRIR_SANS_VERROU);
        // The file is a temporary one, deleted on any failure and renamed only once
        // complete: a rollback journal or a write-ahead log would protect nothing while
        // it is built, and the log would have every page written twice (VACUUM too).
        // The WAL mode is set at the end, when the file is complete.
        base.executer("PRAGMA main.journal_mode=OFF");
        base.executer("PRAGMA synchronous=OFF");
        base.executer(("CREATE TABLE formes (" + s.definitions + ")").c_str());
        sqlite::Requete ins(base, "INSERT INTO formes (" + s.colonnes + ") VALUES (" + s.marques + ")");
        const size_t k = nb::len(s.noms);
        std::exception_ptr differee;
        size_t dans_lot = 0;
        std::string tampon;
        std::vector<nb::object> tenues;  // the values of a row being bound
        // Binds and steps one row; a failure is kept for the end of the batch.
        auto inserer = [&](auto &&lier) {
            if (!differee) {
                try {
                    try {
                        if (dans_lot == 0) base.executer("BEGIN");
                        for (size_t i = 0; i < k; ++i) lier(int(i + 1), i);
                        ins.pas();
                        ins.reinitialiser();
                    } catch (sqlite::Erreur &e) {
                        lever_sqlite(e);
                    }
                } catch (...) {
                    differee = std::current_exception();
                }
            }
            ++compte;
            if (++dans_lot == LOT) {
                if (differee) std::rethrow_exception(differee);
                base.executer("COMMIT");
                dans_lot = 0;
            }
        };
        bool fait = false;
        if (!redefinie(self, "_iter_filtered_rows") && noms_simples(colonnes)) {
            if (l.est_sqlite()) {
                if (recopier_depuis_source(base, self, s, colonnes, limite, callback, kwargs, compte)) {
                    fait = true;
                } else if (auto src = ouvrir_source_sql(self, colonnes, limite, callback, kwargs)) {
                    std::vector<int> pos;
                    for (nb::handle nom : s.noms) pos.push_back(src->colonne(utf8(nom.ptr())));
                    while (src->suivante()) inserer([&](int p, size_t i) { src->lier(ins, p, pos[i]); });
                    fait = true;
                }
            } else {
                compte = inserer_par_lots(base, self, s, colonnes, limite, callback, kwargs);
                fait = true;
            }
        }
        if (!fait) {
            nb::object lignes = lignes_de(self, colonnes, limite, callback, kwargs);
            while (PyObject *brut = PyIter_Next(lignes.ptr())) {
                nb::object r = nb::steal(brut);
                // Held for the whole row, as the module's tuple of parameters holds them:
                // an adapter run while binding one value may change the row.
                tenues.clear();
                for (nb::handle nom : s.noms) tenues.push_back(valeur_de(r, nom));
                inserer([&](int p, size_t i) { lier_objet(ins, p, tenues[i].ptr(), tampon); });
            }
            if (PyErr_Occurred()) throw nb::python_error();
        }
        if (differee) std::rethrow_exception(differee);
        if (dans_lot > 0) base.executer("COMMIT");
        const std::vector<std::string> index = index_export(s.noms);
        nb::gil_scoped_release sans_gil;  // as the module runs its statements
        for (const std::string &sql : index) base.executer(sql.c_str());
        base.executer("VACUUM");
        // Recorded in the file, for the readers to come; no transaction is open here.
        base.executer("PRAGMA main.journal_mode=WAL");
    } catch (sqlite::Erreur &e) {
        lever_sqlite(e);
    }
    return compte;
}

long long exporter_sqlite(nb::handle self, nb::handle sortie, nb::handle colonnes, nb::handle limite_o,
                          nb::handle callback, nb::kwargs kwargs) {
    exiger_colonnes(colonnes);
    long long limite = entier_arg(limite_o, "limite");
    Schema s = schema_export(self, colonnes);
    FichierTemporaire tmp(sortie);
    ::close(tmp.fd);
    tmp.fd = -1;
    const sqlite::Fonctions *f = sqlite_c();
    long long compte = f && !adaptateurs_de_base()
                           ? exporter_sqlite_direct(*f, self, s, tmp, colonnes, limite, callback, kwargs)
                           : exporter_sqlite_module(self, s, tmp, colonnes, limite, callback, kwargs);
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
