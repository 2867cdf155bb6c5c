"""Proper-noun queries of Lexique: SQLite only, empty answers everywhere else."""

import re
import sqlite3

import pytest

from brivane_lexique.lexique import Lexique
from fabrique_lexiques import ecrire, ecrire_sqlite

NOMS = [
    ("Paris", "paʁi", "commune", 2133111),
    ("Parthenay", "paʁtənɛ", "commune", 10221),
    ("PARMAIN", "paʁmɛ̃", "commune", 5500),
    ("Sparte", "spaʁt", None, None),
    ("Étienne", "etjɛn", "prenom", None),
    ("Lyon", "ljɔ̃", "commune", 522250),
    ("Cuba", "kyba", "pays", None),
    ("Kaba", "kabA", "lieu", None),
    ("Sama", "sama", "lieu", None),
    ("Muet", None, "lieu", None),
    ("Muet", "", "lieu", None),
    ("Vide", "", "lieu", None),
    ("", "paʁ", "vide", None),
    (None, "paʁ", "nul", None),
    ("Pari", "paʁi", "lieu", None),
]


def base_noms(chemin, colonnes=("lemme", "phone", "Type", "population"), lignes=NOMS):
    ecrire_sqlite(chemin)
    conn = sqlite3.connect(chemin)
    conn.execute(f"CREATE TABLE noms_propres ({', '.join(colonnes)})")
    conn.executemany(f"INSERT INTO noms_propres VALUES ({','.join('?' * len(colonnes))})", lignes)
    conn.commit()
    conn.close()
    return chemin


@pytest.fixture(scope="module")
def lex(tmp_path_factory):
    return Lexique(base_noms(tmp_path_factory.mktemp("np") / "l.sqlite"))


def lemmes(entrees):
    return [e["lemme"] for e in entrees]


# ------------------------------------------------------------------ look-ups by name and by sound


def test_info_colonnes_physiques(lex):
    assert lex.info_nom_propre("paris") == [{"lemme": "Paris", "phone": "paʁi", "Type": "commune",
                                             "population": 2133111}]
    assert lemmes(lex.info_nom_propre("MUET")) == ["Muet", "Muet"]
    assert lex.info_nom_propre(" paris") == lex.info_nom_propre("pari s") == []


@pytest.mark.parametrize(
    "mot, existe",
    [("paris", True), ("PARIS", True), ("Étienne", True), ("étienne", False), ("Pari", True), ("par", False),
     ("", True), ("Paris ", False)],
)
def test_existe_nom_propre(lex, mot, existe):
    assert lex.existe_nom_propre(mot) is existe


@pytest.mark.parametrize(
    "mot, phone", [("Paris", "paʁi"), ("lyon", "ljɔ̃"), ("muet", None), ("vide", None), ("inconnu", None)]
)
def test_phone_nom_propre(lex, mot, phone):
    assert lex.phone_nom_propre(mot) == phone


def test_phone_nom_propre_non_texte(tmp_path):
    lex = Lexique(base_noms(tmp_path / "l.db", ("lemme", "phone"), [("Trois", 3)]))
    with pytest.raises(TypeError) as e:
        lex.phone_nom_propre("trois")
    assert str(e.value) == "Expected str, got int"


@pytest.mark.parametrize(
    "phone, attendu", [("paʁi", ["Paris", "Pari"]), ("PAʁI", []), ("paʁi ", []), ("kaba", []), ("kabA", ["Kaba"])]
)
def test_homophones_nom_propre_exact(lex, phone, attendu):
    assert lemmes(lex.homophones_nom_propre(phone)) == attendu


# ------------------------------------------------------------------ regular expressions


@pytest.mark.parametrize(
    "pattern, attendu",
    [
        ("^par", ["Paris", "Parthenay", "PARMAIN", "Pari"]),
        ("thenay", ["Parthenay"]),  # unanchored search
        ("^PAR.*s$", ["Paris"]),
        ("", ["Paris", "Parthenay", "PARMAIN", "Sparte", "Étienne", "Lyon", "Cuba", "Kaba", "Sama", "Muet", "Muet",
              "Vide", "Pari"]),  # null and empty names never match
        ("^é", ["Étienne"]),  # IGNORECASE of the host's expressions folds beyond ASCII
        (r"(?<!s)part", ["Parthenay"]),
        ("[", []),
        ("a{2,1}", []),
        ("(?P<x", []),
    ],
)
def test_rechercher_nom_propre(lex, pattern, attendu):
    assert lemmes(lex.rechercher_nom_propre(pattern, 100)) == attendu


@pytest.mark.parametrize("limite, n", [(50, 4), (2, 2), (2.9, 2), (-2.5, 4), (1, 1), (0, 0), (-1, 4), (True, 1),
                                       (10**30, 4)])
def test_rechercher_nom_propre_limite(lex, limite, n):
    res = lex.rechercher_nom_propre("^par", limite)
    assert lemmes(res) == ["Paris", "Parthenay", "PARMAIN", "Pari"][:n]


def test_rechercher_chaque_appel_sa_regexp(lex):
    assert lemmes(lex.rechercher_nom_propre("^lyon$")) == ["Lyon"]
    assert lemmes(lex.rechercher_nom_propre("^cuba$")) == ["Cuba"]
    # The function stays registered, bound to the last expression.
    conn = lex._get_conn()
    assert [r[0] for r in conn.execute("SELECT lemme FROM noms_propres WHERE lemme REGEXP 'ignored'")] == ["Cuba"]


def test_rechercher_nom_non_texte(tmp_path):
    lex = Lexique(base_noms(tmp_path / "l.db", ("lemme", "phone"), [("Alpha", "a"), (42, "b")]))
    # A number stored in the column is searched as its text: one such row must not
    # empty the whole answer.
    assert lemmes(lex.rechercher_nom_propre("a")) == ["Alpha"]
    assert lemmes(lex.rechercher_nom_propre("^4")) == [42]


# ------------------------------------------------------------------ rhymes


@pytest.mark.parametrize(
    "suffixe, limite, attendu",
    [
        ("a", 50, ["Cuba", "Kaba", "Sama"]),  # LIKE folds ASCII case
        ("a", 2, ["Cuba", "Kaba"]),
        ("ʁi", 50, ["Paris", "Pari"]),
        ("jƆ̃", 50, []),  # not ASCII: exact
        ("_i", 50, ["Paris", "Pari"]),  # wildcards of LIKE act as such
        ("", 50, ["Paris", "Parthenay", "PARMAIN", "Sparte", "Étienne", "Lyon", "Cuba", "Kaba", "Sama", "", None,
                  "Pari"]),
        ("a", 0, []),
    ],
)
def test_rimes_nom_propre(lex, suffixe, limite, attendu):
    res = lex.rimes_nom_propre(suffixe, limite)
    assert lemmes(res) == attendu
    assert all(e["phone"] for e in res)


# ------------------------------------------------------------------ empty answers

VIDES = [
    (lambda l: l.info_nom_propre("Paris"), []),
    (lambda l: l.existe_nom_propre("Paris"), False),
    (lambda l: l.phone_nom_propre("Paris"), None),
    (lambda l: l.homophones_nom_propre("paʁi"), []),
    (lambda l: l.rechercher_nom_propre("^par"), []),
    (lambda l: l.rimes_nom_propre("i"), []),
]


@pytest.mark.parametrize("appel, vide", VIDES)
def test_texte_sans_toucher_au_fichier(tmp_path, appel, vide):
    lex = Lexique(ecrire(tmp_path, "tsv"))
    (tmp_path / "lex.tsv").unlink()
    assert appel(lex) == vide and type(appel(lex)) is type(vide)
    assert lex._conn is None and lex._index_ortho is None


@pytest.mark.parametrize("appel, vide", VIDES)
def test_sqlite_sans_table(tmp_path, appel, vide):
    lex = Lexique(ecrire_sqlite(tmp_path / "l.db"))
    assert appel(lex) == vide


@pytest.mark.parametrize("appel, vide", VIDES[2:4] + VIDES[5:])
def test_sqlite_sans_colonne_phone(tmp_path, appel, vide):
    lex = Lexique(base_noms(tmp_path / "l.db", ("lemme", "Type"), [("Paris", "commune")]))
    assert appel(lex) == vide
    assert lex.existe_nom_propre("paris") and lemmes(lex.rechercher_nom_propre("^par")) == ["Paris"]


@pytest.mark.parametrize("appel, vide", VIDES)
def test_autres_erreurs_propagees(appel, vide, tmp_path):
    l2 = Lexique(base_noms(tmp_path / "l.db"))
    l2._conn.close()  # left in place: statements now fail with ProgrammingError
    with pytest.raises(sqlite3.ProgrammingError):
        appel(l2)


# ------------------------------------------------------------------ argument checks


@pytest.mark.parametrize("backend", ["sqlite", "tsv"])
@pytest.mark.parametrize(
    "appel, attendu",
    [
        (lambda l: l.info_nom_propre(None), "Argument 'mot' has incorrect type (expected str, got NoneType)"),
        (lambda l: l.existe_nom_propre(1), "Argument 'mot' has incorrect type (expected str, got int)"),
        (lambda l: l.phone_nom_propre(b"x"), "Argument 'mot' has incorrect type (expected str, got bytes)"),
        (lambda l: l.homophones_nom_propre(None), "Argument 'phone' has incorrect type (expected str, got NoneType)"),
        (lambda l: l.rechercher_nom_propre(re.compile("a")),
         "Argument 'pattern' has incorrect type (expected str, got re.Pattern)"),
        (lambda l: l.rechercher_nom_propre("a", "2"), "Argument 'limite' has incorrect type (expected int, got str)"),
        (lambda l: l.rechercher_nom_propre("[", None),
         "Argument 'limite' has incorrect type (expected int, got NoneType)"),
        (lambda l: l.rimes_nom_propre(2), "Argument 'phone_suffix' has incorrect type (expected str, got int)"),
        (lambda l: l.rimes_nom_propre("a", limite=[]), "Argument 'limite' has incorrect type (expected int, got list)"),
    ],
)
def test_types_des_arguments(tmp_path, backend, appel, attendu):
    lex = Lexique(base_noms(tmp_path / "l.db") if backend == "sqlite" else ecrire(tmp_path, "tsv"))
    with pytest.raises(TypeError) as e:
        appel(lex)
    assert str(e.value) == attendu


def test_lexique_reel(grand_sqlite):
    lex = Lexique(grand_sqlite)
    assert lex.existe_nom_propre("paris") and not lex.existe_nom_propre("parisxyz")
    assert lex.phone_nom_propre("Lyon")
    assert "Lyon" in lemmes(lex.rechercher_nom_propre("^lyon$"))
    assert {"lemme", "phone", "type", "population"} <= set(lex.info_nom_propre("Lyon")[0])


class RangeeAutre(sqlite3.Row):
    """A row type of the user's own, which dict() reads through its own methods."""

    def keys(self):
        return [k.upper() for k in super().keys()]

    def __getitem__(self, cle):
        if isinstance(cle, str):
            return ("par nom", super().__getitem__(cle.lower()))
        return super().__getitem__(cle)


REQUETES = [
    ("info_nom_propre", ("paris",), "SELECT * FROM noms_propres WHERE lemme = ? COLLATE NOCASE"),
    ("homophones_nom_propre", ("paʁ",), "SELECT * FROM noms_propres WHERE phone = ?"),
    ("homophones", ("ʃɑ̃t",), "SELECT ortho, cgram, freq_opensubs AS freq, phone FROM formes WHERE phone = ?"),
]


@pytest.mark.parametrize("fabrique", [sqlite3.Row, RangeeAutre, lambda cur, ligne: sqlite3.Row(cur, ligne)],
                         ids=["Row", "sous-classe", "fabrique"])
@pytest.mark.parametrize("methode, args, sql", REQUETES, ids=[r[0] for r in REQUETES])
@pytest.mark.parametrize("colonnes", [("lemme", "phone", "Type", "population"), ("lemme", "phone", "é", "É")],
                         ids=["ascii", "casse_non_ascii"])
def test_lignes_rendues_comme_dict(tmp_path, fabrique, methode, args, sql, colonnes):
    # Whatever rows the connection is set to make, each is handed out as dict(row).
    lex = Lexique(base_noms(tmp_path / "l.sqlite", colonnes=colonnes))
    conn = lex._get_conn()
    conn.row_factory = fabrique
    attendu = [dict(r) for r in conn.execute(sql, args).fetchall()]
    assert attendu and getattr(lex, methode)(*args) == attendu
    lex.close()


APPELS = [("info_nom_propre", {"mot": "paris"}), ("existe_nom_propre", {"mot": "Paris"}),
          ("phone_nom_propre", {"mot": "Lyon"}), ("homophones_nom_propre", {"phone": "paʁi"}),
          ("rechercher_nom_propre", {"pattern": "^pa", "limite": 2}),
          ("rimes_nom_propre", {"phone_suffix": "i", "limite": 2}), ("existe", {"mot": "Paris"})]


@pytest.mark.parametrize("nom, mots_cles", APPELS, ids=[a[0] for a in APPELS])
def test_appels_par_mots_cles_et_erreurs_d_appel(lex, nom, mots_cles):
    methode = getattr(Lexique, nom)
    attendu = methode(lex, *mots_cles.values())
    assert attendu or nom == "existe"
    assert getattr(lex, nom)(**mots_cles) == getattr(lex, nom)(*mots_cles.values()) == attendu
    assert methode.__doc__.startswith(nom + "(self, ")
    for args, kw in [((), {}), (("a", "b", "c"), {}), ((), {"inconnu": "a"})]:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            getattr(lex, nom)(*args, **kw)

    class SansInit(Lexique):
        def __init__(self):
            pass

    with pytest.warns(RuntimeWarning, match="uninitialized"), pytest.raises(TypeError):
        getattr(SansInit(), nom)(*mots_cles.values())


PLUSIEURS = [
    ("rimes_nom_propre", ("a", 50), "SELECT * FROM noms_propres WHERE phone LIKE ? AND phone IS NOT NULL "
     "AND phone != '' LIMIT ?", ("%a", 50)),
    ("rechercher_nom_propre", ("a", 50), "SELECT * FROM noms_propres WHERE lemme REGEXP ? LIMIT ?", ("a", 50)),
    ("info_nom_propre", ("muet",), "SELECT * FROM noms_propres WHERE lemme = ? COLLATE NOCASE", ("muet",)),
]


@pytest.mark.parametrize("methode, args, sql, params", PLUSIEURS, ids=[p[0] for p in PLUSIEURS])
def test_lignes_successives_chacune_complete(lex, chemins, methode, args, sql, params):
    # Rows in a row repeat values (None, "lieu", one-letter text): each dict still holds
    # every column of its own row, and is a dict of its own.
    conn = sqlite3.connect(lex._source)
    conn.create_function("REGEXP", 2, lambda m, s: bool(s) and re.search(m, s, re.I) is not None)
    conn.row_factory = sqlite3.Row
    attendu = [dict(r) for r in conn.execute(sql, params).fetchall()]
    res = getattr(lex, methode)(*args)
    assert len(attendu) >= 2 and res == attendu
    assert [list(d) for d in res] == [list(d) for d in attendu]
    assert len({id(d) for d in res}) == len(res)
