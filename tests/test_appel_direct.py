"""The word lookups answer alike however they are called: positional, keyword, unbound.

The commonest call shape takes a shorter road than the others; the answers, the docstrings
and the errors must not depend on it.
"""

import pytest

from brivane_lexique.lexique import Lexique
from fabrique_lexiques import ecrire

APPELS = [
    ("existe", ("chante",)),
    ("info", ("Chante",)),
    ("homophones", ("ʃɑ̃t",)),
    ("frequence", ("chante",)),
    ("phone_de", ("chante",)),
    ("lemme_de", ("chante",)),
    ("formes_de", ("chanter",)),
    ("formes_de", ("chanter", "VER")),
    ("conjuguer", ("chanter",)),
    ("verbes_par_phone_et_personne", (["ʃɑ̃t", "ɛ"], "3", "s")),
    ("definitions", ("chant",)),
    ("definition", ("chant",)),
    ("synonymes", ("chant",)),
    ("antonymes", ("chant",)),
]


@pytest.fixture(scope="module", params=["tsv", "sqlite"])
def lex(request, tmp_path_factory):
    lex = Lexique(ecrire(tmp_path_factory.mktemp(request.param), request.param))
    yield lex
    lex.close()


def _noms(methode, n):
    return methode.__doc__.split("(", 1)[1].split(")")[0].replace("self, ", "").split(", ")[:n]


@pytest.mark.parametrize("nom, args", APPELS, ids=[a[0] + str(len(a[1])) for a in APPELS])
def test_memes_reponses_quelle_que_soit_la_forme(lex, nom, args):
    methode = getattr(Lexique, nom)
    attendu = methode(lex, *args)
    assert attendu or nom == "definitions"  # the rows chosen have an answer
    mots_cles = {n.split(":")[0]: a for n, a in zip(_noms(methode, len(args)), args)}
    for _ in range(3):  # the later calls are answered from what the first ones left
        assert getattr(lex, nom)(*args) == attendu
        assert getattr(lex, nom)(**mots_cles) == attendu
        assert getattr(lex, nom)(*args[:1], **dict(list(mots_cles.items())[1:])) == attendu


@pytest.mark.parametrize("nom, args", {a[0]: a[1] for a in APPELS}.items())
def test_erreurs_et_documentation(lex, nom, args):
    methode = getattr(Lexique, nom)
    assert methode.__doc__.startswith(nom + "(self, ")
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(lex, nom)()
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(lex, nom)("a", "b", "c", "d")
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(lex, nom)(inconnu="a")
    with pytest.raises(TypeError):
        methode(3, "a")

    class SansInit(Lexique):
        def __init__(self):
            pass

    with pytest.warns(RuntimeWarning, match="uninitialized"), pytest.raises(TypeError):
        getattr(SansInit(), nom)(*args)


def test_type_de_l_argument(lex):
    for nom in ("info", "frequence", "existe"):
        with pytest.raises(TypeError, match=r"^Argument 'mot' has incorrect type \(expected str, got int\)$"):
            getattr(lex, nom)(3)
