"""Neighbourhood measures on the real lexicon: ours against rapidfuzz's process.cdist.

    python bench/bench_voisinage.py [--echantillon N] [--tours N] [--sans-complet]

- Structures: time to build the spelling and pronunciation tries of a Lexique (TSV source,
  indexes built first), then the measures of one word and of one pseudoword (best of
  --tours runs of Lexique.mesures, wall time and CPU time of the calling thread).
- Whole lexicon: OLD20 of every distinct spelling and PLD20 of every distinct
  pronunciation (_voisinage.distances_moyennes, on every core), with the growth of the
  peak resident memory over the run.
- Baseline: rapidfuzz.process.cdist (Levenshtein, every core) of a random sample of
  --echantillon words against the same lists, then the 20 smallest distances of each row;
  its time is extrapolated to the whole list. The OLD20/PLD20 of the sample must agree.
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import donnees  # noqa: E402

from brivane_lexique import _utils, _voisinage  # noqa: E402
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
    res = []
    # In slices, so that the distance matrix stays small.
    for i in range(0, len(echantillon), 50):
        bloc = echantillon[i:i + 50]
        m = process.cdist(bloc, liste, scorer=Levenshtein.distance, workers=-1, dtype=np.int32)
        for mot, ligne in zip(bloc, m):
            ligne = ligne[ligne > 0] if mot in ensemble_de(liste) else ligne
            k = min(n, len(ligne))
            res.append(float(np.partition(ligne, k - 1)[:k].mean()) if k else None)
    return time.perf_counter() - t, res


_ENSEMBLES: dict = {}


def ensemble_de(liste: list) -> set:
    cle = id(liste)
    if cle not in _ENSEMBLES:
        _ENSEMBLES[cle] = set(liste)
    return _ENSEMBLES[cle]


def phonemes(transcriptions: list) -> list:
    """Each transcription as a tuple of phoneme numbers (cdist compares sequences of hashables)."""
    numeros: dict = {}
    return [tuple(numeros.setdefault(s, len(numeros)) for s in _utils._tokenize_ipa(t)) for t in transcriptions]


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--echantillon", type=int, default=200)
    p.add_argument("--tours", type=int, default=5)
    p.add_argument("--sans-complet", action="store_true", help="skip the whole-lexicon run")
    args = p.parse_args()

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
    # Invented strings of 20 to 28 letters: random letters, and French-like syllables.
    rng = random.Random(7)
    inventes = ["".join(rng.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(20, 28)))
                for _ in range(3)]
    syllabes = ["ba", "ri", "to", "lan", "mi", "sor", "ve", "pu", "chon", "dre", "ta", "nel", "ment", "con"]
    while len(inventes) < 6:
        mot = "".join(rng.choice(syllabes) for _ in range(rng.randint(7, 11)))
        if 20 <= len(mot) <= 28:
            inventes.append(mot)
    for mot in ("maison", "chat", "anticonstitutionnellement", "brivane", "plafiner", *inventes):
        dt, dcpu = meilleurs(lambda: lex.mesures(mot), args.tours)
        print(f"  mesures({mot!r}): {dt * 1000:.2f} ms, CPU {dcpu * 1000:.2f} ms (target <= 2 ms)  "
              f"{lex.mesures(mot)[mot]}")
    phone = lex.phone_de("anticonstitutionnellement")
    dt, dcpu = meilleurs(lambda: lex.pld20("anticonstitutionnellement", phone=phone), args.tours)
    print(f"  pld20('anticonstitutionnellement', phone={phone!r}): {dt * 1000:.2f} ms, CPU {dcpu * 1000:.2f} ms")

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
