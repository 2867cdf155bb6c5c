// Lexique: multi-criteria filter, count, stimulus lists, and streaming export to CSV or SQLite.
#include "lexique.hpp"
#include "_criteres.hpp"

#include "csv_ecriture.hpp"
#include "plateforme.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace nb = nanobind;

namespace brivane::py {

namespace {

// ------------------------------------------------------------------ stimulus lists

// What a filter asks beyond the row criteria, for stimulus lists (one row per
// spelling, the measures of the words as criteria and as columns, a sort), applied
// to the rows that passed the criteria, on both backends alike.
struct Selection {
    struct Cle {
        nb::object nom;     // canonical column name, or a measure's name
        bool decroissant;
        int mesure;         // index among the measures, -1 for a column of the rows
    };
    struct Borne {
        int mesure;
        std::optional<double> min, max;
    };
    bool une_par_ortho = false;
    std::vector<Cle> tri;
    std::vector<Borne> bornes;
    std::vector<int> colonnes;  // measures added to the rows, in this order

    bool vide() const { return !une_par_ortho && tri.empty() && bornes.empty() && colonnes.empty(); }
};

// The names of the eight measures, in the order of Lexique.mesures.
const char *const NOMS_MESURES[8] = {"old20",    "pld20",  "n_ortho",     "n_phon",
                                     "pu_ortho", "pu_phon", "homographes", "homophones"};

int indice_mesure(std::string_view nom) {
    for (int i = 0; i < 8; ++i)
        if (nom == NOMS_MESURES[i]) return i;
    return -1;
}

[[noreturn]] void lever_valeur(const std::string &message) {
    PyErr_SetString(PyExc_ValueError, message.c_str());
    throw nb::python_error();
}

// The names of a str or of a list/tuple of str (`nom` for the TypeError).
std::vector<nb::object> noms_de(nb::handle v, const char *nom) {
    std::vector<nb::object> r;
    if (PyUnicode_Check(v.ptr())) {
        r.push_back(nb::borrow(v));
        return r;
    }
    if (!PyList_Check(v.ptr()) && !PyTuple_Check(v.ptr())) erreur_type(nom, "list", v.ptr());
    for (nb::handle x : v) {
        if (!PyUnicode_Check(x.ptr())) erreur_type(nom, "str", x.ptr());
        r.push_back(nb::borrow(x));
    }
    return r;
}

// A sort key "col" or "-col": a measure keeps its name, a column takes the canonical
// name resoudre_colonnes gives it (so "freq_opensubs" sorts by "freq").
Selection::Cle cle_de_tri(nb::handle brut) {
    std::string nom = std::string(utf8(brut.ptr()));
    const bool decroissant = !nom.empty() && nom[0] == '-';
    if (decroissant) nom.erase(0, 1);
    const size_t a = nom.find_first_not_of(" \t"), b = nom.find_last_not_of(" \t");
    nom = a == std::string::npos ? "" : nom.substr(a, b - a + 1);
    if (nom.empty()) lever_valeur("Argument 'tri' holds an empty column name");
    const int m = indice_mesure(nom);
    nb::object n = texte(nom);
    if (m < 0) {
        nb::list l;
        l.append(n);
        nb::object mapping = liens().resoudre_colonnes.objet()(l);
        nb::object r = mapping.attr("get")(n);
        if (!r.is_none()) n = r;
    }
    return {n, decroissant, m};
}

// Reads une_par_ortho, tri, mesures and the keywords <mesure>_min / <mesure>_max
// (voisins_min / voisins_max for n_ortho); any other keyword raises the host's
// TypeError naming `fonction`.
Selection lire_selection(const char *fonction, nb::handle une_par_ortho, nb::handle tri, nb::handle mesures,
                         nb::handle kwargs) {
    Selection s;
    if (!une_par_ortho.is_none()) {
        if (une_par_ortho.ptr() != Py_True && une_par_ortho.ptr() != Py_False)
            erreur_type("une_par_ortho", "bool", une_par_ortho.ptr());
        s.une_par_ortho = une_par_ortho.ptr() == Py_True;
    }
    if (!tri.is_none())
        for (nb::object n : noms_de(tri, "tri")) s.tri.push_back(cle_de_tri(n));
    if (mesures.ptr() == Py_True) {
        for (int i = 0; i < 8; ++i) s.colonnes.push_back(i);
    } else if (!mesures.is_none() && mesures.ptr() != Py_False) {
        if (PyBool_Check(mesures.ptr()) || PyUnicode_Check(mesures.ptr())) erreur_type("mesures", "list", mesures.ptr());
        for (nb::object n : noms_de(mesures, "mesures")) {
            const int m = indice_mesure(utf8(n.ptr()));
            if (m < 0)
                lever_valeur("Argument 'mesures' names an unknown measure: '" + std::string(utf8(n.ptr())) +
                             "' (expected old20, pld20, n_ortho, n_phon, pu_ortho, pu_phon, homographes, homophones)");
            if (std::find(s.colonnes.begin(), s.colonnes.end(), m) == s.colonnes.end()) s.colonnes.push_back(m);
        }
    }
    for (auto [k, v] : nb::borrow<nb::dict>(kwargs)) {
        const std::string nom(utf8(k.ptr()));
        const bool min = nom.ends_with("_min");
        const std::string base = min || nom.ends_with("_max") ? nom.substr(0, nom.size() - 4) : "";
        const int m = base == "voisins" ? 2 : indice_mesure(base);
        if (m < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fonction, k.ptr());
            throw nb::python_error();
        }
        if (v.is_none()) continue;
        const double x = reel_arg(v, nom.c_str());
        s.bornes.push_back({m, min ? std::optional(x) : std::nullopt, min ? std::nullopt : std::optional(x)});
    }
    return s;
}

// mapping.get(cle), None when missing (a dict without calling get()).
nb::object lire(nb::handle mapping, PyObject *cle) {
    if (!mapping.is_valid() || mapping.is_none()) return nb::none();
    return valeur_champ(mapping.ptr(), cle);
}

nb::handle ligne(const nb::list &lignes, size_t i) { return PyList_GET_ITEM(lignes.ptr(), Py_ssize_t(i)); }

// The positions of the rows kept with one row per spelling (normalised as the ortho
// index keys it): the most frequent, the first met among equals, at the place of the
// spelling's first row.
std::vector<size_t> une_par_ortho(const nb::list &lignes) {
    nb::dict place;  // spelling -> index in gardees
    std::vector<std::pair<size_t, double>> gardees;  // position and frequency
    for (size_t i = 0; i < nb::len(lignes); ++i) {
        nb::object cle = normaliser(texte_brut(ligne(lignes, i).ptr(), noms().ortho));
        const double f = frequence_entree(ligne(lignes, i).ptr());
        nb::int_ neuf(gardees.size());
        PyObject *k = PyDict_SetDefault(place.ptr(), cle.ptr(), neuf.ptr());
        if (!k) throw nb::python_error();
        if (k == neuf.ptr()) gardees.emplace_back(i, f);
        else if (auto &g = gardees[PyLong_AsSize_t(k)]; f > g.second) g = {i, f};
    }
    std::vector<size_t> ordre;
    for (auto &g : gardees) ordre.push_back(g.first);
    return ordre;
}

// self.mesures(...) once over the distinct spellings of the rows at `ordre`, in that order.
nb::object mesures_de(nb::handle self, const nb::list &lignes, const std::vector<size_t> &ordre) {
    nb::dict mots;
    for (size_t i : ordre) {
        nb::object t = texte_brut(ligne(lignes, i).ptr(), noms().ortho);
        if (vrai(t.ptr())) mots[t] = nb::none();
    }
    if (nb::len(mots) == 0) return nb::dict();
    return self.attr("mesures")(nb::list(mots));
}

// The measures of the word of row e, None when the answer has none.
nb::object mesures_ligne(nb::handle mesures, nb::handle e) {
    nb::object t = texte_brut(e.ptr(), noms().ortho);
    return vrai(t.ptr()) ? lire(mesures, t.ptr()) : nb::object(nb::none());
}

bool mesures_dans_bornes(nb::handle m, const std::vector<Selection::Borne> &bornes) {
    for (auto &b : bornes) {
        nb::object v = lire(m, nb::str(NOMS_MESURES[b.mesure]).ptr());
        if (v.is_none() || !dans_bornes(reel_de(v.ptr()), b.min, b.max)) return false;
    }
    return true;
}

// Empty for a sort: None, a text of blanks, NaN.
bool vide_pour_tri(nb::handle v) {
    if (v.is_none()) return true;
    if (PyUnicode_Check(v.ptr())) return PyUnicode_GET_LENGTH(sans_blancs_py(v.ptr()).ptr()) == 0;
    if (PyFloat_Check(v.ptr())) return std::isnan(PyFloat_AS_DOUBLE(v.ptr()));
    return false;
}

// The keys of one column, by row position.
struct ColonneTri {
    bool decroissant, nombres = true;
    std::vector<char> vides;
    std::vector<double> reels;
    std::vector<std::u32string> textes;
};

// The keys of one column for the rows at `ordre`: numbers when every value that is not
// empty reads as one (texts of TSV files included), else texts compared by code point.
ColonneTri colonne_tri(const Selection::Cle &c, const nb::list &lignes, const std::vector<size_t> &ordre,
                       nb::handle mesures) {
    const size_t n = nb::len(lignes);
    ColonneTri col{c.decroissant, true, std::vector<char>(n), std::vector<double>(n)};
    std::vector<nb::object> valeurs(n);
    bool presente = c.mesure >= 0;
    for (size_t i : ordre) {
        nb::handle e = ligne(lignes, i);
        if (!presente) {
            int r = PySequence_Contains(e.ptr(), c.nom.ptr());
            if (r < 0) throw nb::python_error();
            presente = r == 1;
        }
        valeurs[i] = c.mesure >= 0 ? lire(mesures_ligne(mesures, e), c.nom.ptr()) : valeur_champ(e.ptr(), c.nom.ptr());
        col.vides[i] = vide_pour_tri(valeurs[i]);
        std::optional<double> x = col.vides[i] ? std::optional(0.0) : reel_de(valeurs[i].ptr());
        if (!x || std::isnan(*x)) col.nombres = col.nombres && col.vides[i];
        col.reels[i] = x.value_or(0.0);
    }
    if (!presente && !ordre.empty())
        lever_valeur("Argument 'tri' names a column the rows do not have: '" + std::string(utf8(c.nom.ptr())) + "'");
    if (!col.nombres) {
        col.textes.resize(n);
        for (size_t i : ordre)
            if (!col.vides[i]) points_de(en_texte(valeurs[i].ptr()).ptr(), col.textes[i]);
    }
    return col;
}

// Stable sort of the positions: key by key, empty values last in either direction.
void trier(const nb::list &lignes, std::vector<size_t> &ordre, const std::vector<Selection::Cle> &cles,
           nb::handle mesures) {
    std::vector<ColonneTri> cols;
    for (auto &c : cles) cols.push_back(colonne_tri(c, lignes, ordre, mesures));
    std::stable_sort(ordre.begin(), ordre.end(), [&](size_t a, size_t b) {
        for (auto &c : cols) {
            if (c.vides[a] != c.vides[b]) return (bool)c.vides[b];
            if (c.vides[a]) continue;
            int d = c.nombres ? (c.reels[a] < c.reels[b] ? -1 : c.reels[b] < c.reels[a] ? 1 : 0)
                              : c.textes[a].compare(c.textes[b]);
            if (d != 0) return c.decroissant ? d > 0 : d < 0;
        }
        return false;
    });
}

// What a selection keeps of the rows: their positions, in their order, and the
// measures of their words when it reads or adds any (None otherwise).
struct Choix {
    std::vector<size_t> ordre;
    nb::object mesures = nb::none();
};

// The selection of `lignes`, cut at `limite` as the backend cuts (`sql`: 0 keeps
// nothing and a negative limit everything; in memory 0 keeps everything and a
// negative limit one row). Measures asked only as columns are those of the rows kept.
Choix choisir(nb::handle self, const nb::list &lignes, const Selection &s, long long limite, bool sql) {
    Choix c;
    if (s.une_par_ortho) {
        c.ordre = une_par_ortho(lignes);
    } else {
        c.ordre.resize(nb::len(lignes));
        std::iota(c.ordre.begin(), c.ordre.end(), size_t(0));
    }
    bool avant = !s.bornes.empty();
    for (auto &k : s.tri) avant |= k.mesure >= 0;
    if (avant) c.mesures = mesures_de(self, lignes, c.ordre);
    if (!s.bornes.empty())
        std::erase_if(c.ordre, [&](size_t i) {
            return !mesures_dans_bornes(mesures_ligne(c.mesures, ligne(lignes, i)), s.bornes);
        });
    if (!s.tri.empty()) trier(lignes, c.ordre, s.tri, c.mesures);
    if (sql ? limite >= 0 : limite != 0) c.ordre.resize(std::min(c.ordre.size(), limite < 0 ? 1 : size_t(limite)));
    if (!avant && !s.colonnes.empty()) c.mesures = mesures_de(self, lignes, c.ordre);
    return c;
}

// The rows chosen, taken from `sortie` (the rows themselves, or their twins under
// other names); a row that gets measure columns is a fresh dict holding its fields,
// then the measures of its word.
nb::list rendre(const nb::list &lignes, const nb::list &sortie, const Choix &c, const std::vector<int> &colonnes) {
    nb::list r;
    for (size_t i : c.ordre) {
        if (colonnes.empty()) {
            r.append(ligne(sortie, i));
            continue;
        }
        nb::dict d;
        if (PyDict_Update(d.ptr(), ligne(sortie, i).ptr()) < 0) throw nb::python_error();
        nb::object m = mesures_ligne(c.mesures, ligne(lignes, i));
        for (int k : colonnes) {
            nb::str nom(NOMS_MESURES[k]);
            if (PyDict_SetItem(d.ptr(), nom.ptr(), lire(m, nom.ptr()).ptr()) < 0) throw nb::python_error();
        }
        r.append(d);
    }
    return r;
}

// ------------------------------------------------------------------ criteria

// A column name as SQL quotes it: column names come from the data.
std::string identifiant(nb::handle nom) { return identifiant_cite(nb::cast<std::string>(nb::str(nom))); }

// What filtrer, compter and exporter, and the rows of an export, are asked by
// keyword: the twelve criteria, those of form, une_par_ortho, tri and mesures (the
// last two only where `tri_mesures`), and the rest, which must be bounds of the
// measures. What is not given is None. The twelve criteria are checked first, in the
// order of the signatures; the keywords handed on keep the values as given.
struct Demande {
    static constexpr int NF = CriteresForme::N, TOUS = 12 + NF + 3;
    nb::handle valeurs[TOUS];
    const nb::handle *const criteres = valeurs, *const forme = valeurs + 12, *const choix = valeurs + 12 + NF;
    nb::dict bornes;
    bool au_dela = false;  // a keyword other than the twelve criteria was given

    static const char *nom(int i) {
        static const char *const choix[3] = {"une_par_ortho", "tri", "mesures"};
        return i < 12        ? Criteres::PARAMETRES[i].nom
               : i < 12 + NF ? CriteresForme::PARAMETRES[i - 12].nom
                             : choix[i - 12 - NF];
    }

    Demande(nb::handle kw, bool tri_mesures) {
        for (nb::handle &v : valeurs) v = nb::none();
        const int connus = tri_mesures ? TOUS : TOUS - 2;
        for (auto [k, v] : nb::borrow<nb::dict>(kw)) {
            int i = 0;
            while (i < connus && PyUnicode_CompareWithASCIIString(k.ptr(), nom(i)) != 0) ++i;
            au_dela |= i >= 12;
            if (i < connus) valeurs[i] = v;
            else bornes[k] = v;
        }
        Criteres::lire(criteres);
    }
    Demande(const Demande &) = delete;

    Selection selection(const char *fonction) const {
        return lire_selection(fonction, choix[0], choix[1], choix[2], bornes);
    }

    // The keywords handed on, up to the `fin`-th: every criterion, the others given
    // and, past the selection, the bounds asked (the plain export stays as it was).
    nb::dict mots_cles(int fin) const {
        nb::dict kw;
        for (int i = 0; i < fin; ++i)
            if (i < 12 || (!valeurs[i].is_none() && (i < 12 + NF || valeurs[i].ptr() != Py_False)))
                kw[nom(i)] = valeurs[i];
        if (fin == TOUS)
            for (auto [k, v] : bornes)
                if (!v.is_none()) kw[k] = v;
        return kw;
    }
};

// "<debut> FROM <table> WHERE ..." and its parameters: the twelve criteria (through
// self._build_filter_clauses, given them as the caller did, only when a subclass
// redefines it), then the criteria of form, whose expression the connection's REGEXP
// function runs.
std::string requete(Lexique &l, const std::string &debut, const Demande &d, const CriteresForme &forme,
                    nb::list &params) {
    nb::handle self = soi(&l);
    nb::object cl = redefinie(self, "_build_filter_clauses") ? self.attr("_build_filter_clauses")(**d.mots_cles(12))
                                                               : Criteres::lire(d.criteres).clauses_sql();
    nb::list conditions = nb::list(cl[0]);
    params = nb::list(cl[1]);
    ajouter_clauses(CriteresForme::PARAMETRES, forme.sql, CriteresForme::ORDRE, conditions, params);
    if (forme.motif.is_valid()) enregistrer_regexp(obtenir_conn(l), forme.motif);
    const std::string where =
        nb::len(conditions) ? nb::cast<std::string>(nb::str(" AND ").attr("join")(conditions)) : "1=1";
    return debut + " FROM " + table_de(l) + " WHERE " + where;
}

// The module's filter over every entry of the ortho index, keys in index order: a
// lazy stream that the filter may stop reading early.
nb::list filtrer_memoire(Lexique &l, const Demande &d, long long limite) {
    nb::dict kw = d.mots_cles(12 + Demande::NF);
    kw["limite"] = limite;
    nb::object flux = nb::module_::import_("itertools").attr("chain").attr("from_iterable")(
        index_ortho(l).attr("values")());
    return nb::borrow<nb::list>(liens().recherche.objet().attr("filtrer")(flux, **kw));
}

#define BRIVANE_SELECTION_DOC                                                                            \
    "Criteres de forme : nb_lettres_min/max (caracteres de l'orthographe),\n"                              \
    "nb_phonemes_min/max (segments de _tokenize_ipa), nb_syllabes_min/max, motif\n"                        \
    "(expression reguliere cherchee dans l'orthographe, casse ignoree). Criteres de\n"                    \
    "mesures (Lexique.mesures, calculees une fois sur les orthographes candidates) :\n"                   \
    "<mesure>_min / <mesure>_max pour old20, pld20, n_ortho, n_phon, pu_ortho, pu_phon,\n"                \
    "homographes, homophones ; voisins_min / voisins_max = n_ortho. Une mesure absente\n"                 \
    "(None) ne passe aucune borne. une_par_ortho : une ligne par orthographe (la plus\n"                   \
    "frequente ; a egalite la premiere dans l'ordre du fichier).\n"

// The rows of a query with the criteria of form and the selection: SQL says what it
// can, the rest is tested in C++ on the fetched rows; memory runs the module's filter.
// The rows of an export from SQL (`physiques`) keep their physical names, as the plain
// export gives them; each is chosen by its twin under canonical names.
nb::list lignes_choisies(Lexique &l, const Demande &d, const Selection &s, long long n, bool physiques = false) {
    const CriteresForme forme = CriteresForme::lire(d.forme);
    nb::handle self = soi(&l);
    const bool tout = s.vide() && !forme.apres_sql();  // the limit can go to SQL or to the scan
    if (!l.est_sqlite()) {
        if (tout) return filtrer_memoire(l, d, n);
        nb::list lignes = filtrer_memoire(l, d, 0);
        return rendre(lignes, lignes, choisir(self, lignes, s, n, false), s.colonnes);
    }
    nb::list params;
    std::string sql = requete(l, "SELECT *", d, forme, params);
    if (tout && !physiques) {
        sql += " LIMIT ?";
        params.append(n);
    }
    nb::object curseur = obtenir_conn(l).attr("execute")(sql, params);
    if (tout && !physiques) return lignes_en_entrees(curseur);
    const std::vector<nb::object> resolus = noms_resolus(curseur);
    std::vector<nb::object> noms;
    for (nb::handle item : curseur.attr("description")) noms.push_back(nb::borrow(item[0]));
    curseur.attr("row_factory") = nb::none();  // tuples, whatever rows the connection makes
    nb::list lignes, sortie;
    for (nb::handle r : curseur) {
        nb::dict e = ligne_en_entree(resolus, r);
        if (!forme.accepte_apres_sql(e.ptr())) continue;
        lignes.append(e);
        sortie.append(physiques ? ligne_en_entree(noms, r) : e);
    }
    return rendre(lignes, sortie, choisir(self, lignes, s, n, true), s.colonnes);
}

// The selection of an export: the measures `mesures` asks become columns, then
// those `colonnes` names.
Selection selection_export(const Demande &d, nb::handle colonnes) {
    Selection s = d.selection("exporter");
    if (PyList_Check(colonnes.ptr()) || PyTuple_Check(colonnes.ptr()))
        for (nb::handle c : colonnes) {
            const int i = PyUnicode_Check(c.ptr()) ? indice_mesure(utf8(c.ptr())) : -1;
            if (i >= 0 && std::find(s.colonnes.begin(), s.colonnes.end(), i) == s.colonnes.end())
                s.colonnes.push_back(i);
        }
    return s;
}

nb::list filtrer(Lexique &l, nb::handle limite, nb::kwargs kw) {
    const Demande d(kw, true);
    const long long n = entier_arg(limite, "limite");
    return lignes_choisies(l, d, d.selection("filtrer"), n);
}

long long compter(Lexique &l, nb::kwargs kw) {
    const Demande d(kw, false);
    const Selection s = d.selection("compter");
    const CriteresForme forme = CriteresForme::lire(d.forme);
    if (!l.est_sqlite() || !s.vide() || forme.apres_sql())  // rows to look at: every one of them
        return (long long)nb::len(lignes_choisies(l, d, s, l.est_sqlite() ? -1 : 0));
    nb::list params;
    nb::object r = executer_sql(obtenir_conn(l), requete(l, "SELECT COUNT(*)", d, forme, params), params);
    r = r.attr("fetchone")();
    return r.is_none() ? 0 : nb::cast<long long>(nb::int_(r[0]));
}

// ------------------------------------------------------------------ row source

// A column's name or declared type: text even on a connection whose text_factory
// gives bytes (SQLite holds them as UTF-8).
nb::list colonnes_table(Lexique &l, int position) {
    nb::list res;
    for (nb::handle r : executer_sql(obtenir_conn(l), "PRAGMA table_info(" + table_de(l) + ")").attr("fetchall")()) {
        nb::object v = r[position];
        if (PyBytes_Check(v.ptr())) v = v.attr("decode")("utf-8");
        res.append(v);
    }
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
    if (!colonnes_choisies(colonnes)) {
        if (PyDict_Update(d.ptr(), entree.ptr()) < 0) throw nb::python_error();
        return d;
    }
    // Another mapping (from an overridden index): through its items().
    nb::object paires = PyDict_Check(entree.ptr()) ? nb::borrow<nb::dict>(entree).items() : entree.attr("items")();
    for (nb::handle kv : paires)
        if (contient(colonnes, kv[0])) d[kv[0]] = kv[1];
    return d;
}

void exiger_colonnes(nb::handle colonnes) {
    if (!colonnes.is_none() && !PyList_CheckExact(colonnes.ptr())) erreur_type("colonnes", "list", colonnes.ptr());
}

// The lazy rows of an export: nothing runs before the first request, and the
// progress function sees the running count every 5000 rows taken.
struct LignesFiltrees {
    nb::object lexique, colonnes, callback;
    nb::dict kwargs;
    long long limite = 0, compte = 0;
    bool en_attente = false, fini = false;
    nb::object source;  // iterator over cursor rows or filtered entries, once started
    std::vector<nb::object> noms;  // the names of the values of a cursor row (none for entries)

    LignesFiltrees(nb::handle self, nb::handle colonnes_, long long limite_, nb::handle callback_, nb::handle kw)
        : lexique(nb::borrow(self)), colonnes(nb::borrow(colonnes_)), callback(nb::borrow(callback_)),
          limite(limite_) {
        kwargs.update(nb::borrow<nb::dict>(kw));
    }

    void demarrer() {
        Lexique &l = *nb::inst_ptr<Lexique>(lexique);
        const Demande d(kwargs, true);
        const Selection s = selection_export(d, colonnes);
        nb::object lignes;
        // In memory, or a stimulus list, whose rows are chosen whole first (0 is no limit).
        if (!l.est_sqlite() || d.au_dela || !s.vide()) {
            lignes = lignes_choisies(l, d, s, l.est_sqlite() && limite == 0 ? -1 : limite, true);
        } else {
            nb::list toutes = colonnes_table(l, 1), params;
            std::string sel;
            for (nb::handle c : colonnes_choisies(colonnes) ? nb::handle(colonnes) : nb::handle(toutes))
                if (contient(toutes, c)) {
                    noms.push_back(nb::borrow(c));
                    sel += (sel.empty() ? "" : ", ") + identifiant(c);
                }
            std::string texte = requete(l, "SELECT " + sel, d, CriteresForme(), params);
            if (limite != 0) {
                texte += " LIMIT ?";
                params.append(limite);
            }
            lignes = obtenir_conn(l).attr("cursor")();
            lignes.attr("row_factory") = nb::none();  // tuples: paired with the names above
            lignes.attr("execute")(texte, params);
        }
        source = nb::steal(PyObject_GetIter(lignes.ptr()));
        if (!source.is_valid()) throw nb::python_error();
    }

    // The next row as a dict, or an invalid object at the end.
    nb::object suivante() {
        if (fini) return nb::object();
        try {
            if (en_attente) {
                en_attente = false;
                ++compte;
                if (!callback.is_none() && vrai(callback.ptr()) && compte % 5000 == 0) callback(compte);
            }
            if (!source.is_valid()) demarrer();
            nb::object r = nb::steal(PyIter_Next(source.ptr()));
            if (!r.is_valid()) {
                if (PyErr_Occurred()) throw nb::python_error();
                fermer();
                return r;
            }
            en_attente = true;
            return noms.empty() ? ligne_memoire(r, colonnes) : nb::object(ligne_en_entree(noms, r));
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
    return nb::cast(LignesFiltrees(self, colonnes, n, callback, kwargs), nb::rv_policy::move);
}

// ------------------------------------------------------------------ rows of an export

// Hands `ecrire` each row of `lignes` (what self._iter_filtered_rows() gave) as a tuple
// of the values under the export's names (None when missing), and returns their count.
// A row is taken whole before any of it is written, as csv.writer and executemany are
// given it: writing one value may run code that changes the row. Pending signals are
// looked at every few thousand rows, so that Ctrl-C stops an export of the whole lexicon.
template <class F> long long pour_chaque_ligne(nb::handle lignes, const nb::list &noms, F &&ecrire) {
    const Py_ssize_t k = PyList_GET_SIZE(noms.ptr());
    long long compte = 0;
    for (nb::handle r : lignes) {
        if (++compte % 4096 == 0 && PyErr_CheckSignals() < 0) throw nb::python_error();
        nb::object t = nb::steal(PyTuple_New(k));
        if (!t.is_valid()) throw nb::python_error();
        for (Py_ssize_t i = 0; i < k; ++i)
            PyTuple_SET_ITEM(t.ptr(), i, valeur_champ(r.ptr(), PyList_GET_ITEM(noms.ptr(), i)).release().ptr());
        ecrire(t);
    }
    return compte;
}

// ------------------------------------------------------------------ atomic output

// Turns the operating system's failures into the OSError naming `nom`.
template <class F> void systeme(nb::handle nom, F &&f) {
    try {
        f();
    } catch (const std::system_error &e) {
        erreur_os(e.code().value(), nom);
    }
}

// The files the lexicon reads: its source, and on SQLite every file of its open
// connection (a database attached to it included), with the journal and write-ahead
// log beside each database, which hold its latest changes.
std::vector<std::string> fichiers_lus(Lexique &l) {
    std::vector<std::string> res;
    try {
        res.push_back(octets_chemin(l.source));
    } catch (nb::python_error &) {
        // A source replaced by no path at all (a subclass's own rows) names no file.
    }
    if (!l.conn.is_none()) {
        try {
            for (nb::handle r : executer_sql(l.conn, "PRAGMA database_list").attr("fetchall")()) {
                nb::object f = nb::borrow(r[2]);
                if (!f.is_none() && vrai(f.ptr())) res.push_back(octets_chemin(f));
            }
        } catch (nb::python_error &) {
            // A closed or unusable connection reads no file.
        }
    }
    if (!l.est_sqlite()) return res;
    const size_t bases = res.size();
    for (size_t i = 0; i < bases; ++i)
        for (const char *compagnon : {"-journal", "-wal", "-shm"}) res.push_back(res[i] + compagnon);
    return res;
}

// The temporary file of an export to `sortie`, and the destination it replaces once
// complete. A link at `sortie` stays: the file it leads to is the one replaced. The
// lexicon's own files are refused before anything is written, and the temporary files
// that killed exports to the same destination left behind are removed first.
struct Sortie {
    nb::object nom;           // the caller's path, for messages
    std::string destination;  // the file to replace, links followed
    std::optional<plateforme::FichierTemporaire> fichier;

    Sortie(Lexique &l, nb::handle sortie) {
        nom = nb::module_::import_("os").attr("fspath")(sortie);
        const std::string octets = octets_chemin(sortie);
        systeme(nom, [&] { destination = plateforme::destination_reelle(octets); });
        for (const std::string &lu : fichiers_lus(l))
            if (plateforme::meme_fichier(destination, lu)) {
                PyErr_Format(PyExc_ValueError, "export refuse : la destination est un fichier du lexique lui-meme : %R",
                             nom.ptr());
                throw nb::python_error();
            }
        nb::object parties = nb::module_::import_("os").attr("path").attr("split")(
            nb::bytes(destination.data(), destination.size()));
        nb::bytes d = nb::borrow<nb::bytes>(parties[0]), f = nb::borrow<nb::bytes>(parties[1]);
        const std::string dossier(d.c_str(), d.size()), fin(f.c_str(), f.size());
        plateforme::nettoyer_temporaires(dossier, fin);
        systeme(nom, [&] { fichier.emplace(dossier, fin); });
    }
    void ecrire(const std::string &octets) { systeme(nom, [&] { fichier->ecrire(octets.data(), octets.size()); }); }
    void fermer() { systeme(nom, [&] { fichier->fermer(); }); }
    // Not once a signal is pending: an interrupted export leaves the destination as it was.
    void installer() {
        if (PyErr_CheckSignals() < 0) throw nb::python_error();
        systeme(nom, [&] { fichier->installer(destination); });
    }
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

// A value as csv.writer writes it: nothing for None, text as is, anything else by str().
void valeur_csv(std::string &ligne, PyObject *v) {
    if (v == Py_None) return;
    if (PyUnicode_Check(v)) return texte_csv(ligne, v);
    nb::object t = nb::steal(PyObject_Str(v));
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

// The names of an in-memory export: the first entry's, or with no entry those its
// source's header would give one (read and renamed as the loader does a record),
// none when the source cannot be read (gone, or unreadable).
nb::list entete_memoire(Lexique &l) {
    for (auto [k, entrees] : nb::borrow<nb::dict>(index_ortho(l)))
        return nb::len(entrees) > 0 ? nb::list(nb::object(entrees[0])) : nb::list();
    try {
        nb::module_ loaders = nb::module_::import_("brivane_lexique._loaders");
        nb::object entete = loaders.attr("_entete")(l.source, l.delimiteur, l.lecture);
        if (!nb::len(entete)) return nb::list();
        nb::dict vide;
        for (nb::handle nom : entete) vide[nom] = nb::str("");
        return nb::list(loaders.attr("_normaliser_entree")(vide, liens().resoudre_colonnes.objet()(entete)));
    } catch (nb::python_error &) {
        return nb::list();
    }
}

// ------------------------------------------------------------------ writers

// The columns of an export and, for SQLite, the type of each: a CSV export that names
// its columns writes them as given; otherwise the source's columns that `colonnes`
// keeps (declared types on SQLite, TEXT in memory); then, in both, the measures asked.
struct Colonnes {
    nb::list noms, types;
};

Colonnes colonnes_export(nb::handle self, nb::handle colonnes, const Selection &s, bool csv) {
    Lexique &l = *nb::inst_ptr<Lexique>(self);
    const bool sql = l.est_sqlite(), choisies = colonnes_choisies(colonnes);
    Colonnes r;
    if (csv && choisies) {
        r.noms = nb::list(colonnes);
        // Measures asked through `mesures` are columns too, as in a SQLite export.
        for (int i : s.colonnes)
            if (!contient(colonnes, nb::str(NOMS_MESURES[i]))) r.noms.append(NOMS_MESURES[i]);
        return r;
    }
    nb::list noms = sql ? colonnes_table(l, 1) : entete_memoire(l);
    nb::list types = sql && !csv ? colonnes_table(l, 2) : noms;
    for (size_t i = 0; i < nb::len(noms); ++i) {
        if (choisies && !contient(colonnes, noms[i])) continue;
        r.noms.append(noms[i]);
        r.types.append(sql ? nb::str(types[i]) : nb::str("TEXT"));
    }
    for (int i : s.colonnes) {  // measure columns of a stimulus list
        r.noms.append(NOMS_MESURES[i]);
        r.types.append(i < 2 ? "REAL" : "INTEGER");
    }
    return r;
}

long long ecrire_csv(Sortie &dest, const Colonnes &c, nb::handle lignes) {
    std::string texte;
    ligne_csv(texte, c.noms);  // header fields go through the same rules as values
    const long long compte = pour_chaque_ligne(lignes, c.noms, [&](nb::handle t) {
        ligne_csv(texte, t);
        if (texte.size() >= (1u << 20)) {
            dest.ecrire(texte);
            texte.clear();
        }
    });
    dest.ecrire(texte);
    return compte;
}

// ------------------------------------------------------------------ SQLite writer

// The export's database: its table, the rows, the indexes of the exported
// columns, then VACUUM. The file is a temporary one, deleted on any failure and
// renamed only once complete: a journal would protect nothing while it is built. The
// file is left in rollback-journal mode, recorded in it as such, so that it opens
// read-only anywhere (a write-ahead log needs a writable folder) and leaves no -wal or
// -shm file beside it. Rows go in by the sqlite3 module's executemany, one transaction
// per batch, so that its adapters and its binding rules decide what is stored.
long long ecrire_sqlite(Sortie &dest, const Colonnes &c, nb::handle lignes) {
    dest.fermer();  // SQLite opens the path itself
    const std::string &octets = dest.fichier->chemin();
    nb::object conn = liens().sqlite3.attr("connect")(
        nb::module_::import_("os").attr("fsdecode")(nb::bytes(octets.data(), octets.size())));
    long long compte;
    try {
        constexpr size_t LOT = 10000;
        std::string definitions, noms, marques;
        for (size_t i = 0; i < nb::len(c.noms); ++i) {
            const std::string id = identifiant(c.noms[i]), sep = i ? ", " : "";
            definitions += sep + id + " " + nb::cast<std::string>(c.types[i]);
            noms += sep + id;
            marques += sep + "?";
        }
        for (const char *p : {"PRAGMA journal_mode=OFF", "PRAGMA synchronous=OFF"}) conn.attr("execute")(p);
        conn.attr("execute")("CREATE TABLE formes (" + definitions + ")");
        conn.attr("commit")();
        const std::string insertion = "INSERT INTO formes (" + noms + ") VALUES (" + marques + ")";
        nb::list lot;
        auto inserer = [&] {
            conn.attr("executemany")(insertion, lot);
            conn.attr("commit")();
            lot = nb::list();
        };
        compte = pour_chaque_ligne(lignes, c.noms, [&](nb::handle t) {
            lot.append(t);
            if (nb::len(lot) == LOT) inserer();
        });
        if (nb::len(lot) > 0) inserer();
        const char *index[6][2] = {{"ortho", " COLLATE NOCASE"}, {"lemme", " COLLATE NOCASE"}, {"phone", ""},
                                   {"cgram", ""}, {"illustrable", ""}, {"nb_syllabes", ""}};
        for (auto &ix : index)
            if (contient(c.noms, nb::str(ix[0])))
                conn.attr("execute")(std::string("CREATE INDEX IF NOT EXISTS idx_") + ix[0] + " ON formes(\"" + ix[0] +
                                     "\"" + ix[1] + ")");
        conn.attr("commit")();
        conn.attr("execute")("VACUUM");
        conn.attr("execute")("PRAGMA journal_mode=DELETE");
    } catch (...) {
        suspendre_si_fin_forcee();
        fermer_en_silence(conn);
        throw;
    }
    conn.attr("close")();
    return compte;
}

// _exporter_csv and _exporter_sqlite (the Lexique class binds plain functions, see ClasseLexique).
template <bool csv>
long long exporter_vers(nb::handle self, nb::handle sortie, nb::handle colonnes, nb::handle limite_o,
                        nb::handle callback, nb::kwargs kwargs) {
    exiger_colonnes(colonnes);
    const long long limite = entier_arg(limite_o, "limite");
    const Colonnes c = colonnes_export(self, colonnes, selection_export(Demande(kwargs, true), colonnes), csv);
    Sortie dest(*nb::inst_ptr<Lexique>(self), sortie);
    nb::dict kw;
    kw.update(kwargs);
    kw["colonnes"] = colonnes;
    kw["limite"] = limite;
    kw["callback"] = callback;
    nb::object lignes = self.attr("_iter_filtered_rows")(**kw);
    const long long compte = csv ? ecrire_csv(dest, c, lignes) : ecrire_sqlite(dest, c, lignes);
    if (!callback.is_none() && vrai(callback.ptr())) callback(compte);  // before installing: a failure replaces nothing
    dest.installer();
    return compte;
}

long long exporter(nb::handle self, nb::handle sortie, nb::handle format, nb::handle colonnes, nb::handle limite,
                   nb::handle callback, nb::kwargs kwargs) {
    exiger_str(format, "format");
    const bool sqlite = nb::str(format).equal(nb::str("sqlite"));
    if (!sqlite && !nb::str(format).equal(nb::str("csv"))) {
        PyErr_Format(PyExc_ValueError, "format inconnu : %R (\"csv\" ou \"sqlite\")", format.ptr());
        throw nb::python_error();
    }
    exiger_colonnes(colonnes);
    const Demande d(kwargs, true);
    const long long n = entier_arg(limite, "limite");
    CriteresForme::lire(d.forme);
    d.selection("exporter");
    nb::object chemin = liens().Path(sortie);
    nb::dict kw = d.mots_cles(Demande::TOUS);
    kw["colonnes"] = colonnes;
    kw["limite"] = n;
    kw["callback"] = callback;
    return nb::cast<long long>(nb::int_(self.attr(sqlite ? "_exporter_sqlite" : "_exporter_csv")(chemin, **kw)));
}

// _build_filter_clauses as nanobind calls it: one argument per criterion.
template <size_t... I> auto clauses(std::index_sequence<I...>) {
    return [](Lexique &, Poignee<I>... v) {
        const nb::handle b[] = {v...};
        return Criteres::lire(b).clauses_sql();
    };
}

}  // namespace

void lier_filtre(ClasseLexique &c) {
    nb::class_<LignesFiltrees>(c, "_LignesFiltrees", "Lignes filtrees d'un export (iterateur paresseux).")
        .def("__iter__", [](nb::handle s) { return nb::borrow(s); })
        // The rows come from the lexicon's connection: its lock is held as by a method.
        .def("__next__", [](LignesFiltrees &it) {
            Passage p;
            Verrou v(lexique_de(it.lexique));
            nb::object r = it.suivante();
            if (!r.is_valid()) {
                PyErr_SetNone(PyExc_StopIteration);
                throw nb::python_error();
            }
            return r;
        })
        .def("close", [](LignesFiltrees &it) {
            Verrou v(lexique_de(it.lexique));
            it.fermer();
        }, "Abandonne l'iteration et libere le curseur.");

    std::apply([&](auto... a) {
        c.def("_build_filter_clauses", clauses(std::make_index_sequence<12>()), nb::kw_only(), a...,
              nb::sig(("def _build_filter_clauses(self, *, " + signature_de(Criteres::PARAMETRES) +
                       ") -> tuple[list[str], list[Any]]").c_str()),
              "Construit les clauses WHERE et parametres pour les filtres.");
    }, args_de(Criteres::PARAMETRES));
    const std::string criteres = signature_de(Criteres::PARAMETRES) + ", " + signature_de(CriteresForme::PARAMETRES);
    c.def("filtrer", &filtrer, nb::kw_only(), nb::arg("limite").none() = 100, nb::arg("criteres_mesures"),
          nb::sig(("def filtrer(self, *, " + criteres +
                   ", une_par_ortho: bool = False, tri: str | list[str] | None = None, "
                   "mesures: bool | list[str] = False, limite: int = 100, **criteres_mesures: float | None) "
                   "-> list[dict[str, Any]]").c_str()),
          "Filtre multi-critere sur l'ensemble du lexique.\n\n" BRIVANE_SELECTION_DOC
          "tri : une colonne ou une liste de colonnes (\"-freq\" = decroissant), noms\n"
          "canoniques ou mesures ; tri stable, en nombres quand toutes les valeurs non vides\n"
          "d'une colonne se lisent comme des nombres, sinon en texte (ordre des points de\n"
          "code) ; les valeurs vides (None, blancs, NaN) toujours en dernier. mesures :\n"
          "True (les huit) ou une liste de noms, ajoutees aux lignes, qui sont alors des\n"
          "copies. La limite s'applique apres le tri.");
    c.def("compter", &compter, nb::arg("criteres_mesures"),
          nb::sig(("def compter(self, *, " + criteres +
                   ", une_par_ortho: bool = False, **criteres_mesures: float | None) -> int").c_str()),
          "Compte les formes matchant les filtres (sans les charger).\n\n" BRIVANE_SELECTION_DOC);
    c.def("_iter_filtered_rows", &iter_filtered_rows, nb::kw_only(), nb::arg("colonnes").none() = nb::none(),
          nb::arg("limite").none() = 0, nb::arg("callback").none() = nb::none(), nb::arg("filter_kwargs"),
          nb::sig("def _iter_filtered_rows(self, *, colonnes: list[str] | None = None, limite: int = 0, "
                  "callback: Callable[[int], object] | None = None, **filter_kwargs: Any) "
                  "-> Iterator[dict[str, Any]]"),
          "Itere sur les lignes filtrees (generateur).");
    for (const bool csv : {true, false}) {
        const std::string nom = csv ? "_exporter_csv" : "_exporter_sqlite";
        c.def(nom.c_str(),
              csv ? &exporter_vers<true> : &exporter_vers<false>,
              nb::arg("output_path").none(), nb::kw_only(), nb::arg("colonnes").none() = nb::none(),
              nb::arg("limite").none() = 0, nb::arg("callback").none() = nb::none(), nb::arg("filter_kwargs"),
              nb::sig(("def " + nom + "(self, output_path: os.PathLike[str], *, colonnes: list[str] | None = None, "
                       "limite: int = 0, callback: Callable[[int], object] | None = None, **filter_kwargs: Any) -> int")
                          .c_str()),
              csv ? "Exporte en CSV.\n\n"
                    "Le fichier est ecrit a cote de la destination puis renomme une fois complet :\n"
                    "une erreur laisse intact le fichier qui existait."
                  : "Exporte en SQLite.\n\n"
                    "La base est construite a cote de la destination puis renommee une fois complete :\n"
                    "une erreur laisse intact le fichier qui existait.");
    }
    c.def("exporter", &exporter, nb::arg("output_path").none(), nb::kw_only(), nb::arg("format").none() = "csv",
          nb::arg("colonnes").none() = nb::none(), nb::arg("limite").none() = 0,
          nb::arg("callback").none() = nb::none(), nb::arg("criteres_mesures"),
          nb::sig(("def exporter(self, output_path: str | os.PathLike[str], *, format: str = 'csv', "
                   "colonnes: list[str] | None = None, " + criteres +
                   ", une_par_ortho: bool = False, tri: str | list[str] | None = None, "
                   "mesures: bool | list[str] = False, limite: int = 0, "
                   "callback: Callable[[int], object] | None = None, **criteres_mesures: float | None) -> int")
                      .c_str()),
          "Exporte un sous-ensemble filtre du lexique.\n\n"
          "Args:\n"
          "    output_path: Chemin du fichier de sortie\n"
          "    format: \"csv\" ou \"sqlite\"\n"
          "    colonnes: Liste des colonnes a inclure (None = toutes)\n"
          "    limite: 0 = pas de limite\n"
          "    callback: Appele tous les 5000 lignes avec le nombre courant\n\n"
          "Returns:\n"
          "    Nombre de lignes exportees\n\n"
          "Criteres de forme, une_par_ortho, tri et criteres de mesures : comme filtrer.\n"
          "Les mesures (mesures=True, une liste, ou leurs noms dans colonnes) deviennent\n"
          "des colonnes. La liste est alors choisie entiere avant d'etre ecrite.\n\n"
          "L'ecriture est atomique : le resultat remplace la destination seulement une fois\n"
          "complet, et une erreur ou une interruption laisse intact le fichier qui existait.\n"
          "Un format autre que \"csv\" ou \"sqlite\" et une destination qui est un fichier du\n"
          "lexique lui-meme sont refuses (ValueError) avant toute ecriture. Un lien a la\n"
          "destination reste un lien : le fichier vers lequel il mene est remplace, et garde\n"
          "ses droits. Une base SQLite exportee est en mode de journal classique (pas WAL).");
}

}  // namespace brivane::py
