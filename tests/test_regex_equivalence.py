"""The matcher of rechercher must answer exactly as the host's re module."""
import itertools
import re

import pytest

from brivane_lexique import _recherche

TEXTES = [
    "chat", "Chat", "CHAT", "achat", "chaton", "château", "CHÂTEAU", "Château", "ete", "été", "ÉTÉ", "Été",
    "œuvre", "Œuvre", "cœur", "naïve", "NAÏVE", "ß", "straße", "STRASSE", "ÿ", "Ÿ", "µ", "μ", "Μ",
    "kilo", "Kilo", "\u212ailo", "six", "ſix", "SIX", "ile", "İle", "ıle", "île", "ÎLE", "å", "Å", "\u212b",
    "a\n", "ab\n", "a\nb", "\n", "a.b", "a+b", "a$", "^a", "(a)", "a|b", "a\\b", "x", "xx", "ʃa", "ʃɑ̃te",
    "ça", "ÇA", "à", "À", "×", "÷", "ð", "Ð", "þ", "Þ", "ø", "Ø", "ª", "º", "1er", "l'ami", "peut-être",
]

MOTIFS = [
    # literal, anchored, escaped
    "", "^", "$", "^$", "a", "A", "chat", "CHAT", "^ch", "^CH", "at$", "AT$", "^chat$", "été", "ÉTÉ", "^É", "é$",
    "œ", "Œ", "ï", "Ï", "ß", "ÿ", "µ", "k", "K", "s", "S", "i", "I", "å", "Å", "ç", "Ç", "ð", "Ð", "þ", "Þ", "ø",
    "×", "÷", "ª", "\\.", "a\\.b", "\\+", "\\$", "\\^a", "\\(a\\)", "a\\|b", "\\\\", "a\\$", "a\\\\$", "b\n$",
    "l'", "-", "peut-", "1er", " ", "\n",
    # classes, repeats, and constructs left to the host's engine
    "[a-c]", "[^a]", "[ÉÈ]", "a|o", "ch|at", "a*", "a+", "a?", "a{2}", "x{2,}", "a{", "a}", "]", "}", ".", "^.$",
    "c.a", "(ch)(at)", "(a)\\1", "(?=a)", "(?!c)", "(?<=c)h", "(?<!c)h", "\\bchat\\b", "\\w+", "\\d", "\\s",
    "\\Achat\\Z", "chat\\Z", "(?i)chat", "(?-i:chat)", "(?x) c h a t", "ʃ", "ɑ̃", "\u212a", "ſ", "İ", "ı", "μ",
    "Ÿ", "\u212b", "\\u00e9", "\\x41", "[", "(", "*a", "a**", "(?P<n>a)(?P=n)", "a$b", "a^b", "^^a", "a$$",
    # anchored: the first character decides for most texts
    "^a?b", "^[^a]", "^.", "^[ch]+a", "^c{1,2}h.*u$", "^x{2,}", "^\\n", "^[^c]h",
]


def attendus(motif):
    try:
        rx = re.compile(motif, re.IGNORECASE)
    except re.error:
        return []
    return [t for t in TEXTES if rx.search(t)]


INDEX = {f"k{i}": [{"ortho": f"w{i}", "texte": t}] for i, t in enumerate(TEXTES)}


@pytest.mark.parametrize("motif", MOTIFS)
def test_motif_comme_re(motif, chemins):
    trouves = [e["texte"] for e in _recherche.rechercher(INDEX, motif, "texte", 10**6)]
    assert trouves == attendus(motif)


INDEX_ORTHO = {f"k{i}": [{"ortho": t}] for i, t in enumerate(TEXTES + [t + "\u0100" for t in TEXTES])}


@pytest.mark.parametrize("motif", MOTIFS)
def test_motif_comme_re_sur_les_orthographes(motif):
    """The same verdicts when the spellings go through the remembered texts of the
    index (one entry per spelling, case-insensitively, the first met)."""
    try:
        rx = re.compile(motif, re.IGNORECASE)
    except re.error:
        rx = None
    vus, attendu = set(), []
    for (entree,) in INDEX_ORTHO.values():
        t = entree["ortho"]
        if t and rx and rx.search(t) and t.lower() not in vus:
            vus.add(t.lower())
            attendu.append(t)
    for _ in range(2):  # remembered texts are reused by the second call
        assert [e["ortho"] for e in _recherche.rechercher(INDEX_ORTHO, motif, "ortho", 10**6)] == attendu


@pytest.mark.parametrize("a, b", list(itertools.product("aÀà$^\\.\n", repeat=2)))
def test_paires_de_caracteres(a, b):
    for motif in (a + b, "^" + a + b, a + b + "$"):
        assert [e["texte"] for e in _recherche.rechercher(INDEX, motif, "texte", 10**6)] == attendus(motif)


# The wider subset (classes, ".", repeats, anchors) answered by the C++ engine with
# the host's case rules, on random patterns and texts full of case traps.
ALPHABET = ["a", "A", "b", "é", "É", "ß", "\u1e9e", "s", "S", "\u017f", "k", "K", "\u212a", "i", "I", "\u0130",
            "\u0131", "µ", "\u03bc", "\u039c", "ʃ", "\u01a9", "ɑ", "\u2c6d", "\u0303", "ÿ", "\u0178", "-", ".", "\n",
            " ", "ǅ", "ǆ", "Ǆ", "θ", "\u03f4", "\u03d1"]
ATOMES = ["a", "A", "é", "É", "ß", "\u1e9e", "k", "K", "\u212a", "s", "\u017f", "i", "\u0130", "\u0131", "µ",
          "\u03bc", "ʃ", "\u01a9", "ɑ", "\u0303", "ǅ", "θ", "\u03f4", ".", "\\.", "\\-", "-", "]", "}", "[a-c]",
          "[^a]", "[ßs]", "[K-M]", "[^ɑ\u0303]", "[]a]", "[a-]", "[\\]x]", "[é-ë]", "[ǅθ]", "[^\n]", "[ -/]"]
REPETITIONS = ["", "", "", "*", "+", "?", "{2}", "{1,2}", "{0,}", "{2,}", "*?", "+?", "??", "{0,1}?"]


def motif_aleatoire(rng):
    corps = "".join(rng.choice(ATOMES) + rng.choice(REPETITIONS) for _ in range(rng.randint(0, 4)))
    return rng.choice(["", "", "^"]) + corps + rng.choice(["", "", "$"])


@pytest.mark.parametrize("graine", range(40))
def test_sous_ensemble_comme_re(graine, chemins):
    import random
    rng = random.Random(graine)
    textes = ["".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 7))) for _ in range(60)]
    index = {f"k{i}": [{"ortho": f"w{i}", "texte": t}] for i, t in enumerate(textes)}
    par_ortho = {f"k{i}": [{"ortho": t}] for i, t in enumerate(textes)}
    for _ in range(25):
        motif = motif_aleatoire(rng)
        rx = re.compile(motif, re.IGNORECASE)
        assert [e["texte"] for e in _recherche.rechercher(index, motif, "texte", 10**6)] == \
            [t for t in textes if rx.search(t)], motif
        vus, attendu = set(), []
        for t in textes:
            if rx.search(t) and t.lower() not in vus:
                vus.add(t.lower())
                attendu.append(t)
        assert [e["ortho"] for e in _recherche.rechercher(par_ortho, motif, "ortho", 10**6)] == attendu, motif


# Texts whose spellings are remembered end to end: runs split across two neighbours,
# characters sharing a low byte with a letter (U+0161, U+0174, U+0165), the case
# traps, characters beyond the BMP, and texts first met between two calls.
VOISINS = ["ti", "on", "nation", "NATION", "na\u0161ion", "\u0165ion", "\u0174ION", "\u0131on", "TİON", "\u017fion",
           "\u212aion", "mention", "MENT", "ment\n", "ment\nx", "\U0001d400tion", "ti\U0001d400on", "chat", "\u0161hat",
           "CH\u00c2TEAU", "\u00e9t\u00e9", "\u00c9T\u00c9", "pr\u00eater", "brancher", "BR\u00fbLER", "er", "r"]
PLUS_TARD = ["\u0130ONS", "attention", "ti\u0161n", "\u0174\u0174", "pr\u00ea\u0165er", "berger"]


@pytest.mark.parametrize("motif", ["tion", "^ch", "ment$", "^[bp]r.*er$", "ti", "on", "\u0131", "i", "s", "k",
                                   "\u00e9t", "t\u00e9$", "nation", "r", "er$", "\\.", "^t", "a\u0161", "\u0165",
                                   "^k", "^\u0131", "^s", "^\U0001d400", "^.i", "^[^n]", "^ti?on"])
def test_litteraux_sur_les_textes_retenus(motif):
    rx = re.compile(motif, re.IGNORECASE)
    for textes in (VOISINS, VOISINS + PLUS_TARD):
        index = {f"k{i}": [{"ortho": t, "freq": i}] for i, t in enumerate(textes)}
        premiers = {}  # one per spelling, case-insensitively: the first met
        for i, t in enumerate(textes):
            if rx.search(t):
                premiers.setdefault(t.lower(), (i, t))
        attendu = [t for i, t in sorted(premiers.values(), reverse=True)]
        for _ in range(3):  # the first call reads the dicts, the next ones the remembered texts
            assert [e["ortho"] for e in _recherche.rechercher(index, motif, "ortho", 10**6)] == attendu
