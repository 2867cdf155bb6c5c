#include "sqlite_direct.hpp"

#include <dlfcn.h>

#include <cstring>
#include <mutex>
#include <new>

namespace brivane::sqlite {

namespace {

// SQLITE_TRANSIENT: the library copies the bytes before the call returns.
void (*const TRANSITOIRE)(void *) = reinterpret_cast<void (*)(void *)>(-1);

// The definition that a reference from `module` binds to: the global scope first
// (what the dynamic linker searches first), then the module's own dependencies.
void *symbole(void *module, const char *nom) {
    if (void *p = dlsym(RTLD_DEFAULT, nom)) return p;
    return module ? dlsym(module, nom) : nullptr;
}

Fonctions g_fonctions;
const Fonctions *g_charge = nullptr;
std::once_flag g_une_fois;

const Fonctions *resoudre(const std::string &module, const std::string &version) {
    // RTLD_NOLOAD: only a library that is already there. A second copy of SQLite in
    // the process would not see the other's file locks (POSIX locks belong to the
    // process, and closing one descriptor drops them all): better no direct path.
    void *h = module.empty() ? nullptr : dlopen(module.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!h) h = dlopen("libsqlite3.so.0", RTLD_NOW | RTLD_NOLOAD);
    if (!h) return nullptr;
    Fonctions f{};
    bool complet = true;
    auto lier = [&](auto &membre, const char *nom) {
        void *p = symbole(h, nom);
        complet &= p != nullptr;
        membre = reinterpret_cast<std::remove_reference_t<decltype(membre)>>(p);
    };
    lier(f.open_v2, "sqlite3_open_v2");
    lier(f.close_v2, "sqlite3_close_v2");
    lier(f.exec, "sqlite3_exec");
    lier(f.busy_timeout, "sqlite3_busy_timeout");
    lier(f.errmsg, "sqlite3_errmsg");
    lier(f.errcode, "sqlite3_errcode");
    lier(f.extended_errcode, "sqlite3_extended_errcode");
    lier(f.errstr, "sqlite3_errstr");
    lier(f.libversion, "sqlite3_libversion");
    lier(f.prepare_v2, "sqlite3_prepare_v2");
    lier(f.step, "sqlite3_step");
    lier(f.reset, "sqlite3_reset");
    lier(f.finalize, "sqlite3_finalize");
    lier(f.column_count, "sqlite3_column_count");
    lier(f.column_name, "sqlite3_column_name");
    lier(f.column_type, "sqlite3_column_type");
    lier(f.column_int64, "sqlite3_column_int64");
    lier(f.column_double, "sqlite3_column_double");
    lier(f.column_text, "sqlite3_column_text");
    lier(f.column_blob, "sqlite3_column_blob");
    lier(f.column_bytes, "sqlite3_column_bytes");
    lier(f.column_value, "sqlite3_column_value");
    lier(f.bind_parameter_count, "sqlite3_bind_parameter_count");
    lier(f.bind_null, "sqlite3_bind_null");
    lier(f.bind_int64, "sqlite3_bind_int64");
    lier(f.bind_double, "sqlite3_bind_double");
    lier(f.bind_text, "sqlite3_bind_text");
    lier(f.bind_blob, "sqlite3_bind_blob");
    lier(f.bind_value, "sqlite3_bind_value");
    lier(f.create_function_v2, "sqlite3_create_function_v2");
    lier(f.user_data, "sqlite3_user_data");
    lier(f.result_value, "sqlite3_result_value");
    lier(f.result_error, "sqlite3_result_error");
    lier(f.value_type, "sqlite3_value_type");
    lier(f.value_text, "sqlite3_value_text");
    lier(f.value_bytes, "sqlite3_value_bytes");
    lier(f.create_module_v2, "sqlite3_create_module_v2");
    lier(f.declare_vtab, "sqlite3_declare_vtab");
    lier(f.result_null, "sqlite3_result_null");
    lier(f.result_double, "sqlite3_result_double");
    lier(f.result_int64, "sqlite3_result_int64");
    lier(f.result_text, "sqlite3_result_text");
    lier(f.result_blob, "sqlite3_result_blob");
    // The handle stays open for the life of the process: the pointers come from it.
    if (!complet || version != f.libversion()) return nullptr;
    g_fonctions = f;
    return &g_fonctions;
}

}  // namespace

const Fonctions *charger(const std::string &module, const std::string &version) {
    std::call_once(g_une_fois, [&] { g_charge = resoudre(module, version); });
    return g_charge;
}

// ------------------------------------------------------------------ Base

Base::Base(const Fonctions &fonctions, const std::string &chemin, int drapeaux) : f(fonctions) {
    int rc = f.open_v2(chemin.c_str(), &db_, drapeaux, nullptr);
    if (rc != OK) {
        if (!db_) throw Erreur(rc, f.errstr(rc));
        Erreur e(f.extended_errcode(db_), f.errmsg(db_));
        f.close_v2(db_);
        db_ = nullptr;
        throw e;
    }
    // As the host binding does for every connection it opens.
    f.busy_timeout(db_, 5000);
}

Base::~Base() {
    if (db_) f.close_v2(db_);
}

void Base::echec(int code) const {
    if (!db_) throw Erreur(code, f.errstr(code));
    throw Erreur(f.extended_errcode(db_), f.errmsg(db_));
}

void Base::fonction(const char *nom, int n, void *donnees,
                     void (*fn)(sqlite3_context *, int, sqlite3_value **)) {
    int rc = f.create_function_v2(db_, nom, n, UTF8, donnees, fn, nullptr, nullptr, nullptr);
    if (rc != OK) echec(rc);
}

void Base::executer(const char *sql) {
    int rc = f.exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc != OK) echec(rc);
}

// ------------------------------------------------------------------ Requete

Requete::Requete(Base &b, std::string_view sql) : f(b.f), base_(b) {
    int rc = f.prepare_v2(b.brut(), sql.data(), int(sql.size()), &st_, nullptr);
    if (rc != OK) b.echec(rc);
}

Requete::~Requete() {
    if (st_) f.finalize(st_);
}

bool Requete::pas() {
    int rc = f.step(st_);
    if (rc == ROW) return true;
    if (rc == DONE) return false;
    // The details are read before the reset, which may clear them.
    Erreur e(f.extended_errcode(base_.brut()), f.errmsg(base_.brut()));
    f.reset(st_);
    throw e;
}

void Requete::reinitialiser() {
    int rc = f.reset(st_);
    if (rc != OK) base_.echec(rc);
}

std::string_view Requete::texte(int i) const {
    const char *p = reinterpret_cast<const char *>(f.column_text(st_, i));
    int n = f.column_bytes(st_, i);
    return p ? std::string_view(p, size_t(n)) : std::string_view();
}

std::string_view Requete::blob(int i) const {
    const char *p = static_cast<const char *>(f.column_blob(st_, i));
    int n = f.column_bytes(st_, i);
    return p ? std::string_view(p, size_t(n)) : std::string_view();
}

void Requete::lier_texte(int p, std::string_view v) {
    verifier(f.bind_text(st_, p, v.data(), int(v.size()), TRANSITOIRE));
}

void Requete::lier_texte_statique(int p, std::string_view v) {
    verifier(f.bind_text(st_, p, v.data(), int(v.size()), nullptr));  // SQLITE_STATIC
}

void Requete::lier_blob(int p, std::string_view v) {
    verifier(f.bind_blob(st_, p, v.data(), int(v.size()), TRANSITOIRE));
}

// ------------------------------------------------------------------ UTF-8

// ------------------------------------------------------------------ TableLot

void Valeur::texte(std::string_view v) { f.result_text(c_, v.data(), int(v.size()), TRANSITOIRE); }
void Valeur::texte_statique(std::string_view v) { f.result_text(c_, v.data(), int(v.size()), nullptr); }
void Valeur::blob(std::string_view v) { f.result_blob(c_, v.data(), int(v.size()), TRANSITOIRE); }

namespace {

// The C library's structures for a virtual table module (layout fixed by its ABI;
// version 1 of the module structure ends with xRename).
struct Vtab {
    const void *module;
    int nref;
    char *message;
    TableLot *lot;  // ours, after the library's fields
};
struct Curseur {
    Vtab *vtab;
    long long rang;
    bool fin;
};
struct Module {
    int version;
    int (*creer)(sqlite3 *, void *, int, const char *const *, Vtab **, char **);
    int (*connecter)(sqlite3 *, void *, int, const char *const *, Vtab **, char **);
    int (*meilleur_index)(Vtab *, void *);
    int (*deconnecter)(Vtab *);
    int (*detruire)(Vtab *);
    int (*ouvrir)(Vtab *, Curseur **);
    int (*fermer)(Curseur *);
    int (*filtrer)(Curseur *, int, const char *, int, sqlite3_value **);
    int (*suivant)(Curseur *);
    int (*fini)(Curseur *);
    int (*colonne)(Curseur *, sqlite3_context *, int);
    int (*rang)(Curseur *, long long *);
    void *autres[7];  // xUpdate .. xRename: none
};

constexpr int ERREUR = 1, NOMEM = 7;

// Every exception stops at the library's boundary: kept for the caller.
template <class F> int garde(TableLot *lot, F &&f) {
    try {
        f();
        return OK;
    } catch (const std::bad_alloc &) {
        lot->erreur = std::current_exception();
        return NOMEM;
    } catch (...) {
        lot->erreur = std::current_exception();
        return ERREUR;
    }
}

int connecter(sqlite3 *db, void *aux, int, const char *const *, Vtab **v, char **) {
    auto *lot = static_cast<TableLot *>(aux);
    std::string sql = "CREATE TABLE x(";
    for (int i = 0; i < lot->nb_colonnes_; ++i) sql += (i ? ", c" : "c") + std::to_string(i);
    sql += ")";
    int rc = lot->f.declare_vtab(db, sql.c_str());
    if (rc != OK) return rc;
    *v = new (std::nothrow) Vtab{nullptr, 0, nullptr, lot};
    return *v ? OK : NOMEM;
}
int meilleur_index(Vtab *, void *) { return OK; }
int deconnecter(Vtab *v) {
    delete v;
    return OK;
}
int ouvrir(Vtab *v, Curseur **c) {
    *c = new (std::nothrow) Curseur{v, 0, true};
    return *c ? OK : NOMEM;
}
int fermer(Curseur *c) {
    delete c;
    return OK;
}
int filtrer(Curseur *c, int, const char *, int, sqlite3_value **) {
    TableLot *lot = c->vtab->lot;
    c->rang = 0;
    c->fin = true;
    if (!lot->source_) return OK;
    return garde(lot, [&] { c->fin = !lot->source_->commencer(); });
}
int suivant(Curseur *c) {
    TableLot *lot = c->vtab->lot;
    ++c->rang;
    return garde(lot, [&] { c->fin = !lot->source_->suivante(); });
}
int fini(Curseur *c) { return c->fin; }
int colonne(Curseur *c, sqlite3_context *ctx, int i) {
    TableLot *lot = c->vtab->lot;
    return garde(lot, [&] {
        Valeur v(lot->f, ctx);
        lot->source_->colonne(v, i);
    });
}
int rang(Curseur *c, long long *r) {
    *r = c->rang;
    return OK;
}

const Module MODULE_LOT = {1,       nullptr, connecter, meilleur_index, deconnecter, deconnecter, ouvrir, fermer,
                           filtrer, suivant, fini,      colonne,        rang,        {}};

}  // namespace

TableLot::TableLot(Base &b, const char *nom, int nb_colonnes) : f(b.f), nb_colonnes_(nb_colonnes) {
    int rc = f.create_module_v2(b.brut(), nom, &MODULE_LOT, this, nullptr);
    if (rc != OK) b.echec(rc);
}

bool utf8_valide(std::string_view s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const size_t n = s.size();
    size_t i = 0;
    while (i < n) {
        // Eight ASCII bytes at a time: the common case.
        if (i + 8 <= n) {
            uint64_t bloc;
            std::memcpy(&bloc, p + i, 8);
            if ((bloc & 0x8080808080808080ull) == 0) {
                i += 8;
                continue;
            }
        }
        unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        auto suite = [&](size_t k) { return i + k < n && (p[i + k] & 0xC0) == 0x80; };
        if (c >= 0xC2 && c <= 0xDF) {
            if (!suite(1)) return false;
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            if (!suite(1) || !suite(2)) return false;
            unsigned c1 = p[i + 1];
            if (c == 0xE0 && c1 < 0xA0) return false;  // overlong
            if (c == 0xED && c1 >= 0xA0) return false;  // surrogate
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4) {
            if (!suite(1) || !suite(2) || !suite(3)) return false;
            unsigned c1 = p[i + 1];
            if (c == 0xF0 && c1 < 0x90) return false;  // overlong
            if (c == 0xF4 && c1 >= 0x90) return false;  // above U+10FFFF
            i += 4;
        } else {
            return false;
        }
    }
    return true;
}

// ------------------------------------------------------------------ names of codes

namespace {
struct NomCode {
    int code;
    const char *nom;
};
// Every result code of the library's ABI, primary and extended, in increasing order.
const NomCode NOMS_CODES[] = {
    {0, "SQLITE_OK"}, {1, "SQLITE_ERROR"}, {2, "SQLITE_INTERNAL"}, {3, "SQLITE_PERM"}, {4, "SQLITE_ABORT"},
    {5, "SQLITE_BUSY"}, {6, "SQLITE_LOCKED"}, {7, "SQLITE_NOMEM"}, {8, "SQLITE_READONLY"},
    {9, "SQLITE_INTERRUPT"}, {10, "SQLITE_IOERR"}, {11, "SQLITE_CORRUPT"}, {12, "SQLITE_NOTFOUND"},
    {13, "SQLITE_FULL"}, {14, "SQLITE_CANTOPEN"}, {15, "SQLITE_PROTOCOL"}, {16, "SQLITE_EMPTY"},
    {17, "SQLITE_SCHEMA"}, {18, "SQLITE_TOOBIG"}, {19, "SQLITE_CONSTRAINT"}, {20, "SQLITE_MISMATCH"},
    {21, "SQLITE_MISUSE"}, {22, "SQLITE_NOLFS"}, {23, "SQLITE_AUTH"}, {24, "SQLITE_FORMAT"},
    {25, "SQLITE_RANGE"}, {26, "SQLITE_NOTADB"}, {27, "SQLITE_NOTICE"}, {28, "SQLITE_WARNING"},
    {100, "SQLITE_ROW"}, {101, "SQLITE_DONE"}, {256, "SQLITE_OK_LOAD_PERMANENTLY"},
    {257, "SQLITE_ERROR_MISSING_COLLSEQ"}, {264, "SQLITE_READONLY_RECOVERY"}, {266, "SQLITE_IOERR_READ"},
    {267, "SQLITE_CORRUPT_VTAB"}, {270, "SQLITE_CANTOPEN_NOTEMPDIR"}, {275, "SQLITE_CONSTRAINT_CHECK"},
    {279, "SQLITE_AUTH_USER"}, {283, "SQLITE_NOTICE_RECOVER_WAL"}, {284, "SQLITE_WARNING_AUTOINDEX"},
    {512, "SQLITE_OK_SYMLINK"}, {513, "SQLITE_ERROR_RETRY"}, {516, "SQLITE_ABORT_ROLLBACK"},
    {520, "SQLITE_READONLY_CANTLOCK"}, {522, "SQLITE_IOERR_SHORT_READ"}, {523, "SQLITE_CORRUPT_SEQUENCE"},
    {526, "SQLITE_CANTOPEN_ISDIR"}, {531, "SQLITE_CONSTRAINT_COMMITHOOK"},
    {539, "SQLITE_NOTICE_RECOVER_ROLLBACK"}, {769, "SQLITE_ERROR_SNAPSHOT"}, {776, "SQLITE_READONLY_ROLLBACK"},
    {778, "SQLITE_IOERR_WRITE"}, {779, "SQLITE_CORRUPT_INDEX"}, {782, "SQLITE_CANTOPEN_FULLPATH"},
    {787, "SQLITE_CONSTRAINT_FOREIGNKEY"}, {1032, "SQLITE_READONLY_DBMOVED"}, {1034, "SQLITE_IOERR_FSYNC"},
    {1038, "SQLITE_CANTOPEN_CONVPATH"}, {1043, "SQLITE_CONSTRAINT_FUNCTION"}, {1288, "SQLITE_READONLY_CANTINIT"},
    {1290, "SQLITE_IOERR_DIR_FSYNC"}, {1294, "SQLITE_CANTOPEN_DIRTYWAL"}, {1299, "SQLITE_CONSTRAINT_NOTNULL"},
    {1544, "SQLITE_READONLY_DIRECTORY"}, {1546, "SQLITE_IOERR_TRUNCATE"}, {1550, "SQLITE_CANTOPEN_SYMLINK"},
    {1555, "SQLITE_CONSTRAINT_PRIMARYKEY"}, {1802, "SQLITE_IOERR_FSTAT"}, {1811, "SQLITE_CONSTRAINT_TRIGGER"},
    {2058, "SQLITE_IOERR_UNLOCK"}, {2067, "SQLITE_CONSTRAINT_UNIQUE"}, {2314, "SQLITE_IOERR_RDLOCK"},
    {2323, "SQLITE_CONSTRAINT_VTAB"}, {2570, "SQLITE_IOERR_DELETE"}, {2826, "SQLITE_IOERR_BLOCKED"},
    {3082, "SQLITE_IOERR_NOMEM"}, {3338, "SQLITE_IOERR_ACCESS"}, {3594, "SQLITE_IOERR_CHECKRESERVEDLOCK"},
    {3850, "SQLITE_IOERR_LOCK"}, {4106, "SQLITE_IOERR_CLOSE"}, {4362, "SQLITE_IOERR_DIR_CLOSE"},
    {4618, "SQLITE_IOERR_SHMOPEN"}, {4874, "SQLITE_IOERR_SHMSIZE"}, {5130, "SQLITE_IOERR_SHMLOCK"},
    {5386, "SQLITE_IOERR_SHMMAP"}, {5642, "SQLITE_IOERR_SEEK"}, {5898, "SQLITE_IOERR_DELETE_NOENT"},
    {6154, "SQLITE_IOERR_MMAP"}, {6410, "SQLITE_IOERR_GETTEMPPATH"}, {6666, "SQLITE_IOERR_CONVPATH"},
    {6922, "SQLITE_IOERR_VNODE"}, {7178, "SQLITE_IOERR_AUTH"}, {7434, "SQLITE_IOERR_BEGIN_ATOMIC"},
    {7690, "SQLITE_IOERR_COMMIT_ATOMIC"}, {7946, "SQLITE_IOERR_ROLLBACK_ATOMIC"}, {8202, "SQLITE_IOERR_DATA"},
    {8458, "SQLITE_IOERR_CORRUPTFS"},
};
}  // namespace

const char *nom_code(int code) {
    for (const NomCode &n : NOMS_CODES)
        if (n.code == code) return n.nom;
    return nullptr;
}

}  // namespace brivane::sqlite
