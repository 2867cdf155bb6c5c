"""Verb analyses written in Lexique 3.83's `infover` column (`ind:pre:1s;ind:pre:3s;`)."""
import gzip
import sqlite3

import pytest

from brivane_lexique import _morphologie
from brivane_lexique.lexique import Lexique

from conftest import DONNEES


@pytest.mark.parametrize("cellule, attendu", [
    ("ind:pre:1s;ind:pre:3s;", [("ind", "pre", "1", "s"), ("ind", "pre", "3", "s")]),
    ("inf;", [("inf", "", "", "")]),
    ("par:pas;par:pre;", [("par", "pas", "", ""), ("par", "pre", "", "")]),
    # blanks, empty items and a last item without its ";"
    (" ind:imp:2p ; ;sub:pre:3p", [("ind", "imp", "2", "p"), ("sub", "pre", "3", "p")]),
    (":pre:1s;;", []),  # no mood: not an analysis
    ("", []),
    ("ind:pre:1s:x;", [("ind", "pre", "1", "s")]),
    ("ind:pre:3;", [("ind", "pre", "3", "")]),
])
def test_analyses_d_une_cellule(cellule, attendu):
    assert _morphologie._analyses_infover(cellule) == attendu


# A few rows in Lexique 3.83's layout: no mode/temps/personne columns.
ENTETE = ["ortho", "phon", "lemme", "cgram", "genre", "nombre", "freqfilms2", "infover"]
LIGNES = [
    ["allais", "alE", "aller", "VER", "", "", "12.5", "ind:imp:1s;ind:imp:2s;"],
    ["aller", "ale", "aller", "VER", "", "", "300", "inf;"],
    ["allé", "ale", "aller", "VER", "m", "s", "20", "par:pas;"],
    ["allées", "ale", "aller", "VER", "f", "p", "1", "par:pas;"],
    ["allées", "ale", "allée", "NOM", "f", "p", "3", ""],
    ["va", "va", "aller", "VER", "", "", "500", "imp:pre:2s;ind:pre:3s;"],
    ["vais", "vE", "aller", "VER", "", "", "400", "ind:pre:1s;"],
    ["vas", "va", "aller", "VER", "", "", "80", "ind:pre:2s;"],
    ["allons", "al§", "aller", "VER", "", "", "90", "imp:pre:1p;ind:pre:1p;"],
    ["vont", "v§", "aller", "VER", "", "", "150", "ind:pre:3p;"],
    ["vont", "v§", "vont", "NOM", "", "", "0", "ind:pre:3s;"],  # not a verb: its cell is ignored
]
TABLE_ALLER = {
    "ind": {"imp": {"1s": "allais", "2s": "allais"},
            "pre": {"3s": "va", "1s": "vais", "2s": "vas", "1p": "allons", "3p": "vont"}},
    "inf": {"": {"": "aller"}},
    "par": {"pas": {"": "allé"}},
    "imp": {"pre": {"2s": "va", "1p": "allons"}},
}


def _ecrire_tsv(chemin):
    chemin.write_text("\n".join("\t".join(l) for l in [ENTETE] + LIGNES) + "\n", encoding="utf-8")
    return chemin


def _ecrire_sqlite(chemin):
    # The library's SQL names its pronunciation and frequency columns phone and freq_opensubs.
    colonnes = ["phone" if c == "phon" else "freq_opensubs" if c == "freqfilms2" else c for c in ENTETE]
    conn = sqlite3.connect(chemin)
    conn.execute(f"CREATE TABLE formes ({', '.join(colonnes)})")
    conn.executemany(f"INSERT INTO formes VALUES ({', '.join('?' * len(colonnes))})",
                     [l[:6] + [float(l[6])] + l[7:] for l in LIGNES])
    conn.commit()
    conn.close()
    return chemin


@pytest.fixture(params=["tsv", "sqlite"])
def lex(request, tmp_path):
    if request.param == "tsv":
        chemin = _ecrire_tsv(tmp_path / "l383.tsv")
    else:
        chemin = _ecrire_sqlite(tmp_path / "l383.sqlite")
    with Lexique(chemin) as l:
        yield l


def test_conjuguer_lit_infover(lex, chemins):
    assert lex.conjuguer("aller") == TABLE_ALLER
    assert lex.conjuguer("Aller") == TABLE_ALLER


def test_les_entrees_restent_celles_du_fichier(lex):
    (vais,) = lex.info("vais")
    assert vais["infover"] == "ind:pre:1s;"
    assert not {"mode", "temps", "personne"} & set(vais)


def test_formes_de_avec_categorie(lex):
    assert sorted(e["ortho"] for e in lex.formes_de("aller", "VER")) == sorted(
        {"allais", "aller", "allé", "allées", "va", "vais", "vas", "allons", "vont"})
    assert [e["ortho"] for e in lex.formes_de("allée", "VER")] == []


@pytest.mark.parametrize("phones, personne, nombre, attendu", [
    (["va"], "3", "s", ["va"]),
    (["va"], "2", "s", ["va", "vas"]),  # va: imperative 2s
    (["va"], "2", "", ["va", "vas"]),
    (["va"], "1", "s", []),
    (["vE", "alE"], "1", "s", ["vais", "allais"]),
    (["v§"], "3", "p", ["vont"]),
    (["v§"], "3", "s", []),  # only the noun row claims 3s
    (["ale"], "1", "s", []),  # infinitive and participles have no person
    ([], "1", "s", []),
])
def test_verbes_par_phone_et_personne(lex, chemins, phones, personne, nombre, attendu):
    assert [e["ortho"] for e in lex.verbes_par_phone_et_personne(phones, personne, nombre)] == attendu


def test_les_colonnes_propres_priment_sur_infover(chemins):
    entrees = [
        {"ortho": "suis", "cgram": "AUX", "mode": "ind", "temps": "pre", "personne": "1", "nombre": "s",
         "infover": "ind:pre:3s;"},
        {"ortho": "es", "cgram": "AUX", "infover": "ind:pre:2s;"},
        {"ortho": "est", "cgram": "AUX", "mode": "", "temps": "", "personne": "", "infover": "ind:pre:3s;"},
        {"ortho": "", "cgram": "AUX", "infover": "ind:pre:1p;"},
    ]
    assert _morphologie.conjuguer(entrees) == {"ind": {"pre": {"1s": "suis", "2s": "es", "3s": "est"}}}


def test_conjuguer_de_la_table_sans_personne_via_un_helper_remplace(monkeypatch):
    # A replaced helper is obeyed for entries with their own fields; infover items
    # carry person and number themselves.
    monkeypatch.setattr(_morphologie, "_personne_nombre_from_entry", lambda e: ("9", "z"))
    entrees = [{"ortho": "vais", "cgram": "VER", "infover": "ind:pre:1s;"},
               {"ortho": "allait", "cgram": "VER", "mode": "ind", "temps": "imp"}]
    assert _morphologie.conjuguer(entrees) == {"ind": {"pre": {"1s": "vais"}, "imp": {"9z": "allait"}}}


# ------------------------------------------------------------------ the real Lexique 3.83

VERBES = ["être", "avoir", "aller", "faire", "prendre", "venir", "pouvoir", "dire", "voir", "savoir"]


@pytest.fixture(scope="module")
def lexique383(tmp_path_factory):
    source = DONNEES / "lexique383.tsv.gz"
    if not source.is_file():
        pytest.skip("lexique383.tsv.gz not available in the shared data folder")
    cible = tmp_path_factory.mktemp("l383") / "lexique383.tsv"
    with gzip.open(source, "rb") as src:
        octets = src.read()
    cible.write_bytes(octets)
    # No quote, tab or line break inside a field: a split reads the file.
    entete, *corps = octets.decode("utf-8").splitlines()
    colonnes = entete.split("\t")
    return cible, [dict(zip(colonnes, l.split("\t"))) for l in corps]


def _tables_attendues(lignes):
    """The conjugation tables that the infover cells say, first form of a slot kept."""
    tables = {v: {} for v in VERBES}
    for l in lignes:
        if l["lemme"] not in tables or not l["cgram"].startswith(("VER", "AUX")):
            continue
        for item in l["infover"].split(";"):
            if not item:
                continue
            parties = item.split(":") + ["", ""]
            mode, temps, cle = parties[0], parties[1], parties[2]
            tables[l["lemme"]].setdefault(mode, {}).setdefault(temps, {}).setdefault(cle, l["ortho"])
    return tables


@pytest.fixture(scope="module")
def lexique383_sqlite(lexique383, tmp_path_factory):
    chemin, lignes = lexique383
    cible = tmp_path_factory.mktemp("l383") / "lexique383.sqlite"
    colonnes = ["phone" if c == "phon" else "freq_opensubs" if c == "freqfilms2" else c for c in lignes[0]]
    conn = sqlite3.connect(cible)
    conn.execute("CREATE TABLE formes (%s)" % ", ".join(f'"{c}"' for c in colonnes))
    conn.executemany("INSERT INTO formes VALUES (%s)" % ", ".join("?" * len(colonnes)),
                     [list(l.values()) for l in lignes])
    conn.commit()
    conn.close()
    return cible


@pytest.fixture(scope="module", params=["tsv", "sqlite"])
def lex383(request, lexique383, lexique383_sqlite):
    with Lexique(lexique383[0] if request.param == "tsv" else lexique383_sqlite) as lex:
        yield lex


def test_tables_des_verbes_courants(lexique383, lex383):
    attendu = _tables_attendues(lexique383[1])
    for verbe in VERBES:
        assert attendu[verbe], verbe
        assert lex383.conjuguer(verbe) == attendu[verbe], verbe
    assert lex383.conjuguer("aller")["ind"]["pre"]["1s"] == "vais"


@pytest.mark.parametrize("phones, personne, nombre", [
    (["va"], "3", "s"), (["fEt"], "2", "p"), (["s§"], "3", "p"), (["vy", "vi"], "1", "")])
def test_verbes_par_phone_sur_le_vrai_fichier(lexique383, lex383, phones, personne, nombre):
    attendu = set()
    for l in lexique383[1]:
        if l["phon"] in phones and l["cgram"] in ("VER", "AUX"):
            pn = [i.split(":")[2] for i in l["infover"].split(";") if i.count(":") == 2]
            if any(p[:1] == personne and (not nombre or p[1:] == nombre) for p in pn):
                attendu.add(l["ortho"].lower())
    assert attendu
    res = [e["ortho"].lower() for e in lex383.verbes_par_phone_et_personne(phones, personne, nombre)]
    assert sorted(res) == sorted(attendu)


def test_code_phonetique_reconnu_sur_le_vrai_fichier(lex383, petit_tsv):
    assert lex383.alphabet == "lexique"
    assert lex383.homophones("vɛ̃") == lex383.homophones("v5") != []
    assert Lexique(petit_tsv).alphabet == "ipa"
