import random
import sqlite3
import sys
import unicodedata

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brivane_lexique import _utils
from brivane_lexique._utils import _tokenize_ipa, normaliser_ortho


def reference(s):
    return unicodedata.normalize("NFC", s).strip().lower()


ATTACHES = {0x02D0, 0x02D1, *range(0x02B0, 0x02B9), *range(0x02E0, 0x02E5)}


def segments_reference(s):
    """Plain-Python twin of the segmentation rule."""
    segs, colle = [], False
    for c in s:
        attache = colle or unicodedata.category(c) in ("Mn", "Mc", "Me") or ord(c) in ATTACHES
        if segs and attache:
            segs[-1] += c
        else:
            segs.append(c)
        colle = c in "\u0361\u035c"
    return segs


# Pieces chosen to hit every branch: ASCII, Latin-1, capitals with odd lower cases,
# combining marks in and out of canonical order, composable pairs, Hangul jamo,
# Greek capital sigma in every context, white space of several kinds, non-BMP
# letters (Deseret capitals have lower cases), singletons, a lone surrogate.
MORCEAUX = [
    "a", "Z", "é", "E\u0301", "e\u0301", "\u0301", "\u0327\u0301", "\u0301\u0327", "ç", "Œ",
    "\u0130", "\u1e9e", "ß", "Σ", "σ", "ς", "ΑΣ", "Σ.", "'Σ", "\u03a3\u0301", "Å", "\u212b",
    "\u1100\u1161", "\u11a8", "\uac00", "\u0344", "\u2126", "\U00010400", "\U0001d400",
    " ", "\t", "\n", "\u00a0", "\u3000", "\u2000", "\x1c", "\x85", "-", "'", "İ", "ǅ",
    "\u023a", "\ud800", "ɑ̃", "t͡ʃ", "ː", "ʰ", "\u0345", "ᾼ", "\u00c5\u0301",
]


def texte_genere(rng):
    return "".join(rng.choice(MORCEAUX) for _ in range(rng.randrange(0, 7)))


class TestNormaliserOrtho:
    @pytest.mark.parametrize("entree, attendu", [
        ("Chat", "chat"), ("  Été\t", "été"), ("E\u0301TE\u0301", "été"), ("\u0130", "i\u0307"),
        ("\u1e9e", "ß"), ("ΟΔΟΣ", "οδος"), ("ΟΔΟΣ ", "οδος"), ("Σ", "σ"), ("aujourd'Hui", "aujourd'hui"),
        ("porte-Monnaie", "porte-monnaie"), ("\u00a0mot\u3000", "mot"), ("  ", ""), ("", ""),
        ("\U00010400", "\U00010428"), ("\u212b", "å"), ("\u1100\u1161", "\uac00"),
    ])
    def test_exemples(self, entree, attendu):
        assert normaliser_ortho(entree) == attendu == reference(entree)

    @pytest.mark.parametrize("s", ["chat", "été", "cœur", "aujourd'hui", "", "ŋ", "日本", "a b"])
    def test_deja_normalise_rend_le_meme_objet(self, s):
        s = "".join(list(s))  # a fresh object, not an interned constant
        assert normaliser_ortho(s) is s

    @pytest.mark.parametrize("graine", range(8))
    def test_differentiel_morceaux(self, graine):
        rng = random.Random(graine)
        for _ in range(3000):
            s = texte_genere(rng)
            assert normaliser_ortho(s) == reference(s), ascii(s)

    @given(st.text(max_size=12))
    @settings(max_examples=1500, deadline=None)
    def test_differentiel_hypothesis(self, s):
        assert normaliser_ortho(s) == reference(s)

    def test_chaque_point_de_code(self):
        # Alone and between a capital and a combining mark (composition, ordering).
        for cp in range(sys.maxunicode + 1):
            c = chr(cp)
            assert normaliser_ortho(c) == reference(c), hex(cp)
            s = "A" + c + "\u0323"
            assert normaliser_ortho(s) == reference(s), hex(cp)

    def test_resultat_est_un_str_exact(self):
        class Sous(str):
            pass
        with pytest.raises(TypeError):
            normaliser_ortho(Sous("abc"))
        assert type(normaliser_ortho("ÉTÉ")) is str


class TestTokenizeIpa:
    @pytest.mark.parametrize("entree, attendu", [
        ("", []), ("ʃɑ̃te", ["ʃ", "ɑ̃", "t", "e"]), ("t͡ʃa", ["t͡ʃ", "a"]), ("d͜ʒ", ["d͜ʒ"]),
        ("aːbˑ", ["aː", "bˑ"]), ("tʰʷa", ["tʰʷ", "a"]), ("ˈa.b c", ["ˈ", "a", ".", "b", " ", "c"]),
        ("\u0303a", ["\u0303", "a"]), ("ɑ̃\u0361", ["ɑ̃\u0361"]), ("t\u0361\u0303ʃ", ["t\u0361\u0303", "ʃ"]),
        ("t\u0361\u0361ʃa", ["t\u0361\u0361ʃ", "a"]), ("\U0001d400\u0301x", ["\U0001d400\u0301", "x"]),
        ("ɛ̃ː", ["ɛ̃ː"]), ("ˤa", ["ˤ", "a"]), ("aˤ", ["aˤ"]), ("aʹ", ["a", "ʹ"]),
    ])
    def test_exemples(self, entree, attendu):
        assert _tokenize_ipa(entree) == attendu
        assert "".join(_tokenize_ipa(entree)) == entree

    @pytest.mark.parametrize("graine", range(4))
    def test_differentiel(self, graine):
        rng = random.Random(graine)
        alphabet = "abdefiklmnopstuvwyzøœɑɔəɛɡɲʁʃʒ.ˈ \u0303\u0361\u035cːˑʰʷˠˤ\u0301é\U00010400"
        for _ in range(3000):
            s = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 9)))
            assert _tokenize_ipa(s) == segments_reference(s), ascii(s)

    def test_chaque_point_de_code_apres_une_lettre(self):
        for cp in range(sys.maxunicode + 1):
            s = "a" + chr(cp)
            assert _tokenize_ipa(s) == segments_reference(s), hex(cp)

    def test_lexique_reel_phone_reversed(self, grand_sqlite):
        # The stored reversed column must come from the same segmentation.
        con = sqlite3.connect(grand_sqlite)
        try:
            lignes = con.execute(
                "SELECT phone, phone_reversed FROM formes WHERE rowid % 97 = 0").fetchall()
        finally:
            con.close()
        assert len(lignes) > 4000
        for phone, inverse in lignes:
            assert "".join(reversed(_tokenize_ipa(phone))) == inverse, phone


@pytest.mark.parametrize("fonction", [normaliser_ortho, _tokenize_ipa])
@pytest.mark.parametrize("mauvais", [None, b"abc", 3, ["a"]])
def test_type_refuse(fonction, mauvais):
    with pytest.raises(TypeError) as e:
        fonction(mauvais)
    assert str(e.value) == (
        "Argument 's' has incorrect type (expected str, got %s)" % type(mauvais).__name__)


def test_mot_cle_et_docstrings():
    assert normaliser_ortho(s="A") == "a"
    assert _tokenize_ipa(s="ab") == ["a", "b"]
    assert _utils.__doc__ == "Utilitaires texte : normalisation orthographique et segmentation IPA."
    assert normaliser_ortho.__doc__.startswith("normaliser_ortho(s: str) -> str\n")
    assert _tokenize_ipa.__doc__.startswith("_tokenize_ipa(s: str) -> list[str]\n")
