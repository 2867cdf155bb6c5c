"""Rhymes, sound containment and syllable selection over phone and ortho indexes."""
import random
import unicodedata

import pytest

from brivane_lexique import _utils


def segmenter_reference(texte):
    """Combining marks, length marks and modifier letters stay with their phoneme."""
    segs, lier = [], False
    for c in texte:
        cp = ord(c)
        attache = lier or unicodedata.category(c) in ("Mn", "Mc", "Me") or cp in (0x2D0, 0x2D1) \
            or 0x2B0 <= cp <= 0x2B8 or 0x2E0 <= cp <= 0x2E4
        if attache and segs:
            segs[-1] += c
        else:
            segs.append(c)
        lier = cp in (0x361, 0x35C)
    return segs


if not hasattr(_utils, "_tokenize_ipa"):  # builds whose text utilities lack it still test this module
    _utils._tokenize_ipa = segmenter_reference

from brivane_lexique import _phonetique  # noqa: E402
from brivane_lexique import _recherche  # noqa: E402
from test_recherche import cle_freq, cle_ortho, meme_objets, ref_nb_syllabes, ref_rechercher  # noqa: E402


def trier(res, limite):
    return sorted(res, key=cle_freq)[:limite]


def garder(entrees, vus, res):
    for e in entrees:
        k = cle_ortho(e)
        if k and k not in vus:
            vus.add(k)
            res.append(e)


def ref_rimes(index, mot_phone, nb_phonemes=2, limite=50, tok=None):
    tok = tok or _phonetique._tokenize_ipa
    if not mot_phone:
        return []
    segments = tok(mot_phone)
    if len(segments) < nb_phonemes:
        return []
    suffixe = segments[-nb_phonemes:]
    res, vus = [], set()
    for phone, entrees in index.items():
        ps = tok(phone)
        if len(ps) >= nb_phonemes and ps[-nb_phonemes:] == suffixe:
            garder(entrees, vus, res)
    return trier(res, limite)


def ref_contient_son(index, son, limite=50):
    res, vus = [], set()
    for phone, entrees in index.items():
        if son and son in phone:
            garder(entrees, vus, res)
    return trier(res, limite)


def ref_mots_par_syllabes(index, n, cgram=None, limite=50):
    res, vus = [], set()
    for entrees in index.values():
        garder([e for e in entrees if (cgram is None or str(e.get("cgram") or "").startswith(cgram))
                and ref_nb_syllabes(e) == n], vus, res)
    return trier(res, limite)


def E(ortho, freq=1.0, **kw):
    return {"ortho": ortho, "freq": freq, **kw}


PHONES = {"ʃa": [E("chat", 5.0)], "ʁa": [E("rat", 9.0), E("Rat", 1.0)], "ʃɔ": [E("chaud", 20.0)],
          "pʁɑ̃": [E("prend", 3.0)], "ɑ̃": [E("an", 2.0), {"phone": "ɑ̃", "freq": 99.0}], "a": [E("a", 0.5)],
          "tʁɑ̃": [E("trans", 1.0)]}


@pytest.mark.parametrize("mot, n, attendu", [
    ("ʃa", 1, ["rat", "chat", "a"]), ("ʃa", 2, ["chat"]), ("", 2, []), ("a", 2, []),
    ("ʁɑ̃", 2, ["prend", "trans"]), ("ʁɑ̃", 1, ["prend", "an", "trans"]), ("pʁɑ̃", 0, ["prend"]),
    ("xʃa", -1, []), ("ʃa", -5, ["chaud", "rat", "chat", "prend", "an", "trans", "a"]),
])
def test_rimes(mot, n, attendu):
    assert [e["ortho"] for e in _phonetique.rimes(PHONES, mot, n)] == attendu
    assert [e["ortho"] for e in ref_rimes(PHONES, mot, n)] == attendu


@pytest.mark.parametrize("son, attendu", [("ɑ̃", ["prend", "an", "trans"]), ("", []), ("ʁ", ["rat", "prend", "trans"]),
                                          ("A", []), ("̃", ["prend", "an", "trans"])])
def test_contient_son(son, attendu):
    assert [e["ortho"] for e in _phonetique.contient_son(PHONES, son)] == attendu


ORTHOS = {"ami": [E("ami", 3.0, cgram="NOM", syllabes="a.mi"), E("Ami", 9.0, cgram="ADJ", nb_syllabes=2)],
          "mer": [E("mer", 5.0, cgram="NOM", syllabes="mɛʁ")], "x": [{"cgram": "NOM", "nb_syllabes": 2}],
          "chanter": [E("chanter", 4.0, cgram="VER:inf", nb_syllabes="2"), E("chanter", 1.0, cgram="NOM")]}


@pytest.mark.parametrize("n, cgram, attendu", [
    (2, None, ["chanter", "ami"]), (2, "NOM", ["ami"]), (2, "", ["chanter", "ami"]), (1, "NOM", ["mer"]),
    (2, "ADJ", ["Ami"]), (2, "VER", ["chanter"]), (3, None, []), (2.9, "N", ["ami"]),
])
def test_mots_par_syllabes(n, cgram, attendu):
    assert [e["ortho"] for e in _phonetique.mots_par_syllabes(ORTHOS, n, cgram)] == attendu


@pytest.mark.parametrize("appel", [
    lambda: _phonetique.rimes(PHONES, "ʃa", limite=0), lambda: _phonetique.contient_son(PHONES, "a", 0),
    lambda: _phonetique.mots_par_syllabes(ORTHOS, 2, limite=0)])
def test_limite_zero(appel):
    assert appel() == []


@pytest.mark.parametrize("appel, nom, attendu", [
    (lambda: _phonetique.rimes([], "a"), "phone_index", "dict"), (lambda: _phonetique.rimes({}, None), "mot_phone", "str"),
    (lambda: _phonetique.rimes({}, "a", "2"), "nb_phonemes", "int"), (lambda: _phonetique.contient_son({}, 1), "son", "str"),
    (lambda: _phonetique.mots_par_syllabes({}, None), "n", "int"),
    (lambda: _phonetique.mots_par_syllabes({}, 2, b"N"), "cgram", "str"),
    (lambda: _phonetique._get_nb_syllabes(None), "entry", "dict"),
])
def test_erreurs_de_type(appel, nom, attendu):
    with pytest.raises(TypeError, match=rf"Argument '{nom}' has incorrect type \(expected {attendu}, got "):
        appel()


def test_tokenizer_remplace_est_appele_comme_prevu(monkeypatch):
    appels = []

    def tok(t):
        appels.append(t)
        return list(t)  # one code point per segment: ɑ̃ is two segments here
    monkeypatch.setattr(_phonetique, "_tokenize_ipa", tok)
    res = _phonetique.rimes(PHONES, "xɑ̃", 2)
    assert appels == ["xɑ̃"] + list(PHONES)
    assert meme_objets(res, ref_rimes(PHONES, "xɑ̃", 2, tok=tok))
    monkeypatch.setattr(_phonetique, "_tokenize_ipa", lambda t: {t})
    with pytest.raises(TypeError, match="'set' object is unsliceable"):
        _phonetique.rimes(PHONES, "a", 1)
    monkeypatch.setattr(_phonetique, "_tokenize_ipa", lambda t: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        _phonetique.rimes(PHONES, "a", 1)


@pytest.mark.parametrize("forme", [list, tuple])
@pytest.mark.parametrize("n", [1, 3, 4, 0, -1, -10 ** 20])
def test_rimes_tokenizer_remplace_longueurs(monkeypatch, forme, n):
    # Through a replaced tokenizer a reference too short answers nothing without
    # segmenting any key; otherwise every key is segmented and compared by its slice.
    appels = []

    def tok(t):
        appels.append(t)
        return forme(t)
    monkeypatch.setattr(_phonetique, "_tokenize_ipa", tok)
    res = _phonetique.rimes(PHONES, "pʁa", n, 100)
    assert appels == (["pʁa"] if n > 3 else ["pʁa"] + list(PHONES))
    assert meme_objets(res, ref_rimes(PHONES, "pʁa", n, 100, tok=forme))


@pytest.mark.parametrize("cgram", [None, "", "N", "NOM", "NOMS", "n", "É", "ÉTR:x", "\U0001F600", "\U0001F600a"])
def test_mots_par_syllabes_prefixe_repete(chemins, cgram):
    # From the second call the part of speech is tested on remembered code points:
    # the answers of str.startswith, whatever the width of the characters.
    index = {f"m{i}": [E(f"m{i}", float(i), cgram=c, nb_syllabes=2)]
             for i, c in enumerate(["NOM", "NOMS", "ÉTR", "\U0001F600a", "nom", "", None, "N", "É"])}
    for _ in range(3):
        assert meme_objets(_phonetique.mots_par_syllabes(index, 2, cgram, 100),
                           ref_mots_par_syllabes(index, 2, cgram, 100))


def test_get_nb_syllabes_remplace(monkeypatch):
    monkeypatch.setattr(_phonetique, "_get_nb_syllabes", lambda e: 7)
    assert len(_phonetique.mots_par_syllabes(ORTHOS, 7)) == 3


SONS = ["a", "ɑ̃", "ʃ", "ʁ", "e", "ɛ", "t͡s", "oː", "i", "pʰ"]


@pytest.mark.parametrize("graine", range(10))
def test_differentiel_aleatoire(graine):
    rng = random.Random(graine)
    phones, orthos = {}, {}
    for _ in range(150):
        phone = "".join(rng.choice(SONS) for _ in range(rng.randint(0, 4)))
        e = E(rng.choice(["ab", "Ab", "ba", "c", "dé", "Dé", "", "ef"]) + str(rng.randint(0, 9)),
              rng.choice([1.0, 2.0, 2.0, 0, "3", None]), cgram=rng.choice(["NOM", "VER", None, ""]),
              nb_syllabes=rng.choice(["2", 1, 0, None, "x"]), syllabes=rng.choice(["a.b", "a", None]))
        phones.setdefault(phone, []).append(e)
        orthos.setdefault(e["ortho"], []).append(e)
    for _ in range(2):  # the second round answers from remembered segmentations
        for mot in list(phones)[:8] + ["", "ɑ̃t͡s"]:
            for n in (1, 2, 3, 0, -1):
                assert meme_objets(_phonetique.rimes(phones, mot, n, 20), ref_rimes(phones, mot, n, 20))
        for son in SONS + ["ʃa", "̃", "x"]:
            assert meme_objets(_phonetique.contient_son(phones, son, -2), ref_contient_son(phones, son, -2))
        for n in (0, 1, 2):
            for cgram in (None, "", "NOM", "V"):
                assert meme_objets(_phonetique.mots_par_syllabes(orthos, n, cgram, 30),
                                   ref_mots_par_syllabes(orthos, n, cgram, 30))


# What the queries remember between calls (segmentations, key texts, per-entry
# values) must never outlive a change of the index or of an entry.
def construire_index(graine):
    rng = random.Random(graine)
    phones, orthos = {}, {}
    for i in range(80):
        phone = "".join(rng.choice(SONS) for _ in range(rng.randint(1, 4)))
        e = E(rng.choice(["ab", "Ab", "ba", "dé", "ef"]) + str(i % 13), rng.choice([1.0, 2.0, 5.0]),
              cgram=rng.choice(["NOM", "VER"]), nb_syllabes=rng.choice(["1", "2", 3]), phone=phone)
        phones.setdefault(phone, []).append(e)
        orthos.setdefault(e["ortho"].lower(), []).append(e)
    return phones, orthos


class Texte(str):
    """A str subclass: never remembered, always read again."""


class Freq:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


MUTATIONS = {
    "freq d'une entree": lambda ph, ot, e: e.__setitem__("freq", 1000.0),
    "freq texte": lambda ph, ot, e: e.__setitem__("freq", " 999 "),
    "freq objet": lambda ph, ot, e: e.__setitem__("freq", Freq(998.0)),
    "ortho d'une entree": lambda ph, ot, e: e.__setitem__("ortho", "ZZ"),
    "ortho sous-classe": lambda ph, ot, e: e.__setitem__("ortho", Texte("Yy")),
    "ortho retiree": lambda ph, ot, e: e.pop("ortho"),
    "cgram": lambda ph, ot, e: e.__setitem__("cgram", "ADJ"),
    "syllabes": lambda ph, ot, e: e.update(nb_syllabes=None, syllabes="a.b.c.d"),
    "entree remplacee": lambda ph, ot, e: ph[e["phone"]].__setitem__(0, E("neuf", 50.0, nb_syllabes=2)),
    "entree ajoutee": lambda ph, ot, e: ph[e["phone"]].append(E("autre", 40.0, nb_syllabes=2)),
    "liste videe": lambda ph, ot, e: ph[e["phone"]].clear(),
    "cle ajoutee": lambda ph, ot, e: ph.setdefault("ɑ̃ʃa", [E("nouveau", 30.0, nb_syllabes=2)]),
    "cle retiree": lambda ph, ot, e: ph.pop(e["phone"]),
    "valeur remplacee": lambda ph, ot, e: ph.__setitem__(e["phone"], [E("remplace", 20.0)]),
    "liste ortho remplacee": lambda ph, ot, e: ot.__setitem__(next(iter(ot)), [E("q", 60.0, nb_syllabes=2)]),
}


def requetes(phones, orthos):
    return [
        ("rimes", lambda: _phonetique.rimes(phones, "ɑ̃ʃa", 1), lambda: ref_rimes(phones, "ɑ̃ʃa", 1)),
        ("rimes 2", lambda: _phonetique.rimes(phones, "t͡sa", 2, 100), lambda: ref_rimes(phones, "t͡sa", 2, 100)),
        ("son", lambda: _phonetique.contient_son(phones, "a", 100), lambda: ref_contient_son(phones, "a", 100)),
        ("syll", lambda: _phonetique.mots_par_syllabes(orthos, 2, None, 100),
         lambda: ref_mots_par_syllabes(orthos, 2, None, 100)),
        ("syll NOM", lambda: _phonetique.mots_par_syllabes(orthos, 4, "N", 100),
         lambda: ref_mots_par_syllabes(orthos, 4, "N", 100)),
    ]


@pytest.mark.parametrize("mutation", list(MUTATIONS))
def test_caches_suivent_les_modifications(chemins, mutation):
    phones, orthos = construire_index(3)
    for _, cpp, ref in requetes(phones, orthos):
        assert meme_objets(cpp(), ref())
    victime = next(e for l in phones.values() for e in l if e["ortho"][-1] in "0123")
    MUTATIONS[mutation](phones, orthos, victime)
    for nom, cpp, ref in requetes(phones, orthos):
        assert meme_objets(cpp(), ref()), nom


def test_nouvel_index_a_la_meme_adresse():
    # A dict freed and another made in its place must not be taken for the old one.
    for graine in range(30):
        phones, orthos = construire_index(graine)
        for nom, cpp, ref in requetes(phones, orthos):
            assert meme_objets(cpp(), ref()), (graine, nom)
        del phones, orthos


def test_modification_pendant_le_parcours():
    # A spelling whose text form changes the index: the scan goes on with what the
    # host's iteration would see, or raises as it does.
    def construire(action):
        class Piege(str):
            def __str__(self):
                action(index)
                return str.__str__(self)
        index = {"ʃa": [E(Piege("Chat"), 1.0)], "ʁa": [E("rat", 2.0)], "ta": [E("ta", 3.0)]}
        return index

    def remplacer(i):
        i["ta"] = [E("tas", 9.0)]
    for cpp, ref in [(lambda i: _phonetique.rimes(i, "a", 1), lambda i: ref_rimes(i, "a", 1)),
                     (lambda i: _phonetique.contient_son(i, "a"), lambda i: ref_contient_son(i, "a"))]:
        attendu = [e["ortho"] for e in ref(construire(remplacer))]
        assert attendu == ["tas", "rat", "Chat"]
        assert [e["ortho"] for e in cpp(construire(remplacer))] == attendu
        with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
            cpp(construire(lambda i: i.setdefault("x" + str(len(i)), [])))


@pytest.mark.parametrize("requete", [lambda i: _phonetique.contient_son(i, "a"),
                                     lambda i: _phonetique.rimes(i, "a", 1)])
def test_frequence_changee_par_une_entree_suivante(chemins, requete):
    # An entry kept from its record is ordered by its frequency as it is when the
    # results are ordered, even if a later entry's text form changed it meanwhile.
    premiere = E("bas", 1.0)

    class Piege(str):
        def __str__(self):
            premiere["freq"] = 50.0
            return str.__str__(self)
    index = {"ba": [premiere], "ʁa": [E(Piege("rat"), 2.0)], "ta": [E("ta", 3.0)]}
    assert [e["ortho"] for e in requete(index)] == ["bas", "ta", "rat"]


# Repeated rhyme queries answer from keys grouped by their final segments, one
# grouping per index state and nb_phonemes: every state change below must be seen.
ETAPES_RIMES = [
    lambda ph: None,
    lambda ph: ph.setdefault("ʁɑ̃ʃa", [E("ajout", 7.0)]),
    lambda ph: ph[next(iter(ph))].append(E("liste", 8.0)),
    lambda ph: next(iter(ph.values()))[0].__setitem__("freq", 500.0),
    lambda ph: next(iter(ph.values()))[0].__setitem__("ortho", "ZZZ"),
    lambda ph: ph.pop(next(iter(ph))),
    lambda ph: ph.__setitem__(list(ph)[-1], [E("valeur", 3.0)]),
    lambda ph: ph[list(ph)[1]].clear(),
]


@pytest.mark.parametrize("graine", range(3))
def test_rimes_repetees_apres_modifications(graine):
    phones, _ = construire_index(graine)
    mots = [p for p in phones][:4] + ["t͡sa", "a", "ɑ̃ʃa"]
    for etape in ETAPES_RIMES:
        etape(phones)
        # more nb_phonemes values than groupings kept: some are rebuilt
        for n in (2, 1, 0, -1, -2, 3, 4, -10 ** 20, 2):
            for mot in mots:
                assert meme_objets(_phonetique.rimes(phones, mot, n, 30), ref_rimes(phones, mot, n, 30)), (mot, n)


def test_rimes_cle_sous_classe_refusee_par_le_segmenteur():
    phones, _ = construire_index(1)
    for n in (1, 2, 1):
        _phonetique.rimes(phones, "ɑ̃ʃa", n)
        phones[Texte("ʁʁʁʁʁa")] = [E("sous-classe", 6.0)]
        for f in (_phonetique.rimes, ref_rimes):
            with pytest.raises(TypeError, match="expected str, got Texte"):
                f(phones, "ɑ̃ʃa", n)
        phones.pop("ʁʁʁʁʁa")
        assert meme_objets(_phonetique.rimes(phones, "ɑ̃ʃa", n), ref_rimes(phones, "ɑ̃ʃa", n))


def test_rimes_tokenizer_remplace_puis_rendu(monkeypatch):
    phones, _ = construire_index(5)
    attendu = ref_rimes(phones, "ʃa", 1)
    assert meme_objets(_phonetique.rimes(phones, "ʃa", 1), attendu)  # grouping built
    appels = []

    def tok(t):
        appels.append(t)
        return list(t)
    monkeypatch.setattr(_phonetique, "_tokenize_ipa", tok)
    res = _phonetique.rimes(phones, "ʃa", 1)
    assert appels == ["ʃa"] + list(phones)
    assert meme_objets(res, ref_rimes(phones, "ʃa", 1, tok=tok))
    monkeypatch.undo()
    assert meme_objets(_phonetique.rimes(phones, "ʃa", 1), attendu)


@pytest.mark.parametrize("son", ["bc", "b", "cb", "abc", "cx", "aa", "ca", "bcbx", "c"])
def test_contient_son_ne_franchit_pas_les_cles(son):
    # The keys' texts are searched laid end to end: a sound spanning two keys (or an
    # empty key, or a key that is not text) must not count.
    index = {"ab": [E("k1")], "c": [E("k2")], "": [E("k3")], "bcb": [E("k4")], ("b", "c"): [E("k5")], "xbc": [E("k6")],
             "aaa": [E("k7")], "ca": [E("k8")]}
    assert meme_objets(_phonetique.contient_son(index, son, 100), ref_contient_son(index, son, 100))


def test_mots_par_syllabes_grand_index_suit_les_modifications():
    """A large index, its entries answered from remembered records from the second call
    on: the plain loop's answers as entries change between calls and, through Python code the
    scan runs, during a call."""
    rng = random.Random(9)
    index = {}
    for i in range(55000):
        index[f"k{i}"] = [E(f"K{i}x{j}", rng.choice([1.0, 2.5, "3", None]), cgram=rng.choice(["NOM", "VER", "ADJ"]),
                            nb_syllabes=rng.choice([1, 2, "3", None]), syllabes=rng.choice(["a.b", "a", None]))
                          for j in range(2)]
    requetes = [(2, None), (3, "V"), (1, "ADJ")]

    def verifier():
        for n, cgram in requetes:
            obtenu = _phonetique.mots_par_syllabes(index, n, cgram, 10**6)
            assert meme_objets(obtenu, ref_mots_par_syllabes(index, n, cgram, 10**6)), (n, cgram)

    verifier()
    verifier()  # now from the remembered values
    index["k10"][0].update(cgram="VERBE", nb_syllabes=3)
    index["k20000"].append(E("neuf", 9.0, cgram="VER", nb_syllabes="3"))
    index["k30000"][1]["ortho"] = "Autre"
    del index["k40000"][0]["nb_syllabes"]
    tard = index["k50000"][0]
    tard.update(cgram="NOM", nb_syllabes=3)
    verifier()

    class Piege(str):
        def startswith(self, prefixe):
            tard["cgram"] = "VER"
            return str.startswith(self, prefixe)
    index["k5"][0]["cgram"] = Piege("VER")
    resultat = _phonetique.mots_par_syllabes(index, 3, "V", 10**6)
    assert any(e is tard for e in resultat)
    assert meme_objets(resultat, ref_mots_par_syllabes(index, 3, "V", 10**6))


# Scans of every entry and rhyme groups read one table per index or group, proved by
# one seal over its entries and a copy of its lists: a change to an entry anywhere in
# a list (not only the first), or to the list, must be seen by the next call, and a
# table rebuilt after it must answer as the plain loop does.
TOUTES_POSITIONS = {
    "valeur d'une suivante": lambda l: l[-1].update(ortho="abx", phone="ɑ̃ʃa", freq=70.0),
    "suivante remplacee": lambda l: l.__setitem__(-1, E("ab99", 60.0, cgram="NOM", nb_syllabes=2, phone="ʃa")),
    "suivante retiree": lambda l: l.pop(),
    "liste allongee": lambda l: l.insert(1, E("ba77", 80.0, cgram="NOM", nb_syllabes=2, phone="ɑ̃ʃa")),
    "valeur vivante": lambda l: l[-1].__setitem__("freq", Freq(90.0)),
    "syllabes en texte": lambda l: l[-1].update(nb_syllabes=None, syllabes="a.b"),
    "ortho sous-classe": lambda l: l[-1].__setitem__("ortho", Texte("Ab5")),
}


@pytest.mark.parametrize("mutation", list(TOUTES_POSITIONS))
def test_tables_suivent_toutes_les_positions(chemins, mutation):
    phones, orthos = construire_index(7)
    for l in list(phones.values()) + list(orthos.values()):
        l.append(E(l[0]["ortho"].upper(), 0.5, cgram="VER", nb_syllabes=2, phone=l[0]["phone"]))
    cas = requetes(phones, orthos) + [
        ("rechercher", lambda: _recherche.rechercher(orthos, "^[ab]", "ortho", 100),
         lambda: ref_rechercher(orthos, "^[ab]", "ortho", 100)),
        ("rechercher phone", lambda: _recherche.rechercher(phones, "a$", "phone", 100),
         lambda: ref_rechercher(phones, "a$", "phone", 100)),
    ]
    for _ in range(3):  # the plain first scan, then the tables made and reused
        for nom, cpp, ref in cas:
            assert meme_objets(cpp(), ref()), nom
    for l in list(phones.values())[::3] + list(orthos.values())[::3]:
        TOUTES_POSITIONS[mutation](l)
    for _ in range(2):
        for nom, cpp, ref in cas:
            assert meme_objets(cpp(), ref()), nom
