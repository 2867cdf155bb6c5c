"""Command-line tool: most checks call cli.main() in-process; a few run the real entry points."""

import io
import json
import sqlite3
import subprocess
import sys
from pathlib import Path

import pytest

from brivane_lexique import cli

ENTETE = ["ortho", "phone", "lemme", "cgram", "genre", "nombre", "mode", "temps", "personne",
          "freq_opensubs", "nb_syllabes", "synonymes"]
LIGNES = [
    ("chanter", "ʃɑ̃te", "chanter", "VER", "", "", "inf", "", "", "10", "2", "fredonner;entonner"),
    ("chante", "ʃɑ̃t", "chanter", "VER", "", "s", "ind", "pre", "1", "8", "1", ""),
    ("chante", "ʃɑ̃t", "chanter", "VER", "", "s", "ind", "pre", "3", "8", "1", ""),
    ("chantons", "ʃɑ̃tɔ̃", "chanter", "VER", "", "p", "ind", "pre", "1", "3", "2", ""),
    ("chantait", "ʃɑ̃tɛ", "chanter", "VER", "", "s", "ind", "imp", "3", "2", "2", ""),
    ("chanté", "ʃɑ̃te", "chanter", "VER", "m", "s", "par", "pas", "", "5", "2", ""),
    ("planter", "plɑ̃te", "planter", "VER", "", "", "inf", "", "", "4", "2", ""),
    ("niche", "niʃ", "niche", "NOM", "f", "s", "", "", "", "3", "1", ""),
    ("chien", "ʃjɛ̃", "chien", "NOM", "m", "s", "", "", "", "20", "1", ""),
    ("chine", "ʃin", "chine", "NOM", "f", "s", "", "", "", "1", "1", ""),
]


@pytest.fixture
def tsv(tmp_path):
    chemin = tmp_path / "mini.tsv"
    chemin.write_text("\n".join("\t".join(l) for l in [ENTETE, *LIGNES]) + "\n", encoding="utf-8")
    return chemin


def lancer(capsys, *args):
    code = cli.main([str(a) for a in args])
    sortie = capsys.readouterr()
    return code, sortie.out, sortie.err


def lancer_json(capsys, *args):
    code, out, err = lancer(capsys, "--json", *args)
    assert code == 0, err
    return json.loads(out)


@pytest.mark.parametrize(
    "args, attendu",
    [
        (["existe", "chanter", "CHIEN", "zzz"], {"chanter": True, "CHIEN": True, "zzz": False}),
        (["phone", "chanter", "zzz"], {"chanter": "ʃɑ̃te", "zzz": None}),
        (["frequence", "chante"], {"chante": 8.0}),
        (["lemme", "chantons"], {"chantons": "chanter"}),
        (["synonymes", "chanter"], ["fredonner", "entonner"]),
        (["compter", "--cgram", "VER", "--nb-syllabes", "2"], {"nombre": 5}),
        (["compter", "--no-phone"], {"nombre": 0}),
        (["nom-propre", "existe", "Paris"], {"Paris": False}),
    ],
)
def test_json_valeurs(capsys, tsv, args, attendu):
    assert lancer_json(capsys, "--lexique", tsv, *args) == attendu


@pytest.mark.parametrize(
    "args, orthos",
    [
        (["homophones", "ʃɑ̃te"], ["chanter", "chanté"]),
        (["homophones", "--mot", "chanté"], ["chanter", "chanté"]),
        (["anagrammes", "chien"], ["niche", "chine"]),
        (["rimes", "chanter", "--limite", "2"], ["chanter", "chanté"]),
        (["rechercher", "^ch.*t$", "--limite", "10"], ["chantait"]),
        (["rechercher", "ɔ̃$", "--champ", "phone"], ["chantons"]),
        (["formes", "chanter", "--cgram", "VER"], ["chanter", "chante", "chantons", "chantait", "chanté"]),
        (["verbes", "ʃɑ̃t", "ʃɑ̃tɔ̃", "--personne", "1"], ["chante", "chantons"]),
        (["verbes", "ʃɑ̃t", "ʃɑ̃tɔ̃", "--personne", "1", "--nombre", "p"], ["chantons"]),
        (["filtrer", "--cgram", "NOM", "--genre", "f", "--limite", "1"], ["niche"]),
        (["syllabes", "1", "--cgram", "NOM"], ["chien", "niche", "chine"]),
    ],
)
def test_json_entrees(capsys, tsv, args, orthos):
    # Ordered by frequency in memory, so the expected lists are ordered too.
    assert [e["ortho"] for e in lancer_json(capsys, "--lexique", tsv, *args)] == orthos


def test_options_communes_apres_la_sous_commande(capsys, tsv):
    assert lancer_json(capsys, "existe", "chien", "--lexique", tsv) == {"chien": True}


def test_tableau_aligne_et_colonnes(capsys, tsv):
    code, out, _ = lancer(capsys, "--lexique", tsv, "info", "chante", "--colonnes", "ortho,personne,freq")
    assert code == 0
    lignes = out.splitlines()
    assert lignes[0].split() == ["ortho", "personne", "freq"]
    assert set(lignes[1]) == {"-", " "}
    assert [l.split() for l in lignes[2:]] == [["chante", "1", "8"], ["chante", "3", "8"]]
    # The IPA tilde is a combining mark: it must not shift the columns.
    code, out, _ = lancer(capsys, "--lexique", tsv, "homophones", "ʃɑ̃te", "--colonnes", "phone,ortho")
    lignes = out.splitlines()
    colonnes = {cli._largeur(l[: l.index(o)]) for l, o in zip(lignes[:1] + lignes[2:], ["ortho", "chanter", "chanté"])}
    assert colonnes == {len("phone") + 2}


def test_conjugaison_par_mode_et_temps(capsys, tsv):
    code, out, _ = lancer(capsys, "--lexique", tsv, "conjuguer", "chanter")
    blocs = {b.splitlines()[0]: b.splitlines()[1:] for b in out.strip().split("\n\n")}
    assert list(blocs) == ["indicatif", "infinitif", "participe"]
    assert blocs["infinitif"] == ["  chanter"] and blocs["participe"] == ["  passe  chanté"]
    assert blocs["indicatif"][0].split() == ["present", "imparfait"]
    assert blocs["indicatif"][2].split() == ["1s", "chante"]
    assert blocs["indicatif"][3].split() == ["3s", "chante", "chantait"]
    assert blocs["indicatif"][4].split() == ["1p", "chantons"]
    assert lancer_json(capsys, "--lexique", tsv, "conjuguer", "chanter")["ind"]["pre"]["1p"] == "chantons"


@pytest.mark.parametrize("commande", [["anagrammes", "xyzw"], ["synonymes", "chien"], ["conjuguer", "chien"]])
def test_resultat_vide(capsys, tsv, commande):
    code, out, err = lancer(capsys, "--lexique", tsv, *commande)
    assert (code, out, err) == (0, "", "aucun resultat\n")


def test_noms_propres_sur_tsv_avertit(capsys, tsv):
    code, out, err = lancer(capsys, "--lexique", tsv, "--json", "nom-propre", "info", "Paris")
    assert (code, json.loads(out)) == (0, [])
    assert "SQLite" in err


@pytest.mark.parametrize(
    "args, code, fragment",
    [
        (["rechercher", "["], 2, "expression reguliere invalide"),
        (["nom-propre", "rechercher", "(a"], 2, "expression reguliere invalide"),
        (["rimes"], 2, "arguments"),
        (["rimes", "chanter", "--limite", "beaucoup"], 2, "--limite"),
        (["verbes", "ʃɑ̃t", "--personne", "4"], 2, "--personne"),
        (["rimes", "chanter", "--nb-phonemes", "0"], 2, "--nb-phonemes"),
        (["filtrer", "--has-age", "--no-age"], 2, "--no-age"),
        (["inconnue"], 2, "inconnue"),
        (["nom-propre", "info", "a", "b"], 2, "un seul argument"),
        (["homophones", "--mot", "zzz"], 1, "prononciation inconnue"),
        (["exporter", "x.sqlite", "--format", "sqlite", "--colonnes", "inconnue"], 1, "aucune des colonnes"),
    ],
)
def test_erreurs_une_ligne(capsys, monkeypatch, tsv, args, code, fragment):
    monkeypatch.chdir(tsv.parent)
    obtenu, out, err = lancer(capsys, "--lexique", tsv, *args)
    assert obtenu == code
    assert out == "" and err.count("\n") == 1 and err.startswith("brivane-lexique")
    assert fragment in err


@pytest.mark.parametrize("nom", ["absent.sqlite", "absent.tsv"])
def test_lexique_absent_sans_creer_de_fichier(capsys, tmp_path, nom):
    code, _, err = lancer(capsys, "--lexique", tmp_path / nom, "existe", "a")
    assert code == 1 and "introuvable" in err and err.count("\n") == 1
    assert not (tmp_path / nom).exists()


def test_repertoire(capsys, tsv, tmp_path):
    assert lancer_json(capsys, "--lexique", tsv.parent, "existe", "chien") == {"chien": True}
    vide = tmp_path / "vide"
    vide.mkdir()
    code, _, err = lancer(capsys, "--lexique", vide, "existe", "a")
    assert code == 1 and "Aucun fichier lexique trouve dans" in err


class _Terminal(io.StringIO):
    def isatty(self):
        return True


@pytest.mark.parametrize("fmt", ["csv", "sqlite"])
def test_exporter_avec_progression(capsys, monkeypatch, tsv, tmp_path, fmt):
    terminal = _Terminal()
    monkeypatch.setattr(sys, "stderr", terminal)
    sortie = tmp_path / f"verbes.{fmt}"
    code = cli.main(["--lexique", str(tsv), "exporter", str(sortie), "--format", fmt, "--cgram", "VER",
                     "--colonnes", "ortho,lemme"])
    assert code == 0
    assert capsys.readouterr().out == f"7 lignes exportees vers {sortie} ({fmt})\n"
    assert "\r[" in terminal.getvalue() and "7/7 lignes" in terminal.getvalue()
    if fmt == "csv":
        assert sortie.read_text(encoding="utf-8").splitlines()[:2] == ["ortho,lemme", "chanter,chanter"]
    else:
        with sqlite3.connect(sortie) as conn:
            assert conn.execute("SELECT COUNT(*) FROM formes").fetchone() == (7,)


# --- real entry points, run as subprocesses (slow: kept few) -------------------------------------

SCRIPT = Path(sys.executable).with_name("brivane-lexique")


def executer(*args):
    return subprocess.run([*args], capture_output=True, text=True, encoding="utf-8", timeout=120)


def test_script_installe_rimes_sur_le_lexique_embarque():
    if not SCRIPT.exists():
        pytest.skip("console script not installed beside the interpreter")
    r = executer(str(SCRIPT), "rimes", "chanter", "--limite", "5")
    assert r.returncode == 0, r.stderr
    lignes = r.stdout.splitlines()
    assert lignes[0].split()[:2] == ["ortho", "phone"] and len(lignes) == 7
    assert all(l.split()[1].endswith("te") for l in lignes[2:])


def test_module_json_sur_le_lexique_embarque():
    r = executer(sys.executable, "-m", "brivane_lexique", "--json", "conjuguer", "chanter")
    assert r.returncode == 0, r.stderr
    table = json.loads(r.stdout)
    assert table["ind"]["pre"]["3p"] == "chantent" and table["par"]["pre"][""] == "chantant"


@pytest.mark.parametrize("args, code", [(["rechercher", "[a-"], 2), (["--lexique", "/nulle/part.db", "info", "a"], 1)])
def test_module_erreur_sans_trace(args, code):
    r = executer(sys.executable, "-m", "brivane_lexique", *args)
    assert r.returncode == code
    assert "Traceback" not in r.stderr and r.stderr.count("\n") == 1 and r.stdout == ""
