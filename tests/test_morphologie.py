import csv
import math
import random
import sqlite3

import pytest

from brivane_lexique import _morphologie
from brivane_lexique._morphologie import _personne_nombre_from_entry, conjuguer, formes_de, lemme_de


def texte(e, champ):
    return str(e.get(champ) or "")


def pn_reference(e):
    p, n = texte(e, "personne"), texte(e, "nombre")
    if p and n:
        return p, n
    if not e.get("multext"):
        return p, n
    tag = str(e["multext"])
    if len(tag) > 4 and not p and tag[4] in ("1", "2", "3"):
        p = tag[4]
    if len(tag) > 5 and not n and tag[5] in ("s", "p"):
        n = tag[5]
    return p, n


def conjuguer_reference(entries):
    table = {}
    for e in entries:
        cg = texte(e, "cgram")
        if not (cg.startswith("VER") or cg.startswith("AUX")):
            continue
        mode, temps, ortho = texte(e, "mode"), texte(e, "temps"), texte(e, "ortho")
        if not mode or not ortho:
            continue
        p, n = pn_reference(e)
        cle = p + n if p and n else p
        table.setdefault(mode, {}).setdefault(temps, {}).setdefault(cle, ortho)
    return table


def formes_reference(entries, cgram=None):
    res, vues = [], set()
    for e in entries:
        if cgram is not None and not texte(e, "cgram").startswith(cgram):
            continue
        o = texte(e, "ortho")
        if o and o.lower() not in vues:
            vues.add(o.lower())
            res.append(e)
    return res


def lemme_reference(entries):
    totaux = {}
    for e in entries:
        lem = texte(e, "lemme")
        if not lem:
            continue
        try:
            f = float(e.get("freq") or 0)
        except (ValueError, TypeError):
            f = 0.0
        totaux[lem] = totaux.get(lem, 0.0) + f
    return max(totaux, key=totaux.get) if totaux else None


class TestPersonneNombre:
    @pytest.mark.parametrize("entree, attendu", [
        ({"personne": "3", "nombre": "", "multext": "Vmip3p"}, ("3", "p")),
        ({"personne": "1", "nombre": "s", "multext": "Vmip3p"}, ("1", "s")),
        ({"multext": "Vmip3s"}, ("3", "s")),
        ({"multext": "Vmn----"}, ("", "")),
        ({"multext": "Vmip2"}, ("2", "")),
        ({"multext": "Vmip"}, ("", "")),
        ({"multext": "VmipSP"}, ("", "")),
        ({"personne": 3, "nombre": None, "multext": "Vmip3S"}, ("3", "")),
        ({"personne": 0, "multext": 0}, ("", "")),
        ({}, ("", "")),
    ])
    def test_extraction(self, entree, attendu):
        assert _personne_nombre_from_entry(entree) == attendu
        assert _personne_nombre_from_entry(entry=entree) == attendu

    @pytest.mark.parametrize("mauvais", [None, [], "Vmip3s"])
    def test_type(self, mauvais):
        with pytest.raises(TypeError) as e:
            _personne_nombre_from_entry(mauvais)
        assert str(e.value) == (
            "Argument 'entry' has incorrect type (expected dict, got %s)" % type(mauvais).__name__)


def verbe(ortho, mode="ind", temps="pre", personne="1", nombre="s", cgram="VER", **autres):
    return dict(ortho=ortho, cgram=cgram, mode=mode, temps=temps, personne=personne,
                nombre=nombre, **autres)


class TestConjuguer:
    def test_premiere_forme_gagne_et_cles(self):
        table = conjuguer([
            verbe("chante"), verbe("chantè"), verbe("chantons", nombre="p"),
            verbe("chanter", mode="inf", temps="", personne="", nombre=""),
            verbe("chantées", mode="par", temps="pas", personne="", nombre="p"),
            verbe("chantera", temps="fut", personne="", nombre="", multext="Vmif3s"),
            verbe("x", cgram="VER:futur", temps="fut", personne="2"),
        ])
        assert table == {
            "ind": {"pre": {"1s": "chante", "1p": "chantons"},
                    "fut": {"3s": "chantera", "2s": "x"}},
            "inf": {"": {"": "chanter"}},
            "par": {"pas": {"": "chantées"}},
        }

    @pytest.mark.parametrize("entree", [
        verbe("chat", cgram="NOM"), verbe("chante", cgram="ver"), verbe("", mode="ind"),
        verbe("chante", mode=""), {"ortho": "chante", "mode": "ind"},
    ])
    def test_entrees_ignorees(self, entree):
        assert conjuguer([entree]) == {}

    def test_entree_non_dict_qualifiee(self):
        class Entree(dict):
            pass
        assert conjuguer([Entree(cgram="NOM")]) == {}
        with pytest.raises(TypeError, match="Argument 'entry'.*got Entree"):
            conjuguer([Entree(verbe("chante"))])

    def test_remplacement_depuis_python(self, monkeypatch):
        monkeypatch.setattr(_morphologie, "_personne_nombre_from_entry", lambda e: ["9", "z"])
        assert conjuguer([verbe("chante")]) == {"ind": {"pre": {"9z": "chante"}}}

    def test_aller_et_etre_lexique_reel(self, petit_tsv):
        index = {}
        with open(petit_tsv, encoding="utf-8-sig", newline="") as f:
            for e in csv.DictReader(f, delimiter="\t"):
                index.setdefault(e["lemme"].lower(), []).append(e)
        for v in ("être", "aller"):
            assert conjuguer(index[v]) == conjuguer_reference(index[v])
        present = conjuguer(index["être"])["ind"]["pre"]
        assert present == {"1s": "suis", "2s": "es", "3s": "est",
                           "1p": "sommes", "2p": "êtes", "3p": "sont"}

    def test_chanter_lexique_reel(self, grand_sqlite):
        con = sqlite3.connect(grand_sqlite)
        con.row_factory = sqlite3.Row
        try:
            lignes = [dict(r) for r in con.execute("SELECT * FROM formes WHERE lemme = 'chanter'")]
        finally:
            con.close()
        table = conjuguer(lignes)
        assert table["ind"]["pre"] == {"1s": "chante", "2s": "chantes", "3s": "chante",
                                       "1p": "chantons", "2p": "chantez", "3p": "chantent"}
        assert table["inf"][""][""] == "chanter"
        assert table == conjuguer_reference(lignes)


class TestFormesDe:
    @pytest.mark.parametrize("cgram, attendu", [
        (None, ["Été", "étés", "beau", "belle"]), ("", ["Été", "étés", "beau", "belle"]),
        ("ADJ", ["beau", "belle"]), ("NOM", ["Été", "étés"]), ("adj", []), ("VER", []),
    ])
    def test_filtre_et_dedoublonnage(self, cgram, attendu):
        entries = [{"ortho": "Été", "cgram": "NOM"}, {"ortho": "été", "cgram": "NOM"},
                   {"ortho": "étés", "cgram": "NOM"}, {"ortho": "beau", "cgram": "ADJ"},
                   {"ortho": "belle", "cgram": "ADJ:num"}, {"ortho": "", "cgram": "ADJ"},
                   {"cgram": "ADJ"}, {"ortho": "BELLE", "cgram": "ADJ"}]
        res = formes_de(entries, cgram)
        assert [e["ortho"] for e in res] == attendu
        assert all(any(r is e for e in entries) for r in res)

    def test_minuscules_unicode(self):
        entries = [{"ortho": "İ"}, {"ortho": "i\u0307"}, {"ortho": "ΟΔΟΣ"}, {"ortho": "οδος"},
                   {"ortho": "οδοσ"}, {"ortho": 12}, {"ortho": "12"}]
        assert formes_de(entries) == formes_reference(entries)
        assert len(formes_de(entries)) == 4

    @pytest.mark.parametrize("mauvais", [b"VER", 1])
    def test_type_cgram(self, mauvais):
        with pytest.raises(TypeError, match="Argument 'cgram'.*expected str"):
            formes_de([], mauvais)


class TestLemmeDe:
    @pytest.mark.parametrize("entries, attendu", [
        ([], None),
        ([{"lemme": ""}, {"lemme": None}, {"freq": 3}], None),
        ([{"lemme": "A", "freq": 10}, {"lemme": "B", "freq": 15}, {"lemme": "A", "freq": 10}], "A"),
        ([{"lemme": "A", "freq": "abc"}, {"lemme": "B", "freq": " 2.5 "}], "B"),
        ([{"lemme": "A", "freq": 1}, {"lemme": "B", "freq": 1.0}], "A"),
        ([{"lemme": "A", "freq": [1]}, {"lemme": "B", "freq": None}, {"lemme": "C"}], "A"),
        ([{"lemme": "A"}, {"lemme": "B", "freq": "1e3"}], "B"),
        ([{"lemme": 7, "freq": 1}], "7"),
    ])
    def test_lemme(self, entries, attendu):
        assert lemme_de(entries) == attendu == lemme_reference(entries)


@pytest.mark.parametrize("graine", range(3))
def test_differentiel(graine, chemins):
    rng = random.Random(graine)
    choix = {
        "ortho": ["chante", "Chante", "CHANTE", "", None, "été", "Été", 5],
        "lemme": ["chanter", "chant", "", None, 3],
        "cgram": ["VER", "AUX", "VER:futur", "NOM", "ver", "", None],
        "mode": ["ind", "sub", "inf", "", None],
        "temps": ["pre", "fut", "", None],
        "personne": ["1", "2", "3", "", None, 3, 0],
        "nombre": ["s", "p", "", None],
        "multext": ["Vmip3s", "Vmip1p", "Vmn----", "Vmi", "", None, 0],
        "freq": [0, 1.5, "2", " 3 ", "x", None, 7, float("inf")],
    }
    for _ in range(1500):
        entries = [{k: rng.choice(v) for k, v in choix.items() if rng.random() < 0.8}
                   for _ in range(rng.randrange(0, 7))]
        assert conjuguer(entries) == conjuguer_reference(entries)
        for cg in (None, "VER", "", "N"):
            assert formes_de(entries, cg) == formes_reference(entries, cg)
        assert lemme_de(entries) == lemme_reference(entries)
        for e in entries:
            assert _personne_nombre_from_entry(e) == pn_reference(e)


@pytest.mark.parametrize("fonction", [conjuguer, formes_de, lemme_de])
@pytest.mark.parametrize("mauvais", [None, (), {}])
def test_type_entries(fonction, mauvais):
    with pytest.raises(TypeError) as e:
        fonction(mauvais)
    assert str(e.value) == (
        "Argument 'entries' has incorrect type (expected list, got %s)" % type(mauvais).__name__)


def test_constantes_et_docstrings():
    assert _morphologie._MULTEXT_POS_PERSONNE == 4 and _morphologie._MULTEXT_POS_NOMBRE == 5
    assert _morphologie._PERSONNE_LABELS == {"1": "1", "2": "2", "3": "3"}
    assert _morphologie._NOMBRE_LABELS == {"s": "s", "p": "p"}
    assert _morphologie.__doc__ == (
        "Fonctions de morphologie : conjugaison, formes flechies, lemmatisation.")
    assert conjuguer.__doc__.startswith(
        "conjuguer(entries: list) -> dict[str, dict[str, dict[str, str]]]\n\n"
        "Table de conjugaison depuis les entrees d'un lemme verbal.\n\n"
        "Ne conserve que les entrees VER ou AUX.\n\n")
    assert "infover" in conjuguer.__doc__
    assert lemme_de.__doc__.startswith(
        "lemme_de(entries: list) -> str | None\n\nLemme le plus frequent parmi les entrees d'un mot.")
    assert formes_de.__doc__.startswith("formes_de(entries: list, cgram: str | None = None)")
    assert _personne_nombre_from_entry.__doc__.endswith(
        "Extrait personne et nombre d'une entree, avec fallback multext.")


# A list handed in again after a change to it or to its entries: every change must
# show in the very next answer.

def lemme_verbe(ortho, freq=1.0, **kw):
    return verbe(ortho, lemme="chanter", freq=freq, **kw)


def entrees_verbe():
    return [lemme_verbe("chante"), lemme_verbe("chantes", personne="2"),
            lemme_verbe("chantons", nombre="p", freq=2.0), lemme_verbe("chantais", temps="imp"),
            lemme_verbe("Chante", cgram="AUX", freq=0.5), dict(ortho="chant", cgram="NOM", lemme="chant", freq=9.0)]


TOUR = [0]


class Texte:
    """A value whose text changes from one round of calls to the next."""

    def __str__(self):
        return "VERchanta%d" % TOUR[0]

    def __bool__(self):
        return True


CHANGEMENTS = {
    "valeur": lambda l: l[0].__setitem__("ortho", "chantai"),
    "cle retiree": lambda l: l[1].pop("mode"),
    "cle ajoutee": lambda l: l[5].__setitem__("mode", "ind"),
    "frequence": lambda l: l[5].__setitem__("freq", 0.0),
    "lemme": lambda l: l[0].__setitem__("lemme", "chanteur"),
    "copie egale": lambda l: l.__setitem__(0, dict(l[0])),
    "ajout": lambda l: l.append(lemme_verbe("chanter", mode="inf", temps="", personne="", nombre="", freq=50.0)),
    "retrait": lambda l: l.pop(0),
    "ordre": lambda l: l.reverse(),
    "vide": lambda l: l.clear(),
    "valeur mobile": lambda l: l[2].__setitem__("ortho", Texte()),
    "cgram mobile": lambda l: l[3].__setitem__("cgram", Texte()),
}

APPELS = {
    "conjuguer": (conjuguer, conjuguer_reference),
    "formes_de": (formes_de, formes_reference),
    "formes_de VER": (lambda l: formes_de(l, "VER"), lambda l: formes_reference(l, "VER")),
    "lemme_de": (lemme_de, lemme_reference),
}


@pytest.mark.parametrize("changement", CHANGEMENTS)
@pytest.mark.parametrize("appel", APPELS)
def test_reponses_suivent_la_liste(appel, changement):
    f, reference = APPELS[appel]
    l = entrees_verbe()
    for _ in range(3):
        assert f(l) == reference(l)
    CHANGEMENTS[changement](l)
    for TOUR[0] in range(3):
        r, attendu = f(l), reference(l)
        assert r == attendu
        if isinstance(r, list):  # the very entries, not equal ones
            assert [id(e) for e in r] == [id(e) for e in attendu]


def test_reponses_neuves_a_chaque_appel():
    l = entrees_verbe()
    tables = [conjuguer(l) for _ in range(4)]
    tables[-1]["ind"]["pre"]["1s"] = "abime"
    tables[-1]["sub"] = {}
    assert conjuguer(l) == conjuguer_reference(l)
    assert len({id(t) for t in tables}) == 4
    assert len({id(t["ind"]["pre"]) for t in tables}) == 4
    formes = [formes_de(l) for _ in range(4)]
    formes[-1].append("abime")
    assert formes_de(l) == formes_reference(l)


def test_formes_selon_cgram_en_alternance():
    l = entrees_verbe()
    for cg in ["VER", None, "AUX", "VER", "", None, "AUX", "N"] * 2:
        assert [id(e) for e in formes_de(l, cg)] == [id(e) for e in formes_reference(l, cg)]


def test_personne_nombre_remplace_puis_remis(monkeypatch):
    l = entrees_verbe()
    for _ in range(3):
        conjuguer(l)
    monkeypatch.setattr(_morphologie, "_personne_nombre_from_entry", lambda e: ("9", "x"))
    assert conjuguer(l)["ind"]["pre"] == {"9x": "chante"}
    monkeypatch.undo()
    assert conjuguer(l) == conjuguer_reference(l)


def test_entree_devenue_sous_classe():
    class Entree(dict):
        pass

    l = entrees_verbe()
    for _ in range(3):
        conjuguer(l)
    l[0] = Entree(l[0])
    with pytest.raises(TypeError, match="Argument 'entry'.*got Entree"):
        conjuguer(l)


# Lists kept side by side without the dict of lemma numbers, and those that leave it:
# more distinct lemmas than it holds, a non-text lemma or frequency after plain entries.
LISTES_LEMMES = [
    [{"lemme": f"l{i}", "freq": float(i % 5)} for i in range(20)],
    [{"lemme": "a", "freq": math.nan}, {"lemme": "b", "freq": 1.0}, {"lemme": "a", "freq": 2.0}],
    [{"lemme": "a", "freq": -0.0}, {"lemme": "b", "freq": 0.0}, {"lemme": "b"}, {"lemme": "a", "freq": None}],
    [{"lemme": "a", "freq": 1.0}, {"lemme": "b", "freq": math.inf}, {"lemme": "c", "freq": -math.inf}],
    [{"lemme": "a", "freq": 1.0}, {"lemme": "b", "freq": 2.0}, {"lemme": 3, "freq": 5.0}],
    [{"lemme": "a", "freq": 1.0}, {"lemme": "b", "freq": "2.5"}],
    [{"lemme": "a", "freq": 1.0}, {"lemme": "", "freq": 9.0}, {"freq": 9.0}, {"lemme": None, "freq": 9.0}],
    # a lemma met before the dict takes over must still be found through it
    [{"lemme": f"l{i}", "freq": 1.0} for i in range(10)] + [{"lemme": "l1", "freq": 0.5}],
]


class Lemme(str):
    """A lemma equal, as a dict key, to any text of the same lower case."""

    def __str__(self):
        return self

    def __hash__(self):
        return hash(self.lower())

    def __eq__(self, autre):
        return str.lower(self) == str.lower(autre)


@pytest.mark.parametrize("suivant", [1, 9])
def test_lemme_sous_classe_comparee_comme_cle_de_dict(chemins, suivant):
    # After `suivant` other lemmas, Lemme("A") adds to "a" (a dict key test), not to a lemma of its own.
    entries = [{"lemme": "a", "freq": 1.0}] + [{"lemme": f"b{i}", "freq": 1.5} for i in range(suivant)]
    entries.append({"lemme": Lemme("A"), "freq": 1.0})
    assert lemme_de(entries) == lemme_reference(entries) == "a"


@pytest.mark.parametrize("entries", LISTES_LEMMES)
def test_lemme_listes_simples_et_non(entries, chemins):
    assert lemme_de(entries) == lemme_reference(entries)


def test_lemme_premier_objet_du_lemme(chemins):
    # Equal texts, distinct objects: the answer is the first object met, as the dict keeps it.
    premier, second = "".join(["cha", "nter"]), "".join(["chan", "ter"])
    entries = [{"lemme": premier, "freq": 1.0}, {"lemme": "autre", "freq": 1.5}, {"lemme": second, "freq": 1.0}]
    assert lemme_de(entries) is premier
