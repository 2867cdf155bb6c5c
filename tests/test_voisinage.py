"""Neighbourhood measures: the module _voisinage and the Lexique methods, against brute force."""

import csv
import functools
import gzip
import io
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from brivane_lexique import _utils, _voisinage
from brivane_lexique import lexique as lexique_module
from brivane_lexique.lexique import Lexique

from conftest import DONNEES
from fabrique_lexiques import ecrire


# --- brute-force references -------------------------------------------------------------

def lev(a, b):
    ligne = list(range(len(b) + 1))
    for i in range(1, len(a) + 1):
        diag, ligne[0] = ligne[0], i
        for j in range(1, len(b) + 1):
            diag, ligne[j] = ligne[j], min(ligne[j] + 1, ligne[j - 1] + 1, diag + (a[i - 1] != b[j - 1]))
    return ligne[-1]


def symboles(texte, ipa):
    return tuple(_utils._tokenize_ipa(texte)) if ipa else tuple(texte)


def ref_distance(mot, mots, n, ipa=False):
    m = symboles(mot, ipa)
    autres = {symboles(w, ipa) for w in mots} - {m}
    d = sorted(lev(m, w) for w in autres)[:n]
    return sum(d) / len(d) if d else None


def ref_voisins(mot, mots, ipa=False):
    m = symboles(mot, ipa)
    return sorted({w for w in mots if len(symboles(w, ipa)) == len(m)
                   and sum(x != y for x, y in zip(symboles(w, ipa), m)) == 1})


def ref_levenshtein(mot, mots, ipa=False):
    m = symboles(mot, ipa)
    return sorted({w for w in mots if lev(symboles(w, ipa), m) == 1})


def ref_unicite(mot, mots, ipa=False):
    m = symboles(mot, ipa)

    def commun(w):
        i = 0
        while i < len(w) and i < len(m) and w[i] == m[i]:
            i += 1
        return i

    return 1 + max((commun(w) for w in {symboles(w, ipa) for w in mots} - {m}), default=0)


# Spellings over a small alphabet (so that neighbours abound), pronunciations over
# segments of several code points (nasal vowel, affricate with a tie bar, length mark).
LETTRES = "abcé"
SEGMENTS = ["a", "ɑ̃", "ʃ", "t͡ʃ", "eː", "ʁ"]


def tirer(rng, ipa, longueur_max=7):
    unites = SEGMENTS if ipa else LETTRES
    return "".join(rng.choice(unites) for _ in range(rng.randint(0, longueur_max)))


def lexique_aleatoire(graine, ipa):
    rng = random.Random(graine)
    mots = [tirer(rng, ipa) for _ in range(rng.randint(0, 60))]
    cibles = mots[:6] + [tirer(rng, ipa, 9) for _ in range(6)]  # words and pseudowords
    return rng, mots, cibles


@pytest.mark.parametrize("ipa", [False, True], ids=["ortho", "ipa"])
@pytest.mark.parametrize("graine", range(12))
def test_fonctions_contre_force_brute(chemins, graine, ipa):
    rng, mots, cibles = lexique_aleatoire(graine, ipa)
    n = rng.choice([1, 3, 20])
    for c in cibles:
        assert _voisinage.distance_moyenne(c, mots, n, ipa=ipa) == pytest.approx(ref_distance(c, mots, n, ipa)), c
        assert _voisinage.voisins(c, mots, ipa=ipa) == ref_voisins(c, mots, ipa), c
        assert _voisinage.voisins_levenshtein(c, mots, ipa=ipa) == ref_levenshtein(c, mots, ipa), c
        assert _voisinage.point_unicite(c, mots, ipa=ipa) == ref_unicite(c, mots, ipa), c
    attendu = [(ref_distance(c, mots, n, ipa), len(ref_voisins(c, mots, ipa)), ref_unicite(c, mots, ipa))
               for c in cibles]
    assert _voisinage.mesures(cibles, mots, n, ipa=ipa) == [
        (pytest.approx(d) if d is not None else None, v, u) for d, v, u in attendu]
    assert _voisinage.distances_moyennes(cibles, mots, n, ipa=ipa) == [
        pytest.approx(d) if d is not None else None for d, _, _ in attendu]


def lexique_clairseme(graine):
    """Long words, far apart: their n-th closest lies well beyond the first distances."""
    rng = random.Random(graine)
    mots = ["".join(rng.choice("abcdefgh") for _ in range(rng.randint(8, 16))) for _ in range(150)]
    # Words that share a beginning or an end with others, pseudowords longer than any word.
    mots += [mots[i][:rng.randint(3, 8)] + mots[i + 1][-rng.randint(3, 8):] for i in range(30)]
    cibles = mots[:25] + ["".join(rng.choice("abcdefghi") for _ in range(rng.randint(10, 22))) for _ in range(15)]
    return mots, cibles


@pytest.mark.parametrize("graine, n", [(1, 1), (2, 4), (3, 20), (4, 60), (5, 179), (6, 180), (7, 500)])
def test_distance_moyenne_loin_des_premieres_distances(chemins, graine, n):
    # Far neighbours take the search bounded by the words sorted next to the target; n
    # at, near and beyond the number of other words.
    mots, cibles = lexique_clairseme(graine)
    attendu = [pytest.approx(ref_distance(c, mots, n)) for c in cibles]
    assert _voisinage.distances_moyennes(cibles, mots, n) == attendu
    assert [_voisinage.distance_moyenne(c, mots, n) for c in cibles[::7]] == attendu[::7]


@pytest.mark.parametrize("mot, mots, n", [
    ("abcdefghijklmnopqrstuvwxyz", ["ab", "abc", "xyz", "mnop", "abcd", "b", "zz"], 3),  # far beyond every length
    ("abcdefghijklmnopqrstuvwxyz", ["ab", "abc", "xyz", "mnop", "abcd", "b", "zz"], 6),
    ("aaaaaaaaaaaa", ["aaaaaaaaaaaa", "bbbbbbbbbbbb", "cccccccccccc", "abababababab", "aabbaabbaabb"], 4),  # n = all others
    ("aaaaaaaaaaaa", ["aaaaaaaaaaaa", "bbbbbbbbbbbb", "cccccccccccc", "abababababab", "aabbaabbaabb"], 3),
    ("hgfedcbahgfedcba", ["abcdefgh" * 2, "hgfedcba", "abcdefghabcdefgh" + "h", "hhhhhhhhgggggggg", "fedcbahg"], 2),
])
def test_distance_moyenne_voisins_tous_lointains(chemins, mot, mots, n):
    assert _voisinage.distance_moyenne(mot, mots, n) == pytest.approx(ref_distance(mot, mots, n))
    assert _voisinage.distances_moyennes([mot] + mots, mots, n) == [
        pytest.approx(ref_distance(c, mots, n)) for c in [mot] + mots]


GRAND_ALPHABET = "".join(chr(0x100 + i) for i in range(90))
# Symbols 64 apart in rank share a class (once the lexicon has them all): a word can
# hold a class twice with two symbols.
GRAND_ALPHABET_REPETE = "".join(chr(0x100 + i) for i in (0, 1, 2, 64, 65, 66, 3, 67))


def lexique_de_symboles_repetes(graine, alphabet):
    """Words that hold each symbol once, and words that repeat some symbols at places."""
    rng = random.Random(graine)
    mots = ["".join(rng.sample(alphabet, rng.randint(2, min(9, len(alphabet))))) for _ in range(60)]
    for _ in range(40):
        w = list(rng.sample(alphabet, rng.randint(2, min(7, len(alphabet)))))
        for _ in range(rng.randint(1, 3)):
            w.insert(rng.randrange(len(w) + 1), rng.choice(w))
        mots.append("".join(w))
    # Targets whose symbols come back several times, in runs and spread out.
    cibles = ["".join(rng.choice(alphabet[:4]) for _ in range(rng.randint(6, 20))) for _ in range(12)]
    cibles += [c * rng.randint(2, 5) for c in rng.sample(alphabet, 4)]
    cibles += [w + w[::-1] for w in mots[55:65]]
    return mots, cibles


@pytest.mark.parametrize("alphabet, autres", [("abcdefgh", []), ("abcdefghijklmnop", []),
                                               (GRAND_ALPHABET_REPETE, list(GRAND_ALPHABET))],
                         ids=["8", "16", "classes-partagees"])
@pytest.mark.parametrize("graine", range(3))
def test_distance_moyenne_symboles_repetes(chemins, graine, alphabet, autres):
    # How often a symbol can come back below a node bounds the distance: targets that
    # repeat symbols against words that repeat them at most once, or in one place only.
    mots, cibles = lexique_de_symboles_repetes(graine, alphabet)
    mots += autres  # more than 64 symbols in the lexicon
    for n in (1, 3, 20):
        attendu = [pytest.approx(ref_distance(c, mots, n)) for c in cibles]
        assert _voisinage.distances_moyennes(cibles, mots, n) == attendu, n
        assert [_voisinage.distance_moyenne(c, mots, n) for c in cibles[::5]] == attendu[::5], n


def familles_de_suffixes(graine):
    """Stems each followed by endings of very different lengths, over a part of the alphabet."""
    rng = random.Random(graine)
    mots = []
    for _ in range(25):
        radical = "".join(rng.choice("abcdefghij") for _ in range(rng.randint(1, 6)))
        mots += [radical + "".join(rng.choice("efghijklmn") for _ in range(rng.randint(0, 14))) for _ in range(5)]
    # Long pseudowords of letters the words mostly lack, runs of one letter, targets shorter
    # than the words that share their beginning, and words with their ending doubled.
    cibles = ["".join(rng.choice("abcdopqrst") for _ in range(rng.randint(12, 30))) for _ in range(8)]
    cibles += [rng.choice("aeko") * rng.randint(5, 25) for _ in range(4)]
    cibles += [w[:rng.randint(1, 3)] for w in mots[:6]] + [w + w[-4:] * 3 for w in mots[6:12]]
    return mots, cibles


@pytest.mark.parametrize("graine", range(4))
def test_distance_moyenne_suffixes_de_longueurs_variees(chemins, graine):
    # Below one stem the endings are short and long, and lack most of the target's
    # letters: the bound that weighs the missing letters against the lengths left.
    mots, cibles = familles_de_suffixes(graine)
    for n in (1, 3, 20):
        attendu = [pytest.approx(ref_distance(c, mots, n)) for c in cibles]
        assert _voisinage.distances_moyennes(cibles, mots, n) == attendu, n
        assert [_voisinage.distance_moyenne(c, mots, n) for c in cibles[::4]] == attendu[::4], n


def copies_d_un_long_mot(graine, longueur, alphabet):
    """Copies of one long word with a few edits each (near one another), and short words."""
    rng = random.Random(graine)
    base = [rng.choice(alphabet) for _ in range(longueur)]
    mots = []
    for _ in range(16):
        w = list(base)
        for _ in range(rng.randint(0, 4)):
            i = rng.randrange(len(w))
            op = rng.choice("sid")
            if op == "s":
                w[i] = rng.choice(alphabet)
            elif op == "i":
                w.insert(i, rng.choice(alphabet))
            else:
                del w[i]
        mots.append("".join(w))
    return mots + ["".join(rng.choice(alphabet) for _ in range(rng.randint(1, 8))) for _ in range(5)]


@pytest.mark.parametrize("longueur, alphabet", [
    (63, "abcd"), (64, "abcd"), (65, "abcd"),  # around the width of a machine word
    (70, GRAND_ALPHABET), (30, GRAND_ALPHABET),  # more symbols than classes of 64
])
def test_mots_longs_et_grands_alphabets(chemins, longueur, alphabet):
    mots = copies_d_un_long_mot(longueur, longueur, alphabet)
    # Words, a long word with a symbol the lexicon lacks, half a word, a word of that symbol.
    cibles = mots[:5] + [mots[0] + "z", mots[1][: longueur // 2], "z" * longueur]
    for c in cibles:
        dist = {w: lev(c, w) for w in set(mots) - {c}}
        proches = sorted(dist.values())
        for n in (1, 5, 30):
            assert _voisinage.distance_moyenne(c, mots, n) == pytest.approx(sum(proches[:n]) / len(proches[:n])), (c, n)
        assert _voisinage.voisins_levenshtein(c, mots) == sorted(w for w, d in dist.items() if d == 1), c
    assert _voisinage.distances_moyennes(cibles, mots, 5) == [_voisinage.distance_moyenne(c, mots, 5) for c in cibles]


# Two words longer than the trie's nodes record exactly, among short ones: a search that
# took a recorded length for the real one would prune the long words away.
TRES_LONGS = ["a" * 70_000, "a" * 69_999 + "b", "ab", "ba", "b", "bab"]


@pytest.mark.parametrize("mot", ["a", "ab", "abc", "bb", "", "aab"])
@pytest.mark.parametrize("n", [1, 4, 5])
def test_distance_moyenne_avec_des_mots_tres_longs(chemins, mot, n):
    proches = sorted(lev(mot, w) for w in set(TRES_LONGS) - {mot})[:n]
    assert _voisinage.distance_moyenne(mot, TRES_LONGS, n) == pytest.approx(sum(proches) / len(proches))


def test_voisins_de_mots_tres_longs(chemins):
    long_a, long_b = TRES_LONGS[:2]
    assert _voisinage.voisins(long_a, TRES_LONGS) == [long_b]
    assert _voisinage.voisins(long_b[:-1] + "c", TRES_LONGS) == [long_a, long_b]
    assert _voisinage.point_unicite(long_a, TRES_LONGS) == 70_000


def test_lots_sur_plusieurs_fils_comme_un_par_un(chemins):
    # More targets than one batch of a thread, long enough to need wide searches.
    rng = random.Random(99)
    mots = [tirer(rng, False, 12) for _ in range(400)]
    cibles = [tirer(rng, False, 14) for _ in range(300)] + mots[:200]
    un_par_un = [_voisinage.distance_moyenne(c, mots, 5) for c in cibles[:40]]
    assert _voisinage.distances_moyennes(cibles, mots, 5)[:40] == un_par_un
    assert [m[0] for m in _voisinage.mesures(cibles, mots, 5)] == _voisinage.distances_moyennes(cibles, mots, 5)


@pytest.fixture(params=[-1, 1, 2, 3], ids=["arbre", "lecture_par_longueur", "lecture_noyau_simple", "lecture_avx2"])
def route(request):
    """The last search of distance_moyenne forced through the trie, or through the reading of
    every word by length (vector kernel where the processor has one, then the plain kernel)."""
    avant = [m._mode_balayage(request.param) for m in (_voisinage, lexique_module)]
    yield request.param
    for m, a in zip((_voisinage, lexique_module), avant):
        m._mode_balayage(a)


def lexique_syllabes(graine):
    """Words of French-like syllables and invented strings far from all of them: the targets
    whose last search is long, as on the real lexicon."""
    rng = random.Random(graine)
    syllabes = ["ba", "ri", "to", "lan", "mi", "sor", "ve", "pu", "chon", "dre", "ta", "nel", "ment", "é"]
    mots = ["".join(rng.choice(syllabes) for _ in range(rng.randint(1, 6))) for _ in range(30000)]
    mots += [w[::-1] for w in mots[:60]]  # the reversed trie gets deep branches too
    cibles = ["".join(rng.choice(syllabes) for _ in range(rng.randint(6, 10))) for _ in range(6)]
    cibles += ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(14, 26))) for _ in range(4)]
    return mots, cibles + mots[:2] + [""]


@pytest.mark.parametrize("graine, n", [(1, 1), (2, 7), (3, 20), (4, 45)])
def test_recherche_partagee_entre_fils_comme_sur_un_seul(route, graine, n):
    # One target at a time may read the words on several threads; a batch of targets
    # larger than a thread's share reads them for each target on its thread alone.
    mots, cibles = lexique_syllabes(graine)
    seuls = _voisinage.distances_moyennes(cibles * 7, mots, n)[:len(cibles)]
    assert _voisinage.distances_moyennes(cibles, mots, n) == seuls
    assert [m[0] for m in _voisinage.mesures(cibles, mots, n)] == seuls
    assert _voisinage.distance_moyenne(cibles[0], mots, n) == seuls[0]


@pytest.mark.parametrize("ipa", [False, True])
def test_recherche_partagee_de_cibles_longues_ou_ipa(route, ipa):
    # Past 64 symbols the rows are written out; in IPA the symbols are phonemes.
    mots, _ = lexique_syllabes(6)
    rng = random.Random(6)
    if ipa:
        mots = [w.replace("ch", "ʃ").replace("an", "ɑ̃").replace("on", "ɔ̃") for w in mots]
        cibles = ["".join(rng.choice(SEGMENTS) for _ in range(rng.randint(14, 24))) for _ in range(6)]
    else:
        cibles = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(k)) for k in (63, 64, 65, 80)]
        cibles += ["to" * 33, "ment" * 17]
    seuls = _voisinage.distances_moyennes(cibles * 11, mots, 20, ipa=ipa)[:len(cibles)]
    assert _voisinage.distances_moyennes(cibles, mots, 20, ipa=ipa) == seuls


@pytest.mark.parametrize("longueur", [10, 11, 17])
def test_recherche_partagee_de_mots_longs_contre_force_brute(route, longueur):
    # Long targets far from every word: the reading by length takes them unforced.
    mots = lexique_syllabes(longueur)[0][:1500]
    rng = random.Random(longueur)
    cibles = ["".join(rng.choice("abehilmnorstu") for _ in range(longueur)) for _ in range(3)]
    assert _voisinage.distances_moyennes(cibles, mots, 20) == [pytest.approx(ref_distance(c, mots, 20)) for c in cibles]


def test_recherches_partagees_de_plusieurs_fils_a_la_fois(route):
    # Several callers at once, each reading on threads of its own.
    from concurrent.futures import ThreadPoolExecutor

    mots, cibles = lexique_syllabes(7)
    seuls = _voisinage.distances_moyennes(cibles * 7, mots, 20)[:len(cibles)]
    with ThreadPoolExecutor(4) as pool:
        res = list(pool.map(lambda c: _voisinage.distance_moyenne(c, mots, 20), cibles * 2))
    assert res == seuls * 2


def test_recherche_partagee_sur_un_lexique(route, tmp_path):
    mots, cibles = lexique_syllabes(5)
    lignes = [(w, "", w, "NOM", 1.0) for w in dict.fromkeys(mots)]
    with Lexique(ecrire(tmp_path, "tsv", colonnes=COLONNES, lignes=lignes)) as lex:
        seuls = _voisinage.distances_moyennes(cibles * 7, list(lex._formes), 20)[:len(cibles)]
        assert [lex.old20(c) for c in cibles] == seuls
        assert [m["old20"] for m in lex.mesures(cibles).values()] == seuls


@functools.cache
def lexique_et_cibles_de_toutes_longueurs(ipa):
    """Short words, a few long ones, and targets of 1 to 34 symbols: the long targets are far
    from every word, so that their last search runs; distances sorted by brute force."""
    rng = random.Random(34)
    unites = SEGMENTS if ipa else LETTRES
    mots = [tirer(rng, ipa, 9) for _ in range(300)] + [tirer(rng, ipa, 40) for _ in range(12)]
    cibles = ["".join(rng.choice(unites) for _ in range(k)) for k in range(1, 35)] + mots[:6]
    autres = {symboles(w, ipa) for w in mots}
    tries = [sorted(lev(symboles(c, ipa), w) for w in autres - {symboles(c, ipa)}) for c in cibles]
    return mots, cibles, tries


@pytest.mark.parametrize("ipa", [False, True])
def test_routes_de_la_derniere_recherche_contre_force_brute(route, ipa, tmp_path):
    mots, cibles, tries = lexique_et_cibles_de_toutes_longueurs(ipa)
    for n in (1, 5, 20):
        attendu = [pytest.approx(sum(d[:n]) / len(d[:n])) for d in tries]
        assert _voisinage.distances_moyennes(cibles, mots, n, ipa=ipa) == attendu
    # The Lexique methods go through the other module's copy of the knob.
    lignes = [("x" * (i + 1), w, "x", "NOM", 1.0) if ipa else (w, "", w, "NOM", 1.0) for i, w in enumerate(mots)]
    with Lexique(ecrire(tmp_path, "tsv", colonnes=COLONNES, lignes=lignes)) as lex:
        plus_proches = (lambda c: lex.pld20("pseudo", phone=c)) if ipa else lex.old20
        assert [plus_proches(c) for c in cibles[20:30]] == attendu[20:30]


@functools.cache
def lexique_d_alphabet(taille):
    """Words over `taille` symbols (one word holds them all) and long targets far from them."""
    rng = random.Random(taille)
    alphabet = [chr(0x100 + i) for i in range(taille)]
    mots = ["".join(alphabet)] + ["".join(rng.choices(alphabet, k=rng.randint(1, 12))) for _ in range(250)]
    cibles = ["".join(rng.choices(alphabet, k=k)) for k in (3, 9, 15, 16, 17, 24, 31, 32)]
    return mots, cibles, [ref_distance(c, mots, 20) for c in cibles]


@pytest.mark.parametrize("taille", [40, 63, 64, 100])
def test_routes_selon_la_taille_de_l_alphabet(route, taille):
    # The widest kernel holds 64 ranks, the one past the alphabet included; beyond, the
    # reading falls back on the narrower one.
    mots, cibles, attendu = lexique_d_alphabet(taille)
    assert _voisinage.distances_moyennes(cibles, mots, 20) == [pytest.approx(a) for a in attendu]


def test_routes_quand_les_symboles_depassent_seize_bits(route):
    # More distinct symbols than 16-bit ranks can number: the reading must not take them.
    rng = random.Random(16)
    seuls = [chr(0x10000 + i) for i in range(70_000)]
    longs = ["".join(rng.choice(seuls[65_530:65_540] + seuls[:4]) for _ in range(rng.randint(8, 24))) for _ in range(60)]
    for cible in longs[:3] + ["".join(seuls[65_530:65_546]), seuls[1] * 14]:
        proches = sorted([lev(cible, w) for w in set(longs) - {cible}] + [len(cible) - (w in cible) for w in seuls])
        assert _voisinage.distance_moyenne(cible, seuls + longs) == pytest.approx(sum(proches[:20]) / 20)


@pytest.mark.parametrize("mot, mots, attendu", [
    ("chat", ["chat", "chaton", "chats"], 5),   # the start of other words: len + 1
    ("chaton", ["chat", "chaton", "chats"], 5),  # no other word begins "chato"
    ("chats", ["chat", "chats"], 5),             # unique at its last letter
    ("chien", ["chat", "chaton"], 3),            # pseudoword: no word starts with "chi"
    ("", ["a", "b"], 1),
    ("x", [], 1),
])
def test_point_unicite_conventions(mot, mots, attendu):
    assert _voisinage.point_unicite(mot, mots) == attendu


@pytest.mark.parametrize("mot, mots, n, attendu", [
    ("chat", ["chat"], 20, None),            # no other word
    ("chat", [], 20, None),
    ("chat", ["chat", "chats", "at"], 20, 1.5),  # fewer than n others: all of them
    ("chat", ["chat", "chat", "chats"], 1, 1.0),  # duplicates count once
    ("", ["a", "bb"], 1, 1.0),
])
def test_distance_moyenne_cas_limites(mot, mots, n, attendu):
    assert _voisinage.distance_moyenne(mot, mots, n) == attendu


@pytest.mark.parametrize("appel, erreur", [
    (lambda: _voisinage.voisins(1, ["a"]), TypeError),
    (lambda: _voisinage.voisins("a", "abc"), TypeError),        # a str is not a list of words
    (lambda: _voisinage.voisins("a", ["a", None]), TypeError),
    (lambda: _voisinage.distance_moyenne("a", ["b"], 0), ValueError),
    (lambda: _voisinage.distances_moyennes(["a"], ["b"], "3"), TypeError),
    (lambda: _voisinage.mesures("a", ["b"]), TypeError),
])
def test_arguments_refuses(appel, erreur):
    with pytest.raises(erreur):
        appel()


# Several bad arguments at once: the one reported is the first in the signature's order.
MOT_INT = "Argument 'mot' has incorrect type (expected str, got int)"


@pytest.mark.parametrize("appel, erreur, message", [
    (lambda: _voisinage.distance_moyenne(1, "abc", 0), TypeError, MOT_INT),
    (lambda: _voisinage.distance_moyenne("a", "abc", 0), ValueError, "n doit valoir au moins 1"),
    (lambda: _voisinage.point_unicite(1, "abc"), TypeError, MOT_INT),
    (lambda: _voisinage.voisins_levenshtein("a", "abc"), TypeError,
     "Argument 'mots' has incorrect type (expected list, got str)"),
    (lambda: _voisinage.mesures(["a", 2], "b", 0), TypeError,
     "Argument 'cibles' has incorrect type (expected str, got int)"),
    (lambda: _voisinage.distances_moyennes(["a"], "b", 0), ValueError, "n doit valoir au moins 1"),
    (lambda: _voisinage.mesures(["a"], ["b", None]), TypeError,
     "Argument 'mots' has incorrect type (expected str, got NoneType)"),
])
def test_premier_argument_refuse(appel, erreur, message):
    with pytest.raises(erreur) as e:
        appel()
    assert str(e.value) == message


def test_n_tronque_comme_un_entier():
    assert _voisinage.distance_moyenne("a", ["b", "cc", "ddd"], 2.9) == 1.5


# --- the Lexique methods ----------------------------------------------------------------

COLONNES = ("ortho", "phone", "lemme", "cgram", "freq_opensubs")


def lignes_aleatoires(graine):
    """Rows over a small alphabet; some spellings twice (homographs, one with a second
    pronunciation less frequent), some pronunciations shared (homophones)."""
    rng = random.Random(graine)
    orthos = sorted({tirer(rng, False, 6) for _ in range(50)} - {""})
    phones = {o: tirer(rng, True, 5) or "a" for o in orthos}
    for o in orthos[::7]:
        phones[o] = phones[orthos[0]]  # homophones
    lignes = [(o, phones[o], o, "NOM", float(100 + i)) for i, o in enumerate(orthos)]
    lignes += [(o, phones[o], o, "VER", 1.0) for o in orthos[::5]]
    lignes += [(o, phones[o] + "ʁ", o, "ADJ", 0.5) for o in orthos[::9]]
    return lignes


@pytest.fixture(params=["tsv", "sqlite"])
def lexique_aleatoire_fichier(request, tmp_path):
    lignes = lignes_aleatoires(4)
    with Lexique(ecrire(tmp_path, request.param, colonnes=COLONNES, lignes=lignes)) as lex:
        yield lex, lignes


def phone_principal(lignes, ortho):
    return max((l for l in lignes if l[0] == ortho), key=lambda l: l[4])[1]


def test_mesures_contre_force_brute(chemins, lexique_aleatoire_fichier):
    lex, lignes = lexique_aleatoire_fichier
    orthos = sorted({l[0] for l in lignes})
    phones = sorted({l[1] for l in lignes})
    rng = random.Random(8)
    mots = orthos[:15] + [tirer(rng, False, 7) for _ in range(8)]
    res = lex.mesures(mots, n=4)
    assert list(res) == list(dict.fromkeys(mots))
    for mot, m in res.items():
        assert list(m) == ["old20", "pld20", "n_ortho", "n_phon", "pu_ortho", "pu_phon", "homographes", "homophones"]
        assert m["old20"] == pytest.approx(ref_distance(mot, orthos, 4))
        assert m["n_ortho"] == len(ref_voisins(mot, orthos)) == len(lex.voisins(mot))
        assert m["pu_ortho"] == ref_unicite(mot, orthos) == lex.point_unicite(mot)
        assert m["homographes"] == sum(l[0] == mot for l in lignes) == lex.nb_homographes(mot)
        if mot not in orthos:
            assert (m["pld20"], m["n_phon"], m["pu_phon"], m["homophones"]) == (None, None, None, 0)
            continue
        p = phone_principal(lignes, mot)
        assert m["pld20"] == pytest.approx(ref_distance(p, phones, 4, ipa=True))
        assert m["n_phon"] == len(ref_voisins(p, phones, ipa=True)) == len(lex.voisins_phon(mot))
        assert m["pu_phon"] == ref_unicite(p, phones, ipa=True) == lex.point_unicite_phon(mot)
        assert m["homophones"] == sum(l[1] == p for l in lignes) == lex.nb_homophones(mot)
        assert lex.voisins_phon(mot) == ref_voisins(p, phones, ipa=True)
        assert lex.voisins_phon_levenshtein(mot) == ref_levenshtein(p, phones, ipa=True)
        assert lex.pld20(mot, 4) == m["pld20"]
    for mot in mots[:5]:
        assert lex.voisins(mot) == ref_voisins(mot, orthos)
        assert lex.voisins_levenshtein(mot) == ref_levenshtein(mot, orthos)
        assert lex.old20(mot, n=4) == res[mot]["old20"]


def test_pseudo_mot_avec_prononciation_donnee(lexique_aleatoire_fichier):
    lex, lignes = lexique_aleatoire_fichier
    phones = sorted({l[1] for l in lignes})
    pseudo, p = "zzzq", "ʃaʁɑ̃"
    m = lex.mesures([pseudo, pseudo], phones={pseudo: p})
    assert list(m) == [pseudo]
    assert m[pseudo]["pld20"] == pytest.approx(ref_distance(p, phones, 20, ipa=True))
    assert m[pseudo]["pu_phon"] == ref_unicite(p, phones, ipa=True)
    assert m[pseudo]["homophones"] == sum(l[1] == p for l in lignes)
    assert lex.pld20(pseudo, phone=p) == m[pseudo]["pld20"]
    # A given pronunciation takes the place of the lexicon's.
    mot = lignes[0][0]
    assert lex.mesures(mot, phones={mot: p})[mot]["pld20"] == m[pseudo]["pld20"]


def test_mesures_d_un_str_seul_et_arguments(lexique_aleatoire_fichier):
    lex, lignes = lexique_aleatoire_fichier
    mot = lignes[0][0]
    assert list(lex.mesures(mot)) == [mot]
    assert lex.mesures([]) == {}
    with pytest.raises(TypeError):
        lex.mesures([mot, 3])
    with pytest.raises(TypeError):
        lex.mesures(mot, phones=[("a", "b")])
    with pytest.raises(TypeError):
        lex.old20(None)
    with pytest.raises(ValueError):
        lex.pld20(mot, n=0)


@pytest.mark.parametrize("methode, args, kwargs, erreur, message", [
    ("old20", (1,), {"n": 0}, TypeError, MOT_INT),
    ("pld20", (1,), {"n": 0, "phone": 2}, TypeError, MOT_INT),
    ("pld20", ("x",), {"n": 0, "phone": 2}, ValueError, "n doit valoir au moins 1"),
    ("pld20", ("x",), {"phone": 2}, TypeError, "Argument 'phone' has incorrect type (expected str, got int)"),
    ("voisins_phon", (1,), {"phone": 2}, TypeError, MOT_INT),
    ("voisins_phon_levenshtein", ("x",), {"phone": b"a"}, TypeError,
     "Argument 'phone' has incorrect type (expected str, got bytes)"),
    ("point_unicite_phon", ("x",), {"phone": 2}, TypeError,
     "Argument 'phone' has incorrect type (expected str, got int)"),
    ("nb_homophones", (1,), {"phone": 2}, TypeError, MOT_INT),
    ("nb_homographes", (None,), {}, TypeError, "Argument 'mot' has incorrect type (expected str, got NoneType)"),
    ("voisins", (1,), {}, TypeError, MOT_INT),
    ("point_unicite", (1,), {}, TypeError, MOT_INT),
    ("mesures", (["x", 1],), {"n": 0}, ValueError, "n doit valoir au moins 1"),
    ("mesures", (["x", 1],), {}, TypeError, "Argument 'mots' has incorrect type (expected str, got int)"),
    ("mesures", (3,), {}, TypeError, "Argument 'mots' has incorrect type (expected list, got int)"),
])
def test_premier_argument_refuse_par_lexique(lexique_aleatoire_fichier, methode, args, kwargs, erreur, message):
    lex, _ = lexique_aleatoire_fichier
    with pytest.raises(erreur) as e:
        getattr(lex, methode)(*args, **kwargs)
    assert str(e.value) == message


def test_memes_mesures_sur_les_deux_sources(tmp_path):
    lignes = lignes_aleatoires(11)
    mots = sorted({l[0] for l in lignes})[:20] + ["abcabc", "é"]
    res = []
    for backend in ("tsv", "sqlite"):
        (tmp_path / backend).mkdir()
        with Lexique(ecrire(tmp_path / backend, backend, colonnes=COLONNES, lignes=lignes)) as lex:
            res.append(lex.mesures(mots, n=5))
    assert res[0] == res[1]


def test_structures_reconstruites_quand_la_source_change(tmp_path):
    lex = Lexique(ecrire(tmp_path, "tsv", colonnes=COLONNES, lignes=[
        ("chat", "ʃa", "chat", "NOM", 10.0), ("chats", "ʃa", "chat", "NOM", 5.0)]))
    assert lex.voisins_levenshtein("chat") == ["chats"]
    lex._formes = frozenset({"chat", "chut", "char"})
    assert lex.voisins_levenshtein("chat") == ["char", "chut"]
    assert lex.voisins_phon_levenshtein("chat") == []
    lex._get_index_phone()["ʃaʁ"] = []  # a change to the index dict is seen
    assert lex.voisins_phon_levenshtein("chat") == ["ʃaʁ"]


def test_homographes_sans_orthographe_ni_prononciation(tmp_path):
    lignes = [("chat", "ʃa", "chat", "NOM", 10.0), ("chat", "ʃat", "chat", "NOM", 1.0),
              (None, "ʃa", "x", "NOM", 50.0), ("sans", None, "sans", "PRE", 3.0)]
    for backend in ("tsv", "sqlite"):
        (tmp_path / backend).mkdir()
        with Lexique(ecrire(tmp_path / backend, backend, colonnes=COLONNES, lignes=lignes)) as lex:
            m = lex.mesures(["chat", "sans", "chien"])
            # A row without spelling is in no index: it is no homophone on either source.
            assert (m["chat"]["homographes"], m["chat"]["homophones"]) == (2, 1), backend
            assert (m["sans"]["homographes"], m["sans"]["pld20"], m["sans"]["homophones"]) == (1, None, 0)
            assert m["chien"]["homographes"] == 0
            assert lex.point_unicite_phon("sans") is None


# --- the real published values ----------------------------------------------------------

LEXIQUE383 = DONNEES / "lexique383.tsv.gz"


@pytest.fixture(scope="module")
def lexique383():
    if not LEXIQUE383.is_file():
        pytest.skip("lexique383.tsv.gz not available in the shared data folder")
    lignes = gzip.open(LEXIQUE383, "rb").read().decode("utf-8").splitlines()
    entete = lignes[0].split("\t")
    garder = [(entete.index(c), c) for c in ("ortho", "phon", "old20", "voisorth", "voisphon")]
    return [{c: champs[i] for i, c in garder} for champs in (l.split("\t") for l in lignes[1:])]


def test_valeurs_publiees_de_lexique383(lexique383):
    orthos = list(dict.fromkeys(l["ortho"] for l in lexique383))
    phons = list(dict.fromkeys(l["phon"] for l in lexique383 if l["phon"]))
    echantillon = random.Random(383).sample(lexique383, 40)
    o = _voisinage.mesures([l["ortho"] for l in echantillon], orthos)
    p = _voisinage.mesures([l["phon"] for l in echantillon], phons)
    accord = [
        sum(abs(m[0] - float(l["old20"])) < 0.006 for m, l in zip(o, echantillon)),
        sum(m[1] == int(l["voisorth"]) for m, l in zip(o, echantillon)),
        sum(m[1] == int(l["voisphon"]) for m, l in zip(p, echantillon)),
    ]
    # The whole file agrees at 99% or more (bench/accord_lexique383.py); a sample of 40
    # may hold one of the exceptions.
    assert min(accord) >= 39, accord


# --- the commands voisins and mesures ---------------------------------------------------

@pytest.fixture
def tsv_cli(tmp_path):
    lignes = [("chat", "ʃa", "chat", "NOM", 10.0), ("chats", "ʃa", "chat", "NOM", 5.0),
              ("char", "ʃaʁ", "char", "NOM", 4.0), ("rat", "ʁa", "rat", "NOM", 3.0),
              ("chut", "ʃyt", "chut", "ONO", 2.0)]
    return ecrire(tmp_path, "tsv", colonnes=COLONNES, lignes=lignes)


def lancer(capsys, *args):
    from brivane_lexique import cli

    code = cli.main([str(a) for a in args])
    sortie = capsys.readouterr()
    return code, sortie.out, sortie.err


def test_commande_mesures_json_comme_la_methode(capsys, tsv_cli):
    import json

    code, out, _ = lancer(capsys, "--lexique", tsv_cli, "mesures", "chat", "zorglub", "--phone", "zorglub", "ʃaʁ",
                          "--n", "2", "--json")
    assert code == 0
    with Lexique(tsv_cli) as lex:
        assert json.loads(out) == lex.mesures(["chat", "zorglub"], n=2, phones={"zorglub": "ʃaʁ"})


def test_commande_mesures_fichier_en_csv(capsys, tsv_cli, tmp_path):
    fichier = tmp_path / "mots.txt"
    fichier.write_text("\ufeffchat\n\nplouf\tʃa\nchat\n", encoding="utf-8")
    code, out, _ = lancer(capsys, "--lexique", tsv_cli, "mesures", "--fichier", fichier)
    assert code == 0
    lignes = list(csv.reader(io.StringIO(out)))
    assert lignes[0] == ["mot", "old20", "pld20", "n_ortho", "n_phon", "pu_ortho", "pu_phon", "homographes",
                         "homophones"]
    assert [l[0] for l in lignes[1:]] == ["chat", "plouf", "chat"]  # one line per word of the file
    assert lignes[1] == lignes[3]
    with Lexique(tsv_cli) as lex:
        m = lex.mesures("plouf", phones={"plouf": "ʃa"})["plouf"]
    assert lignes[2][1:] == ["" if v is None else str(v) for v in m.values()]


def test_commande_voisins(capsys, tsv_cli):
    import json

    code, out, _ = lancer(capsys, "--lexique", tsv_cli, "voisins", "chat", "--json")
    assert code == 0
    assert json.loads(out) == {"voisins": ["char", "chut"], "voisins_levenshtein": ["char", "chats", "chut"],
                               "voisins_phon": ["ʁa"], "voisins_phon_levenshtein": ["ʁa", "ʃaʁ"]}
    code, out, _ = lancer(capsys, "--lexique", tsv_cli, "voisins", "chat")
    assert code == 0 and "char, chut" in out


@pytest.mark.parametrize("args, code", [
    (["mesures"], 2),
    (["mesures", "chat", "--n", "0"], 2),
    (["mesures", "--fichier", "absent.txt"], 1),
])
def test_commande_mesures_erreurs(capsys, tsv_cli, tmp_path, monkeypatch, args, code):
    monkeypatch.chdir(tmp_path)
    obtenu, out, err = lancer(capsys, "--lexique", tsv_cli, *args)
    assert obtenu == code and out == "" and len(err.strip().splitlines()) == 1


def test_pseudo_mot_tres_long_sans_attente():
    # The search starts at the difference of lengths instead of climbing from 1.
    assert _voisinage.distance_moyenne("a" * 20000, ["abc", "ab", "b"], 2) == 19999.0


@pytest.mark.skipif(not hasattr(signal, "SIGINT") or sys.platform == "win32", reason="SIGINT sent to another process")
def test_ctrl_c_arrete_les_mesures_de_tout_le_lexique():
    # Every spelling of the embedded lexicon takes minutes: Ctrl-C must stop it within a
    # slice, and the object must answer afterwards.
    code = textwrap.dedent("""
        import sys
        from brivane_lexique import lexique_par_defaut
        lex = lexique_par_defaut()
        mots = sorted(m for m in lex._formes if m)
        print("pret", flush=True)
        try:
            lex.mesures(mots)
            print("fini")
        except KeyboardInterrupt:
            print("interrompu", lex.mesures(["chat"])["chat"]["homographes"] >= 1)
    """)
    p = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert p.stdout.readline().strip() == "pret"
        time.sleep(3)
        debut = time.monotonic()
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=300)
    finally:
        if p.poll() is None:
            p.kill()
    assert p.returncode == 0, err
    assert out.split() == ["interrompu", "True"]
    assert time.monotonic() - debut < 60
