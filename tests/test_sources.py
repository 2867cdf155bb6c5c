"""Lexicons as their users have them: other encodings, decimal commas, other
delimiters, compressed files, and the errors a broken copy gives."""

import bz2
import csv
import gzip
import io
import lzma
import re
import shutil

import pytest

from brivane_lexique import _loaders, _recherche, cli
from brivane_lexique.lexique import Lexique

from conftest import DONNEES

ENTETE = ["ortho", "phone", "lemme", "cgram", "freq_opensubs", "age"]
# (Pronunciations in an ASCII code: cp1252 and Latin-1 have no IPA.)
LIGNES = [
    ["château", "Sato", "château", "NOM", "130,74", "5,5"],
    ["œuvre", "9vR", "œuvre", "NOM", "12.5", "9"],
    ["été", "ete", "été", "NOM", "-0,5", ""],
    ["déjà", "deZa", "déjà", "ADV", "40", "3,25"],
]


def texte_lexique(delim=",", virgules=True, lignes=LIGNES):
    lignes = [l if virgules else [c.replace(",", ".") for c in l] for l in lignes]
    tampon = io.StringIO()
    csv.writer(tampon, delimiter=delim, lineterminator="\n").writerows([ENTETE, *lignes])
    return tampon.getvalue()


def ecrire(chemin, texte, encodage="utf-8"):
    chemin.write_bytes(texte.encode(encodage))
    return chemin


def reponses(lex):
    return {m: (lex.existe(m), lex.phone_de(m), lex.frequence(m)) for m in ("château", "œuvre", "été", "déjà")}


ATTENDU = {"château": (True, "Sato", 130.74), "œuvre": (True, "9vR", 12.5), "été": (True, "ete", -0.5),
           "déjà": (True, "deZa", 40.0)}


# --------------------------------------------------------------------------- decimal commas


@pytest.mark.parametrize("texte, attendu", [
    ("130,74", 130.74), ("-0,5", -0.5), ("+3,0", 3.0), (" \t12,5\n", 12.5), ("\u00a012,5\u2003", 12.5),
    ("١٢,٥", 12.5), ("007,50", 7.5),
    # Not "digits, one comma, digits": the float() rule, hence 0.0.
    ("1,2,3", 0.0), ("12,", 0.0), (",5", 0.0), ("1 000,5", 0.0), ("1.000,5", 0.0), ("1,5e3", 0.0),
    ("1_0,5", 0.0), ("- 1,5", 0.0), ("12, 5", 0.0), ("inf,0", 0.0), (",", 0.0),
])
def test_virgule_decimale_une_regle(chemins, texte, attendu):
    assert _loaders._normaliser_entree({"freq": texte}, {})["freq"] == attendu
    # The filters read ages (and frequencies of entries handed over as text) by the same rule.
    entree = {"ortho": "x", "freq": texte, "age": texte}
    garde = _recherche.filtrer([entree], age_min=attendu, age_max=attendu, freq_min=attendu, freq_max=attendu)
    assert garde == ([entree] if attendu else [])


def test_virgule_decimale_dans_le_tri_et_les_filtres(tmp_path, chemins):
    entrees = [{"ortho": "a", "freq": "2,5"}, {"ortho": "b", "freq": "10"}, {"ortho": "c", "freq": "3,75"}]
    assert [e["ortho"] for e in _recherche.rechercher({e["ortho"]: [e] for e in entrees}, ".")] == ["b", "c", "a"]
    lex = Lexique(ecrire(tmp_path / "l.csv", texte_lexique()))
    assert reponses(lex) == ATTENDU
    assert sorted(e["ortho"] for e in lex.filtrer(freq_min=10, freq_max=200)) == ["château", "déjà", "œuvre"]
    assert [e["ortho"] for e in lex.filtrer(age_min=5, age_max=6)] == ["château"]


# --------------------------------------------------------------------------- encodings


def test_cp1252_octet_par_octet_comme_le_codec_de_python(tmp_path):
    definis = bytes(b for b in range(0x20, 0x100) if b not in (0x22, 0x2C, 0x81, 0x8D, 0x8F, 0x90, 0x9D))
    chemin = tmp_path / "t.csv"
    chemin.write_bytes(b"ortho,x\n" + definis + b",1\n")
    for encodage in ("cp1252", "windows-1252", "latin-1", "ISO-8859-1"):
        (entree,) = _loaders.iter_csv(chemin, encoding=encodage)
        assert entree["ortho"] == definis.decode(encodage)


@pytest.mark.parametrize("octet", [0x81, 0x8D, 0x8F, 0x90, 0x9D])
@pytest.mark.parametrize("avant", [0, 8190, 20000])
def test_octet_indefini_meme_erreur_que_python(tmp_path, octet, avant):
    chemin = tmp_path / "t.csv"
    chemin.write_bytes(b"ortho\n" + b"ab\n" * (avant // 3) + b"x" + bytes([octet]) + b"y\nfin\n")
    with open(chemin, encoding="cp1252", newline="") as f:
        lecteur = csv.DictReader(f)
        attendues = []
        with pytest.raises(UnicodeDecodeError) as ref:
            for ligne in lecteur:
                attendues.append(ligne["ortho"])
    obtenues = []
    with pytest.raises(UnicodeDecodeError) as err:
        for entree in _loaders.iter_csv(chemin, encoding="cp1252"):
            obtenues.append(entree["ortho"])
    assert (obtenues, err.value.args) == (attendues, ref.value.args)
    # Where the byte is, for whoever reads the traceback.
    assert err.value.__notes__ == [f"{chemin}, ligne {avant // 3 + 2}"]


@pytest.mark.parametrize("fin", ["\n", "\r\n", "\r"])
@pytest.mark.parametrize("avant", [0, 131070, 131071, 262143])
def test_octet_indefini_apres_des_fins_de_ligne_de_toute_sorte(tmp_path, fin, avant):
    # Line ends are counted read by read (a CR LF may straddle two, a CR may sit just
    # before the byte): the note names the line the byte is on.
    debut = ("ortho" + fin).encode()
    corps = (("ab" + fin) * (avant // 3 + 1)).encode()[:avant]
    chemin = tmp_path / "t.csv"
    chemin.write_bytes(debut + corps + b"\x81y" + fin.encode() + b"fin" + fin.encode())
    attendues, obtenues = [], []
    with open(chemin, encoding="cp1252", newline="") as f:
        with pytest.raises(UnicodeDecodeError) as ref:
            for ligne in csv.DictReader(f):
                attendues.append(ligne["ortho"])
    with pytest.raises(UnicodeDecodeError) as err:
        for entree in _loaders.iter_csv(chemin, encoding="cp1252"):
            obtenues.append(entree["ortho"])
    assert (obtenues, err.value.args) == (attendues, ref.value.args)
    ligne = len(re.findall(rb"\r\n|\r|\n", debut + corps)) + 1
    assert err.value.__notes__ == [f"{chemin}, ligne {ligne}"]


@pytest.mark.parametrize("encodage, bom", [("utf-8", b""), ("utf-8", b"\xef\xbb\xbf"), ("cp1252", b""),
                                          ("latin-1", b"")])
def test_encodage_trouve(tmp_path, chemins, encodage, bom):
    texte = texte_lexique().replace("œ", "e" if encodage == "latin-1" else "œ")
    chemin = tmp_path / "l.csv"
    chemin.write_bytes(bom + texte.encode(encodage))
    lex = Lexique(chemin, precharger=True)
    assert lex.encodage == ("utf-8" if encodage == "utf-8" else "cp1252")
    attendu = dict(ATTENDU)
    if encodage == "latin-1":
        attendu["euvre"] = (True, "9vR", 12.5)
        del attendu["œuvre"]
    assert {m: (lex.existe(m), lex.phone_de(m), lex.frequence(m)) for m in attendu} == attendu
    if encodage != "utf-8":
        # The loaders keep their default: UTF-8, strictly.
        with pytest.raises(UnicodeDecodeError):
            list(_loaders.iter_csv(chemin))


def test_chargeur_remplace_recoit_delimiteur_et_encodage(tmp_path, monkeypatch):
    # A replaced loader is called with what the file needs, once more after the retry.
    from brivane_lexique import lexique

    appels = []

    def espion(chemin, delimiter=",", encoding="utf-8-sig"):
        appels.append((delimiter, encoding))
        return _loaders.iter_csv(chemin, delimiter, encoding)

    monkeypatch.setattr(lexique, "iter_csv", espion)
    lex = Lexique(ecrire(tmp_path / "l.csv", texte_lexique(";"), "cp1252"), precharger=True)
    assert appels == [(";", "utf-8-sig"), (";", "cp1252"), (";", "cp1252")]
    assert reponses(lex) == ATTENDU


def test_utf8_valide_jamais_lu_autrement(tmp_path):
    # "Ã©" is what cp1252 would make of the UTF-8 "é": the file must stay UTF-8.
    lex = Lexique(ecrire(tmp_path / "l.csv", "ortho,freq\nÃ©t,1\né,2\n"))
    assert (lex.encodage, sorted(lex._formes)) == ("utf-8", ["ã©t", "é"])


def test_encodage_donne(tmp_path):
    chemin = ecrire(tmp_path / "l.tsv", texte_lexique("\t"), "cp1252")
    lex = Lexique(chemin, encoding="latin-1")
    assert lex.encodage == "latin-1" and lex.phone_de("château") == "Sato"
    assert lex.existe("\u009cuvre")  # latin-1 has no œ: the byte 0x9c is a control character
    with pytest.raises(UnicodeDecodeError):
        Lexique(chemin, encoding="utf-8")
    with pytest.raises(LookupError):
        Lexique(chemin, encoding="pas-un-encodage")
    with pytest.raises(TypeError, match="Argument 'encoding' has incorrect type"):
        Lexique(chemin, encoding=b"utf-8")
    assert Lexique(chemin).encodage == "cp1252"


@pytest.mark.parametrize("fin", ["\n", "\r\n", "\r"])
def test_ni_utf8_ni_cp1252(tmp_path, fin, chemins):
    chemin = tmp_path / "l.csv"
    chemin.write_bytes(fin.join(["ortho;x", "chat;1", "ch\xe9ri;2", "b\x81;3", ""]).encode("latin-1"))
    with pytest.raises(UnicodeDecodeError) as err:
        Lexique(chemin)
    message = str(err.value)
    assert "\n" not in message and f"{chemin}, ligne 4" in message and "ni UTF-8 ni cp1252" in message


# --------------------------------------------------------------------------- delimiters


@pytest.mark.parametrize("entete, attendu", [
    ("ortho;phone;freq", ";"), ("ortho\tphone\tfreq", "\t"), ("ortho,phone,freq", ","), ("ortho", ","),
    ("ortho;phone,freq", ","), ("ortho;phone\tfreq", "\t"), ("ortho\tphone,freq", ","), ("", ","),
    ("\ufeffortho;phone", ";"), ("ortho" + "x" * 9000 + ";phone", ";"), ("ortho" + "x" * 9000 + "\tp,q", ","),
])
def test_delimiteur_de_l_entete(tmp_path, entete, attendu):
    chemin = ecrire(tmp_path / "l.txt", entete + "\r\nx\n" if entete else "")
    assert _loaders._delimiteur(chemin) == attendu
    assert Lexique(chemin)._delimiteur == attendu


@pytest.mark.parametrize("nom, delim", [("l.csv", ";"), ("l.txt", "\t"), ("l", ";"), ("l.tsv", ",")])
def test_lexique_suit_le_delimiteur(tmp_path, chemins, nom, delim):
    lex = Lexique(ecrire(tmp_path / nom, texte_lexique(delim)))
    if nom.endswith(".tsv"):  # .tsv stays tab-separated
        assert (lex._delimiteur, lex.existe("château")) == ("\t", False)
    else:
        assert reponses(lex) == ATTENDU and lex.info("déjà")[0]["age"] == "3,25"


def test_lignes_inegales_point_virgule(tmp_path):
    chemin = ecrire(tmp_path / "l.csv", "ortho;phone;freq\nchat;ʃa;1,5\nchien;ʃjɛ̃\nx;y;1;2;3\n")
    with pytest.raises(ValueError) as err:
        Lexique(chemin)
    assert str(err.value) == f"{chemin}, ligne 4 : 5 champs pour 3 colonnes dans l'en-tete"


# --------------------------------------------------------------------------- compressed sources

COMPRESSIONS = {".gz": gzip.compress, ".bz2": bz2.compress, ".xz": lzma.compress}


@pytest.mark.parametrize("suffixe", COMPRESSIONS)
@pytest.mark.parametrize("nom, delim, encodage", [("l.tsv", "\t", "utf-8"), ("l.csv", ";", "cp1252"),
                                                  ("l.CSV", ",", "utf-8")])
def test_sources_compressees(tmp_path, chemins, suffixe, nom, delim, encodage):
    octets = texte_lexique(delim).encode(encodage)
    chemin = tmp_path / (nom + suffixe)
    chemin.write_bytes(COMPRESSIONS[suffixe](octets))
    lex = Lexique(chemin)
    assert (lex._backend, lex.encodage) == (nom[-3:].lower(), encodage)
    assert reponses(lex) == ATTENDU
    clair = ecrire(tmp_path / nom, octets.decode(encodage), encodage)
    assert lex.rechercher(".") == Lexique(clair).rechercher(".")
    if delim == "\t":
        assert list(_loaders.iter_tsv(chemin)) == list(_loaders.iter_tsv(clair))


def test_sources_compressees_grand_fichier(tmp_path, chemins):
    # Several megabytes, many reads of the decompressor, lines across their bounds.
    lignes = [[f"mot{i}", "ʃa", f"mot{i}", "NOM", f"{i % 97},{i % 10}", ""] for i in range(60000)]
    texte = texte_lexique("\t", lignes=lignes)
    chemin = tmp_path / "g.tsv.gz"
    chemin.write_bytes(gzip.compress(texte.encode(), compresslevel=1))
    lex = Lexique(chemin)
    assert len(lex._formes) == 60000 and lex.frequence("mot12345") == 12345 % 97 + 0.5


def test_from_directory_trouve_les_compresses_apres_les_autres(tmp_path):
    (tmp_path / "b.csv.xz").write_bytes(lzma.compress(b"ortho\nxz\n"))
    (tmp_path / "a.tsv.gz").write_bytes(gzip.compress(b"ortho\ngz\n"))
    (tmp_path / "c.tsv.bz2").write_bytes(bz2.compress(b"ortho\nbz\n"))
    assert Lexique.from_directory(tmp_path)._formes == {"gz"}
    (tmp_path / "z.csv").write_bytes(b"ortho\nclair\n")
    assert Lexique.from_directory(tmp_path)._formes == {"clair"}
    (tmp_path / "z.csv").unlink()
    (tmp_path / "a.tsv.gz").unlink()
    assert Lexique.from_directory(tmp_path)._formes == {"bz"}
    (tmp_path / "c.tsv.bz2").write_bytes(bz2.compress("ortho\nbé\n".encode("cp1252")))
    lex = Lexique.from_directory(tmp_path, encoding="latin-1")
    assert (lex.encodage, lex._formes) == ("latin-1", {"bé"})


@pytest.mark.parametrize("nom, backend", [("x.TSV.GZ", "tsv"), ("x.csv.bz2", "csv"), ("x.gz", "csv"),
                                          ("x.txt.xz", "csv"), (".gz", "csv"), ("x.tsv.zip", "csv")])
def test_type_d_un_fichier_compresse(tmp_path, nom, backend):
    chemin = tmp_path / nom
    chemin.write_bytes(b"")
    Sous = type("Sous", (Lexique,), {"_charger_formes": lambda self: None})
    assert Sous(chemin)._backend == backend


def test_sqlite_compresse_refuse(tmp_path):
    chemin = tmp_path / "l.sqlite.gz"
    chemin.write_bytes(gzip.compress(b"SQLite format 3\x00"))
    with pytest.raises(ValueError, match="l.sqlite.gz : une base SQLite compressee"):
        Lexique(chemin)
    assert not (tmp_path / "l.sqlite").exists()


def test_sqlite_sans_encodage(tmp_path):
    import sqlite3

    chemin = tmp_path / "l.db"
    with sqlite3.connect(chemin) as conn:
        conn.execute("CREATE TABLE formes (ortho TEXT, lemme TEXT, freq_opensubs TEXT)")
        conn.execute("INSERT INTO formes VALUES ('chat', 'chat', '12,5')")
    conn.close()
    lex = Lexique(chemin)
    # (A frequency stored as text with a decimal comma reads as its number here too.)
    assert (lex.encodage, lex.frequence("chat")) == (None, 12.5)
    lex.close()


@pytest.mark.parametrize("abime, erreur", [
    (lambda o: o[: len(o) // 2], EOFError),                        # cut short
    (lambda o: o[:4000] + bytes(200) + o[4200:], Exception),       # corrupt inside
    (lambda o: b"ortho\nchat\n", OSError),                         # not gzip at all
])
def test_compresse_illisible(tmp_path, chemins, abime, erreur):
    lignes = [[f"mot{i}", "x", "y", "NOM", str(i), ""] for i in range(30000)]
    octets = gzip.compress(texte_lexique("\t", lignes=lignes).encode())
    chemin = tmp_path / "l.tsv.gz"
    chemin.write_bytes(abime(octets))
    with pytest.raises(erreur) as err:
        Lexique(chemin, precharger=True)
    message = str(err.value)
    assert "\n" not in message and re.search(rf"^{re.escape(str(chemin))}, ligne \d+ : fichier compresse illisible",
                                               message)
    with pytest.raises(erreur):
        list(_loaders.iter_tsv(chemin))


def test_cli_compresse_illisible(tmp_path, capsys):
    chemin = tmp_path / "l.tsv.gz"
    chemin.write_bytes(gzip.compress(b"ortho\nchat\n" * 1000)[:-30])
    assert cli.main(["--lexique", str(chemin), "existe", "chat"]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"brivane-lexique: {chemin}, ligne ") and "fichier compresse illisible" in err
    assert err.count("\n") == 1


# --------------------------------------------------------------------------- command line


def test_cli_avertit_et_prend_un_encodage(tmp_path, capsys):
    chemin = ecrire(tmp_path / "l.csv", texte_lexique(";"), "cp1252")
    assert cli.main(["--lexique", str(chemin), "frequence", "château"]) == 0
    sortie = capsys.readouterr()
    assert "130.74" in sortie.out
    assert sortie.err.count("\n") == 1 and "n'est pas en UTF-8, lu en cp1252" in sortie.err
    assert cli.main(["--lexique", str(chemin), "--encodage", "cp1252", "frequence", "château"]) == 0
    assert capsys.readouterr().err == ""
    assert cli.main(["frequence", "--lexique", str(chemin), "--encodage", "utf-8", "château"]) == 1
    assert "UnicodeDecodeError" in capsys.readouterr().err
    assert cli.main(["--lexique", str(chemin), "--encodage", "klingon", "existe", "x"]) == 2
    assert "encodage inconnu : klingon" in capsys.readouterr().err


# --------------------------------------------------------------------------- the real Lexique 3.83

MOTS = ["chat", "aller", "être", "avoir", "manger", "maison", "été", "chanteuse", "oeil", "fenêtre",
        "pouvoir", "vais", "allons", "irions", "fût", "à", "ça", "où", "garçon", "noël"]
VERBES = ["aller", "être", "avoir", "faire", "prendre", "venir", "dire", "voir"]


def _virgules(valeur):
    return valeur.replace(".", ",") if re.fullmatch(r"-?\d+\.\d+", valeur) else valeur


@pytest.fixture(scope="module")
def variantes_383(tmp_path_factory):
    source = DONNEES / "lexique383.tsv.gz"
    if not source.is_file():
        pytest.skip(f"{source} not available (shared data folder)")
    dossier = tmp_path_factory.mktemp("lexique383")
    with gzip.open(source, "rt", encoding="utf-8", newline="") as f:
        lignes = list(csv.reader(f, delimiter="\t"))
    entete, corps = lignes[0], [[_virgules(v) for v in l] for l in lignes[1:]]

    def ecrire_variante(nom, delim, encodage):
        tampon = io.StringIO()
        csv.writer(tampon, delimiter=delim, lineterminator="\r\n").writerows([entete, *corps])
        (dossier / nom).write_bytes(tampon.getvalue().encode(encodage))
        return dossier / nom

    chemins = {"original": source, "latin-1 + virgules": ecrire_variante("l1.tsv", "\t", "latin-1"),
               "cp1252 + ;": ecrire_variante("w.csv", ";", "cp1252")}
    gz = dossier / "w.csv.gz"
    with open(chemins["cp1252 + ;"], "rb") as f, gzip.open(gz, "wb", compresslevel=1) as g:
        shutil.copyfileobj(f, g)
    chemins["gzip de cp1252 + ;"] = gz
    return chemins


def _reponses_383(lex):
    return {
        "existe": [lex.existe(m) for m in MOTS + ["zzzqxw"]],
        "phone": [lex.phone_de(m) for m in MOTS],
        "frequence": [lex.frequence(m) for m in MOTS],
        "lemme": [lex.lemme_de(m) for m in MOTS],
        "conjuguer": [lex.conjuguer(v) for v in VERBES],
        "rimes": [[e["ortho"] for e in lex.rimes(m, limite=20)] for m in ("chat", "maison", "manger")],
        "filtre": lex.compter(cgram="NOM", freq_min=10, freq_max=100),
    }


def test_lexique_383_et_ses_copies(variantes_383):
    resultats = {}
    for nom, chemin in variantes_383.items():
        lex = Lexique(chemin)
        assert lex.encodage == ("utf-8" if nom == "original" else "cp1252"), nom
        resultats[nom] = _reponses_383(lex)
    original = resultats.pop("original")
    # The answers are real: the original is read right before the copies are compared with it.
    assert all(original["existe"][:-1]) and not original["existe"][-1]
    assert original["frequence"][0] > 10 and original["filtre"] > 1000 and original["rimes"][0]
    for nom, reponses_copie in resultats.items():
        assert reponses_copie == original, nom
