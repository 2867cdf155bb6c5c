import sqlite3

import pytest

from brivane_lexique import Lexique
from brivane_lexique._utils import _tokenize_ipa

# ortho, phone, lemme, cgram, freq, nb_syllabes, syllabes
LIGNES = [
    ("chien", "ʃjɛ̃", "chien", "NOM", 50.0, 1, "ʃjɛ̃"),
    ("niche", "niʃ", "niche", "NOM", 8.0, 1, "niʃ"),
    ("niche", "niʃ", "nicher", "VER", 3.0, 1, "niʃ"),
    ("chine", "ʃin", "chine", "NOM", 9.0, 1, "ʃin"),
    ("abattre", "abatʁ", "abattre", "VER", 20.0, 2, "a.batʁ"),
    ("abattre", "abatʁ", "abattre", "VER", 20.0, 2, "a.batʁ"),
    ("abat", "aba", "abat", "NOM", 15.0, 2, "a.ba"),
    ("abats", "aba", "abat", "NOM", 1.0, 2, "a.ba"),
    ("chanter", "ʃɑ̃te", "chanter", "VER", 30.0, 2, "ʃɑ̃.te"),
    ("planter", "plɑ̃te", "planter", "VER", 10.0, 2, "plɑ̃.te"),
    ("enchanter", "ɑ̃ʃɑ̃te", "enchanter", "ver", 2.0, 3, "ɑ̃.ʃɑ̃.te"),
    ("été", "ete", "été", "NOM", 40.0, 2, "e.te"),
    ("sans", "", "sans", "PRE", 60.0, 1, "sɑ̃"),
]


def inverse(phone):
    return "".join(reversed(_tokenize_ipa(phone)))


def creer(tmp_path, backend, avec_reversed=True, avec_nb=True):
    if backend == "sqlite":
        chemin = tmp_path / "l.sqlite"
        conn = sqlite3.connect(chemin)
        cols = ["ortho TEXT", "phone TEXT", "lemme TEXT", "cgram TEXT", "freq_opensubs REAL", "syllabes TEXT"]
        if avec_nb:
            cols.append("nb_syllabes INTEGER")
        if avec_reversed:
            cols.append("phone_reversed TEXT")
        conn.execute(f"CREATE TABLE formes ({', '.join(cols)})")
        for o, p, l, c, f, n, s in LIGNES:
            valeurs = [o, p, l, c, f, s] + ([n] if avec_nb else []) + ([inverse(p)] if avec_reversed else [])
            conn.execute(f"INSERT INTO formes VALUES ({','.join('?' * len(valeurs))})", valeurs)
        conn.commit()
        conn.close()
    else:
        chemin = tmp_path / "l.tsv"
        lignes = ["ortho\tphone\tlemme\tcgram\tfreq_opensubs\tnb_syllabes\tsyllabes"]
        lignes += ["\t".join(str(v) for v in l) for l in LIGNES]
        chemin.write_text("\n".join(lignes) + "\n", encoding="utf-8")
    return Lexique(chemin)


@pytest.fixture(params=["sqlite", "tsv"])
def lex(request, tmp_path):
    return creer(tmp_path, request.param)


def orthos(res):
    return [e["ortho"] for e in res]


def tracer(lex):
    requetes = []
    lex._get_conn().set_trace_callback(requetes.append)
    return requetes


# ------------------------------------------------------------------ rechercher


def test_rechercher_motif_invalide(lex):
    requetes = tracer(lex) if lex._backend == "sqlite" else []
    assert lex.rechercher("[") == []
    assert requetes == []


def test_rechercher_ordre_et_casse(lex):
    assert orthos(lex.rechercher("^CH")) == ["chien", "chanter", "chine"]
    assert orthos(lex.rechercher("at")) == ["abattre", "abat", "abats"]


@pytest.mark.parametrize("champ, sqlite_attendu, memoire_attendu", [
    ("phone", ["chine"], ["chine"]),
    # Any other field name tests the spelling in SQL, that field in memory.
    ("lemme", [], ["niche"]),
])
def test_rechercher_champ(lex, champ, sqlite_attendu, memoire_attendu):
    motif = "in$" if champ == "phone" else "^nicher$"
    res = lex.rechercher(motif, champ=champ)
    assert orthos(res) == (sqlite_attendu if lex._backend == "sqlite" else memoire_attendu)


def test_rechercher_limite_avant_dedoublonnage(lex):
    res = lex.rechercher("^abat", limite=3)
    assert orthos(res) == (["abattre", "abat"] if lex._backend == "sqlite" else ["abattre", "abat", "abats"])


def test_rechercher_limite_negative(lex):
    tous = orthos(lex.rechercher("a"))
    if lex._backend == "sqlite":
        assert orthos(lex.rechercher("a", limite=-1)) == tous
    else:
        assert orthos(lex.rechercher("a", limite=-1)) == tous[:-1]


def test_regexp_reste_enregistree(tmp_path):
    lex = creer(tmp_path, "sqlite")
    lex.rechercher("^ch")
    rows = lex._get_conn().execute("SELECT ortho FROM formes WHERE ortho REGEXP 'ignored'").fetchall()
    assert sorted(r[0] for r in rows) == ["chanter", "chien", "chine"]


@pytest.mark.parametrize("valeur, motif, trouve", [(1914, "^19", True), (2.5, r"2\.5", True), (7, "8", False)])
def test_rechercher_sqlite_orthographe_stockee_en_nombre(tmp_path, valeur, motif, trouve):
    # A spelling column without a declared type keeps numbers as numbers: the
    # expression must see their text instead of failing inside SQLite.
    chemin = tmp_path / "n.sqlite"
    with sqlite3.connect(chemin) as conn:
        conn.execute("CREATE TABLE formes (ortho, phone, lemme, cgram, freq_opensubs)")
        conn.executemany("INSERT INTO formes VALUES (?, ?, ?, ?, ?)",
                         [(valeur, "", "x", "ADJ:num", 3.0), ("chat", "ʃa", "chat", "NOM", 5.0)])
    conn.close()
    res = Lexique(chemin).rechercher(motif)
    assert [e["ortho"] for e in res] == ([valeur] if trouve else [])


# ------------------------------------------------------------------ anagrammes


def test_anagrammes(lex):
    assert orthos(lex.anagrammes(" Chien ")) == ["chine", "niche"]
    if lex._backend == "sqlite":
        res = lex.anagrammes("chien")
        assert [e["freq"] for e in res] == [9.0, 8.0]  # most frequent row of each spelling


def test_anagrammes_sans_candidat_une_seule_requete(tmp_path):
    lex = creer(tmp_path, "sqlite")
    requetes = tracer(lex)
    assert lex.anagrammes("zzzzz") == []
    assert len(requetes) == 1


# ------------------------------------------------------------------ rimes


def test_rimes(lex):
    assert orthos(lex.rimes("chanter")) == ["été", "chanter", "planter", "enchanter"]
    assert orthos(lex.rimes("chanter", nb_phonemes=3)) == ["chanter", "planter", "enchanter"]
    assert lex.rimes("inconnu") == [] and lex.rimes("sans") == []


def test_rimes_trop_long_sans_requete(tmp_path):
    lex = creer(tmp_path, "sqlite")
    requetes = tracer(lex)
    assert lex.rimes("chien", nb_phonemes=5) == []
    assert len(requetes) == 1  # phone_de only


def test_rimes_zero_phoneme(lex):
    # SQL: the whole reversed pronunciation as a prefix; in memory: the whole segment list.
    attendu = ["chanter", "enchanter"] if lex._backend == "sqlite" else ["chanter"]
    assert orthos(lex.rimes("chanter", nb_phonemes=0)) == attendu


@pytest.mark.parametrize("backend, avec_reversed", [("sqlite", True), ("sqlite", False), ("tsv", True)])
def test_rimes_nombre_negatif_enorme(tmp_path, backend, avec_reversed):
    # segments[-n:] for any n beyond the length: the empty suffix, even past the range of a C integer.
    lex = creer(tmp_path, backend, avec_reversed=avec_reversed)
    tous = orthos(lex.rimes("chanter", nb_phonemes=-100))
    assert len(tous) >= 10
    assert orthos(lex.rimes("chanter", nb_phonemes=-10**30)) == tous


@pytest.mark.parametrize("limite, attendu", [(50, ["été", "chanter", "planter", "enchanter"]), (2, ["été", "chanter"]),
                                             (0, []), (-1, ["été", "chanter", "planter", "enchanter"])])
def test_rimes_sans_colonne_inversee(tmp_path, limite, attendu):
    lex = creer(tmp_path, "sqlite", avec_reversed=False)
    res = lex.rimes("chanter", limite=limite)
    assert orthos(res) == attendu
    assert all("freq" in e and "lemme" in e for e in res)


# ------------------------------------------------------------------ contient_son, mots_par_syllabes


def test_contient_son(lex):
    assert orthos(lex.contient_son("ɑ̃t")) == ["chanter", "planter", "enchanter"]
    vide = lex.contient_son("")
    if lex._backend == "sqlite":
        assert len(vide) == len(LIGNES)  # every row with a non-null phone, duplicates included
    else:
        assert vide == []


def test_mots_par_syllabes(lex):
    res = orthos(lex.mots_par_syllabes(2, cgram="VER"))
    if lex._backend == "sqlite":
        assert res == ["chanter", "abattre", "abattre", "planter"]
    else:
        assert res == ["chanter", "abattre", "planter"]
    assert orthos(lex.mots_par_syllabes(3)) == ["enchanter"]


@pytest.mark.parametrize("cgram, limite, attendu", [
    (None, -1, ["été", "chanter", "abattre", "abattre", "abat", "planter", "abats"]),
    ("ver", 50, ["chanter", "abattre", "abattre", "planter"]),
    ("ver", 2, ["chanter", "abattre"]),
])
def test_mots_par_syllabes_sans_colonne(tmp_path, cgram, limite, attendu):
    lex = creer(tmp_path, "sqlite", avec_nb=False)
    # Counted from `syllabes`; every row kept, no de-duplication.
    assert orthos(lex.mots_par_syllabes(2, cgram=cgram, limite=limite)) == attendu


@pytest.mark.parametrize("methode, args", [
    ("rechercher", (3,)), ("anagrammes", (None,)), ("rimes", (b"x",)), ("contient_son", (1.5,)),
])
def test_types(lex, methode, args):
    with pytest.raises(TypeError, match=r"Argument '\w+' has incorrect type \(expected str, got "):
        getattr(lex, methode)(*args)
    with pytest.raises(TypeError, match=r"Argument 'limite' has incorrect type \(expected int, got str\)"):
        lex.rimes("chat", limite="3")


# ------------------------------------------------------------------ real lexicon


@pytest.mark.parametrize("fixture", ["grand_tsv", "grand_sqlite"])
def test_reel(request, fixture):
    lex = Lexique(request.getfixturevalue(fixture))
    ref = _tokenize_ipa(lex.phone_de("chanter"))[-2:]
    rimes = lex.rimes("chanter", limite=200)
    assert len(rimes) == 200
    assert all(_tokenize_ipa(e["phone"])[-2:] == ref for e in rimes)
    for e in lex.anagrammes("chien"):
        assert sorted(e["ortho"].lower()) == sorted("chien") and e["ortho"] != "chien"
    assert {"niche", "chine"} <= set(orthos(lex.anagrammes("chien")))


class _Faux:
    def __bool__(self):
        raise ZeroDivisionError("bool")


@pytest.mark.parametrize("backend", ["sqlite", "tsv"])
def test_rimes_erreur_de_bool_du_phone(tmp_path, backend):
    # The truth test of the pronunciation a subclass returns raises through rimes.
    creer(tmp_path, backend)
    chemin = tmp_path / ("l.sqlite" if backend == "sqlite" else "l.tsv")
    lex = type("L", (Lexique,), {"phone_de": lambda self, mot: _Faux()})(chemin)
    with pytest.raises(ZeroDivisionError, match="bool"):
        lex.rimes("chanter")
