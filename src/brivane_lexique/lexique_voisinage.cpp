// Lexique: neighbours, OLD20/PLD20, uniqueness points, homographs and homophones.
//
// The spellings come from the forms set (level 1, on both backends), the pronunciations
// from the phone index (CSV/TSV) or one grouped statement (SQLite). Each set is copied
// into a trie on first need and kept while its source is the same object, unchanged.
#include "_cpython.hpp"
#include "_voisinage_commun.hpp"
#include "lexique.hpp"

#include <memory>
#include <unordered_map>

namespace nb = nanobind;

namespace brivane::py {

struct EtatVoisinage {
    std::shared_ptr<const RepertoireVoisinage> ortho, phon;
    nb::object source_ortho, source_phon;  // the frozenset / dict they were built from
    Sceau sceau_phon;
    bool phon_scelle = false;
    size_t taille_phon = 0;
    // SQLite only: rows per lower(ortho) and per phone.
    bool comptes_ortho = false;
    std::unordered_map<std::string, size_t> par_ortho, par_phone;
};

namespace {

EtatVoisinage &etat(Lexique &l) {
    if (!l.voisinage) l.voisinage = std::make_shared<EtatVoisinage>();
    return *l.voisinage;
}

std::string table_de(Lexique &l) { return nb::cast<std::string>(nb::str(l.table)); }

std::shared_ptr<const RepertoireVoisinage> construire(std::vector<std::string> textes, bool phonemes) {
    nb::gil_scoped_release libre;
    return std::make_shared<const RepertoireVoisinage>(textes, phonemes);
}

// Shared pointers: a caller keeps its trie alive even if another thread rebuilds it
// while the GIL is released.
std::shared_ptr<const RepertoireVoisinage> repertoire_ortho(Lexique &l) {
    EtatVoisinage &e = etat(l);
    if (e.ortho && e.source_ortho.is(l.formes)) return e.ortho;
    std::vector<std::string> textes;
    nb::object formes = l.formes;
    for (nb::handle f : formes)
        if (PyUnicode_Check(f.ptr())) textes.emplace_back(utf8(f.ptr()));  // SQLite may hold a null spelling
    e.ortho = construire(std::move(textes), false);
    e.source_ortho = formes;
    return e.ortho;
}

// SQLite: the texts of the (text, count) rows of `sql`, their counts added into `comptes`.
std::vector<std::string> lire_comptes(Lexique &l, const std::string &sql,
                                      std::unordered_map<std::string, size_t> &comptes) {
    std::vector<std::string> textes;
    for (nb::handle ligne : executer_sql(obtenir_conn(l), sql).attr("fetchall")()) {
        nb::object t = ligne[0];
        if (!PyUnicode_Check(t.ptr())) continue;
        textes.emplace_back(utf8(t.ptr()));
        comptes[textes.back()] += nb::cast<size_t>(ligne[1]);
    }
    return textes;
}

std::shared_ptr<const RepertoireVoisinage> repertoire_phon(Lexique &l) {
    EtatVoisinage &e = etat(l);
    if (l.est_sqlite()) {
        // The distinct pronunciations and their row counts, read once.
        if (!e.phon) {
            e.par_phone.clear();
            e.phon = construire(lire_comptes(l, "SELECT phone, count(*) FROM " + table_de(l) +
                                                    " WHERE phone IS NOT NULL AND phone != '' AND ortho IS NOT NULL"
                                                    " AND ortho != '' GROUP BY phone",
                                             e.par_phone),
                                true);
        }
        return e.phon;
    }
    nb::object index = index_phone(l);
    if (e.phon && e.source_phon.is(index) &&
        (e.phon_scelle ? e.sceau_phon.intact() : (size_t)nb::len(index) == e.taille_phon))
        return e.phon;
    std::vector<std::string> textes;
    for (nb::handle cle : nb::borrow<nb::dict>(index).keys())
        if (PyUnicode_Check(cle.ptr())) textes.emplace_back(utf8(cle.ptr()));
    e.phon = construire(std::move(textes), true);
    e.source_phon = index;
    e.taille_phon = (size_t)nb::len(index);
    e.sceau_phon.ouvrir();
    e.phon_scelle = e.sceau_phon.ajouter(index.ptr());
    return e.phon;
}

// Rows of a text lexicon's `index` under `cle`.
size_t nb_dans_index(nb::handle index, nb::handle cle) {
    PyObject *v = PyDict_GetItemWithError(index.ptr(), cle.ptr());
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v ? (size_t)PyObject_Length(v) : 0;
}

size_t nb_dans_comptes(const std::unordered_map<std::string, size_t> &comptes, nb::handle cle) {
    auto it = comptes.find(std::string(utf8(cle.ptr())));
    return it == comptes.end() ? 0 : it->second;
}

// Rows of the lexicon whose spelling is `cle` (normalised).
size_t nb_lignes_ortho(Lexique &l, nb::handle cle) {
    if (!l.est_sqlite()) return nb_dans_index(index_ortho(l), cle);
    EtatVoisinage &e = etat(l);
    if (!e.comptes_ortho) {
        lire_comptes(l, "SELECT lower(ortho), count(*) FROM " + table_de(l) +
                            " WHERE ortho IS NOT NULL GROUP BY lower(ortho)",
                     e.par_ortho);
        e.comptes_ortho = true;
    }
    return nb_dans_comptes(e.par_ortho, cle);
}

// Rows of the lexicon pronounced exactly `phone`.
size_t nb_lignes_phone(Lexique &l, nb::handle phone) {
    if (!l.est_sqlite()) return nb_dans_index(index_phone(l), phone);
    repertoire_phon(l);
    return nb_dans_comptes(etat(l).par_phone, phone);
}

// The pronunciation measured for `mot`: `phone` when given, else the most frequent one
// of the lexicon; None when there is none.
nb::object phone_pour(Lexique &l, nb::handle mot, nb::handle phone) {
    if (!phone.is_none()) {
        exiger_str(phone, "phone");
        return nb::borrow(phone);
    }
    nb::object p = phone_de_lexique(l, mot);
    if (!PyUnicode_Check(p.ptr()) || PyUnicode_GetLength(p.ptr()) == 0) return nb::none();
    return p;
}

// Search `r` for `mot` (normalised) among the spellings.
nb::object sur_ortho(Lexique &l, nb::handle mot, Recherche r, size_t n = 0) {
    exiger_str(mot, "mot");
    auto tient = repertoire_ortho(l);  // kept alive if another thread rebuilds it meanwhile
    return chercher(*tient, tient->coder(utf8(normaliser(mot).ptr())), r, n);
}

// Search `r` for the pronunciation of `mot` among the pronunciations; `sans` without one.
nb::object sur_phon(Lexique &l, nb::handle mot, nb::handle phone, Recherche r, nb::object sans, size_t n = 0) {
    exiger_str(mot, "mot");
    nb::object p = phone_pour(l, mot, phone);
    if (p.is_none()) return sans;
    auto tient = repertoire_phon(l);
    return chercher(*tient, tient->coder(utf8(p.ptr())), r, n);
}

// One word of mesures(), read while the GIL is held.
struct MotMesure {
    nb::object mot;
    std::u32string ortho, phon;
    bool a_phone = false;
    size_t homographes = 0, homophones = 0;
    MesuresVoisinage ortho_mes, phon_mes;
};

std::vector<MotMesure> lire_mots(Lexique &l, nb::handle mots, nb::handle phones) {
    if (!phones.is_none()) exiger_dict(phones, "phones");
    nb::list liste;
    if (PyUnicode_Check(mots.ptr())) {
        exiger_str(mots, "mots");
        liste.append(mots);
    } else {
        liste = mots_de(mots, "mots");
    }
    auto tient_ortho = repertoire_ortho(l);
    const RepertoireVoisinage &ro = *tient_ortho;
    std::shared_ptr<const RepertoireVoisinage> rp;
    nb::dict vus;
    std::vector<MotMesure> res;
    Interruptible interruption;  // on SQLite each word costs a few statements
    for (nb::handle mot : liste) {
        interruption();
        if (vus.contains(mot)) continue;
        vus[mot] = nb::none();
        MotMesure m;
        m.mot = nb::borrow(mot);
        nb::object cle = normaliser(mot);
        m.ortho = ro.coder(utf8(cle.ptr()));
        m.homographes = nb_lignes_ortho(l, cle);
        nb::handle donne = nb::none();
        if (!phones.is_none()) {
            PyObject *v = PyDict_GetItemWithError(phones.ptr(), mot.ptr());
            if (!v && PyErr_Occurred()) throw nb::python_error();
            if (v) donne = v;
        }
        nb::object p = phone_pour(l, mot, donne);
        if (!p.is_none()) {
            if (!rp) rp = repertoire_phon(l);
            m.phon = rp->coder(utf8(p.ptr()));
            m.a_phone = true;
            m.homophones = nb_lignes_phone(l, p);
        }
        res.push_back(std::move(m));
    }
    return res;
}

void calculer(Lexique &l, std::vector<MotMesure> &mots, size_t n) {
    std::vector<std::u32string> orthos, phons;
    std::vector<size_t> avec_phone;
    for (size_t i = 0; i < mots.size(); ++i) {
        orthos.push_back(mots[i].ortho);
        if (mots[i].a_phone) phons.push_back(mots[i].phon), avec_phone.push_back(i);
    }
    std::vector<MesuresVoisinage> o = mesurer(repertoire_ortho(l)->arbre(), orthos, n);
    for (size_t i = 0; i < mots.size(); ++i) mots[i].ortho_mes = o[i];
    if (phons.empty()) return;
    std::vector<MesuresVoisinage> p = mesurer(repertoire_phon(l)->arbre(), phons, n);
    for (size_t j = 0; j < avec_phone.size(); ++j) mots[avec_phone[j]].phon_mes = p[j];
}

nb::dict mesures(Lexique &l, nb::handle mots, nb::handle n, nb::handle phones) {
    size_t k = n_plus_proches(n);
    std::vector<MotMesure> lus = lire_mots(l, mots, phones);
    calculer(l, lus, k);
    nb::dict res;
    for (const MotMesure &m : lus) {
        nb::dict d;
        d["old20"] = reel_ou_none(m.ortho_mes.distance);
        d["pld20"] = reel_ou_none(m.phon_mes.distance);
        d["n_ortho"] = nb::int_(m.ortho_mes.voisins);
        d["n_phon"] = m.a_phone ? nb::object(nb::int_(m.phon_mes.voisins)) : nb::none();
        d["pu_ortho"] = nb::int_(m.ortho_mes.unicite);
        d["pu_phon"] = m.a_phone ? nb::object(nb::int_(m.phon_mes.unicite)) : nb::none();
        d["homographes"] = nb::int_(m.homographes);
        d["homophones"] = nb::int_(m.homophones);
        res[m.mot] = d;
    }
    return res;
}

const char *const DOC_PHONE =
    "La prononciation est phone quand il est donne, sinon la plus frequente du\n"
    "mot dans le lexique (phone_de) ; elle est comparee phoneme par phoneme, les\n"
    "phonemes decoupes comme _tokenize_ipa les decoupe, aux prononciations\n"
    "distinctes du lexique.";

}  // namespace

void lier_voisinage(ClasseLexique &c, nb::module_ &m) {
    lier_mode_balayage(m);
    const std::string phone = DOC_PHONE;
    const auto mot = nb::arg("mot").none();
    const auto n20 = nb::arg("n").none() = 20, ph = nb::arg("phone").none() = nb::none();
    c.def("voisins", [](Lexique &l, nb::handle m) { return sur_ortho(l, m, Recherche::voisins); }, mot,
          nb::sig("def voisins(self, mot: str) -> list[str]"),
          "Voisins orthographiques par substitution (N de Coltheart = leur nombre).\n\n"
          "Les orthographes distinctes du lexique de meme longueur que mot (normalise)\n"
          "qui en different par une seule lettre substituee ; mot lui-meme exclu.\n"
          "Liste triee. mot peut etre absent du lexique (pseudo-mot).");
    c.def("voisins_levenshtein", [](Lexique &l, nb::handle m) { return sur_ortho(l, m, Recherche::levenshtein); },
          mot, nb::sig("def voisins_levenshtein(self, mot: str) -> list[str]"),
          "Voisins orthographiques de Levenshtein 1.\n\n"
          "Les orthographes distinctes du lexique a une substitution, une insertion\n"
          "ou une suppression de mot (normalise) ; mot lui-meme exclu. Liste triee.");
    c.def("voisins_phon",
          [](Lexique &l, nb::handle m, nb::handle p) { return sur_phon(l, m, p, Recherche::voisins, nb::list()); },
          mot, ph, nb::sig("def voisins_phon(self, mot: str, phone: str | None = None) -> list[str]"),
          ("Voisins phonologiques par substitution (prononciations).\n\n"
           "Les prononciations distinctes du lexique de meme nombre de phonemes qui\n"
           "different de celle de mot par un seul phoneme substitue. Liste triee ;\n"
           "[] sans prononciation.\n" + phone).c_str());
    c.def("voisins_phon_levenshtein",
          [](Lexique &l, nb::handle m, nb::handle p) { return sur_phon(l, m, p, Recherche::levenshtein, nb::list()); },
          mot, ph, nb::sig("def voisins_phon_levenshtein(self, mot: str, phone: str | None = None) -> list[str]"),
          ("Voisins phonologiques de Levenshtein 1 (prononciations).\n\n"
           "Les prononciations distinctes a un phoneme substitue, insere ou supprime\n"
           "de celle de mot. Liste triee ; [] sans prononciation.\n" + phone).c_str());
    c.def("old20",
          [](Lexique &l, nb::handle m, nb::handle k) {
              exiger_str(m, "mot");
              return sur_ortho(l, m, Recherche::distance, n_plus_proches(k));
          },
          mot, n20, nb::sig("def old20(self, mot: str, n: int = 20) -> float | None"),
          "OLD20 : distance de Levenshtein moyenne aux n orthographes les plus proches.\n\n"
          "Moyenne des distances de mot (normalise) aux n orthographes distinctes du\n"
          "lexique les plus proches, mot lui-meme exclu ; pour un pseudo-mot, sa\n"
          "distance aux mots du lexique. Moins de n autres orthographes : moyenne sur\n"
          "toutes ; aucune : None. ValueError si n < 1.");
    c.def("pld20",
          [](Lexique &l, nb::handle m, nb::handle k, nb::handle p) {
              exiger_str(m, "mot");
              return sur_phon(l, m, p, Recherche::distance, nb::none(), n_plus_proches(k));
          },
          mot, n20, ph, nb::sig("def pld20(self, mot: str, n: int = 20, phone: str | None = None) -> float | None"),
          ("PLD20 : distance moyenne (en phonemes) aux n prononciations les plus proches.\n\n"
           "Comme old20, sur les prononciations distinctes du lexique, la prononciation\n"
           "de mot exclue. None sans prononciation.\n" + phone).c_str());
    c.def("point_unicite", [](Lexique &l, nb::handle m) { return sur_ortho(l, m, Recherche::unicite); }, mot,
          nb::sig("def point_unicite(self, mot: str) -> int"),
          "Point d'unicite orthographique de mot (position a partir de 1).\n\n"
          "La position de la lettre a partir de laquelle aucune autre orthographe du\n"
          "lexique ne commence comme mot (normalise). Quand il n'y en a pas (mot est\n"
          "le debut d'un autre mot, comme chat de chaton), la reponse est\n"
          "len(mot) + 1.");
    c.def("point_unicite_phon",
          [](Lexique &l, nb::handle m, nb::handle p) { return sur_phon(l, m, p, Recherche::unicite, nb::none()); },
          mot, ph, nb::sig("def point_unicite_phon(self, mot: str, phone: str | None = None) -> int | None"),
          ("Point d'unicite phonologique de mot (position a partir de 1).\n\n"
           "La position du phoneme a partir duquel aucune autre prononciation du\n"
           "lexique ne commence comme celle de mot ; nombre de phonemes + 1 quand il\n"
           "n'y en a pas ; None sans prononciation.\n" + phone).c_str());
    c.def(
        "nb_homographes",
        [](Lexique &l, nb::handle m) {
            exiger_str(m, "mot");
            return nb_lignes_ortho(l, normaliser(m));
        },
        mot, nb::sig("def nb_homographes(self, mot: str) -> int"),
        "Nombre de lignes du lexique dont l'orthographe est celle de mot.\n\n"
        "Le mot lui-meme compte (1 pour un mot sans homographe, 0 s'il est absent).");
    c.def(
        "nb_homophones",
        [](Lexique &l, nb::handle m, nb::handle p) -> size_t {
            exiger_str(m, "mot");
            nb::object phone = phone_pour(l, m, p);
            return phone.is_none() ? 0 : nb_lignes_phone(l, phone);
        },
        mot, ph, nb::sig("def nb_homophones(self, mot: str, phone: str | None = None) -> int"),
        ("Nombre de lignes du lexique dont la prononciation est celle de mot.\n\n"
         "Le mot lui-meme compte ; 0 sans prononciation.\n" + phone).c_str());
    c.def("mesures", &mesures, nb::arg("mots").none(), n20, nb::arg("phones").none() = nb::none(),
          nb::sig("def mesures(self, mots: str | Iterable[str], n: int = 20, "
                  "phones: dict[str, str] | None = None) -> dict[str, dict[str, Any]]"),
          "Mesures de voisinage d'un mot ou de chaque mot d'une liste.\n\n"
          "Un dict par mot distinct, cle = le mot tel que donne, dans l'ordre de\n"
          "mots, avec exactement les cles old20, pld20, n_ortho, n_phon, pu_ortho,\n"
          "pu_phon, homographes, homophones (voir old20, pld20, voisins,\n"
          "voisins_phon, point_unicite, point_unicite_phon, nb_homographes,\n"
          "nb_homophones ; old20 et pld20 avec ce n). Les mots peuvent etre\n"
          "absents du lexique (pseudo-mots). La prononciation d'un mot est\n"
          "phones[mot] quand phones la donne, sinon la plus frequente du lexique ;\n"
          "sans prononciation, pld20, n_phon et pu_phon valent None. Le calcul se\n"
          "fait hors du GIL, sur tous les coeurs de la machine.");
}

}  // namespace brivane::py
