"""Pattern search, anagrams and syllable counts over hand-built and random indexes."""
import random
import re

import pytest

from brivane_lexique import _recherche


# Plain-Python references: the behaviour the compiled functions must reproduce.
def cle_freq(e):
    return -float(e.get("freq", 0) or 0)


def cle_ortho(e):
    return str(e.get("ortho") or "").lower()


def ref_rechercher(index, pattern, champ="ortho", limite=50):
    try:
        rx = re.compile(pattern, re.IGNORECASE)
    except re.error:
        return []
    res, vus = [], set()
    for entries in index.values():
        for e in entries:
            v = e.get(champ) or ""
            v = v if isinstance(v, str) else str(v)
            if v and rx.search(v) and cle_ortho(e) not in vus:
                vus.add(cle_ortho(e))
                res.append(e)
    return sorted(res, key=cle_freq)[:limite]


def ref_anagrammes(index, mot, limite=50):
    mot_lower = mot.strip().lower()
    cible = sorted(mot_lower)
    res = [entries[0] for ortho, entries in index.items()
           if ortho != mot_lower and sorted(ortho) == cible and entries]
    return sorted(res, key=cle_freq)[:limite]


def ref_nb_syllabes(e):
    brut = e.get("nb_syllabes") or e.get("nbsyll")
    if brut is not None:
        try:
            return int(brut)
        except (ValueError, TypeError):
            pass
    syll = e.get("syllabes") or e.get("syll") or ""
    syll = syll if isinstance(syll, str) else str(syll)
    return syll.count(".") + 1 if syll else None


def meme_objets(a, b):
    return len(a) == len(b) and all(x is y for x, y in zip(a, b))


LETTRES = "aAbcCeéÉèiIlnNoœŒrsStuÿ"


def index_aleatoire(rng, n_cles=60):
    index = {}
    for _ in range(n_cles):
        cle = "".join(rng.choice(LETTRES) for _ in range(rng.randint(1, 5)))
        entrees = []
        for _ in range(rng.randint(0, 3)):
            e = {"ortho": rng.choice([cle, cle.upper(), cle.lower(), "", None]),
                 "phone": rng.choice(["ʃa", "ʁɑ̃", "", None, "a\n"]),
                 "freq": rng.choice([0.0, 1.0, 2.5, 2.5, 10.0, "3", " 4.5 ", None, 7])}
            if e["ortho"] is None:
                del e["ortho"]
            entrees.append(e)
        index.setdefault(cle, entrees)
    return index


def E(ortho, freq=1.0, **kw):
    return {"ortho": ortho, "freq": freq, **kw}


CHIENS = {"chat": [E("chat", 10.0)], "chien": [E("Chien", 50.0)], "cheval": [E("cheval", 10.0)],
          "atlas": [E("atlas", 1.0)]}


@pytest.mark.parametrize("motif, attendu", [
    ("^ch", ["Chien", "chat", "cheval"]),
    ("at", ["chat", "atlas"]),
    ("[", []),
    ("(?P<x", []),
    ("CHE", ["cheval"]),
    ("^$", []),
])
def test_rechercher_exemples(motif, attendu):
    assert [e["ortho"] for e in _recherche.rechercher(CHIENS, motif)] == attendu


def test_rechercher_phone_vide_ne_correspond_jamais():
    index = {"a": [E("a", phone=""), E("b"), E("c", phone="ʃa")]}
    assert [e["ortho"] for e in _recherche.rechercher(index, "", "phone")] == ["c"]


def test_rechercher_doublons_casse_et_sans_ortho():
    index = {"chat": [E("Chat", 1.0), E("chat", 9.0)], "x": [{"phone": "a"}, {"phone": "ab"}]}
    res = _recherche.rechercher(index, "a", "phone") + _recherche.rechercher(index, "chat")
    assert meme_objets(res, [index["x"][0], index["chat"][0]])


@pytest.mark.parametrize("limite, n", [(0, 0), (-1, 3), (2, 2), (2.9, 2), (-10, 0), (10**30, 4), (-(10**30), 0)])
def test_rechercher_limite_en_tranche(limite, n):
    assert len(_recherche.rechercher(CHIENS, "", limite=limite)) == n


def test_frequence_non_numerique_leve_comme_float():
    index = {"a": [E("a", "beaucoup")]}
    with pytest.raises(ValueError, match="could not convert string to float: 'beaucoup'"):
        _recherche.rechercher(index, "a")
    with pytest.raises(ValueError):
        _recherche.anagrammes({"ba": [E("ba", "x")]}, "ab")
    assert _recherche.anagrammes({"ab": [E("ab", "x")]}, " AB") == []  # the word itself is never read


def test_frequences_nan_triees_comme_l_hote():
    entrees = [E(f"m{i}", f) for i, f in enumerate([1.0, float("nan"), 3.0, "nan", 2.0, 0.5])]
    index = {e["ortho"]: [e] for e in entrees}
    assert meme_objets(_recherche.rechercher(index, "m"), ref_rechercher(index, "m"))


@pytest.mark.parametrize("fonction, args, nom, attendu", [
    ("rechercher", ([], "a"), "index", "dict"),
    ("rechercher", ({}, None), "pattern", "str"),
    ("rechercher", ({}, "a", 3), "champ", "str"),
    ("rechercher", ({}, "a", "ortho", "5"), "limite", "int"),
    ("anagrammes", ({}, b"a"), "mot", "str"),
    ("anagrammes", ({}, "a", None), "limite", "int"),
    ("_get_nb_syllabes", ([],), "entry", "dict"),
])
def test_erreurs_de_type(fonction, args, nom, attendu):
    with pytest.raises(TypeError, match=rf"Argument '{nom}' has incorrect type \(expected {attendu}, got "):
        getattr(_recherche, fonction)(*args)


def test_index_modifie_pendant_le_parcours():
    index = {"a": [E("a")], "b": [E("b")]}

    class Phone:
        def __str__(self):
            index["zz"] = []
            return "a"
    index["a"][0]["phone"] = Phone()
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        _recherche.rechercher(index, "a", "phone")


def test_anagrammes_exemples():
    index = {"chien": [E("chien", 5.0)], "niche": [E("niche", 1.0)], "chine": [E("chine", 3.0), E("Chine", 9.0)],
             "tee": [E("tee")], "ecinh": []}
    assert [e["ortho"] for e in _recherche.anagrammes(index, "  Chien ")] == ["chine", "niche"]
    assert _recherche.anagrammes(index, "été") == []


@pytest.mark.parametrize("entree, attendu", [
    ({"nb_syllabes": 0, "nbsyll": 2}, 2), ({"nb_syllabes": "2"}, 2), ({"nb_syllabes": "x", "syllabes": "a.mi"}, 2),
    ({"nbsyll": 0, "syllabes": "a.mi"}, 0), ({"syll": "ma.ri.on"}, 3), ({}, None), ({"nb_syllabes": 2.7}, 2),
    ({"nb_syllabes": " 3 "}, 3), ({"nb_syllabes": "3.0", "syll": "a"}, 1), ({"nb_syllabes": float("nan")}, None),
    ({"nb_syllabes": -4}, -4), ({"nb_syllabes": 10**30}, 10**30), ({"syllabes": 12.5}, 2),
    ({"nb_syllabes": [1], "syllabes": "ʃɑ̃.te"}, 2),
])
def test_get_nb_syllabes(entree, attendu):
    assert _recherche._get_nb_syllabes(entree) == attendu == ref_nb_syllabes(entree)


def test_get_nb_syllabes_propage_les_autres_erreurs():
    with pytest.raises(OverflowError):
        _recherche._get_nb_syllabes({"nb_syllabes": float("inf")})


@pytest.mark.parametrize("graine", range(12))
def test_differentiel_aleatoire(graine):
    rng = random.Random(graine)
    index = index_aleatoire(rng)
    for _ in range(15):
        motif = rng.choice(["", "^a", "É", "e$", "[éè]", "a|o", "^.{2}$", "ʃ", "Œ", "s", "(", "i.*n"])
        champ = rng.choice(["ortho", "phone", "freq"])
        limite = rng.choice([0, 3, -2, 50])
        try:
            attendu = ref_rechercher(index, motif, champ, limite)
        except ValueError:
            with pytest.raises(ValueError):
                _recherche.rechercher(index, motif, champ, limite)
            continue
        assert meme_objets(_recherche.rechercher(index, motif, champ, limite), attendu)
        mot = rng.choice(list(index) or ["a"])
        try:
            attendu = ref_anagrammes(index, mot, limite)
        except ValueError:
            continue
        assert meme_objets(_recherche.anagrammes(index, mot, limite), attendu)


def test_vrai_lexique(grand_tsv):
    import csv
    with open(grand_tsv, encoding="utf-8-sig", newline="") as f:
        index = {}
        for i, row in enumerate(csv.DictReader(f, delimiter="\t")):
            if i == 30000:
                break
            row["freq"] = float(row.pop("freq_opensubs") or 0)
            index.setdefault(row["ortho"], []).append(row)
    for motif, champ in [("^ab", "ortho"), ("ment$", "ortho"), ("ʃɑ̃", "phone"), ("[aeiou]{3}", "ortho")]:
        assert meme_objets(_recherche.rechercher(index, motif, champ, 10**6), ref_rechercher(index, motif, champ, 10**6))
    assert meme_objets(_recherche.anagrammes(index, "rabi", 10**6), ref_anagrammes(index, "rabi", 10**6))


# Remembered per-entry values (spelling and pronunciation ids, sort keys) and
# per-text verdicts must follow every change made between two calls.
class Texte(str):
    pass


@pytest.mark.parametrize("mutation", [
    lambda idx, e: e.__setitem__("ortho", "Chose"), lambda idx, e: e.__setitem__("ortho", Texte("chaise")),
    lambda idx, e: e.__setitem__("freq", "77"), lambda idx, e: e.__setitem__("freq", 1e9),
    lambda idx, e: e.__setitem__("phone", "ʃoz"), lambda idx, e: e.pop("phone"),
    lambda idx, e: idx["chat"].__setitem__(0, E("Chou", 3.0, phone="ʃu")),
    lambda idx, e: idx["chat"].insert(0, E("chic", 8.0, phone="ʃik")),
    lambda idx, e: idx.__setitem__("chien", [E("chien", 30.0, phone="ʃjɛ̃")]),
    lambda idx, e: idx.pop("chat"),
])
def test_rechercher_suit_les_modifications(chemins, mutation):
    index = {"chat": [E("chat", 10.0, phone="ʃa"), E("Chat", 2.0, phone="ʃa")], "cheval": [E("cheval", 5.0, phone="ʃval")],
             "rat": [E("rat", 1.0, phone="ʁa")], "chose": [E("chose", 4.0, phone="ʃoz")]}
    requetes = [("^ch", "ortho"), ("a$", "phone"), ("^[cr]h?a", "ortho"), ("o", "phone"), ("ch", "freq")]
    for motif, champ in requetes:
        assert meme_objets(_recherche.rechercher(index, motif, champ), ref_rechercher(index, motif, champ))
    mutation(index, index["chat"][0])
    for motif, champ in requetes:
        assert meme_objets(_recherche.rechercher(index, motif, champ), ref_rechercher(index, motif, champ)), motif


def test_rechercher_valeur_modifiee_pendant_le_parcours():
    # Python code run by the scan (a field's text form) changes an entry met later.
    index = {"a": [E("a", 1.0)], "b": [E("b", 2.0)], "c": [E("c", 3.0)]}

    class Phone:
        def __str__(self):
            index["c"][0]["phone"] = "ab"
            index["b"][0]["freq"] = 50.0
            return "a"
    index["a"][0]["phone"] = Phone()
    index["b"][0]["phone"] = "ba"
    assert [e["ortho"] for e in _recherche.rechercher(index, "a", "phone")] == ["b", "c", "a"]


def test_rechercher_grand_index_suit_les_modifications():
    """A large index, its entries answered from remembered records from the second
    call on: the answers of the plain loop, call after call, as
    entries, lists and values change between calls and, through Python code the scan
    runs, during a call."""
    rng = random.Random(5)
    index = {}
    for i in range(60000):
        cle = "".join(rng.choice(LETTRES) for _ in range(rng.randint(2, 6))) + str(i % 97)
        index.setdefault(cle, []).extend(
            E(rng.choice([cle, cle.upper()]), rng.choice([1.0, 2.5, "3", None]),
              phone=rng.choice(["ʃa"] * 10 + ["ʁɑ̃", ""]))
            for _ in range(2))
    assert sum(map(len, index.values())) > 100000
    requetes = [("^ch", "ortho"), ("é.*n$", "ortho"), ("(a)\\1", "ortho"), ("ɑ̃", "phone"), ("^[bc]", "ortho")]

    def verifier():
        for motif, champ in requetes:
            obtenu = _recherche.rechercher(index, motif, champ, 10**6)
            assert meme_objets(obtenu, ref_rechercher(index, motif, champ, 10**6)), motif

    verifier()
    verifier()  # now from the remembered values
    cles = list(index)
    index[cles[10]][0]["ortho"] = "Chose"
    index[cles[20000]].append(E("chic", 9.0, phone="ʁɑ̃"))
    index[cles[30000]][1]["freq"] = 1e9
    index[cles[30001]][0]["phone"] = 7
    del index[cles[40000]][0]["phone"]
    verifier()
    tard = index[cles[-5]][0]
    tard["phone"] = "ʃa"
    verifier()

    class Phone:
        def __str__(self):
            tard["phone"] = "ʁɑ̃"
            return "ʃa"
    index[cles[3]][0]["phone"] = Phone()
    resultat = _recherche.rechercher(index, "ɑ̃", "phone", 10**6)
    assert any(e is tard for e in resultat)
    assert meme_objets(resultat, ref_rechercher(index, "ɑ̃", "phone", 10**6))


def test_entrees_d_un_index_abandonne_liberees():
    """What the scans remember of an index dropped since must not keep its entries
    alive once the records are many: they are forgotten at the start of a later query."""
    import gc
    import weakref

    class Temoin:
        pass
    temoin = Temoin()
    index = {f"k{i}": [{"ortho": f"k{i}", "freq": 1.0}] for i in range(1_050_000)}
    index["k7"][0]["objet"] = temoin
    mort = weakref.ref(temoin)
    del temoin
    assert len(_recherche.rechercher(index, "^k7$")) == 1
    del index
    gc.collect()
    _recherche.rechercher({"a": [E("a")]}, "a")
    assert mort() is None


def _index_par_tranches():
    # Enough entries for several runs of lists, each run proved on its own; some
    # lists hold several entries, some none.
    index = {}
    for i in range(14000):
        n = 3 if i % 7 == 0 else (0 if i % 501 == 0 else 1)
        index[f"m{i}"] = [E(f"m{i}" if j == 0 else f"M{i}x{j}", float(i % 13), phone="ʃa" if i % 5 else "ʁa")
                          for j in range(n)]
    return index


@pytest.mark.parametrize("mutation", [
    lambda idx: idx["m13999"].append(E("chou", 3.0)),           # last list of the last run
    lambda idx: idx["m4200"].__setitem__(2, E("chêne", 9.0)),    # a later item of a long list
    lambda idx: idx["m8400"].pop(1),                             # a long list shrinks
    lambda idx: idx["m8400"].__setitem__(slice(None), [idx["m8400"][2], idx["m8400"][1], idx["m8400"][0]]),
    lambda idx: idx["m9018"].append(E("Chat", 1.0)),              # an empty list fills
    lambda idx: idx["m4095"].__setitem__(0, idx["m4096"][0]),    # the same entry twice, across a run boundary
    lambda idx: idx["m12000"][0].__setitem__("ortho", "chaud"),  # an entry of a late run
    lambda idx: idx["m1"][0].__setitem__("phone", "ʃu"),
])
def test_rechercher_modifications_par_tranches(chemins, mutation):
    index = _index_par_tranches()
    requetes = [("^ch", "ortho"), ("^m1.*x", "ortho"), ("u$", "phone"), ("^m(4095|4096)$", "ortho")]
    for _ in range(2):  # the second call answers from the remembered table
        for motif, champ in requetes:
            assert meme_objets(_recherche.rechercher(index, motif, champ, 10**6),
                               ref_rechercher(index, motif, champ, 10**6))
    mutation(index)
    for motif, champ in requetes:
        assert meme_objets(_recherche.rechercher(index, motif, champ, 10**6),
                           ref_rechercher(index, motif, champ, 10**6)), motif


def _grand_index():
    # Past the size from which a remembered table is scanned beside its proof (on
    # another thread); frequencies tie often, so the order of ties is tested too.
    index = {}
    for i in range(36000):
        n = 2 if i % 9 == 0 else 1
        index[f"{'ch' if i % 11 == 0 else 'pr'}{i}er"] = [
            E(f"{'ch' if i % 11 == 0 else 'pr'}{i}er" if j == 0 else f"Ch{i}", float(i % 17),
              phone="ʃɑ̃" if i % 4 == 0 else "ʁe")
            for j in range(n)]
    return index


@pytest.mark.parametrize("mutation", [
    lambda idx: idx["pr35999er"].append(E("chou", 99.0)),                # a list grows
    lambda idx: idx["pr1er"].__setitem__(0, E("Chêne", 50.0, phone="ʃɑ̃")),  # an item replaced, same size
    lambda idx: idx["ch99er"].pop(),                                     # a list shrinks
    lambda idx: idx["pr5er"].__setitem__(slice(None), list(idx["pr5er"])),  # same items, new array
    lambda idx: idx["pr7er"][0].__setitem__("ortho", "chaud"),
    lambda idx: idx["pr19er"][0].__setitem__("freq", float("nan")),      # the host's sort then decides
    lambda idx: idx["pr29er"][0].__setitem__("freq", "1e9"),
    lambda idx: idx["ch0er"][1].__setitem__("phone", "ʁɑ̃"),
    lambda idx: idx.pop("ch0er"),
    lambda idx: idx.__setitem__("pr3er", [E("chic", 40.0, phone="ʃik")]),
])
def test_rechercher_grande_table_suit_les_modifications(chemins, mutation):
    index = _grand_index()
    requetes = [("^ch", "ortho", 50), ("^[bp]r.*9er$", "ortho", -3), ("9e", "ortho", 10**6), ("ɑ̃$", "phone", 7),
                ("^c", "ortho", 0)]
    for _ in range(3):  # the later calls answer from the remembered table
        for motif, champ, limite in requetes:
            assert meme_objets(_recherche.rechercher(index, motif, champ, limite),
                               ref_rechercher(index, motif, champ, limite)), motif
    mutation(index)
    for _ in range(2):
        for motif, champ, limite in requetes:
            assert meme_objets(_recherche.rechercher(index, motif, champ, limite),
                               ref_rechercher(index, motif, champ, limite)), motif


@pytest.mark.parametrize("motif, champ", [
    ("^(ch|pr)1", "ortho"), ("9er|ch0", "ortho"),  # outside the subset: the dicts are read
    ("^[^p]h", "ortho"), ("^.h", "ortho"), ("^h?c", "ortho"),  # a first atom that rules nothing out
    ("^\u212a", "ortho"), ("^\u017f", "ortho"), ("^S", "ortho"),  # first characters under the case rules
    ("^ʃ", "phone"), ("^[ʃp]", "phone"),
])
def test_rechercher_grande_table_premier_atome(chemins, motif, champ):
    index = _grand_index()
    for e in list(index.values())[::7]:
        e[0]["ortho"] = e[0]["ortho"].replace("ch", "K", 1).replace("pr", "ſ", 1)
    for _ in range(3):  # the later calls answer from the remembered table
        assert meme_objets(_recherche.rechercher(index, motif, champ, 10**6),
                           ref_rechercher(index, motif, champ, 10**6)), motif
