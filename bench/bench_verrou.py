"""Cost of the per-object lock on the cheapest calls (uncontended, one thread).

    python bench/bench_verrou.py [--repetitions 5] [--json FICHIER]

Times the shortest methods of Lexique (where a fixed cost per call would show most)
on a TSV lexicon in memory and on a SQLite one: best of the repetitions, in ns per
call. Run it with two builds (each from its own environment) and compare the figures.
"""
import argparse
import json
import sqlite3
import sys
import tempfile
import time
from pathlib import Path

from brivane_lexique.lexique import Lexique

LIGNES = [(f"mot{i}", f"m{i % 97}", f"mot{i % 500}", "NOM", float(i % 13)) for i in range(5000)]


def ecrire(dossier):
    tsv = Path(dossier) / "l.tsv"
    tsv.write_text("ortho\tphone\tlemme\tcgram\tfreq_opensubs\n" +
                   "".join("\t".join(map(str, l)) + "\n" for l in LIGNES), encoding="utf-8")
    base = Path(dossier) / "l.sqlite"
    conn = sqlite3.connect(base)
    conn.execute("CREATE TABLE formes (ortho, phone, lemme, cgram, freq_opensubs REAL)")
    conn.executemany("INSERT INTO formes VALUES (?,?,?,?,?)", LIGNES)
    conn.commit()
    conn.close()
    return tsv, base


def mesurer(f, n, repetitions):
    meilleur = float("inf")
    for _ in range(repetitions):
        debut = time.perf_counter_ns()
        for _ in range(n):
            f()
        meilleur = min(meilleur, (time.perf_counter_ns() - debut) / n)
    return meilleur


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--repetitions", type=int, default=5)
    p.add_argument("--json")
    a = p.parse_args()
    res = {}
    with tempfile.TemporaryDirectory() as d:
        tsv, base = ecrire(d)
        for nom, source in (("tsv", tsv), ("sqlite", base)):
            lex = Lexique(source, precharger=True)
            n = 200_000 if nom == "tsv" else 20_000
            for methode, args in (("existe", ("mot7",)), ("info", ("mot7",)), ("phone_de", ("mot7",)),
                                  ("frequence", ("mot7",))):
                f = getattr(lex, methode)
                res[f"{nom}.{methode}"] = mesurer(lambda: f(*args), n, a.repetitions)
    for k, v in res.items():
        print(f"{k:20} {v:9.0f} ns")
    if a.json:
        Path(a.json).write_text(json.dumps(res))
    return 0


if __name__ == "__main__":
    sys.exit(main())
