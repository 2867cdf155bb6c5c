"""rechercher against polars, side by side in one process: the two run in alternate
rounds, and each keeps its best round (the machine may be shared).

    python bench/bench_rechercher_polars.py [lexique.tsv]
    python bench/bench_rechercher_polars.py [lexique.tsv] --comparer PY:DIR [PY:DIR ...]

With --comparer, each PY:DIR names an interpreter and a directory holding another build of the
package (a copy of an earlier install's `brivane_lexique/`): every round starts one child per
interpreter with that build first on its path and one with the installed build, in rotating order,
and the best of the rounds is kept per figure. The table gives, per interpreter and pattern, the
polars/ours ratio of both builds (measured against polars in the same child) and the earlier/installed
time ratio.
"""
import argparse
import gc
import json
import os
import subprocess
import sys
import time

MOTIFS = [("^ch", "ortho"), ("^[bp]r.*er$", "ortho"), ("tion", "ortho"), ("ment$", "ortho"), ("ʃɑ̃$", "phone")]


def meilleurs(fonctions, tours=15):
    for f in fonctions:
        f()
    temps = [[] for _ in fonctions]
    for _ in range(tours):
        for f, t in zip(fonctions, temps):
            debut = time.perf_counter()
            f()
            t.append(time.perf_counter() - debut)
    return [min(t) for t in temps]


def mesurer(chemin, tours):
    import polars as pl

    from brivane_lexique.lexique import Lexique

    lex = Lexique(chemin)
    lex._charger_index()
    gc.collect()
    df = pl.read_csv(chemin, separator="\t")
    f = pl.col("freq_opensubs")

    def top(sel, n=50):
        return sel.unique("ortho", keep="first", maintain_order=True).sort(f, descending=True, maintain_order=True).head(n)

    res = {}
    for m, champ in MOTIFS:
        col = pl.col(champ)
        nous, eux = meilleurs([lambda: lex.rechercher(m, champ), lambda: top(df.filter(col.str.contains("(?i)" + m)))],
                              tours)
        res[f"{champ} {m}"] = (nous, eux)
    return res


def comparer(chemin, couples, tours, rounds):
    variantes = []  # (interpreter, build directory or None for the installed one)
    for c in couples:
        py, dossier = c.split(":", 1)
        variantes += [(py, dossier), (py, None)]
    versions = {py: subprocess.run([py, "-c", "import platform; print(platform.python_version())"],
                                   capture_output=True, text=True, check=True).stdout.strip() for py, _ in variantes}
    best = [{} for _ in variantes]
    for r in range(rounds):
        decalage = r % len(variantes)
        for k in list(range(len(variantes)))[decalage:] + list(range(len(variantes)))[:decalage]:
            py, dossier = variantes[k]
            env = dict(os.environ)
            if dossier:
                env["PYTHONPATH"] = dossier
            print(f"round {r + 1}/{rounds}: Python {versions[py]} {'earlier' if dossier else 'installed'}",
                  file=sys.stderr, flush=True)
            sortie = subprocess.run([py, __file__, chemin, "--enfant", "--tours", str(tours)], env=env,
                                    capture_output=True, text=True, check=True).stdout
            for nom, (nous, eux) in json.loads(sortie).items():
                a = best[k].get(nom, (float("inf"), float("inf")))
                best[k][nom] = (min(a[0], nous), min(a[1], eux))
    print("| Python | pattern | earlier ms | polars ms | polars/earlier | installed ms | polars ms "
          "| polars/installed | earlier/installed |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for k in range(0, len(variantes), 2):
        v = versions[variantes[k][0]]
        for nom, (a, pa) in best[k].items():
            n, pn = best[k + 1][nom]
            print(f"| {v} | {nom} | {a * 1e3:.2f} | {pa * 1e3:.2f} | {pa / a:.2f}x | {n * 1e3:.2f} | {pn * 1e3:.2f} "
                  f"| {pn / n:.2f}x | {a / n:.2f}x |")
    print(f"\nbest of {rounds} rounds of {tours} calls each; load average "
          f"{'/'.join(f'{x:.1f}' for x in os.getloadavg())} at the end")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("chemin", nargs="?", default="/tmp/rech/lexique_fr.tsv")
    p.add_argument("--comparer", nargs="+", metavar="PY:DIR")
    p.add_argument("--tours", type=int, default=15)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--enfant", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.enfant:
        print(json.dumps(mesurer(args.chemin, args.tours)))
        return
    if args.comparer:
        comparer(args.chemin, args.comparer, args.tours, args.rounds)
        return
    print(f"Python {sys.version.split()[0]}")
    print(f"{'motif':<22}{'ours ms':>10}{'polars ms':>11}{'ratio':>8}")
    for nom, (nous, eux) in mesurer(args.chemin, args.tours).items():
        print(f"{nom:<22}{nous * 1e3:>10.2f}{eux * 1e3:>11.2f}{eux / nous:>7.2f}x")


if __name__ == "__main__":
    main()
