"""The lexicon shipped inside the package and lexique_par_defaut()."""

import hashlib
import sqlite3

import pytest

import brivane_lexique
from brivane_lexique import Lexique, lexique_par_defaut
from brivane_lexique._defaut import CHEMIN_LEXIQUE_DEFAUT
from brivane_lexique._utils import _tokenize_ipa


@pytest.fixture(scope="module")
def base():
    conn = sqlite3.connect(f"file:{CHEMIN_LEXIQUE_DEFAUT}?mode=ro", uri=True)
    yield conn
    conn.close()


def test_fichiers_installes():
    dossier = CHEMIN_LEXIQUE_DEFAUT.parent
    assert dossier.parent == __import__("pathlib").Path(brivane_lexique.__file__).resolve().parent
    assert CHEMIN_LEXIQUE_DEFAUT.stat().st_size < 8_000_000
    assert "LGPL-LR" in (dossier / "ATTRIBUTION.md").read_text(encoding="utf-8")


@pytest.mark.parametrize(
    "requete, attendu",
    [
        ("PRAGMA journal_mode", "delete"),
        ("SELECT COUNT(*) FROM formes", 20000),
        ("SELECT COUNT(*) FROM definitions", 0),
        ("SELECT COUNT(*) > 30000 FROM noms_propres", 1),
        ("SELECT COUNT(*) FROM sqlite_master WHERE name IN ('idx_formes_ortho_nocase', 'idx_formes_lemme_nocase')", 2),
        ("SELECT COUNT(*) FROM formes WHERE age IS NOT NULL OR illustrable IS NOT NULL", 0),
        ("SELECT COUNT(*) FROM formes WHERE genre IS NULL OR phone IS NULL", 0),
        ("SELECT DISTINCT typeof(freq_opensubs) || typeof(freq_doc) || typeof(nb_syllabes) FROM formes",
         "realrealinteger"),
    ],
)
def test_schema(base, requete, attendu):
    assert base.execute(requete).fetchone()[0] == attendu


def test_phone_reversed_suit_la_segmentation_du_paquet(base):
    lignes = base.execute("SELECT phone, phone_reversed FROM formes").fetchall()
    assert all("".join(reversed(_tokenize_ipa(p))) == r for p, r in lignes)
    # Nasal vowels keep their tilde after the vowel once reversed.
    assert ("ʃɑ̃te", "etɑ̃ʃ") in lignes


def test_ouverture_sans_ecriture():
    avant = hashlib.sha256(CHEMIN_LEXIQUE_DEFAUT.read_bytes()).hexdigest()
    with lexique_par_defaut(table="formes") as lex:
        assert isinstance(lex, Lexique) and lex._backend == "sqlite" and lex._table == "formes"
        assert lex.existe("chanter") and lex.existe_nom_propre("lyon")
        assert lex.phone_de("chanter") == "ʃɑ̃te"
        assert "chantez" in [e["ortho"] for e in lex.formes_de("chanter")]
    assert hashlib.sha256(CHEMIN_LEXIQUE_DEFAUT.read_bytes()).hexdigest() == avant


def test_arguments_refuses_transmis():
    with pytest.raises(TypeError):
        lexique_par_defaut(table=3)
