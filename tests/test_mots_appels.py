"""Per-call lookups: keys already in normal form or not, the index read without the
object's lock, and the rows of a statement turned into entries."""

import math
import sqlite3
import threading
import unicodedata

import pytest

from brivane_lexique.lexique import Lexique
from fabrique_lexiques import ecrire, ecrire_sqlite


def norme(mot):
    return unicodedata.normalize("NFC", mot).strip().lower()


# Stored keys as they are, and the spellings a caller may type for them: capitals,
# decomposed accents, white space, characters outside Latin-1, a final sigma.
MOTS = [
    "été", "ÉTÉ", "e\u0301te\u0301", " été\t", "Été ", "\u00a0été", "chant", "CHANT", "Chants", "œuvre", "ŒUVRE",
    "ça", "Ça", "ÿ", "Ÿ", "straße", "STRASSE", "ὀδυσσεύς", "ΟΔΥΣΣΕΥΣ", "", " ", "zut", "ch\u0101nt", "İ",
]
LIGNES = [
    ("été", "ete", "être", "AUX", 40.0), ("chant", "ʃɑ̃", "chant", "NOM", 12.0), ("œuvre", "œvʁ", "œuvre", "NOM", 9.0),
    ("ça", "sa", "ça", "PRO", 80.0), ("ÿ", "i", "ÿ", "NOM", 0.1), ("straße", "ʃtʁas", "straße", "NOM", 0.2),
    ("ὀδυσσεύς", "odisøs", "ὀδυσσεύς", "NOM", 0.3), ("ὀδυσσευσ", "odisøs", "ὀδυσσευσ", "NOM", 0.3),
    ("i̇", "i", "i̇", "NOM", 0.4),
]


@pytest.fixture(scope="module", params=["sqlite", "tsv"])
def lex_accents(request, tmp_path_factory):
    colonnes = ("ortho", "phone", "lemme", "cgram", "freq_opensubs")
    return Lexique(ecrire(tmp_path_factory.mktemp(request.param), request.param, colonnes=colonnes, lignes=LIGNES))


@pytest.mark.parametrize("mot", MOTS)
def test_mot_sous_sa_forme_normale(lex_accents, chemins, mot):
    cle = norme(mot)
    assert lex_accents.existe(mot) is (cle in lex_accents._formes)
    assert lex_accents.info(mot) == lex_accents.info(cle)
    assert [e["ortho"].lower() for e in lex_accents.info(mot)] == [o for o, *_ in LIGNES if o == cle]


@pytest.mark.parametrize("mot", ["été", "chant", "œuvre"])
def test_forme_normale_rendue_telle_quelle(mot):
    # A key that is already normal is looked up as the object given, which keeps its
    # cached hash; one that is not gives a new str.
    from brivane_lexique import _utils

    assert _utils.normaliser_ortho(mot) is mot
    assert _utils.normaliser_ortho(mot.upper()) == mot


class IndexRemplace(Lexique):
    def _get_index_ortho(self):
        return {"chant": [{"ortho": "remplace"}]}


def test_info_suit_l_index_redefini_une_fois_construit(tmp_path, chemins):
    lex = IndexRemplace(ecrire(tmp_path, "tsv"), precharger=True)
    assert lex._index_ortho is not None
    assert lex.info("Chant") == [{"ortho": "remplace"}]


@pytest.mark.parametrize("quand", ["avant", "apres"])
def test_info_suit_l_index_remplace(tmp_path, chemins, quand):
    lex = Lexique(ecrire(tmp_path, "tsv"), precharger=quand == "apres")
    lex._index_ortho = {"chant": [{"ortho": "autre"}]}
    lex._index_phone = {}
    assert lex.info("chant") == [{"ortho": "autre"}]


def test_info_pendant_la_construction_de_l_index(tmp_path):
    # Calls made while another thread builds the index wait for it, then read it.
    chemin = ecrire(tmp_path, "tsv")
    lex = Lexique(chemin)
    debut, fin = threading.Event(), threading.Event()

    class Lent(Lexique):
        def _charger_index(self, progression=None):
            debut.set()
            fin.wait(5)
            super()._charger_index()

    lent = Lent(chemin)
    t = threading.Thread(target=lent._get_index_ortho)
    t.start()
    debut.wait(5)
    res = []
    lecteur = threading.Thread(target=lambda: res.append(lent.info("chant")))
    lecteur.start()
    fin.set()
    t.join(10)
    lecteur.join(10)
    assert res == [lex.info("chant")] and len(res[0]) == 2


# Names a statement's columns resolve to, with repeats: the later value wins in the
# place of the first, a column outside the aliases keeps its lower-case name.
COLONNES_SQL = [
    (("ortho", "freq_opensubs", "lemme", "freqfilms2"), ("chat", 1.0, "chat", 7.0),
     {"ortho": "chat", "freq": 7.0, "lemme": "chat"}),
    (("Ortho", "graphie", "LEMME"), ("chat", "chats", "chat"), {"ortho": "chats", "lemme": "chat"}),
    (("ortho", " Remarque ", "lemme", "remarque"), ("chat", "a", "chat", None),
     {"ortho": "chat", "remarque": None, "lemme": "chat"}),
    (("ortho", "cgram", "lemme", "Cat", "pos"), ("chat", "NOM", "chat", None, "N"),
     {"ortho": "chat", "cgram": "N", "lemme": "chat"}),
    (("lemme", "ortho"), ("chat", "chat"), {"lemme": "chat", "ortho": "chat"}),
    # The later column wins even when its value is the very object of the row before.
    (("ortho", "graphie", "lemme"), ("chat", "a", "chat"), {"ortho": "a", "lemme": "chat"}),
]


@pytest.mark.parametrize("colonnes, ligne, attendu", COLONNES_SQL)
def test_lignes_en_entrees(tmp_path, chemins, colonnes, ligne, attendu):
    chemin = ecrire_sqlite(tmp_path / "l.db", colonnes, [ligne, ligne])
    res = Lexique(chemin).info("CHAT")
    assert res == [attendu, attendu] and res[0] is not res[1]
    assert [list(e) for e in res] == [list(attendu)] * 2
    res[0]["ajout"] = 1  # each entry is its own dict
    assert "ajout" not in res[1]


def test_lignes_en_entrees_sans_row_factory_de_la_connexion(tmp_path, chemins):
    chemin = ecrire_sqlite(tmp_path / "l.db", ("ortho", "lemme", "freq_opensubs"), [("chat", "chat", 2.0)])
    lex = Lexique(chemin)
    lex._get_conn().row_factory = sqlite3.Row
    assert lex.formes_de("chat") == [{"ortho": "chat", "lemme": "chat", "freq": 2.0}]
    lex._get_conn().row_factory = None
    assert lex.info("chat") == [{"ortho": "chat", "lemme": "chat", "freq": 2.0}]


@pytest.mark.parametrize(
    "valeurs",
    [
        [None, "x", None, 1, 1, ""],  # NULL, small numbers and short text come back as one object
        ["a", "a", "b", None, "b", "a"],
        [0, 0.0, "", None, 2, "long texte"],
    ],
)
def test_lignes_successives_gardent_leurs_valeurs(tmp_path, chemins, valeurs):
    # "phon" and "phone" both resolve to phone: the later column wins in every row.
    colonnes = ("ortho", "lemme", "phon", "genre", "phone")
    lignes = [(f"m{i}", "chat", "p", v, valeurs[-1 - i]) for i, v in enumerate(valeurs)]
    lex = Lexique(ecrire_sqlite(tmp_path / "l.db", colonnes, lignes))
    attendu = [{"ortho": o, "lemme": "chat", "phone": p, "genre": g} for o, _, _, g, p in lignes]
    assert sorted(lex.formes_de("chat"), key=lambda e: e["ortho"]) == attendu
    assert [list(e) for e in lex.info("m0")] == [["ortho", "lemme", "phone", "genre"]]


class IndexPhone(Lexique):
    index = {}

    def _get_index_phone(self):
        return self.index


def _verbe(ortho, freq=None, **autres):
    e = {"ortho": ortho, "cgram": "VER", "personne": "3", "nombre": "s", **autres}
    if freq is not None:
        e["freq"] = freq
    return e


# Frequencies as an index may hold them: ties, absent, text, NaN, infinities.
FREQUENCES = [
    [3.0, 1.0, 3.0, 2.0], [None, 1.0, None], ["2.5", 1, "1e3"], [math.nan, 1.0, 5.0, math.nan, 0.5],
    [1.0, math.inf, -math.inf, -0.0, 0.0], [],
]


@pytest.mark.parametrize("freqs", FREQUENCES)
def test_verbes_par_phone_ordre_comme_le_tri_de_l_hote(tmp_path, chemins, freqs):
    (tmp_path / "v.tsv").write_text("ortho\n", encoding="utf-8")
    lex = IndexPhone(tmp_path / "v.tsv")
    lex.index = {"a": [_verbe(f"v{i}", f) for i, f in enumerate(freqs)]}
    attendu = sorted(lex.index["a"], key=lambda e: -float(e.get("freq", 0)))
    res = lex.verbes_par_phone_et_personne(["a"], "3", "s")
    assert [e["ortho"] for e in res] == [e["ortho"] for e in attendu]


@pytest.mark.parametrize("freq, erreur", [("", ValueError), (None, TypeError), ("abc", ValueError), ([], TypeError)])
def test_verbes_par_phone_frequence_illisible(tmp_path, chemins, freq, erreur):
    (tmp_path / "v.tsv").write_text("ortho\n", encoding="utf-8")
    lex = IndexPhone(tmp_path / "v.tsv")
    lex.index = {"a": [_verbe("v0", 1.0), {**_verbe("v1"), "freq": freq}]}
    with pytest.raises(erreur):
        lex.verbes_par_phone_et_personne(["a"], "3", "s")


@pytest.mark.parametrize("nom", ["ortho", "ORTHO", " ortho", "ortho\t", "\x1cphon", "phon\x1f", "a b", "", "Ünï",
                                 "graphie", "freq_opensubs", "\x0bipa\x0c", "nb_syllabes", "Nb_Syllabes "])
def test_resoudre_colonnes_comme_la_regle(nom):
    from brivane_lexique import _aliases

    cle = nom.lower().strip()
    assert _aliases.resoudre_colonnes([nom]) == {nom: _aliases._ALIAS_INVERSE.get(cle, cle)}


# What a replaced resoudre_colonnes may return: the names in another order, more or
# fewer names, a mapping that is not a dict (then every column keeps its name).
RESOLUTIONS = [
    (lambda cs: {c: c.upper() for c in reversed(cs)}, {"ORTHO": "chat", "LEMME": "chats", "FREQ_OPENSUBS": 2.0}),
    (lambda cs: {**{c: "x" + c for c in cs}, "autre": "y"}, {"xortho": "chat", "xlemme": "chats", "xfreq_opensubs": 2.0}),
    (lambda cs: {"lemme": "l"}, {"ortho": "chat", "l": "chats", "freq_opensubs": 2.0}),
    (lambda cs: {c: "meme" for c in cs}, {"meme": 2.0}),
    (lambda cs: __import__("types").MappingProxyType({c: "z" for c in cs}),
     {"ortho": "chat", "lemme": "chats", "freq_opensubs": 2.0}),
]


@pytest.mark.parametrize("resoudre, attendu", RESOLUTIONS)
def test_resolution_remplacee(tmp_path, chemins, monkeypatch, resoudre, attendu):
    from brivane_lexique import lexique

    chemin = ecrire_sqlite(tmp_path / "l.db", ("ortho", "lemme", "freq_opensubs"),
                           [("chat", "chats", 2.0), ("chat", "chats", 2.0)])
    lex = Lexique(chemin)
    monkeypatch.setattr(lexique, "resoudre_colonnes", resoudre)
    res = lex.info("chat")
    assert res == [attendu, attendu] and [list(e) for e in res] == [list(attendu)] * 2


# ------------------------------------------------------------------ one pass over plain entries


class IndexOrtho(Lexique):
    index = {}

    def _get_index_ortho(self):
        return self.index


class Entree(dict):
    """An entry that is not an exact dict: read through its get()."""


# Entry lists as an index may hold them: ties (the first one wins), -0.0 against 0.0,
# infinities, NaN (ordered as the host's sort orders it), a missing or empty
# pronunciation, a missing frequency, text frequencies, a non-text pronunciation and
# an entry of another mapping type (the general route).
LISTES_PHONE = [
    [("a", 1.0), ("b", 3.0), ("c", 3.0)], [("a", -0.0), ("b", 0.0)], [("a", None), ("b", -1.0)],
    [("a", 1.0), ("b", math.inf), ("c", -math.inf)], [("a", math.nan), ("b", 5.0), ("c", 1.0)],
    [("a", 1.0), ("b", math.nan)], [("", 9.0), (None, 9.0), ("b", 2.0)], [("a", "2.5"), ("b", 2.0)],
    [(7, 3.0), ("b", 2.0)], [("a", 1.0), (Entree, 4.0)], [], [(None, 1.0)],
]


def _entree(phone, freq):
    if phone is Entree:
        return Entree(phone="x", freq=freq)
    e = {} if phone is None else {"phone": phone}
    if freq is not None:
        e["freq"] = freq
    return e


@pytest.mark.parametrize("liste", LISTES_PHONE)
def test_phone_de_premier_de_l_ordre_des_frequences(tmp_path, chemins, liste):
    (tmp_path / "p.tsv").write_text("ortho\n", encoding="utf-8")
    lex = IndexOrtho(tmp_path / "p.tsv")
    entrees = [_entree(p, f) for p, f in liste]
    lex.index = {"mot": entrees}
    candidats = [(e.get("phone"), -float(e.get("freq", 0))) for e in entrees if e.get("phone")]
    attendu = sorted(candidats, key=lambda c: c[1])[0][0] if candidats else None
    res = lex.phone_de("Mot")
    assert res == attendu
    if res is not None:
        assert any(res is e.get("phone") for e in entrees)  # the entry's own object


@pytest.mark.parametrize("conteneur", [tuple, iter, lambda l: (e for e in l)])
@pytest.mark.parametrize("liste", [[("a", 1.0), ("b", math.nan), ("c", 2.0)], [("a", math.nan), ("b", 5.0)],
                                   [("a", 1.0), ("b", 3.0), ("c", 3.0)]])
def test_phone_de_sur_une_valeur_qui_n_est_pas_une_liste(tmp_path, chemins, conteneur, liste):
    # An index value read once only (an iterator) answers as the same entries in a list.
    (tmp_path / "p.tsv").write_text("ortho\n", encoding="utf-8")
    lex = IndexOrtho(tmp_path / "p.tsv")
    entrees = [_entree(p, f) for p, f in liste]
    lex.index = {"mot": entrees}
    attendu = lex.phone_de("mot")
    lex.index = {"mot": conteneur(entrees)}
    assert lex.phone_de("mot") == attendu
