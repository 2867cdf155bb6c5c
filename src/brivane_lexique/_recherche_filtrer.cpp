// Multi-criteria filter over a stream of entries (registered by _recherche.cpp).
#include "_recherche_cache.hpp"

#include <algorithm>
#include <optional>

namespace nb = nanobind;

namespace brivane::py {

namespace {

// raw != "": only a text can equal the empty text among the usual values.
bool non_vide(PyObject *v) {
    if (PyUnicode_CheckExact(v)) return PyUnicode_GET_LENGTH(v) != 0;
    if (PyFloat_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v)) return true;
    int r = PyObject_RichCompareBool(v, noms().vide, Py_NE);
    if (r < 0) throw nb::python_error();
    return r != 0;
}

// A value is present when it is not None and differs from "".
bool present(const nb::object &v) { return !est_nul(v) && non_vide(v.ptr()); }

// Field text of phone with surrounding white space removed is not empty.
bool phone_present(PyObject *e) {
    nb::object t = texte_champ(e, noms().phone);
    PyObject *s = t.ptr();
    if (!PyUnicode_CheckExact(s)) {  // a str subclass may redefine strip()
        nb::object r = nb::steal(PyObject_CallMethodNoArgs(s, noms().strip));
        if (!r.is_valid()) throw nb::python_error();
        return vrai(r.ptr());
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    int kind = PyUnicode_KIND(s);
    const void *d = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!Py_UNICODE_ISSPACE(PyUnicode_READ(kind, d, i))) return true;
    return false;
}

// Field text of `nom` compared with a criterion (equality, or prefix for cgram).
bool texte_accepte(PyObject *e, PyObject *nom, PyObject *critere, bool prefixe) {
    nb::object t = texte_champ(e, nom);
    PyObject *s = t.ptr();
    if (PyUnicode_CheckExact(s)) return prefixe ? str_commence_par(s, critere) : str_egal(s, critere);
    // A str subclass answers with its own methods, as the host would.
    nb::object r = prefixe ? nb::steal(PyObject_CallMethod(s, "startswith", "O", critere))
                           : nb::steal(PyObject_RichCompare(s, critere, Py_EQ));
    if (!r.is_valid()) throw nb::python_error();
    return vrai(r.ptr());
}

// CPython 3.11's list iterator and itertools.chain objects, as laid out in
// Objects/listobject.c and Modules/itertoolsmodule.c. Built for another version,
// the module never looks inside them.
#if PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
constexpr bool DISPOSITION_CONNUE = true;
#else
constexpr bool DISPOSITION_CONNUE = false;
#endif
struct IterListe {
    PyObject_HEAD
    Py_ssize_t it_index;
    PyObject *it_seq;  // NULL once exhausted
};
struct Chaine {
    PyObject_HEAD
    PyObject *source;
    PyObject *active;
};

struct IterDict {
    PyObject_HEAD
    PyObject *di_dict;  // NULL once exhausted
    Py_ssize_t di_used;
    Py_ssize_t di_pos;
    PyObject *di_result;
    Py_ssize_t len;
};

PyTypeObject *type_chaine() {
    static PyTypeObject *t = [] {
        nb::object c = nb::module_::import_("itertools").attr("chain");
        PyTypeObject *r = reinterpret_cast<PyTypeObject *>(c.release().ptr());
        // A layout other than the one mirrored here: never look inside.
        return DISPOSITION_CONNUE && r->tp_basicsize == (Py_ssize_t)sizeof(Chaine) ? r : nullptr;
    }();
    return t;
}

// An itertools.chain reading the values of a dict (chain.from_iterable(d.values()))
// whose current list, if any, is used up: the next lists can be read in place.
Chaine *chaine_sur_dict(PyObject *flux) {
    if (!type_chaine() || Py_TYPE(flux) != type_chaine()) return nullptr;
    if (PyDictIterValue_Type.tp_basicsize != (Py_ssize_t)sizeof(IterDict)) return nullptr;
    Chaine *ch = reinterpret_cast<Chaine *>(flux);
    if (!ch->source || Py_TYPE(ch->source) != &PyDictIterValue_Type) return nullptr;
    IterDict *di = reinterpret_cast<IterDict *>(ch->source);
    if (!di->di_dict || !PyDict_CheckExact(di->di_dict) || di->di_used != PyDict_GET_SIZE(di->di_dict) || di->len <= 0)
        return nullptr;  // the host's own next() reports these states
    if (PyObject *a = ch->active) {
        if (Py_TYPE(a) != &PyListIter_Type) return nullptr;
        IterListe *l = reinterpret_cast<IterListe *>(a);
        if (l->it_seq && l->it_index < PyList_GET_SIZE(l->it_seq)) return nullptr;
    }
    return ch;
}

// Makes `ch` read list `v` from position j on, as if the host had been iterating it.
void installer_liste(Chaine *ch, PyObject *v, Py_ssize_t j) {
    PyObject *li = PyObject_GetIter(v);
    if (!li) throw nb::python_error();
    reinterpret_cast<IterListe *>(li)->it_index = j;
    Py_XSETREF(ch->active, li);
}

// The list iterator a stream is reading from right now: the stream itself, or the
// active iterator of an itertools.chain (Lexique hands chain.from_iterable over
// the index lists). nullptr for anything else, which is iterated normally.
PyObject *iterateur_de_liste(PyObject *flux) {
    if (!DISPOSITION_CONNUE) return nullptr;
    if (Py_TYPE(flux) == &PyListIter_Type) return flux;
    if (type_chaine() && Py_TYPE(flux) == type_chaine()) {
        PyObject *a = reinterpret_cast<Chaine *>(flux)->active;
        if (a && Py_TYPE(a) == &PyListIter_Type) return a;
    }
    return nullptr;
}

std::optional<double> reel_critere(nb::handle h, const char *nom) {
    if (h.is_none()) return std::nullopt;
    return reel_arg(h, nom);
}
PyObject *texte_critere(nb::handle h, const char *nom) {
    exiger_str_ou_none(h, nom);
    return h.is_none() ? nullptr : h.ptr();
}
int booleen_critere(nb::handle h, const char *nom) {
    if (h.is_none()) return -1;
    if (h.ptr() == Py_True) return 1;
    if (h.ptr() == Py_False) return 0;
    erreur_type(nom, "bool", h.ptr());
}

const NomLie *nom_nb_syllabes = nullptr;
PyObject *dict_module = nullptr;  // borrowed: the module outlives its functions

nb::list filtrer(nb::handle entries_iter, nb::handle cgram_h, nb::handle genre_h, nb::handle nombre_h,
                 nb::handle freq_min_h, nb::handle freq_max_h, nb::handle nb_syllabes_h, nb::handle age_min_h,
                 nb::handle age_max_h, nb::handle illustrable_min_h, nb::handle categorie_h,
                 nb::handle has_age_h, nb::handle has_phone_h, nb::handle limite_h) {
    PyObject *cgram = texte_critere(cgram_h, "cgram");
    PyObject *genre = texte_critere(genre_h, "genre");
    PyObject *nombre = texte_critere(nombre_h, "nombre");
    auto freq_min = reel_critere(freq_min_h, "freq_min");
    auto freq_max = reel_critere(freq_max_h, "freq_max");
    std::optional<long long> nb_syll;
    if (!nb_syllabes_h.is_none()) nb_syll = entier_arg(nb_syllabes_h, "nb_syllabes");
    auto age_min = reel_critere(age_min_h, "age_min");
    auto age_max = reel_critere(age_max_h, "age_max");
    auto illustrable_min = reel_critere(illustrable_min_h, "illustrable_min");
    PyObject *categorie = texte_critere(categorie_h, "categorie");
    int has_age = booleen_critere(has_age_h, "has_age");
    int has_phone = booleen_critere(has_phone_h, "has_phone");
    long long limite = entier_arg(limite_h, "limite");
    nb::object nb_syll_objet;
    if (nb_syll) nb_syll_objet = nb::steal(PyLong_FromLongLong(*nb_syll));

    const NomsChamps &k = noms();
    nb::object it = nb::steal(PyObject_GetIter(entries_iter.ptr()));
    if (!it.is_valid()) throw nb::python_error();
    nb::list resultats;
    Py_ssize_t gardes = 0;

    AppelFiches appel;
    Fiches &F = *appel;
    // Text criteria as ids of the records' text table (added now, so that an entry
    // recorded during this call gets the same id for the same text).
    const int32_t id_genre = genre ? F.textes.id(genre) : -1;
    const int32_t id_nombre = nombre ? F.textes.id(nombre) : -1;
    const int32_t id_categorie = categorie ? F.textes.id(categorie) : -1;
    std::vector<int8_t> prefixe;  // cgram prefix verdict per text id
    // Only the values the given criteria read (the frequency is read for every
    // entry, as its conversion is attempted for every entry).
    const uint8_t groupes = (uint8_t)(G_FREQ | (cgram || nb_syll ? G_SYLL : 0) |
                                      (genre || nombre || categorie ? G_TEXTES : 0) |
                                      (has_age >= 0 || age_min || age_max || illustrable_min ? G_MESURES : 0) |
                                      (has_phone >= 0 ? G_PHONE : 0));

    // The criteria on the values remembered for the entry; none of them can fail.
    // Plain C++ over the records, with the caller's own cache of cgram verdicts.
    auto accepte = [&](size_t r, std::vector<int8_t> &prefixe) {
        const Tete &t = F.tetes[r];
        if (cgram) {
            int32_t c = F.cgram[r];
            if ((size_t)c >= prefixe.size()) prefixe.resize(F.textes.taille(), -1);
            int8_t &p = prefixe[(size_t)c];
            if (p < 0) p = F.textes.commence_par(c, cgram);
            if (!p) return false;
        }
        if (genre && F.genre[r] != id_genre) return false;
        if (nombre && F.nombre[r] != id_nombre) return false;
        if (freq_min && F.freq[r] < *freq_min) return false;
        if (freq_max && F.freq[r] > *freq_max) return false;
        if (nb_syll && (!t.syll_ok || F.syll[r] != *nb_syll)) return false;
        if (has_age >= 0 && (t.age_etat != 0) != (has_age == 1)) return false;
        if (age_min || age_max) {
            if (t.age_etat != 2) return false;
            if (age_min && F.age[r] < *age_min) return false;
            if (age_max && F.age[r] > *age_max) return false;
        }
        if (illustrable_min && (t.ill_etat != 2 || F.ill[r] < *illustrable_min)) return false;
        if (categorie && F.categorie[r] != id_categorie) return false;
        if (has_phone >= 0 && t.phone != (has_phone == 1)) return false;
        return true;
    };
    auto accepte_fiche = [&](size_t r) { return accepte(r, prefixe); };

    // The criteria read on the entry itself, in their documented order.
    auto accepte_vivant = [&](PyObject *e) {
        if (cgram && !texte_accepte(e, k.cgram, cgram, true)) return false;
        if (genre && !texte_accepte(e, k.genre, genre, false)) return false;
        if (nombre && !texte_accepte(e, k.nombre, nombre, false)) return false;

        double freq = 0.0;
        {
            nb::object f = valeur_champ(e, k.freq);
            if (!est_nul(f) && vrai(f.ptr())) freq = reel_de(f.ptr()).value_or(0.0);
        }
        if (freq_min && freq < *freq_min) return false;
        if (freq_max && freq > *freq_max) return false;
        if (nb_syll && nb_syllabes_differe(*nom_nb_syllabes, e, *nb_syll, nb_syll_objet.ptr())) return false;

        if (has_age >= 0 || age_min || age_max) {
            nb::object age = valeur_champ(e, k.age);
            bool a = present(age);
            if (has_age >= 0 && a != (has_age == 1)) return false;
            if (age_min || age_max) {
                if (!a) return false;
                auto v = reel_de(age.ptr());
                if (!v) return false;
                if (age_min && *v < *age_min) return false;
                if (age_max && *v > *age_max) return false;
            }
        }
        if (illustrable_min) {
            nb::object ill = valeur_champ(e, k.illustrable);
            if (!present(ill)) return false;
            auto v = reel_de(ill.ptr());
            if (!v || *v < *illustrable_min) return false;
        }
        if (categorie && !texte_accepte(e, k.categorie, categorie, false)) return false;
        if (has_phone >= 0 && phone_present(e) != (has_phone == 1)) return false;
        return true;
    };

    LienOriginal syll_cpp(*nom_nb_syllabes, dict_module);
    bool avance_essayee = false;
    // One entry of the stream; true when the limit is reached. The entry is
    // borrowed: a live evaluation holds it first.
    auto traiter = [&](PyObject *e) {
        int32_t fi = F.obtenir(e, groupes);
        bool garde;
        if (fi >= 0 && !(F.tetes[(size_t)fi].vivants & groupes) && (!nb_syll || syll_cpp())) {
            garde = accepte_fiche((size_t)fi);
        } else {
            nb::object tenu = nb::borrow(e);
            garde = accepte_vivant(e);
        }
        if (!garde) return false;
        if (PyList_Append(resultats.ptr(), e) < 0) throw nb::python_error();
        ++gardes;
        return limite != 0 && gardes >= limite;
    };
    for (;;) {
        // The rest of the list under the stream's current list iterator is read in
        // place, leaving that iterator exactly where the host's next() would.
        if (PyObject *li = iterateur_de_liste(it.ptr())) {
            nb::object li_tenu = nb::borrow(li);
            IterListe *l = reinterpret_cast<IterListe *>(li);
            while (l->it_seq && l->it_index < PyList_GET_SIZE(l->it_seq)) {
                PyObject *e = PyList_GET_ITEM(l->it_seq, l->it_index);
                ++l->it_index;
                if (traiter(e)) return resultats;
            }
        }
        // The lists of an index behind itertools.chain: read in place, with the
        // dict's values iterator advanced exactly as the chain would advance it.
        // Only entries answered from their records are taken here (no Python code
        // runs); any other entry is left to the host's iterators, positioned on it.
        if (Chaine *ch = chaine_sur_dict(it.ptr())) {
            IterDict *di = reinterpret_cast<IterDict *>(ch->source);
            Py_CLEAR(ch->active);  // used up: the host's next() would drop it too
            ClesIndex &ci = cles_index(di->di_dict);
            size_t i = (size_t)(std::upper_bound(ci.positions.begin(), ci.positions.end(), di->di_pos) -
                                ci.positions.begin());
            // Without a limit the whole rest is read: decided ahead on two threads (once
            // per call), valid through this loop, which runs no Python code.
            std::optional<DecisionsAvance> avance;
            if (limite == 0 && !avance_essayee && (!nb_syll || syll_cpp()) && DecisionsAvance::utile(ci, i)) {
                avance_essayee = true;
                auto decider = [&](PyObject *, int32_t h, std::vector<int8_t> &pf) -> int32_t {
                    const Tete &t = F.tetes[(size_t)h];
                    if ((t.prets & groupes) != groupes || (t.vivants & groupes)) return DecisionsAvance::INDECISE;
                    return accepte((size_t)h, pf) ? h : DecisionsAvance::REJETEE;
                };
                if (DecisionsAvance::rentable(ci, F, i, prefixe, decider)) avance.emplace(ci, F, i, prefixe, decider);
            }
            bool rendu = false;  // handed back to the host's iterators
            for (size_t n = ci.valeurs.size(); i < n && !rendu; ++i) {
                const uint8_t decision = avance ? avance->cles[i] : DecisionsAvance::NON_DECIDEE;
                if (!avance) precharger_listes(ci, i);
                PyObject *v = ci.valeurs[i];
                // (A decided key's value is an exact list of the snapshot's size.)
                if ((decision == DecisionsAvance::NON_DECIDEE && !PyList_CheckExact(v)) || di->len <= 0) break;
                di->di_pos = ci.positions[i];
                --di->len;
                if (decision == DecisionsAvance::REJETEE_TOUTE) continue;
                size_t debut = 0;
                Py_ssize_t m = 0;
                if (!decision || !avance->slots(ci, i, debut, m)) m = PyList_GET_SIZE(v);
                for (Py_ssize_t j = 0; j < m; ++j) {
                    if (decision) {
                        const int32_t r = avance->lire(F, debut + (size_t)j);
                        if (r == DecisionsAvance::REJETEE) continue;
                        if (r >= 0) {
                            // Without a limit: nothing to stop at.
                            if (PyList_Append(resultats.ptr(), F.tetes[(size_t)r].e) < 0) throw nb::python_error();
                            ++gardes;
                            continue;
                        }
                    }
                    PyObject *e = PyList_GET_ITEM(v, j);
                    int32_t fi = F.obtenir(e, groupes, ci.conseil(i, j));
                    if (fi < 0 || (F.tetes[(size_t)fi].vivants & groupes) || (nb_syll && !syll_cpp())) {
                        installer_liste(ch, v, j);
                        rendu = true;
                        break;
                    }
                    if (!accepte_fiche((size_t)fi)) continue;
                    if (PyList_Append(resultats.ptr(), e) < 0) throw nb::python_error();
                    ++gardes;
                    if (limite != 0 && gardes >= limite) {
                        installer_liste(ch, v, j + 1);
                        return resultats;
                    }
                }
            }
            if (rendu) continue;
        }
        PyObject *brut = PyIter_Next(it.ptr());
        if (!brut) break;
        nb::object tenu = nb::steal(brut);
        if (traiter(brut)) return resultats;
    }
    if (PyErr_Occurred()) throw nb::python_error();
    return resultats;
}

}  // namespace

void enregistrer_filtrer(nb::module_ &m, const NomLie *nb_syllabes) {
    nom_nb_syllabes = nb_syllabes;
    dict_module = PyModule_GetDict(m.ptr());
    m.def("filtrer", &filtrer, nb::arg("entries_iter").none(), nb::kw_only(), nb::arg("cgram").none() = nb::none(),
          nb::arg("genre").none() = nb::none(), nb::arg("nombre").none() = nb::none(),
          nb::arg("freq_min").none() = nb::none(), nb::arg("freq_max").none() = nb::none(),
          nb::arg("nb_syllabes").none() = nb::none(), nb::arg("age_min").none() = nb::none(),
          nb::arg("age_max").none() = nb::none(), nb::arg("illustrable_min").none() = nb::none(),
          nb::arg("categorie").none() = nb::none(), nb::arg("has_age").none() = nb::none(),
          nb::arg("has_phone").none() = nb::none(), nb::arg("limite").none() = 100,
          nb::sig("def filtrer(entries_iter, *, cgram: str | None = None, genre: str | None = None, "
                  "nombre: str | None = None, freq_min: float | None = None, freq_max: float | None = None, "
                  "nb_syllabes: int | None = None, age_min: float | None = None, age_max: float | None = None, "
                  "illustrable_min: float | None = None, categorie: str | None = None, "
                  "has_age: bool | None = None, has_phone: bool | None = None, limite: int = 100) "
                  "-> list[dict]"),
          "Filtre multi-critere sur un iterateur d'entrees.\n\n"
          "Args:\n"
          "    entries_iter: Iterateur d'entrees lexicales\n"
          "    cgram: Filtre POS (prefix match)\n"
          "    genre: Filtre genre (m/f)\n"
          "    nombre: Filtre nombre (s/p)\n"
          "    freq_min: Frequence minimale\n"
          "    freq_max: Frequence maximale\n"
          "    nb_syllabes: Nombre exact de syllabes\n"
          "    age_min: Age d'acquisition minimal (Manulex)\n"
          "    age_max: Age d'acquisition maximal (Manulex)\n"
          "    illustrable_min: Score illustrable minimal (0.0-1.0)\n"
          "    categorie: Categorie semantique exacte\n"
          "    has_age: True = age NOT NULL, False = age IS NULL\n"
          "    has_phone: True = phone NOT NULL/vide, False = phone NULL/vide\n"
          "    limite: Nombre max de resultats\n\n"
          "Returns:\n"
          "    Liste d'entrees correspondantes");
}

}  // namespace brivane::py
