"""Differential tests: the C++ loaders against csv.DictReader + float() in plain Python."""
import csv
import math
import os
import random
import re
import struct
import unicodedata

import pytest

from brivane_lexique import _aliases, _loaders

FREQ_PRIORITE = ["freq_opensubs", "freqfilms2", "freq_frwac_forme_pmw", "freq_frwac", "freq_lm10",
                 "freq_frantext"]


# ---------------------------------------------------------------------------
# Reference pipeline, in plain Python


def _blanc_de_float(c):
    # What float() strips: ASCII white space but the separators \x1c-\x1f, and any
    # non-ASCII white space.
    return c in " \t\n\r\x0b\x0c" or (c > "\x7f" and c.isspace())


def ref_virgule(valeur):
    """The number a text with a decimal comma (digits, one comma, digits) stands for, else None."""
    if not isinstance(valeur, str):
        return None
    debut, fin = 0, len(valeur)
    while debut < fin and _blanc_de_float(valeur[debut]):
        debut += 1
    while fin > debut and _blanc_de_float(valeur[fin - 1]):
        fin -= 1
    if re.fullmatch(r"[+-]?\d+,\d+", valeur[debut:fin]):
        return float(valeur[debut:fin].replace(",", "."))
    return None


def ref_reel(valeur):
    if not valeur:
        return 0.0
    try:
        return float(valeur)
    except (ValueError, TypeError):
        virgule = ref_virgule(valeur)
        return 0.0 if virgule is None else virgule


def ref_normaliser(row, mapping, priorite=FREQ_PRIORITE):
    entree = {}
    trouvee = False
    for col, valeur in row.items():
        canon = mapping.get(col, col.lower().strip())
        if canon == "freq":
            if not trouvee:
                entree["freq"] = ref_reel(valeur)
                trouvee = True
            continue
        if canon in priorite:
            entree[canon] = ref_reel(valeur)
            continue
        entree[canon] = valeur
    if "freq" not in entree:
        for nom in priorite:
            if nom in entree:
                entree["freq"] = entree[nom]
                break
        else:
            entree["freq"] = 0.0
    return entree


class LigneTropLongue(Exception):
    pass


def ref_iter_csv(path, delimiter=",", encoding="utf-8-sig"):
    with open(path, encoding=encoding, newline="") as f:
        lecteur = csv.DictReader(f, delimiter=delimiter)
        mapping = None
        for row in lecteur:
            if mapping is None:
                mapping = _aliases.resoudre_colonnes(list(lecteur.fieldnames))
            if None in row:
                raise LigneTropLongue(lecteur.line_num)
            yield ref_normaliser(row, mapping)


def comparable(valeur):
    # Floats by bit pattern: NaN, signed zeros and the last bit all count.
    if isinstance(valeur, float):
        return ("reel", struct.pack("<d", valeur))
    return valeur


def issue(iterable):
    """(entries as comparable item lists, exception kind or None)."""
    entrees = []
    try:
        for e in iterable:
            entrees.append([(k, comparable(v)) for k, v in e.items()])
    except (LigneTropLongue, ValueError) as exc:
        if isinstance(exc, LigneTropLongue) or " champs pour " in str(exc):
            return entrees, "trop-longue"
        return entrees, (type(exc).__name__, exc.args)
    except Exception as exc:  # noqa: BLE001 - the kind of error is what we compare
        return entrees, (type(exc).__name__, exc.args)
    return entrees, None


def verifier_identique(chemin, **kw):
    attendu = issue(ref_iter_csv(chemin, **kw))
    obtenu = issue(_loaders.iter_csv(chemin, **kw))
    assert obtenu == attendu


# ---------------------------------------------------------------------------
# Generated files

MORCEAUX = ['a', 'bc', 'é', '€', '😀', '"', '""', '"x"', 'x"y', ',', ';', '\t', '\r', '\n', '\r\n',
            ' ', '', '\x00', '1.5', ' 3 ', 'Ortho', 'freq', '\ufeff', '\x1c', '\u2028', '\x85']


def texte_aleatoire(rnd, delim):
    entete = [rnd.choice(["ortho", "Word", "phon", "lemme", "freq_opensubs", "freq_frantext", "x",
                          "X ", "a\"b", "nb", "cgram", "ortho"]) for _ in range(rnd.randint(0, 5))]
    lignes = [delim.join(entete)]
    for _ in range(rnd.randint(0, 8)):
        lignes.append("".join(rnd.choice(MORCEAUX + [delim] * 4) for _ in range(rnd.randint(0, 12))))
    fins = ["\n", "\r\n", "\r"]
    texte = "".join(l + rnd.choice(fins) for l in lignes)
    if rnd.random() < 0.3:
        texte = texte.rstrip("\r\n")
    if rnd.random() < 0.2:
        texte = "\ufeff" + texte
    return texte


@pytest.mark.parametrize("graine", range(12))
@pytest.mark.parametrize("delim", [",", "\t", ";", "é", "\x00", "|"])
def test_fichiers_aleatoires(tmp_path, graine, delim, chemins):
    rnd = random.Random(graine * 131 + ord(delim))
    chemin = tmp_path / "g.csv"
    for _ in range(25):
        chemin.write_bytes(texte_aleatoire(rnd, delim).encode("utf-8"))
        verifier_identique(chemin, delimiter=delim)
        verifier_identique(chemin, delimiter=delim, encoding="utf-8")


@pytest.mark.parametrize("cas", ["absent", "dossier", "interdit"])
def test_erreurs_d_ouverture_comme_open(tmp_path, cas):
    chemin = tmp_path / "f.csv"
    if cas == "dossier":
        chemin.mkdir()
    elif cas == "interdit":
        chemin.write_text("a\n", encoding="utf-8")
        chemin.chmod(0)
        if os.access(chemin, os.R_OK):
            pytest.skip("this user reads every file")
    with pytest.raises(OSError) as attendu:
        open(chemin, encoding="utf-8-sig", newline="").close()
    with pytest.raises(OSError) as obtenu:
        list(_loaders.iter_csv(chemin))
    assert type(obtenu.value) is type(attendu.value)
    assert (obtenu.value.errno, str(obtenu.value.filename)) == (attendu.value.errno, str(attendu.value.filename))


@pytest.mark.parametrize("delim", ['"', "\r", "\n", " "])
def test_delimiteurs_speciaux(tmp_path, delim):
    rnd = random.Random(7)
    chemin = tmp_path / "s.csv"
    for _ in range(60):
        chemin.write_bytes(texte_aleatoire(rnd, delim).encode("utf-8"))
        verifier_identique(chemin, delimiter=delim)


@pytest.mark.parametrize("encodage", ["latin-1", "utf-16", "cp1252", "utf-8-sig", "UTF8"])
def test_autres_encodages(tmp_path, encodage):
    rnd = random.Random(encodage)
    chemin = tmp_path / "e.csv"
    for _ in range(30):
        texte = texte_aleatoire(rnd, ",").replace("😀", "ß").replace("€", "¤")
        if encodage in ("latin-1", "cp1252"):
            texte = texte.replace("\u2028", "").replace("\ufeff", "").replace("\x85", "")
        chemin.write_bytes(texte.encode(encodage))
        verifier_identique(chemin, encoding=encodage)


def gros_fichier(rnd, lignes):
    texte = "ortho,phon,freq_opensubs,note\n"
    for i in range(lignes):
        texte += f'mot{i},"p""h{i}\r\nsuite",{rnd.random() * 100:.3f},"é{i}"\r\n'
    return texte.encode("utf-8")


@pytest.mark.parametrize("decalage", [0, 1, 2, 3, 4, 5])
@pytest.mark.parametrize("mauvais", [b"\xff", b"\xc3", b"\xe9a", b"\xed\xa0\x80", b"\xf0\x9f\x98"])
def test_octets_invalides_meme_endroit(tmp_path, decalage, mauvais):
    # The host decodes 8192-byte chunks: an error is raised as soon as the record
    # being read needs a chunk that does not decode, and with the same details.
    rnd = random.Random(decalage)
    donnees = bytearray(gros_fichier(rnd, 900))
    for base in (8192, 8192 * 2 - 1, 8192 * 3 - 2, len(donnees) - 1):
        pos = base - decalage
        fichier = tmp_path / "u.csv"
        fichier.write_bytes(bytes(donnees[:pos]) + mauvais + bytes(donnees[pos:]))
        verifier_identique(fichier)
        fichier.write_bytes(bytes(donnees[:pos]) + mauvais)
        verifier_identique(fichier)


@pytest.mark.parametrize("contenu", [b"", b"\xef", b"\xef\xbb", b"\xef\xbb\xbf", b"\xef\xbb\xbfa",
                                     b"\xef\xbb\xbf\r\n\r\na\n", b"\xef\xbb\xbf\xff", b"\xc3", b"a,b\n\xc3"])
@pytest.mark.parametrize("encodage", ["utf-8-sig", "utf-8"])
def test_marque_et_fichiers_minuscules(tmp_path, contenu, encodage):
    chemin = tmp_path / "m.csv"
    chemin.write_bytes(contenu)
    verifier_identique(chemin, encoding=encodage)


@pytest.mark.parametrize("limite", [0, 1, 3, 5, 40])
def test_limite_de_champ(tmp_path, limite):
    ancienne = csv.field_size_limit(limite)
    try:
        chemin = tmp_path / "l.csv"
        rnd = random.Random(limite)
        for _ in range(20):
            chemin.write_bytes(texte_aleatoire(rnd, ",").encode("utf-8"))
            verifier_identique(chemin)
    finally:
        csv.field_size_limit(ancienne)


# ---------------------------------------------------------------------------
# Numbers

MORCEAUX_NOMBRE = ["1", "0", "9", "12", ".", "e", "E", "+", "-", "_", " ", "\t", "\xa0", "\u2003",
                   "\u3000", "\x1c", "\x85", "inf", "nan", "infinity", "InF", "NaN", "٣", "１",
                   ",", "0x", "Ⅷ", "e308", "e-330", "5e-324", "\x00", "1" * 25, "00", "²"]


def test_lecture_des_reels_comme_float(chemins):
    rnd = random.Random(1)
    textes = ["".join(rnd.choice(MORCEAUX_NOMBRE) for _ in range(rnd.randint(1, 6)))
              for _ in range(20000)]
    textes += [f"{rnd.uniform(-1e6, 1e6)!r}" for _ in range(2000)]
    textes += [repr(struct.unpack("<d", rnd.randbytes(8))[0]) for _ in range(3000)]
    textes += ["1_000.5", "1__0", "_1", "1_", "1e1_0", "-nan", "+inf", "1e400", "-1e400", "1e-400",
               "2.2250738585072011e-308", "4.9406564584124654e-324", "0.1e-999999999999",
               "179769313486231580793728971405301e276"]
    # Around the limits of the one-operation reading: 2^53, 10^22, 19 digits.
    textes += ["9007199254740992", "9007199254740993", "9007199254740993e-1", "1e22", "1e23", "1e-22",
               "1e-23", "123456789e22", "0.1e23", "1" * 19, "1" * 20, "9" * 19 + "e-22", "0" * 30 + "1",
               "0." + "0" * 21 + "5", "5" + "0" * 22 + "e-44", "-0", "-0.0e5", "0e-999", ".5", "5.", "1e+0"]
    textes += [f"{rnd.randrange(10 ** rnd.randint(1, 20))}{rnd.choice(['', '.'])}{rnd.randrange(10 ** 6)}"
               f"{rnd.choice(['', 'e', 'E-'])}{rnd.randrange(30)}" for _ in range(5000)]
    for t in textes:
        obtenu = _loaders._normaliser_entree({"freq": t}, {})["freq"]
        assert comparable(obtenu) == comparable(ref_reel(t)), repr(t)


def test_chiffres_de_toutes_les_ecritures():
    """Every decimal digit float() takes in the running interpreter's Unicode database
    (the tables are generated from it when the modules are built), and no other."""
    chiffres = [c for c in map(chr, range(0x80, 0x110000)) if unicodedata.decimal(c, None) is not None]
    for t in chiffres + ["\u2160", "\u00b2", "\u0f33", "\U0001f10b"]:
        for texte in (t, "1" + t + ".5", t + "e" + t):
            obtenu = _loaders._normaliser_entree({"freq": texte}, {})["freq"]
            assert comparable(obtenu) == comparable(ref_reel(texte)), ascii(texte)


def test_normalisation_comme_reference():
    rnd = random.Random(3)
    noms = ["Ortho", "word", "freq", "FREQ_LM10", "freq_frantext", "freq_opensubs", " Lemme ", "x",
            "freqfilms2", "nb"]
    valeurs = ["", "1", " 2.5 ", "abc", None, 0, 3, 2.5, True, b"4", [], "1e3"]
    for _ in range(3000):
        row = {rnd.choice(noms): rnd.choice(valeurs) for _ in range(rnd.randint(0, 6))}
        mapping = {n: rnd.choice(["freq", "ortho", "freq_lm10", "freq_frwac", n.lower()])
                   for n in noms if rnd.random() < 0.5}
        obtenu = _loaders._normaliser_entree(row, mapping)
        attendu = ref_normaliser(row, mapping)
        assert [(k, comparable(v)) for k, v in obtenu.items()] == \
               [(k, comparable(v)) for k, v in attendu.items()]


def test_petit_lexique_reel(petit_tsv):
    verifier_identique(petit_tsv, delimiter="\t")


# ---------------------------------------------------------------------------
# Quote-free lines (cut in place) mixed with quoted ones (state machine)

PIECES_SANS_GUILLEMET = ["a", "é", "ʃɑ̃", "œ", "😀", "", " ", "\x00", "1.5", "x" * 40, "ÿ", "\u2028"]


def texte_mixte(rnd, delim, lignes, longue=None):
    """Mostly quote-free lines; some quoted fields, blank lines, short lines, one long line."""
    sortie = [delim.join(["ortho", "phone", "lemme", "freq_opensubs", "note"])]
    for i in range(lignes):
        r = rnd.random()
        if r < 0.03:
            sortie.append("")
            continue
        champs = [rnd.choice(PIECES_SANS_GUILLEMET) for _ in range(rnd.choice([1, 3, 5, 5, 5, 5]))]
        if r < 0.12:
            champs[rnd.randrange(len(champs))] = rnd.choice(['"q""x\r\nsuite"', '"a' + delim + 'b"', '""', 'x"y'])
        if i == longue:
            champs += ["trop"]
        sortie.append(delim.join(champs))
    return "".join(l + rnd.choice(["\n", "\r\n", "\r"]) for l in sortie)


@pytest.mark.parametrize("delim", ["\t", ",", ";", "é"])
@pytest.mark.parametrize("graine", range(4))
def test_lignes_sans_guillemets_melangees(tmp_path, delim, graine, chemins):
    rnd = random.Random(graine)
    chemin = tmp_path / "m.csv"
    # Thousands of lines: many 8192-byte chunks, lines across their boundaries.
    for longue in (None, 2500):
        chemin.write_bytes(texte_mixte(rnd, delim, 3000, longue).encode("utf-8"))
        verifier_identique(chemin, delimiter=delim)
        verifier_identique(chemin, delimiter=delim, encoding="utf-8")


@pytest.mark.parametrize("limite", [0, 2, 7, 41])
def test_limite_de_champ_sans_guillemets(tmp_path, limite):
    ancienne = csv.field_size_limit(limite)
    try:
        chemin = tmp_path / "l.tsv"
        rnd = random.Random(limite)
        for _ in range(5):
            chemin.write_bytes(texte_mixte(rnd, "\t", 300).encode("utf-8"))
            verifier_identique(chemin, delimiter="\t")
    finally:
        csv.field_size_limit(ancienne)


def lignes_autour_des_blocs(rnd, fin):
    """Lines of every length around the 64-byte blocks of the line scan, delimiters on
    both sides of block ends, multi-byte text, a few quoted, short or blank lines."""
    lignes = ["phone\tortho\tlemme\tfreq_opensubs"]
    for i in range(2000):
        champs = [rnd.choice(["", "ʃa", "a" * rnd.randrange(130)]),
                  rnd.choice(PIECES_SANS_GUILLEMET) + "é" * rnd.randrange(70) + str(i), "l" * rnd.randrange(3), "1"]
        champs = champs[: rnd.choice([4, 4, 4, 2, 1, 0])]
        if champs and rnd.random() < 0.03:
            champs[0] = '"q\t""x"'
        lignes.append("\t".join(champs))
    return fin.join(lignes) + rnd.choice([fin, ""])


@pytest.mark.parametrize("fin", ["\n", "\r\n", "\r"])
@pytest.mark.parametrize("graine", range(2))
def test_colonne_seule_comme_python(tmp_path, fin, graine, chemins):
    """The spellings column read alone (a lexicon's first level) gives what the csv
    module gives, with the vector kernels and with their scalar twins."""
    from brivane_lexique import Lexique

    chemin = tmp_path / "c.tsv"
    chemin.write_bytes(lignes_autour_des_blocs(random.Random(graine), fin).encode())
    with open(chemin, encoding="utf-8-sig", newline="") as f:
        attendu = {unicodedata.normalize("NFC", r["ortho"]).strip().lower()
                   for r in csv.DictReader(f, delimiter="\t") if r["ortho"]}
    assert Lexique(chemin)._formes == attendu


@pytest.mark.parametrize("ortho", ["e" * 12, "é" * 12, "e" * 6 + "\t" + "e" * 6])
@pytest.mark.parametrize("limite", [11, 12])
def test_limite_de_champ_de_la_colonne_seule(tmp_path, chemins, ortho, limite):
    """Level 1 cuts quote-free lines itself: a field over csv.field_size_limit()
    (counted in characters) is refused there as the csv module refuses it."""
    chemin = tmp_path / "l.tsv"
    chemin.write_text("ortho\tx\n" + ortho + "\n", encoding="utf-8")
    ancienne = csv.field_size_limit(limite)
    try:
        with open(chemin, encoding="utf-8", newline="") as f:
            try:
                attendu = {r["ortho"] for r in csv.DictReader(f, delimiter="\t")}
            except csv.Error as e:
                attendu = str(e)
        try:
            obtenu = _loaders._formes(str(chemin), "\t", None)
        except csv.Error as e:
            obtenu = str(e)
        assert obtenu == attendu
    finally:
        csv.field_size_limit(ancienne)


MAUVAIS_OCTETS = [0x80, 0xbf, 0xc0, 0xc1, 0xc3, 0xe0, 0xed, 0xef, 0xf0, 0xf4, 0xf5, 0xff]


@pytest.mark.parametrize("graine", range(6))
def test_octets_invalides_dans_du_texte_multioctet(tmp_path, graine, chemins):
    # Dense multi-byte text: every block goes through the whole-block check; each
    # mutation (near a chunk boundary or anywhere) must fail exactly as the host does.
    rnd = random.Random(graine)
    donnees = texte_mixte(rnd, "\t", 1500).encode("utf-8")
    chemin = tmp_path / "u.tsv"
    positions = [k * 8192 + d for k in range(1, len(donnees) // 8192) for d in (-3, -2, -1, 0, 1, 2)]
    positions += [rnd.randrange(len(donnees)) for _ in range(12)]
    for pos in rnd.sample(positions, 16):
        mutees = bytearray(donnees)
        mutees[pos] = rnd.choice(MAUVAIS_OCTETS)
        chemin.write_bytes(bytes(mutees))
        verifier_identique(chemin, delimiter="\t")
        chemin.write_bytes(bytes(donnees[:pos]) + "é😀".encode("utf-8")[: rnd.randint(1, 5)])
        verifier_identique(chemin, delimiter="\t")


# Whole, truncated and malformed sequences of every lead-byte class: where the host
# waits for more bytes and where it fails at once decides the error's span and reason.
SEQUENCES_LIMITES = [b"\xc2\x80", b"\xc1\xbf", b"\xe0\xa0\x80", b"\xe0\x9f\xbf", b"\xed\x9f\xbf",
                     b"\xed\xa0\x80", b"\xef\xbf\xbf", b"\xf0\x90\x80\x80", b"\xf0\x8f\xbf\xbf",
                     b"\xf4\x8f\xbf\xbf", b"\xf4\x90\x80\x80"]


@pytest.mark.parametrize("sequence", SEQUENCES_LIMITES, ids=lambda s: s.hex())
def test_sequences_coupees_en_fin_et_entre_deux_blocs(tmp_path, sequence, chemins):
    entete = "ortho,note\n".encode()
    suite = "\nb,é\n".encode() * 40
    chemin = tmp_path / "s.csv"
    for k in range(1, len(sequence) + 1):
        # Cut by the end of the file, then by the end of the host's first chunk.
        chemin.write_bytes(entete + b"a,\xc3\xa9" * 30 + sequence[:k])
        verifier_identique(chemin)
        remplissage = b"y" * (8192 - k - len(entete) - 2)
        chemin.write_bytes(entete + b"a," + remplissage + sequence + suite)
        verifier_identique(chemin)


def test_normalisation_de_lignes_de_meme_forme(monkeypatch):
    # Rows built one by one from one header share their key objects: from the second
    # such row the walk is replayed from a plan, which every change below must undo.
    rnd = random.Random(5)
    noms = ["Ortho", "word", "freq", "FREQ_LM10", "freq_frantext", "freq_opensubs", " Lemme ", "x",
            "freqfilms2", "nb"]
    valeurs = ["", "1", " 2.5 ", "abc", None, 0, 3, 2.5, True, b"4", [], "1e3"]
    priorite = list(FREQ_PRIORITE)
    monkeypatch.setattr(_loaders, "FREQ_PRIORITE", priorite)
    for _ in range(400):
        cles = rnd.sample(noms, rnd.randint(0, len(noms)))
        mapping = {n: rnd.choice(["freq", "ortho", "freq_lm10", "freq_frwac", n.lower(), None])
                   for n in noms if rnd.random() < 0.4}
        for _ in range(rnd.randint(1, 8)):
            row = {k: rnd.choice(valeurs[:-3] if rnd.random() < 0.8 else valeurs) for k in cles}
            tirage = rnd.random()
            if tirage < 0.1:
                mapping[rnd.choice(noms)] = rnd.choice(["freq", "ortho", "freq_lm10", "x"])
            elif tirage < 0.15:
                priorite.reverse()
            elif tirage < 0.2:
                priorite.append(priorite.pop(0))
            elif tirage < 0.25 and row:
                row.pop(next(iter(row)))
            elif tirage < 0.3:
                row = dict(reversed(list(row.items())))
            obtenu = _loaders._normaliser_entree(row, mapping)
            attendu = ref_normaliser(row, mapping, priorite)
            assert [(k, comparable(v)) for k, v in obtenu.items()] == \
                   [(k, comparable(v)) for k, v in attendu.items()], (row, mapping, priorite)


class Texte(str):
    """A str subclass: compared through its own ==, not as a plain str."""


class EgalA:
    """A priority entry of another type, equal to one name (and hashed like it)."""

    def __init__(self, nom):
        self.nom = nom

    def __eq__(self, autre):
        return autre == self.nom

    def __hash__(self):
        return hash(self.nom)


class Priorite:
    """A container of its own: membership through __contains__, order through __iter__."""

    def __init__(self, noms):
        self.noms = list(noms)

    def __contains__(self, nom):
        return nom in self.noms

    def __iter__(self):
        return iter(self.noms)


@pytest.mark.parametrize("forme", [
    list, tuple, Priorite,
    lambda noms: [Texte(n) for n in noms],
    lambda noms: tuple(EgalA(n) if i % 2 else n for i, n in enumerate(noms)),
], ids=["list", "tuple", "conteneur", "sous-classes", "autres-types"])
def test_priorite_de_toute_forme(tmp_path, monkeypatch, chemins, forme):
    # The rule compares plain str names by their text and anything else through ==,
    # for a single row and for the plan of a file alike.
    priorite = forme(["freq_lm10", "freq_frwac", "x"])
    monkeypatch.setattr(_loaders, "FREQ_PRIORITE", priorite)
    cas = [
        ({"FREQ_LM10": "2", "freq_frwac": "3,5", "Ortho": "a"}, {}),
        ({"Word": "b", "X": "1e3"}, {"Word": Texte("ortho")}),
        ({"a": "1", "b": "2"}, {"a": Texte("freq_frwac"), "b": Texte("freq")}),
        ({"n": "4", "m": "5"}, {"n": Texte("freq_lm10"), "m": "freq_lm10"}),
        ({"x": "7", "y": ""}, {"y": Texte("x")}),
    ]
    for row, mapping in cas:
        obtenu = _loaders._normaliser_entree(row, mapping)
        attendu = ref_normaliser(row, mapping, priorite)
        assert [(k, comparable(v)) for k, v in obtenu.items()] == \
               [(k, comparable(v)) for k, v in attendu.items()], (row, mapping)
    chemin = tmp_path / "p.csv"
    chemin.write_text('FREQ_LM10,x,Ortho,freq_frwac\n2,7,a,"3,5"\n,,b,1\n', encoding="utf-8")
    with open(chemin, encoding="utf-8", newline="") as f:
        lecteur = csv.DictReader(f)
        attendues = [ref_normaliser(r, _aliases.resoudre_colonnes(lecteur.fieldnames), priorite) for r in lecteur]
    assert [[(k, comparable(v)) for k, v in e.items()] for e in _loaders.iter_csv(chemin)] == \
           [[(k, comparable(v)) for k, v in e.items()] for e in attendues]
