// Lexique: word lookups, morphology and meanings. Each query has a SQL path on the
// object's connection and an in-memory path on the lazy indexes.
#include "lexique.hpp"
#include "_appel_direct.hpp"
#include "_morphologie_noyau.hpp"
#include "_semantique_noyau.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

namespace nb = nanobind;

namespace brivane::py {

namespace {

std::string table_de(Lexique &l) { return nb::cast<std::string>(nb::str(l.table)); }

nb::object executer(Lexique &l, const std::string &sql, nb::handle params) {
    return obtenir_conn(l).attr("execute")(sql, params);
}

// Entries under `cle` in an index, or no object. Held: another mapping's get() may
// hand out an object nothing else holds.
nb::object sous_cle(nb::handle index, nb::handle cle) {
    if (PyDict_CheckExact(index.ptr())) {
        PyObject *v = PyDict_GetItemWithError(index.ptr(), cle.ptr());
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(v);
    }
    nb::object v = index.attr("get")(cle);
    return v.is_none() ? nb::object() : v;
}

// A copy of the stored list: the entries stay the index's own objects, but a caller
// appending to the result cannot corrupt the index.
nb::list copie_de(PyObject *liste) {
    if (!liste) return nb::list();
    if (PyList_Check(liste)) return nb::steal<nb::list>(PyList_GetSlice(liste, 0, PyList_GET_SIZE(liste)));
    return nb::list(nb::handle(liste));
}

// The stored list itself when it is a list (read only), else a list copy.
nb::list liste_de(PyObject *o) {
    if (PyList_Check(o)) return nb::borrow<nb::list>(o);
    return nb::list(nb::handle(o));
}

// entry.get(nom), no object when absent (and, for another mapping than a dict, when
// None). Held, as sous_cle's.
nb::object champ(PyObject *e, PyObject *nom) {
    if (PyDict_CheckExact(e)) {
        PyObject *v = PyDict_GetItemWithError(e, nom);
        if (!v && PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(v);
    }
    nb::object v = nb::borrow(e).attr("get")(nb::handle(nom));
    return v.is_none() ? nb::object() : v;
}

struct Cles {
    nb::str ortho{"ortho"}, phone{"phone"}, freq{"freq"}, cgram{"cgram"}, personne{"personne"},
        nombre{"nombre"};
};
Cles &cles() {
    static Cles *c = new Cles();  // never freed: outlives the interpreter's teardown
    return *c;
}

double freq_ou_zero(PyObject *e) {
    nb::object f = champ(e, cles().freq.ptr());
    return f.is_valid() ? en_reel(f) : 0.0;
}

// ------------------------------------------------------------------ memo

// The memo `m` following `index`, when it can serve: an exact dict and an exact str.
MemoMots *memo_pour(MemoMots &m, nb::handle index, nb::handle mot) {
    if (!MemoMots::DISPONIBLE || !PyDict_CheckExact(index.ptr()) || !PyUnicode_CheckExact(mot.ptr()))
        return nullptr;
    m.suivre(index.ptr());
    return &m;
}

// The record of `cle` when it is valid and knows `connu`, its loads prefetched first.
MemoMots::Fiche *fiche_connue(MemoMots *m, nb::handle cle, uint8_t connu) {
    if (!m) return nullptr;
    MemoMots::Fiche *f = m->trouver(cle.ptr());
    if (!f) return nullptr;
    m->precharger_fiche(*f);
    return (f->connus & connu) && m->valide(*f) ? f : nullptr;
}

// An answer being computed for the memo: the record is made (or found valid) before
// the computation, and kept after it only if nothing it rests on moved meanwhile,
// whatever Python code the computation may have run (a record made again in between,
// by a call from that code, has another generation).
class Releve {
public:
    Releve(MemoMots *m, nb::handle index, nb::handle cle, PyObject *liste)
        : m_(m), index_(index.ptr()), cle_(cle.ptr()), liste_(liste) {
        if (!m_ || !m_->a_jour(index_)) return;
        MemoMots::Fiche *f = m_->trouver(cle_);
        if (!f && !m_->admettre(cle_)) return;
        if (!(f && f->liste == liste_ && m_->valide(*f))) f = m_->noter(cle_, liste_);
        if (!f) return;
        generation_ = f->generation;
        actif_ = true;
    }
    // The record, when the computation left it valid and read only fixed values.
    MemoMots::Fiche *fiche(std::initializer_list<PyObject *> champs) const {
        if (!actif_ || !m_->a_jour(index_)) return nullptr;
        MemoMots::Fiche *f = m_->trouver(cle_);
        if (!f || f->generation != generation_ || !m_->valide(*f) || !valeurs_figees(liste_, champs))
            return nullptr;
        return f;
    }
    // Whether `objet` is the value of `champ` in one of the record's entries (so that
    // it lives as long as they are unchanged).
    static bool tenu(PyObject *liste, PyObject *champ, PyObject *objet) {
        if (objet == Py_None) return true;
        for (Py_ssize_t i = 0; liste && i < PyList_GET_SIZE(liste); ++i)
            if (PyDict_GetItemWithError(PyList_GET_ITEM(liste, i), champ) == objet) return true;
        PyErr_Clear();
        return false;
    }

private:
    MemoMots *m_;
    PyObject *index_, *cle_, *liste_;
    uint32_t generation_ = 0;
    bool actif_ = false;
};

// ------------------------------------------------------------------ lookups

// A lookup of the caller's text `mot` in an index: the index, the key, and the memo
// that may answer. Records are kept under the caller's own text, which the normaliser
// bound at import always maps to the same key: a hit skips normalising. With a
// normaliser replaced from Python nothing is remembered, and it is called before the
// index is fetched, as without a memo.
class Consultation {
public:
    // `brut`: the caller's text is the key itself (a pronunciation).
    Consultation(Lexique &l, nb::handle mot, nb::object (*index_de)(Lexique &), bool brut = false)
        : mot_(mot), permis_(brut || liens().normaliser_ortho.original()) {
        if (brut)
            cle_ = nb::borrow(mot);
        else if (!permis_)
            cle_ = normaliser(mot);
        index_ = index_de(l);
    }
    // Lets `memo` answer, when it can.
    Consultation &avec(MemoMots &memo) {
        if (permis_) memo_ = memo_pour(memo, index_, mot_);
        return *this;
    }
    // The valid record that knows `connu`, or nullptr.
    MemoMots::Fiche *connue(uint8_t connu) const { return fiche_connue(memo_, mot_, connu); }
    // The entry list stored under the key (held by this object; nullptr when absent).
    PyObject *liste() {
        if (!cle_.is_valid()) cle_ = normaliser(mot_);
        liste_ = sous_cle(index_, cle_);
        return liste_.ptr();
    }
    Releve releve(PyObject *liste) const { return Releve(memo_, index_, mot_, liste); }
    MemoMots *memo() const { return memo_; }

private:
    nb::handle mot_;
    bool permis_;
    nb::object cle_, index_, liste_;
    MemoMots *memo_ = nullptr;
};

// A copy of the list remembered under `mot` in `m` (which follows its index, unchanged:
// the list recorded is then the index's); no object when `mot` is not there.
nb::object copie_retenue(MemoMots *m, nb::handle mot) {
    MemoMots::Fiche *f = m ? m->trouver(mot.ptr()) : nullptr;
    if (!f) return nb::object();
    m->precharger_fiche(*f);
    return copie_de(f->liste);
}

// The greatest frequency of the entries of `liste` (nullptr: none), 0.0 when empty.
double frequence_max(PyObject *liste) {
    if (!liste) return 0.0;
    nb::list entrees = liste_de(liste);
    const size_t n = nb::len(entrees);
    if (n == 0) return 0.0;
    // max() keeps the first value unless a later one is strictly greater.
    double m = freq_ou_zero(PyList_GET_ITEM(entrees.ptr(), 0));
    for (size_t i = 1; i < n; ++i) {
        double f = freq_ou_zero(PyList_GET_ITEM(entrees.ptr(), i));
        if (f > m) m = f;
    }
    return m;
}

// The in-memory answer of info (a spelling) or homophones (`phone`: a pronunciation,
// the key itself): a copy of the list under the word. The commonest call, a word
// remembered in the memo of the index as it stands, is answered before anything else
// is set up.
nb::list copie_de_la_liste(Lexique &l, nb::handle mot, bool phone) {
    MemoMots &memo = phone ? l.memo_phone : l.memo_ortho;
    PyObject *ix = phone ? index_phone_deja_la(l) : index_ortho_deja_la(l);
    nb::object copie;
    if (MemoMots::DISPONIBLE && ix && PyUnicode_CheckExact(mot.ptr()) &&
        (phone || liens().normaliser_ortho.original()) && memo.a_jour(ix))
        copie = copie_retenue(&memo, mot);
    if (copie.is_valid()) return nb::steal<nb::list>(copie.release());
    Consultation c(l, mot, phone ? index_phone : index_ortho, phone);
    c.avec(memo);
    copie = copie_retenue(c.memo(), mot);
    if (copie.is_valid()) return nb::steal<nb::list>(copie.release());
    PyObject *liste = c.liste();
    c.releve(liste);
    return copie_de(liste);
}

nb::list info(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    if (l.est_sqlite()) {
        nb::object cur = executer(l, "SELECT * FROM " + table_de(l) + " WHERE ortho = ? COLLATE NOCASE",
                                  nb::make_tuple(normaliser(mot)));
        return lignes_en_entrees(cur);
    }
    return copie_de_la_liste(l, mot, false);
}

nb::list info_via(Lexique &l, nb::handle mot) {
    nb::handle self = soi(&l);
    if (redefinie(self, "info")) return nb::list(self.attr("info")(mot));
    return info(l, mot);
}

nb::list homophones(Lexique &l, nb::handle phone) {
    exiger_str(phone, "phone");
    if (l.est_sqlite()) {
        nb::object cur = executer(
            l, "SELECT ortho, cgram, freq_opensubs AS freq, phone FROM " + table_de(l) + " WHERE phone = ?",
            nb::make_tuple(phone));
        nb::list res;
        DictsDeLignes en_dict;
        for (nb::handle r : cur.attr("fetchall")()) res.append(en_dict(r));
        return res;
    }
    return copie_de_la_liste(l, phone, true);
}

double frequence(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    if (l.est_sqlite()) {
        nb::object cur = executer(
            l, "SELECT MAX(freq_opensubs) FROM " + table_de(l) + " WHERE ortho = ? COLLATE NOCASE",
            nb::make_tuple(normaliser(mot)));
        nb::object ligne = cur.attr("fetchone")();
        if (ligne.is_none()) return 0.0;
        nb::object v = ligne[0];
        return v.is_none() ? 0.0 : en_reel(v);
    }
    Consultation c(l, mot, index_ortho);
    c.avec(l.memo_ortho);
    if (MemoMots::Fiche *f = c.connue(MemoMots::FREQ)) return f->r.ortho.freq;
    PyObject *liste = c.liste();
    Releve releve = c.releve(liste);
    const double r = frequence_max(liste);
    if (MemoMots::Fiche *f = releve.fiche({cles().freq.ptr()})) {
        f->r.ortho.freq = r;
        f->connus |= MemoMots::FREQ;
    }
    return r;
}

// The most frequent pronunciation among the entries of `liste` (nullptr: none).
nb::object phone_liste(PyObject *liste) {
    if (!liste) return nb::none();
    nb::list entrees = liste_de(liste);
    // Stable sort on the negated frequency, first element: the first candidate
    // with the greatest frequency. NaN defeats that shortcut, so hand it to the host.
    nb::object meilleur;
    double fmax = 0.0;
    bool nan = false;
    for (nb::handle e : entrees) {
        nb::object ph = champ(e.ptr(), cles().phone.ptr());
        if (!ph.is_valid() || !vrai(ph.ptr())) continue;
        double f = freq_ou_zero(e.ptr());
        if (std::isnan(f)) nan = true;
        if (!meilleur.is_valid() || f > fmax) {
            meilleur = std::move(ph);
            fmax = f;
        }
    }
    if (!meilleur.is_valid()) return nb::none();
    if (nan) {
        nb::list candidats;
        for (nb::handle e : entrees) {
            nb::object ph = champ(e.ptr(), cles().phone.ptr());
            if (ph.is_valid() && vrai(ph.ptr())) candidats.append(nb::make_tuple(ph, freq_ou_zero(e.ptr())));
        }
        nb::object cle_tri = nb::cpp_function([](nb::handle c) { return nb::float_(-en_reel(c[1])); });
        candidats.attr("sort")(nb::arg("key") = cle_tri);
        return candidats[0][0];
    }
    return meilleur;
}

nb::object phone_de(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    if (l.est_sqlite()) {
        nb::object cur = executer(l,
                                  "SELECT phone FROM " + table_de(l) +
                                      " WHERE ortho = ? COLLATE NOCASE AND phone != '' "
                                      "ORDER BY freq_opensubs DESC LIMIT 1",
                                  nb::make_tuple(normaliser(mot)));
        nb::object ligne = cur.attr("fetchone")();
        if (ligne.is_none()) return nb::none();
        return ligne[0];
    }
    Consultation c(l, mot, index_ortho);
    c.avec(l.memo_ortho);
    if (MemoMots::Fiche *f = c.connue(MemoMots::PHONE)) return nb::borrow(f->r.ortho.phone);
    PyObject *liste = c.liste();
    Releve releve = c.releve(liste);
    nb::object r = phone_liste(liste);
    if (MemoMots::Fiche *f = releve.fiche({cles().phone.ptr(), cles().freq.ptr()})) {
        if (Releve::tenu(liste, cles().phone.ptr(), r.ptr())) {
            f->r.ortho.phone = r.ptr();
            f->connus |= MemoMots::PHONE;
        }
    }
    return r;
}

nb::object phone_de_via(Lexique &l, nb::handle mot) {
    nb::handle self = soi(&l);
    if (redefinie(self, "phone_de")) return self.attr("phone_de")(mot);
    return phone_de(l, mot);
}

// ------------------------------------------------------------------ morphology

// The function `nom` of the module bound as `_morphologie`. `natif`: it is the one
// bound at import, so its C++ twin can be called here directly, with the same effects.
struct FonctionMorpho {
    nb::object objet;
    bool natif;
};
// The function `nom` of the module bound under `module`; native when it is the one
// bound at import (`origine`).
FonctionMorpho fonction_de(NomLie &module, PyObject *nom, const nb::object &origine) {
    // Asked on every call: while the module bound at import is in place and its
    // namespace keeps its dict version, a name found native stays native.
    struct Vu {
        PyObject *nom;
        uint64_t version;
    };
    static Vu vus[8] = {};
    const bool original = module.original();
    const uint64_t version = original ? MemoMots::version(PyModule_GetDict(module.origine())) : 0;
    if (MemoMots::DISPONIBLE && original)
        for (const Vu &v : vus)
            if (v.nom == nom && v.version == version) return {origine, true};
    nb::object f = nb::steal(PyObject_GetAttr(module.objet().ptr(), nom));
    if (!f.is_valid()) throw nb::python_error();
    const bool natif = original && f.is(origine);
    if (natif)
        for (Vu &v : vus)
            if (v.nom == nom || !v.nom) {
                v = Vu{nom, version};
                break;
            }
    return {f, natif};
}
FonctionMorpho morpho(PyObject *nom, const nb::object &origine) {
    return fonction_de(liens().morphologie, nom, origine);
}
struct NomsMorpho {
    PyObject *lemme_de = cle_interne("lemme_de"), *formes_de = cle_interne("formes_de"),
             *conjuguer = cle_interne("conjuguer");
};
const NomsMorpho &noms_morpho() {
    static const NomsMorpho n;
    return n;
}

// The helper the module's own conjuguer calls, found as it finds it: by name in the
// namespace of the module (only asked while that module is the one bound at import).
nb::object personne_nombre_du_module() {
    static PyObject *const nom = cle_interne("_personne_nombre_from_entry");
    PyObject *pn = PyDict_GetItemWithError(PyModule_GetDict(liens().morphologie.objet().ptr()), nom);
    if (!pn) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_NameError, "name '_personne_nombre_from_entry' is not defined");
        throw nb::python_error();
    }
    return nb::borrow(pn);
}

nb::object lemme_de_par(nb::handle entrees) {
    FonctionMorpho f = morpho(noms_morpho().lemme_de, liens().lemme_de_origine);
    return f.natif ? morpho::lemme_de(entrees) : f.objet(entrees);
}

nb::object lemme_de(Lexique &l, nb::handle mot) {
    exiger_str(mot, "mot");
    nb::handle self = soi(&l);
    if (!l.est_sqlite() && !redefinie(self, "info")) {
        Consultation c(l, mot, index_ortho);
        FonctionMorpho f = morpho(noms_morpho().lemme_de, liens().lemme_de_origine);
        if (f.natif) c.avec(l.memo_ortho);
        if (MemoMots::Fiche *fiche = c.connue(MemoMots::LEMME)) return nb::borrow(fiche->r.ortho.lemme);
        // The function only reads the list: the index's own list serves as well as
        // the copy info() would hand out.
        PyObject *liste = c.liste();
        nb::object entrees = liste && PyList_CheckExact(liste) ? nb::borrow(liste) : nb::object(copie_de(liste));
        if (!f.natif) return f.objet(entrees);
        Releve releve = c.releve(liste);
        nb::object r = morpho::lemme_de(entrees);
        if (MemoMots::Fiche *fiche = releve.fiche({morpho::cles().lemme, morpho::cles().freq})) {
            if (Releve::tenu(liste, morpho::cles().lemme, r.ptr())) {
                fiche->r.ortho.lemme = r.ptr();
                fiche->connus |= MemoMots::LEMME;
            }
        }
        return r;
    }
    return lemme_de_par(info_via(l, mot));
}

// The library's formes_de over the rows of a cursor: the same choice, made on the
// rows themselves (the last column resolved to a name is the entry's field, as in
// the entries), and only the rows kept become entries.
nb::list formes_des_lignes(nb::handle curseur, nb::handle cgram) {
    std::vector<nb::object> noms = noms_resolus(curseur);
    Py_ssize_t col_ortho = -1, col_cgram = -1;
    for (size_t j = 0; j < noms.size(); ++j) {
        if (PyUnicode_CompareWithASCIIString(noms[j].ptr(), "ortho") == 0) col_ortho = Py_ssize_t(j);
        if (PyUnicode_CompareWithASCIIString(noms[j].ptr(), "cgram") == 0) col_cgram = Py_ssize_t(j);
    }
    curseur.attr("row_factory") = nb::none();
    nb::object lignes = nb::steal(PyObject_CallMethod(curseur.ptr(), "fetchall", nullptr));
    if (!lignes.is_valid()) throw nb::python_error();
    // str(value or ""), as the field text of an entry.
    auto texte = [](PyObject *ligne, Py_ssize_t j) -> nb::object {
        if (j < 0 || j >= PyTuple_GET_SIZE(ligne)) return nb::str("");
        PyObject *v = PyTuple_GET_ITEM(ligne, j);
        return vrai(v) ? en_texte(v) : nb::str("");
    };
    const Py_ssize_t n = PyList_GET_SIZE(lignes.ptr());
    nb::list res;
    morpho::TextesVus vues{size_t(n)};
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *ligne = PyList_GET_ITEM(lignes.ptr(), i);
        if (!cgram.is_none() && !morpho::commence_par(texte(ligne, col_cgram), cgram.ptr())) continue;
        nb::object ortho = texte(ligne, col_ortho);
        if (PyUnicode_GET_LENGTH(ortho.ptr()) == 0) continue;
        if (vues.numero(minuscules_py(ortho.ptr())).second) res.append(ligne_en_entree(noms, ligne));
    }
    return res;
}

nb::object formes_de(Lexique &l, nb::handle lemme, nb::handle cgram) {
    exiger_str(lemme, "lemme");
    exiger_str_ou_none(cgram, "cgram");
    if (l.est_sqlite()) {
        std::string sql = "SELECT * FROM " + table_de(l) + " WHERE lemme = ? COLLATE NOCASE";
        nb::list params;
        params.append(normaliser(lemme));
        if (!cgram.is_none()) {
            sql += " AND cgram LIKE ?";
            params.append(nb::str(cgram) + nb::str("%"));
        }
        nb::object cur = executer(l, sql, params);
        FonctionMorpho f = morpho(noms_morpho().formes_de, liens().formes_de_origine);
        if (f.natif) return formes_des_lignes(cur, cgram);
        return f.objet(lignes_en_entrees(cur), cgram);
    }
    Consultation c(l, lemme, index_lemme);
    FonctionMorpho f = morpho(noms_morpho().formes_de, liens().formes_de_origine);
    PyObject *filtre = cgram.is_none() ? nullptr : cgram.ptr();
    if (f.natif && (!filtre || MemoMots::cgram_notable(filtre))) c.avec(l.memo_lemme);
    if (MemoMots::Fiche *fiche = c.connue(filtre ? MemoMots::FORMES_CGRAM : MemoMots::FORMES)) {
        const uint32_t *indices;
        uint32_t nb;
        if (c.memo()->choix_de(*fiche, filtre, indices, nb))
            return MemoMots::nouvelle_liste(nb, [&](uint32_t k) { return c.memo()->entree(*fiche, indices[k]); });
    }
    PyObject *liste = c.liste();
    nb::object entrees = liste ? nb::borrow(liste) : nb::object(nb::list());
    if (!f.natif) return f.objet(entrees, cgram);
    Releve releve = c.releve(liste);
    nb::list res = morpho::formes_de(entrees, cgram);
    if (MemoMots::Fiche *fiche = releve.fiche({morpho::cles().ortho, morpho::cles().cgram})) {
        // The selection as positions in the list: the result keeps the list's order.
        std::vector<uint32_t> indices;
        const Py_ssize_t n = liste ? PyList_GET_SIZE(liste) : 0, nr = PyList_GET_SIZE(res.ptr());
        for (Py_ssize_t i = 0, j = 0; i < n && j < nr; ++i)
            if (PyList_GET_ITEM(liste, i) == PyList_GET_ITEM(res.ptr(), j)) {
                indices.push_back(uint32_t(i));
                ++j;
            }
        if (Py_ssize_t(indices.size()) == nr) c.memo()->noter_choix(*fiche, indices, filtre);
    }
    return res;
}

nb::object conjuguer(Lexique &l, nb::handle verbe) {
    exiger_str(verbe, "verbe");
    nb::object entrees;
    if (l.est_sqlite()) {
        nb::object cle = normaliser(verbe);
        nb::object cur = executer(
            l, "SELECT * FROM " + table_de(l) + " WHERE lemme = ? COLLATE NOCASE AND cgram IN ('VER', 'AUX')",
            nb::make_tuple(cle));
        FonctionMorpho f = morpho(noms_morpho().conjuguer, liens().conjuguer_origine);
        if (!f.natif) return f.objet(lignes_en_entrees(cur));
        nb::object pn = personne_nombre_du_module();
        // With the library's own conjugation, the entries are read by it alone: they
        // need only the fields it reads.
        const bool interne = pn.is(liens().personne_nombre_origine);
        entrees = interne ? lignes_en_entrees(cur, {"cgram", "mode", "temps", "ortho", "personne", "nombre", "multext"})
                          : lignes_en_entrees(cur);
        return morpho::conjuguer(entrees, interne, pn);
    }
    Consultation c(l, verbe, index_lemme);
    FonctionMorpho f = morpho(noms_morpho().conjuguer, liens().conjuguer_origine);
    if (!f.natif) {
        PyObject *liste = c.liste();
        return f.objet(liste ? nb::borrow(liste) : nb::object(nb::list()));
    }
    // Remembered tables are those of the library's own reading of person and number
    // (the helper is looked up here without failing: its absence is reported below,
    // after the list is checked). A remembered table was computed from an exact list,
    // which that check passes.
    static PyObject *const nom_pn = cle_interne("_personne_nombre_from_entry");
    if (PyDict_GetItem(PyModule_GetDict(liens().morphologie.objet().ptr()), nom_pn) ==
        liens().personne_nombre_origine.ptr())
        c.avec(l.memo_lemme);
    if (MemoMots::Fiche *fiche = c.connue(MemoMots::CONJUGAISON)) {
        // The cells are taken first: making the dicts may run finalisers that call
        // back into the lookups.
        std::vector<nb::object> cellules;
        c.memo()->plan(*fiche, cellules);
        nb::dict table;
        for (size_t k = 0; k + 3 < cellules.size(); k += 4) {
            PyObject *par_temps = morpho::sous_table(morpho::sous_table(table.ptr(), cellules[k].ptr()),
                                                     cellules[k + 1].ptr());
            if (!PyDict_SetDefault(par_temps, cellules[k + 2].ptr(), cellules[k + 3].ptr()))
                throw nb::python_error();
        }
        return std::move(table);
    }
    PyObject *liste = c.liste();
    entrees = liste ? nb::borrow(liste) : nb::object(nb::list());
    // As the module's conjuguer does: the list checked first, then the helper.
    exiger_list(entrees, "entries");
    nb::object pn = personne_nombre_du_module();
    Releve releve = c.releve(liste);
    nb::dict table = morpho::conjuguer(entrees, pn.is(liens().personne_nombre_origine), pn);
    const morpho::Cles &k = morpho::cles();
    if (MemoMots::Fiche *fiche =
            releve.fiche({k.cgram, k.mode, k.temps, k.ortho, k.personne, k.nombre, k.multext})) {
        // The table's cells in its own order: rebuilt in that order, it comes out the same.
        std::vector<PyObject *> cellules;
        PyObject *mode, *par_mode, *temps, *par_temps, *cle, *forme;
        for (Py_ssize_t i = 0; PyDict_Next(table.ptr(), &i, &mode, &par_mode);)
            for (Py_ssize_t j = 0; PyDict_Next(par_mode, &j, &temps, &par_temps);)
                for (Py_ssize_t m = 0; PyDict_Next(par_temps, &m, &cle, &forme);)
                    cellules.insert(cellules.end(), {mode, temps, cle, forme});
        c.memo()->noter_plan(*fiche, cellules);
    }
    return std::move(table);
}

// Field text for equality tests: missing -> "", else the value itself.
bool champ_egal(PyObject *e, PyObject *nom, nb::handle attendu) {
    nb::object tenu = champ(e, nom);
    PyObject *v = tenu.ptr();
    if (!v) return PyUnicode_GET_LENGTH(attendu.ptr()) == 0;
    // Two exact str compare by content, as == would, without a call.
    if (PyUnicode_CheckExact(v) && PyUnicode_CheckExact(attendu.ptr())) return str_egal(v, attendu.ptr());
    int r = PyObject_RichCompareBool(v, attendu.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// The frequency the sort reads for `e` (an exact dict), when it is a fixed number that
// sorts as itself: absent (0.0), an exact float other than NaN, or an exact int.
bool freq_figee(PyObject *e, double &f) {
    PyObject *v = PyDict_GetItemWithError(e, cles().freq.ptr());
    if (!v) {
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        f = 0.0;
        return true;
    }
    if (PyFloat_CheckExact(v)) {
        f = PyFloat_AS_DOUBLE(v);
        return !std::isnan(f);
    }
    if (!PyLong_CheckExact(v)) return false;
    f = PyLong_AsDouble(v);
    if (f == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// The answer of verbes_par_phone_et_personne read from the memo alone, when every
// pronunciation asked has a valid record that knows its verb forms for (personne,
// nombre); no object otherwise. The forms come in the order the computation meets
// them (pronunciation by pronunciation), the first of each lowered spelling kept,
// then a stable sort by decreasing frequency, as the computation does.
nb::object verbes_retenus(MemoMots *m, PyObject *phones, PyObject *personne, PyObject *nombre) {
    constexpr Py_ssize_t MAX_PHONES = 8;
    constexpr size_t MAX_FORMES = 64;
    const Py_ssize_t n = PyList_GET_SIZE(phones);
    if (!m || n > MAX_PHONES || !MemoMots::court_notable(personne) || !MemoMots::court_notable(nombre)) return {};
    MemoMots::Fiche *fiches[MAX_PHONES];
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *ph = PyList_GET_ITEM(phones, i);
        if (!PyUnicode_CheckExact(ph)) return {};
        fiches[i] = m->trouver(ph);
        if (!fiches[i]) return {};
        m->precharger_fiche(*fiches[i]);
    }
    struct Forme {
        PyObject *entree, *cle;
        double freq;
    } formes[MAX_FORMES];
    size_t nb = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const MemoMots::Verbe *verbes;
        uint32_t nv;
        if (!m->valide(*fiches[i]) || !m->verbes_de(*fiches[i], personne, nombre, verbes, nv)) return {};
        for (uint32_t k = 0; k < nv; ++k) {
            const MemoMots::Verbe &v = verbes[k];
            bool vu = false;
            for (size_t j = 0; j < nb && !vu; ++j) vu = str_egal(formes[j].cle, v.cle);
            if (vu) continue;
            if (nb == MAX_FORMES) return {};
            formes[nb++] = Forme{m->entree(*fiches[i], v.indice), v.cle, v.freq};
        }
    }
    std::stable_sort(formes, formes + nb, [](const Forme &a, const Forme &b) { return a.freq > b.freq; });
    return MemoMots::nouvelle_liste(uint32_t(nb), [&](uint32_t i) { return formes[i].entree; });
}

nb::list verbes_par_phone_et_personne(Lexique &l, nb::handle phones, nb::handle personne,
                                      nb::handle nombre) {
    exiger_list(phones, "phones");
    exiger_str(personne, "personne");
    exiger_str(nombre, "nombre");
    const bool avec_nombre = PyUnicode_GET_LENGTH(nombre.ptr()) > 0;
    nb::list res;
    nb::object vus = nb::steal(PySet_New(nullptr));
    // A row or entry without a spelling cannot be told apart from another: skip it.
    // The lowered spelling of a kept one, or no object.
    auto garder = [&](nb::handle ortho, nb::handle objet) -> nb::object {
        if (ortho.is_none()) return {};
        nb::object cle = PyUnicode_CheckExact(ortho.ptr()) ? minuscules_py(ortho.ptr()) : minuscule(ortho);
        int r = PySet_Contains(vus.ptr(), cle.ptr());
        if (r < 0) throw nb::python_error();
        if (!r) {
            PySet_Add(vus.ptr(), cle.ptr());
            res.append(objet);
        }
        return cle;
    };
    if (l.est_sqlite()) {
        const size_t n = (size_t)PyList_GET_SIZE(phones.ptr());
        std::string marques;
        for (size_t i = 0; i < n; ++i) marques += i ? ",?" : "?";
        std::string sql =
            "SELECT ortho, lemme, cgram, personne, nombre, mode, temps, freq_opensubs AS freq, phone FROM " +
            table_de(l) + " WHERE phone IN (" + marques + ") AND cgram IN ('VER', 'AUX') AND personne = ?";
        nb::list params = nb::steal<nb::list>(PyList_GetSlice(phones.ptr(), 0, (Py_ssize_t)n));
        params.append(personne);
        if (avec_nombre) {
            sql += " AND nombre = ?";
            params.append(nombre);
        }
        sql += " ORDER BY freq_opensubs DESC";
        nb::object cur = executer(l, sql, params);
        DictsDeLignes en_dict;
        for (nb::handle r : cur.attr("fetchall")()) garder(r["ortho"], en_dict(r));
        return res;
    }
    nb::object index = index_phone(l);
    // The verb forms of each pronunciation are remembered in the memo of the
    // pronunciations (the one homophones reads), for one (personne, nombre) at a time.
    MemoMots *m = nullptr;
    if (MemoMots::DISPONIBLE && PyDict_CheckExact(index.ptr()) && MemoMots::court_notable(personne.ptr()) &&
        MemoMots::court_notable(nombre.ptr())) {
        l.memo_phone.suivre(index.ptr());
        m = &l.memo_phone;
        nb::object r = verbes_retenus(m, phones.ptr(), personne.ptr(), nombre.ptr());
        if (r.is_valid()) return nb::steal<nb::list>(r.release());
    }
    nb::str ver("VER"), aux("AUX");
    Cles &k = cles();
    std::vector<MemoMots::Verbe> choisis;
    std::vector<nb::object> cles_choisies;  // alive until recorded
    for (nb::handle ph : nb::list(phones)) {
        nb::object tenue = sous_cle(index, ph);
        PyObject *liste = tenue.ptr();
        std::optional<Releve> releve;
        if (m && PyUnicode_CheckExact(ph.ptr())) releve.emplace(m, index, ph, liste);
        choisis.clear();
        cles_choisies.clear();
        bool figees = true;  // every kept form's frequency
        uint32_t j = 0;
        if (liste) {
            for (nb::handle e : nb::handle(liste)) {
                const uint32_t rang = j++;
                if (!champ_egal(e.ptr(), k.cgram.ptr(), ver) && !champ_egal(e.ptr(), k.cgram.ptr(), aux)) continue;
                if (!champ_egal(e.ptr(), k.personne.ptr(), personne)) continue;
                if (avec_nombre && !champ_egal(e.ptr(), k.nombre.ptr(), nombre)) continue;
                nb::object o = champ(e.ptr(), k.ortho.ptr());
                if (!o.is_valid()) continue;
                nb::object cle = garder(o, e);
                if (!cle.is_valid() || !releve) continue;
                double f = 0.0;
                figees = figees && PyDict_CheckExact(e.ptr()) && freq_figee(e.ptr(), f);
                choisis.push_back(MemoMots::Verbe{rang, cle.ptr(), f});
                cles_choisies.push_back(std::move(cle));
            }
        }
        if (!releve || !figees) continue;
        if (MemoMots::Fiche *f = releve->fiche({k.cgram.ptr(), k.personne.ptr(), k.nombre.ptr(), k.ortho.ptr(),
                                                k.freq.ptr()}))
            m->noter_verbes(*f, personne.ptr(), nombre.ptr(), choisis);
    }
    trier_par_freq(res);
    return res;
}

// ------------------------------------------------------------------ meanings

// definition, synonymes, antonymes: the function of _semantique over the entries of
// info(mot). While the function is the one bound at import and info is not redefined,
// it reads the index's own list, and its answer is remembered.
nb::object sens_de(Lexique &l, nb::handle mot, MemoMots::Connu quoi) {
    exiger_str(mot, "mot");
    static PyObject *const noms[3] = {cle_interne("synonymes"), cle_interne("antonymes"), cle_interne("definition")};
    const int k = quoi == MemoMots::SYNONYMES ? 0 : quoi == MemoMots::ANTONYMES ? 1 : 2;
    const LiensLexique &L = liens();
    const nb::object *origines[3] = {&L.synonymes_origine, &L.antonymes_origine, &L.definition_origine};
    FonctionMorpho f = fonction_de(liens().semantique, noms[k], *origines[k]);
    if (!f.natif || l.est_sqlite() || redefinie(soi(&l), "info")) return f.objet(info_via(l, mot));
    // A word remembered in the memo of the index as it stands, answered first.
    PyObject *ix = index_ortho_deja_la(l);
    if (MemoMots::DISPONIBLE && ix && PyUnicode_CheckExact(mot.ptr()) && liens().normaliser_ortho.original() &&
        l.memo_ortho.a_jour(ix))
        if (MemoMots::Fiche *fiche = fiche_connue(&l.memo_ortho, mot, quoi)) return l.memo_ortho.textes(*fiche, quoi);
    Consultation c(l, mot, index_ortho);
    c.avec(l.memo_ortho);
    if (MemoMots::Fiche *fiche = c.connue(quoi)) return c.memo()->textes(*fiche, quoi);
    PyObject *liste = c.liste();
    nb::object entrees = liste && PyList_CheckExact(liste) ? nb::borrow(liste) : nb::object(copie_de(liste));
    Releve releve = c.releve(liste);
    nb::list res = k == 2 ? semantique::definitions_distinctes(entrees)
                          : semantique::liste_separee(entrees, noms[k]);
    if (MemoMots::Fiche *fiche = releve.fiche({noms[k]})) c.memo()->noter_textes(*fiche, quoi, res);
    return std::move(res);
}

nb::list definitions(Lexique &l, nb::handle mot, nb::handle cgram) {
    exiger_str(mot, "mot");
    exiger_str_ou_none(cgram, "cgram");
    nb::list res;
    if (!l.est_sqlite()) return res;
    nb::object conn = obtenir_conn(l);
    nb::object lignes;
    try {
        nb::object cur;
        if (!cgram.is_none() && PyUnicode_GET_LENGTH(cgram.ptr()) > 0)
            cur = conn.attr("execute")(
                "SELECT * FROM definitions WHERE lemme = ? COLLATE NOCASE AND cgram = ? ORDER BY cgram, sens_num",
                nb::make_tuple(mot, cgram));
        else
            cur = conn.attr("execute")(
                "SELECT * FROM definitions WHERE lemme = ? COLLATE NOCASE ORDER BY cgram, sens_num",
                nb::make_tuple(mot));
        lignes = cur.attr("fetchall")();
    } catch (nb::python_error &e) {
        if (e.matches(liens().sqlite3.attr("OperationalError"))) return nb::list();
        throw;
    }
    const char *listes[] = {"exemples", "synonymes", "antonymes", "tags"};
    DictsDeLignes en_dict;
    for (nb::handle r : lignes) {
        nb::dict d = en_dict(r);
        for (const char *nom : listes) {
            nb::object v = d.attr("get")(nom);
            nb::list morceaux;
            if (PyObject_IsTrue(v.ptr())) {
                // Split without converting to text: a non-text cell fails here.
                for (nb::handle p : v.attr("split")(";")) {
                    nb::object t = p.attr("strip")();
                    if (PyObject_IsTrue(t.ptr())) morceaux.append(t);
                }
            }
            d[nom] = morceaux;
        }
        res.append(d);
    }
    return res;
}

nb::object definition(Lexique &l, nb::handle mot) { return sens_de(l, mot, MemoMots::DEFINITION); }
nb::object synonymes(Lexique &l, nb::handle mot) { return sens_de(l, mot, MemoMots::SYNONYMES); }
nb::object antonymes(Lexique &l, nb::handle mot) { return sens_de(l, mot, MemoMots::ANTONYMES); }

}  // namespace

void lier_mots(ClasseLexique &c) {
    c.def("info", &info, nb::arg("mot").none(), nb::sig("def info(self, mot: str) -> list[dict[str, Any]]"),
          "Retourne les entrees lexicales completes pour un mot.");
    c.def("homophones", &homophones, nb::arg("phone").none(),
          nb::sig("def homophones(self, phone: str) -> list[dict[str, Any]]"),
          "Retourne tous les mots ayant cette prononciation.\n\n"
          "Chaque dict contient au minimum : ortho, cgram, freq.");
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
          "Resultat : mode -> temps -> personne (1s, 2s, ..., 3p) -> forme.");
    c.def("verbes_par_phone_et_personne", &verbes_par_phone_et_personne, nb::arg("phones").none(),
          nb::arg("personne").none(), nb::arg("nombre").none(),
          nb::sig("def verbes_par_phone_et_personne(self, phones: list[str], personne: str, nombre: str) "
                  "-> list[dict[str, Any]]"),
          "Trouve les formes verbales correspondant a une liste de phones et personne.\n\n"
          "Args:\n"
          "    phones: Liste de transcriptions IPA (la transcription entendue et ses variantes proches)\n"
          "    personne: '1', '2' ou '3'\n"
          "    nombre: 's' ou 'p' ('' : sans condition de nombre)\n\n"
          "Les lignes sans orthographe sont ignorees.");
    c.def("definitions", &definitions, nb::arg("mot").none(), nb::arg("cgram").none() = nb::none(),
          nb::sig("def definitions(self, mot: str, cgram: str | None = None) -> list[dict[str, Any]]"),
          "Definitions multiples depuis la table definitions.\n\n"
          "Retourne [] si la table est absente (compatibilite anciennes BDD).\n"
          "Ordonne par cgram, sens_num.");
    c.def("definition", &definition, nb::arg("mot").none(), nb::sig("def definition(self, mot: str) -> list[str]"),
          "Definitions d'un mot.");
    c.def("synonymes", &synonymes, nb::arg("mot").none(), nb::sig("def synonymes(self, mot: str) -> list[str]"),
          "Synonymes d'un mot (colonne 'synonymes', separateur ;).");
    c.def("antonymes", &antonymes, nb::arg("mot").none(), nb::sig("def antonymes(self, mot: str) -> list[str]"),
          "Antonymes d'un mot (colonne 'antonymes', separateur ;).");
    // The lookups a program calls by the thousand, reached without nanobind's dispatch.
    MethodeDirecte<Lexique, &info, 1>::installer(c, "info");
    MethodeDirecte<Lexique, &homophones, 1>::installer(c, "homophones");
    MethodeDirecte<Lexique, &frequence, 1>::installer(c, "frequence");
    MethodeDirecte<Lexique, &phone_de, 1>::installer(c, "phone_de");
    MethodeDirecte<Lexique, &lemme_de, 1>::installer(c, "lemme_de");
    MethodeDirecte<Lexique, &formes_de, 1, 2>::installer(c, "formes_de");
    MethodeDirecte<Lexique, &conjuguer, 1>::installer(c, "conjuguer");
    MethodeDirecte<Lexique, &verbes_par_phone_et_personne, 3>::installer(c, "verbes_par_phone_et_personne");
    MethodeDirecte<Lexique, &definitions, 1, 2>::installer(c, "definitions");
    MethodeDirecte<Lexique, &definition, 1>::installer(c, "definition");
    MethodeDirecte<Lexique, &synonymes, 1>::installer(c, "synonymes");
    MethodeDirecte<Lexique, &antonymes, 1>::installer(c, "antonymes");
}

// Used by the phonetic queries (rimes starts from the most frequent pronunciation).
nb::object phone_de_lexique(Lexique &l, nb::handle mot) { return phone_de_via(l, mot); }

}  // namespace brivane::py
