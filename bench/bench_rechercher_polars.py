"""rechercher against polars, side by side in one process: the two run in alternate
rounds, and each keeps its best round (the machine may be shared).

    python bench/bench_rechercher_polars.py [lexique.tsv]
"""
import gc
import sys
import time

import polars as pl

from brivane_lexique.lexique import Lexique

MOTIFS = ["^ch", "^[bp]r.*er$", "tion", "ment$"]


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


def main():
    chemin = sys.argv[1] if len(sys.argv) > 1 else "/tmp/rech/lexique_fr.tsv"
    lex = Lexique(chemin)
    lex._charger_index()
    gc.collect()
    df = pl.read_csv(chemin, separator="\t")
    o, f = pl.col("ortho"), pl.col("freq_opensubs")

    def top(sel, n=50):
        return sel.unique("ortho", keep="first", maintain_order=True).sort(f, descending=True, maintain_order=True).head(n)

    print(f"Python {sys.version.split()[0]}")
    print(f"{'motif':<16}{'ours ms':>10}{'polars ms':>11}{'ratio':>8}")
    for m in MOTIFS:
        nous, eux = meilleurs([lambda: lex.rechercher(m), lambda: top(df.filter(o.str.contains("(?i)" + m)))])
        print(f"{m:<16}{nous * 1e3:>10.2f}{eux * 1e3:>11.2f}{eux / nous:>7.2f}x")


if __name__ == "__main__":
    main()
