// Lexique: word lookups, morphology and meanings. Each query has a SQL path on the
// object's connection and an in-memory path on the lazy indexes.
#include "lexique.hpp"
#include "_morphologie_noyau.hpp"
#include "_recherche_commun.hpp"

#include <climits>
#include <cmath>
#include <string>

namespace nb = nanobind;

namespace brivane::py {

namespace {

// mapping.get(nom) (an entry's field, an index's list), no object when absent (and,
// for another mapping than a dict, when None). Held: another mapping's get() may hand
// out an object nothing else holds.
nb::object champ(PyObject *e, PyObject *nom) {
    if (PyDict_CheckExact(e)) {
        PyObject *v = PyDict_GetItemWithError(e, nom);
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(v);
    }
    nb::object v = nb::borrow(e).attr("get")(nb::handle(nom));
    return v.is_none() ? nb::object() : v;
}

// A text that UTF-8 cannot carry (a lone surrogate) is in no row of the database: it
// is bound as NULL, which matches nothing, so that the answer is the in-memory one
// (nothing found) instead of the binding's UnicodeEncodeError.
nb::object executer(Lexique &l, const std::string &sql, nb::handle params) {
    nb::object p = nb::borrow(params);
    if (PyTuple_Check(params.ptr()) || PyList_Check(params.ptr())) {
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(params.ptr()); ++i) {
            PyObject *v = PySequence_Fast_GET_ITEM(params.ptr(), i);
            if (!PyUnicode_Check(v) || PyUnicode_AsUTF8AndSize(v, nullptr)) continue;
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
            PyErr_Clear();
            if (p.is(params)) p = nb::steal(PySequence_List(params.ptr()));
            if (PyList_SetItem(p.ptr(), i, Py_NewRef(Py_None)) < 0) throw nb::python_error();
        }
    }
    return obtenir_conn(l).attr("execute")(sql, p);
}

// The entries stored for the caller's `mot` in an index (no object when absent): a
// spelling is normalised into its key, a pronunciation (`brut`) is its own key.
nb::object entrees_sous(Lexique &l, nb::handle mot, nb::object (*index_de)(Lexique &), bool brut = false) {
    nb::object cle = brut ? nb::borrow(mot) : normaliser(mot);
    return champ(index_de(l).ptr(), cle.ptr());
}

// A copy of the stored list: the entries stay the index's own objects, but a caller
// appending to the result cannot corrupt the index.
nb::list copie_de(const nb::object &liste) {
    if (!liste.is_valid()) return nb::list();
    if (PyList_Check(liste.ptr()))
        return nb::steal<nb::list>(PyList_GetSlice(liste.ptr(), 0, PyList_GET_SIZE(liste.ptr())));
    return nb::list(liste);
}

// The stored list itself when it is an exact list (the functions given it only read
// it), else a list copy.
nb::object a_lire(const nb::object &liste) {
    return liste.is_valid() && PyList_CheckExact(liste.ptr()) ? liste : nb::object(copie_de(liste));
}

// A frequency as float() converts it, raising what float() raises.
double en_reel(nb::handle v) {
    if (PyFloat_CheckExact(v.ptr())) return PyFloat_AS_DOUBLE(v.ptr());
    nb::object f = nb::steal(nombre_float(v.ptr()));
    if (!f.is_valid()) throw nb::python_error();
    return PyFloat_AS_DOUBLE(f.ptr());
}

double freq_ou_zero(PyObject *e) {
    nb::object f = champ(e, morpho::cles().freq);
    return f.is_valid() ? en_reel(f) : 0.0;
}

// Whether entry.get(nom, "") == attendu.
bool champ_egal(PyObject *e, PyObject *nom, nb::handle attendu) {
    nb::object v = champ(e, nom);
    if (!v.is_valid()) return PyUnicode_GET_LENGTH(attendu.ptr()) == 0;
    int r = PyObject_RichCompareBool(v.ptr(), attendu.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// ------------------------------------------------------------------ lookups

// info(mot) for a caller holding the object's lock; on SQLite, with `champs`, the
// entries hold only those fields (for entries that never leave the library).
nb::list info_sous_verrou(Lexique &l, nb::handle mot, std::initializer_list<const char *> champs = {}) {
    if (!l.est_sqlite()) return copie_de(entrees_sous(l, mot, index_ortho));
    return lignes_en_entrees(executer(l, "SELECT * FROM " + table_de(l) + " WHERE ortho = ? COLLATE NOCASE",
                                      nb::make_tuple(normaliser(mot))),
                             champs);
}

// The method itself. An ortho index already built is read under the interpreter's
// lock alone: there is nothing to build and no statement to serialise.
nb::list info(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    if (chemins_rapides() && !l.est_sqlite() && !l.index_ortho.is_none() &&
        !redefinie(soi(&l), "_get_index_ortho")) {
        nb::object index = l.index_ortho;  // held: a replaced normaliser_ortho may reset it
        nb::object cle = normaliser(mot);
        return copie_de(champ(index.ptr(), cle.ptr()));
    }
    Passage p;
    Verrou v(&l);
    return info_sous_verrou(l, mot);
}

// The entries of info(mot), info(mot) itself when redefined. With `lues`, for a function
// of ours that only reads them: the index's own list, or on SQLite only the `champs` it reads.
nb::object info_via(Lexique &l, nb::handle mot, bool lues = false, std::initializer_list<const char *> champs = {}) {
    nb::handle self = soi(&l);
    if (redefinie(self, "info")) return nb::list(self.attr("info")(mot));
    if (!lues) return info_sous_verrou(l, mot);
    return l.est_sqlite() ? nb::object(info_sous_verrou(l, mot, champs)) : a_lire(entrees_sous(l, mot, index_ortho));
}

nb::list homophones(Lexique &l, nb::handle phone_arg) {
    exiger_str(phone_arg, "phone");
    nb::object phone = phone_du_lexique(l, phone_arg);
    if (!l.est_sqlite()) return copie_de(entrees_sous(l, phone, index_phone, true));
    return lignes_en_dicts(executer(
        l, "SELECT ortho, cgram, freq_opensubs AS freq, phone FROM " + table_de(l) + " WHERE phone = ?",
        nb::make_tuple(phone)));
}

// The first column of the first row `sql` gives for the normalised `mot`, None when
// there is no row.
nb::object valeur_sql(Lexique &l, const std::string &sql, nb::handle mot) {
    nb::object ligne = en_rangees(executer(l, sql, nb::make_tuple(normaliser(mot)))).attr("fetchone")();
    return ligne.is_none() ? nb::none() : nb::object(ligne[0]);
}

double frequence(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    if (l.est_sqlite()) {
        nb::object v = valeur_sql(l, "SELECT MAX(freq_opensubs) FROM " + table_de(l) + " WHERE ortho = ? COLLATE NOCASE",
                                  mot);
        return v.is_none() ? 0.0 : en_reel(v);
    }
    nb::object liste = entrees_sous(l, mot, index_ortho);
    if (!liste.is_valid()) return 0.0;
    // max() keeps the first value unless a later one is strictly greater.
    double m = 0.0;
    bool premier = true;
    for (nb::handle e : liste) {
        const double f = freq_ou_zero(e.ptr());
        if (premier || f > m) m = f;
        premier = false;
    }
    return m;
}

nb::object phone_de(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    if (l.est_sqlite())
        return valeur_sql(l,
                          "SELECT phone FROM " + table_de(l) +
                              " WHERE ortho = ? COLLATE NOCASE AND phone != '' ORDER BY freq_opensubs DESC LIMIT 1",
                          mot);
    // The most frequent pronunciation: the first candidate of the frequency order,
    // which is stable, so the first of the highest frequencies.
    nb::object trouvee = entrees_sous(l, mot, index_ortho);
    if (!trouvee.is_valid()) return nb::none();
    const nb::object liste = a_lire(trouvee);  // a list: it is read again when a frequency is NaN
    auto candidats = [&](auto &&garder) {
        pour_chaque_entree(liste.ptr(), [&](PyObject *e) {
            nb::object ph = champ(e, morpho::cles().phone);
            if (ph.is_valid() && vrai(ph.ptr())) garder(ph, freq_ou_zero(e));
        });
    };
    nb::object premier;
    double meilleure = 0.0;
    bool nan = false;
    candidats([&](nb::object &ph, double f) {
        nan |= std::isnan(f);
        if (!premier.is_valid() || f > meilleure) {
            premier = ph;
            meilleure = f;
        }
    });
    if (!nan) return premier.is_valid() ? premier : nb::none();
    // A NaN breaks every total order: the candidates, read again, in the host's own sort.
    nb::list phones;
    std::vector<double> cles;
    candidats([&](nb::object &ph, double f) {
        phones.append(ph);
        cles.push_back(-f);
    });
    return ordonner(PySequence_Fast_ITEMS(phones.ptr()), cles, 1)[0];
}

// ------------------------------------------------------------------ morphology and meanings

// A function of the module bound as `_morphologie` (or `_semantique`) in this one.
// `natif`: it is the function bound at import, in the module bound at import, so it
// may be handed only the fields it reads, or its C++ twin called here directly, with
// the same effects; with the fast paths off, it is called as any other function.
struct Fonction {
    nb::object objet;
    bool natif;
};

// One look-up of the module's binding, then of the function in it.
Fonction fonction_de(NomLie &module, PyObject *nom, const nb::object &origine) {
    nb::object m = module.objet();
    nb::object f = nb::getattr(m, nom);
    return {f, chemins_rapides() && m.ptr() == module.origine() && f.is(origine)};
}

// The names of the module functions the methods call, interned once.
struct NomsFonctions {
    PyObject *lemme_de, *formes_de, *conjuguer, *synonymes, *antonymes, *definition;
};
const NomsFonctions &noms_fonctions() {
    static const NomsFonctions n{cle_interne("lemme_de"),  cle_interne("formes_de"), cle_interne("conjuguer"),
                                 cle_interne("synonymes"), cle_interne("antonymes"), cle_interne("definition")};
    return n;
}

nb::object lemme_de(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    Fonction f = fonction_de(liens().morphologie, noms_fonctions().lemme_de, liens().lemme_de_origine);
    // The plain call reads the list as info() hands it out, on SQLite.
    nb::object entrees = info_via(l, mot, f.natif || !l.est_sqlite(), {"lemme", "freq"});
    return f.natif ? morpho::lemme_de(entrees) : f.objet(entrees);
}

nb::object formes_de(Lexique &l, nb::handle lemme, nb::handle cgram) {
    exiger_str(lemme, "lemme");
    exiger_str_ou_none(cgram, "cgram");
    nb::object entrees;
    if (l.est_sqlite()) {
        std::string sql = "SELECT * FROM " + table_de(l) + " WHERE lemme = ? COLLATE NOCASE";
        nb::list params;
        params.append(normaliser(lemme));
        if (!cgram.is_none()) {
            sql += " AND cgram LIKE ?";
            params.append(nb::str(cgram) + nb::str("%"));
        }
        entrees = lignes_en_entrees(executer(l, sql, params));
    } else {
        entrees = entrees_sous(l, lemme, index_lemme);
        if (!entrees.is_valid()) entrees = nb::list();
    }
    return nb::getattr(liens().morphologie.objet(), noms_fonctions().formes_de)(entrees, cgram);
}

// Whether _morphologie's conjugation reads persons with its own helper: the helper it
// finds by name in its namespace is the one bound at import.
bool personne_nombre_d_origine() {
    static PyObject *const nom = cle_interne("_personne_nombre_from_entry");
    PyObject *pn = PyDict_GetItemWithError(PyModule_GetDict(liens().morphologie.origine()), nom);
    if (!pn && PyErr_Occurred()) throw nb::python_error();
    return pn == liens().personne_nombre_origine.ptr();
}

nb::object conjuguer(Lexique &l, nb::handle verbe) {
    exiger_str(verbe, "verbe");
    nb::object cur, entrees;
    if (l.est_sqlite()) {
        cur = executer(l, "SELECT * FROM " + table_de(l) + " WHERE lemme = ? COLLATE NOCASE AND cgram IN ('VER', 'AUX')",
                       nb::make_tuple(normaliser(verbe)));
    } else {
        entrees = entrees_sous(l, verbe, index_lemme);
        if (!entrees.is_valid()) entrees = nb::list();
    }
    Fonction f = fonction_de(liens().morphologie, noms_fonctions().conjuguer, liens().conjuguer_origine);
    if (!cur.is_valid()) return f.objet(entrees);
    // The library's own conjugation needs only these fields of a row.
    if (f.natif && personne_nombre_d_origine())
        return f.objet(lignes_en_entrees(cur, {"cgram", "mode", "temps", "ortho", "personne", "nombre", "multext",
                                               "infover"}));
    return f.objet(lignes_en_entrees(cur));
}

// Whether the entry `e` is a verb form of the person (and number, unless "") asked:
// read from the items of its infover cell when it has some (Lexique 3.83's layout),
// else, when `champs`, from its own fields.
bool de_personne(PyObject *e, nb::handle personne, nb::handle nombre, bool champs) {
    nb::object cellule = morpho::infover_de(e);
    if (!morpho::vide(cellule)) return morpho::analyse_de_personne(cellule, utf8(personne.ptr()), utf8(nombre.ptr()));
    if (!champs || !champ_egal(e, morpho::cles().personne, personne)) return false;
    return PyUnicode_GET_LENGTH(nombre.ptr()) == 0 || champ_egal(e, morpho::cles().nombre, nombre);
}

// Whether the forms table has an `infover` column and no `personne` one (Lexique
// 3.83's layout): its verb analyses are then read from that column.
bool analyses_par_infover(Lexique &l) {
    bool infover = false, personne = false;
    nb::object cur = en_rangees(executer(l, "PRAGMA table_info(" + table_de(l) + ")", nb::tuple()));
    for (nb::handle col : cur.attr("fetchall")()) {
        nb::object nom = minuscule(nb::str(col[1])).attr("strip")();
        infover |= nom.equal(nb::str("infover"));
        personne |= nom.equal(nb::str("personne"));
    }
    return infover && !personne;
}

// verbes_par_phone_et_personne on SQLite: the statement's rows, most frequent first,
// handed to `garder`; on a table in Lexique 3.83's layout, the whole verb rows of the
// transcriptions with one of their analyses of the person (and number).
template <typename Garder>
void verbes_sql(Lexique &l, nb::list phones, nb::handle personne, nb::handle nombre, Garder &garder) {
    std::string marques;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(phones.ptr()); ++i) marques += i ? ",?" : "?";
    const std::string depuis = " FROM " + table_de(l) + " WHERE phone IN (" + marques + ") AND cgram IN ('VER', 'AUX')";
    nb::list params = nb::steal<nb::list>(PyList_GetSlice(phones.ptr(), 0, PyList_GET_SIZE(phones.ptr())));
    params.append(personne);
    const bool avec_nombre = PyUnicode_GET_LENGTH(nombre.ptr()) > 0;
    if (avec_nombre) params.append(nombre);
    nb::object cur;
    try {
        cur = executer(l,
                       "SELECT ortho, lemme, cgram, personne, nombre, mode, temps, freq_opensubs AS freq, phone" +
                           depuis + " AND personne = ?" + (avec_nombre ? " AND nombre = ?" : "") +
                           " ORDER BY freq_opensubs DESC",
                       params);
    } catch (nb::python_error &e) {
        if (!erreur_operationnelle(e) || !analyses_par_infover(l)) throw;
        nb::object cur = executer(l, "SELECT *" + depuis + " ORDER BY freq_opensubs DESC", phones);
        for (nb::handle e : lignes_en_entrees(cur))
            if (de_personne(e.ptr(), personne, nombre, false)) garder(champ(e.ptr(), morpho::cles().ortho), e);
        return;
    }
    for (nb::handle r : cur.attr("fetchall")()) garder(r["ortho"], en_dict(r));
}

nb::list verbes_par_phone_et_personne(Lexique &l, nb::handle phones_arg, nb::handle personne,
                                      nb::handle nombre) {
    exiger_list(phones_arg, "phones");
    // The caller's transcriptions as the lexicon writes them (a copy, taken before any
    // work, on a lexicon in Lexique's code).
    nb::list phones = nb::borrow<nb::list>(phones_arg);
    if (nb::str("lexique").equal(l.alphabet)) {
        phones = nb::list();
        for (nb::handle ph : phones_arg)
            phones.append(PyUnicode_Check(ph.ptr()) ? phone_du_lexique(l, ph) : nb::borrow(ph));
    }
    exiger_str(personne, "personne");
    exiger_str(nombre, "nombre");
    nb::list res;
    nb::object vus = nb::steal(PySet_New(nullptr));
    // A row or entry without a spelling cannot be told apart from another: skip it.
    // The first one met of each lowered spelling is kept.
    auto garder = [&](nb::handle ortho, nb::handle objet) {
        if (!ortho.is_valid() || ortho.is_none()) return;
        if (nouveau(vus.ptr(), minuscule(ortho).ptr())) res.append(objet);
    };
    if (l.est_sqlite()) {
        verbes_sql(l, phones, personne, nombre, garder);
        return res;
    }
    nb::object index = index_phone(l);
    const morpho::Cles &k = morpho::cles();
    nb::str ver("VER"), aux("AUX");
    for (nb::handle ph : nb::list(phones)) {
        nb::object liste = champ(index.ptr(), ph.ptr());
        if (!liste.is_valid()) continue;
        for (nb::handle e : liste)
            if ((champ_egal(e.ptr(), k.cgram, ver) || champ_egal(e.ptr(), k.cgram, aux)) &&
                de_personne(e.ptr(), personne, nombre, true))
                garder(champ(e.ptr(), k.ortho), e);
    }
    // The frequency order: -float(entry.get("freq", 0)), a value float() refuses ("" or
    // None included) raising as it does.
    std::vector<double> cles;
    for (nb::handle e : res) cles.push_back(-en_reel(e.attr("get")("freq", 0)));
    return ordonner(PySequence_Fast_ITEMS(res.ptr()), cles, LLONG_MAX);
}

// definition, synonymes, antonymes: the function of _semantique over the entries of
// info(mot); the one bound at import reads only its own column.
nb::object sens_de(Lexique &l, nb::handle mot, int quoi) {
    exiger_str(mot, "mot");
    const char *const noms[3] = {"synonymes", "antonymes", "definition"};
    const NomsFonctions &N = noms_fonctions();
    PyObject *const internes[3] = {N.synonymes, N.antonymes, N.definition};
    const LiensLexique &L = liens();
    const nb::object *origines[3] = {&L.synonymes_origine, &L.antonymes_origine, &L.definition_origine};
    Fonction f = fonction_de(liens().semantique, internes[quoi], *origines[quoi]);
    return f.objet(info_via(l, mot, f.natif, {noms[quoi]}));
}

// The cell `v` of a definitions row as the list of its ";"-separated pieces; split
// without converting to text, so that a non-text cell fails here.
nb::list morceaux_de(nb::handle v) {
    nb::list morceaux;
    if (!vrai(v.ptr())) return morceaux;
    for (nb::handle p : v.attr("split")(";")) {
        nb::object t = p.attr("strip")();
        if (vrai(t.ptr())) morceaux.append(t);
    }
    return morceaux;
}

nb::list definitions(Lexique &l, nb::handle mot, nb::handle cgram) {
    exiger_str(mot, "mot");
    exiger_str_ou_none(cgram, "cgram");
    nb::list lignes;
    if (!l.est_sqlite()) return lignes;
    nb::object conn = obtenir_conn(l);
    const bool avec_cgram = !cgram.is_none() && PyUnicode_GET_LENGTH(cgram.ptr()) > 0;
    try {
        lignes = lignes_en_dicts(conn.attr("execute")(std::string("SELECT * FROM definitions WHERE lemme = ? COLLATE NOCASE") +
                                                          (avec_cgram ? " AND cgram = ?" : "") + " ORDER BY cgram, sens_num",
                                                      avec_cgram ? nb::make_tuple(mot, cgram) : nb::make_tuple(mot)));
    } catch (nb::python_error &e) {
        if (erreur_operationnelle(e)) return lignes;
        throw;
    }
    for (nb::handle d : lignes)
        for (const char *nom : {"exemples", "synonymes", "antonymes", "tags"}) d[nom] = morceaux_de(d.attr("get")(nom));
    return lignes;
}

}  // namespace

void lier_mots(ClasseLexique &c) {
    c.def("info", &info, nb::arg("mot").none(), nb::sig("def info(self, mot: str) -> list[dict[str, Any]]"),
          "Retourne les entrees lexicales completes pour un mot.");
    c.def("homophones", &homophones, nb::arg("phone").none(),
          nb::sig("def homophones(self, phone: str) -> list[dict[str, Any]]"),
          "Retourne tous les mots ayant cette prononciation.\n\n"
          "Chaque dict contient au minimum : ortho, cgram, freq. Sur un lexique en\n"
          "code de Lexique (alphabet 'lexique'), la prononciation peut etre donnee en\n"
          "API ou dans le code.");
    c.def("frequence", &frequence, nb::arg("mot").none(), nb::sig("def frequence(self, mot: str) -> float"),
          "Frequence max parmi toutes les entrees de ce mot.");
    c.def("phone_de", &phone_de, nb::arg("mot").none(), nb::sig("def phone_de(self, mot: str) -> str | None"),
          "Retourne la prononciation la plus frequente d'un mot.");
    c.def("lemme_de", &lemme_de, nb::arg("mot").none(), nb::sig("def lemme_de(self, mot: str) -> str | None"),
          "Lemme le plus frequent parmi les entrees d'un mot.");
    c.def("formes_de", &formes_de, nb::arg("lemme").none(), nb::arg("cgram").none() = nb::none(),
          nb::sig("def formes_de(self, lemme: str, cgram: str | None = None) -> list[dict[str, Any]]"),
          "Toutes les formes flechies d'un lemme, avec filtre POS optionnel.");
    c.def("conjuguer", &conjuguer, nb::arg("verbe").none(),
          nb::sig("def conjuguer(self, verbe: str) -> dict[str, dict[str, dict[str, str]]]"),
          "Table de conjugaison d'un verbe.\n\n"
          "Resultat : mode -> temps -> personne (1s, 2s, ..., 3p) -> forme.\n"
          "Une entree sans mode, temps ni personne (format de Lexique 3.83) compte pour\n"
          "chacune des analyses de son champ infover.");
    c.def("verbes_par_phone_et_personne", &verbes_par_phone_et_personne, nb::arg("phones").none(),
          nb::arg("personne").none(), nb::arg("nombre").none(),
          nb::sig("def verbes_par_phone_et_personne(self, phones: list[str], personne: str, nombre: str) "
                  "-> list[dict[str, Any]]"),
          "Trouve les formes verbales correspondant a une liste de phones et personne.\n\n"
          "Args:\n"
          "    phones: Liste de transcriptions IPA (la transcription entendue et ses variantes proches) ;\n"
          "        sur un lexique en code de Lexique, API ou code\n"
          "    personne: '1', '2' ou '3'\n"
          "    nombre: 's' ou 'p' ('' : sans condition de nombre)\n\n"
          "Les lignes sans orthographe sont ignorees. Une entree sans mode, temps ni\n"
          "personne (format de Lexique 3.83) est retenue quand une des analyses de son\n"
          "champ infover a cette personne et ce nombre ; sur SQLite, une table sans\n"
          "colonne personne mais avec infover est lue ainsi (entrees completes).");
    c.def("definitions", &definitions, nb::arg("mot").none(), nb::arg("cgram").none() = nb::none(),
          nb::sig("def definitions(self, mot: str, cgram: str | None = None) -> list[dict[str, Any]]"),
          "Definitions multiples depuis la table definitions.\n\n"
          "Retourne [] si la table est absente (compatibilite anciennes BDD).\n"
          "Ordonne par cgram, sens_num.");
    c.def("definition", [](Lexique &l, nb::handle mot) { return sens_de(l, mot, 2); }, nb::arg("mot").none(), nb::sig("def definition(self, mot: str) -> list[str]"),
          "Definitions d'un mot.");
    c.def("synonymes", [](Lexique &l, nb::handle mot) { return sens_de(l, mot, 0); }, nb::arg("mot").none(), nb::sig("def synonymes(self, mot: str) -> list[str]"),
          "Synonymes d'un mot (colonne 'synonymes', separateur ;).");
    c.def("antonymes", [](Lexique &l, nb::handle mot) { return sens_de(l, mot, 1); }, nb::arg("mot").none(), nb::sig("def antonymes(self, mot: str) -> list[str]"),
          "Antonymes d'un mot (colonne 'antonymes', separateur ;).");
}

nb::object phone_de_lexique(Lexique &l, nb::handle mot) {
    nb::handle self = soi(&l);
    if (redefinie(self, "phone_de")) return self.attr("phone_de")(mot);
    return phone_de(l, mot);
}

}  // namespace brivane::py
