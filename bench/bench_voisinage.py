"""Neighbourhood measures on the real lexicon: ours against rapidfuzz's process.cdist.

    python bench/bench_voisinage.py [--echantillon N] [--tours N] [--sans-complet] [--arbre-seul]

- Structures: time to build the spelling and pronunciation tries of a Lexique (TSV source,
  indexes built first), then the measures of one word and of one pseudoword (best of
  --tours runs of Lexique.mesures, wall time and CPU time of the calling thread).
- Pseudowords of every length up to the longest spelling, --par-longueur made of letter trigrams
  of real spellings and as many of random letters: per bucket of lengths, the median, 99th
  percentile and max of Lexique.mesures (best of 3 per string), and of the first of the three
  calls (what a caller measuring each string once sees). --pseudo-seuls stops there.
- Whole lexicon: OLD20 of every distinct spelling and PLD20 of every distinct
  pronunciation (_voisinage.distances_moyennes, on every core), with the growth of the
  peak resident memory over the run.
- Baseline: rapidfuzz.process.cdist (Levenshtein, every core) of a random sample of
  --echantillon words against the same lists, then the 20 smallest distances of each row;
  its time is extrapolated to the whole list. The OLD20/PLD20 of the sample must agree.
- --arbre-seul: every search walks the trie, as on a processor without AVX2 (ARM, older x86).
"""

from __future__ import annotations

import argparse
import os
from collections import Counter, defaultdict
import random
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import donnees  # noqa: E402

from brivane_lexique import _utils, _voisinage, lexique as lexique_module  # noqa: E402
from brivane_lexique.lexique import Lexique  # noqa: E402


def memoire_max_mo() -> float:
    """Peak resident memory of this process so far (VmHWM), in MB."""
    for ligne in Path("/proc/self/status").read_text().splitlines():
        if ligne.startswith("VmHWM:"):
            return int(ligne.split()[1]) / 1024
    return float("nan")


def temps_cpu() -> float:
    """User + system CPU seconds of this process (all its threads): the machine may be shared."""
    t = os.times()
    return t.user + t.system


def meilleurs(f, tours: int) -> tuple[float, float]:
    """Best wall time and best CPU time of the calling thread over `tours` runs: on a shared
    machine the second says what the call costs when others take the cores."""
    murs, cpus = [], []
    for _ in range(tours):
        t, c = time.perf_counter(), time.thread_time()
        f()
        cpus.append(time.thread_time() - c)
        murs.append(time.perf_counter() - t)
    return min(murs), min(cpus)


def cdist_old(echantillon: list, liste: list, n: int = 20) -> tuple[float, list]:
    """Mean of the n smallest distances of each sample word to the others, by cdist."""
    from rapidfuzz import process
    from rapidfuzz.distance import Levenshtein

    t = time.perf_counter()
    res, connus = [], set(liste)
    # In slices, so that the distance matrix stays small.
    for i in range(0, len(echantillon), 50):
        bloc = echantillon[i:i + 50]
        m = process.cdist(bloc, liste, scorer=Levenshtein.distance, workers=-1, dtype=np.int32)
        for mot, ligne in zip(bloc, m):
            ligne = ligne[ligne > 0] if mot in connus else ligne
            k = min(n, len(ligne))
            res.append(float(np.partition(ligne, k - 1)[:k].mean()) if k else None)
    return time.perf_counter() - t, res


def phonemes(transcriptions: list) -> list:
    """Each transcription as a tuple of phoneme numbers (cdist compares sequences of hashables)."""
    numeros: dict = {}
    return [tuple(numeros.setdefault(s, len(numeros)) for s in _utils._tokenize_ipa(t)) for t in transcriptions]


def pseudo_mots(formes: list, longueur: int, nombre: int, rng: random.Random) -> list:
    """`nombre` distinct strings of `longueur` letters, none a spelling, each letter drawn after
    the two before it as often as it follows them in the spellings (the edges marked ^ and $), and
    only where a spelling's ending can still be reached in exactly the letters left."""
    suites: dict = defaultdict(Counter)
    for f in formes:
        w = "^^" + f + "$"
        for i in range(len(w) - 2):
            suites[w[i:i + 2]][w[i + 2]] += 1
    # fins[r]: the pairs of letters after which a spelling can end in exactly r more letters.
    fins = [{paire for paire, s in suites.items() if "$" in s}]
    for _ in range(longueur):
        fins.append({paire for paire, s in suites.items() if any(paire[1] + c in fins[-1] for c in s if c != "$")})
    connus, res = set(formes), []
    for _ in range(1000 * nombre):
        if len(res) == nombre or "^^" not in fins[longueur]:
            break
        mot = "^^"
        for reste in range(longueur, 0, -1):
            choix = sorted((c, k) for c, k in suites[mot[-2:]].items() if c != "$" and mot[-1] + c in fins[reste - 1])
            mot += rng.choices([c for c, _ in choix], [k for _, k in choix])[0]
        if mot[2:] not in connus and mot[2:] not in res:
            res.append(mot[2:])
    return res


def par_longueurs(lex, formes: list, par_longueur: int) -> None:
    """Time of mesures() by bucket of lengths, for trigram-legal pseudowords and random letters."""
    rng = random.Random(11)
    longueurs = range(3, max(map(len, formes)) + 1)
    jeux = {
        "trigrams": {n: pseudo_mots(formes, n, par_longueur, rng) for n in longueurs},
        "random letters": {n: ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(n))
                               for _ in range(par_longueur)] for n in longueurs},
    }
    for nom, jeu in jeux.items():
        print(f"{nom} ({sum(map(len, jeu.values()))} strings), ms per mesures(), best of 3:")
        for bas, haut in ((3, 6), (7, 10), (11, 15), (16, 20), (21, longueurs[-1])):
            mots = [m for n in range(bas, haut + 1) for m in jeu.get(n, [])]
            premiers, temps = [], []
            for m in mots:
                premiers.append(meilleurs(lambda: lex.mesures(m), 1)[0] * 1000)
                temps.append(min(premiers[-1], meilleurs(lambda: lex.mesures(m), 2)[0] * 1000))
            pire = mots[int(np.argmax(temps))]
            print(f"  {bas:2d}-{haut:2d}: median {np.median(temps):.3f}  p99 {np.percentile(temps, 99):.3f}  "
                  f"max {max(temps):.3f} ({pire})  over 2 ms: {sum(t > 2 for t in temps)}/{len(temps)}; "
                  f"first call: median {np.median(premiers):.3f}  max {max(premiers):.3f}  "
                  f"over 2 ms: {sum(t > 2 for t in premiers)}")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--echantillon", type=int, default=200)
    p.add_argument("--tours", type=int, default=5)
    p.add_argument("--sans-complet", action="store_true", help="skip the whole-lexicon run")
    p.add_argument("--par-longueur", type=int, default=30)
    p.add_argument("--pseudo-seuls", action="store_true", help="stop after the pseudowords")
    p.add_argument("--arbre-seul", action="store_true", help="never read the words by length")
    args = p.parse_args()
    if args.arbre_seul:
        for module in (_voisinage, lexique_module):
            module._mode_balayage(-1)

    lex = Lexique(donnees.tsv_complet())
    lex._get_index_phone()
    formes = sorted(f for f in lex._formes if isinstance(f, str))
    phones = sorted(lex._get_index_phone())
    print(f"{len(formes)} spellings, {len(phones)} pronunciations")

    t = time.perf_counter()
    lex.old20("maison")
    t_ortho = time.perf_counter() - t
    t = time.perf_counter()
    lex.pld20("maison")
    t_phon = time.perf_counter() - t
    print(f"tries built: spellings {t_ortho:.2f} s, pronunciations {t_phon:.2f} s (target <= 5 s)")
    for mot in ("maison", "chat", "anticonstitutionnellement", "brivane", "plafiner"):
        dt, dcpu = meilleurs(lambda: lex.mesures(mot), args.tours)
        print(f"  mesures({mot!r}): {dt * 1000:.2f} ms, CPU {dcpu * 1000:.2f} ms (target <= 2 ms)  "
              f"{lex.mesures(mot)[mot]}")
    phone = lex.phone_de("anticonstitutionnellement")
    dt, dcpu = meilleurs(lambda: lex.pld20("anticonstitutionnellement", phone=phone), args.tours)
    print(f"  pld20('anticonstitutionnellement', phone={phone!r}): {dt * 1000:.2f} ms, CPU {dcpu * 1000:.2f} ms")
    par_longueurs(lex, formes, args.par_longueur)
    if args.pseudo_seuls:
        return

    rng = random.Random(3)
    for nom, liste, ipa, cdist_liste in (
        ("OLD20", formes, False, formes),
        ("PLD20", phones, True, None),
    ):
        echantillon = rng.sample(liste, args.echantillon)
        if cdist_liste is None:
            codes = phonemes(liste)
            par_texte = dict(zip(liste, codes))
            t_rf, ref = cdist_old([par_texte[e] for e in echantillon], codes)
        else:
            t_rf, ref = cdist_old(echantillon, liste)
        nous = _voisinage.distances_moyennes(echantillon, liste, 20, ipa=ipa)
        accord = sum(a == b for a, b in zip(nous, ref))
        rf_total = t_rf / len(echantillon) * len(liste)
        print(f"{nom}: rapidfuzz cdist {t_rf / len(echantillon) * 1000:.1f} ms/word -> "
              f"{rf_total:.0f} s extrapolated to {len(liste)}; sample agreement {accord}/{len(echantillon)}")
        if args.sans_complet:
            continue
        avant = memoire_max_mo()
        t, cpu = time.perf_counter(), temps_cpu()
        _voisinage.distances_moyennes(liste, liste, 20, ipa=ipa)
        dt, dcpu = time.perf_counter() - t, temps_cpu() - cpu
        print(f"{nom}: ours, all {len(liste)}: {dt:.1f} s wall, {dcpu:.1f} s CPU user+sys "
              f"({dt / len(liste) * 1e6:.0f} us/word, {rf_total / dt:.0f}x rapidfuzz); "
              f"peak RSS +{memoire_max_mo() - avant:.0f} MB")


if __name__ == "__main__":
    main()
