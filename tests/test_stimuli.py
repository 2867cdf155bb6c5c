"""Stimulus lists: criteria of form, one row per spelling, sorting, measures, the stimuli command.

Every check compares a backend's answer with a plain-Python reference computed from the
rows the same backend returns without the new options.
"""

import csv
import json
import sqlite3

import pytest

from brivane_lexique import Lexique, cli, cli_stimuli
from brivane_lexique._recherche import _get_nb_syllabes
from brivane_lexique._utils import _tokenize_ipa, normaliser_ortho

COLONNES = ("ortho", "phone", "lemme", "cgram", "freq_opensubs", "nb_syllabes", "rang")
LIGNES = [
    ("chat", "ʃa", "chat", "NOM", 10.0, 1),
    ("chatte", "ʃat", "chat", "NOM", 4.0, 1),
    ("chanter", "ʃɑ̃te", "chanter", "VER", 30.0, 2),
    ("chante", "ʃɑ̃t", "chanter", "VER", 50.0, 1),
    ("chante", "ʃɑ̃t", "chanter", "VER", 70.0, 1),  # the most frequent chante...
    ("chante", "ʃɑ̃tə", "chanter", "VER", 70.0, 2),  # ...and its equal, met later
    ("Chat", "ʃa", "chat", "NOM", 2.0, 1),  # the same spelling as chat once normalised
    ("tchèque", "t͡ʃɛk", "tchèque", "ADJ", 5.0, 1),  # a tie bar: three phonemes
    ("abat-jour", "abaʒuʁ", "abat-jour", "NOM", 1.5, 3),
    ("été", "ete", "être", "AUX", None, 2),  # no frequency
    ("zut", "", "zut", "ONO", 0.5, None),  # no pronunciation, no syllable count
    ("pâte", "pat", "pâte", "NOM", 10.0, 1),  # a tie with chat on the frequency
]
MESURES = ("old20", "pld20", "n_ortho", "n_phon", "pu_ortho", "pu_phon", "homographes", "homophones")


def ecrire(dossier, backend):
    lignes = [l + (i,) for i, l in enumerate(LIGNES)]
    if backend == "sqlite":
        chemin = dossier / "l.sqlite"
        conn = sqlite3.connect(chemin)
        conn.execute("CREATE TABLE formes (ortho TEXT, phone TEXT, lemme TEXT, cgram TEXT, freq_opensubs REAL, "
                     "nb_syllabes INTEGER, rang INTEGER)")
        conn.executemany("INSERT INTO formes VALUES (?, ?, ?, ?, ?, ?, ?)", lignes)
        conn.commit()
        conn.close()
        return chemin
    chemin = dossier / "l.tsv"
    texte = "\t".join(COLONNES) + "\n"
    texte += "".join("\t".join("" if v is None else str(v) for v in l) + "\n" for l in lignes)
    chemin.write_text(texte, encoding="utf-8")
    return chemin


def levenshtein(a, b):
    prec = list(range(len(b) + 1))
    for i, x in enumerate(a, 1):
        cour = [i]
        for j, y in enumerate(b, 1):
            cour.append(min(prec[j] + 1, cour[j - 1] + 1, prec[j - 1] + (x != y)))
        prec = cour
    return prec[-1]


class AvecMesures(Lexique):
    """Lexique whose measures are a brute-force reference over its own spellings."""

    def __init__(self, *a, **kw):
        super().__init__(*a, **kw)
        self.appels = []

    def mesures(self, mots):
        mots = [mots] if isinstance(mots, str) else list(mots)
        self.appels.append(mots)
        lexique = sorted(self._formes)
        res = {}
        for mot in mots:
            m = normaliser_ortho(mot)
            autres = sorted(levenshtein(m, x) for x in lexique if x != m)[:20]
            res[mot] = {
                "old20": sum(autres) / len(autres),
                "pld20": None if m not in lexique else float(len(m)),
                "n_ortho": sum(len(x) == len(m) and levenshtein(m, x) == 1 for x in lexique),
                "n_phon": None if m not in lexique else 0,
                "pu_ortho": len(m) + 1,
                "pu_phon": None,
                "homographes": 0,
                "homophones": None if m not in lexique else 0,
            }
        return res


@pytest.fixture(params=["sqlite", "tsv"])
def lex(request, tmp_path):
    return AvecMesures(ecrire(tmp_path, request.param))


def tout(lex):
    """limite meaning every row, on either backend."""
    return -1 if lex._backend == "sqlite" else 0


def rangs(lignes):
    return [int(e["rang"]) for e in lignes]


def freq(e):
    try:
        return float(e.get("freq") or 0)
    except ValueError:
        return 0.0


@pytest.mark.parametrize(
    "kw, garde",
    [
        ({"nb_lettres_min": 6}, lambda e: len(e["ortho"]) >= 6),
        ({"nb_lettres_max": 4}, lambda e: len(e["ortho"]) <= 4),
        ({"nb_lettres_min": 4.9, "nb_lettres_max": 6}, lambda e: 4 <= len(e["ortho"]) <= 6),
        ({"nb_phonemes_min": 4}, lambda e: len(_tokenize_ipa(e["phone"] or "")) >= 4),
        ({"nb_phonemes_max": 3}, lambda e: len(_tokenize_ipa(e["phone"] or "")) <= 3),
        ({"nb_phonemes_min": 3, "nb_phonemes_max": 3}, lambda e: len(_tokenize_ipa(e["phone"] or "")) == 3),
        ({"nb_syllabes_min": 2}, lambda e: (_get_nb_syllabes(e) or 0) >= 2),
        ({"nb_syllabes_max": 1}, lambda e: _get_nb_syllabes(e) is not None and _get_nb_syllabes(e) <= 1),
        ({"motif": "^ch"}, lambda e: e["ortho"].lower().startswith("ch")),
        ({"motif": "T$"}, lambda e: e["ortho"].endswith("t")),
        ({"motif": "[-è]"}, lambda e: "-" in e["ortho"] or "è" in e["ortho"]),
        ({"cgram": "NOM", "nb_lettres_max": 5, "motif": "a"},
         lambda e: e["cgram"] == "NOM" and len(e["ortho"]) <= 5 and "a" in e["ortho"]),
    ],
)
def test_criteres_de_forme(lex, chemins, kw, garde):
    base = lex.filtrer(limite=tout(lex))
    attendu = [int(e["rang"]) for e in base if garde(e)]
    assert attendu and len(attendu) < len(base)  # the case selects something, not everything
    for _ in range(2):  # the second scan reads the records the first one made
        assert rangs(lex.filtrer(limite=tout(lex), **kw)) == attendu
    assert lex.compter(**kw) == len(attendu)
    assert rangs(lex.filtrer(limite=2, **kw)) == attendu[:2]


def test_module_filtrer_criteres_de_forme(lex, chemins):
    entrees = lex.filtrer(limite=tout(lex))
    from brivane_lexique import _recherche

    res = _recherche.filtrer(iter(entrees), nb_lettres_max=5, nb_phonemes_min=3, motif="A", limite=0)
    attendu = [e for e in entrees if len(e["ortho"]) <= 5 and len(_tokenize_ipa(e["phone"] or "")) >= 3
               and "a" in e["ortho"].lower()]
    assert res == attendu and all(a is b for a, b in zip(res, attendu))


def reference_une_par_ortho(lignes):
    gardees = {}
    for e in lignes:
        cle = normaliser_ortho(e["ortho"])
        if cle not in gardees or freq(e) > freq(gardees[cle]):
            gardees[cle] = e
    return list(gardees.values())


def test_une_par_ortho(lex):
    base = lex.filtrer(limite=tout(lex))
    res = lex.filtrer(limite=tout(lex), une_par_ortho=True)
    assert rangs(res) == rangs(reference_une_par_ortho(base))
    assert rangs(res)[:3] == [0, 1, 2] and 4 in rangs(res)  # chat for Chat, the first of two equal chante
    assert lex.compter(une_par_ortho=True) == len(res) == len({normaliser_ortho(e["ortho"]) for e in base})
    assert rangs(lex.filtrer(une_par_ortho=True, cgram="VER")) == [2, 4]


def reference_tri(lignes, cles):
    def vide(v):
        return v is None or (isinstance(v, str) and not v.strip()) or v != v

    def nombre(v):
        try:
            float(v)
            return True
        except (TypeError, ValueError):
            return False

    lignes = list(lignes)
    for cle in reversed(cles):
        desc, nom = cle.startswith("-"), cle.lstrip("-")
        pleines = [e for e in lignes if not vide(e.get(nom))]
        en_nombres = all(nombre(e[nom]) for e in pleines)
        pleines.sort(key=lambda e: float(e[nom]) if en_nombres else str(e[nom]), reverse=desc)
        lignes = pleines + [e for e in lignes if vide(e.get(nom))]
    return lignes


@pytest.mark.parametrize(
    "tri", ["freq", "-freq", ["cgram", "-freq"], "ortho", "-ortho", "nb_syllabes", "-nb_syllabes", ["-rang"]]
)
def test_tri(lex, tri):
    base = lex.filtrer(limite=tout(lex))
    attendu = rangs(reference_tri(base, [tri] if isinstance(tri, str) else tri))
    assert rangs(lex.filtrer(limite=tout(lex), tri=tri)) == attendu
    assert rangs(lex.filtrer(limite=3, tri=tri)) == attendu[:3]  # the limit comes after the sort


def test_tri_empty_values_last_and_aliases(lex):
    # zut has no syllable count (NULL, or an empty cell): last in either direction.
    for tri in ("nb_syllabes", "-nb_syllabes"):
        assert lex.filtrer(limite=tout(lex), tri=tri)[-1]["ortho"] == "zut"
    par_freq = lex.filtrer(limite=tout(lex), tri="freq")
    # été has no frequency: NULL on SQLite (last), 0.0 once a TSV row is loaded (first).
    assert par_freq[-1 if lex._backend == "sqlite" else 0]["ortho"] == "été"
    assert rangs(lex.filtrer(limite=tout(lex), tri="freq_opensubs")) == rangs(par_freq)
    # Numbers as numbers: 10 after 4 and 2, although "10" < "2" as texts.
    avec_freq = [freq(e) for e in par_freq if e["freq"] is not None]
    assert avec_freq == sorted(avec_freq)


def test_une_par_ortho_trie_et_limite(lex):
    res = lex.filtrer(une_par_ortho=True, tri="-freq", limite=3)
    assert [(e["ortho"], int(e["rang"])) for e in res] == [("chante", 4), ("chanter", 2), ("chat", 0)]


@pytest.mark.parametrize(
    "kw, garde",
    [
        ({"old20_max": 2.0}, lambda m: m["old20"] <= 2.0),
        ({"old20_min": 2, "old20_max": 3}, lambda m: 2 <= m["old20"] <= 3),
        ({"voisins_min": 1}, lambda m: m["n_ortho"] >= 1),
        ({"n_ortho_max": 0}, lambda m: m["n_ortho"] <= 0),
        ({"pu_ortho_min": 6}, lambda m: m["pu_ortho"] >= 6),
        ({"pld20_min": 0}, lambda m: m["pld20"] is not None),  # None passes no bound
        ({"homographes_max": 0, "old20_max": None}, lambda m: True),
    ],
)
def test_criteres_de_mesures(lex, kw, garde):
    base = lex.filtrer(limite=tout(lex))
    valeurs = lex.mesures([e["ortho"] for e in base])
    attendu = [int(e["rang"]) for e in base if garde(valeurs[e["ortho"]])]
    lex.appels.clear()
    assert rangs(lex.filtrer(limite=tout(lex), **kw)) == attendu
    assert len(lex.appels) == 1  # once per query, never per row
    assert lex.compter(**kw) == len(attendu)


def test_mesures_sur_les_candidats_seulement(lex):
    lex.appels.clear()
    lex.filtrer(cgram="VER", old20_max=10)
    assert lex.appels == [["chanter", "chante"]]
    lex.appels.clear()
    lex.filtrer(cgram="ONO")  # nothing asked of the measures
    assert lex.appels == []


def test_mesures_en_colonnes(lex):
    res = lex.filtrer(cgram="NOM", mesures=True, limite=tout(lex))
    attendues = lex.mesures([e["ortho"] for e in res])
    for e in res:
        assert list(e)[-8:] == list(MESURES)
        assert {k: e[k] for k in MESURES} == attendues[e["ortho"]]
    # The rows of the lexicon itself are not touched.
    assert all("old20" not in e for e in lex.filtrer(limite=tout(lex)))
    choisies = lex.filtrer(cgram="NOM", mesures=["n_ortho", "old20"], tri="-old20", limite=tout(lex))
    assert [list(e)[-2:] for e in choisies] == [["n_ortho", "old20"]] * len(choisies)
    assert [e["old20"] for e in choisies] == sorted((e["old20"] for e in choisies), reverse=True)


@pytest.mark.parametrize(
    "kw, erreur, message",
    [
        ({"nb_lettres_min": "3"}, TypeError, "Argument 'nb_lettres_min' has incorrect type (expected int, got str)"),
        ({"nb_syllabes_max": None, "nb_phonemes_max": [1]}, TypeError, "'nb_phonemes_max' has incorrect type"),
        ({"motif": 3}, TypeError, "Argument 'motif' has incorrect type (expected str, got int)"),
        ({"motif": "("}, ValueError, "Argument 'motif' is not a valid regular expression"),
        ({"une_par_ortho": 1}, TypeError, "Argument 'une_par_ortho' has incorrect type (expected bool, got int)"),
        ({"tri": 3}, TypeError, "Argument 'tri' has incorrect type"),
        ({"tri": ["freq", 2]}, TypeError, "Argument 'tri' has incorrect type (expected str, got int)"),
        ({"tri": "-"}, ValueError, "Argument 'tri' holds an empty column name"),
        ({"tri": "inconnue"}, ValueError, "Argument 'tri' names a column the rows do not have: 'inconnue'"),
        ({"mesures": "old20"}, TypeError, "Argument 'mesures' has incorrect type"),
        ({"mesures": ["old20", "xx"]}, ValueError, "Argument 'mesures' names an unknown measure: 'xx'"),
        ({"old20_max": "2"}, TypeError, "Argument 'old20_max' has incorrect type (expected float, got str)"),
        ({"old21_max": 2}, TypeError, "filtrer() got an unexpected keyword argument 'old21_max'"),
        ({"voisins": 2}, TypeError, "filtrer() got an unexpected keyword argument 'voisins'"),
    ],
)
def test_arguments_refuses(lex, kw, erreur, message):
    with pytest.raises(erreur) as e:
        lex.filtrer(**kw)
    assert message in str(e.value)
    assert lex.appels == []


def test_compter_et_exporter_refusent_ce_qui_ne_les_concerne_pas(lex, tmp_path):
    with pytest.raises(TypeError, match="unexpected keyword argument 'tri'"):
        lex.compter(tri="freq")
    with pytest.raises(ValueError, match="unknown measure"):
        lex.exporter(tmp_path / "x.csv", mesures=["aucune"])
    assert not (tmp_path / "x.csv").exists()


def lire_csv(chemin):
    with open(chemin, newline="", encoding="utf-8") as f:
        return list(csv.reader(f))


def test_exporter_une_liste(lex, tmp_path):
    criteres = dict(une_par_ortho=True, tri="-freq", nb_lettres_max=6, voisins_min=1)
    attendu = lex.filtrer(limite=tout(lex), mesures=True, **criteres)
    n = lex.exporter(tmp_path / "l.csv", mesures=True, **criteres)
    lignes = lire_csv(tmp_path / "l.csv")
    assert n == len(attendu) == len(lignes) - 1 > 0
    assert lignes[0][-8:] == list(MESURES)
    # On SQLite the columns keep their physical names, as in any export.
    assert ("freq_opensubs" in lignes[0]) == (lex._backend == "sqlite")
    rang = lignes[0].index("rang")
    assert [int(l[rang]) for l in lignes[1:]] == rangs(attendu)
    assert [l[-8] for l in lignes[1:]] == [repr(e["old20"]) for e in attendu]

    n = lex.exporter(tmp_path / "liste.sqlite", format="sqlite", colonnes=["ortho", "old20"], limite=2, **criteres)
    with sqlite3.connect(tmp_path / "liste.sqlite") as conn:
        assert conn.execute("SELECT ortho, old20 FROM formes").fetchall() == [
            (e["ortho"], e["old20"]) for e in attendu[:2]]
    assert n == 2


@pytest.mark.parametrize("kw", [{"nb_lettres_max": 5}, {"nb_phonemes_min": 4}, {"une_par_ortho": True}])
def test_exporter_criteres_seuls(lex, tmp_path, kw):
    attendu = lex.filtrer(limite=tout(lex), **kw)
    assert lex.exporter(tmp_path / "c.csv", **kw) == len(attendu)
    lignes = lire_csv(tmp_path / "c.csv")
    assert lignes[0][:5] == ["ortho", "phone", "lemme", "cgram", "freq_opensubs" if lex._backend == "sqlite" else "freq"]
    assert [int(l[-1]) for l in lignes[1:]] == rangs(attendu)
    assert [l[4] for l in lignes[1:]] == ["" if e["freq"] is None else repr(e["freq"]) for e in attendu]


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
@pytest.mark.parametrize("colonnes", [["ortho", "old20"], ["pu_ortho", "ortho", "inconnue"]])
def test_exporter_mesures_nommees_par_colonnes(lex, tmp_path, format_, colonnes):
    # A measure named in colonnes is computed even when nothing else asks for a list.
    attendu = lex.filtrer(limite=tout(lex), mesures=[c for c in colonnes if c in MESURES])
    sortie = tmp_path / f"m.{format_}"
    assert lex.exporter(sortie, format=format_, colonnes=colonnes) == len(attendu) > 0
    gardees = [c for c in colonnes if format_ == "csv" or c != "inconnue"]
    if format_ == "csv":
        lignes = lire_csv(sortie)
        assert lignes[0] == gardees
        lignes = lignes[1:]
        texte = lambda v: "" if v is None else (repr(v) if isinstance(v, float) else str(v))
    else:
        with sqlite3.connect(sortie) as conn:
            lignes = conn.execute(f"SELECT {', '.join(gardees)} FROM formes").fetchall()
        conn.close()
        texte = lambda v: v
    assert [list(l) for l in lignes] == [[texte(e.get(c)) for c in gardees] for e in attendu]


def test_exporter_sans_selection_inchange(lex, tmp_path):
    # The plain export still gives every row and no measure column.
    n = lex.exporter(tmp_path / "p.csv")
    lignes = lire_csv(tmp_path / "p.csv")
    assert n == len(lignes) - 1 == len(lex.filtrer(limite=tout(lex)))
    assert not set(MESURES) & set(lignes[0])
    assert lex.appels == []


# ------------------------------------------------------------------ the stimuli command


@pytest.fixture
def tsv(tmp_path):
    return ecrire(tmp_path, "tsv")


def lancer(capsys, *args):
    code = cli.main([str(a) for a in args])
    return code, capsys.readouterr()


def test_commande_stimuli_tsv(capsys, tsv, tmp_path):
    sortie = tmp_path / "liste.tsv"
    code, sorties = lancer(capsys, "--lexique", tsv, "stimuli", sortie, "--une-par-ortho", "--tri=-freq",
                           "--nb-lettres-max", "6", "--nb-phonemes-min", "3", "--colonnes", "ortho,freq,rang")
    assert code == 0, sorties.err
    assert sortie.read_text(encoding="utf-8") == (
        "ortho\tfreq\trang\nchante\t70.0\t4\npâte\t10.0\t11\nchatte\t4.0\t1\nété\t0.0\t9\n")
    assert "4 lignes" in sorties.out


def test_commande_stimuli_csv_limite_et_format(capsys, tsv, tmp_path):
    sortie = tmp_path / "liste.csv"
    code, _ = lancer(capsys, "--lexique", tsv, "stimuli", sortie, "--tri", "ortho", "--motif", "^ch",
                     "--colonnes", "ortho,cgram", "--limite", "2")
    assert code == 0
    assert sortie.read_bytes() == b"ortho,cgram\r\nChat,NOM\r\nchante,VER\r\n"  # code point order
    code, _ = lancer(capsys, "--lexique", tsv, "stimuli", sortie, "--format", "tsv", "--cgram", "ADJ")
    assert code == 0
    lignes = sortie.read_text(encoding="utf-8").splitlines()
    assert lignes[0].split("\t")[:3] == ["ortho", "phone", "lemme"] and lignes[1].startswith("tchèque\t")
    assert len(lignes) == 2


def test_commande_stimuli_mesures(capsys, tsv, tmp_path, monkeypatch):
    monkeypatch.setattr(cli, "ouvrir_lexique", lambda chemin, *_: AvecMesures(chemin))
    sortie = tmp_path / "m.csv"
    code, sorties = lancer(capsys, "--lexique", tsv, "--json", "stimuli", sortie, "--cgram", "NOM",
                           "--une-par-ortho", "--voisins-min", "1", "--colonnes", "ortho,n_ortho,old20",
                           "--tri=-n_ortho")
    assert code == 0, sorties.err
    lignes = lire_csv(sortie)
    ref = AvecMesures(tsv).mesures([l[0] for l in lignes[1:]])
    assert lignes[0] == ["ortho", "n_ortho", "old20"] and len(lignes) > 1
    assert all(int(l[1]) >= 1 and float(l[2]) == ref[l[0]]["old20"] for l in lignes[1:])
    assert [int(l[1]) for l in lignes[1:]] == sorted((int(l[1]) for l in lignes[1:]), reverse=True)
    assert '"lignes": %d' % (len(lignes) - 1) in sorties.out


def test_commande_stimuli_erreur_garde_le_fichier(capsys, tsv, tmp_path):
    sortie = tmp_path / "garde.csv"
    sortie.write_text("ancien", encoding="utf-8")
    code, sorties = lancer(capsys, "--lexique", tsv, "stimuli", sortie, "--motif", "(")
    assert code == 1 and "regular expression" in sorties.err
    assert sortie.read_text(encoding="utf-8") == "ancien"
    assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".garde")] == []


@pytest.mark.parametrize("erreur", [KeyboardInterrupt, OSError])
def test_ecriture_coupee_en_cours_garde_le_fichier(tmp_path, erreur):
    # The failure comes after the partial file was created and partly written.
    class Illisible:
        def __str__(self):
            raise erreur("coupé")

    sortie = tmp_path / "garde.csv"
    sortie.write_text("ancien", encoding="utf-8")
    with pytest.raises(erreur):
        cli_stimuli.ecrire_liste([{"ortho": "a"}] * 3 + [{"ortho": Illisible()}], ["ortho"], str(sortie), "csv")
    assert sortie.read_text(encoding="utf-8") == "ancien"
    assert [p.name for p in tmp_path.iterdir()] == ["garde.csv"]


def test_options_de_selection_des_autres_commandes(capsys, tsv):
    code, sorties = lancer(capsys, "--lexique", tsv, "compter", "--une-par-ortho", "--nb-syllabes-min", "2")
    assert code == 0 and sorties.out.strip() == "4"  # chanter, chante (twice), abat-jour, été
    code, sorties = lancer(capsys, "--lexique", tsv, "--json", "filtrer", "--motif", "^ch", "--tri=-freq",
                           "--une-par-ortho", "--limite", "2")
    assert code == 0
    assert sorted(e["rang"] for e in json.loads(sorties.out)) == [2, 4]  # numbers as numbers in JSON


def test_motif_apres_une_recherche(lex):
    # rechercher and the filter both bind the connection's REGEXP: each query its own.
    attendu = [e["ortho"] for e in lex.filtrer(limite=tout(lex)) if e["ortho"].lower().startswith("ch")]
    assert lex.rechercher("^z")
    assert [e["ortho"] for e in lex.filtrer(motif="^CH", limite=tout(lex))] == attendu
    assert [e["ortho"] for e in lex.rechercher("^z")] == ["zut"]
    assert lex.compter(motif="^ch", nb_phonemes_min=4) == sum(
        1 for e in lex.filtrer(limite=tout(lex)) if e["ortho"].lower().startswith("ch")
        and len(_tokenize_ipa(e["phone"] or "")) >= 4)


def test_commande_filtrer_affiche_les_mesures(capsys, tsv, monkeypatch):
    monkeypatch.setattr(cli, "ouvrir_lexique", lambda chemin, *_: AvecMesures(chemin))
    code, sorties = lancer(capsys, "--lexique", tsv, "filtrer", "--cgram", "ADJ", "--mesures")
    assert code == 0, sorties.err
    entete = sorties.out.splitlines()[0].split()
    assert entete[0] == "ortho" and entete[-8:] == list(MESURES)


@pytest.mark.parametrize("mesures", [True, ["pld20", "old20"]])
def test_exporter_colonnes_et_mesures_memes_en_csv_et_sqlite(lex, tmp_path, mesures):
    # The measures asked are written beside the columns named, whatever the format.
    demandees = list(MESURES) if mesures is True else mesures
    attendu = lex.filtrer(limite=3, mesures=mesures)
    lex.exporter(tmp_path / "m.csv", colonnes=["ortho"], mesures=mesures, limite=3)
    lex.exporter(tmp_path / "m.sqlite", format="sqlite", colonnes=["ortho"], mesures=mesures, limite=3)
    lignes = lire_csv(tmp_path / "m.csv")
    with sqlite3.connect(tmp_path / "m.sqlite") as conn:
        curseur = conn.execute("SELECT * FROM formes")
        entete_sql, lignes_sql = [d[0] for d in curseur.description], curseur.fetchall()
    conn.close()
    assert lignes[0] == entete_sql == ["ortho"] + demandees
    assert [l[1:] for l in lignes[1:]] == [["" if v is None else str(v) for v in l[1:]] for l in lignes_sql]
    assert [l[0] for l in lignes[1:]] == [e["ortho"] for e in attendu]


@pytest.mark.parametrize("kw", [{"une_par_ortho": True}, {"une_par_ortho": True, "tri": "-freq"},
                                {"nb_phonemes_min": 3, "mesures": ["pu_ortho"]}])
def test_fabrique_de_lignes_de_la_connexion(tmp_path, kw):
    """Rows are read by position whatever rows the connection's factory makes."""
    lex = AvecMesures(ecrire(tmp_path, "sqlite"))
    attendu = lex.filtrer(limite=-1, **kw), lex.compter(**{k: v for k, v in kw.items() if k not in ("mesures", "tri")})
    lex._get_conn().row_factory = lambda cur, row: {d[0]: v for d, v in zip(cur.description, row)}
    assert (lex.filtrer(limite=-1, **kw), lex.compter(**{k: v for k, v in kw.items() if k not in ("mesures", "tri")})) == attendu
