// Direct use of the SQLite C library, for the export loops.
//
// No header of SQLite is needed to build: the few functions used are looked up at
// run time in the library the process has already loaded (the host binding loads it
// first), so both sides share one copy of SQLite (and its bookkeeping of file locks),
// and a machine without the development files still builds. When no library can be
// found, `charger` answers nullptr and the callers keep their other path.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

// Opaque types of the C library (same names as in its header).
struct sqlite3;
struct sqlite3_stmt;
struct sqlite3_value;
struct sqlite3_context;

namespace brivane::sqlite {

// Result codes and storage classes used here (values fixed by the C library's ABI).
constexpr int OK = 0, ROW = 100, DONE = 101;
constexpr int ENTIER = 1, REEL = 2, TEXTE = 3, BLOB = 4, NUL = 5;
constexpr int OUVRIR_LECTURE = 0x1, OUVRIR_ECRITURE = 0x2, OUVRIR_CREER = 0x4;
// A connection used by one thread at a time only: no per-call locking inside.
constexpr int OUVRIR_SANS_VERROU = 0x8000;
constexpr int UTF8 = 1;  // text encoding of a user function's arguments

struct Fonctions {
    int (*open_v2)(const char *, sqlite3 **, int, const char *);
    int (*close_v2)(sqlite3 *);
    int (*exec)(sqlite3 *, const char *, int (*)(void *, int, char **, char **), void *, char **);
    int (*busy_timeout)(sqlite3 *, int);
    const char *(*errmsg)(sqlite3 *);
    int (*errcode)(sqlite3 *);
    int (*extended_errcode)(sqlite3 *);
    const char *(*errstr)(int);
    const char *(*libversion)(void);
    int (*prepare_v2)(sqlite3 *, const char *, int, sqlite3_stmt **, const char **);
    int (*step)(sqlite3_stmt *);
    int (*reset)(sqlite3_stmt *);
    int (*finalize)(sqlite3_stmt *);
    int (*column_count)(sqlite3_stmt *);
    const char *(*column_name)(sqlite3_stmt *, int);
    int (*column_type)(sqlite3_stmt *, int);
    long long (*column_int64)(sqlite3_stmt *, int);
    double (*column_double)(sqlite3_stmt *, int);
    const unsigned char *(*column_text)(sqlite3_stmt *, int);
    const void *(*column_blob)(sqlite3_stmt *, int);
    int (*column_bytes)(sqlite3_stmt *, int);
    sqlite3_value *(*column_value)(sqlite3_stmt *, int);
    int (*bind_parameter_count)(sqlite3_stmt *);
    int (*bind_null)(sqlite3_stmt *, int);
    int (*bind_int64)(sqlite3_stmt *, int, long long);
    int (*bind_double)(sqlite3_stmt *, int, double);
    int (*bind_text)(sqlite3_stmt *, int, const char *, int, void (*)(void *));
    int (*bind_blob)(sqlite3_stmt *, int, const void *, int, void (*)(void *));
    int (*bind_value)(sqlite3_stmt *, int, const sqlite3_value *);
    int (*create_function_v2)(sqlite3 *, const char *, int, int, void *,
                              void (*)(sqlite3_context *, int, sqlite3_value **),
                              void (*)(sqlite3_context *, int, sqlite3_value **), void (*)(sqlite3_context *),
                              void (*)(void *));
    void *(*user_data)(sqlite3_context *);
    void (*result_value)(sqlite3_context *, sqlite3_value *);
    void (*result_error)(sqlite3_context *, const char *, int);
    int (*value_type)(sqlite3_value *);
    const unsigned char *(*value_text)(sqlite3_value *);
    int (*value_bytes)(sqlite3_value *);
    // For the batches read through a virtual table (TableLot).
    int (*create_module_v2)(sqlite3 *, const char *, const void *, void *, void (*)(void *));
    int (*declare_vtab)(sqlite3 *, const char *);
    void (*result_null)(sqlite3_context *);
    void (*result_double)(sqlite3_context *, double);
    void (*result_int64)(sqlite3_context *, long long);
    void (*result_text)(sqlite3_context *, const char *, int, void (*)(void *));
    void (*result_blob)(sqlite3_context *, const void *, int, void (*)(void *));
};

// The functions of the SQLite that `module` (path of an already loaded shared object,
// e.g. the host's binding) resolves to, else those of an already loaded
// "libsqlite3.so.0". Resolved once; nullptr when unavailable, or when its version
// text differs from `version` (the version the host binding reports), since then two
// copies would be mixed.
const Fonctions *charger(const std::string &module, const std::string &version);

// A failure reported by the library: primary code in the low byte of `code`.
struct Erreur : std::exception {
    int code = 0;
    std::string message;
    Erreur(int c, std::string m) : code(c), message(std::move(m)) {}
    const char *what() const noexcept override { return message.c_str(); }
};

// A connection, closed on destruction.
class Base {
public:
    Base(const Fonctions &f, const std::string &chemin, int drapeaux);
    ~Base();
    Base(const Base &) = delete;
    Base &operator=(const Base &) = delete;

    // Runs SQL text (all its statements, rows discarded).
    void executer(const char *sql);
    [[noreturn]] void echec(int code) const;  // throws the connection's current error
    sqlite3 *brut() const { return db_; }
    // A scalar SQL function of `n` arguments (-1: any number) over `donnees`.
    void fonction(const char *nom, int n, void *donnees, void (*f)(sqlite3_context *, int, sqlite3_value **));
    const Fonctions &f;

private:
    sqlite3 *db_ = nullptr;
};

// A prepared statement, finalised on destruction.
class Requete {
public:
    Requete(Base &b, std::string_view sql);
    ~Requete();
    Requete(const Requete &) = delete;
    Requete &operator=(const Requete &) = delete;

    // One step: true with a row, false once done.
    bool pas();
    void reinitialiser();

    int nb_colonnes() const { return f.column_count(st_); }
    const char *nom(int i) const { return f.column_name(st_, i); }
    int type(int i) const { return f.column_type(st_, i); }
    long long entier(int i) const { return f.column_int64(st_, i); }
    double reel(int i) const { return f.column_double(st_, i); }
    // Text in UTF-8 (converted by the library when stored otherwise).
    std::string_view texte(int i) const;
    std::string_view blob(int i) const;
    sqlite3_value *valeur(int i) const { return f.column_value(st_, i); }

    int nb_parametres() const { return f.bind_parameter_count(st_); }
    void lier_nul(int p) { verifier(f.bind_null(st_, p)); }
    void lier_entier(int p, long long v) { verifier(f.bind_int64(st_, p, v)); }
    void lier_reel(int p, double v) { verifier(f.bind_double(st_, p, v)); }
    void lier_texte(int p, std::string_view v);  // copied
    // Not copied: `v` must stay valid and unchanged until the next step or reset.
    void lier_texte_statique(int p, std::string_view v);
    void lier_blob(int p, std::string_view v);   // copied
    void lier_valeur(int p, const sqlite3_value *v) { verifier(f.bind_value(st_, p, v)); }

    const Fonctions &f;

private:
    void verifier(int rc) {
        if (rc != OK) base_.echec(rc);
    }
    Base &base_;
    sqlite3_stmt *st_ = nullptr;
};

// The value of one column of the current row, given to the library by a virtual
// table (the counterpart of binding a parameter).
class Valeur {
public:
    Valeur(const Fonctions &f, sqlite3_context *c) : f(f), c_(c) {}
    void nul() { f.result_null(c_); }
    void reel(double v) { f.result_double(c_, v); }
    void entier(long long v) { f.result_int64(c_, v); }
    void texte(std::string_view v);  // copied
    // Not copied: `v` must stay valid and unchanged until the next row is asked for.
    void texte_statique(std::string_view v);
    void blob(std::string_view v);  // copied

private:
    const Fonctions &f;
    sqlite3_context *c_;
};

// The rows of one batch, as a virtual table hands them to the library.
class SourceLot {
public:
    virtual ~SourceLot() = default;
    // The first row of a new batch, then the next ones: false when there is none.
    virtual bool commencer() = 0;
    virtual bool suivante() = 0;
    // Column `i` (from 0) of the current row.
    virtual void colonne(Valeur &v, int i) = 0;
};

// An eponymous virtual table `nom` of `nb_colonnes` columns (c0, c1, ...) on `b`,
// reading from the source attached last: "INSERT INTO t SELECT * FROM nom" then runs
// a whole batch inside the library, without a bind and a step per row. An exception
// thrown by the source is kept in `erreur` (the library only learns that the
// statement failed); the caller rethrows it.
class TableLot {
public:
    TableLot(Base &b, const char *nom, int nb_colonnes);
    TableLot(const TableLot &) = delete;
    TableLot &operator=(const TableLot &) = delete;
    void brancher(SourceLot *s) { source_ = s; }

    std::exception_ptr erreur;

    // Reserved to the module's callbacks.
    SourceLot *source_ = nullptr;
    const Fonctions &f;
    int nb_colonnes_;
};

// Whether `s` is UTF-8 as a strict decoder accepts it (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool utf8_valide(std::string_view s);

// "SQLITE_IOERR_WRITE" for the code 778, and so on; nullptr for an unknown code.
const char *nom_code(int code);

}  // namespace brivane::sqlite
