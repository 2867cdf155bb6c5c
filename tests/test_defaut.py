"""The lexicon shipped inside the package and lexique_par_defaut()."""

import hashlib
import importlib.metadata
import importlib.util
import json
import shutil
import sqlite3
import sys
from pathlib import Path

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


@pytest.fixture(scope="module")
def defaut():
    with lexique_par_defaut() as lex:
        yield lex


def test_fichiers_installes():
    dossier = CHEMIN_LEXIQUE_DEFAUT.parent
    assert dossier.parent == Path(brivane_lexique.__file__).resolve().parent
    attribution = (dossier / "ATTRIBUTION.md").read_text(encoding="utf-8")
    # Every licence of the data, each named with the data it covers.
    for licence in ("LGPL-LR", "CC BY-SA 4.0", "MPL-2.0", "LGPL-2.1", "Licence Ouverte", "GFDL-1.2+"):
        assert licence in attribution
    assert "wordfreq" in attribution and "lilypond-doc-html-fr" in attribution


def test_licences_dans_les_metadonnees():
    fichiers = {f.name for f in importlib.metadata.files("brivane_lexique")}
    assert {"LICENSE", "ATTRIBUTION.md"} <= fichiers
    meta = importlib.metadata.metadata("brivane_lexique")
    expression = meta.get("License-Expression") or meta.get("License")
    assert "MIT" in expression and "CC-BY-SA-4.0" in expression


@pytest.mark.parametrize(
    "requete, attendu",
    [
        ("PRAGMA journal_mode", "delete"),
        ("SELECT COUNT(*) FROM formes", 442401),
        ("SELECT COUNT(DISTINCT lower(ortho)) FROM formes", 345205),
        ("SELECT COUNT(DISTINCT lemme || '|' || cgram) FROM formes", 82507),
        ("SELECT COUNT(*) FROM formes WHERE cgram = 'VER'", 308606),
        ("SELECT COUNT(*) FROM formes WHERE freq_opensubs > 0", 171319),
        ("SELECT COUNT(*) FROM definitions", 0),
        ("SELECT COUNT(*) FROM noms_propres", 37725),
        ("SELECT COUNT(*) FROM noms_propres WHERE population IS NULL", 2717),
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


@pytest.mark.parametrize(
    "requete",
    [
        "SELECT * FROM formes WHERE phone_reversed LIKE 'ʁu%' ORDER BY freq_opensubs DESC LIMIT 50",
        "SELECT * FROM formes WHERE phone = 'sɥi'",
        "SELECT * FROM formes WHERE ortho = 'suis' COLLATE NOCASE",
        "SELECT * FROM formes WHERE lemme = 'prendre' COLLATE NOCASE AND cgram IN ('VER', 'AUX')",
        "SELECT DISTINCT lower(ortho) FROM formes",
        "SELECT * FROM noms_propres WHERE lemme = 'lyon' COLLATE NOCASE",
    ],
)
def test_requetes_servies_par_un_index(base, requete):
    # On 442,401 rows a full scan of the table costs a command-line call its time budget.
    plan = " ".join(r[3] for r in base.execute("EXPLAIN QUERY PLAN " + requete))
    assert "USING" in plan and "INDEX" in plan, plan


# Values read in the shared data (lexique_fr revision 2), not in the code.
@pytest.mark.parametrize(
    "methode, args, attendu",
    [
        ("existe", ("a",), True),
        ("existe", ("prîmes",), True),
        ("phone_de", ("suis",), "sɥi"),
        ("phone_de", ("nuit",), "nɥi"),
        ("phone_de", ("huit",), "ɥit"),
        ("frequence", ("a",), 10000.0),
        ("frequence", ("y",), 2950.0),
        ("frequence", ("chat",), 57.5),
        ("frequence", ("aujourd'hui",), 417.0),
    ],
)
def test_valeurs_du_lexique_entier(defaut, methode, args, attendu):
    assert getattr(defaut, methode)(*args) == attendu


def test_suis_une_syllabe(defaut):
    assert {(e["phone"], e["nb_syllabes"], e["syllabes"]) for e in defaut.info("suis")} == {("sɥi", 1, "sɥi")}


def test_conjugaisons_completes(defaut):
    table = defaut.conjuguer("prendre")
    personnes = {"1s", "2s", "3s", "1p", "2p", "3p"}
    for mode, temps in [("ind", "pre"), ("ind", "imp"), ("ind", "pas"), ("ind", "fut"), ("cnd", "pre"),
                        ("sub", "pre"), ("sub", "imp")]:
        assert set(table[mode][temps]) == personnes, (mode, temps)
    assert table["ind"]["imp"]["1p"] == "prenions" and table["ind"]["imp"]["2p"] == "preniez"
    assert table["ind"]["pas"]["1p"] == "prîmes" and table["ind"]["pas"]["3p"] == "prirent"
    assert set(table["imp"]["pre"]) == {"2s", "1p", "2p"}
    assert defaut.conjuguer("avoir")["ind"]["pre"]["3s"] == "a"
    assert defaut.conjuguer("chanter")["ind"]["pre"]["1p"] == "chantons"


def test_identique_a_la_base_partagee(base, grand_sqlite):
    # The build from the compressed sources must give back the published database row for
    # row, phone_reversed included (there computed by the segmentation rule of the data set).
    base.execute("ATTACH DATABASE ? AS publie", (f"file:{grand_sqlite}?mode=ro",))
    try:
        for table in ("formes", "noms_propres"):
            colonnes = [r[1] for r in base.execute(f"PRAGMA publie.table_info({table})")]
            assert colonnes == [r[1] for r in base.execute(f"PRAGMA main.table_info({table})")]
            difference = " OR ".join(f"a.{c} IS NOT b.{c} OR typeof(a.{c}) != typeof(b.{c})" for c in colonnes)
            (n,) = base.execute(
                f"SELECT COUNT(*) FROM main.{table} a JOIN publie.{table} b ON a.rowid = b.rowid WHERE {difference}"
            ).fetchone()
            comptes = [base.execute(f"SELECT COUNT(*) FROM {b}.{table}").fetchone()[0] for b in ("main", "publie")]
            assert n == 0 and comptes[0] == comptes[1], (table, n, comptes)
    finally:
        base.execute("DETACH DATABASE publie")


@pytest.mark.parametrize(
    "args, lire, attendu",
    [
        (["existe", "a"], lambda r: r, {"a": True}),
        (["phone", "suis"], lambda r: r, {"suis": "sɥi"}),
        (["frequence", "y"], lambda r: r, {"y": 2950.0}),
        (["conjuguer", "prendre"], lambda r: (r["ind"]["imp"]["1p"], r["ind"]["pas"]["3p"]), ("prenions", "prirent")),
    ],
)
def test_ligne_de_commande_sur_le_lexique_embarque(capsys, args, lire, attendu):
    from brivane_lexique import cli

    assert cli.main(["--json", *args]) == 0
    assert lire(json.loads(capsys.readouterr().out)) == attendu


def outil_de_construction():
    chemin = Path(__file__).resolve().parents[1] / "tools" / "construire_lexique_defaut.py"
    chargeur = importlib.util.spec_from_file_location("construire_lexique_defaut", chemin)
    module = importlib.util.module_from_spec(chargeur)
    chargeur.loader.exec_module(module)
    return module


@pytest.mark.parametrize("sans_module_lzma", [False, True])
def test_sources_xz_lues_avec_ou_sans_module_lzma(tmp_path, monkeypatch, sans_module_lzma):
    import lzma

    outil = outil_de_construction()
    texte = "ortho\tphone\nsuis\tsɥi\nmaïs\tmais\n"
    chemin = tmp_path / "t.tsv.xz"
    chemin.write_bytes(lzma.compress(texte.encode("utf-8")))
    if sans_module_lzma:
        if shutil.which("xz") is None:
            pytest.skip("no xz program to stand in for the lzma module")
        monkeypatch.setitem(sys.modules, "lzma", None)
    assert outil.lire_xz(chemin) == texte
