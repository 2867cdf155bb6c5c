"""In-memory word lookups asked again after the index, its lists or its entries changed.

The lookups remember their answers per word between calls; whatever a program does to
the index in between, every answer must be the one a fresh reading of the index gives.
"""

import pytest

from brivane_lexique import _morphologie, _semantique, lexique
from brivane_lexique.lexique import Lexique
from fabrique_lexiques import ecrire

MOTS = ["chante", "Chante", "chant", "chanter", "été", "sans", "zut", "inconnu"]
SENS = ["synonymes", "antonymes", "definition"]
LEMMES = [("chanter", None), ("chanter", "VER"), ("Chanter", "VER"), ("chant", None), ("inconnu", "VER")]
# Each pronunciation asked with one person and number (a record remembers one pair).
VERBES = [(["ʃɑ̃t", "ɛ"], "3", "s"), (["ʃɑ̃tɔ̃", "inconnu", "ʃɑ̃tɔ̃"], "1", "p"), (["ete", "ʃɑ̃te"], "", "")]


def verbes_attendus(ip, phones, personne, nombre):
    res, vus = [], set()
    for ph in phones:
        for e in ip.get(ph, []):
            if e.get("cgram", "") not in ("VER", "AUX") or e.get("personne", "") != personne:
                continue
            if (nombre and e.get("nombre", "") != nombre) or e.get("ortho") is None:
                continue
            if e["ortho"].lower() not in vus:
                vus.add(e["ortho"].lower())
                res.append(e)
    res.sort(key=lambda e: -float(e.get("freq", 0)))
    return [id(e) for e in res]


def attendus(lex):
    """Each lookup computed afresh on the current indexes, without the object's memory."""
    io, il = lex._get_index_ortho(), lex._get_index_lemme()
    norm = lexique.normaliser_ortho
    res = {}
    for mot in MOTS:
        entrees = io.get(norm(mot), [])
        freqs = [float(e.get("freq", 0)) for e in entrees]
        avec_phone = sorted(((e["phone"], float(e.get("freq", 0))) for e in entrees if e.get("phone")),
                            key=lambda c: -c[1])
        res[mot] = ([id(e) for e in entrees], max(freqs) if freqs else 0.0,
                    avec_phone[0][0] if avec_phone else None, _morphologie.lemme_de(list(entrees)),
                    *(getattr(_semantique, s)(list(entrees)) for s in SENS))
    for lemme, cgram in LEMMES:
        res[(lemme, cgram)] = [id(e) for e in _morphologie.formes_de(list(il.get(norm(lemme), [])), cgram)]
        res[lemme] = repr(_morphologie.conjuguer(list(il.get(norm(lemme), []))))  # order included
    for i, demande in enumerate(VERBES):
        res["verbes", i] = verbes_attendus(lex._get_index_phone(), *demande)
    return res


def obtenus(lex):
    # Each method asks its own spelling of the word (padded with its own number of
    # spaces, which the key drops): what it remembers is then its own, and a change
    # must be seen by every method, not only by the first one to ask after it.
    def f(rang, methode, mot, *reste):
        return getattr(lex, methode)(" " * rang + mot, *reste)

    res = {}
    for mot in MOTS:
        res[mot] = ([id(e) for e in f(0, "info", mot)], f(1, "frequence", mot), f(2, "phone_de", mot),
                    f(3, "lemme_de", mot), *(f(4 + i, s, mot) for i, s in enumerate(SENS)))
    for lemme, cgram in LEMMES:
        res[(lemme, cgram)] = [id(e) for e in f(0, "formes_de", lemme, cgram)]
        res[lemme] = repr(f(1, "conjuguer", lemme))
    for i, demande in enumerate(VERBES):
        res["verbes", i] = [id(e) for e in lex.verbes_par_phone_et_personne(*demande)]
    return res


@pytest.fixture
def lex(tmp_path):
    lex = Lexique(ecrire(tmp_path, "tsv"))
    obtenus(lex)
    obtenus(lex)  # everything asked twice: the answers are remembered
    return lex


def _entree(io, mot, i=0):
    return io[mot][i]


CHANGEMENTS = {
    "frequence d'une entree": lambda io, il: _entree(io, "chante").__setitem__("freq", 1e9),
    "frequence retiree": lambda io, il: [e.pop("freq") for e in io["chante"]],
    "frequence en texte": lambda io, il: _entree(io, "chant").__setitem__("freq", "75"),
    "prononciation": lambda io, il: _entree(io, "chante", 2).__setitem__("phone", "X"),
    "prononciation videe": lambda io, il: [e.__setitem__("phone", "") for e in io["chante"]],
    "lemme": lambda io, il: _entree(io, "chante").__setitem__("lemme", "autre"),
    "orthographe dans l'index des lemmes": lambda io, il: il["chanter"][1].__setitem__("ortho", "CHANTONS"),
    "categorie dans l'index des lemmes": lambda io, il: il["chanter"][1].__setitem__("cgram", "NOM"),
    "entree ajoutee": lambda io, il: io["chante"].append(dict(io["chante"][0], freq=5e9, phone="Y", lemme="Z")),
    "entree retiree": lambda io, il: io["chante"].pop(0),
    "liste retournee": lambda io, il: io["été"].reverse(),
    "entree remplacee": lambda io, il: io["chante"].__setitem__(0, dict(io["chante"][0], freq=3e9)),
    "liste videe": lambda io, il: il["chanter"].clear(),
    "liste remplacee": lambda io, il: io.__setitem__("chant", [dict(io["chant"][0], freq=1.5)]),
    "cle retiree": lambda io, il: io.pop("sans"),
    "cle ajoutee": lambda io, il: io.__setitem__("inconnu", [dict(io["zut"][0], ortho="inconnu")]),
    "lemme ajoute": lambda io, il: il.__setitem__("inconnu", [dict(il["chanter"][0], ortho="inconnu")]),
    "personne dans l'index des lemmes": lambda io, il: il["chanter"][2].__setitem__("personne", "2"),
    "etiquette dans l'index des lemmes": lambda io, il: il["chanter"][8].__setitem__("multext", "Vmii2p"),
    "temps dans l'index des lemmes": lambda io, il: il["chanter"][1].__setitem__("temps", "imp"),
    "synonymes": lambda io, il: _entree(io, "chant").__setitem__("synonymes", "air;  ;refrain"),
    "synonymes vides": lambda io, il: _entree(io, "chanter").__setitem__("synonymes", ""),
    "antonymes retires": lambda io, il: _entree(io, "chant").pop("antonymes"),
    "definition": lambda io, il: _entree(io, "chant", 1).__setitem__("definition", "Autre."),
    "change puis remis": lambda io, il: [io["chante"][0].__setitem__("freq", v) for v in (1e9, io["chante"][0]["freq"])],
}


@pytest.mark.parametrize("changement", CHANGEMENTS.values(), ids=CHANGEMENTS.keys())
def test_les_reponses_suivent_l_index(lex, changement):
    changement(lex._get_index_ortho(), lex._get_index_lemme())
    assert obtenus(lex) == attendus(lex)
    assert obtenus(lex) == attendus(lex)


def test_index_remplace(lex):
    copie = {k: [dict(e) for e in v] for k, v in lex._get_index_ortho().items()}
    copie["chante"][0]["freq"] = 7e9
    lex._index_ortho = copie
    assert obtenus(lex) == attendus(lex)
    assert lex.frequence("chante") == 7e9


class Frequence(float):
    """A frequency whose value, as float() reads it, changes on every reading."""

    lectures = 0

    def __float__(self):
        Frequence.lectures += 1
        return 1000.0 + Frequence.lectures


def test_valeurs_non_figees_relues_a_chaque_appel(lex):
    entree = lex._get_index_ortho()["zut"][0]
    entree["freq"] = Frequence(0)
    vues = {lex.frequence("zut") for _ in range(3)}
    assert len(vues) == 3 and min(vues) > 1000
    verbe = lex._get_index_phone()["ʃɑ̃t"][1]
    verbe["freq"] = Frequence(0)
    avant = Frequence.lectures
    for _ in range(3):
        assert lex.verbes_par_phone_et_personne(["ɛ", "ʃɑ̃t"], "3", "s")[0] is verbe
    assert Frequence.lectures - avant == 3


def test_verbes_pour_une_autre_personne(lex):
    ip = lex._get_index_phone()
    for personne, nombre in [("3", "s"), ("3", "s"), ("3", ""), ("3", ""), ("1", "s"), ("1", "s"), ("3", "s")]:
        for phones in (["ʃɑ̃t", "ɛ"], ["ɛ", "ʃɑ̃t"]):
            assert [id(e) for e in lex.verbes_par_phone_et_personne(phones, personne, nombre)] == \
                verbes_attendus(ip, phones, personne, nombre)


def test_reponses_neuves_a_chaque_appel(lex):
    premiere = lex.synonymes("chant")
    premiere.append("ajout")
    assert lex.synonymes("chant") == ["mélodie", "air"] and lex.synonymes("chant") is not premiere
    table = lex.conjuguer("chanter")
    table["ind"]["pre"]["1s"] = "change"
    table.pop("sub")
    assert lex.conjuguer("chanter") == _morphologie.conjuguer(lex._get_index_lemme()["chanter"])


def test_changement_pendant_le_calcul(lex):
    # The value read first changes the entry it belongs to, and asks again from within:
    # the answer computed from the old state is the right one for that call, never for
    # the next.
    io = lex._get_index_ortho()
    entree = io["chant"][0]

    class Piege(float):
        def __float__(self):
            entree["freq"] = 99.0
            entree["phone"] = "piege"
            lex.frequence("chant")  # asked again from within, on the new state
            return 1.0

    entree["freq"] = Piege(0)
    lex.frequence("chant")
    assert lex.frequence("chant") == 99.0 and lex.phone_de("chant") == "piege"
    assert obtenus(lex) == attendus(lex)


def test_normaliser_et_morphologie_remplaces_apres_coup(lex, monkeypatch):
    monkeypatch.setattr(lexique, "normaliser_ortho", lambda s: "chant")
    assert lex.frequence("chante") == 12.0 and lex.phone_de("Chante") == "ʃɑ̃"
    assert lex.formes_de("chante") == _morphologie.formes_de(lex._get_index_lemme()["chant"])
    monkeypatch.undo()
    monkeypatch.setattr(_morphologie, "lemme_de", lambda entrees: "remplace")
    monkeypatch.setattr(_morphologie, "formes_de", lambda entrees, cgram=None: ["remplace"])
    monkeypatch.setattr(_semantique, "synonymes", lambda entrees: ["remplace"])
    assert lex.lemme_de("chante") == "remplace" and lex.formes_de("chanter") == ["remplace"]
    assert lex.synonymes("chant") == ["remplace"]
    monkeypatch.undo()
    assert obtenus(lex) == attendus(lex)


def test_reel(grand_tsv):
    # A slice of the real lexicon asked twice around changes, after more distinct words
    # than the lookups remember have been asked twice.
    lex = Lexique(grand_tsv)
    io = lex._get_index_ortho()
    tous = list(io)[:100_000]
    for _ in range(2):
        assert [lex.frequence(m) for m in tous[::7]] == [max(float(e["freq"]) for e in io[m]) for m in tous[::7]]
        for m in tous:
            lex.info(m)
    mots = list(io)[::97]
    premiers = [(lex.frequence(m), lex.phone_de(m), lex.lemme_de(m)) for m in mots]
    for m in mots[::3]:
        io[m][-1]["freq"] = 1e12
        io[m][-1]["phone"] = "nouveau"
    seconds = [(lex.frequence(m), lex.phone_de(m), lex.lemme_de(m)) for m in mots]
    for i, m in enumerate(mots):
        if i % 3:
            assert seconds[i] == premiers[i]
        else:
            assert seconds[i][:2] == (1e12, "nouveau")


PHONES = ["ʃɑ̃t", "ʃɑ̃", "ete", "inconnu"]
CHANGEMENTS_PHONE = {
    "entree retiree": lambda ip: ip["ʃɑ̃t"].pop(0),
    "entree ajoutee": lambda ip: ip["ʃɑ̃"].append({"ortho": "chang", "freq": 1.0}),
    "liste remplacee": lambda ip: ip.__setitem__("ete", []),
    "cle ajoutee": lambda ip: ip.__setitem__("inconnu", [{"ortho": "x"}]),
    "index remplace": lambda ip: None,
    "verbe ajoute": lambda ip: ip["ɛ"].append({"ortho": "Chante", "cgram": "VER", "personne": "3", "freq": 1e6}),
    "personne changee": lambda ip: ip["ʃɑ̃t"][1].__setitem__("personne", "1"),
    "orthographe retiree": lambda ip: ip["ʃɑ̃t"][1].pop("ortho"),
    "frequence entiere": lambda ip: ip["ɛ"][0].__setitem__("freq", 10**6),
    "frequence egale": lambda ip: ip["ɛ"][0].__setitem__("freq", 50.0),
}


@pytest.mark.parametrize("changement", CHANGEMENTS_PHONE.values(), ids=CHANGEMENTS_PHONE.keys())
def test_homophones_suivent_l_index(lex, changement):
    for _ in range(3):
        [lex.homophones(p) for p in PHONES]
        [lex.verbes_par_phone_et_personne(*d) for d in VERBES]
    ip = lex._get_index_phone()
    if changement is CHANGEMENTS_PHONE["index remplace"]:
        ip = lex._index_phone = {k: v[:1] for k, v in ip.items()}
    changement(ip)
    for _ in range(2):
        assert [[id(e) for e in lex.homophones(p)] for p in PHONES] == [[id(e) for e in ip.get(p, [])] for p in PHONES]
        assert [[id(e) for e in lex.verbes_par_phone_et_personne(*d)] for d in VERBES] == \
            [verbes_attendus(ip, *d) for d in VERBES]
