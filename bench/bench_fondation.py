"""Opening a lexicon, building its indexes, existence test: ours against plain Python.

    python bench/bench_fondation.py [--repetitions N]

Reads ../shared/data/lexique_fr.tsv.gz (decompressed once into bench/data/). Each measure runs
in a fresh child process so that peak memory (ru_maxrss) belongs to that measure alone.
"""

from __future__ import annotations

import argparse
import gc
import json
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import donnees  # noqa: E402

MESURES = ("niveau1", "niveau1_base", "index", "index_base")


def enfant(mesure: str, chemin: str) -> dict:
    import resource

    import baselines_fondation as base
    from brivane_lexique import Lexique

    # Imports stay outside the measures, on both sides, with what they left young.
    gc.collect()
    t0 = time.perf_counter()
    if mesure == "niveau1":
        lex = Lexique(chemin)
        n = len(lex._formes)
    elif mesure == "niveau1_base":
        n = len(base.charger_formes(chemin))
    elif mesure == "index":
        lex = Lexique(chemin)
        t0 = time.perf_counter()
        lex._charger_index()
        n = len(lex._index_ortho)
    else:
        base.charger_formes(chemin)
        t0 = time.perf_counter()
        n = len(base.charger_index(chemin)[1])
    # The young objects a build leaves are collected at the next allocation: that
    # pause is part of the build, on both sides.
    gc.collect(0)
    duree = time.perf_counter() - t0
    return {"duree": duree, "n": n, "rss_mo": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}


def mesurer(chemin: Path, repetitions: int) -> dict:
    """The two sides of a ratio alternate, round after round, so that the machine's
    drift falls on both alike; each comparison runs apart from the other, so that
    each side follows a run of the same comparison."""
    res = {m: [] for m in MESURES}
    for paire in (("niveau1", "niveau1_base"), ("index", "index_base")):
        for _ in range(repetitions):
            for m in paire:
                sortie = subprocess.run(
                    [sys.executable, __file__, "--enfant", m, str(chemin)], capture_output=True, text=True,
                    check=True,
                ).stdout
                res[m].append(json.loads(sortie))
    return {m: {"duree": statistics.median(x["duree"] for x in l), "min": min(x["duree"] for x in l),
                "rss_mo": max(x["rss_mo"] for x in l), "n": l[0]["n"]} for m, l in res.items()}


def existe(chemin: Path) -> tuple[float, float, float, float]:
    from brivane_lexique import Lexique

    import baselines_fondation as base

    lex = Lexique(chemin)
    formes_base = base.charger_formes(str(chemin))
    presents = [m for m, _ in zip(lex._formes, range(5000))]
    absents = [m + "zq" for m in presents]
    # Fresh str objects, as a caller's words would be (no cached hash).
    presents = [("" + m + " ").strip() for m in presents]
    absents = [("" + m + " ").strip() for m in absents]

    def par_appel(f, mots):
        meilleurs = []
        for _ in range(7):
            t = time.perf_counter()
            for m in mots:
                f(m)
            meilleurs.append((time.perf_counter() - t) / len(mots) * 1e9)
        return statistics.median(meilleurs)

    assert all(lex.existe(m) for m in presents) and not any(lex.existe(m) for m in absents)
    ex_base = base.existe_fonction(formes_base)
    return (par_appel(lex.existe, presents), par_appel(lex.existe, absents),
            par_appel(ex_base, presents), par_appel(ex_base, absents))


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--enfant":
        print(json.dumps(enfant(sys.argv[2], sys.argv[3])))
        return
    p = argparse.ArgumentParser()
    p.add_argument("--repetitions", type=int, default=5)
    args = p.parse_args()
    chemin = donnees.tsv_complet()
    r = mesurer(chemin, args.repetitions)
    print(f"lexique: {chemin.name}, {r['niveau1']['n']} formes, {r['index']['n']} cles ortho")
    print(f"medians of {args.repetitions} runs (best run of each side in brackets)")
    print(f"{'operation':<28}{'ours':>10}{'plain Py':>10}{'ratio':>8}{'RSS ours':>11}{'RSS Py':>9}")
    for nom, a, b in (("open (level 1)", "niveau1", "niveau1_base"), ("build 3 indexes", "index", "index_base")):
        print(f"{nom:<28}{r[a]['duree']:>9.3f}s{r[b]['duree']:>9.3f}s{r[b]['duree'] / r[a]['duree']:>7.1f}x"
              f"{r[a]['rss_mo']:>9.0f}MB{r[b]['rss_mo']:>7.0f}MB"
              f"   [{r[a]['min']:.3f}s {r[b]['min']:.3f}s {r[b]['min'] / r[a]['min']:.1f}x]")
    hit, miss, hit_b, miss_b = existe(chemin)
    print(f"{'existe (hit), per call':<28}{hit:>8.0f}ns{hit_b:>8.0f}ns{hit_b / hit:>7.1f}x")
    print(f"{'existe (miss), per call':<28}{miss:>8.0f}ns{miss_b:>8.0f}ns{miss_b / miss:>7.1f}x")


if __name__ == "__main__":
    main()
