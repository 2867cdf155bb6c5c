import errno
import gc
import importlib
import os
import sqlite3
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brivane_lexique import lexique
from brivane_lexique.lexique import Lexique

from conftest import regler_chemins_rapides

ENTETE = "ortho,phone,lemme,cgram,freq\n"


def ecrire(chemin, texte):
    Path(chemin).write_text(texte, encoding="utf-8", newline="")
    return chemin


def base_sqlite(chemin, lignes=(("chat", "ʃa", "chat", "NOM", 10.0),), table="formes", index=False):
    conn = sqlite3.connect(chemin)
    conn.execute(
        f"CREATE TABLE {table} (ortho TEXT, phone TEXT, lemme TEXT, cgram TEXT, freq_opensubs REAL)"
    )
    conn.executemany(f"INSERT INTO {table} VALUES (?,?,?,?,?)", lignes)
    if index:
        conn.execute(f"CREATE INDEX idx_{table}_ortho_nocase ON {table}(ortho COLLATE NOCASE)")
        conn.execute(f"CREATE INDEX idx_{table}_lemme_nocase ON {table}(lemme COLLATE NOCASE)")
    conn.commit()
    conn.close()
    return chemin


def noms_index(chemin):
    with sqlite3.connect(chemin) as c:
        return sorted(r[0] for r in c.execute("SELECT name FROM sqlite_master WHERE type='index'"))


# ------------------------------------------------------------------ construction, backends


@pytest.mark.parametrize(
    "nom, backend",
    [("lex.DB", "sqlite"), ("lex.Sqlite3", "sqlite"), ("lex.sqlite", "sqlite"), ("lex.TSV", "tsv"),
     ("lex.csv", "csv"), ("lex.txt", "csv"), ("lex", "csv"), (".db", "csv")],
)
def test_backend_par_suffixe(tmp_path, nom, backend):
    chemin = tmp_path / nom
    if backend == "sqlite":
        base_sqlite(chemin)
    else:
        ecrire(chemin, "ortho\tphone\nchat\tʃa\n" if backend == "tsv" else "ortho,phone\nchat,ʃa\n")
    lex = Lexique(str(chemin))
    assert lex._backend == backend
    assert lex._source == chemin and isinstance(lex._source, Path)
    assert lex._table == "formes"
    assert lex._formes == frozenset({"chat"})
    assert (lex._index_phone, lex._index_ortho, lex._index_lemme) == (None, None, None)
    assert (lex._conn is not None) == (backend == "sqlite")


def test_arguments_refuses(tmp_path):
    ecrire(tmp_path / "l.csv", ENTETE)
    with pytest.raises(TypeError, match=r"Argument 'table' has incorrect type \(expected str, got int\)"):
        Lexique(tmp_path / "l.csv", table=3)
    with pytest.raises(TypeError):
        Lexique(tmp_path / "l.csv", "formes")  # table is keyword-only
    lex = Lexique(tmp_path / "l.csv")
    with pytest.raises(TypeError, match=r"Argument 'mot' has incorrect type \(expected str, got NoneType\)"):
        lex.existe(None)


@pytest.mark.parametrize("table", ["main.formes", "formes; DROP TABLE x", "", "1abc", "for mes"])
def test_table_doit_etre_un_identifiant(tmp_path, table):
    absent = tmp_path / "absent.db"
    with pytest.raises(ValueError, match="table"):
        Lexique(absent, table=table)
    assert not absent.exists()


@pytest.mark.parametrize("table", ["_", "T", "_t9", "a_B_1"])
def test_table_identifiant_accepte(tmp_path, table):
    # Accepted names get as far as opening the file, which is missing.
    with pytest.raises(FileNotFoundError):
        Lexique(tmp_path / "absent.db", table=table)


def test_sqlite_absent_ne_cree_rien(tmp_path):
    absent = tmp_path / "absent.sqlite"
    with pytest.raises(FileNotFoundError) as e:
        Lexique(absent)
    assert e.value.errno == errno.ENOENT and e.value.filename == str(absent)
    assert not absent.exists()


def test_csv_absent(tmp_path):
    with pytest.raises(FileNotFoundError):
        Lexique(tmp_path / "absent.tsv")


def test_destruction_apres_echec_ne_leve_rien(tmp_path, recwarn):
    chemin = base_sqlite(tmp_path / "l.db", table="autre")
    with pytest.raises(sqlite3.OperationalError):
        Lexique(chemin)  # no table "formes"
    gc.collect()
    assert not [w for w in recwarn.list if "Exception ignored" in str(w.message)]


# ------------------------------------------------------------------ directory discovery


@pytest.mark.parametrize(
    "fichiers, attendu",
    [(["b.tsv", "a.tsv", "z.db"], "z.db"), (["b.tsv", "a.tsv"], "a.tsv"), (["x.csv", "y.sqlite3"], "y.sqlite3")],
)
def test_from_directory_ordre(tmp_path, fichiers, attendu):
    for f in fichiers:
        if f.endswith((".db", ".sqlite3")):
            base_sqlite(tmp_path / f)
        else:
            ecrire(tmp_path / f, "ortho\nchat\n")
    assert Lexique.from_directory(tmp_path)._source == tmp_path / attendu


@pytest.mark.parametrize("fichiers", [["a.CSV"], []])
def test_from_directory_rien(tmp_path, fichiers):
    for f in fichiers:
        ecrire(tmp_path / f, "ortho\nchat\n")
    with pytest.raises(FileNotFoundError) as e:
        Lexique.from_directory(str(tmp_path))
    assert str(e.value) == f"Aucun fichier lexique trouve dans {tmp_path}"
    with pytest.raises(FileNotFoundError, match="Aucun fichier lexique trouve dans "):
        Lexique.from_directory(tmp_path / "nulle-part")


def test_from_directory_sous_classe_et_arguments(tmp_path):
    base_sqlite(tmp_path / "a.db", table="mots")

    class MonLexique(Lexique):
        pass

    lex = MonLexique.from_directory(tmp_path, table="mots", precharger=True)
    assert type(lex) is MonLexique and lex._table == "mots"
    assert lex.existe("chat")


# ------------------------------------------------------------------ connection lifecycle


def test_close_rouvre_et_with(tmp_path):
    chemin = base_sqlite(tmp_path / "l.db")
    lex = Lexique(chemin)
    conn = lex._conn
    assert isinstance(conn, sqlite3.Connection) and conn.row_factory is sqlite3.Row
    lex.close()
    assert lex._conn is None
    lex.close()
    with pytest.raises(sqlite3.ProgrammingError):
        conn.execute("SELECT 1")
    assert lex._get_conn() is lex._get_conn() is not conn
    with Lexique(chemin) as l2:
        assert l2._conn is not None
    assert l2._conn is None
    with pytest.raises(KeyError):
        with Lexique(chemin) as l3:
            raise KeyError("pas masquee")
    assert l3._conn is None


def test_connexion_utilisable_depuis_un_autre_thread(tmp_path):
    import threading

    lex = Lexique(base_sqlite(tmp_path / "l.db"))
    res = []
    t = threading.Thread(target=lambda: res.append(lex._get_conn().execute("SELECT count(*) FROM formes").fetchone()[0]))
    t.start()
    t.join()
    assert res == [1]


def test_destruction_appelle_close_de_la_sous_classe(tmp_path):
    appels = []

    class Trace(Lexique):
        def close(self):
            appels.append(1)
            super().close()

    lex = Trace(base_sqlite(tmp_path / "l.db"))
    del lex
    gc.collect()
    assert appels == [1]


# ------------------------------------------------------------------ level 1 on SQLite


def test_sqlite_formes_et_index_crees_une_fois(tmp_path):
    chemin = base_sqlite(
        tmp_path / "l.db",
        [("Chat", "ʃa", "chat", "NOM", 1.0), ("Été", "ete", "été", "NOM", 2.0), ("", None, None, None, None),
         (None, None, None, None, None)],
    )
    lex = Lexique(chemin)
    # lower() of SQLite folds ASCII only.
    assert lex._formes == frozenset({"chat", "Été", "", None})
    assert lex.existe("chat") and lex.existe("CHAT") and not lex.existe("été")
    assert noms_index(chemin) == ["idx_formes_lemme_nocase", "idx_formes_ortho_nocase"]
    Lexique(chemin, precharger=True)
    assert noms_index(chemin) == ["idx_formes_lemme_nocase", "idx_formes_ortho_nocase"]
    lex2 = Lexique(chemin, precharger=True)
    assert lex2._index_ortho is None
    with pytest.raises(AssertionError):
        lex2._get_index_ortho()


# The connection is handed out: a caller may give it another row factory (the dict
# recipe of the sqlite3 documentation, or one that makes text). The rows our code reads
# itself must still be read, with the answers sqlite3.Row gives (rows handed out as
# dict(row) follow the caller's factory: see the proper-noun tests).
@pytest.mark.parametrize("fabrique", [
    lambda c, r: {d[0]: v for d, v in zip(c.description, r)},
    lambda c, r: str(r),
    None,
], ids=["dict", "texte", "tuple"])
def test_fabrique_de_lignes_de_l_appelant(tmp_path, fabrique):
    lignes = (("chanter", "ʃɑ̃te", "chanter", "VER", 30.0), ("planter", "plɑ̃te", "planter", "VER", 5.0),
              ("chat", "ʃa", "chat", "NOM", 10.0), ("niche", "niʃ", "niche", "NOM", 2.0))
    chemin = base_sqlite(tmp_path / "l.db", lignes)
    requetes = {
        "compter": lambda L: L.compter(cgram="VER"),
        "filtrer": lambda L: L.filtrer(cgram="NOM"),
        "rimes": lambda L: L.rimes("chanter"),
        "anagrammes": lambda L: L.anagrammes("chine"),
        "info": lambda L: L.info("chat"),
        "frequence": lambda L: L.frequence("chat"),
        "colonnes": lambda L: L.colonnes(),
        "export": lambda L: (L.exporter(tmp_path / f"{id(L)}.csv", cgram="VER"),
                             (tmp_path / f"{id(L)}.csv").read_text(encoding="utf-8"))[1],
    }
    attendu = {nom: f(Lexique(chemin)) for nom, f in requetes.items()}
    lex = Lexique(chemin)
    lex._get_conn().row_factory = fabrique
    assert {nom: f(lex) for nom, f in requetes.items()} == attendu
    assert attendu["rimes"] and attendu["compter"] == 2


class LectureSeule(Lexique):
    def _get_conn(self):
        if self._conn is None:
            self._conn = sqlite3.connect(f"file:{self._source}?mode=ro", uri=True, check_same_thread=False)
            self._conn.row_factory = sqlite3.Row
        return self._conn


def test_sqlite_lecture_seule_sans_index(tmp_path):
    chemin = base_sqlite(tmp_path / "l.db")
    lex = LectureSeule(chemin)
    assert lex.existe("chat")
    assert noms_index(chemin) == []


def test_sqlite_autre_erreur_arrete(tmp_path):
    chemin = base_sqlite(tmp_path / "l.db", table="autre")
    with pytest.raises(sqlite3.OperationalError, match="no such table"):
        LectureSeule(chemin)


class OctetsLus(Lexique):
    def _get_conn(self):
        if self._conn is None:
            self._conn = sqlite3.connect(str(self._source), check_same_thread=False)
            self._conn.text_factory = bytes
        return self._conn


@pytest.mark.parametrize(
    "orthos",
    [
        ["Chat", "chat", "Été", "", None, None],
        ["a\nb", "a", "b", "A"],  # a line feed inside a spelling
        ["\n", "x"],
        [""],
        [None],
        [],
        [12, 1.5, b"Ab", "ab"],  # numbers and blobs go through lower() as text
        ["pomme de terre", "l'", "aujourd\u2019hui", "a\rb", "a\x00b"],
    ],
)
@pytest.mark.parametrize("classe", [Lexique, OctetsLus])
def test_sqlite_niveau_1_comme_la_requete(tmp_path, chemins, orthos, classe):
    chemin = base_sqlite(tmp_path / "l.db", [(o, "a", "a", "NOM", 1.0) for o in orthos])
    with sqlite3.connect(chemin) as c:
        if classe is OctetsLus:
            c.text_factory = bytes
        attendu = frozenset(r[0] for r in c.execute("SELECT DISTINCT lower(ortho) FROM formes"))
    lex = classe(chemin)
    assert lex._formes == attendu
    assert lex.existe("chat") == ("chat" in attendu)


@pytest.mark.parametrize("codage", ["UTF-8", "UTF-16le", "UTF-16be"])
@pytest.mark.parametrize(
    "orthos",
    [
        ["Cœur", "cœur", "Été", "été", "", None, "\U0001f600"],
        ["Chat", "Cœur", ""],  # read in the wrong encoding, still valid UTF-8
        ["a\nb", "a", "b"],  # more pieces than spellings
        ["x\n", "\nx", "x"],
        ["\u00e9" * 300, "e" * 1000],
    ],
)
def test_sqlite_niveau_1_quel_que_soit_le_codage_de_la_base(tmp_path, chemins, codage, orthos):
    chemin = tmp_path / "l.db"
    with sqlite3.connect(chemin) as c:
        c.execute(f"PRAGMA encoding = '{codage}'")  # taken by the first table created
        c.execute("CREATE TABLE formes (ortho TEXT, phone TEXT, lemme TEXT, cgram TEXT, freq_opensubs REAL)")
        c.executemany("INSERT INTO formes VALUES (?, 'a', 'a', 'NOM', 1.0)", [(o,) for o in orthos])
    with sqlite3.connect(chemin) as c:
        assert c.execute("PRAGMA encoding").fetchone()[0] == codage
        attendu = frozenset(r[0] for r in c.execute("SELECT DISTINCT lower(ortho) FROM formes"))
    lex = Lexique(chemin)
    assert lex._formes == attendu
    assert {type(f) for f in lex._formes} <= {str, type(None)}
    assert not gc.is_tracked(lex._formes)


def test_sqlite_niveau_1_texte_illisible(tmp_path, chemins):
    chemin = base_sqlite(tmp_path / "l.db", [(b"\xff\xfe", "a", "a", "NOM", 1.0), ("chat", "a", "a", "NOM", 1.0)])
    with sqlite3.connect(chemin) as c:
        c.execute("UPDATE formes SET ortho = CAST(ortho AS TEXT) WHERE typeof(ortho) = 'blob'")
    with pytest.raises(sqlite3.OperationalError, match="decode"):
        Lexique(chemin)


# ------------------------------------------------------------------ level 1 and indexes on CSV/TSV


CSV_INDEX = (
    ENTETE
    + ",ʃa,chat,NOM,5\n"  # no spelling: nowhere
    + "Chat,ʃa,chat,NOM,10\n"
    + "chat,ʃA,,NOM,x\n"  # phone differing by case, no lemma
    + "chats,,chat,NOM,2.5\n"  # lemma, no phone
    + " CHAT ,ʃa,chat,NOM,\n"
)


@pytest.mark.parametrize("precharger", [False, True])
def test_index_csv(tmp_path, precharger):
    lex = Lexique(ecrire(tmp_path / "l.csv", CSV_INDEX), precharger=precharger)
    assert lex._formes == frozenset({"chat", "chats"})
    assert (lex._index_ortho is not None) == precharger
    ortho = lex._get_index_ortho()
    assert lex._get_index_ortho() is ortho is lex._index_ortho
    phone, lemme = lex._get_index_phone(), lex._get_index_lemme()
    assert list(ortho) == ["chat", "chats"]
    assert [e["ortho"] for e in ortho["chat"]] == ["Chat", "chat", " CHAT "]
    assert [e["freq"] for e in ortho["chat"]] == [10.0, 0.0, 0.0]
    assert all(type(e["freq"]) is float for l in ortho.values() for e in l)
    assert list(phone) == ["ʃa", "ʃA"]
    assert [e["ortho"] for e in phone["ʃa"]] == ["Chat", " CHAT "]
    assert list(lemme) == ["chat"] and [e["ortho"] for e in lemme["chat"]] == ["Chat", "chats", " CHAT "]
    # One shared object per entry across the three indexes.
    assert phone["ʃa"][0] is ortho["chat"][0] is lemme["chat"][0]
    assert ortho["chats"][0] is lemme["chat"][1]
    assert ortho["chat"][0] == {"ortho": "Chat", "phone": "ʃa", "lemme": "chat", "cgram": "NOM", "freq": 10.0}


def test_precharger_tsv_lit_deux_fois(tmp_path, monkeypatch):
    chemin = ecrire(tmp_path / "l.tsv", "ortho\tlemme\nchat\tchat\n")
    passes = []
    origine = lexique.iter_tsv

    def compteur(path):
        passes.append(path)
        return origine(path)

    monkeypatch.setattr(lexique, "iter_tsv", compteur)
    lex = Lexique(chemin, precharger=True)
    assert passes == [chemin, chemin]
    assert list(lex._index_ortho) == ["chat"]
    lex._get_index_lemme()
    assert len(passes) == 2


def test_normaliser_remplace_est_appele(tmp_path, monkeypatch):
    chemin = ecrire(tmp_path / "l.tsv", "ortho\tlemme\nChat\tChat\n")
    monkeypatch.setattr(lexique, "normaliser_ortho", lambda s: "<" + s + ">")
    lex = Lexique(chemin)
    assert lex._formes == frozenset({"<Chat>"})
    assert lex.existe("Chat") and not lex.existe("chat")
    assert list(lex._get_index_lemme()) == ["<Chat>"]


def test_echec_de_construction_des_index_puis_reprise(tmp_path):
    chemin = ecrire(tmp_path / "l.csv", "ortho,lemme\nchat,chat\nabcd,x\n")
    lex = Lexique(chemin, encoding="utf-8")  # (an encoding found would be cp1252 by now)
    st = chemin.stat()

    def remplacer(octets):  # same size and times: a change the index pass cannot see
        chemin.write_bytes(octets)
        os.utime(chemin, ns=(st.st_atime_ns, st.st_mtime_ns))

    remplacer(b"ortho,lemme\nchat,chat\n\xff\xfe\xff\xfe,x\n")
    with pytest.raises(UnicodeDecodeError):
        lex._get_index_ortho()
    assert (lex._index_phone, lex._index_ortho, lex._index_lemme) == (None, None, None)
    remplacer(b"ortho,lemme\nchien,chien\nab,x\n")
    assert list(lex._get_index_ortho()) == ["chien", "ab"]
    assert lex._formes == frozenset({"chat", "abcd"})  # level 1 is never reloaded


def test_sous_classe_source_redefinie(tmp_path):
    class Memoire(Lexique):
        def _iter_source(self):
            yield {"ortho": "Alpha", "freq": "3.5", "phone": "alfa"}
            yield {"ortho": "", "phone": "x"}
            yield {"ortho": "beta"}

    lex = Memoire(ecrire(tmp_path / "l.csv", ENTETE), precharger=True)
    assert lex._formes == frozenset({"alpha", "beta"})
    assert lex._index_ortho["alpha"][0]["freq"] == 3.5
    assert lex._index_ortho["beta"][0]["freq"] == 0.0
    assert list(lex._index_phone) == ["alfa"]


def _formes_fixes(self):
    self._formes = frozenset({"fixe"})


def _index_fixes(self):
    self._index_phone, self._index_ortho, self._index_lemme = {}, {"fixe": [{"ortho": "fixe"}]}, {}


REDEFINITIONS = [
    # method, replacement, what the library's own path must then show
    ("_detecter_backend", lambda self: "tsv", lambda lex: lex._formes == frozenset({"chat"})),
    ("_charger_formes", _formes_fixes, lambda lex: lex.existe("fixe") and not lex.existe("chat")),
    ("_charger_index", _index_fixes, lambda lex: [e["ortho"] for e in lex.rechercher("^fi")] == ["fixe"]),
    ("_get_index_ortho", lambda self: {"autre": [{"ortho": "autre"}]},
     lambda lex: [e["ortho"] for e in lex.rechercher("^au")] == ["autre"] and lex._index_ortho is None),
]


@pytest.mark.parametrize("apres_coup", [False, True], ids=["classe", "apres_coup"])
@pytest.mark.parametrize("methode, remplacante, verifier", REDEFINITIONS, ids=[r[0] for r in REDEFINITIONS])
def test_methodes_redefinies_obeies(tmp_path, methode, remplacante, verifier, apres_coup):
    """The library's own calls honour a subclass's method, whether defined with the
    class or set on it later; the base class and its other subclasses are unaffected."""
    # (With a comma on its header line, the file is read as comma-separated.)
    chemin = ecrire(tmp_path / "l.csv", "ortho\tphone,x\nchat\tʃa,y\n")
    Sous = type("Sous", (Lexique,), {} if apres_coup else {methode: remplacante})
    if apres_coup:
        lex = Sous(chemin)
        setattr(Sous, methode, remplacante)
        if methode in ("_detecter_backend", "_charger_formes"):  # only construction calls them
            lex = Sous(chemin)
    else:
        lex = Sous(chemin)
    assert verifier(lex)
    temoin = type("Autre", (Lexique,), {})(chemin)
    # Read as CSV, the file has no spelling column at all.
    assert (temoin._backend, temoin._formes, temoin.rechercher("^")) == ("csv", frozenset(), [])


@pytest.mark.parametrize("methode, requete", [
    ("_get_index_ortho", lambda lex: lex.info("chat")),
    ("_get_index_phone", lambda lex: lex.contient_son("ʃ")),
    ("_get_index_lemme", lambda lex: lex.formes_de("chat")),
])
def test_index_redefini_qui_appelle_la_base(tmp_path, methode, requete):
    """An override of _get_index_* that calls the base method gets the index (it
    used to call itself back until RecursionError)."""
    appels = []

    def redefinie(self):
        appels.append(methode)
        return getattr(Lexique, methode)(self)

    chemin = ecrire(tmp_path / "l.tsv", "ortho\tphone\tlemme\nchat\tʃa\tchat\nchats\tʃa\tchat\n")
    lex = type("Sous", (Lexique,), {methode: redefinie})(chemin)
    assert requete(lex) == requete(Lexique(chemin)) != []
    assert appels and getattr(lex, methode)() is getattr(lex, methode.replace("_get", ""))


@pytest.mark.parametrize("backend", ["tsv", "sqlite"])
def test_existe_normalise_le_mot(tmp_path, chemins, backend):
    import unicodedata

    if backend == "tsv":
        chemin = ecrire(tmp_path / "l.tsv", "ortho\nÉté\nchat\n")
    else:
        chemin = base_sqlite(tmp_path / "l.db", [("été", "", "", "NOM", 1.0), ("Chat", "", "", "NOM", 1.0)])
    lex = Lexique(chemin)
    for mot in ["chat", " CHAT\t", "été", unicodedata.normalize("NFD", "Été "), "ÉTÉ"]:
        assert lex.existe(mot)
    assert not any(lex.existe(m) for m in ["", "chats", "ete", "ch at"])


def test_sortie_de_with_appelle_close_de_la_sous_classe(tmp_path):
    appels = []

    class Trace(Lexique):
        def close(self):
            appels.append(self._conn is not None)
            super().close()

    with Trace(base_sqlite(tmp_path / "l.db")) as lex:
        assert appels == []
    assert appels == [True] and lex._conn is None


FREQUENCES = st.one_of(st.none(), st.integers(-3, 3), st.floats(allow_nan=True, allow_infinity=True),
                       st.sampled_from(["1.5", " 2 ", "-inf", "nan", "1e400", True]))


@given(freqs=st.lists(FREQUENCES, max_size=12))
@settings(max_examples=60, deadline=None)
def test_tri_par_frequence_comme_python(tmp_path_factory, freqs):
    """Forms come out by decreasing float(freq) (absent: 0), ties and NaN in the
    order list.sort gives, with the fast sort and its plain twin alike."""
    entrees = [{"ortho": f"v{i}", "phone": "p", "cgram": "VER", "personne": "1"} for i in range(len(freqs))]
    for e, f in zip(entrees, freqs):
        if f is not None:
            e["freq"] = f

    class Index(Lexique):
        def _get_index_phone(self):
            return {"p": entrees}

    lex = Index(ecrire(tmp_path_factory.mktemp("t") / "l.csv", "ortho\nv\n"))
    attendu = sorted(entrees, key=lambda e: -float(e.get("freq", 0)))
    avant = regler_chemins_rapides(True)
    try:
        for rapide in (True, False):
            regler_chemins_rapides(rapide)
            obtenu = lex.verbes_par_phone_et_personne(["p"], "1", "")
            assert [e["ortho"] for e in obtenu] == [e["ortho"] for e in attendu]
            assert all(a is b for a, b in zip(obtenu, attendu))
    finally:
        for nom, etat in avant.items():
            importlib.import_module(f"brivane_lexique.{nom}")._chemins_rapides(etat)


def test_tri_par_frequence_erreur_comme_python(tmp_path, chemins):
    entrees = [{"ortho": "a", "phone": "p", "cgram": "VER", "personne": "1", "freq": "x"}]

    class Index(Lexique):
        def _get_index_phone(self):
            return {"p": entrees}

    lex = Index(ecrire(tmp_path / "l.csv", "ortho\nv\n"))
    with pytest.raises(ValueError, match="could not convert string to float"):
        lex.verbes_par_phone_et_personne(["p"], "1", "")


# ------------------------------------------------------------------ real lexicon


def test_lexique_reel_tsv(grand_tsv):
    lex = Lexique(grand_tsv)
    assert len(lex._formes) == 345205
    assert lex.existe("chanter") and lex.existe("Chanter ") and not lex.existe("chanterzz")
    assert lex._get_index_ortho()["chanter"][0]["lemme"] == "chanter"
    assert sum(map(len, lex._index_ortho.values())) == 442401


def test_lexique_reel_sqlite(grand_sqlite):
    lex = Lexique(grand_sqlite)
    assert len(lex._formes) == 345205
    assert lex.existe("maison")


# ------------------------------------------------------------------ level 1 and indexes against plain Python

import csv  # noqa: E402
import random  # noqa: E402
import unicodedata  # noqa: E402

from brivane_lexique import _aliases, _loaders  # noqa: E402

# Spellings of every width a str may take, with variants the normalisation merges.
ORTHOS = ["chat", "Chat", " CHAT ", "chat", "été", "Été", "e\u0301te\u0301", "œuvre", "ŒUVRE", "ÿ", "😀x",
          "ΣΟΦΊΑ", "İstanbul", "\u00a0ß\u3000", " ", "", "a,b", 'di"t', "n\r\nl", "\x00", "ﬁn", "Ǆ"]


def ref_formes_et_index(chemin, delim):
    """What a plain loop over csv.DictReader gives (the loaders' entries for the indexes)."""
    normaliser = lambda s: unicodedata.normalize("NFC", s).strip().lower()  # noqa: E731
    formes, phone, ortho, lemme = set(), {}, {}, {}
    with open(chemin, encoding="utf-8-sig", newline="") as f:
        lecteur = csv.DictReader(f, delimiter=delim)
        mapping = None
        for row in lecteur:
            if mapping is None:
                mapping = _aliases.resoudre_colonnes(list(lecteur.fieldnames))
            if None in row:
                raise ValueError(" champs pour ")
            e = _loaders._normaliser_entree(row, mapping)
            if not e.get("ortho"):
                continue
            formes.add(normaliser(e["ortho"]))
            ortho.setdefault(normaliser(e["ortho"]), []).append(e)
            if e.get("phone"):
                phone.setdefault(e["phone"], []).append(e)
            if e.get("lemme"):
                lemme.setdefault(normaliser(e["lemme"]), []).append(e)
    return frozenset(formes), (phone, ortho, lemme)


def fichier_lexique(rnd, delim, lignes, entete="ortho\tphone\tlemme\tcgram\tfreq_opensubs"):
    sortie = [entete.replace("\t", delim)]
    for _ in range(lignes):
        o = rnd.choice(ORTHOS)
        champs = [o, rnd.choice(["ʃa", "ʃA", "", "a"]), rnd.choice(["chat", "Chat", "", o]), "NOM",
                  rnd.choice(["1", "", "x", "2.5"])]
        champs = champs[: rnd.choice([5, 5, 5, 5, 1, 3])]  # some short lines
        sortie.append(delim.join('"' + c.replace('"', '""') + '"' if set(c) & set(delim + '"\r\n') else c
                                 for c in champs))
    return "\n".join(sortie) + "\n"


@pytest.mark.parametrize("nom, delim", [("l.tsv", "\t"), ("l.csv", ",")])
@pytest.mark.parametrize("graine", range(5))
def test_niveaux_comme_python(tmp_path, nom, delim, graine):
    rnd = random.Random(graine)
    chemin = ecrire(tmp_path / nom, fichier_lexique(rnd, delim, 400 * (graine + 1)))
    formes, index = ref_formes_et_index(chemin, delim)
    lex = Lexique(chemin, precharger=True)
    assert lex._formes == formes
    for obtenu, attendu in zip((lex._index_phone, lex._index_ortho, lex._index_lemme), index):
        assert list(obtenu) == list(attendu) and obtenu == attendu
    # Entries are shared between the indexes.
    for e in lex._index_phone.get("ʃa", []):
        assert any(x is e for x in lex._index_ortho[unicodedata.normalize("NFC", e["ortho"]).strip().lower()])


def fichier_long(rnd, fin, colonne):
    """Thousands of lines of every length around the 64-byte steps of the line
    sweep, a few quoted, blank, short or overlong ones among them, and `fin` as
    the line end."""
    noms = ["phone", "lemme", "cgram", "freq_opensubs"]
    noms.insert(colonne, "ortho")
    lignes = ["\t".join(noms)]
    for i in range(3000):
        o = rnd.choice(ORTHOS[:-4]) + "x" * rnd.choice([0, 0, 1, 30, 63, 64, 65, 200])
        champs = [rnd.choice(["ʃa", "", "a" * rnd.randrange(120)]), "l", "NOM", str(i)]
        champs.insert(colonne, o)
        r = rnd.random()
        if r < 0.02:
            champs[colonne] = '"' + o.replace('"', '') + '\t""q"""'
        elif r < 0.04:
            champs = champs[: rnd.randrange(len(champs))]
        elif r < 0.05:
            champs = []
        lignes.append("\t".join(c for c in champs if "\r" not in c and "\n" not in c))
    return fin.join(lignes) + rnd.choice([fin, ""])


@pytest.mark.parametrize("fin", ["\n", "\r\n", "\r"])
@pytest.mark.parametrize("colonne", [0, 2, 4])
@pytest.mark.parametrize("graine", range(2))
def test_niveau_1_lignes_balayees_comme_python(tmp_path, fin, colonne, graine):
    rnd = random.Random(graine)
    chemin = tmp_path / "l.tsv"
    chemin.write_bytes(fichier_long(rnd, fin, colonne).encode())
    assert Lexique(chemin)._formes == ref_formes_et_index(chemin, "\t")[0]
    # A field over the limit, and a line with one field too many, far into the file.
    with open(chemin, encoding="utf-8", newline="") as f:
        lignes = f.read().split(fin)
    ancienne = csv.field_size_limit()
    try:
        csv.field_size_limit(150)
        with pytest.raises(csv.Error, match="field larger"):
            Lexique(chemin)
    finally:
        csv.field_size_limit(ancienne)
    lignes[2500] = "\t".join(["trop"] * 6)
    chemin.write_text(fin.join(lignes), encoding="utf-8", newline="")
    with open(chemin, encoding="utf-8", newline="") as f:
        numero = next(n for n, l in enumerate(csv.reader(f, delimiter="\t"), 1) if len(l) == 6)
    with pytest.raises(ValueError, match=f"ligne {numero} : 6 champs pour 5 colonnes"):
        Lexique(chemin)


def descripteurs_ouverts():
    return len(os.listdir("/proc/self/fd")) if os.path.isdir("/proc/self/fd") else 0


@pytest.mark.parametrize("defaut", [None, "decodage", "trop", "limite"])
def test_niveau_1_grand_fichier(tmp_path, defaut):
    """A file of megabytes, whose spellings are read apart from where their str objects
    are made: the host's set (spellings only the host normalises included), and each
    fault far into the file raised as the host raises it, the file closed."""
    rnd = random.Random(11)
    mots = [o + str(i % 5000) for i, o in enumerate(rnd.choices(ORTHOS[:-4], k=60000))]
    mots += ["ΣΟΦΙΑ", "Cafe\u0301", "  ÉTÉ ", "ǅ"] * 50
    rnd.shuffle(mots)
    lignes = ["ortho\tphone\tlemme\tnote"] + [f"{m}\tʃa\tl\t{'x' * rnd.randrange(30)}" for m in mots]
    octets = ("\n".join(lignes) + "\n").encode()
    coupure = octets.rindex(b"\n", 0, len(octets) * 9 // 10) + 1
    insere = {"decodage": b"ab\xff\tc\n", "trop": b"a\tb\tc\td\te\n", "limite": b"y" * 90 + b"\n"}.get(defaut, b"")
    chemin = tmp_path / "g.tsv"
    chemin.write_bytes(octets[:coupure] + insere + octets[coupure:])
    assert chemin.stat().st_size > 1 << 20
    ancienne = csv.field_size_limit()
    ouverts = descripteurs_ouverts()
    try:
        csv.field_size_limit(80)
        if defaut is None:
            verifier_ensemble(Lexique(chemin)._formes, ref_formes_et_index(chemin, "\t")[0])
            return
        with pytest.raises((UnicodeDecodeError, ValueError, csv.Error)) as attendue:
            with open(chemin, encoding="utf-8", newline="") as f:
                for n, ligne in enumerate(csv.reader(f, delimiter="\t"), 1):
                    if len(ligne) > 4:
                        raise ValueError(f"ligne {n} : {len(ligne)} champs pour 4 colonnes dans l'en-tete")
        with pytest.raises(type(attendue.value)) as obtenue:
            Lexique(chemin, encoding="utf-8")
        assert str(obtenue.value).endswith(str(attendue.value))
    finally:
        csv.field_size_limit(ancienne)
    assert descripteurs_ouverts() == ouverts


@pytest.mark.parametrize("longueur", [70000, 300000])
def test_niveau_1_ligne_plus_longue_que_le_tampon(tmp_path, longueur):
    # A line longer than what is decoded at once (and than 64 KiB) is finished by
    # the line reader; the lines around it still come from the sweep.
    chemin = tmp_path / "l.tsv"
    chemin.write_text("ortho\tx\n" + "".join(f"m{i}\ty\n" for i in range(3000)) + "Long\t" + "y" * longueur
                      + "\n" + "".join(f"n{i}\ty\n" for i in range(3000)), encoding="utf-8")
    ancienne = csv.field_size_limit()
    try:
        csv.field_size_limit(10**6)
        assert Lexique(chemin)._formes == ref_formes_et_index(chemin, "\t")[0]
    finally:
        csv.field_size_limit(ancienne)


@pytest.mark.parametrize("contenu, erreur", [
    ("ortho\tlemme\nchat\tchat\nchien\tchien\tx\n", ValueError),
    (b"ortho\nchat\n" + "é".encode() * 5000 + b"\xe9\n", UnicodeDecodeError),
    ("ortho\n" + "é" * 20 + "\n", csv.Error),
])
def test_niveau_1_erreurs(tmp_path, contenu, erreur):
    chemin = tmp_path / "e.tsv"
    chemin.write_bytes(contenu.encode() if isinstance(contenu, str) else contenu)
    ancienne = csv.field_size_limit()
    try:
        if erreur is csv.Error:
            csv.field_size_limit(19)
        with pytest.raises(erreur):
            ref_formes_et_index(chemin, "\t")
        with pytest.raises(erreur):
            Lexique(chemin, encoding="utf-8")
    finally:
        csv.field_size_limit(ancienne)


def test_niveau_1_normaliser_remplace_sur_chaque_ligne(tmp_path, monkeypatch):
    chemin = ecrire(tmp_path / "l.tsv", "ortho\nChat\nChat\n\nchien\n")
    vus = []
    monkeypatch.setattr(lexique, "normaliser_ortho", lambda s: vus.append(s) or s.upper())
    assert Lexique(chemin)._formes == frozenset({"CHAT", "CHIEN"}) and vus == ["Chat", "Chat", "chien"]


def test_niveau_1_sans_colonne_ortho_lit_tout(tmp_path):
    chemin = ecrire(tmp_path / "l.tsv", "phone\tlemme\na\tb\nc\td\te\n")
    with pytest.raises(ValueError, match="ligne 3"):
        Lexique(chemin)
    assert Lexique(ecrire(tmp_path / "m.tsv", "phone\na\n"))._formes == frozenset()


def test_niveau_1_mapping_invalide_comme_les_entrees(tmp_path, monkeypatch):
    # A replaced column resolution that gives no mapping fails at the first record,
    # in level 1 as in the entries; a file without records still opens.
    monkeypatch.setattr(_loaders, "resoudre_colonnes", lambda noms: list(noms))
    with pytest.raises(TypeError, match="'mapping'"):
        list(_loaders.iter_csv(ecrire(tmp_path / "a.csv", "ortho\nchat\n")))
    with pytest.raises(TypeError, match="'mapping'"):
        Lexique(tmp_path / "a.csv")
    assert Lexique(ecrire(tmp_path / "b.csv", "ortho\n"))._formes == frozenset()


@pytest.mark.parametrize("taille", [1023, 1024, 60000])
def test_ensemble_des_formes_d_un_grand_fichier(tmp_path, taille):
    """A large forms set, built in one go, behaves as the set the host builds: same
    members (repeats far apart, other cases, other normal forms), same length, same
    hash, every member found and listed once."""
    import random
    import unicodedata

    hasard = random.Random(taille)
    base = [f"mot{i}" for i in range(taille // 2)] + [f"Été{i}" for i in range(taille // 4)]
    lignes = base + [m.upper() for m in hasard.sample(base, taille // 8)]
    lignes += [unicodedata.normalize("NFD", m) for m in hasard.sample(base, taille // 8)] + [""]
    hasard.shuffle(lignes)
    chemin = tmp_path / "grand.tsv"
    chemin.write_text("ortho\tcgram\n" + "".join(f"{m}\tNOM\n" for m in lignes), encoding="utf-8")
    attendu = frozenset(unicodedata.normalize("NFC", m).strip().lower() for m in lignes if m)
    formes = Lexique(chemin)._formes
    verifier_ensemble(formes, attendu)


def verifier_ensemble(formes, attendu):
    assert type(formes) is frozenset
    assert formes == attendu and len(formes) == len(attendu) and hash(formes) == hash(attendu)
    assert sorted(formes) == sorted(attendu)
    assert all(m in formes for m in attendu) and "absent" not in formes and "" not in formes
    assert formes | {"x"} == attendu | {"x"}


@pytest.mark.parametrize("dense_d_abord", [True, False])
def test_ensemble_des_formes_quand_la_densite_change(tmp_path, dense_d_abord):
    """A file whose lines change length half-way (many more, or many fewer, forms
    than at the start) still gives the host's set."""
    courtes = [f"court{i}\tNOM\n" for i in range(40000)]
    longues = [f"long{i % 9000}\t{'x' * 400}\n" for i in range(0, 18000, 1)]
    lignes = courtes + longues if dense_d_abord else longues + courtes
    chemin = tmp_path / "d.tsv"
    chemin.write_text("ortho\tcgram\n" + "".join(lignes), encoding="utf-8")
    attendu = frozenset(l.split("\t")[0] for l in lignes)
    formes = Lexique(chemin)._formes
    verifier_ensemble(formes, attendu)
    # Plain texts only: the collector need not visit them, and a collection keeps them.
    assert not gc.is_tracked(formes)
    gc.collect()
    verifier_ensemble(formes, attendu)


def test_ensemble_des_formes_de_toutes_largeurs_et_longueurs(tmp_path):
    """Spellings of one to forty characters stored on one, two or four bytes each:
    every one is found in the set by the host's own hash of a fresh equal str."""
    alphabets = ["abcdefgh", "àéîõüçñÿ", "αβγδεζηθ", "жзийклмн", "😀😁😂🤣😃😄😅😆"]
    lignes = [(alphabet * 6)[d:d + n] + suffixe
              for alphabet in alphabets for n in range(1, 41) for d in range(3) for suffixe in ("", "x", "ώ")]
    chemin = tmp_path / "l.tsv"
    chemin.write_text("ortho\n" + "".join(m + "\n" for m in lignes), encoding="utf-8")
    formes = Lexique(chemin)._formes
    attendu = {("" + m + " ").strip() for m in lignes}
    assert len(formes) == len(attendu) > 1024
    assert all(m in formes for m in attendu) and hash(formes) == hash(frozenset(attendu))


@pytest.mark.parametrize("source, normaliser, suivi", [
    ("tsv", None, False), ("sqlite", None, False), ("tsv", str.upper, False), ("tsv", lambda s: (s,), True),
])
def test_ensemble_des_formes_et_ramasse_miettes(tmp_path, monkeypatch, source, normaliser, suivi):
    """Only a forms set that may hold containers stays under the collector's watch;
    either way it survives a collection intact."""
    if source == "tsv":
        chemin = ecrire(tmp_path / "l.tsv", "ortho\tcgram\nChat\tNOM\nchien\tNOM\n\tNOM\n")
    else:
        chemin = base_sqlite(tmp_path / "l.db", [("Chat", "", "", "NOM", 1.0), (None, "", "", "NOM", 1.0)])
    if normaliser:
        monkeypatch.setattr(lexique, "normaliser_ortho", normaliser)
    formes = Lexique(chemin)._formes
    attendu = set(formes)
    assert gc.is_tracked(formes) is suivi
    gc.collect()
    assert formes == attendu and len(formes) >= 2


def test_grands_ensembles_liberes_puis_refaits(tmp_path):
    """Large forms sets built, dropped and built again between ordinary allocations:
    the memory under them is handed back and reused without harm."""
    chemin = tmp_path / "g.tsv"
    chemin.write_text("ortho\tnote\n" + "".join(f"Mot{i}\t{'x' * 24}\n" for i in range(320000)), encoding="utf-8")
    assert chemin.stat().st_size > 8 << 20
    a = Lexique(chemin)._formes
    b = Lexique(chemin)._formes
    assert a == b and len(a) == 320000
    del a
    gc.collect()
    autres = [str(i) * 3 for i in range(300000)]
    c = Lexique(chemin)._formes
    del b
    gc.collect()
    assert len(c) == 320000 and all(f"mot{i}" in c for i in range(0, 320000, 7))
    assert autres[-1] == "299999" * 3


def test_grands_index_liberes_puis_refaits(tmp_path):
    """The indexes of a file of several MB: built, dropped and built again among
    ordinary allocations, with every entry intact."""
    chemin = tmp_path / "g.tsv"
    chemin.write_text("ortho\tlemme\tfreq\tnote\n"
                      + "".join(f"Mot{i}\tl{i // 3}\t{i}\t{'x' * 60}\n" for i in range(120000)), encoding="utf-8")
    assert chemin.stat().st_size > 8 << 20
    premier = Lexique(chemin, precharger=True)
    autres = [{"k": str(i)} for i in range(100000)]
    second = Lexique(chemin, precharger=True)
    del premier
    gc.collect()
    troisieme = Lexique(chemin, precharger=True)
    for lex in (second, troisieme):
        assert len(lex._index_ortho) == 120000 and len(lex._index_lemme) == 40000
        for i in range(0, 120000, 997):
            (e,) = lex._index_ortho[f"mot{i}"]
            assert (e["ortho"], e["lemme"], e["freq"], e["note"]) == (f"Mot{i}", f"l{i // 3}", float(i), "x" * 60)
            assert any(x is e for x in lex._index_lemme[f"l{i // 3}"])
    assert autres[-1] == {"k": "99999"}


def test_ensemble_des_formes_debut_dense_puis_long_texte(tmp_path):
    """Thousands of spellings, then tens of MB of one spelling's lines: the table is
    not sized on the density of the start (it took gigabytes for a larger file)."""
    import subprocess
    import sys

    chemin = tmp_path / "d.tsv"
    with open(chemin, "w", encoding="utf-8") as f:
        f.write("ortho\tx\n" + "".join(f"m{i}\t\n" for i in range(9000)))
        f.write(("z\t" + "y" * 1000 + "\n") * 40000)
    enfant = (
        "import resource, sys\n"
        "from brivane_lexique import Lexique\n"
        "avant = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss\n"
        "n = len(Lexique(sys.argv[1])._formes)\n"
        "print(n, (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - avant) // 1024)\n"
    )
    n, mo = map(int, subprocess.run([sys.executable, "-c", enfant, str(chemin)], capture_output=True, text=True,
                                    check=True).stdout.split())
    assert n == 9001 and mo < 100
