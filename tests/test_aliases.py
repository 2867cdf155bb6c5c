import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brivane_lexique import _aliases


def test_tables_built_at_import():
    assert list(_aliases.ALIAS_MAP) == [
        "ortho", "lemme", "cgram", "genre", "nombre", "mode", "temps", "personne", "phone", "freq",
    ]
    assert all(isinstance(v, frozenset) for v in _aliases.ALIAS_MAP.values())
    assert _aliases.ALIAS_MAP["ortho"] == {"graphie", "form", "word", "forme", "flexion"}
    assert _aliases.ALIAS_MAP["freq"] == {
        "freq_opensubs", "freqfilms2", "freq_frwac_forme_pmw", "freq_frantext", "freq_lm10", "freq_frwac",
    }
    inverse = _aliases._ALIAS_INVERSE
    assert len(inverse) == 28
    assert not set(inverse) & set(_aliases.ALIAS_MAP)
    # Built by walking the map in its order.
    assert list(inverse.values()) == sorted(
        inverse.values(), key=list(_aliases.ALIAS_MAP).index
    )
    assert _aliases.FREQ_PRIORITE == [
        "freq_opensubs", "freqfilms2", "freq_frwac_forme_pmw", "freq_frwac", "freq_lm10", "freq_frantext",
    ]
    assert type(_aliases.FREQ_PRIORITE) is list


@pytest.mark.parametrize(
    "colonnes, attendu",
    [
        ([], {}),
        (
            ["Ortho", "PHON", " lemma ", "NbSyll", "freqfilms2"],
            {"Ortho": "ortho", "PHON": "phone", " lemma ": "lemme", "NbSyll": "nbsyll", "freqfilms2": "freq"},
        ),
        (["freq", "FREQ_LM10", "frequence"], {"freq": "freq", "FREQ_LM10": "freq", "frequence": "frequence"}),
        (
            ["ipa", "pos", "gen", "num", "pers", "mood", "tense"],
            {"ipa": "phone", "pos": "cgram", "gen": "genre", "num": "nombre", "pers": "personne",
             "mood": "mode", "tense": "temps"},
        ),
        (["freq opensubs", "freq-opensubs"], {"freq opensubs": "freq opensubs", "freq-opensubs": "freq-opensubs"}),
        (["ortho", "word", "ortho"], {"ortho": "ortho", "word": "ortho"}),
        # Non-ASCII names follow the host's lower() then strip().
        (["\u00c9TAT\u2003", "GRAPHIE\u00a0"], {"\u00c9TAT\u2003": "\u00e9tat", "GRAPHIE\u00a0": "ortho"}),
        (["\x1cPos\t"], {"\x1cPos\t": "cgram"}),
    ],
)
def test_resoudre_colonnes(colonnes, attendu):
    res = _aliases.resoudre_colonnes(colonnes)
    assert res == attendu
    assert list(res) == list(dict.fromkeys(colonnes))


@pytest.mark.parametrize("mauvais", [("ortho",), None, "ortho", type("L", (list,), {})(["a"])])
def test_resoudre_colonnes_refuse_non_list(mauvais):
    with pytest.raises(TypeError) as e:
        _aliases.resoudre_colonnes(mauvais)
    assert str(e.value) == (
        f"Argument 'colonnes' has incorrect type (expected list, got {type(mauvais).__name__})"
    )


def test_resoudre_colonnes_element_non_texte():
    with pytest.raises(AttributeError):
        _aliases.resoudre_colonnes(["ortho", 3])


class _Texte(str):
    pass


@given(st.lists(st.text(alphabet=st.sampled_from("aAÉéΣσς ΟΣ\t\u2003\u00a0\x1cİ-_xX"), max_size=8), max_size=6))
@settings(max_examples=200, deadline=None)
@pytest.mark.parametrize("sous_classe", [False, True])
def test_resoudre_colonnes_comme_lower_strip(sous_classe, colonnes):
    # Case folding with final sigma, dotted capitals and non-ASCII blanks, exact str or subclass.
    if sous_classe:
        colonnes = [_Texte(c) for c in colonnes]
    res = _aliases.resoudre_colonnes(colonnes)
    for c in colonnes:
        cle = str.strip(str.lower(c))
        assert res[c] == _aliases._ALIAS_INVERSE.get(cle, cle)
        assert type(res[c]) in (str, _Texte)
