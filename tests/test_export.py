import csv
import io
import os
import sqlite3
from pathlib import Path

import pytest

from brivane_lexique import Lexique

COLONNES = ["ortho", "phone", "lemme", "cgram", "genre", "nombre", "freq_opensubs", "nb_syllabes", "age"]
LIGNES = [
    ("chat", "ʃa", "chat", "NOM", "m", "s", 10.5, 1, None),
    ("chats", "ʃa", "chat", "NOM", "m", "p", 2.0, 1, 7.0),
    ("chanter", "ʃɑ̃te", "chanter", "VER", "", "", 12.25, 2, None),
    ("a,b", 'dit "x"', "ligne\nbreak", "ADV", "", "", 0.1, 2, None),
    ("abat", "aba", "abat", "NOM", "m", "s", 1e-05, 2, None),
]


def creer_sqlite(chemin, lignes=LIGNES):
    conn = sqlite3.connect(chemin)
    conn.execute(
        "CREATE TABLE formes (ortho TEXT, phone TEXT, lemme TEXT, cgram TEXT, genre TEXT, nombre TEXT, "
        "freq_opensubs REAL, nb_syllabes INTEGER, age REAL)"
    )
    conn.executemany(f"INSERT INTO formes VALUES ({','.join('?' * len(COLONNES))})", lignes)
    conn.commit()
    conn.close()
    return chemin


def creer_tsv(chemin, lignes=LIGNES):
    with open(chemin, "w", encoding="utf-8", newline="") as f:
        w = csv.writer(f, delimiter="\t", lineterminator="\n")
        w.writerow(COLONNES)
        for l in lignes:
            w.writerow(["" if v is None else v for v in l])
    return chemin


@pytest.fixture(params=["sqlite", "tsv"])
def lex(request, tmp_path):
    if request.param == "sqlite":
        return Lexique(creer_sqlite(tmp_path / "lex.sqlite"))
    return Lexique(creer_tsv(tmp_path / "lex.tsv"))


def lire_csv(chemin):
    with open(chemin, encoding="utf-8", newline="") as f:
        return list(csv.reader(f))


# ------------------------------------------------------------------ formats


def test_csv_octets_exacts(tmp_path):
    lex = Lexique(creer_sqlite(tmp_path / "lex.sqlite"))
    sortie = tmp_path / "out.csv"
    assert lex.exporter(str(sortie), colonnes=["ortho", "phone", "freq_opensubs", "inconnue"]) == 5
    attendu = io.StringIO(newline="")
    w = csv.writer(attendu, lineterminator="\r\n")
    w.writerow(["ortho", "phone", "freq_opensubs", "inconnue"])
    for l in LIGNES:
        w.writerow([l[0], l[1], l[6], None])
    assert sortie.read_bytes() == attendu.getvalue().encode("utf-8")
    assert b"\r\n" in sortie.read_bytes() and not sortie.read_bytes().startswith(b"\xef\xbb\xbf")
    assert b'"a,b","dit ""x""",0.1,\r\n' in sortie.read_bytes()
    assert b"abat,aba,1e-05,\r\n" in sortie.read_bytes()


@pytest.mark.parametrize(
    "valeurs",
    [
        ["", "x"], [""], [True, False, None], [3, -0.0, 1e16, 1e15, 123456789.125, float("inf"), float("nan")],
        ["é\u2028", "\r", "a\"b", " lead", "tab\there"],
    ],
)
def test_csv_valeurs_comme_le_module_csv(tmp_path, valeurs):
    class Source(Lexique):
        def _iter_filtered_rows(self, **kw):
            return iter([{f"c{i}": v for i, v in enumerate(valeurs)}])

    lex = Source(creer_tsv(tmp_path / "lex.tsv"))
    sortie = tmp_path / "o.csv"
    noms = [f"c{i}" for i in range(len(valeurs))]
    lex.exporter(sortie, colonnes=noms)
    attendu = io.StringIO(newline="")
    w = csv.writer(attendu, lineterminator="\r\n")
    w.writerow(noms)
    w.writerow(valeurs)
    assert sortie.read_bytes() == attendu.getvalue().encode("utf-8")


@pytest.mark.parametrize("format_", ["csv", "SQLITE", "xlsx"])
def test_seul_sqlite_exact_choisit_sqlite(lex, tmp_path, format_):
    sortie = tmp_path / "o.out"
    lex.exporter(sortie, format=format_)
    assert sortie.read_bytes().startswith(b"ortho,phone,lemme")


def test_cles_physiques_ou_canoniques(lex, tmp_path):
    sortie = tmp_path / "o.csv"
    lex.exporter(sortie)
    entete = lire_csv(sortie)[0]
    if lex._backend == "sqlite":
        assert entete == COLONNES
    else:
        assert entete == ["ortho", "phone", "lemme", "cgram", "genre", "nombre", "freq", "nb_syllabes", "age"]


def test_export_sqlite_schema_et_index(lex, tmp_path):
    sortie = tmp_path / "o.sqlite"
    n = lex.exporter(sortie, format="sqlite", colonnes=["cgram", "ortho", "inconnue", "freq_opensubs", "freq"])
    assert n == 5
    conn = sqlite3.connect(sortie)
    schema = conn.execute("PRAGMA table_info(formes)").fetchall()
    if lex._backend == "sqlite":
        assert [(r[1], r[2]) for r in schema] == [("ortho", "TEXT"), ("cgram", "TEXT"), ("freq_opensubs", "REAL")]
        assert conn.execute("SELECT typeof(freq_opensubs) FROM formes LIMIT 1").fetchone() == ("real",)
    else:
        assert [(r[1], r[2]) for r in schema] == [("ortho", "TEXT"), ("cgram", "TEXT"), ("freq", "TEXT")]
        assert conn.execute("SELECT typeof(freq) FROM formes LIMIT 1").fetchone() == ("text",)
    index = sorted(r[0] for r in conn.execute("SELECT name FROM sqlite_master WHERE type='index'"))
    assert index == ["idx_cgram", "idx_ortho"]
    assert conn.execute("PRAGMA journal_mode").fetchone() == ("wal",)
    assert [r[0] for r in conn.execute("SELECT ortho FROM formes ORDER BY rowid")] == [l[0] for l in LIGNES]
    conn.close()
    assert not Path(str(sortie) + "-wal").exists() and not Path(str(sortie) + "-shm").exists()


def test_export_sqlite_toutes_les_colonnes_six_index(tmp_path):
    lex = Lexique(creer_sqlite(tmp_path / "lex.sqlite"))
    conn = lex._get_conn()
    conn.execute("ALTER TABLE formes ADD COLUMN illustrable REAL")
    conn.commit()
    sortie = tmp_path / "o.sqlite"
    lex.exporter(sortie, format="sqlite")
    with sqlite3.connect(sortie) as c:
        index = {r[0]: r[1] for r in c.execute("SELECT name, sql FROM sqlite_master WHERE type='index'")}
    assert sorted(index) == ["idx_cgram", "idx_illustrable", "idx_lemme", "idx_nb_syllabes", "idx_ortho", "idx_phone"]
    assert "COLLATE NOCASE" in index["idx_ortho"] and "COLLATE NOCASE" in index["idx_lemme"]


def test_colonnes_aux_noms_delicats(tmp_path):
    """Headers with blanks, quotes or keywords export to SQLite intact."""
    chemin = tmp_path / "l.csv"
    chemin.write_text('ortho,lemme,"mot ""cle""",select,nb syllabes\nchat,chat,a,b,1\n', encoding="utf-8")
    lex = Lexique(chemin)
    sortie = tmp_path / "o.sqlite"
    assert lex.exporter(sortie, format="sqlite") == 1
    with sqlite3.connect(sortie) as c:
        # The loader adds the frequency (0.0) that the file lacks.
        assert [r[1] for r in c.execute("PRAGMA table_info(formes)")] == [
            "ortho", "lemme", 'mot "cle"', "select", "nb syllabes", "freq"]
        assert c.execute("SELECT * FROM formes").fetchall() == [("chat", "chat", "a", "b", "1", "0.0")]
    # The SQL row source quotes the names it selects, too.
    src = Lexique(sortie, table="formes")
    assert list(src._iter_filtered_rows(colonnes=["select", 'mot "cle"'])) == [{"select": "b", 'mot "cle"': "a"}]


# ------------------------------------------------------------------ progress and limits


def lexique_de_taille(tmp_path, n):
    lignes = [(f"mot{i}", "mo", "mot", "NOM", "m", "s", float(i % 7), 1, None) for i in range(n)]
    return Lexique(creer_sqlite(tmp_path / f"l{n}.sqlite", lignes))


@pytest.mark.parametrize("n, appels", [(12000, [5000, 10000, 12000]), (10000, [5000, 10000, 10000]), (0, [0])])
@pytest.mark.parametrize("format_", ["csv", "sqlite"])
def test_appels_de_progression(tmp_path, n, appels, format_):
    lex = lexique_de_taille(tmp_path, n)
    vus = []
    assert lex.exporter(tmp_path / "o", format=format_, callback=vus.append) == n
    assert vus == appels


def test_iter_filtered_rows_paresseux_et_comptage(tmp_path):
    lex = lexique_de_taille(tmp_path, 5001)
    vus = []
    lignes = lex._iter_filtered_rows(callback=vus.append)
    assert lex._conn is not None  # opened at construction; nothing else ran yet
    premiere = next(lignes)
    assert premiere["ortho"] == "mot0" and vus == []
    for _ in range(4999):
        next(lignes)
    assert vus == []
    next(lignes)  # asking for row 5001 counts row 5000
    assert vus == [5000]
    with pytest.raises(StopIteration):
        next(lignes)
    assert vus == [5000]


@pytest.mark.parametrize("limite, sqlite_n, memoire_n", [(0, 5, 5), (3, 3, 3), (-1, 5, 1)])
def test_limite(lex, tmp_path, limite, sqlite_n, memoire_n):
    n = lex.exporter(tmp_path / "o.csv", limite=limite)
    assert n == (sqlite_n if lex._backend == "sqlite" else memoire_n)
    assert len(lire_csv(tmp_path / "o.csv")) == n + 1


def test_criteres_transmis(lex, tmp_path):
    n = lex.exporter(tmp_path / "o.csv", cgram="NOM", nombre="s")
    assert [r[0] for r in lire_csv(tmp_path / "o.csv")[1:]] == ["chat", "abat"] and n == 2


def test_arguments_refuses(lex, tmp_path):
    with pytest.raises(TypeError, match=r"Argument 'format' has incorrect type \(expected str, got NoneType\)"):
        lex.exporter(tmp_path / "o", format=None)
    with pytest.raises(TypeError, match=r"Argument 'colonnes' has incorrect type \(expected list, got tuple\)"):
        lex.exporter(tmp_path / "o", colonnes=("ortho",))
    with pytest.raises(TypeError, match=r"Argument 'has_age' has incorrect type \(expected bool, got int\)"):
        lex.exporter(tmp_path / "o", has_age=1)
    assert not (tmp_path / "o").exists()


# ------------------------------------------------------------------ atomic replacement


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
def test_remplace_un_fichier_existant(lex, tmp_path, format_):
    sortie = tmp_path / "o"
    sortie.write_bytes(b"ancien contenu" * 1000)
    assert lex.exporter(sortie, format=format_) == 5
    assert not sortie.read_bytes().startswith(b"ancien")
    assert sorted(os.listdir(tmp_path)) == sorted(["o", "lex." + lex._backend])


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
@pytest.mark.parametrize("panne", ["callback", "colonnes"])
def test_un_export_qui_echoue_ne_perd_rien(tmp_path, format_, panne):
    lex = lexique_de_taille(tmp_path, 6000)
    sortie = tmp_path / "o"
    sortie.write_bytes(b"precieux")

    def casse(n):
        raise RuntimeError("progression en panne")

    kwargs = {"callback": casse} if panne == "callback" else {"colonnes": ["inconnue"]}
    attendu = RuntimeError if panne == "callback" else sqlite3.OperationalError
    with pytest.raises(attendu):
        lex.exporter(sortie, format=format_, **kwargs)
    assert sortie.read_bytes() == b"precieux"
    assert sorted(os.listdir(tmp_path)) == ["l6000.sqlite", "o"]


def test_erreur_du_dernier_appel_laisse_le_fichier_complet(tmp_path):
    lex = lexique_de_taille(tmp_path, 10)
    sortie = tmp_path / "o.csv"

    def fin(n):
        raise RuntimeError(n)

    with pytest.raises(RuntimeError):
        lex.exporter(sortie, callback=fin)
    assert len(lire_csv(sortie)) == 11


# ------------------------------------------------------------------ real lexicon


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
def test_export_du_lexique_reel_relu(grand_tsv, tmp_path, format_):
    lex = Lexique(grand_tsv)
    sortie = tmp_path / f"reel.{format_}"
    n = lex.exporter(sortie, format=format_, cgram="ADV")
    attendu = lex.filtrer(cgram="ADV", limite=0)
    assert n == len(attendu) == 2422
    noms = list(attendu[0])
    valeurs = [[("" if v is None else (repr(v) if isinstance(v, float) else str(v))) for v in e.values()] for e in attendu]
    if format_ == "csv":
        lignes = lire_csv(sortie)
        assert lignes[0] == noms and lignes[1:] == valeurs
    else:
        with sqlite3.connect(sortie) as c:
            assert [r[1] for r in c.execute("PRAGMA table_info(formes)")] == noms
            relu = [list(r) for r in c.execute("SELECT * FROM formes")]
        # TEXT columns: the real frequency comes back as SQLite's text of the number.
        i_freq = noms.index("freq")
        assert [float(r[i_freq]) for r in relu] == [e["freq"] for e in attendu]
        assert [r[:i_freq] + r[i_freq + 1:] for r in relu] == [
            [v for k, v in e.items() if k != "freq"] for e in attendu
        ]
