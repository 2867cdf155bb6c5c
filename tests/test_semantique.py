import random

import pytest

from brivane_lexique import _semantique
from brivane_lexique._semantique import antonymes, definition, synonymes


def liste_reference(entries, champ):
    for e in entries:
        v = e.get(champ)
        if v:
            return [p.strip() for p in str(v).split(";") if p.strip()]
    return []


def definition_reference(entries):
    res, vues = [], set()
    for e in entries:
        v = e.get("definition")
        if not v:
            continue
        t = str(v).strip()
        if t and t not in vues:
            vues.add(t)
            res.append(t)
    return res


class Entree:
    """A mapping that only offers get(), as the functions require."""

    def __init__(self, **champs):
        self.champs = champs

    def get(self, cle, defaut=None):
        return self.champs.get(cle, defaut)


@pytest.mark.parametrize("fonction, champ", [(synonymes, "synonymes"), (antonymes, "antonymes")])
class TestListeSeparee:
    @pytest.mark.parametrize("cellules, attendu", [
        (["", "maison; demeure ;logis", "foyer"], ["maison", "demeure", "logis"]),
        (["a;;b; "], ["a", "b"]),
        (["a;a"], ["a", "a"]),
        ([" ; ", "x;y"], []),
        ([5], ["5"]),
        ([None, 0, False, 0.0, "u\u00a0;\u3000v\n"], ["u", "v"]),
        (["mot", "autre"], ["mot"]),
        (["une définition; avec, virgule"], ["une définition", "avec, virgule"]),
    ])
    def test_cellules(self, fonction, champ, cellules, attendu):
        entries = [{champ: c} for c in cellules]
        assert fonction(entries) == attendu

    def test_champ_absent_et_liste_vide(self, fonction, champ):
        assert fonction([]) == []
        assert fonction([{"ortho": "chat"}, {}]) == []

    def test_autre_mapping_et_entrees_suivantes_non_lues(self, fonction, champ):
        assert fonction([Entree(**{champ: "p;q"}), "pas une entree"]) == ["p", "q"]
        with pytest.raises(AttributeError):
            fonction(["pas une entree"])


@pytest.mark.parametrize("cellules, attendu", [
    (["Animal domestique.", " Animal domestique. ", "Félin."], ["Animal domestique.", "Félin."]),
    (["Un sens; un autre."], ["Un sens; un autre."]),
    (["", None, 0, "  ", "A", "a", "A"], ["A", "a"]),
    ([12, "12", 12.5], ["12", "12.5"]),
    ([], []),
])
def test_definition(cellules, attendu):
    assert definition([{"definition": c} for c in cellules]) == attendu


@pytest.mark.parametrize("graine", range(3))
def test_differentiel(graine):
    rng = random.Random(graine)
    valeurs = ["", " ", ";", "a", "b ", " a;b", "a;;a", "\t;x;", None, 0, 3, 2.5, True, "é;É"]
    for _ in range(2000):
        entries = []
        for _ in range(rng.randrange(0, 5)):
            e = {}
            for champ in ("synonymes", "antonymes", "definition"):
                if rng.random() < 0.7:
                    e[champ] = rng.choice(valeurs)
            entries.append(e)
        assert synonymes(entries) == liste_reference(entries, "synonymes")
        assert antonymes(entries) == liste_reference(entries, "antonymes")
        assert definition(entries) == definition_reference(entries)


@pytest.mark.parametrize("fonction", [synonymes, antonymes, definition])
@pytest.mark.parametrize("mauvais", [None, (), ({"synonymes": "a"},), "a"])
def test_type_refuse(fonction, mauvais):
    with pytest.raises(TypeError) as e:
        fonction(mauvais)
    assert str(e.value) == (
        "Argument 'entries' has incorrect type (expected list, got %s)" % type(mauvais).__name__)


def test_sous_classe_de_list_refusee():
    class Liste(list):
        pass
    with pytest.raises(TypeError, match="got Liste"):
        synonymes(Liste())


def test_docstrings():
    assert _semantique.__doc__ == "Fonctions de semantique : synonymes, antonymes, definition."
    assert synonymes.__doc__.startswith(
        "synonymes(entries: list[dict]) -> list[str]\n\nParse la colonne 'synonymes' (separateur ;).")
    assert "Retourne [] si colonne absente ou vide." in antonymes.__doc__
    assert definition.__doc__.splitlines()[2] == "Retourne les definitions distinctes."
