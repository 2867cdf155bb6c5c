"""Word lookups and morphological queries of Lexique, on the SQL and in-memory paths."""

import importlib
import math
import os
import re
import sqlite3
import subprocess
import sys
import textwrap
import types
from pathlib import Path
from types import SimpleNamespace

import pytest

from brivane_lexique import _morphologie, lexique
from brivane_lexique.lexique import Lexique
from conftest import regler_chemins_rapides
from fabrique_lexiques import ecrire, ecrire_sqlite

BACKENDS = ["sqlite", "tsv"]


@pytest.fixture(scope="module", params=BACKENDS)
def lex(request, tmp_path_factory):
    return Lexique(ecrire(tmp_path_factory.mktemp(request.param), request.param))


@pytest.fixture(scope="module")
def lexs(tmp_path_factory):
    """Both backends over the same rows, for the documented differences."""
    return {b: Lexique(ecrire(tmp_path_factory.mktemp(b), b)) for b in BACKENDS}


def orthos(entrees):
    return [e["ortho"] for e in entrees]


class IndexFait(Lexique):
    """In-memory lexicon whose indexes are handed in by the test."""

    index = {}

    def _get_index_phone(self):
        return self.index

    def _get_index_ortho(self):
        return self.index


@pytest.fixture
def fait(tmp_path):
    chemin = tmp_path / "vide.tsv"
    chemin.write_text("ortho\n", encoding="utf-8")

    def creer(index):
        l = IndexFait(chemin)
        l.index = index
        return l

    return creer


# ------------------------------------------------------------------ argument checks

APPELS = [
    ("info", "mot", ()), ("homophones", "phone", ()), ("frequence", "mot", ()), ("phone_de", "mot", ()),
    ("lemme_de", "mot", ()), ("formes_de", "lemme", ()), ("conjuguer", "verbe", ()),
]


class Chaine(str):
    pass


@pytest.mark.parametrize("methode, nom, reste", APPELS)
@pytest.mark.parametrize("valeur, recu", [(None, "NoneType"), (b"chat", "bytes"), (3, "int"),
                                          (Chaine("chat"), "Chaine")])
def test_type_argument_texte(lex, methode, nom, reste, valeur, recu):
    attendu = f"Argument '{nom}' has incorrect type (expected str, got {recu})"
    with pytest.raises(TypeError) as e:
        getattr(lex, methode)(valeur, *reste)
    assert str(e.value) == attendu


@pytest.mark.parametrize(
    "appel, attendu",
    [
        (lambda l: l.formes_de("chanter", 3), "Argument 'cgram' has incorrect type (expected str, got int)"),
        (lambda l: l.verbes_par_phone_et_personne(("a",), "1", "s"),
         "Argument 'phones' has incorrect type (expected list, got tuple)"),
        (lambda l: l.verbes_par_phone_et_personne(None, "1", "s"),
         "Argument 'phones' has incorrect type (expected list, got NoneType)"),
        (lambda l: l.verbes_par_phone_et_personne([], 1, "s"),
         "Argument 'personne' has incorrect type (expected str, got int)"),
        (lambda l: l.verbes_par_phone_et_personne([], "1", None),
         "Argument 'nombre' has incorrect type (expected str, got NoneType)"),
    ],
)
def test_type_autres_arguments(lex, appel, attendu):
    with pytest.raises(TypeError) as e:
        appel(lex)
    assert str(e.value) == attendu


def test_nombre_d_arguments(lex):
    with pytest.raises(TypeError):
        lex.info()
    with pytest.raises(TypeError):
        lex.frequence("a", "b")


# ------------------------------------------------------------------ info


def test_info_champs_canoniques(lex):
    res = lex.info("chante")
    assert sorted((e["mode"], e["personne"]) for e in res) == [("ind", "1"), ("ind", "3"), ("sub", "3")]
    e = next(e for e in res if e["personne"] == "1")
    assert list(e) == ["ortho", "phone", "lemme", "cgram", "genre", "nombre", "mode", "temps", "personne",
                       "freq", "multext", "synonymes", "antonymes", "definition", "remarque"]
    assert e["freq"] == 50.0 and e["multext"] == "Vmip1s"


@pytest.mark.parametrize("mot", ["Chante", "CHANTE", " chante\t", "chante"])
def test_info_insensible_a_la_casse(lex, mot):
    assert len(lex.info(mot)) == 3


@pytest.mark.parametrize("mot", ["", "inconnu", "chant%", "chant_"])
def test_info_absent(lex, mot):
    assert lex.info(mot) == []


def test_info_memoire_copie_de_la_liste(lexs):
    lex = lexs["tsv"]
    stockee = lex._get_index_ortho()["chante"]
    res = lex.info("chante")
    assert res == stockee and res is not stockee and lex.info("chante") is not res
    assert all(a is b for a, b in zip(res, stockee))
    res.append({"ortho": "intrus"})
    res.clear()
    assert len(lex._get_index_ortho()["chante"]) == 3
    absent = lex.info("inconnu")
    absent.append(1)
    assert lex.info("inconnu") == []


def test_info_memoire_ordre_du_fichier_et_cle_normalisee(lexs):
    # The key goes through normaliser_ortho on both sides; SQLite's NOCASE only folds
    # ASCII, so a stored 'Été' is out of reach of the SQL path.
    assert [e["lemme"] for e in lexs["tsv"].info("été")] == ["être", "été"]
    assert [e["lemme"] for e in lexs["tsv"].info("Été")] == ["être", "été"]
    assert [e["lemme"] for e in lexs["sqlite"].info("Été")] == ["être"]
    assert [e["freq"] for e in lexs["tsv"].info("zut")] == [0.0]
    assert [e["freq"] for e in lexs["sqlite"].info("zut")] == [None]


def test_info_sqlite_colonnes_de_frequence_et_inconnues(tmp_path):
    colonnes = ("Ortho", "LEMME", "freq_opensubs", "Cat", "FreqFilms2", " NB_Syllabes ")
    chemin = ecrire_sqlite(tmp_path / "l.db", colonnes, [("chat", "chat", 1.0, "NOM", 7.0, 1)])
    res = Lexique(chemin).info("Chat")
    # The later frequency column wins; unknown columns keep their lower-case name.
    assert res == [{"ortho": "chat", "lemme": "chat", "freq": 7.0, "cgram": "NOM", "nb_syllabes": 1}]
    assert list(res[0]) == ["ortho", "lemme", "freq", "cgram", "nb_syllabes"]


def test_info_sqlite_resoudre_colonnes_remplace(lexs, monkeypatch):
    vus = []

    def resoudre(colonnes):
        vus.append(list(colonnes))
        return {c: c.upper() for c in colonnes}

    monkeypatch.setattr(lexique, "resoudre_colonnes", resoudre)
    for _ in range(2):
        res = lexs["sqlite"].info("chanter")
        assert res[0]["ORTHO"] == "chanter" and res[0]["FREQ_OPENSUBS"] == 30.0
    assert len(vus) == 2 and vus[0][0] == "ortho"
    monkeypatch.undo()
    assert lexs["sqlite"].info("chanter")[0]["freq"] == 30.0


def test_info_remplacement_de_normaliser(lex, monkeypatch):
    monkeypatch.setattr(lexique, "normaliser_ortho", lambda s: s.replace("#", ""))
    assert len(lex.info("chan#te")) == 3


def test_erreurs_sqlite_propagees(tmp_path):
    chemin = ecrire_sqlite(tmp_path / "l.db", ("ortho", "lemme"), [("chat", "chat")])
    lex = Lexique(chemin)
    for appel in (lambda: lex.frequence("chat"), lambda: lex.phone_de("chat"),
                  lambda: lex.homophones("ʃa"), lambda: lex.verbes_par_phone_et_personne(["a"], "1", "s")):
        with pytest.raises(sqlite3.OperationalError, match="no such column"):
            appel()
    lex._table = "absente"
    with pytest.raises(sqlite3.OperationalError, match="no such table"):
        lex.info("chat")


# ------------------------------------------------------------------ homophones


def test_homophones_sqlite_lignes_reduites(lexs):
    res = lexs["sqlite"].homophones("ʃɑ̃t")
    assert all(list(e) == ["ortho", "cgram", "freq", "phone"] for e in res)
    # One mapping per row, a row without spelling included.
    assert sorted(orthos(res), key=str) == sorted(["chante", "chante", "chantes", "chantent", None, "Chanthe"],
                                                  key=str)


def test_homophones_memoire_entrees_completes(lexs):
    lex = lexs["tsv"]
    res = lex.homophones("ʃɑ̃t")
    stockee = lex._get_index_phone()["ʃɑ̃t"]
    assert orthos(res) == ["chante", "chante", "chantes", "chantent", "Chanthe"]
    assert res is not stockee and all(a is b for a, b in zip(res, stockee))
    assert res[0]["lemme"] == "chanter" and res[0]["multext"] == "Vmip1s"
    res.pop()
    assert len(lex.homophones("ʃɑ̃t")) == 5


@pytest.mark.parametrize("phone", ["ʃɑ̃T", "ʃɑt", " ʃɑ̃t", "ʃɑ̃", "ʃ%", "inconnu"])
def test_homophones_exact(lex, phone):
    attendu = {"ʃɑ̃": ["chant", "chant", "Chants"]}.get(phone, [])
    assert orthos(lex.homophones(phone)) == attendu


def test_homophones_transcription_vide(lexs):
    # The phone index leaves out empty transcriptions; SQL compares them like any text.
    assert lexs["tsv"].homophones("") == []
    assert [(e["ortho"], e["phone"]) for e in lexs["sqlite"].homophones("")] == [("sans", "")]


# ------------------------------------------------------------------ frequence, phone_de


@pytest.mark.parametrize(
    "mot, freq", [("chante", 50.0), ("CHANTE ", 50.0), ("est", 100.0), ("sans", 60.0), ("zut", 0.0),
                  ("inconnu", 0.0), ("chantoir", 0.5)],
)
def test_frequence(lex, mot, freq):
    f = lex.frequence(mot)
    assert f == freq and type(f) is float


def test_frequence_sqlite_texte_non_numerique(tmp_path):
    chemin = ecrire_sqlite(tmp_path / "l.db", ("ortho", "lemme", "freq_opensubs"),
                           [("a", "a", "beaucoup"), ("b", "b", "12")])
    lex = Lexique(chemin)
    with pytest.raises(ValueError):
        lex.frequence("a")
    assert lex.frequence("b") == 12.0


@pytest.mark.parametrize(
    "mot, phone", [("chante", "ʃɑ̃t"), ("Chanter", "ʃɑ̃te"), ("sans", None), ("zut", "zyt"), ("inconnu", None)],
)
def test_phone_de(lex, mot, phone):
    assert lex.phone_de(mot) == phone


def test_phone_de_memoire_premier_des_ex_aequo(lexs):
    assert lexs["tsv"].phone_de("est") == "ɛ"
    assert lexs["sqlite"].phone_de("est") in ("ɛ", "ɛst")


@pytest.mark.parametrize(
    "entrees",
    [
        [{"phone": "a", "freq": -1.0}, {"phone": "b"}],  # no freq competes with 0.0
        [{"phone": "", "freq": 9.0}, {"phone": None, "freq": 8.0}, {"freq": 7.0}, {"phone": "c", "freq": 1}],
        [{"phone": "a", "freq": 2.0}, {"phone": "b", "freq": 2.0}, {"phone": "c", "freq": 3.0}],
        [{"phone": "a", "freq": math.nan}, {"phone": "b", "freq": 1.0}, {"phone": "c", "freq": 5.0}],
        [{"phone": "a", "freq": 1.0}, {"phone": "b", "freq": math.nan}, {"phone": "c", "freq": 0.5}],
        [{"phone": "a", "freq": "3"}, {"phone": "b", "freq": 2.5}],
        [],
    ],
)
def test_phone_de_memoire_comme_un_tri_stable(fait, entrees):
    candidats = [(e["phone"], float(e.get("freq", 0))) for e in entrees if e.get("phone")]
    candidats.sort(key=lambda c: -c[1])
    attendu = candidats[0][0] if candidats else None
    assert fait({"x": entrees}).phone_de("x") == attendu
    f = fait({"x": entrees}).frequence("x")
    attendu = max((float(e.get("freq", 0)) for e in entrees), default=0.0)
    assert f == attendu or math.isnan(f) and math.isnan(attendu)


# ------------------------------------------------------------------ lemme_de


@pytest.mark.parametrize(
    "mot, lemme", [("chantons", "chanter"), ("CHANTONS", "chanter"), ("chant", "chant"), ("Chants", "chant"),
                   ("inconnu", None), ("été", "être")],
)
def test_lemme_de(lex, mot, lemme):
    assert lex.lemme_de(mot) == lemme


def test_lemme_de_memoire_premier_des_ex_aequo(lexs):
    assert lexs["tsv"].lemme_de("est") == "être"


def test_lemme_de_passe_par_info_redefini(tmp_path):
    class Info(Lexique):
        def info(self, mot):
            return [{"lemme": "a", "freq": 1}, {"lemme": "b", "freq": "2"}, {"lemme": "a", "freq": "x"}]

    assert Info(ecrire(tmp_path, "tsv")).lemme_de("peu importe") == "b"


# ------------------------------------------------------------------ formes_de

TOUTES = ["chanter", "chante", "chantes", "chantons", "chantez", "chantent", "chantions", "chanterai",
          "chantai", "chantoir"]


@pytest.mark.parametrize(
    "lemme, cgram, attendu",
    [
        ("chanter", None, TOUTES),
        ("Chanter", None, TOUTES),
        (" CHANTER ", "VER", TOUTES[:8]),  # VER and VER:futur, not 'ver' nor untagged
        ("chanter", "VER:", ["chanterai"]),
        ("chanter", "ver", ["chantai"]),
        ("chanter", "V_R", []),  # '_' pre-selects in SQL, the exact prefix test drops it
        ("chanter", "NOM", []),
        ("chant", None, ["chant", "Chants"]),
        ("inconnu", None, []),
    ],
)
def test_formes_de(lex, lemme, cgram, attendu):
    res = lex.formes_de(lemme, cgram)
    assert sorted(orthos(res)) == sorted(attendu)
    if lex._backend != "sqlite":
        assert orthos(res) == attendu  # lemme index order


def test_formes_de_cgram_vide(lexs):
    # In memory every form passes; in SQL "LIKE '%'" still drops a NULL part of speech.
    assert orthos(lexs["tsv"].formes_de("chanter", "")) == TOUTES
    assert sorted(orthos(lexs["sqlite"].formes_de("chanter", ""))) == sorted(TOUTES[:-1])


def test_formes_de_memoire_objets_de_l_index(lexs):
    lex = lexs["tsv"]
    res = lex.formes_de("chanter")
    index = lex._get_index_lemme()["chanter"]
    assert res[1] is index[1]  # first 'chante' entry, the one of person 1
    assert res[1]["personne"] == "1"


# ------------------------------------------------------------------ conjuguer

PRESENT = {"1s": "chante", "2s": "chantes", "3s": "chante", "1p": "chantons", "2p": "chantez", "3p": "chantent"}


@pytest.mark.parametrize("verbe", ["chanter", "Chanter", "CHANTER "])
def test_conjuguer(lex, verbe):
    t = lex.conjuguer(verbe)
    assert t["ind"]["pre"] == PRESENT
    assert t["ind"]["imp"] == {"1p": "chantions"}  # person and number from the MULTEXT tag
    assert t["sub"]["pre"] == {"3s": "chante"}
    assert t["inf"] == {"": {"": "chanter"}}
    assert "pas" not in t["ind"]  # tagged 'ver'


def test_conjuguer_etiquette_prolongee(lexs):
    # The SQL statement keeps exactly VER and AUX; in memory 'VER:futur' qualifies.
    assert lexs["tsv"].conjuguer("chanter")["ind"]["fut"] == {"1s": "chanterai"}
    assert "fut" not in lexs["sqlite"].conjuguer("chanter")["ind"]


@pytest.mark.parametrize("verbe", ["inconnu", "chant", ""])
def test_conjuguer_vide(lex, verbe):
    assert lex.conjuguer(verbe) == {}


# ------------------------------------------------------------------ the module is reached by attribute


def test_morphologie_remplacee_est_appelee(lex, monkeypatch):
    appels = []

    def note(nom, res):
        return lambda *a: appels.append((nom, a)) or res

    faux = SimpleNamespace(lemme_de=note("lemme_de", "L"), formes_de=note("formes_de", ["F"]),
                           conjuguer=note("conjuguer", {"C": {}}))
    monkeypatch.setattr(lexique, "_morphologie", faux)
    assert lex.lemme_de("chantons") == "L"
    assert lex.formes_de("chanter", "VER") == ["F"]
    assert lex.conjuguer("chanter") == {"C": {}}
    (n1, (entrees1,)), (n2, (entrees2, cgram)), (n3, (entrees3,)) = appels
    assert (n1, n2, n3, cgram) == ("lemme_de", "formes_de", "conjuguer", "VER")
    assert orthos(entrees1) == ["chantons"]
    assert {e["lemme"] for e in entrees2 + entrees3} == {"chanter"}
    monkeypatch.setattr(lexique, "_morphologie", _morphologie)
    assert lex.lemme_de("chantons") == "chanter"


# ------------------------------------------------------------------ verbes_par_phone_et_personne

CLES_SQL = ["ortho", "lemme", "cgram", "personne", "nombre", "mode", "temps", "freq", "phone"]


@pytest.mark.parametrize(
    "phones, personne, nombre, attendu",
    [
        (["ʃɑ̃t"], "3", "s", ["chante"]),  # the untagged row without spelling is skipped, NOM never kept
        (["ʃɑ̃t"], "3", "", ["chante", "chantent"]),
        (["ʃɑ̃t", "ʃɑ̃t"], "3", "", ["chante", "chantent"]),
        (["ʃɑ̃t"], "2", "s", ["chantes"]),
        (["ʃɑ̃te", "ʃɑ̃t", "ʃɑ̃tɔ̃"], "1", "", ["chante", "chantons"]),
        (["ʃɑ̃t"], "3", "S", []),
        (["ɛ"], "3", "s", ["est"]),  # AUX
        (["ʃɑ̃tjɔ̃"], "1", "p", []),  # person only in the tag: not read here
        ([], "1", "s", []),
        (["inconnu"], "1", "s", []),
    ],
)
def test_verbes_par_phone(lex, phones, personne, nombre, attendu):
    res = lex.verbes_par_phone_et_personne(phones, personne, nombre)
    assert orthos(res) == attendu
    freqs = [e["freq"] for e in res]
    assert freqs == sorted(freqs, reverse=True)


def test_verbes_par_phone_forme_des_resultats(lexs):
    sql = lexs["sqlite"].verbes_par_phone_et_personne(["ʃɑ̃t"], "3", "")
    assert [list(e) for e in sql] == [CLES_SQL, CLES_SQL]
    mem = lexs["tsv"]
    res = mem.verbes_par_phone_et_personne(["ʃɑ̃t"], "3", "")
    assert res[0] is mem._get_index_phone()["ʃɑ̃t"][1]


def test_verbes_par_phone_homographe_garde(lexs):
    # SQL keeps the most frequent row of a spelling; memory the first one met.
    phones = ["ʃɑ̃tə", "ʃɑ̃t"]
    sql = lexs["sqlite"].verbes_par_phone_et_personne(phones, "3", "s")
    mem = lexs["tsv"].verbes_par_phone_et_personne(phones, "3", "s")
    assert [(e["ortho"], e["mode"], e["freq"]) for e in sql] == [("chante", "ind", 50.0)]
    assert [(e["ortho"], e["mode"], e["freq"]) for e in mem] == [("chante", "sub", 7.0)]


def test_verbes_par_phone_memoire_ordre_et_sans_orthographe(fait):
    def v(ortho=..., freq=1.0, **kw):
        e = {"cgram": "VER", "personne": "1", "nombre": "s", "freq": freq, **kw}
        if ortho is not ...:
            e["ortho"] = ortho
        return e

    index = {
        "a": [v(None, 50.0), v(freq=60.0), v("X", 1.0), v("z", 2.0, cgram="VER:futur"), v("n", 9.0, cgram="NOM")],
        "b": [v("x", 5.0), v("y", 1.0), v("w", 3.0, nombre="p"), v("v", 4.0, personne="")],
    }
    lex = fait(index)
    res = lex.verbes_par_phone_et_personne(["a", "b"], "1", "s")
    # 'X' met first is kept over the more frequent 'x'; ties keep collection order.
    assert res == [index["a"][2], index["b"][1]]
    assert orthos(lex.verbes_par_phone_et_personne(["b", "a"], "1", "")) == ["x", "w", "y"]


def test_verbes_par_phone_sqlite_sans_orthographe(tmp_path):
    lignes = [(None, None, "a", "VER", "1", "s", "ind", "pre", 9.0), ("Va", None, "a", "AUX", "1", "s", "", "", 1.0),
              ("va", None, "a", "VER", "1", "s", None, None, 0.5)]
    colonnes = ("ortho", "lemme", "phone", "cgram", "personne", "nombre", "mode", "temps", "freq_opensubs")
    chemin = ecrire_sqlite(tmp_path / "l.db", colonnes, lignes)
    res = Lexique(chemin).verbes_par_phone_et_personne(["a"], "1", "s")
    assert [(e["ortho"], e["cgram"], e["lemme"]) for e in res] == [("Va", "AUX", None)]


# ------------------------------------------------------------------ real lexicon


@pytest.fixture(scope="module")
def reels(grand_tsv, grand_sqlite):
    return {"tsv": Lexique(grand_tsv), "sqlite": Lexique(grand_sqlite)}


@pytest.mark.parametrize("backend", BACKENDS)
def test_lexique_reel(reels, backend):
    lex = reels[backend]
    assert lex.lemme_de("chantons") == "chanter"
    assert set(lex.conjuguer("chanter")["ind"]["pre"]) == {"1s", "2s", "3s", "1p", "2p", "3p"}
    assert lex.conjuguer("avoir")["ind"]["pre"]["3s"] == "a"
    assert lex.phone_de("chanter") == "ʃɑ̃te"
    assert lex.frequence("Maison") > 0.0
    assert "chantez" in orthos(lex.formes_de("chanter", "VER"))
    assert "chantent" in orthos(lex.verbes_par_phone_et_personne(["ʃɑ̃t"], "3", "p"))


def test_lexique_reel_memes_reponses(reels):
    def vue(entrees):
        return sorted((e["ortho"], e["lemme"], e["cgram"], e["phone"], e["freq"], e["multext"]) for e in entrees)

    for mot in ("maison", "est", "chantons", "été", "zygomatique"):
        assert vue(reels["tsv"].info(mot)) == vue(reels["sqlite"].info(mot))
        assert reels["tsv"].frequence(mot) == reels["sqlite"].frequence(mot)
        assert reels["tsv"].lemme_de(mot) == reels["sqlite"].lemme_de(mot)


@pytest.mark.parametrize("module, fonction, mot", [
    ("_semantique", "synonymes", "chant"),
    ("_semantique", "antonymes", "chant"),
    ("_semantique", "definition", "chant"),
    ("_morphologie", "lemme_de", "chante"),
])
def test_fonction_remplacee_recoit_les_entrees_entieres(lex, chemins, monkeypatch, module, fonction, mot):
    """A replaced module function gets the entries as info() gives them, not the few
    fields the one bound at import reads; put back, it answers as before."""
    m = importlib.import_module(f"brivane_lexique.{module}")
    avant = getattr(lex, fonction)(mot)
    vus = []
    monkeypatch.setattr(m, fonction, lambda entrees: vus.append(entrees) or "remplace")
    assert getattr(lex, fonction)(mot) == "remplace"
    assert vus == [lex.info(mot)]
    monkeypatch.undo()
    assert getattr(lex, fonction)(mot) == avant


def test_personne_nombre_remplace_voit_la_ligne_entiere(lex, chemins, monkeypatch):
    """With _personne_nombre_from_entry replaced, conjuguer hands it whole rows (a field
    the library's own reading ignores reaches it); deleted, conjuguer names it."""
    monkeypatch.setattr(_morphologie, "_personne_nombre_from_entry", lambda e: (e["phone"], ""))
    assert lex.conjuguer("chanter")["ind"]["pre"] == {"ʃɑ̃t": "chante", "ʃɑ̃tɔ̃": "chantons", "ʃɑ̃te": "chantez"}
    monkeypatch.delattr(_morphologie, "_personne_nombre_from_entry")
    with pytest.raises(NameError, match="name '_personne_nombre_from_entry' is not defined"):
        lex.conjuguer("chanter")


def test_conjuguer_sqlite_entrees_reduites_meme_table(grand_sqlite, monkeypatch):
    """The SQL path hands the library's own conjugation reduced entries: same tables."""
    from brivane_lexique import _morphologie, lexique as module_lexique

    lex = Lexique(grand_sqlite)
    verbes = ["chanter", "être", "avoir", "aller", "finir", "prendre", "Venir"]
    rapides = [lex.conjuguer(v) for v in verbes]
    vus = []
    original = _morphologie.conjuguer

    def complet(entries):
        vus.append(entries[0])
        return original(entries)

    monkeypatch.setattr(module_lexique._morphologie, "conjuguer", complet)
    assert [lex.conjuguer(v) for v in verbes] == rapides
    # A replaced function gets the whole rows, as info() builds them.
    assert "lemme" in vus[0] and "freq" in vus[0] and "phone" in vus[0]


@pytest.mark.parametrize("cgram", [None, "", "VER", "ver", "N"])
def test_formes_de_sql_comme_la_fonction_du_module(tmp_path, monkeypatch, cgram):
    """On SQLite, the library's own choice of forms is made on the rows; it gives what
    _morphologie.formes_de gives on the entries built from every row (later column
    wins, values of any type, case-insensitive duplicates, empty spellings)."""
    chemin = tmp_path / "l.sqlite"
    c = sqlite3.connect(chemin)
    c.execute("CREATE TABLE formes (ortho, lemme, cgram, word, cat, freq_opensubs)")
    c.executemany("INSERT INTO formes VALUES (?, ?, ?, ?, ?, ?)", [
        ("a", "etre", "VER", "Été", "VER", 1.0),
        ("b", "etre", "VER", "été", "VER:inf", 2.0),
        ("c", "etre", "NOM", None, "NOM", 3.0),
        ("d", "etre", "VER", 12, 5, 4.0),
        ("e", "ETRE", "VER", "", "VER", 5.0),
        ("f", "etre", "VER", "ÉTÉ", None, 6.0),
        ("g", "etre", "VER", "sont", "ver", 7.0),
        ("h", "etre", "VER", "12", "VER", 8.0),
    ])
    c.commit()
    c.close()
    lex = Lexique(chemin)
    natif = lex.formes_de("Etre", cgram)
    vus = []
    origine = _morphologie.formes_de

    def par_le_module(entrees, cg=None):
        vus.append(len(entrees))
        return origine(entrees, cg)

    monkeypatch.setattr(_morphologie, "formes_de", par_le_module)
    assert natif == lex.formes_de("Etre", cgram)
    assert vus  # the second call went through the module


def test_entrees_dont_les_valeurs_sont_faites_a_la_lecture(tmp_path):
    # Indexes whose entries (another mapping than a dict) make each value anew when it is
    # read: nothing else holds it. Run with the debug allocator, which overwrites freed
    # memory, so that a value read after its release cannot go unnoticed.
    chemin = ecrire(tmp_path, "tsv")
    script = textwrap.dedent(f"""
        from collections.abc import Mapping
        from brivane_lexique.lexique import Lexique

        class Fraiche(Mapping):
            def __init__(self, d):
                self._d = d
            def __getitem__(self, k):
                v = self._d[k]
                return "".join(list(v)) if isinstance(v, str) else v
            def __iter__(self):
                return iter(self._d)
            def __len__(self):
                return len(self._d)

        lex = Lexique({str(chemin)!r})
        for nom in ("_index_phone", "_index_ortho"):
            index = getattr(lex, "_get" + nom)()
            setattr(lex, nom, {{k: [Fraiche(e) for e in v] for k, v in index.items()}})
        print([e["ortho"] for e in lex.verbes_par_phone_et_personne(["ʃɑ̃t", "ɛ"], "3", "s")])
        print(lex.phone_de("chante"), lex.frequence("chante"))
    """)
    env = dict(os.environ, PYTHONMALLOC="debug", PYTHONPATH=str(Path(__file__).parent))
    r = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.splitlines() == ["['est', 'chante']", "ʃɑ̃t 50.0"]


# ------------------------------------------------------------------ fast paths and their plain twins


def toutes_les_reponses(lex, mots, lemmes, phones):
    res = []
    for m in mots:
        res += [lex.info(m), lex.frequence(m), lex.phone_de(m), lex.lemme_de(m), lex.synonymes(m),
                lex.antonymes(m), lex.definition(m)]
    for lem in lemmes:
        res += [lex.formes_de(lem), lex.formes_de(lem, "VER"), lex.conjuguer(lem)]
    for ph in phones:
        res += [lex.homophones(ph), lex.verbes_par_phone_et_personne([ph], "3", "s"),
                lex.verbes_par_phone_et_personne([ph, ph + "ɔ̃"], "1", "")]
    return res


def identites(reponses):
    """The entries of each answer by identity (None for answers that are not entries)."""
    return [[id(e) for e in r] if isinstance(r, list) and r and isinstance(r[0], dict) else None
            for r in reponses]


def comparer_les_chemins(lex, mots, lemmes, phones, memoire=True):
    avant = regler_chemins_rapides(True)
    try:
        rapides = toutes_les_reponses(lex, mots, lemmes, phones)
        regler_chemins_rapides(False)
        simples = toutes_les_reponses(lex, mots, lemmes, phones)
    finally:
        for nom, etat in avant.items():
            importlib.import_module("brivane_lexique." + nom)._chemins_rapides(etat)
    assert simples == rapides
    if memoire:  # the index's own entries, on both paths
        assert identites(simples) == identites(rapides)


@pytest.mark.parametrize("backend", BACKENDS)
def test_chemins_rapides_et_simples_petit_lexique(tmp_path, backend):
    lex = Lexique(ecrire(tmp_path, backend))
    mots = ["chante", "Chant", "été", "Été", "sans", "zut", "est", "chanter", "inconnu", ""]
    comparer_les_chemins(lex, mots, ["chanter", "Chant", "être", "inconnu"], ["ʃɑ̃t", "ʃɑ̃", "ɛ", "ete", "x"],
                         memoire=backend == "tsv")


def echantillon(lex_tsv, n):
    """Spellings, lemmas and pronunciations taken across a real lexicon."""
    io = lex_tsv._get_index_ortho()
    cles = sorted(io)
    mots = cles[:: max(1, len(cles) // n)]
    lemmes = sorted({e["lemme"] for m in mots for e in io[m] if e.get("lemme")})
    phones = sorted({e["phone"] for m in mots for e in io[m] if e.get("phone")})
    return mots, lemmes, phones


def test_chemins_rapides_et_simples_lexique_reel(petit_tsv, grand_sqlite):
    tsv = Lexique(petit_tsv)
    mots, lemmes, phones = echantillon(tsv, 400)
    comparer_les_chemins(tsv, mots, lemmes, phones)
    comparer_les_chemins(Lexique(grand_sqlite), mots[::4], lemmes[::4], phones[::4], memoire=False)


# ------------------------------------------------------------------ answers follow the index
# Whatever a program does to the index, its lists or its entries between two calls,
# every answer must be the one a fresh reading of the index gives.

MOTS = ["chante", "Chante", "chant", "chanter", "été", "sans", "zut", "inconnu"]
SENS = ["synonymes", "antonymes", "definition"]
LEMMES = [("chanter", None), ("chanter", "VER"), ("Chanter", "VER"), ("chant", None), ("inconnu", "VER")]
VERBES = [(["ʃɑ̃t", "ɛ"], "3", "s"), (["ʃɑ̃tɔ̃", "inconnu", "ʃɑ̃tɔ̃"], "1", "p"), (["ete", "ʃɑ̃te"], "", "")]


def verbes_attendus(ip, phones, personne, nombre):
    res, vus = [], set()
    for ph in phones:
        for e in ip.get(ph, []):
            if e.get("cgram", "") not in ("VER", "AUX") or e.get("personne", "") != personne:
                continue
            if (nombre and e.get("nombre", "") != nombre) or e.get("ortho") is None:
                continue
            if e["ortho"].lower() not in vus:
                vus.add(e["ortho"].lower())
                res.append(e)
    res.sort(key=lambda e: -float(e.get("freq", 0)))
    return [id(e) for e in res]


def test_morphologie_fonction_par_getattr_du_module(lex, monkeypatch):
    # A module without the function in its namespace: its __getattr__ answers, or the
    # host's AttributeError names what is missing.
    module = types.ModuleType("morpho_paresseux")
    module.__getattr__ = lambda nom: (lambda *a: f"{nom}!") if nom == "lemme_de" else None
    monkeypatch.setattr(lexique, "_morphologie", module)
    assert lex.lemme_de("chantons") == "lemme_de!"
    monkeypatch.delattr(module, "__getattr__")
    with pytest.raises(AttributeError, match="module 'morpho_paresseux' has no attribute 'conjuguer'"):
        lex.conjuguer("chanter")


def attendus(lex):
    """Each lookup computed afresh on the current indexes, with the module functions."""
    from brivane_lexique import _semantique

    io, il = lex._get_index_ortho(), lex._get_index_lemme()
    norm = lexique.normaliser_ortho
    res = {}
    for mot in MOTS:
        entrees = io.get(norm(mot), [])
        freqs = [float(e.get("freq", 0)) for e in entrees]
        avec_phone = sorted(((e["phone"], float(e.get("freq", 0))) for e in entrees if e.get("phone")),
                            key=lambda c: -c[1])
        res[mot] = ([id(e) for e in entrees], max(freqs) if freqs else 0.0,
                    avec_phone[0][0] if avec_phone else None, _morphologie.lemme_de(list(entrees)),
                    *(getattr(_semantique, s)(list(entrees)) for s in SENS))
    for lemme, cgram in LEMMES:
        res[(lemme, cgram)] = [id(e) for e in _morphologie.formes_de(list(il.get(norm(lemme), [])), cgram)]
        res[lemme] = repr(_morphologie.conjuguer(list(il.get(norm(lemme), []))))  # order included
    for i, demande in enumerate(VERBES):
        res["verbes", i] = verbes_attendus(lex._get_index_phone(), *demande)
    return res


def obtenus(lex):
    # Each method asks its own spelling of the word (padded with spaces the key drops).
    def f(rang, methode, mot, *reste):
        return getattr(lex, methode)(" " * rang + mot, *reste)

    res = {}
    for mot in MOTS:
        res[mot] = ([id(e) for e in f(0, "info", mot)], f(1, "frequence", mot), f(2, "phone_de", mot),
                    f(3, "lemme_de", mot), *(f(4 + i, s, mot) for i, s in enumerate(SENS)))
    for lemme, cgram in LEMMES:
        res[(lemme, cgram)] = [id(e) for e in f(0, "formes_de", lemme, cgram)]
        res[lemme] = repr(f(1, "conjuguer", lemme))
    for i, demande in enumerate(VERBES):
        res["verbes", i] = [id(e) for e in lex.verbes_par_phone_et_personne(*demande)]
    return res


@pytest.fixture
def lex_tsv(tmp_path):
    lex = Lexique(ecrire(tmp_path, "tsv"))
    obtenus(lex)
    return lex


CHANGEMENTS = {
    "frequence d'une entree": lambda io, il: io["chante"][0].__setitem__("freq", 1e9),
    "frequence retiree": lambda io, il: [e.pop("freq") for e in io["chante"]],
    "frequence en texte": lambda io, il: io["chant"][0].__setitem__("freq", "75"),
    "prononciation": lambda io, il: io["chante"][2].__setitem__("phone", "X"),
    "prononciation videe": lambda io, il: [e.__setitem__("phone", "") for e in io["chante"]],
    "lemme": lambda io, il: io["chante"][0].__setitem__("lemme", "autre"),
    "orthographe dans l'index des lemmes": lambda io, il: il["chanter"][1].__setitem__("ortho", "CHANTONS"),
    "categorie dans l'index des lemmes": lambda io, il: il["chanter"][1].__setitem__("cgram", "NOM"),
    "entree ajoutee": lambda io, il: io["chante"].append(dict(io["chante"][0], freq=5e9, phone="Y", lemme="Z")),
    "entree retiree": lambda io, il: io["chante"].pop(0),
    "liste retournee": lambda io, il: io["été"].reverse(),
    "liste videe": lambda io, il: il["chanter"].clear(),
    "liste remplacee": lambda io, il: io.__setitem__("chant", [dict(io["chant"][0], freq=1.5)]),
    "cle retiree": lambda io, il: io.pop("sans"),
    "cle ajoutee": lambda io, il: io.__setitem__("inconnu", [dict(io["zut"][0], ortho="inconnu")]),
    "lemme ajoute": lambda io, il: il.__setitem__("inconnu", [dict(il["chanter"][0], ortho="inconnu")]),
    "personne dans l'index des lemmes": lambda io, il: il["chanter"][2].__setitem__("personne", "2"),
    "etiquette dans l'index des lemmes": lambda io, il: il["chanter"][8].__setitem__("multext", "Vmii2p"),
    "synonymes": lambda io, il: io["chant"][0].__setitem__("synonymes", "air;  ;refrain"),
    "antonymes retires": lambda io, il: io["chant"][0].pop("antonymes"),
    "definition": lambda io, il: io["chant"][1].__setitem__("definition", "Autre."),
}


@pytest.mark.parametrize("changement", CHANGEMENTS.values(), ids=CHANGEMENTS.keys())
def test_les_reponses_suivent_l_index(lex_tsv, changement):
    changement(lex_tsv._get_index_ortho(), lex_tsv._get_index_lemme())
    assert obtenus(lex_tsv) == attendus(lex_tsv)


def test_index_remplace(lex_tsv):
    copie = {k: [dict(e) for e in v] for k, v in lex_tsv._get_index_ortho().items()}
    copie["chante"][0]["freq"] = 7e9
    lex_tsv._index_ortho = copie
    assert obtenus(lex_tsv) == attendus(lex_tsv)
    assert lex_tsv.frequence("chante") == 7e9


PHONES = ["ʃɑ̃t", "ʃɑ̃", "ete", "inconnu"]
CHANGEMENTS_PHONE = {
    "entree retiree": lambda ip: ip["ʃɑ̃t"].pop(0),
    "liste remplacee": lambda ip: ip.__setitem__("ete", []),
    "cle ajoutee": lambda ip: ip.__setitem__("inconnu", [{"ortho": "x"}]),
    "verbe ajoute": lambda ip: ip["ɛ"].append({"ortho": "Chante", "cgram": "VER", "personne": "3", "freq": 1e6}),
    "personne changee": lambda ip: ip["ʃɑ̃t"][1].__setitem__("personne", "1"),
    "orthographe retiree": lambda ip: ip["ʃɑ̃t"][1].pop("ortho"),
    "frequence egale": lambda ip: ip["ɛ"][0].__setitem__("freq", 50.0),
}


@pytest.mark.parametrize("changement", CHANGEMENTS_PHONE.values(), ids=CHANGEMENTS_PHONE.keys())
def test_homophones_suivent_l_index(lex_tsv, changement):
    ip = lex_tsv._get_index_phone()
    changement(ip)
    assert [[id(e) for e in lex_tsv.homophones(p)] for p in PHONES] == [[id(e) for e in ip.get(p, [])] for p in PHONES]
    assert [[id(e) for e in lex_tsv.verbes_par_phone_et_personne(*d)] for d in VERBES] == \
        [verbes_attendus(ip, *d) for d in VERBES]


class Frequence(float):
    """A frequency whose value, as float() reads it, changes on every reading."""

    lectures = 0

    def __float__(self):
        Frequence.lectures += 1
        return 1000.0 + Frequence.lectures


def test_valeurs_relues_a_chaque_appel(lex_tsv):
    lex_tsv._get_index_ortho()["zut"][0]["freq"] = Frequence(0)
    vues = {lex_tsv.frequence("zut") for _ in range(3)}
    assert len(vues) == 3 and min(vues) > 1000


def test_liste_videe_pendant_la_lecture(lex_tsv):
    # A frequency read first empties the list it comes from: the reading stops there,
    # as a loop over the list would, and nothing freed is read.
    entrees = lex_tsv._get_index_ortho()["chante"]

    class Videur(float):
        def __float__(self):
            entrees.clear()
            return 1.0

    entrees[0]["freq"] = Videur(0)
    assert lex_tsv.frequence("chante") == 1.0
    assert lex_tsv.frequence("chante") == 0.0 and lex_tsv.phone_de("chante") is None


def test_reponses_neuves_a_chaque_appel(lex_tsv):
    premiere = lex_tsv.synonymes("chant")
    premiere.append("ajout")
    assert lex_tsv.synonymes("chant") == ["mélodie", "air"] and lex_tsv.synonymes("chant") is not premiere
    table = lex_tsv.conjuguer("chanter")
    table["ind"]["pre"]["1s"] = "change"
    table.pop("sub")
    assert lex_tsv.conjuguer("chanter") == _morphologie.conjuguer(lex_tsv._get_index_lemme()["chanter"])


def test_changement_pendant_le_calcul(lex_tsv):
    # The value read first changes the entry it belongs to, and asks again from within:
    # the next call sees the new state.
    entree = lex_tsv._get_index_ortho()["chant"][0]

    class Piege(float):
        def __float__(self):
            entree["freq"] = 99.0
            entree["phone"] = "piege"
            lex_tsv.frequence("chant")
            return 1.0

    entree["freq"] = Piege(0)
    lex_tsv.frequence("chant")
    assert lex_tsv.frequence("chant") == 99.0 and lex_tsv.phone_de("chant") == "piege"
    assert obtenus(lex_tsv) == attendus(lex_tsv)


def test_normaliser_et_fonctions_remplaces_apres_coup(lex_tsv, monkeypatch):
    from brivane_lexique import _semantique

    monkeypatch.setattr(lexique, "normaliser_ortho", lambda s: "chant")
    assert lex_tsv.frequence("chante") == 12.0 and lex_tsv.phone_de("Chante") == "ʃɑ̃"
    assert lex_tsv.formes_de("chante") == _morphologie.formes_de(lex_tsv._get_index_lemme()["chant"])
    monkeypatch.undo()
    monkeypatch.setattr(_morphologie, "lemme_de", lambda entrees: "remplace")
    monkeypatch.setattr(_morphologie, "formes_de", lambda entrees, cgram=None: ["remplace"])
    monkeypatch.setattr(_semantique, "synonymes", lambda entrees: ["remplace"])
    assert lex_tsv.lemme_de("chante") == "remplace" and lex_tsv.formes_de("chanter") == ["remplace"]
    assert lex_tsv.synonymes("chant") == ["remplace"]
    monkeypatch.undo()
    assert obtenus(lex_tsv) == attendus(lex_tsv)


# ------------------------------------------------------------------ call shapes
# Positional, keyword and unbound calls answer alike; wrong calls fail alike.

FORMES_D_APPEL = [
    ("existe", ("chante",)), ("info", ("Chante",)), ("homophones", ("ʃɑ̃t",)), ("frequence", ("chante",)),
    ("phone_de", ("chante",)), ("lemme_de", ("chante",)), ("formes_de", ("chanter",)),
    ("formes_de", ("chanter", "VER")), ("conjuguer", ("chanter",)),
    ("verbes_par_phone_et_personne", (["ʃɑ̃t", "ɛ"], "3", "s")), ("definitions", ("chant",)),
    ("definition", ("chant",)), ("synonymes", ("chant",)), ("antonymes", ("chant",)),
    ("info_nom_propre", ("Paris",)), ("existe_nom_propre", ("Paris",)),
]


def _noms(fonction, n):
    """The names of the first n parameters, from the signature line of the docstring."""
    return re.findall(r"(\w+): ", fonction.__doc__.split("(", 1)[1].split(")")[0])[:n]


@pytest.mark.parametrize("nom, args", FORMES_D_APPEL, ids=[a[0] + str(len(a[1])) for a in FORMES_D_APPEL])
def test_memes_reponses_quelle_que_soit_la_forme(lex, nom, args):
    methode = getattr(Lexique, nom)
    attendu = methode(lex, *args)
    mots_cles = {n: a for n, a in zip(_noms(methode, len(args)), args)}
    assert getattr(lex, nom)(*args) == attendu
    assert getattr(lex, nom)(**mots_cles) == attendu
    assert getattr(lex, nom)(*args[:1], **dict(list(mots_cles.items())[1:])) == attendu


@pytest.mark.parametrize("nom, args", dict(FORMES_D_APPEL).items())
def test_mauvais_appels(lex, nom, args):
    methode = getattr(Lexique, nom)
    assert methode.__doc__.startswith(nom + "(self, ")
    for mauvais, kw in [((), {}), (("a", "b", "c", "d"), {}), ((), {"inconnu": "a"})]:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            getattr(lex, nom)(*mauvais, **kw)
    with pytest.raises(TypeError):
        methode(3, "a")

    class SansInit(Lexique):
        def __init__(self):
            pass

    with pytest.warns(RuntimeWarning, match="uninitialized"), pytest.raises(TypeError):
        getattr(SansInit(), nom)(*args)


ENTREES = [{"ortho": "Chante", "lemme": "chanter", "cgram": "VER", "personne": "3", "nombre": "s", "mode": "ind",
            "temps": "pre", "freq": 5.0, "synonymes": "entonne;fredonne", "antonymes": "tait", "definition": "Emet."}]


def fonctions_des_modules():
    from brivane_lexique import _loaders, _semantique, _utils

    return [
        (_utils.normaliser_ortho, (" Été ",)), (_semantique.synonymes, (ENTREES,)),
        (_semantique.antonymes, (ENTREES,)), (_semantique.definition, (ENTREES,)),
        (_morphologie._personne_nombre_from_entry, (ENTREES[0],)), (_morphologie.conjuguer, (ENTREES,)),
        (_morphologie.formes_de, (ENTREES,)), (_morphologie.formes_de, (ENTREES, "VER")),
        (_morphologie.lemme_de, (ENTREES,)),
        (_loaders._normaliser_entree, ({"Ortho": "chat", "FREQ_LM10": "2"}, {"FREQ_LM10": "freq_lm10"})),
    ]


@pytest.mark.parametrize("rang", range(10))
def test_fonctions_des_modules_quelle_que_soit_la_forme(rang):
    fonction, args = fonctions_des_modules()[rang]
    attendu = fonction(*args)
    assert attendu
    mots_cles = {n: a for n, a in zip(_noms(fonction, len(args)), args)}
    assert fonction(**mots_cles) == attendu and fonction(*args) == attendu
    assert fonction.__doc__.startswith(fonction.__name__ + "(")
    for mauvais in [(), (*args, None, None)]:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            fonction(*mauvais)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        fonction(*args, inconnu=1)
