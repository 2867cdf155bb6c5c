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
        (["rimes", "chanter", "--limite", "2"], ["chanté", "planter"]),
        (["rimes", "chanter", "--limite", "2", "--avec-mot"], ["chanter", "chanté"]),
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


@pytest.mark.parametrize("options, effet", [(["--json"], True), (["--alphabet", "lexique"], True),
                                            (["--encodage", "utf-8"], False), (["--table", "formes"], False)])
def test_option_commune_avant_apres_ou_des_deux_cotes(capsys, tsv, options, effet):
    # The subcommand's copy of a shared option must not reset a value given before the subcommand.
    sortie = lancer(capsys, "--lexique", tsv, *options, "phone", "chanter")
    assert sortie[0] == 0
    assert lancer(capsys, "phone", "chanter", "--lexique", tsv, *options) == sortie
    assert lancer(capsys, *options, "phone", "chanter", "--lexique", tsv) == sortie
    assert (lancer(capsys, "--lexique", tsv, "phone", "chanter") != sortie) == effet


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
    assert blocs["infinitif"] == ["  chanter"] and blocs["participe"] == ["  passé  chanté"]
    assert blocs["indicatif"][0].split() == ["présent", "imparfait"]
    assert blocs["indicatif"][2].split() == ["1s", "chante"]
    assert blocs["indicatif"][3].split() == ["3s", "chante", "chantait"]
    assert blocs["indicatif"][4].split() == ["1p", "chantons"]
    assert lancer_json(capsys, "--lexique", tsv, "conjuguer", "chanter")["ind"]["pre"]["1p"] == "chantons"


@pytest.mark.parametrize("commande", [["anagrammes", "xyzw"], ["synonymes", "chien"], ["conjuguer", "chien"]])
def test_resultat_vide(capsys, tsv, commande):
    code, out, err = lancer(capsys, "--lexique", tsv, *commande)
    assert (code, out, err) == (0, "", "aucun résultat\n")


def test_noms_propres_sur_tsv_avertit(capsys, tsv):
    code, out, err = lancer(capsys, "--lexique", tsv, "--json", "nom-propre", "info", "Paris")
    assert (code, json.loads(out)) == (0, [])
    assert "SQLite" in err


@pytest.mark.parametrize(
    "args, code, fragment",
    [
        (["rechercher", "["], 2, "expression régulière invalide"),
        (["nom-propre", "rechercher", "(a"], 2, "expression régulière invalide"),
        (["rimes"], 2, "arguments"),
        (["rimes", "chanter", "--limite", "beaucoup"], 2, "--limite"),
        (["verbes", "ʃɑ̃t", "--personne", "4"], 2, "--personne"),
        (["rimes", "chanter", "--nb-phonemes", "0"], 2, "--nb-phonemes"),
        (["filtrer", "--has-age", "--no-age"], 2, "--no-age"),
        (["inconnue"], 2, "inconnue"),
        (["nom-propre", "info", "a", "b"], 2, "un seul argument"),
        (["homophones", "--mot", "zzz"], 1, "prononciation inconnue"),
        (["exporter", "x.sqlite", "--format", "sqlite", "--colonnes", "inconnue"], 2, "colonne inconnue : inconnue"),
        (["info", "chat", "--colonnes", "ortho,foo"], 2, "colonnes valides : ortho, phone,"),
        (["filtrer", "--limite", "-1"], 2, "--limite"),
    ],
)
def test_erreurs_une_ligne(capsys, monkeypatch, tsv, args, code, fragment):
    monkeypatch.chdir(tsv.parent)
    obtenu, out, err = lancer(capsys, "--lexique", tsv, *args)
    assert obtenu == code
    assert out == "" and err.count("\n") == 1 and err.startswith("brivane-lexique")
    assert fragment in err


def _tronque(donnees):
    return donnees[: len(donnees) // 2]


def _abime(donnees):
    return donnees[:20] + b"\xff" * 20 + donnees[40:]


@pytest.mark.parametrize("module", ["gzip", "lzma"])
@pytest.mark.parametrize("changer", [_tronque, _abime])
def test_lexique_compresse_illisible_une_ligne(capsys, tsv, module, changer):
    # A truncated stream ends in EOFError, a damaged one in the module's own error: both are the
    # reader's message about the file, never an unexpected error.
    compresse = tsv.with_name(tsv.name + (".gz" if module == "gzip" else ".xz"))
    compresse.write_bytes(changer(__import__(module).compress(tsv.read_bytes())))
    code, out, err = lancer(capsys, "--lexique", compresse, "existe", "chien")
    assert (code, out) == (1, "") and err.count("\n") == 1
    assert err.startswith(f"brivane-lexique: {compresse}") and "erreur inattendue" not in err


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
    assert capsys.readouterr().out == f"7 lignes exportées vers {sortie} ({fmt})\n"
    assert "\r[" in terminal.getvalue() and "7/7 lignes" in terminal.getvalue()
    if fmt == "csv":
        assert sortie.read_text(encoding="utf-8").splitlines()[:2] == ["ortho,lemme", "chanter,chanter"]
    else:
        with sqlite3.connect(sortie) as conn:
            assert conn.execute("SELECT COUNT(*) FROM formes").fetchone() == (7,)


# --- one meaning per option, whatever the backend ----------------------------------------------

# The same rows as `tsv`, with an empty age column, as a SQLite lexicon typed like the
# shipped one (REAL frequency and age, INTEGER syllables, reversed phones for rhymes).
COLONNES_SQL = {"freq_opensubs": "REAL", "nb_syllabes": "INTEGER", "age": "REAL"}


def _ecrire_tsv(chemin, lignes):
    chemin.write_text("\n".join("\t".join(l) for l in [ENTETE + ["age"], *[l + ("",) for l in lignes]]) + "\n",
                      encoding="utf-8")
    return chemin


def _ecrire_sqlite(chemin, lignes):
    from brivane_lexique._utils import _tokenize_ipa

    noms = ENTETE + ["age", "phone_reversed"]
    with sqlite3.connect(chemin) as conn:
        conn.execute("CREATE TABLE formes (" + ", ".join(f"{n} {COLONNES_SQL.get(n, 'TEXT')}" for n in noms) + ")")
        for l in lignes:
            valeurs = [float(v) if n == "freq_opensubs" else int(v) if n == "nb_syllabes" else v
                       for n, v in zip(ENTETE, l)]
            valeurs += [None, "".join(reversed(_tokenize_ipa(l[1])))]
            conn.execute(f"INSERT INTO formes VALUES ({', '.join('?' * len(noms))})", valeurs)
    conn.close()
    return chemin


@pytest.fixture(params=["tsv", "sqlite"])
def lexique(request, tmp_path):
    if request.param == "tsv":
        return _ecrire_tsv(tmp_path / "mini.tsv", LIGNES)
    return _ecrire_sqlite(tmp_path / "mini.sqlite", LIGNES)


@pytest.fixture
def deux_lexiques(tmp_path):
    return _ecrire_tsv(tmp_path / "mini.tsv", LIGNES), _ecrire_sqlite(tmp_path / "mini.sqlite", LIGNES)


@pytest.mark.parametrize(
    "args",
    [
        ["info", "chante"],
        ["filtrer", "--cgram", "VER", "--limite", "0"],
        ["filtrer", "--cgram", "VER", "--limite", "0", "--analyses"],
        ["filtrer", "--limite", "3", "--colonnes", "ortho,freq_opensubs,nb_syllabes,age"],
        ["syllabes", "1", "--limite", "0"],
        ["rimes", "chanter", "--nb-phonemes", "1"],
        ["rechercher", "^ch", "--limite", "2"],
        ["homophones", "ʃɑ̃t", "--colonnes", "ortho,phone,freq"],
        ["conjuguer", "chanter"],
        ["formes", "chanter", "--colonnes", "ortho,FREQ_OPENSUBS"],
    ],
)
def test_json_identique_sur_les_deux_backends(capsys, deux_lexiques, args):
    tsv, base = deux_lexiques
    resultat = lancer_json(capsys, "--lexique", tsv, *args)
    assert resultat and resultat == lancer_json(capsys, "--lexique", base, *args)


@pytest.mark.parametrize("args", [["info", "chante"], ["syllabes", "2", "--colonnes", "ortho,nb_syllabes,age,freq"],
                                  ["rimes", "chanter", "--analyses"]])
def test_tableau_identique_sur_les_deux_backends(capsys, deux_lexiques, args):
    tsv, base = deux_lexiques
    sorties = [lancer(capsys, "--lexique", chemin, *args) for chemin in (tsv, base)]
    assert sorties[0] == sorties[1] and sorties[0][0] == 0 and sorties[0][1]


@pytest.mark.parametrize("fmt", ["csv", "sqlite"])
def test_export_colonne_inconnue_laisse_le_fichier_existant(capsys, lexique, tmp_path, fmt):
    # The SQLite writer deletes its target before it meets the bad column: refuse before it runs.
    cible = tmp_path / f"precieux.{fmt}"
    cible.write_bytes(b"a garder")
    code, _, err = lancer(capsys, "--lexique", lexique, "exporter", cible, "--format", fmt, "--colonnes", "ortho,foo")
    assert code == 2 and "colonne inconnue : foo" in err
    assert cible.read_bytes() == b"a garder"


def test_stimuli_sans_limite_ecrit_toutes_les_lignes(capsys, lexique, tmp_path):
    # No --limite means every row, whatever the backend reads a limit of 0 as.
    sortie = tmp_path / "tout.csv"
    code, out, err = lancer(capsys, "--lexique", lexique, "stimuli", sortie, "--colonnes", "ortho")
    assert code == 0, err
    assert sorted(sortie.read_text(encoding="utf-8").splitlines()[1:]) == sorted(l[0] for l in LIGNES)
    assert out == f"{len(LIGNES)} lignes écrites dans {sortie} (csv)\n"


def test_colonne_masquee_par_une_autre_du_meme_nom_canonique(capsys, tmp_path):
    # Two frequency columns: the entries carry the first one as freq, never the second.
    chemin = tmp_path / "deux.tsv"
    chemin.write_text("ortho\tfreq_opensubs\tfreqfilms2\nchat\t5\t7\n", encoding="utf-8")
    assert lancer_json(capsys, "--lexique", chemin, "info", "chat", "--colonnes", "ortho,freq_opensubs,freq") == \
        [{"ortho": "chat", "freq_opensubs": 5.0, "freq": 5.0}]
    code, out, err = lancer(capsys, "--lexique", chemin, "info", "chat", "--colonnes", "freqfilms2")
    assert (code, out) == (2, "") and "freq vient de freq_opensubs" in err


def test_json_types_et_colonnes_internes(capsys, lexique):
    (entree, _) = lancer_json(capsys, "--lexique", lexique, "info", "chante")
    assert entree["nb_syllabes"] == 1 and entree["freq"] == 8.0 and isinstance(entree["freq"], float)
    assert entree["age"] is None and entree["genre"] is None and entree["personne"] == "1"
    assert "phone_reversed" not in entree and "freq_opensubs" not in entree


@pytest.mark.parametrize(
    "args, attendu",
    [
        # --limite 0: every spelling, one row each (chante has two analyses).
        (["filtrer", "--cgram", "VER", "--limite", "0"], ["chanter", "chante", "chantons", "chantait", "chanté",
                                                          "planter"]),
        (["filtrer", "--cgram", "VER", "--limite", "0", "--analyses"], ["chanter", "chante", "chante", "chantons",
                                                                        "chantait", "chanté", "planter"]),
        (["syllabes", "1", "--cgram", "VER", "--limite", "1"], ["chante"]),
        (["syllabes", "1", "--cgram", "VER", "--analyses"], ["chante", "chante"]),
        (["rimes", "chanter"], ["chanté", "planter"]),
        (["rimes", "chanter", "--avec-mot", "--limite", "0"], ["chanter", "chanté", "planter"]),
    ],
)
def test_listes_une_ligne_par_orthographe(capsys, lexique, args, attendu):
    orthos = [e["ortho"] for e in lancer_json(capsys, "--lexique", lexique, *args)]
    if "filtrer" in args:  # no order is promised for a filter: the set and the repeats count
        assert sorted(orthos) == sorted(attendu)
    else:
        assert orthos == attendu


def test_rimes_d_un_mot_plus_court_que_nb_phonemes(capsys, tmp_path):
    lignes = LIGNES + [("eau", "o", "eau", "NOM", "f", "s", "", "", "", "30", "1", ""),
                       ("beau", "bo", "beau", "ADJ", "m", "s", "", "", "", "20", "1", ""),
                       ("peau", "po", "peau", "NOM", "f", "s", "", "", "", "9", "1", "")]
    for chemin in (_ecrire_tsv(tmp_path / "o.tsv", lignes), _ecrire_sqlite(tmp_path / "o.sqlite", lignes)):
        assert [e["ortho"] for e in lancer_json(capsys, "--lexique", chemin, "rimes", "eau")] == ["beau", "peau"]
        # Two phonemes asked, but a two-phoneme word keeps the rule as it was.
        assert [e["ortho"] for e in lancer_json(capsys, "--lexique", chemin, "rimes", "beau")] == []


@pytest.mark.parametrize("fmt", ["csv", "sqlite"])
@pytest.mark.parametrize("demandees", ["ortho,freq", "ortho,freq_opensubs"])
def test_export_colonne_de_frequence_remplie(capsys, monkeypatch, lexique, tmp_path, fmt, demandees):
    monkeypatch.chdir(tmp_path)
    sortie = tmp_path / f"sortie.{fmt}"
    code, _, err = lancer(capsys, "--lexique", lexique, "exporter", sortie, "--format", fmt, "--colonnes", demandees,
                          "--cgram", "NOM")
    assert code == 0, err
    if fmt == "csv":
        lignes = [l.split(",") for l in sortie.read_text(encoding="utf-8").splitlines()[1:]]
    else:
        with sqlite3.connect(sortie) as conn:
            lignes = conn.execute("SELECT * FROM formes").fetchall()
        conn.close()
    assert sorted((o, float(f)) for o, f in lignes) == [("chien", 20.0), ("chine", 1.0), ("niche", 3.0)]


def test_conjugaison_dans_l_ordre_des_personnes(capsys, tmp_path):
    lignes = [("chantent", "ʃɑ̃t", "chanter", "VER", "", "p", "ind", "pre", "3", "2", "1", ""),
              ("chantons", "ʃɑ̃tɔ̃", "chanter", "VER", "", "p", "ind", "pre", "1", "3", "2", ""),
              ("chantes", "ʃɑ̃t", "chanter", "VER", "", "s", "ind", "pre", "2", "1", "1", ""),
              ("chante", "ʃɑ̃t", "chanter", "VER", "", "s", "ind", "pre", "1", "8", "1", "")]
    for chemin in (_ecrire_tsv(tmp_path / "c.tsv", lignes), _ecrire_sqlite(tmp_path / "c.sqlite", lignes)):
        code, out, _ = lancer(capsys, "--lexique", chemin, "--json", "conjuguer", "chanter")
        assert list(json.loads(out)["ind"]["pre"]) == ["1s", "2s", "1p", "3p"]
        code, out, _ = lancer(capsys, "--lexique", chemin, "conjuguer", "chanter")
        assert [l.split()[0] for l in out.splitlines()[3:]] == ["1s", "2s", "1p", "3p"]


def test_une_ligne_par_orthographe_garde_l_analyse_la_plus_frequente(capsys, tmp_path):
    # Per-analysis frequencies (as in Lexique 3): the least frequent analysis comes first in the file.
    lignes = [("été", "ete", "été", "NOM", "m", "s", "", "", "", "10", "2", ""),
              ("été", "ete", "être", "AUX", "", "", "par", "pas", "", "30", "2", ""),
              ("chanter", "ʃɑ̃te", "chanter", "VER", "", "", "inf", "", "", "20", "2", "")]
    for chemin in (_ecrire_tsv(tmp_path / "e.tsv", lignes), _ecrire_sqlite(tmp_path / "e.sqlite", lignes)):
        for args in (["syllabes", "2"], ["filtrer"], ["rechercher", "t"], ["homophones", "ete"]):
            resultat = lancer_json(capsys, "--lexique", chemin, *args, "--colonnes", "ortho,cgram,freq")
            assert {"ortho": "été", "cgram": "AUX", "freq": 30.0} in resultat, (chemin.suffix, args)
            assert [e["ortho"] for e in resultat].count("été") == 1


def _copies(n):
    return [{"ortho": "a", "freq": 1.0}] * n + [{"ortho": "b", "freq": 1.0}, {"ortho": "c", "freq": 1.0}]


@pytest.mark.parametrize(
    "regroupe, limite, attendu",
    [
        (False, 2, ["a", "b"]),        # the first answer holds only copies of one spelling
        (False, 0, ["a", "b", "c"]),
        (True, 2, ["a", "b"]),         # the API groups after its limit: fewer rows than asked
        (True, 5, ["a", "b", "c"]),    # exhausted: stops once a larger request brings nothing new
    ],
)
def test_lister_redemande_plus_large(regroupe, limite, attendu):
    lignes = _copies(500)
    demandes = []

    def requete(n):
        demandes.append(n)
        rendu = lignes[:n]
        return [e for i, e in enumerate(rendu) if e not in rendu[:i]] if regroupe else rendu

    assert [e["ortho"] for e in cli.lister(requete, limite, False)] == attendu
    assert demandes == sorted(demandes) and len(demandes) <= 5


# --- what a lexicon says about itself ------------------------------------------------------------


def test_colonnes_commande_et_methode(capsys, lexique):
    from brivane_lexique.lexique import Lexique

    decrites = {c["source"]: c for c in lancer_json(capsys, "--lexique", lexique, "colonnes")}
    assert [c for c in decrites if c != "phone_reversed"] == ENTETE + ["age"]
    freq = decrites["freq_opensubs"]
    assert (freq["nom"], freq["frequence"], freq["type"], freq["remplies"]) == ("freq", True, "reel", len(LIGNES))
    assert [c["source"] for c in decrites.values() if c["frequence"]] == ["freq_opensubs"]
    assert (decrites["nb_syllabes"]["type"], decrites["age"]["remplies"], decrites["age"]["exemple"]) == \
        ("entier", 0, None)
    assert decrites["genre"]["remplies"] == sum(1 for l in LIGNES if l[4])
    assert str(decrites["synonymes"]["exemple"]) == "fredonner;entonner"
    with Lexique(lexique) as lex:
        assert lex.colonnes() == list(decrites.values())
    code, out, _ = lancer(capsys, "--lexique", lexique, "colonnes")
    assert out.splitlines()[0].split() == ["nom", "source", "type", "remplies", "exemple", "fréquence"]


@pytest.mark.parametrize(
    "valeurs, type_, remplies, exemple",
    [
        (["1", "22", " -3 "], "entier", 3, "1"),
        (["1", "2.5", "1e-3"], "reel", 3, "1"),
        (["1", "x"], "texte", 2, "1"),
        (["", "  "], "texte", 0, None),
        (["", "nan"], "texte", 1, "nan"),
        (["", "4,5"], "reel", 1, "4,5"),  # a decimal comma reads as a number
    ],
)
def test_colonnes_types_d_un_csv(tmp_path, valeurs, type_, remplies, exemple):
    from brivane_lexique.lexique import Lexique

    chemin = tmp_path / "l.csv"
    chemin.write_text("ortho,mesure\n" + "".join(f'a{i},"{v}"\n' for i, v in enumerate(valeurs)), encoding="utf-8")
    mesure = Lexique(chemin).colonnes()[1]
    assert (mesure["type"], mesure["remplies"], mesure["exemple"]) == (type_, remplies, exemple)


def test_repr_chemin_backend_et_lignes(tsv, tmp_path):
    from brivane_lexique.lexique import Lexique

    lex = Lexique(tsv)
    assert repr(lex) == f"<Lexique {str(tsv)!r} (tsv, {len({l[0] for l in LIGNES})} formes)>"
    assert lex._index_ortho is None  # repr must not build the indexes
    lex._charger_index()
    assert repr(lex) == f"<Lexique {str(tsv)!r} (tsv, {len(LIGNES)} lignes)>"
    base = _ecrire_sqlite(tmp_path / "r.sqlite", LIGNES)
    with Lexique(base) as lex:
        assert repr(lex) == f"<Lexique {str(base)!r} (sqlite, {len(LIGNES)} lignes)>"


def test_version(capsys):
    from importlib.metadata import version

    with pytest.raises(SystemExit) as fin:
        cli.main(["--version"])
    assert fin.value.code == 0
    assert capsys.readouterr().out.strip() == f"brivane-lexique {version('brivane_lexique')}"


@pytest.mark.parametrize("args", [["existe", "chien"], ["--json", "phone", "chien"]])
def test_version_cherchee_seulement_sur_demande(capsys, monkeypatch, tsv, args):
    # Looking the installed metadata up costs every call of the command its import.
    def interdit():
        raise AssertionError("metadata looked up without --version")

    monkeypatch.setattr(cli, "_version", interdit)
    code, out, err = lancer(capsys, "--lexique", tsv, *args)
    assert code == 0 and out and "AssertionError" not in err
    monkeypatch.setattr(cli, "_version", lambda: "9.9")
    for avant in ([], ["--lexique", str(tsv)]):
        with pytest.raises(SystemExit) as fin:
            cli.main([*avant, "--version", *args])
        assert fin.value.code == 0
        assert capsys.readouterr().out == "brivane-lexique 9.9\n"


def test_repertoire_annonce_le_fichier_et_refuse_l_ambiguite(capsys, tsv, tmp_path):
    code, out, err = lancer(capsys, "--lexique", tmp_path, "--json", "existe", "chien")
    assert code == 0 and json.loads(out) == {"chien": True}
    assert str(tsv) in err
    (tmp_path / "verbes.sqlite").write_bytes(b"")  # an export left beside the lexicon
    code, out, err = lancer(capsys, "--lexique", tmp_path, "existe", "chien")
    assert (code, out) == (2, "") and "verbes.sqlite" in err and "mini.tsv" in err


@pytest.mark.parametrize("terminal", [True, False])
def test_progression_des_index(capsys, monkeypatch, tsv, terminal):
    flux = _Terminal() if terminal else io.StringIO()
    monkeypatch.setattr(sys, "stderr", flux)
    monkeypatch.setattr(cli, "DELAI_INDEX", 0.0)
    assert cli.main(["--lexique", str(tsv), "--json", "lemme", "chantons"]) == 0
    assert json.loads(capsys.readouterr().out) == {"chantons": "chanter"}
    if terminal:
        assert flux.getvalue().startswith("\r[") and "100 % construction des index\n" in flux.getvalue()
    else:
        assert flux.getvalue() == ""


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


def test_module_sortie_coupee_par_le_lecteur(tmp_path):
    # A reader that stops early (| head) is no error: no message, exit status 0.
    chemin = tmp_path / "grand.tsv"
    chemin.write_text("ortho\tphone\n" + "".join(f"mot{i}\tmo\n" for i in range(20000)), encoding="utf-8")
    p = subprocess.Popen([sys.executable, "-m", "brivane_lexique", "--lexique", str(chemin), "rechercher", "^mot",
                          "--limite", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    p.stdout.read(100)
    p.stdout.close()
    assert (p.wait(timeout=120), p.stderr.read()) == (0, b"")


@pytest.mark.parametrize("args, code", [(["rechercher", "[a-"], 2), (["--lexique", "/nulle/part.db", "info", "a"], 1)])
def test_module_erreur_sans_trace(args, code):
    r = executer(sys.executable, "-m", "brivane_lexique", *args)
    assert r.returncode == code
    assert "Traceback" not in r.stderr and r.stderr.count("\n") == 1 and r.stdout == ""


# --- the table of subcommands and the shared output routine -------------------------------------

SOUS_COMMANDES = {
    # name: (takes --colonnes, an option or argument of its own)
    "existe": (False, "MOT"), "info": (True, "mot"), "phone": (False, "MOT"), "homophones": (True, "--mot"),
    "frequence": (False, "MOT"), "lemme": (False, "MOT"), "formes": (True, "--cgram"), "conjuguer": (False, "verbe"),
    "verbes": (True, "--personne"), "definitions": (True, "--cgram"), "synonymes": (False, "mot"),
    "antonymes": (False, "mot"), "rechercher": (True, "--champ"), "anagrammes": (True, "--analyses"),
    "rimes": (True, "--nb-phonemes"), "contient-son": (True, "son"), "syllabes": (True, "--cgram"),
    "filtrer": (True, "--une-par-ortho"), "compter": (False, "--no-phone"), "exporter": (True, "--format"),
    "colonnes": (False, "--alphabet"), "stimuli": (True, "--old20-max"), "nom-propre": (True, "ARG"),
    "voisins": (False, "--phone"), "mesures": (False, "--fichier"),
}


def test_aide_liste_les_sous_commandes_dans_l_ordre(capsys):
    with pytest.raises(SystemExit):
        cli.main(["--help"])
    aide = capsys.readouterr().out
    assert [aide.index(f"\n    {nom} ") for nom in SOUS_COMMANDES] == sorted(aide.index(f"\n    {nom} ")
                                                                            for nom in SOUS_COMMANDES)


@pytest.mark.parametrize("nom", list(SOUS_COMMANDES))
def test_aide_de_chaque_sous_commande(capsys, nom):
    colonnes, propre = SOUS_COMMANDES[nom]
    with pytest.raises(SystemExit) as fin:
        cli.main([nom, "--help"])
    aide = capsys.readouterr().out
    assert fin.value.code == 0 and aide.startswith(f"utilisation : brivane-lexique {nom} ")
    assert all(o in aide for o in ("--lexique", "--json", "--encodage", "--alphabet", propre))
    assert ("--colonnes" in aide) == colonnes


@pytest.mark.parametrize(
    "args, sortie, erreur",
    [
        # A count of zero is a result, an empty list or table is not.
        (["compter", "--cgram", "ZZZ"], "0\n", ""),
        (["--json", "compter", "--cgram", "ZZZ"], '{\n  "nombre": 0\n}\n', ""),
        (["formes", "zzz"], "", "aucun résultat\n"),
        (["--json", "formes", "zzz"], "[]\n", ""),
        (["definitions", "zzz"], "", "aucun résultat\n"),
        (["--json", "conjuguer", "zzz"], "{}\n", ""),
        (["existe", "zzz"], "mot  existe\n---  ------\nzzz  non\n", ""),
    ],
)
def test_resultat_nul_et_resultat_vide(capsys, tsv, args, sortie, erreur):
    assert lancer(capsys, "--lexique", tsv, *args) == (0, sortie, erreur)


@pytest.mark.parametrize(
    "args, message",
    [
        (["rimes", "chanter", "--limite", "x"], "entier >= 0 attendu (0 : pas de limite) : 'x'"),
        (["stimuli", "l.csv", "--limite", "-2"], "entier >= 0 attendu (0 : pas de limite) : '-2'"),
        (["rimes", "chanter", "--nb-phonemes", "x"], "entier >= 1 attendu : 'x'"),
        (["mesures", "chat", "--n", "0"], "n doit valoir au moins 1"),
        (["mesures", "chat", "--n", "deux"], "entier attendu : 'deux'"),
    ],
)
def test_entiers_refuses(capsys, tsv, args, message):
    code, out, err = lancer(capsys, "--lexique", tsv, *args)
    assert (code, out) == (2, "") and message in err and err.count("\n") == 1


@pytest.fixture
def orthos_numeriques(tmp_path):
    # A column without a type keeps what was inserted: here a spelling stored as an integer.
    chemin = tmp_path / "sept.sqlite"
    with sqlite3.connect(chemin) as conn:
        conn.execute("CREATE TABLE formes (ortho, phone, lemme, cgram, freq_opensubs, nb_syllabes)")
        conn.executemany("INSERT INTO formes VALUES (?, ?, ?, ?, ?, ?)",
                         [(7, "sɛt", 7, "ADJ", 2.0, 1), (7, "sɛt", 7, "NOM", 5.0, 1),
                          ("sept", "sɛt", "sept", "ADJ", 9.0, 1)])
    conn.close()
    return chemin


@pytest.mark.parametrize("args", [["filtrer", "--limite", "0"], ["syllabes", "1"], ["homophones", "sɛt"],
                                  ["rimes", "sept", "--avec-mot"]])
def test_une_ligne_par_orthographe_non_textuelle(capsys, orthos_numeriques, args):
    lignes = lancer_json(capsys, "--lexique", orthos_numeriques, *args)
    assert sorted((str(e["ortho"]), e["cgram"]) for e in lignes) == [("7", "NOM"), ("sept", "ADJ")]


@pytest.mark.parametrize("commande", [["stimuli"], ["exporter"], ["exporter", "--format", "sqlite"]])
def test_ecriture_dans_un_dossier_absent_nomme_la_destination(capsys, tsv, tmp_path, commande):
    cible = tmp_path / "absent" / "liste.csv"
    code, out, err = lancer(capsys, "--lexique", tsv, commande[0], cible, *commande[1:])
    assert (code, out) == (1, "") and err.rstrip().endswith(f" : {cible}") and ".partiel" not in err
