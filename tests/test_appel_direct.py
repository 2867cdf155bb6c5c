"""The word lookups and the module functions answer alike however they are called.

The commonest call shape (positional arguments) takes a shorter road than the others
(keywords, unbound, wrong arity); the answers, the docstrings and the errors must not
depend on it.
"""

import re

import pytest

from brivane_lexique import _loaders, _morphologie, _semantique, _utils
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
    # (These lexicons have no proper nouns: empty answers, the same however asked.)
    ("info_nom_propre", ("Paris",)),
    ("existe_nom_propre", ("Paris",)),
    ("phone_nom_propre", ("Paris",)),
    ("homophones_nom_propre", ("paʁi",)),
]


@pytest.fixture(scope="module", params=["tsv", "sqlite"])
def lex(request, tmp_path_factory):
    lex = Lexique(ecrire(tmp_path_factory.mktemp(request.param), request.param))
    yield lex
    lex.close()


def _noms(fonction, n):
    """The names of the first n parameters, from the signature line of the docstring."""
    return re.findall(r"(\w+): ", fonction.__doc__.split("(", 1)[1].split(")")[0])[:n]


@pytest.mark.parametrize("nom, args", APPELS, ids=[a[0] + str(len(a[1])) for a in APPELS])
def test_memes_reponses_quelle_que_soit_la_forme(lex, nom, args):
    methode = getattr(Lexique, nom)
    attendu = methode(lex, *args)
    assert attendu or nom == "definitions" or nom.endswith("_nom_propre")  # the rows chosen have an answer
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


ENTREES = [{"ortho": "Chante", "lemme": "chanter", "cgram": "VER", "personne": "3", "nombre": "s", "mode": "ind",
            "temps": "pre", "freq": 5.0, "synonymes": "entonne;fredonne", "antonymes": "tait", "definition": "Emet."}]
FONCTIONS = [
    (_utils.normaliser_ortho, (" Été ",)),
    (_semantique.synonymes, (ENTREES,)),
    (_semantique.antonymes, (ENTREES,)),
    (_semantique.definition, (ENTREES,)),
    (_morphologie._personne_nombre_from_entry, (ENTREES[0],)),
    (_morphologie.conjuguer, (ENTREES,)),
    (_morphologie.formes_de, (ENTREES,)),
    (_morphologie.formes_de, (ENTREES, "VER")),
    (_morphologie.lemme_de, (ENTREES,)),
    (_loaders._normaliser_entree, ({"Ortho": "chat", "FREQ_LM10": "2"}, {"FREQ_LM10": "freq_lm10"})),
]


@pytest.mark.parametrize("fonction, args", FONCTIONS, ids=[f.__name__ + str(len(a)) for f, a in FONCTIONS])
def test_fonctions_des_modules(fonction, args):
    attendu = fonction(*args)
    assert attendu
    mots_cles = {n.split(":")[0]: a for n, a in zip(_noms(fonction, len(args)), args)}
    assert fonction(**mots_cles) == attendu and fonction(*args) == attendu
    assert fonction.__doc__.startswith(fonction.__name__ + "(")
    for mauvais in [(), (*args, None, None)]:
        with pytest.raises(TypeError, match="incompatible function arguments"):
            fonction(*mauvais)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        fonction(*args, inconnu=1)
