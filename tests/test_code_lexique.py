"""Lexique 3.83's phonetic code and IPA: the converter, recognition, queries, CLI."""
import collections
import gzip
import json
import sqlite3
import unicodedata

import pytest

from brivane_lexique import _utils, cli
from brivane_lexique.lexique import Lexique

from conftest import DONNEES

# Lexique's documented correspondences (its manual's table), written here once.
SYMBOLES = {
    "a": "a", "i": "i", "y": "y", "u": "u", "o": "o", "O": "ɔ", "e": "e", "E": "ɛ", "°": "ə",
    "2": "ø", "9": "œ", "5": "ɛ̃", "1": "œ̃", "@": "ɑ̃", "§": "ɔ̃",
    "j": "j", "8": "ɥ", "w": "w",
    "p": "p", "b": "b", "t": "t", "d": "d", "k": "k", "g": "ɡ", "f": "f", "v": "v", "s": "s", "z": "z",
    "S": "ʃ", "Z": "ʒ", "m": "m", "n": "n", "N": "ɲ", "G": "ŋ", "l": "l", "R": "ʁ", "x": "x",
}


@pytest.mark.parametrize("code, ipa", sorted(SYMBOLES.items()))
def test_chaque_symbole_dans_les_deux_sens(code, ipa):
    assert _utils.CODE_LEXIQUE[code] == ipa
    assert _utils.code_lexique_vers_ipa(code) == ipa
    assert _utils.ipa_vers_code_lexique(ipa) == code
    assert _utils.ipa_vers_code_lexique(code) == code  # already in the code: unchanged


@pytest.mark.parametrize("code, ipa", [
    ("S@te", "ʃɑ̃te"), ("vE", "vɛ"), ("b§Zuk", "bɔ̃ʒuk"), ("l1di", "lœ̃di"), ("p2", "pø"),
    ("n8i", "nɥi"), ("kOmp°", "kɔmpə"), ("", ""),
])
def test_mots_aller_retour(code, ipa):
    assert _utils.code_lexique_vers_ipa(code) == ipa
    assert _utils.ipa_vers_code_lexique(ipa) == code


@pytest.mark.parametrize("ipa, code", [
    ("aː", "aː"),  # length mark: no symbol, kept
    ("ɑ", "ɑ"),  # ɑ without its tilde is not a nasal vowel
    ("ʃa ʁa", "Sa Ra"),
    ("ga", "ga"),  # ASCII g for ɡ reads the same
    ("ɛ\u0303", "5"),
])
def test_caracteres_hors_table_gardes(ipa, code):
    assert _utils.ipa_vers_code_lexique(ipa) == code


@pytest.mark.parametrize("transcriptions, attendu", [
    (["S@te", "a", "vE"], True),
    (["a", "ami"], False),  # nothing IPA would not write
    (["ʃɑ̃te", "a"], False),
    (["S@te", "ʃɑ̃te"], False),
    (["S@te", "aː"], False),
    ([], False),
    ([""], False),
    (["p°ti"], True),
])
def test_reconnaissance(transcriptions, attendu):
    assert _utils.est_code_lexique(transcriptions) is attendu


# ------------------------------------------------------------------ lexicons in the code

LIGNES = [("chanter", "S@te", 20.0), ("chant", "S@", 10.0), ("champ", "S@", 8.0), ("vin", "v5", 30.0),
          ("vingt", "v5", 25.0), ("bon", "b§", 40.0), ("petit", "p°ti", 50.0), ("santé", "s@te", 5.0)]


def _tsv(chemin, lignes, colonne_phone="phon"):
    chemin.write_text(f"ortho\t{colonne_phone}\tlemme\tcgram\tfreqfilms2\n" +
                      "".join(f"{o}\t{p}\t{o}\tNOM\t{f}\n" for o, p, f in lignes), encoding="utf-8")
    return chemin


def _sqlite(chemin, lignes):
    conn = sqlite3.connect(chemin)
    conn.execute("CREATE TABLE formes (ortho, phone, lemme, cgram, freq_opensubs, phone_reversed)")
    conn.executemany("INSERT INTO formes VALUES (?, ?, ?, 'NOM', ?, ?)", [(o, p, o, f, p[::-1]) for o, p, f in lignes])
    conn.commit()
    conn.close()
    return chemin


@pytest.fixture(params=["tsv", "sqlite"])
def lex_code(request, tmp_path):
    chemin = _tsv(tmp_path / "l.tsv", LIGNES) if request.param == "tsv" else _sqlite(tmp_path / "l.db", LIGNES)
    with Lexique(chemin) as l:
        yield l


def _orthos(entrees):
    return sorted(e["ortho"] for e in entrees)


def test_lexique_reconnu_a_l_ouverture(lex_code):
    assert lex_code.alphabet == "lexique"


@pytest.mark.parametrize("ipa, code", [("ɑ̃", "@"), ("ʃɑ̃", "S@"), ("ɛ̃", "5"), ("ə", "°")])
def test_contient_son_accepte_l_api(lex_code, ipa, code):
    assert _orthos(lex_code.contient_son(ipa)) == _orthos(lex_code.contient_son(code))
    assert lex_code.contient_son(code)


@pytest.mark.parametrize("ipa, code", [("ʃɑ̃", "S@"), ("vɛ̃", "v5"), ("pəti", "p°ti")])
def test_homophones_acceptent_l_api(lex_code, ipa, code):
    assert _orthos(lex_code.homophones(ipa)) == _orthos(lex_code.homophones(code)) != []


def test_rimes_sur_le_code(lex_code):
    assert _orthos(lex_code.rimes("chanter", 2)) == ["chanter", "santé"]


def test_lexique_api_non_converti(tmp_path):
    lignes = [("chant", "ʃɑ̃", 10.0), ("santé", "sɑ̃te", 5.0), ("arobase", "@", 1.0)]
    lex = Lexique(_tsv(tmp_path / "l.tsv", lignes, "phone"))
    assert lex.alphabet == "ipa"
    assert _orthos(lex.contient_son("@")) == ["arobase"]
    assert _orthos(lex.contient_son("ɑ̃")) == ["chant", "santé"]


def test_alphabet_dit_par_l_appelant(tmp_path):
    chemin = _tsv(tmp_path / "l.tsv", [("a", "a", 1.0), ("ami", "ami", 2.0)])
    assert Lexique(chemin).alphabet == "ipa"  # nothing tells the code apart here
    lex = Lexique(chemin, alphabet="lexique")
    assert lex.alphabet == "lexique"
    assert _orthos(lex.homophones("ami")) == ["ami"]
    assert Lexique(_tsv(tmp_path / "c.tsv", LIGNES), alphabet="ipa").alphabet == "ipa"


@pytest.mark.parametrize("valeur, erreur", [("API", ValueError), ("", ValueError), (1, TypeError)])
def test_alphabet_invalide(tmp_path, valeur, erreur):
    with pytest.raises(erreur, match="alphabet"):
        Lexique(_tsv(tmp_path / "l.tsv", LIGNES), alphabet=valeur)


def test_verbes_par_phone_accepte_l_api(tmp_path):
    chemin = tmp_path / "v.tsv"
    chemin.write_text("ortho\tphon\tlemme\tcgram\tfreqfilms2\tinfover\n"
                      "chante\tS@t\tchanter\tVER\t3\tind:pre:1s;ind:pre:3s;\n"
                      "chantent\tS@t\tchanter\tVER\t2\tind:pre:3p;\n", encoding="utf-8")
    lex = Lexique(chemin)
    assert [e["ortho"] for e in lex.verbes_par_phone_et_personne(["ʃɑ̃t"], "3", "")] == ["chante", "chantent"]


@pytest.mark.parametrize("alphabet, attendu", [("ipa", "ʃɑ̃te"), ("lexique", "S@te"), (None, "S@te")])
def test_cli_alphabet(tmp_path, capsys, alphabet, attendu):
    chemin = _tsv(tmp_path / "l.tsv", LIGNES)
    options = ["--alphabet", alphabet] if alphabet else []
    assert cli.main(["--lexique", str(chemin), "--json", *options, "info", "chanter"]) == 0
    assert json.loads(capsys.readouterr().out)[0]["phone"] == attendu
    assert cli.main(["--lexique", str(chemin), "--json", *options, "phone", "chanter"]) == 0
    assert json.loads(capsys.readouterr().out) == {"chanter": attendu}


def test_cli_alphabet_lexique_sur_un_lexique_api(tmp_path, capsys):
    chemin = _tsv(tmp_path / "l.tsv", [("chanter", "ʃɑ̃te", 1.0)], "phone")
    assert cli.main(["--lexique", str(chemin), "--alphabet", "lexique", "homophones", "ʃɑ̃te"]) == 0
    assert "S@te" in capsys.readouterr().out


# ------------------------------------------------------------------ the table against the data


def _lire(chemin, colonne):
    # Both files hold no quote, tab or line break inside a field: a split reads them.
    par_ortho = collections.defaultdict(set)
    with gzip.open(chemin, "rt", encoding="utf-8", newline="") as f:
        entete = f.readline().rstrip("\r\n").split("\t")
        i, j = entete.index("ortho"), entete.index(colonne)
        for ligne in f:
            champs = ligne.rstrip("\r\n").split("\t")
            par_ortho[champs[i]].add(champs[j])
    return par_ortho


def _segments(ipa):
    res = []
    for c in ipa:
        if res and (unicodedata.combining(c) or c == "ː"):
            res[-1] += c
        else:
            res.append(c)
    return res


@pytest.fixture(scope="module")
def deux_lexiques():
    l383, lfr = DONNEES / "lexique383.tsv.gz", DONNEES / "lexique_fr.tsv.gz"
    if not (l383.is_file() and lfr.is_file()):
        pytest.skip("lexique383.tsv.gz or lexique_fr.tsv.gz not available in the shared data folder")
    return _lire(l383, "phon"), _lire(lfr, "phone")


def test_table_confirmee_par_l_alignement(deux_lexiques):
    """Each symbol's phoneme is the espeak segment most often found at its place."""
    phon, phone = deux_lexiques
    vus = collections.defaultdict(collections.Counter)
    for ortho, codes in phon.items():
        if len(codes) != 1 or len(phone.get(ortho, ())) != 1:
            continue
        (code,), segments = codes, _segments(next(iter(phone[ortho])))
        if len(code) == len(segments):
            for c, s in zip(code, segments):
                vus[c][s.rstrip("ː")] += 1
    for code, ipa in SYMBOLES.items():
        if code == "x":  # Spanish loans only; espeak reads them as French
            continue
        (le_plus_vu, n), = vus[code].most_common(1)
        assert (le_plus_vu, code) == (ipa, code) and n >= 50


def test_aller_retour_sur_tout_le_code(deux_lexiques):
    phon, _ = deux_lexiques
    codes = {p for ps in phon.values() for p in ps if set(p) <= set(SYMBOLES)}
    assert len(codes) > 50000
    for p in codes:
        ipa = _utils.code_lexique_vers_ipa(p)
        assert _utils.ipa_vers_code_lexique(ipa) == p
        assert _utils.ipa_vers_code_lexique(p) == p
        assert len(_utils._tokenize_ipa(ipa)) == len(p)


def test_reconnaissance_csv_et_sqlite_sans_phone(tmp_path):
    csv_ = tmp_path / "l.csv"
    csv_.write_text("ortho,phon,freqfilms2\nchanter,S@te,1\n", encoding="utf-8")
    assert Lexique(csv_).alphabet == "lexique"
    db = tmp_path / "l.db"
    conn = sqlite3.connect(db)
    conn.execute("CREATE TABLE formes (ortho, lemme)")
    conn.execute("INSERT INTO formes VALUES ('a', 'a')")
    conn.commit()
    conn.close()
    with Lexique(db) as lex:
        assert lex.alphabet == "ipa"


def test_reconnaissance_sur_les_premieres_prononciations_seulement(tmp_path):
    # 200 rows with nothing telling the code apart, then the code: read as IPA.
    lignes = [(f"a{i}", "ami", 1.0) for i in range(200)] + LIGNES
    assert Lexique(_tsv(tmp_path / "l.tsv", lignes)).alphabet == "ipa"
    assert Lexique(_tsv(tmp_path / "m.tsv", lignes[1:])).alphabet == "lexique"


def test_niveau_1_redefini_ne_reconnait_rien(tmp_path):
    class Fixe(Lexique):
        def _charger_formes(self):
            self._formes = frozenset({"chanter"})

    assert Fixe(_tsv(tmp_path / "l.tsv", LIGNES)).alphabet == "ipa"
    assert Fixe(_tsv(tmp_path / "m.tsv", LIGNES), alphabet="lexique").alphabet == "lexique"
