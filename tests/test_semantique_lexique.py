"""Meanings through Lexique: the SQLite definitions table and the semantic columns of forms."""

import sqlite3
from types import SimpleNamespace

import pytest

from brivane_lexique import lexique
from brivane_lexique.lexique import Lexique
from fabrique_lexiques import ecrire, ecrire_sqlite

BACKENDS = ["sqlite", "tsv"]


@pytest.fixture(scope="module", params=BACKENDS)
def lex(request, tmp_path_factory):
    return Lexique(ecrire(tmp_path_factory.mktemp(request.param), request.param))


# ------------------------------------------------------------------ definitions table

SENS = ("lemme", "cgram", "sens_num", "definition", "exemples", "synonymes", "antonymes", "tags", "Note")


def base_definitions(chemin, colonnes=SENS, lignes=()):
    ecrire_sqlite(chemin)
    conn = sqlite3.connect(chemin)
    conn.execute(f"CREATE TABLE definitions ({', '.join(colonnes)})")
    conn.executemany(f"INSERT INTO definitions VALUES ({','.join('?' * len(colonnes))})", lignes)
    conn.commit()
    conn.close()
    return chemin


CHAT = [
    ("chat", "NOM", 2, "Jeu d'enfants.", None, "", None, "jeu", "n2"),
    ("chat", "NOM", 1, "Felin domestique.", "Il mange.;Elle dort.", " matou ;;minet; matou", "chien", None, None),
    ("Chat", "ADJ", 1, "Rare.", "", None, "", " vieilli ; ", None),
    ("Étienne", "NOM", 1, "Prenom.", None, None, None, None, None),
]


@pytest.fixture(scope="module")
def lex_defs(tmp_path_factory):
    return Lexique(base_definitions(tmp_path_factory.mktemp("defs") / "l.sqlite", lignes=CHAT))


def test_definitions_ordre_et_listes(lex_defs):
    res = lex_defs.definitions("chat")
    assert [(d["cgram"], d["sens_num"]) for d in res] == [("ADJ", 1), ("NOM", 1), ("NOM", 2)]
    adj, nom1, nom2 = res
    assert nom1 == {"lemme": "chat", "cgram": "NOM", "sens_num": 1, "definition": "Felin domestique.",
                    "exemples": ["Il mange.", "Elle dort."], "synonymes": ["matou", "minet", "matou"],
                    "antonymes": ["chien"], "tags": [], "Note": None}
    assert adj["lemme"] == "Chat" and adj["tags"] == ["vieilli"] and adj["exemples"] == []
    assert nom2["synonymes"] == [] and nom2["Note"] == "n2"
    assert list(nom1) == list(SENS)  # columns under their own names, in table order


@pytest.mark.parametrize(
    "mot, cgram, sens",
    [
        ("CHAT", None, [1, 1, 2]),
        ("chat", "", [1, 1, 2]),
        ("chat", "NOM", [1, 2]),
        ("chat", "nom", []),  # the part of speech is compared exactly
        (" chat", None, []),  # the word is passed as given
        ("étienne", None, []),  # NOCASE folds ASCII only
        ("Étienne", None, [1]),
        ("chien", None, []),
    ],
)
def test_definitions_selection(lex_defs, mot, cgram, sens):
    assert [d["sens_num"] for d in lex_defs.definitions(mot, cgram)] == sens


def test_definitions_sans_table_ou_colonne(tmp_path):
    assert Lexique(ecrire_sqlite(tmp_path / "ancien.db")).definitions("chat") == []
    sans_sens = base_definitions(tmp_path / "b.db", ("lemme", "cgram"), [("chat", "NOM")])
    assert Lexique(sans_sens).definitions("chat") == []


def test_definitions_sans_colonne_tags(tmp_path):
    chemin = base_definitions(tmp_path / "l.db", ("lemme", "cgram", "sens_num"), [("chat", "NOM", 1)])
    assert Lexique(chemin).definitions("chat") == [
        {"lemme": "chat", "cgram": "NOM", "sens_num": 1, "exemples": [], "synonymes": [], "antonymes": [],
         "tags": []}]


def test_definitions_valeur_non_texte_propagee(tmp_path):
    chemin = base_definitions(tmp_path / "l.db", ("lemme", "cgram", "sens_num", "exemples"), [("chat", "NOM", 1, 5)])
    with pytest.raises(AttributeError):
        Lexique(chemin).definitions("chat")


def test_definitions_autre_erreur_propagee(tmp_path):
    lex = Lexique(base_definitions(tmp_path / "l.db", lignes=CHAT))
    lex._conn.close()  # kept as is: the next statement fails with ProgrammingError
    with pytest.raises(sqlite3.ProgrammingError):
        lex.definitions("chat")


def test_definitions_texte_vide_sans_toucher_au_fichier(tmp_path):
    lex = Lexique(ecrire(tmp_path, "tsv"))
    (tmp_path / "lex.tsv").unlink()
    assert lex.definitions("chant") == [] and lex.definitions("chant", "NOM") == []
    assert lex._conn is None


@pytest.mark.parametrize(
    "appel, attendu",
    [
        (lambda l: l.definitions(None), "Argument 'mot' has incorrect type (expected str, got NoneType)"),
        (lambda l: l.definitions("chat", 1), "Argument 'cgram' has incorrect type (expected str, got int)"),
        (lambda l: l.definition(b"chat"), "Argument 'mot' has incorrect type (expected str, got bytes)"),
        (lambda l: l.synonymes(1.5), "Argument 'mot' has incorrect type (expected str, got float)"),
        (lambda l: l.antonymes(["chat"]), "Argument 'mot' has incorrect type (expected str, got list)"),
    ],
)
def test_types_des_arguments(lex, appel, attendu):
    with pytest.raises(TypeError) as e:
        appel(lex)
    assert str(e.value) == attendu


# ------------------------------------------------------------------ semantic columns of the forms


@pytest.mark.parametrize(
    "methode, mot, attendu",
    [
        ("synonymes", "chanter", ["entonner", "fredonner"]),
        ("synonymes", "Chant", ["mélodie", "air"]),  # the first filled cell only
        ("synonymes", "chante", []),
        ("antonymes", "chant", ["silence"]),
        ("antonymes", "chanter", []),
        ("definition", "chant", ["Suite de sons musicaux."]),  # trimmed, then de-duplicated
        ("definition", "chanter", ["Emettre des sons musicaux."]),
        ("definition", "inconnu", []),
        ("synonymes", "inconnu", []),
    ],
)
def test_colonnes_semantiques(lex, methode, mot, attendu):
    assert getattr(lex, methode)(mot) == attendu


def test_colonnes_absentes(tmp_path):
    lex = Lexique(ecrire_sqlite(tmp_path / "l.db", ("ortho", "lemme"), [("chat", "chat")]))
    assert lex.synonymes("chat") == lex.antonymes("chat") == lex.definition("chat") == []


def test_semantique_remplacee_et_info_redefini(lex, monkeypatch, tmp_path):
    vus = []
    faux = SimpleNamespace(**{n: (lambda n: lambda e: vus.append((n, e)) or [n])(n)
                              for n in ("synonymes", "antonymes", "definition")})
    monkeypatch.setattr(lexique, "_semantique", faux)
    assert (lex.synonymes("chant"), lex.antonymes("chant"), lex.definition("chant")) == \
        (["synonymes"], ["antonymes"], ["definition"])
    assert [len(e) for _, e in vus] == [2, 2, 2]
    monkeypatch.undo()

    class Info(Lexique):
        def info(self, mot):
            return [{"synonymes": f"{mot};x"}]

    assert Info(ecrire(tmp_path, "tsv")).synonymes("a") == ["a", "x"]


def test_lexique_reel_synonymes(grand_sqlite, petit_tsv):
    for lex in (Lexique(grand_sqlite), Lexique(petit_tsv)):
        assert lex.synonymes("maison")
        assert lex.definitions("maison") == []
