import csv
import enum
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


class _Reel(float):
    def __repr__(self):
        return "reel,repr"

    def __str__(self):
        return "reel-str"


class _Entier(int):
    def __str__(self):
        return "entier \"str\""


class _Drapeau(enum.IntFlag):
    A = 1
    B = 2


@pytest.mark.parametrize(
    "valeurs",
    [
        ["", "x"], [""], [True, False, None], [3, -0.0, 1e16, 1e15, 123456789.125, float("inf"), float("nan")],
        ["é\u2028", "\r", "a\"b", " lead", "tab\there"],
        # Subclasses write what their own str gives.
        [_Reel(2.5), _Entier(7), _Drapeau.A, _Drapeau.B, True, 2**80],
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


@pytest.mark.parametrize("format_", ["SQLITE", "Csv", "xlsx", "xml", "", "sqlite ", "csv\x00"])
def test_format_inconnu_refuse_sans_rien_ecrire(lex, tmp_path, format_):
    sortie = tmp_path / "o.out"
    sortie.write_bytes(b"precieux")
    with pytest.raises(ValueError, match=r'format inconnu : .* \("csv" ou "sqlite"\)'):
        lex.exporter(sortie, format=format_)
    assert sortie.read_bytes() == b"precieux"
    assert sorted(os.listdir(tmp_path)) == ["lex." + lex._backend, "o.out"]


@pytest.mark.parametrize("format_, debut", [("csv", b"ortho,phone,lemme"), ("sqlite", b"SQLite format 3\x00")])
def test_formats_documentes(lex, tmp_path, format_, debut):
    sortie = tmp_path / "o.out"
    lex.exporter(sortie, format=format_)
    assert sortie.read_bytes().startswith(debut)


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
    assert conn.execute("PRAGMA journal_mode").fetchone() == ("delete",)
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


def _grand_fichier(chemin):
    chemin.write_bytes(b"ancien contenu\n" * 200_000)  # 3 MB
    return chemin


DESTINATIONS = {
    "grand fichier": lambda d: _grand_fichier(d / "o"),
    "lien vers un grand fichier": lambda d: (d / "o").symlink_to(_grand_fichier(d / "cible")),
    "tube nomme": lambda d: os.mkfifo(d / "o"),
}


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
@pytest.mark.parametrize("destination", DESTINATIONS.values(), ids=DESTINATIONS.keys())
def test_remplace_toute_sorte_de_destination(lex, tmp_path, format_, destination):
    # Whatever stood at the destination is replaced by the new file, without blocking on a
    # pipe, again and again; a link stays a link and its target file is replaced.
    dossier = tmp_path / "d"
    dossier.mkdir()
    destination(dossier)
    for _ in range(3):
        assert lex.exporter(dossier / "o", format=format_) == 5
        assert (dossier / "o").is_file()
        assert not (dossier / "o").read_bytes().startswith(b"ancien")
    lien = (dossier / "cible").exists()
    assert (dossier / "o").is_symlink() == lien
    if lien:
        assert (dossier / "cible").read_bytes() == (dossier / "o").read_bytes()
    assert sorted(os.listdir(dossier)) in (["o"], ["cible", "o"])


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


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
def test_droits_et_erreurs_du_systeme(lex, tmp_path, format_):
    """The export gets the permissions any new file gets; a missing folder is the
    system's error, naming the destination."""
    import stat

    temoin = tmp_path / "temoin"
    temoin.write_bytes(b"")
    lex.exporter(tmp_path / "o", format=format_)
    assert stat.S_IMODE((tmp_path / "o").stat().st_mode) == stat.S_IMODE(temoin.stat().st_mode)
    absente = tmp_path / "absent" / "o"
    with pytest.raises(FileNotFoundError) as e:
        lex.exporter(absente, format=format_)
    assert e.value.filename == str(absente)


def test_erreur_du_dernier_appel_n_installe_rien(tmp_path):
    lex = lexique_de_taille(tmp_path, 10)
    sortie = tmp_path / "o.csv"

    def fin(n):
        raise RuntimeError(n)

    with pytest.raises(RuntimeError):
        lex.exporter(sortie, callback=fin)
    assert not sortie.exists() and os.listdir(tmp_path) == ["l10.sqlite"]


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


# ------------------------------------------------------------------ direct paths against the generic one


class Lent(Lexique):
    """Same rows through the overridable row source: the writers then take the generic path."""

    def _iter_filtered_rows(self, **kw):
        return super()._iter_filtered_rows(**kw)


def contenu(chemin, format_):
    if format_ == "csv":
        return Path(chemin).read_bytes()
    with sqlite3.connect(chemin) as c:
        noms = [r[1] for r in c.execute("PRAGMA table_info(formes)")]
        res = (
            c.execute("PRAGMA table_info(formes)").fetchall(),
            c.execute("SELECT name, sql FROM sqlite_master ORDER BY name").fetchall(),
            c.execute("PRAGMA journal_mode").fetchone(),
            c.execute("SELECT *, " + ", ".join(f'typeof("{n}")' for n in noms) + " FROM formes ORDER BY rowid")
            .fetchall() if noms else [],
        )
    c.close()
    return res


def exporter_deux_fois(chemin, tmp_path, format_, **kwargs):
    """(direct, generic) contents and progress calls of the same export."""
    res = []
    for classe in (Lexique, Lent):
        vus = []
        sortie = tmp_path / f"{classe.__name__}.{format_}"
        n = classe(chemin).exporter(sortie, format=format_, callback=vus.append, **kwargs)
        res.append((n, vus, contenu(sortie, format_)))
    return res


TYPES = [
    ("texte", 7, 1.5, None, b"\x00\xff"),
    ("é,\"q\"\nx", -2**63, 1e-05, "", b""),
    ("", 2**62, float("inf"), "x", None),
]


def creer_types(chemin):
    conn = sqlite3.connect(chemin)
    conn.execute("CREATE TABLE formes (ortho TEXT, n INTEGER, f REAL, cgram, b BLOB, lemme)")
    conn.executemany("INSERT INTO formes VALUES (?, ?, ?, ?, ?, NULL)", TYPES)
    conn.commit()
    conn.close()
    return chemin


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
@pytest.mark.parametrize(
    "kwargs",
    [{}, {"colonnes": ["nombre", "ortho", "inconnue", "ortho"]}, {"cgram": "NOM", "limite": 2}, {"limite": -1},
     {"has_age": False, "colonnes": ["age", "freq_opensubs"]}, {"colonnes": ["freq", "phone"]}],
)
@pytest.mark.parametrize("backend", ["sqlite", "tsv"])
def test_direct_comme_generique(tmp_path, backend, format_, kwargs):
    chemin = creer_sqlite(tmp_path / "l.sqlite") if backend == "sqlite" else creer_tsv(tmp_path / "l.tsv")
    direct, generique = exporter_deux_fois(chemin, tmp_path, format_, **kwargs)
    assert direct == generique


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
def test_valeurs_de_tous_les_types(tmp_path, format_):
    direct, generique = exporter_deux_fois(creer_types(tmp_path / "t.sqlite"), tmp_path, format_)
    assert direct == generique and direct[0] == 3


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
@pytest.mark.parametrize("backend", ["sqlite", "tsv"])
def test_progression_directe(tmp_path, backend, format_):
    lignes = [(f"mot{i}", "mo", "mot", "NOM", "m", "s", 1.0, 1, None) for i in range(10000)]
    chemin = (creer_sqlite(tmp_path / "l.sqlite", lignes) if backend == "sqlite"
              else creer_tsv(tmp_path / "l.tsv", lignes))
    direct, generique = exporter_deux_fois(chemin, tmp_path, format_, colonnes=["ortho"])
    assert direct[:2] == generique[:2] == (10000, [5000, 10000, 10000])


def ajouter_en_cours(lex):
    conn = lex._get_conn()
    conn.execute("INSERT INTO formes (ortho, cgram) VALUES ('pas_encore_valide', 'NOM')")
    assert conn.in_transaction


def table_temporaire(lex):
    lex._get_conn().execute("CREATE TEMP TABLE formes AS SELECT * FROM main.formes WHERE ortho = 'chats'")


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
@pytest.mark.parametrize("preparer, attendu", [(ajouter_en_cours, 6), (table_temporaire, 1)])
def test_voit_ce_que_voit_la_connexion(tmp_path, format_, preparer, attendu):
    """Uncommitted rows and a temporary table shadowing the lexicon's are read as by the connection."""
    lex = Lexique(creer_sqlite(tmp_path / "l.sqlite"))
    preparer(lex)
    sortie = tmp_path / f"o.{format_}"
    assert lex.exporter(sortie, format=format_, colonnes=["ortho"]) == attendu
    if format_ == "csv":
        orthos = [r[0] for r in lire_csv(sortie)[1:]]
    else:
        with sqlite3.connect(sortie) as c:
            orthos = [r[0] for r in c.execute("SELECT ortho FROM formes")]
        c.close()
    assert ("pas_encore_valide" in orthos) == (attendu == 6) and ("chats" in orthos)


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
def test_texte_non_utf8(tmp_path, format_):
    chemin = creer_sqlite(tmp_path / "l.sqlite")
    with sqlite3.connect(chemin) as c:
        c.execute("UPDATE formes SET lemme = CAST(? AS TEXT) WHERE ortho = 'chanter'", (b"chant\xe9" + b"r" * 300,))
    c.close()
    sortie = tmp_path / "o"
    sortie.write_bytes(b"avant")
    messages = []
    for classe in (Lexique, Lent):
        with pytest.raises(sqlite3.OperationalError) as e:
            classe(chemin).exporter(sortie, format=format_)
        messages.append(str(e.value))
    assert messages[0] == messages[1]
    assert messages[0].startswith("Could not decode to UTF-8 column 'lemme' with text 'chant\ufffdrrr")
    assert sortie.read_bytes() == b"avant"


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
@pytest.mark.parametrize("classe", [Lexique, Lent])
def test_colonne_de_critere_absente(tmp_path, format_, classe):
    lex = classe(creer_sqlite(tmp_path / "l.sqlite"))
    with pytest.raises(sqlite3.OperationalError, match="no such column: illustrable"):
        lex.exporter(tmp_path / "o", format=format_, illustrable_min=0.5)
    assert os.listdir(tmp_path) == ["l.sqlite"]


def test_adaptateur_de_base_respecte(lex, tmp_path):
    """An adapter on str reaches the exported values, as the sqlite3 module applies it."""
    cle = (str, sqlite3.PrepareProtocol)
    sqlite3.register_adapter(str, str.upper)
    try:
        lex.exporter(tmp_path / "o.sqlite", format="sqlite", colonnes=["ortho"])
    finally:
        del sqlite3.adapters[cle]
    with sqlite3.connect(tmp_path / "o.sqlite") as c:
        assert sorted(r[0] for r in c.execute("SELECT ortho FROM formes")) == sorted(l[0].upper() for l in LIGNES)
    c.close()


@pytest.mark.parametrize("valeur, erreur", [(2**64, OverflowError), ([1], sqlite3.ProgrammingError),
                                            ("\udc80", UnicodeEncodeError)])
def test_valeur_impossible_a_lier(tmp_path, valeur, erreur):
    lex = Lexique(creer_tsv(tmp_path / "l.tsv"))
    index = lex._get_index_ortho()
    next(iter(index.values()))[0]["lemme"] = valeur
    with pytest.raises(erreur):
        lex.exporter(tmp_path / "o.sqlite", format="sqlite")
    assert not (tmp_path / "o.sqlite").exists()


def test_entrees_dans_un_autre_ordre(tmp_path):
    """Entries whose keys are not in the header's order are still read by name."""
    lex = Lexique(creer_tsv(tmp_path / "l.tsv"))
    for entrees in lex._get_index_ortho().values():
        entrees[:] = [dict(reversed(list(e.items()))) for e in entrees]
    entrees = [e for l in lex._get_index_ortho().values() for e in l]
    lex.exporter(tmp_path / "o.csv")
    noms = list(entrees[0])
    assert lire_csv(tmp_path / "o.csv") == [noms] + [[str(e[k]) for k in noms] for e in entrees]


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
def test_surcharge_de_la_source_sqlite(tmp_path, format_):
    class Source(Lexique):
        def _iter_filtered_rows(self, **kw):
            yield {"ortho": "seule", "cgram": 3}

    sortie = tmp_path / f"o.{format_}"
    assert Source(creer_sqlite(tmp_path / "l.sqlite")).exporter(sortie, format=format_) == 1
    assert contenu(sortie, format_) == contenu(sortie, format_)  # readable
    if format_ == "sqlite":
        with sqlite3.connect(sortie) as c:
            assert c.execute("SELECT ortho, cgram, lemme FROM formes").fetchall() == [("seule", "3", None)]
        c.close()
    else:
        assert lire_csv(sortie)[1] == ["seule", "", "", "3", "", "", "", "", ""]


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
def test_lexique_reel_sqlite_direct_comme_generique(grand_sqlite, tmp_path, format_):
    kwargs = {"cgram": "ADV", "colonnes": ["ortho", "freq_opensubs", "nb_syllabes", "age", "phone", "lemme"]}
    direct, generique = exporter_deux_fois(grand_sqlite, tmp_path, format_, **kwargs)
    assert direct == generique and direct[0] == 2422


_REELS = {}  # the real lexicons, loaded once for the tests below


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
@pytest.mark.parametrize("backend", ["sqlite", "tsv"])
@pytest.mark.parametrize(
    "kwargs",
    [{"cgram": "ADV"}, {"colonnes": ["lemme", "ortho", "inconnue", "ortho", "freq"], "cgram": "ADJ", "genre": "f"},
     {"limite": 3000, "has_phone": True, "colonnes": ["phone"]}],
)
def test_lecture_directe_comme_chemin_simple(grand_tsv, grand_sqlite, tmp_path, backend, format_, kwargs):
    """The export's own read of the row source (no dict per row) against the plain route
    through _iter_filtered_rows, on the real lexicon: same count, progress and file."""
    import importlib

    from conftest import regler_chemins_rapides

    chemin = grand_sqlite if backend == "sqlite" else grand_tsv
    if chemin not in _REELS:
        _REELS[chemin] = Lexique(chemin)
    lex = _REELS[chemin]
    res = []
    avant = regler_chemins_rapides(True)
    try:
        for rapides in (True, False):
            regler_chemins_rapides(rapides)
            vus = []
            sortie = tmp_path / f"{rapides}.{format_}"
            n = lex.exporter(sortie, format=format_, callback=vus.append, **kwargs)
            res.append((n, vus, contenu(sortie, format_)))
    finally:
        for nom, etat in avant.items():
            importlib.import_module(f"brivane_lexique.{nom}")._chemins_rapides(etat)
    assert res[0] == res[1] and res[0][0] > 2000


def test_iter_filtered_rows_refuse_sans_retenir_le_lexique(tmp_path):
    import sys

    lex = Lexique(creer_tsv(tmp_path / "lex.tsv"))
    avant = sys.getrefcount(lex)
    for _ in range(3):
        with pytest.raises(TypeError, match="limite"):
            lex._iter_filtered_rows(limite="x")
    assert sys.getrefcount(lex) == avant


class _Versatile:
    """A value whose adaptation rewrites the row it belongs to."""

    def __init__(self, ligne):
        self.ligne = ligne

    def _reecrire(self):
        for cle in list(self.ligne):
            if cle != "ortho":
                self.ligne[cle] = "remplace"
        # Reuse the memory of the texts just dropped.
        self.debris = ["Z" * 60 for _ in range(2000)]
        return "adapte"

    __str__ = _reecrire

    def __conform__(self, protocole):
        return self._reecrire()


class _Calculee(dict):
    """A mapping whose get() builds each value anew."""

    def get(self, cle, defaut=None):
        v = super().get(cle, defaut)
        return None if v is None else "".join(["<", str(v), ">"])


def _lemme_unique(i):
    return "".join(["lemme-", "é" * 30, str(i)])


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
@pytest.mark.parametrize("source", ["index", "surcharge"])
def test_valeurs_tenues_pendant_la_liaison(tmp_path, source, format_):
    """Values are held while a row is bound, as the tuples of executemany hold them: an
    adapter that rewrites its row, or a mapping whose get() builds values, gives the
    values read before binding."""
    lex = Lexique(creer_tsv(tmp_path / "l.tsv"))
    entrees = [e for l in lex._get_index_ortho().values() for e in l]
    for i, e in enumerate(entrees):
        e["lemme"] = _lemme_unique(i)
        e["ortho"] = _Versatile(e)
    if source == "surcharge":
        lignes = [_Calculee(ortho="o", lemme=_lemme_unique(i)) for i in range(3)]
        Classe = type("Surcharge", (Lexique,), {"_iter_filtered_rows": lambda self, **kw: iter(lignes)})
        lex = Classe(creer_tsv(tmp_path / "l.tsv"))
        attendu = [("<o>", f"<{_lemme_unique(i)}>") for i in range(3)]
    else:
        attendu = [("adapte", _lemme_unique(i)) for i in range(len(entrees))]
    lex.exporter(tmp_path / "o", format=format_)
    if format_ == "csv":
        lignes_lues = lire_csv(tmp_path / "o")
        i, j = lignes_lues[0].index("ortho"), lignes_lues[0].index("lemme")
        assert [(r[i], r[j]) for r in lignes_lues[1:]] == attendu
        return
    with sqlite3.connect(tmp_path / "o") as c:
        assert c.execute("SELECT ortho, lemme FROM formes ORDER BY rowid").fetchall() == attendu
    c.close()


def test_reels_en_colonne_texte_comme_sqlite(tmp_path):
    """Reals of in-memory entries land in TEXT columns as SQLite's own text of them,
    exactly what binding them through the sqlite3 module stores."""
    reels = [0.1, 1e-05, 1e20, 1e-300, -0.0, 0.0, float("inf"), -float("inf"), float("nan"), 2.5, 1 / 3,
             123456789012345678.0, 65.036, 5e-324, 1.7976931348623157e308] * 3
    lex = Lexique(creer_tsv(tmp_path / "l.tsv"))
    entrees = [e for l in lex._get_index_ortho().values() for e in l]
    modele = entrees[0]
    index = lex._get_index_ortho()
    index.clear()
    index["x"] = [dict(modele, freq_opensubs=r) for r in reels]
    lex.exporter(tmp_path / "o.sqlite", format="sqlite", colonnes=["ortho", "freq_opensubs"])
    attendu = sqlite3.connect(":memory:")
    attendu.execute("CREATE TABLE t (f TEXT)")
    attendu.executemany("INSERT INTO t VALUES (?)", [(r,) for r in reels])
    with sqlite3.connect(tmp_path / "o.sqlite") as c:
        lu = c.execute("SELECT freq_opensubs, typeof(freq_opensubs) FROM formes ORDER BY rowid").fetchall()
    c.close()
    assert lu == attendu.execute("SELECT f, typeof(f) FROM t ORDER BY rowid").fetchall()


@pytest.mark.parametrize("rang", [3, 10004, 24999])
@pytest.mark.parametrize("source", ["index", "rappel"])
def test_echec_en_cours_de_lot_comme_le_module(tmp_path, rang, source):
    """A value that cannot be stored, or a progress call that raises, in the middle of a
    batch: the same error after the same progress calls on the direct path as on the
    module's path (which takes the whole batch from the source before binding it)."""
    lignes = [(f"mot{i}", "mo", "mot", "NOM", "m", "s", 1.0, 1, None) for i in range(25000)]
    chemin = creer_tsv(tmp_path / "l.tsv", lignes)
    resultats = []
    for classe in (Lexique, Lent):
        lex = classe(chemin)
        vus = []

        def rappel(n):
            vus.append(n)
            if source == "rappel" and n >= rang:
                raise RuntimeError(n)

        if source == "index":
            entrees = [e for l in lex._get_index_ortho().values() for e in l]
            entrees[rang]["lemme"] = 2**70
        with pytest.raises((OverflowError, RuntimeError)) as e:
            lex.exporter(tmp_path / "o.sqlite", format="sqlite", callback=rappel)
        resultats.append((type(e.value), str(e.value), vus))
        assert not (tmp_path / "o.sqlite").exists()
    assert resultats[0] == resultats[1]


class _Texte(str):
    pass


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
def test_valeurs_de_tous_les_types_en_memoire(tmp_path, format_):
    """Entries of a TSV lexicon holding values of every kind a caller may put there:
    the same file on the direct path as on the module's path."""
    chemin = creer_tsv(tmp_path / "l.tsv")
    valeurs = [True, 7, -2**63, 2.5, float("nan"), float("inf"), b"\x00\xff", bytearray(b"ab"), _Texte("sous"),
               "", None, "é\u0100\U0001f600", 0.1]
    resultats = []
    for classe in (Lexique, Lent):
        lex = classe(chemin)
        entrees = [e for l in lex._get_index_ortho().values() for e in l]
        for i, e in enumerate(entrees):
            e["lemme"] = valeurs[i % len(valeurs)]
            e["genre"] = valeurs[(i + 3) % len(valeurs)]
        index = lex._get_index_ortho()
        cle = next(iter(index))
        index[cle] = index[cle] + [dict(index[cle][0], lemme=v) for v in valeurs]
        sortie = tmp_path / f"{classe.__name__}.{format_}"
        resultats.append((lex.exporter(sortie, format=format_), contenu(sortie, format_)))
    assert resultats[0] == resultats[1]


@pytest.mark.parametrize("format_", ["csv", "sqlite"])
def test_rappel_qui_vide_l_index_en_cours(tmp_path, format_):
    """A progress callback that empties the entries and the index half-way: no crash,
    and the same file as the module's path (rows read as they are when asked for)."""
    lignes = [(f"mot{i}", "mo", "mot", "NOM", "m", "s", 1.0, 1, None) for i in range(12000)]
    chemin = creer_tsv(tmp_path / "l.tsv", lignes)
    resultats = []
    for classe in (Lexique, Lent):
        lex = classe(chemin)
        index = lex._get_index_ortho()

        def rappel(n):
            if n == 5000:
                for l in index.values():
                    for e in l:
                        e.clear()
                index.clear()

        sortie = tmp_path / f"{classe.__name__}.{format_}"
        resultats.append((lex.exporter(sortie, format=format_, callback=rappel), contenu(sortie, format_)))
    assert resultats[0] == resultats[1]
    assert resultats[0][0] == 12000


class Entree(dict):
    pass


@pytest.mark.parametrize("injection", [None, "str_python", "sous_classe", "champ_absent", "surrogate"])
@pytest.mark.parametrize("position", [0.2, 0.8])
def test_csv_de_milliers_de_lignes_comme_le_module_csv(tmp_path, injection, position):
    """Tens of thousands of rows, written on two threads when they are plain: the bytes
    csv.writer writes for the same rows, with a row that needs Python code, a mapping of
    another type, a missing field or an unencodable text in the lower or upper half."""
    chemin = tmp_path / "l.tsv"
    chemin.write_text("ortho\tphone\tlemme\tcgram\tfreq_opensubs\tsyllabes\n" + "".join(
        f"m{i}é,\"x\"\tʃa{i}\tl{i % 300}\t{'NOM' if i % 5 else 'VER'}\t{i / 7}\tʃa.{i}\n" for i in range(50000)),
        encoding="utf-8")
    lex = Lexique(chemin, precharger=True)
    lignes = lex.filtrer(limite=0)
    assert len(lignes) > 40000
    k = int(len(lignes) * position)
    tard = lignes[-10]

    class Freq:
        def __str__(self):
            tard["ortho"] = "changée"
            return "7"
    if injection == "str_python":
        lignes[k]["freq"] = Freq()
    elif injection == "sous_classe":
        liste = lex._index_ortho[lignes[k]["ortho"].lower()]
        liste[liste.index(lignes[k])] = Entree(lignes[k])
    elif injection == "champ_absent":
        del lignes[k]["lemme"]
    elif injection == "surrogate":
        lignes[k]["phone"] = "a\ud800"
    sortie = tmp_path / "o.csv"
    if injection == "surrogate":
        with pytest.raises(UnicodeEncodeError):
            lex.exporter(sortie)
        assert not sortie.exists()
        return
    n = lex.exporter(sortie)
    entete = lire_csv(sortie)[0]
    attendu = io.StringIO(newline="")
    w = csv.writer(attendu, lineterminator="\r\n")
    w.writerow(entete)
    for e in lex.filtrer(limite=0):
        w.writerow([e.get(h) for h in entete])
    assert n == len(lignes)
    assert sortie.read_bytes() == attendu.getvalue().encode("utf-8")
    if injection == "str_python":
        assert b"chang\xc3\xa9e" in sortie.read_bytes()


# ------------------------------------------------------------------ SQLite copied by SQLite


def creer_melange(chemin, n=12000):
    """Rows whose storage classes do not follow the declared types, with an index the plan may use."""
    v = ["mot", 3, 2.5, None, b"\x01\xfe", "é" * 3, "12"]
    conn = sqlite3.connect(chemin)
    conn.execute("CREATE TABLE formes (ortho TEXT, cgram TEXT, n INTEGER, freq_opensubs REAL, lemme, b BLOB)")
    conn.executemany("INSERT INTO formes VALUES (?, ?, ?, ?, ?, ?)", [
        (f"m{i}", "NOM" if i % 3 else "VER", v[i % 7], v[(i + 1) % 7], v[(i + 2) % 7], v[(i + 3) % 7]) for i in range(n)])
    conn.execute("CREATE INDEX idx_n ON formes(n)")
    conn.commit()
    conn.close()
    return chemin


@pytest.mark.parametrize("panne", [None, 10000])
@pytest.mark.parametrize("kwargs", [{}, {"cgram": "NOM", "limite": 7001},
                                    {"colonnes": ["n", "ortho", "inconnue", "n"], "freq_min": 1.0}, {"colonnes": ["n"]}])
def test_sqlite_vers_sqlite_comme_chemin_simple(chemins, tmp_path, kwargs, panne):
    """Rows read as cursor tuples give the plain route's file, progress calls and
    errors, and the export writes nothing through the lexicon's connection."""
    chemin, res = creer_melange(tmp_path / "l.sqlite"), []
    for classe in (Lexique, Lent):
        lex, vus, instructions = classe(chemin), [], []
        conn = lex._get_conn()
        avant = conn.execute("PRAGMA database_list").fetchall()
        conn.set_trace_callback(instructions.append)
        sortie = tmp_path / classe.__name__ / "o.sqlite"
        sortie.parent.mkdir()
        try:
            n = lex.exporter(sortie, format="sqlite", callback=lambda n: vus.append(n) or n != panne or 1 / 0, **kwargs)
            with sqlite3.connect(sortie) as c:
                n = (n, c.execute("PRAGMA page_size").fetchone(), contenu(sortie, "sqlite"))
            c.close()
        except ZeroDivisionError:
            n = None
        assert os.listdir(sortie.parent) == ([] if n is None else ["o.sqlite"])
        assert conn.execute("PRAGMA database_list").fetchall() == avant and not conn.in_transaction
        assert not any(i.lstrip().upper().startswith(("ATTACH", "INSERT", "CREATE")) for i in instructions)
        res.append((n, vus))
    assert res[0] == res[1]


def attacher_dix(lex):
    for i in range(10):
        lex._get_conn().execute(f"ATTACH ':memory:' AS b{i}")


def convertir(lex):
    lex._conn = sqlite3.connect(lex._get_conn().execute("PRAGMA database_list").fetchone()[2],
                                detect_types=sqlite3.PARSE_DECLTYPES)
    sqlite3.register_converter("real", lambda b: b"<" + b + b">")


@pytest.mark.parametrize("preparer", [attacher_dix, convertir, lambda lex: sqlite3.register_adapter(int, int.__neg__)])
def test_copie_sqlite_connexion_particuliere(tmp_path, preparer):
    """A connection that does not hand values over as SQLite holds them, or holds other
    databases, exports what the plain route writes from it."""
    chemin = creer_melange(tmp_path / "l.sqlite", n=30)
    ordinaire = Lexique(chemin).exporter(tmp_path / "x.sqlite", format="sqlite"), contenu(tmp_path / "x.sqlite", "sqlite")
    res = []
    try:
        for classe in (Lexique, Lent):
            lex = classe(chemin)
            preparer(lex)
            sortie = tmp_path / f"{classe.__name__}.sqlite"
            res.append((lex.exporter(sortie, format="sqlite"), contenu(sortie, "sqlite")))
    finally:
        sqlite3.converters.pop("REAL", None)
        sqlite3.adapters.pop((int, sqlite3.PrepareProtocol), None)
    assert res[0] == res[1] and (res[0] == ordinaire) == (preparer is attacher_dix)
