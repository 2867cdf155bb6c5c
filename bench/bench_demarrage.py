"""Duree d'un appel de la ligne de commande sur le lexique embarque, interpreteur a froid.

Chaque commande est lancee dans un nouveau processus (python -m brivane_lexique ...), N fois ;
on garde la meilleure duree (la machine peut etre chargee par ailleurs). Deux lignes de
reference donnent le demarrage de l'interpreteur seul et celui de l'import du paquet.

    python bench/bench_demarrage.py [-n 7] [--cible 0.3]
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import time

COMMANDES = [
    ("existe a", ["existe", "a"]),
    ("phone suis", ["phone", "suis"]),
    ("rimes amour", ["rimes", "amour"]),
    ("conjuguer prendre", ["conjuguer", "prendre"]),
    ("info chat", ["info", "chat"]),
]
REFERENCES = [
    ("(python -c pass)", ["-c", "pass"]),
    ("(import brivane_lexique)", ["-c", "import brivane_lexique"]),
]


def meilleure_duree(arguments: list[str], n: int) -> float:
    meilleure = float("inf")
    for _ in range(n):
        debut = time.perf_counter()
        subprocess.run([sys.executable, *arguments], check=True, stdout=subprocess.DEVNULL)
        meilleure = min(meilleure, time.perf_counter() - debut)
    return meilleure


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("-n", type=int, default=7, help="lancements par commande (meilleur retenu)")
    p.add_argument("--cible", type=float, default=0.3, help="duree visee par commande, en secondes")
    a = p.parse_args()
    lignes = [(nom, meilleure_duree(args, a.n), None) for nom, args in REFERENCES]
    lignes += [(nom, d, d <= a.cible) for nom, args in COMMANDES
               for d in [meilleure_duree(["-m", "brivane_lexique", *args], a.n)]]
    largeur = max(len(nom) for nom, _, _ in lignes)
    print(f"{'commande':<{largeur}}  meilleur (s)  <= {a.cible} s   (meilleur de {a.n})")
    for nom, d, ok in lignes:
        verdict = "" if ok is None else ("oui" if ok else "NON")
        print(f"{nom:<{largeur}}  {d:12.3f}  {verdict}")
    return 0 if all(ok is not False for _, _, ok in lignes) else 1


if __name__ == "__main__":
    sys.exit(main())
