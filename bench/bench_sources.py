"""Opening (level 1) a lexicon as its users have it: compressed, CSV, Latin-1 with decimal commas.

    python bench/bench_sources.py [--repetitions N] [--base PYTHON]

Measures, each in a fresh child process, the best of N runs of Lexique(path) on:
- lexique_fr.tsv (decompressed once into bench/data/) and lexique_fr.tsv.gz as shipped:
  the compressed file must cost at most 3x the plain one;
- lexique_fr.csv (the delimiter is read from its header line);
- Lexique 3.83 as distributed (UTF-8, tab) and as spreadsheets save it (Latin-1, ';',
  decimal commas), which is read once as UTF-8, then as cp1252.
With --base, the interpreter of another build (say, one made from the commit before these
changes) runs the measures its build can do, round after round with ours, so that both
face the same load.
"""

from __future__ import annotations

import argparse
import csv
import json
import re
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import donnees  # noqa: E402

def fichiers() -> dict[str, tuple[Path, bool]]:
    """Measure name -> (file, whether a build without these changes opens it)."""
    return {
        "fr.tsv": (donnees.tsv_complet(), True),
        "fr.tsv.gz": (donnees.PARTAGE / "lexique_fr.tsv.gz", False),
        "fr.csv": (donnees.csv_complet(), True),
        "383.tsv": (lexique383_utf8(), True),
        "383 latin-1 ; virgules": (lexique383_tableur(), False),
    }


def lexique383_utf8() -> Path:
    return donnees._decompresser("lexique383.tsv.gz")


def lexique383_tableur() -> Path:
    """Lexique 3.83 as a French spreadsheet saves it: Latin-1, ';', decimal commas."""
    cible = donnees.ICI / "lexique383_tableur.csv"
    if not cible.exists():
        with open(lexique383_utf8(), encoding="utf-8", newline="") as f:
            lignes = [[re.sub(r"^(-?\d+)\.(\d+)$", r"\1,\2", v) for v in l] for l in csv.reader(f, delimiter="\t")]
        tmp = cible.with_suffix(".part")
        with open(tmp, "w", encoding="latin-1", newline="") as f:
            csv.writer(f, delimiter=";", lineterminator="\r\n").writerows(lignes)
        tmp.rename(cible)
    return cible


def enfant(chemin: str) -> dict:
    import gc

    from brivane_lexique.lexique import Lexique

    gc.collect()
    t0 = time.perf_counter()
    lex = Lexique(chemin)
    gc.collect(0)
    return {"duree": time.perf_counter() - t0, "n": len(lex._formes), "encodage": getattr(lex, "encodage", "-")}


def mesurer(python: str, chemin: Path) -> dict:
    sortie = subprocess.run([python, __file__, "--enfant", str(chemin)], capture_output=True, text=True, check=True)
    return json.loads(sortie.stdout)


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--enfant":
        print(json.dumps(enfant(sys.argv[2])))
        return
    p = argparse.ArgumentParser()
    p.add_argument("--repetitions", type=int, default=5)
    p.add_argument("--base", metavar="PYTHON", help="interpreter of the build to compare with")
    args = p.parse_args()
    cas = fichiers()
    cotes = {"ours": sys.executable, **({"base": args.base} if args.base else {})}
    res: dict[tuple[str, str], list[dict]] = {}
    for _ in range(args.repetitions):
        for nom, (chemin, ancien) in cas.items():
            for cote, python in cotes.items():
                if cote == "base" and not ancien:
                    continue
                res.setdefault((nom, cote), []).append(mesurer(python, chemin))
    meilleur = {k: min(x["duree"] for x in v) for k, v in res.items()}
    print(f"level 1 (Lexique(path)), best of {args.repetitions} runs, each in a fresh process")
    print(f"{'file':<26}{'forms':>9}{'encoding':>10}{'ours':>9}" + (f"{'base':>9}{'ours/base':>11}" if args.base else ""))
    for nom in cas:
        r = res[(nom, "ours")][0]
        ligne = f"{nom:<26}{r['n']:>9}{r['encodage']:>10}{meilleur[(nom, 'ours')]:>8.3f}s"
        if (nom, "base") in meilleur:
            b = meilleur[(nom, "base")]
            ligne += f"{b:>8.3f}s{meilleur[(nom, 'ours')] / b:>10.2f}x"
        print(ligne)
    print(f"fr.tsv.gz / fr.tsv: {meilleur[('fr.tsv.gz', 'ours')] / meilleur[('fr.tsv', 'ours')]:.2f}x (at most 3x)")
    print(f"383 latin-1 ; virgules / 383.tsv: "
          f"{meilleur[('383 latin-1 ; virgules', 'ours')] / meilleur[('383.tsv', 'ours')]:.2f}x")


if __name__ == "__main__":
    main()
