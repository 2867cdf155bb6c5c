"""Loaders: entries, argument checks, laziness and resource release, NomLie bindings."""
import csv
import errno
import gc
import os
import sqlite3

import pytest

from brivane_lexique import _aliases, _loaders


def ecrire(tmp_path, contenu, nom="l.csv"):
    chemin = tmp_path / nom
    chemin.write_bytes(contenu.encode("utf-8") if isinstance(contenu, str) else contenu)
    return chemin


def descripteurs():
    return len(os.listdir("/proc/self/fd"))


# ---------------------------------------------------------------------------
# Entries


def test_module_et_docstrings():
    assert _loaders.__doc__.startswith("Backends de chargement pour differents formats de lexique.")
    assert "resoudre_colonnes" in _loaders.__doc__
    assert _loaders.iter_csv.__doc__.splitlines()[0].startswith("iter_csv(path: str | Path, delimiter")
    assert "tabulation" in _loaders.iter_tsv.__doc__
    assert _loaders.FREQ_PRIORITE is _aliases.FREQ_PRIORITE
    assert _loaders.resoudre_colonnes is _aliases.resoudre_colonnes


def test_entete_point_virgule_et_frequence_prioritaire(tmp_path):
    chemin = ecrire(tmp_path, "Word;Phon;Lemma;freq_opensubs;freq_frantext\nchat;ʃa;chat;12.5;99\n")
    assert list(_loaders.iter_csv(chemin, delimiter=";")) == [
        {"ortho": "chat", "phone": "ʃa", "lemme": "chat", "freq": 12.5}]


@pytest.mark.parametrize("texte, attendu", [("12,5", 12.5), (" -0,5 ", -0.5), ("1,5,2", 0.0), ("1,", 0.0),
                                            (",5", 0.0), ("1 234,5", 0.0), (" 3.5 ", 3.5), ("", 0.0),
                                            ("1e3", 1000.0), ("-0", -0.0), ("1_000", 1000.0), ("abc", 0.0)])
def test_conversion_de_frequence(tmp_path, texte, attendu):
    chemin = ecrire(tmp_path, f'ortho,freq\nx,"{texte}"\n')
    (entree,) = _loaders.iter_csv(chemin)
    assert entree["freq"] == attendu and type(entree["freq"]) is float


@pytest.mark.parametrize("contenu", ["", "ortho,phon\n", "\n", "ortho\r\n\r\n\n"])
def test_rien_a_produire(tmp_path, contenu):
    assert list(_loaders.iter_csv(ecrire(tmp_path, contenu))) == []


def test_ligne_courte_sans_frequence_et_valeurs_brutes(tmp_path):
    chemin = ecrire(tmp_path, "ortho,nb_syllabes,freqfilms2\nchat\nchien,2,\n")
    assert list(_loaders.iter_csv(chemin)) == [
        {"ortho": "chat", "nb_syllabes": None, "freq": 0.0},
        {"ortho": "chien", "nb_syllabes": "2", "freq": 0.0}]
    assert list(_loaders.iter_csv(ecrire(tmp_path, "ortho\nchat\n", "n.csv"))) == [
        {"ortho": "chat", "freq": 0.0}]


def test_marque_d_ordre_des_octets(tmp_path):
    chemin = ecrire(tmp_path, "\ufeffWord,freq\nchat,1\n")
    assert list(_loaders.iter_csv(chemin)) == [{"ortho": "chat", "freq": 1.0}]
    assert list(_loaders.iter_csv(chemin, encoding="utf-8")) == [{"\ufeffword": "chat", "freq": 1.0}]


def test_champs_entre_guillemets(tmp_path):
    chemin = ecrire(tmp_path, 'ortho,definition\r\nchat,"un ""felin"", ou\r\nautre"\r\n')
    assert list(_loaders.iter_csv(chemin)) == [
        {"ortho": "chat", "definition": 'un "felin", ou\r\nautre', "freq": 0.0}]


def test_tsv_sur_un_fichier_a_virgules(tmp_path):
    chemin = ecrire(tmp_path, "ortho,freq\nchat,3\n")
    assert list(_loaders.iter_tsv(chemin)) == [{"ortho,freq": "chat,3", "freq": 0.0}]


def test_valeurs_partagees_entre_entrees(tmp_path):
    chemin = ecrire(tmp_path, "ortho,cgram,lemme\nchanta,VER,chanter\nchante,VER,chanter\n")
    a, b = _loaders.iter_csv(chemin)
    assert a["cgram"] is b["cgram"] and a["lemme"] is b["lemme"]
    assert list(a)[0] is list(b)[0]


@pytest.mark.parametrize("contenu, ligne", [("a,b\n1,2\n1,2,3\n", 3), ("a\n\n\"x\ny\",2\n", 4),
                                            ("\nx\n", 2)])
def test_ligne_trop_longue(tmp_path, contenu, ligne):
    chemin = ecrire(tmp_path, contenu)
    it = _loaders.iter_csv(chemin)
    entrees = []
    with pytest.raises(ValueError) as exc:
        for e in it:
            entrees.append(e)
    message = str(exc.value)
    assert str(chemin) in message and f"ligne {ligne}" in message
    assert entrees == ([{"a": "1", "b": "2", "freq": 0.0}] if ligne == 3 else [])
    with pytest.raises(StopIteration):
        next(it)


def test_octets_invalides(tmp_path):
    chemin = ecrire(tmp_path, b"ortho\nchat\n\xff\n")
    with pytest.raises(UnicodeDecodeError) as exc:
        list(_loaders.iter_csv(chemin))
    assert exc.value.reason == "invalid start byte"


def test_limite_de_taille_de_champ(tmp_path):
    chemin = ecrire(tmp_path, "ortho\n" + "é" * 12 + "\n")
    ancienne = csv.field_size_limit(12)
    try:
        assert next(_loaders.iter_csv(chemin))["ortho"] == "é" * 12
        csv.field_size_limit(11)
        with pytest.raises(csv.Error, match=r"field larger than field limit \(11\)"):
            next(_loaders.iter_csv(chemin))
    finally:
        csv.field_size_limit(ancienne)


# ---------------------------------------------------------------------------
# Arguments


@pytest.mark.parametrize("appel, nom", [
    (lambda: _loaders.iter_csv("x.csv", delimiter=None), "delimiter"),
    (lambda: _loaders.iter_csv("x.csv", encoding=b"utf-8"), "encoding"),
    (lambda: _loaders.iter_csv(12), "path"),
    (lambda: _loaders.iter_tsv(None), "path"),
    (lambda: _loaders.iter_sqlite("x.db", table=3), "table"),
    (lambda: _loaders._normaliser_entree([], {}), "row"),
    (lambda: _loaders._normaliser_entree({}, None), "mapping"),
])
def test_types_verifies_a_l_appel(appel, nom):
    with pytest.raises(TypeError, match=rf"^Argument '{nom}' has incorrect type"):
        appel()


@pytest.mark.parametrize("delim", ["", ";;"])
def test_delimiteur_d_un_caractere(delim):
    with pytest.raises(TypeError, match='"delimiter" must be a 1-character string'):
        _loaders.iter_csv("absent.csv", delimiter=delim)


@pytest.mark.parametrize("table", ["formes; DROP TABLE x", "", "1abc", "a-b", "é"])
def test_table_identifiant_simple(tmp_path, table):
    with pytest.raises(ValueError, match="'table'"):
        _loaders.iter_sqlite(tmp_path / "absent.db", table=table)
    assert not (tmp_path / "absent.db").exists()


# ---------------------------------------------------------------------------
# Laziness and resources


@pytest.mark.parametrize("fabrique", [_loaders.iter_csv, _loaders.iter_tsv, _loaders.iter_sqlite])
def test_fichier_absent_a_la_premiere_demande(tmp_path, fabrique):
    chemin = tmp_path / "absent"
    it = fabrique(chemin)
    with pytest.raises(FileNotFoundError) as exc:
        next(it)
    assert exc.value.errno == errno.ENOENT and exc.value.filename == str(chemin)
    assert not chemin.exists()
    with pytest.raises(StopIteration):
        next(it)


def test_encodage_inconnu_a_la_premiere_demande(tmp_path):
    it = _loaders.iter_csv(ecrire(tmp_path, "a\n1\n"), encoding="pas-un-codec")
    with pytest.raises(LookupError):
        next(it)


def test_fermeture_abandon_et_fin(tmp_path):
    chemin = ecrire(tmp_path, "ortho\na\nb\nc\n")
    gc.collect()  # earlier tests' garbage may still hold descriptors
    avant = descripteurs()
    it = _loaders.iter_csv(chemin)
    assert descripteurs() == avant
    assert next(it)["ortho"] == "a"
    assert descripteurs() == avant + 1
    it.close()
    assert descripteurs() == avant
    with pytest.raises(StopIteration):
        next(it)
    it = _loaders.iter_tsv(chemin)
    next(it)
    del it
    gc.collect()
    assert descripteurs() == avant
    it = _loaders.iter_csv(chemin)
    assert len(list(it)) == 3 and descripteurs() == avant
    with pytest.raises(StopIteration):
        next(it)


# ---------------------------------------------------------------------------
# Names bound at import


def test_resoudre_colonnes_lu_dans_le_module(tmp_path, monkeypatch):
    appels = []

    def espion(colonnes):
        appels.append(list(colonnes))
        return _aliases.resoudre_colonnes(colonnes) | {"Word": "mot"}

    monkeypatch.setattr(_loaders, "resoudre_colonnes", espion)
    chemin = ecrire(tmp_path, "Word,freq\na,1\nb,2\n")
    assert [e["mot"] for e in _loaders.iter_csv(chemin)] == ["a", "b"]
    assert appels == [["Word", "freq"]]


def test_freq_priorite_lue_dans_le_module(monkeypatch):
    row = {"a": "2", "b": "5"}
    assert _loaders._normaliser_entree(row, {})["freq"] == 0.0
    monkeypatch.setattr(_loaders, "FREQ_PRIORITE", ["b", "a"])
    assert _loaders._normaliser_entree(row, {}) == {"a": 2.0, "b": 5.0, "freq": 5.0}


def test_iter_tsv_passe_par_iter_csv(tmp_path, monkeypatch):
    appels = []

    def remplacant(path, delimiter=",", encoding="utf-8-sig"):
        appels.append(delimiter)
        yield {"ortho": "z", "freq": 0.0}

    it = _loaders.iter_tsv(tmp_path / "absent.tsv")
    monkeypatch.setattr(_loaders, "iter_csv", remplacant)
    assert list(it) == [{"ortho": "z", "freq": 0.0}] and appels == ["\t"]


def test_normaliser_entree_direct():
    row = {"Ortho": "chat", "FREQ_LM10": "3", "freq_opensubs": "", "x": None}
    assert _loaders._normaliser_entree(row, {"FREQ_LM10": "freq_lm10"}) == {
        "ortho": "chat", "freq_lm10": 3.0, "freq_opensubs": 0.0, "x": None, "freq": 0.0}
    with pytest.raises(AttributeError):
        _loaders._normaliser_entree({None: "1"}, {None: "x"})
    with pytest.raises(OverflowError):
        _loaders._normaliser_entree({"freq": 10 ** 400}, {})


# ---------------------------------------------------------------------------
# SQLite


def test_sqlite_table_par_defaut_et_types(tmp_path):
    chemin = tmp_path / "l.db"
    with sqlite3.connect(chemin) as conn:
        conn.execute("CREATE TABLE formes (ortho TEXT, freq_opensubs REAL, nb INTEGER, b BLOB)")
        conn.execute("INSERT INTO formes VALUES ('chat', 12.5, 2, x'00'), ('x', NULL, NULL, NULL)")
    conn.close()
    assert list(_loaders.iter_sqlite(chemin)) == [
        {"ortho": "chat", "freq": 12.5, "nb": 2, "b": b"\x00"},
        {"ortho": "x", "freq": 0.0, "nb": None, "b": None}]
    with pytest.raises(sqlite3.OperationalError, match="no such table"):
        next(_loaders.iter_sqlite(chemin, table="inconnue"))


def test_sqlite_lexique_reel(grand_sqlite):
    it = _loaders.iter_sqlite(grand_sqlite)
    premiere = next(it)
    it.close()
    assert isinstance(premiere["freq"], float) and "freq_opensubs" not in premiere
    assert {"ortho", "phone", "lemme", "cgram"} <= set(premiere)


@pytest.mark.parametrize("entete", ["ortho,phone,nb", "ortho,phone,__class__", ",".join(f"c{i}" for i in range(40))])
def test_entrees_sont_des_dicts_ordinaires(tmp_path, entete):
    # Whatever the columns, entries behave as plain dicts built key by key.
    import copy
    import json
    import pickle

    n = entete.count(",") + 1
    chemin = ecrire(tmp_path, entete + "\n" + ",".join(["chat"] * n) + "\n" + ",".join(["x"] * (n - 1)) + "\n")
    a, b = _loaders.iter_csv(chemin)
    cles = [k.lower() for k in entete.split(",")] + ["freq"]
    assert type(a) is dict and list(a) == cles and list(b) == cles and b[cles[-2]] is None
    assert a == {k: ("chat" if k != "freq" else 0.0) for k in cles}
    a["nouvelle"] = 1
    del a[cles[0]]
    b.pop(cles[1])
    assert list(a) == cles[1:] + ["nouvelle"] and len(b) == len(cles) - 1
    for f in (copy.copy, copy.deepcopy, lambda d: pickle.loads(pickle.dumps(d)), lambda d: json.loads(json.dumps(d))):
        assert f(a) == a and list(f(a)) == list(a)
    assert a.popitem() == ("nouvelle", 1) and cles[0] not in a


# ---------------------------------------------------------------------------
# SQLite rows as the sqlite3 module reads them


def lu_par_le_module(chemin, table="formes"):
    conn = sqlite3.connect(chemin)
    try:
        cur = conn.execute(f"SELECT * FROM {table}")
        noms = [d[0] for d in cur.description]
        mapping = _loaders.resoudre_colonnes(noms)
        return [_loaders._normaliser_entree(dict(zip(noms, r)), mapping) for r in cur]
    finally:
        conn.close()


def base(tmp_path, colonnes, lignes):
    chemin = tmp_path / "l.db"
    conn = sqlite3.connect(chemin)
    conn.execute(f"CREATE TABLE formes ({colonnes})")
    for ligne in lignes:
        conn.execute(f"INSERT INTO formes VALUES ({ligne})")
    conn.commit()
    conn.close()
    return chemin


@pytest.mark.parametrize("colonnes, lignes", [
    # the rows of one word side by side, as lexicons keep them
    ("ortho TEXT, cgram TEXT, lemme TEXT, freq_opensubs REAL, nb_syllabes INTEGER",
     ["'chat', 'NOM', 'chat', 12.5, 1", "'chat', 'NOM', 'chat', 3, 1", "'chats', 'NOM', 'chat', NULL, 1",
      "'œuf', 'NOM', 'œuf', '2.5', 1", "'ɛ̃', '', NULL, 'x', -4"]),
    # every storage class in one column, texts with NUL, non-BMP and empty, blobs
    ("ortho, \"Col Bizarre\" TEXT, b BLOB, freq_lm10",
     ["'a' || char(0) || 'b', 'un 🐈', x'', 1e300", "7, '', x'00ff', 2", "2.5, NULL, NULL, NULL",
      f"{2 ** 62}, 'é', 'texte', -0.0", "x'61', 'a', 1, ''"]),
])
def test_sqlite_lu_comme_le_module(tmp_path, colonnes, lignes):
    chemin = base(tmp_path, colonnes, lignes)
    attendu = lu_par_le_module(chemin)
    obtenu = list(_loaders.iter_sqlite(chemin))
    assert obtenu == attendu
    assert [[(k, type(v)) for k, v in e.items()] for e in obtenu] == \
           [[(k, type(v)) for k, v in e.items()] for e in attendu]


def test_sqlite_texte_illisible_comme_le_module(tmp_path):
    chemin = base(tmp_path, "ortho TEXT, phone TEXT", ["'chat', 'ʃa'", "'x', CAST(x'61ff62' AS TEXT)", "'y', 'i'"])
    conn = sqlite3.connect(chemin)
    with pytest.raises(sqlite3.OperationalError) as attendu:
        conn.execute("SELECT * FROM formes").fetchall()
    conn.close()
    it = _loaders.iter_sqlite(chemin)
    assert next(it)["ortho"] == "chat"
    with pytest.raises(sqlite3.OperationalError) as obtenu:
        next(it)
    assert str(obtenu.value) == str(attendu.value)
    with pytest.raises(StopIteration):
        next(it)


def test_sqlite_normaliser_remplace(tmp_path, monkeypatch):
    chemin = base(tmp_path, "ortho TEXT, freq REAL", ["'chat', 2.0", "'chien', NULL"])
    vus = []

    def remplacant(row, mapping):
        vus.append(dict(row))
        return {"vu": row["ortho"]}

    monkeypatch.setattr(_loaders, "_normaliser_entree", remplacant)
    assert list(_loaders.iter_sqlite(chemin)) == [{"vu": "chat"}, {"vu": "chien"}]
    assert vus == [{"ortho": "chat", "freq": 2.0}, {"ortho": "chien", "freq": None}]
