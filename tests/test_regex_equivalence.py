"""The literal fast path of rechercher must answer exactly as the host's re module."""
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
    # literal, anchored, escaped: the fast path
    "", "^", "$", "^$", "a", "A", "chat", "CHAT", "^ch", "^CH", "at$", "AT$", "^chat$", "été", "ÉTÉ", "^É", "é$",
    "œ", "Œ", "ï", "Ï", "ß", "ÿ", "µ", "k", "K", "s", "S", "i", "I", "å", "Å", "ç", "Ç", "ð", "Ð", "þ", "Þ", "ø",
    "×", "÷", "ª", "\\.", "a\\.b", "\\+", "\\$", "\\^a", "\\(a\\)", "a\\|b", "\\\\", "a\\$", "a\\\\$", "b\n$",
    "l'", "-", "peut-", "1er", " ", "\n",
    # everything else: the host's engine
    "[a-c]", "[^a]", "[ÉÈ]", "a|o", "ch|at", "a*", "a+", "a?", "a{2}", "x{2,}", "a{", "a}", "]", "}", ".", "^.$",
    "c.a", "(ch)(at)", "(a)\\1", "(?=a)", "(?!c)", "(?<=c)h", "(?<!c)h", "\\bchat\\b", "\\w+", "\\d", "\\s",
    "\\Achat\\Z", "chat\\Z", "(?i)chat", "(?-i:chat)", "(?x) c h a t", "ʃ", "ɑ̃", "\u212a", "ſ", "İ", "ı", "μ",
    "Ÿ", "\u212b", "\\u00e9", "\\x41", "[", "(", "*a", "a**", "(?P<n>a)(?P=n)", "a$b", "a^b", "^^a", "a$$",
]


def attendus(motif):
    try:
        rx = re.compile(motif, re.IGNORECASE)
    except re.error:
        return []
    return [t for t in TEXTES if rx.search(t)]


INDEX = {f"k{i}": [{"ortho": f"w{i}", "texte": t}] for i, t in enumerate(TEXTES)}


@pytest.mark.parametrize("motif", MOTIFS)
def test_motif_comme_re(motif):
    trouves = [e["texte"] for e in _recherche.rechercher(INDEX, motif, "texte", 10**6)]
    assert trouves == attendus(motif)


@pytest.mark.parametrize("a, b", list(itertools.product("aÀà$^\\.\n", repeat=2)))
def test_paires_de_caracteres(a, b):
    for motif in (a + b, "^" + a + b, a + b + "$"):
        assert [e["texte"] for e in _recherche.rechercher(INDEX, motif, "texte", 10**6)] == attendus(motif)
