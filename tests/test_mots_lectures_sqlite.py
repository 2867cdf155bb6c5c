"""Lookups whose SQLite rows are read by the library's own code: the answer is the
in-memory one, whatever the names of the table's columns, and a function replaced
from Python still receives whole entries."""

import types

import pytest

from brivane_lexique import lexique as module_lexique
from brivane_lexique.lexique import Lexique

from fabrique_lexiques import COLONNES, LIGNES, _mot, ecrire_sqlite, ecrire_tsv

# Other producers' names for the columns these lookups read.
RENOMMEES = tuple({"ortho": "Word", "lemme": "lemma", "phone": "phon", "freq_opensubs": "freqfilms2",
                   "cgram": "pos"}.get(c, c) for c in COLONNES)

# The first row met is not the most frequent one: only a frequency read decides.
LIGNES_EN_PLUS = LIGNES + [_mot("porte", "pɔʁt", "porter", "VER", "", "s", 1.0, "amener"),
                           _mot("porte", "pɔʁt", "porte", "NOM", "f", "s", 50.0, "", "", "Ouverture.")]

METHODES = ("lemme_de", "synonymes", "antonymes", "definition", "info", "phone_de", "frequence")
# Case is folded alike by both backends only in ASCII: no word here differs beyond it.
MOTS = ("porte", "chante", "chant", "CHANTS", " Est ", "est", "sans", "zut", "inconnu", "chant\udc80")


@pytest.fixture(params=[COLONNES, RENOMMEES], ids=["canoniques", "renommees"])
def deux_lexiques(request, tmp_path):
    sqlite = Lexique(ecrire_sqlite(tmp_path / "lex.sqlite", colonnes=request.param, lignes=LIGNES_EN_PLUS))
    tsv = Lexique(ecrire_tsv(tmp_path / "lex.tsv", colonnes=request.param, lignes=LIGNES_EN_PLUS))
    yield sqlite, tsv
    sqlite.close()


def _sans_lignes(valeur):
    # SQLite rows and TSV entries differ in the fields they carry (and NULL is an empty
    # cell in TSV): compare what both have.
    if isinstance(valeur, list) and valeur and isinstance(valeur[0], dict):
        return sorted(tuple(e.get(k) or "" for k in ("ortho", "lemme", "phone")) for e in valeur)
    return valeur


@pytest.mark.parametrize("methode", METHODES)
def test_sqlite_repond_comme_la_memoire(deux_lexiques, chemins, methode):
    sqlite, tsv = deux_lexiques
    assert sqlite.lemme_de("porte") == tsv.lemme_de("porte") == "porte"
    for mot in MOTS:
        assert _sans_lignes(getattr(sqlite, methode)(mot)) == _sans_lignes(getattr(tsv, methode)(mot)), mot


@pytest.mark.parametrize(
    "module, fonction, methode",
    [("_semantique", "synonymes", "synonymes"), ("_semantique", "antonymes", "antonymes"),
     ("_semantique", "definition", "definition"), ("_morphologie", "lemme_de", "lemme_de")],
)
@pytest.mark.parametrize("backend", ["sqlite", "tsv"])
def test_fonction_remplacee_recoit_les_entrees_entieres(tmp_path, monkeypatch, module, fonction, methode, backend):
    chemin = (ecrire_sqlite if backend == "sqlite" else ecrire_tsv)(tmp_path / f"lex.{backend}")
    lex = Lexique(chemin)
    original = getattr(module_lexique, module)
    recues = []

    def espion(entrees, *reste):
        recues.append(entrees)
        return getattr(original, fonction)(entrees, *reste)

    attendu = getattr(lex, methode)("chant")
    remplacant = types.SimpleNamespace(**{n: getattr(original, n) for n in dir(original) if not n.startswith("__")})
    setattr(remplacant, fonction, espion)
    monkeypatch.setattr(module_lexique, module, remplacant)
    assert getattr(lex, methode)("chant") == attendu
    (entrees,) = recues
    assert [e["ortho"] for e in entrees] == ["chant", "chant"]
    # Whole rows: the fields the function itself never reads are there too.
    assert all({"cgram", "genre", "remarque"} <= set(e) for e in entrees)
    lex.close()


@pytest.mark.parametrize("personne, nombre", [("1", "s"), ("3", "s"), ("3", ""), ("2", "p"), ("3", "p"), ("", "")])
def test_verbes_par_personne_memes_formes(deux_lexiques, chemins, personne, nombre):
    sqlite, tsv = deux_lexiques
    phones = ["ʃɑ̃t", "ʃɑ̃te", "ʃɑ̃tɔ̃", "ʃɑ̃təʁe", "ʃɑ̃tjɔ̃"]
    orthos = lambda lex: [e["ortho"] for e in lex.verbes_par_phone_et_personne(phones, personne, nombre)]  # noqa: E731
    assert orthos(sqlite) == orthos(tsv)


def test_lignes_sqlite_chaque_valeur_de_sa_ligne(tmp_path, chemins):
    # Rows of one statement are read alike, each value its own row's, whichever values
    # repeat from one row to the next (NULL, small numbers and short text are the same
    # objects every time); of two columns under one name, the later one's value is kept.
    import itertools
    import sqlite3

    valeurs = [None, 0, 1, "", "a", 2.5]
    lignes = [("x", "x", p1, p2, c) for (p1, p2), c in zip(itertools.product(valeurs, repeat=2), itertools.cycle("ab"))]
    chemin = tmp_path / "doublons.sqlite"
    with sqlite3.connect(chemin) as conn:
        conn.execute("CREATE TABLE formes (ortho, lemme, phon, phone, cgram)")
        conn.executemany("INSERT INTO formes VALUES (?, ?, ?, ?, ?)", lignes)
    conn.close()
    lex = Lexique(chemin)
    entrees = lex.info("x")
    assert [list(e.items()) for e in entrees] == [[("ortho", o), ("lemme", m), ("phone", p2), ("cgram", c)]
                                                for o, m, _, p2, c in lignes]
    lex.close()
