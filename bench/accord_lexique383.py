"""Our neighbourhood measures against the values published in Lexique 3.83.

    python bench/accord_lexique383.py [--lexique chemin/lexique383.tsv[.gz]]

Lexique 3.83 ships, for each of its rows, `old20`, `pld20`, `voisorth`, `voisphon`,
`puorth`, `puphon`, `nbhomogr`, `nbhomoph`. We compute the same measures from the file's
own lists: its distinct spellings, and its distinct `phon` codes (Lexique's ASCII code,
one character per phoneme, compared character by character here). Agreement is counted
over the distinct spellings (the first row of each) and over all rows for the
phonological measures; published OLD20/PLD20 are rounded to 2 decimals.
"""

from __future__ import annotations

import argparse
import collections
import csv
import gzip
import io
import sys
import time
from pathlib import Path

from brivane_lexique import _voisinage

DEFAUT = Path(__file__).resolve().parents[2] / "shared" / "data" / "lexique383.tsv.gz"


def lire(chemin: Path) -> list[dict]:
    brut = gzip.open(chemin, "rb").read() if chemin.suffix == ".gz" else chemin.read_bytes()
    return list(csv.DictReader(io.StringIO(brut.decode("utf-8")), delimiter="\t", quoting=csv.QUOTE_NONE))


def accord(nom: str, paires: list[tuple], egal) -> None:
    ok = sum(1 for a, b in paires if egal(a, b))
    print(f"{nom:10s} {ok}/{len(paires)} = {100 * ok / max(1, len(paires)):.2f} %")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--lexique", type=Path, default=DEFAUT)
    args = p.parse_args()
    lignes = lire(args.lexique)
    par_ortho = {}
    for l in lignes:
        par_ortho.setdefault(l["ortho"], l)
    orthos = list(par_ortho)
    phons = list(dict.fromkeys(l["phon"] for l in lignes if l["phon"]))
    print(f"{len(lignes)} rows, {len(orthos)} spellings, {len(phons)} phonological codes")

    t = time.perf_counter()
    # (OLD20, N, uniqueness point) of each spelling; the same of each code.
    mesures = dict(zip(orthos, _voisinage.mesures(orthos, orthos)))
    mesures_phon = dict(zip(phons, _voisinage.mesures(phons, phons)))
    print(f"measures of every spelling and code: {time.perf_counter() - t:.1f} s")
    old = {o: m[0] for o, m in mesures.items()}
    pld = {p: m[0] for p, m in mesures_phon.items()}
    lignes_ortho = collections.Counter(l["ortho"] for l in lignes)
    lignes_phon = collections.Counter(l["phon"] for l in lignes)

    def reel(a, b):
        return a is not None and b != "" and abs(a - float(b)) < 0.006

    uniques = list(par_ortho.values())
    accord("old20", [(old[l["ortho"]], l["old20"]) for l in uniques], reel)
    accord("voisorth", [(mesures[l["ortho"]][1], l["voisorth"]) for l in uniques], lambda a, b: a == int(b))
    accord("puorth", [(mesures[l["ortho"]][2], l["puorth"]) for l in uniques], lambda a, b: a == int(b))
    accord("nbhomogr", [(lignes_ortho[l["ortho"]], l["nbhomogr"]) for l in lignes], lambda a, b: a == int(b))
    avec_phon = [l for l in lignes if l["phon"]]
    print(f"(rows without a published pld20: {sum(l['pld20'] == '' for l in avec_phon)})")
    accord("voisphon", [(mesures_phon[l["phon"]][1], l["voisphon"]) for l in avec_phon], lambda a, b: a == int(b))
    accord("pld20", [(pld[l["phon"]], l["pld20"]) for l in avec_phon], reel)
    accord("puphon", [(mesures_phon[l["phon"]][2], l["puphon"]) for l in avec_phon], lambda a, b: a == int(b))
    accord("nbhomoph", [(lignes_phon[l["phon"]], l["nbhomoph"]) for l in avec_phon], lambda a, b: a == int(b))

    # Where the uniqueness points differ: words that begin another word (we answer
    # len + 1), and the others.
    ecarts = collections.Counter()
    for l in uniques:
        nous, eux, n = mesures[l["ortho"]][2], int(l["puorth"]), len(l["ortho"])
        if nous != eux:
            ecarts[("prefix of another word" if nous == n + 1 else "other",
                    "theirs = len" if eux == n else "theirs = 0" if eux == 0 else "theirs other")] += 1
    print("puorth differences:", dict(ecarts))
    ecarts = collections.Counter()
    for l in uniques:
        a, b = old[l["ortho"]], float(l["old20"] or "nan")
        if not reel(a, l["old20"]):
            ecarts["ours lower" if a < b else "ours higher"] += 1
    print("old20 differences:", dict(ecarts))
    ecarts = collections.Counter()
    for l in avec_phon:
        a, b = pld[l["phon"]], float(l["pld20"] or "nan")
        if not reel(a, l["pld20"]):
            ecarts["ours lower" if a < b else "ours higher"] += 1
    print("pld20 differences:", dict(ecarts))
    exemples = [(l["ortho"], l["phon"], pld[l["phon"]], l["pld20"]) for l in avec_phon if not reel(pld[l["phon"]], l["pld20"])]
    print("pld20 examples:", exemples[:8])
    exemples = [(l["ortho"], mesures[l["ortho"]][2], l["puorth"]) for l in uniques
                if mesures[l["ortho"]][1] != int(l["puorth"])]
    print("puorth examples:", exemples[:8])


if __name__ == "__main__":
    sys.exit(main())
