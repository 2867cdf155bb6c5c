"""The real lexicon for benchmarks, decompressed once into bench/data/."""

from __future__ import annotations

import csv
import gzip
import os
import shutil
from pathlib import Path

# Beside the repository, unless BRIVANE_LEXIQUE_DONNEES names the folder (as for the tests).
PARTAGE = Path(os.environ.get("BRIVANE_LEXIQUE_DONNEES") or Path(__file__).resolve().parents[2] / "shared" / "data")
ICI = Path(__file__).resolve().parent / "data"


def _decompresser(nom: str) -> Path:
    cible = ICI / nom[: -len(".gz")]
    if not cible.exists():
        ICI.mkdir(exist_ok=True)
        tmp = cible.with_suffix(cible.suffix + ".part")
        with gzip.open(PARTAGE / nom, "rb") as src, open(tmp, "wb") as dst:
            shutil.copyfileobj(src, dst, 1 << 20)
        tmp.rename(cible)
    return cible


def tsv_complet() -> Path:
    return _decompresser("lexique_fr.tsv.gz")


def csv_complet() -> Path:
    """The lexicon as a comma-separated file (made once from the TSV, quoted as csv.writer quotes)."""
    cible = ICI / "lexique_fr.csv"
    if not cible.exists():
        tmp = cible.with_suffix(".csv.part")
        with open(tsv_complet(), encoding="utf-8", newline="") as src, open(tmp, "w", encoding="utf-8",
                                                                              newline="") as dst:
            ecrivain = csv.writer(dst)
            for ligne in src:
                ecrivain.writerow(ligne.rstrip("\r\n").split("\t"))
        tmp.rename(cible)
    return cible


def sqlite_complet() -> Path:
    return _decompresser("lexique_fr.sqlite.gz")


def tsv_petit() -> Path:
    return PARTAGE / "lexique_fr_small.tsv"
