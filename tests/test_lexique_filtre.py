import sqlite3

import pytest

from brivane_lexique import Lexique, lexique

COLONNES = "ortho, phone, lemme, cgram, genre, nombre, freq_opensubs, nb_syllabes, age, illustrable, categorie"
LIGNES = [
    ("chat", "ʃa", "chat", "NOM", "m", "s", 10.0, 1, 3.0, 0.9, "animal"),
    ("chienne", "ʃjɛn", "chien", "NOM", "f", "s", 5.0, 2, None, None, "animal"),
    ("chante", "ʃɑ̃t", "chanter", "VER", "", "s", 8.0, 1, "", 0.2, ""),
    ("chantait", "ʃɑ̃tɛ", "chanter", "ver", "", "s", 2.0, 2, 6.5, None, ""),
    ("vite", "  ", "vite", "ADV", None, None, None, 1, None, None, None),
    ("abat", "aba", "abat", "VER:inf", "m", "s", 0.0, 2, "  ", 1.0, "objet"),
]


def creer(tmp_path, backend):
    if backend == "sqlite":
        chemin = tmp_path / "l.sqlite"
        conn = sqlite3.connect(chemin)
        conn.execute(
            "CREATE TABLE formes (ortho TEXT, phone TEXT, lemme TEXT, cgram TEXT, genre TEXT, nombre TEXT, "
            "freq_opensubs REAL, nb_syllabes INTEGER, age REAL, illustrable REAL, categorie TEXT)"
        )
        conn.executemany(f"INSERT INTO formes ({COLONNES}) VALUES ({','.join('?' * 11)})", LIGNES)
        conn.commit()
        conn.close()
    else:
        chemin = tmp_path / "l.tsv"
        lignes = ["\t".join(c.strip() for c in COLONNES.split(","))]
        lignes += ["\t".join("" if v is None else str(v) for v in l) for l in LIGNES]
        chemin.write_text("\n".join(lignes) + "\n", encoding="utf-8")
    return Lexique(chemin)


@pytest.fixture(params=["sqlite", "tsv"])
def lex(request, tmp_path):
    return creer(tmp_path, request.param)


def orthos(res):
    return [e["ortho"] for e in res]


def test_clauses(lex):
    assert lex._build_filter_clauses() == ([], [])
    cond, params = lex._build_filter_clauses(cgram="VER", has_phone=True)
    assert cond == ["cgram LIKE ?", "phone IS NOT NULL AND phone != ''"] and params == ["VER%"]
    cond, params = lex._build_filter_clauses(
        cgram="N", genre="f", nombre="s", freq_min=1, freq_max=2.5, nb_syllabes=2.9, has_age=False, age_min=3,
        age_max=9, illustrable_min=0, categorie="x", has_phone=False,
    )
    assert cond == [
        "cgram LIKE ?", "genre = ?", "nombre = ?", "freq_opensubs >= ?", "freq_opensubs <= ?", "nb_syllabes = ?",
        "age IS NULL", "age >= ?", "age <= ?", "illustrable >= ?", "categorie = ?", "(phone IS NULL OR phone = '')",
    ]
    assert params == ["N%", "f", "s", 1.0, 2.5, 2, 3.0, 9.0, 0.0, "x"]
    assert type(params[3]) is float and type(params[5]) is int


@pytest.mark.parametrize("critere, valeur, condition", [
    ("has_age", True, "age IS NOT NULL"), ("has_age", False, "age IS NULL"),
    ("has_phone", True, "phone IS NOT NULL AND phone != ''"), ("has_phone", False, "(phone IS NULL OR phone = '')"),
])
def test_clause_booleenne_sans_parametre(lex, critere, valeur, condition):
    assert lex._build_filter_clauses(**{critere: valeur}) == ([condition], [])
    assert lex._build_filter_clauses(genre="m", **{critere: valeur}) == (["genre = ?", condition], ["m"])


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"has_age": 1}, "expected bool, got int"),
        ({"freq_min": "3"}, "expected float, got str"),
        ({"nb_syllabes": "2"}, "expected int, got str"),
        ({"cgram": b"VER"}, "expected str, got bytes"),
        ({"limite": None}, "expected int, got NoneType"),
    ],
)
def test_types_refuses(lex, kwargs, message):
    with pytest.raises(TypeError, match=r"Argument '\w+' has incorrect type \(" + message):
        lex.filtrer(**kwargs)


@pytest.mark.parametrize(
    "kwargs, sqlite_attendu, memoire_attendu",
    [
        ({}, ["chat", "chienne", "chante", "chantait", "vite", "abat"], None),
        # LIKE ignores ASCII case; the in-memory prefix does not.
        ({"cgram": "VER"}, ["chante", "chantait", "abat"], ["chante", "abat"]),
        ({"genre": "m"}, ["chat", "abat"], None),
        # A null column never equals ""; in memory null and "" read alike.
        ({"genre": ""}, ["chante", "chantait"], ["chante", "chantait", "vite"]),
        # Null frequency fails every bound in SQL, counts as 0.0 in memory.
        ({"freq_max": 2}, ["chantait", "abat"], ["chantait", "vite", "abat"]),
        ({"freq_min": 10}, ["chat"], None),
        ({"nb_syllabes": 2}, ["chienne", "chantait", "abat"], None),
        # The empty text is present for SQL (not null), absent in memory.
        ({"has_age": True}, ["chat", "chante", "chantait", "abat"], ["chat", "chantait", "abat"]),
        ({"has_age": False}, ["chienne", "vite"], ["chienne", "chante", "vite"]),
        # Blanks do not convert in memory; SQLite compares the stored text with a number.
        ({"age_min": 0}, ["chat", "chante", "chantait", "abat"], ["chat", "chantait"]),
        ({"illustrable_min": 0.5}, ["chat", "abat"], None),
        ({"categorie": "animal"}, ["chat", "chienne"], None),
        # A phone of blanks is present for SQL, absent in memory.
        ({"has_phone": True}, ["chat", "chienne", "chante", "chantait", "vite", "abat"],
         ["chat", "chienne", "chante", "chantait", "abat"]),
        ({"has_phone": False}, [], ["vite"]),
    ],
)
def test_differences_des_chemins(lex, kwargs, sqlite_attendu, memoire_attendu):
    attendu = sqlite_attendu if lex._backend == "sqlite" or memoire_attendu is None else memoire_attendu
    assert orthos(lex.filtrer(**kwargs)) == attendu
    assert lex.compter(**kwargs) == len(attendu)


@pytest.mark.parametrize("limite, sqlite_n, memoire_n", [(0, 0, 6), (2, 2, 2), (-1, 6, 1), (2.9, 2, 2)])
def test_limite(lex, limite, sqlite_n, memoire_n):
    assert len(lex.filtrer(limite=limite)) == (sqlite_n if lex._backend == "sqlite" else memoire_n)


def test_forme_des_resultats(lex):
    (e,) = lex.filtrer(cgram="NOM", genre="m")
    if lex._backend == "sqlite":
        assert list(e) == ["ortho", "phone", "lemme", "cgram", "genre", "nombre", "freq", "nb_syllabes", "age",
                           "illustrable", "categorie"]
        assert e["freq"] == 10.0
    else:
        assert e is lex._get_index_ortho()["chat"][0]


def test_filtre_memoire_via_le_module(tmp_path, monkeypatch):
    lex = creer(tmp_path, "tsv")
    appels = []

    class Faux:
        @staticmethod
        def filtrer(flux, **kw):
            appels.append(kw)
            return list(flux)[:1]

    monkeypatch.setattr(lexique, "_recherche", Faux)
    assert orthos(lex.filtrer(genre="m", limite=7)) == ["chat"]
    assert lex.compter() == 1
    assert appels[0]["genre"] == "m" and appels[0]["limite"] == 7 and appels[1]["limite"] == 0


def test_vide(tmp_path):
    chemin = tmp_path / "v.tsv"
    chemin.write_text("ortho\tcgram\n", encoding="utf-8")
    assert Lexique(chemin).compter() == 0
    db = tmp_path / "v.db"
    with sqlite3.connect(db) as c:
        c.execute("CREATE TABLE formes (ortho TEXT, lemme TEXT)")
    assert Lexique(db).compter() == 0
    with pytest.raises(sqlite3.OperationalError):
        Lexique(db).filtrer(has_age=True)


def test_reel_compter_egale_filtrer(grand_tsv, grand_sqlite):
    for chemin in (grand_tsv, grand_sqlite):
        lex = Lexique(chemin)
        n = lex.compter(cgram="ADJ", genre="f", nombre="p")
        assert n > 1000
        assert len(lex.filtrer(cgram="ADJ", genre="f", nombre="p", limite=10**9)) == n


CRITERES = ["cgram", "genre", "nombre", "freq_min", "freq_max", "nb_syllabes", "age_min", "age_max", "illustrable_min",
            "categorie", "has_age", "has_phone"]


class ClausesPropres(Lexique):
    """A subclass choosing its own rows: every SQL query of the filter goes through it."""

    def _build_filter_clauses(self, **criteres):
        self.vus.append(criteres)
        return ["lemme = ?"], [criteres["categorie"] or "chanter"]


@pytest.mark.parametrize("appel, donnes, attendu", [
    (lambda lex, tmp: orthos(lex.filtrer(freq_min=3, limite=10)), {"freq_min": 3}, ["chante", "chantait"]),
    (lambda lex, tmp: lex.compter(nb_syllabes=2.5, categorie="chien"), {"nb_syllabes": 2.5, "categorie": "chien"}, 1),
    (lambda lex, tmp: lex.exporter(tmp / "o.csv", categorie="chat", has_age=True) and
     (tmp / "o.csv").read_text().count("chat"), {"categorie": "chat", "has_age": True}, 2),
    (lambda lex, tmp: [r["ortho"] for r in lex._iter_filtered_rows(colonnes=["ortho"], genre="x")], {"genre": "x"},
     ["chante", "chantait"]),
    (lambda lex, tmp: orthos(lex.filtrer(nb_lettres_max=6, une_par_ortho=True, limite=-1)), {}, ["chante"]),
])
def test_clauses_redefinies(tmp_path, appel, donnes, attendu):
    creer(tmp_path, "sqlite")
    lex = ClausesPropres(tmp_path / "l.sqlite")
    lex.vus = []
    assert appel(lex, tmp_path) == attendu
    # The twelve criteria reach it by keyword, as the caller gave them.
    assert lex.vus == [{n: donnes.get(n) for n in CRITERES}]
    assert [type(v) for v in lex.vus[0].values()] == [type(donnes.get(n)) for n in CRITERES]


class ExportRetenu(Lexique):
    """Records what exporter hands on to its writer."""

    def _exporter_csv(self, chemin, **kw):
        self.vus = kw
        return 0


@pytest.mark.parametrize("donnes, transmis", [
    ({}, {}),
    # A criterion of form given as False is a bound of 0, not an absent one.
    ({"nb_lettres_max": False, "motif": None}, {"nb_lettres_max": False}),
    ({"une_par_ortho": False, "tri": "freq", "mesures": None, "old20_max": None, "pu_ortho_min": 2},
     {"tri": "freq", "pu_ortho_min": 2}),
    ({"pu_ortho_min": 2, "nb_phonemes_min": 1, "une_par_ortho": True, "cgram": "N"},
     {"nb_phonemes_min": 1, "une_par_ortho": True, "pu_ortho_min": 2}),
])
def test_exporter_transmet_ce_qui_est_donne(tmp_path, donnes, transmis):
    creer(tmp_path, "sqlite")
    lex = ExportRetenu(tmp_path / "l.sqlite")
    lex.exporter(tmp_path / "o.csv", limite=2.5, **donnes)
    attendu = {n: donnes.get(n) for n in CRITERES} | transmis | {"colonnes": None, "limite": 2, "callback": None}
    assert list(lex.vus.items()) == list(attendu.items())


def test_critere_de_forme_faux_vaut_zero(lex, tmp_path):
    assert lex.compter(nb_lettres_max=False) == lex.compter(nb_lettres_max=0) == 0
    assert lex.exporter(tmp_path / "o.csv", nb_lettres_max=False) == 0
    assert lex.compter(nb_lettres_min=False) == lex.compter() == 6


@pytest.mark.parametrize("appel, message", [
    (lambda lex, tmp: lex.compter(mesures=True), "compter() got an unexpected keyword argument 'mesures'"),
    (lambda lex, tmp: lex.exporter(tmp / "o.csv", old21_max=1), "exporter() got an unexpected keyword argument"),
    (lambda lex, tmp: lex.filtrer("NOM"), "incompatible function arguments"),
    (lambda lex, tmp: lex.compter("NOM"), "incompatible function arguments"),
    (lambda lex, tmp: lex.exporter(tmp / "o.csv", "csv"), "incompatible function arguments"),
])
def test_arguments_hors_signature_refuses(lex, tmp_path, appel, message):
    with pytest.raises(TypeError) as e:
        appel(lex, tmp_path)
    assert message in str(e.value)
    assert not (tmp_path / "o.csv").exists()
