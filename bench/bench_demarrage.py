"""Duree d'un appel de la ligne de commande sur le lexique embarque, interpreteur a froid.

Chaque commande est lancee dans un nouveau processus (python -m brivane_lexique ...), N fois ;
on garde la meilleure duree (la machine peut etre chargee par ailleurs). Deux lignes de
reference donnent le demarrage de l'interpreteur seul et celui de l'import du paquet. La
colonne "simple" relance chaque commande avec BRIVANE_LEXIQUE_SIMPLE=1 (chemins rapides
coupes), en alternance avec l'autre, pour les comparer dans les memes conditions. Sur une
machine partagee, la duree murale depend de la charge : la colonne "cpu" (temps processeur
utilisateur + systeme du processus fils, meilleur des n) en depend beaucoup moins.

La colonne "base" (avec --base DOSSIER) relance chaque commande sur une autre construction
du paquet, copiee dans DOSSIER (le dossier qui contient brivane_lexique/), en alternance
avec les autres, pour comparer deux versions dans la meme execution.

    python bench/bench_demarrage.py [-n 7] [--cible 0.3] [--base DOSSIER]
"""

from __future__ import annotations

import argparse
import os
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


ENV_SIMPLE = {**os.environ, "BRIVANE_LEXIQUE_SIMPLE": "1"}

try:
    import resource
except ImportError:  # Windows : pas de temps processeur des fils, la colonne reste vide
    resource = None


def temps_cpu_fils() -> float:
    if resource is None:
        return float("nan")
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def meilleures_durees(arguments: list[str], n: int, base: str | None = None) -> list[float]:
    """[rapide, simple, cpu rapide, base, cpu base] : meilleures durees de n lancements de
    chaque sorte, alternes (les deux dernieres restent infinies sans base)."""
    envs: list[dict | None] = [None, ENV_SIMPLE]
    if base is not None:
        chemin = os.pathsep.join(filter(None, [base, os.environ.get("PYTHONPATH")]))
        envs.append({**os.environ, "PYTHONPATH": chemin})
    meilleures = [float("inf")] * 5
    for _ in range(n):
        for i, env in enumerate(envs):
            cpu, debut = temps_cpu_fils(), time.perf_counter()
            subprocess.run([sys.executable, *arguments], check=True, stdout=subprocess.DEVNULL, env=env)
            meilleures[(0, 1, 3)[i]] = min(meilleures[(0, 1, 3)[i]], time.perf_counter() - debut)
            if i != 1:
                meilleures[(2, 2, 4)[i]] = min(meilleures[(2, 2, 4)[i]], temps_cpu_fils() - cpu)
    return meilleures


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("-n", type=int, default=7, help="lancements par commande (meilleur retenu)")
    p.add_argument("--cible", type=float, default=0.3, help="duree visee par commande, en secondes")
    p.add_argument("--base", help="dossier d'une autre construction du paquet, mesuree en alternance")
    a = p.parse_args()
    lignes = [(nom, *meilleures_durees(args, a.n, a.base), None) for nom, args in REFERENCES]
    lignes += [(nom, *m, m[0] <= a.cible) for nom, args in COMMANDES
               for m in [meilleures_durees(["-m", "brivane_lexique", *args], a.n, a.base)]]
    largeur = max(len(nom) for nom, *_ in lignes)
    entete_base = "  base (s)  rapide/base  cpu base (s)  cpu rapide/base" if a.base else ""
    print(f"{'commande':<{largeur}}  rapide (s)  simple (s)  rapide/simple  cpu rapide (s){entete_base}  "
          f"<= {a.cible} s  (meilleur de {a.n})")
    for nom, d, s, c, b, cb, ok in lignes:
        verdict = "" if ok is None else ("oui" if ok else "NON")
        colonnes_base = f"  {b:8.3f}  {d / b:11.2f}  {cb:12.3f}  {c / cb:15.2f}" if a.base else ""
        print(f"{nom:<{largeur}}  {d:10.3f}  {s:10.3f}  {d / s:13.2f}  {c:14.3f}{colonnes_base}  {verdict}")
    return 0 if all(ok is not False for *_, ok in lignes) else 1


if __name__ == "__main__":
    sys.exit(main())
