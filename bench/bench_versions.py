"""Our figures under two interpreters, measured in alternate child processes of one run.

    python bench/bench_versions.py --autre /path/to/python3.13 [--tours 3] [--budget 0.3]

Both interpreters must have the same commit of the package installed. Each round starts one child
under this interpreter and one under the other; each child opens the real lexicon (TSV with every
index, and SQLite), times the operations of bench/rapport.py (the same words, the same calls) and
prints its figures. The best of the rounds is kept per figure, so a burst of outside load hitting one
child does not decide a ratio; the two interpreters meet the same load, round after round, instead of
two reports run at two moments.

Target: each figure on the newer interpreter within 1.3x of the same figure on the older one.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import time
from pathlib import Path

ICI = Path(__file__).resolve().parent
sys.path.insert(0, str(ICI))
import donnees  # noqa: E402
import rapport  # noqa: E402

CIBLE = 1.3


def enfant(budget: float) -> dict:
    from brivane_lexique import Lexique

    tsv, sqlite = donnees.tsv_complet(), donnees.sqlite_complet()
    res = {}
    t = time.perf_counter()
    Lexique(tsv)
    res["opening: TSV level 1"] = time.perf_counter() - t
    t = time.perf_counter()
    nous = Lexique(tsv, precharger=True)
    res["opening: TSV all indexes"] = time.perf_counter() - t
    t = time.perf_counter()
    nous_sql = Lexique(sqlite)
    res["opening: SQLite level 1"] = time.perf_counter() - t
    ech = rapport.choisir_mots(nous)
    rapport.SORTIE.mkdir(exist_ok=True)
    sortie = rapport.SORTIE / f"versions-{sys.version_info[0]}.{sys.version_info[1]}"
    sortie.mkdir(exist_ok=True)
    for nom, f, args, _ in rapport.operations(ech, sortie):
        suffixe = " (per call)" if len(args) > 1 else ""
        for dos, lex in (("TSV", nous), ("SQLite", nous_sql)):
            g = rapport.lier(f, lex)
            args_g = rapport.sous_ensemble(g, args, budget)
            res[f"{dos}: {nom}{suffixe}"] = rapport.chrono(g, args_g, budget)
    return res


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--autre", help="the other interpreter (its package installed from the same commit)")
    p.add_argument("--tours", type=int, default=3)
    p.add_argument("--budget", type=float, default=0.3, help="seconds of repetitions per figure (roughly)")
    p.add_argument("--enfant", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.enfant:
        print(json.dumps(enfant(args.budget)))
        return
    if not args.autre:
        p.error("--autre is required")
    interpretes = [sys.executable, args.autre]
    versions = [subprocess.run([py, "-c", "import platform; print(platform.python_version())"],
                               capture_output=True, text=True, check=True).stdout.strip() for py in interpretes]
    meilleurs: list[dict] = [{}, {}]
    for tour in range(args.tours):
        for i, py in enumerate(interpretes if tour % 2 == 0 else interpretes[::-1]):
            k = i if tour % 2 == 0 else 1 - i
            print(f"round {tour + 1}/{args.tours}: Python {versions[k]}", file=sys.stderr, flush=True)
            sortie = subprocess.run([py, __file__, "--enfant", "--budget", str(args.budget)],
                                    capture_output=True, text=True, check=True).stdout
            for nom, t in json.loads(sortie).items():
                meilleurs[k][nom] = min(t, meilleurs[k].get(nom, float("inf")))
    ordre = sorted(range(2), key=lambda k: tuple(int(c) for c in versions[k].split(".")[:2]))
    vieux, neuf = ordre
    print(f"| figure | Python {versions[vieux]} | Python {versions[neuf]} | ratio | within {CIBLE}x |")
    print("|---|---:|---:|---:|:-:|")
    echecs = 0
    for nom, tv in meilleurs[vieux].items():
        tn = meilleurs[neuf].get(nom)
        if tn is None:
            continue
        ratio = tn / tv
        ok = ratio <= CIBLE
        echecs += not ok
        print(f"| {nom} | {rapport.fmt_t(tv)} | {rapport.fmt_t(tn)} | {ratio:.2f}x | {'PASS' if ok else '**FAIL**'} |")
    print(f"\n{echecs} figure(s) outside {CIBLE}x; best of {args.tours} rounds each, load average "
          f"{'/'.join(f'{x:.1f}' for x in __import__('os').getloadavg())} at the end")


if __name__ == "__main__":
    main()
