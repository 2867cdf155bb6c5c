"""Listes de stimuli en ligne de commande : options de selection et commande stimuli.

Les options s'ajoutent aux criteres de filtrer, compter et exporter ; la commande
stimuli ecrit la liste choisie dans un fichier CSV ou TSV.
"""

from __future__ import annotations

import argparse
import csv
import os
import sys
import tempfile
from pathlib import Path
from typing import Any

MESURES = ("old20", "pld20", "n_ortho", "n_phon", "pu_ortho", "pu_phon", "homographes", "homophones")
FORMES = (
    "nb_lettres_min", "nb_lettres_max", "nb_phonemes_min", "nb_phonemes_max",
    "nb_syllabes_min", "nb_syllabes_max", "motif",
)
BORNES = tuple(f"{m}_{s}" for m in MESURES for s in ("min", "max")) + ("voisins_min", "voisins_max")


def options_selection(g) -> None:
    """Criteres de forme, de mesures et --une-par-ortho (filtrer, compter, exporter, stimuli)."""
    for nom in FORMES[:-1]:
        g.add_argument("--" + nom.replace("_", "-"), dest=nom, type=int, metavar="N")
    g.add_argument("--motif", metavar="REGEX", help="expression régulière cherchée dans l'orthographe")
    for nom in BORNES:
        g.add_argument("--" + nom.replace("_", "-"), dest=nom, type=float, metavar="X",
                       help="voisins orthographiques (n_ortho)" if nom.startswith("voisins") else None)
    g.add_argument("--une-par-ortho", action="store_true", default=None,
                   help="une ligne par orthographe (l'analyse la plus fréquente)")


def options_tri(p: argparse.ArgumentParser) -> None:
    """--tri et --mesures (filtrer, exporter, stimuli)."""
    p.add_argument("--tri", action="append", metavar="COL",
                   help="colonne de tri, répétable ; --tri=-freq pour un ordre décroissant ; "
                        "valeurs vides en dernier")
    p.add_argument("--mesures", action="store_true", default=None,
                   help="ajoute les mesures (old20, pld20, n_ortho, n_phon, pu_ortho, pu_phon, "
                        "homographes, homophones) ; nommées dans --colonnes, seules celles-là")


def selection(a: argparse.Namespace) -> dict[str, Any]:
    """Les options de selection donnees (absentes : rien, pour ne rien changer aux appels)."""
    return {n: getattr(a, n) for n in FORMES + BORNES + ("une_par_ortho",) if getattr(a, n, None) is not None}


def tri_et_mesures(a: argparse.Namespace) -> dict[str, Any]:
    kw: dict[str, Any] = {}
    if getattr(a, "tri", None):
        kw["tri"] = a.tri
    demandees = [c for c in (getattr(a, "colonnes", None) or []) if c in MESURES]
    if getattr(a, "mesures", None):
        kw["mesures"] = demandees or True
    elif demandees:
        kw["mesures"] = demandees
    return kw


def _format(a: argparse.Namespace) -> str:
    if a.format:
        return a.format
    return "tsv" if Path(a.sortie).suffix.lower() in (".tsv", ".tab", ".txt") else "csv"


def _cellule(v: Any) -> Any:
    return "" if v is None else v


def ecrire_liste(lignes: list[dict], colonnes: list[str], chemin: str, fmt: str, progression=None) -> int:
    """Ecrit les lignes a cote de la destination puis la remplace : une erreur laisse l'ancien fichier."""
    cible = Path(chemin)
    fd, temporaire = tempfile.mkstemp(prefix=f".{cible.name}.", suffix=".partiel", dir=cible.parent or ".")
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            w = csv.writer(f, delimiter="\t" if fmt == "tsv" else ",",
                           lineterminator="\n" if fmt == "tsv" else "\r\n")
            w.writerow(colonnes)
            for n, ligne in enumerate(lignes, 1):
                w.writerow([_cellule(ligne.get(c)) for c in colonnes])
                if progression is not None and (n % 1000 == 0 or n == len(lignes)):
                    progression(n)
        os.replace(temporaire, cible)
    except BaseException:
        try:
            os.unlink(temporaire)
        except OSError:
            pass
        raise
    return len(lignes)


def cmd_stimuli(lex, a, out) -> None:
    from . import cli

    # --limite 0 = pas de limite ; SQLite lit 0 comme "aucune ligne", la memoire comme "tout".
    limite = a.limite if a.limite > 0 else (-1 if cli._est_sqlite(lex) else 0)
    lignes = lex.filtrer(limite=limite, **cli._criteres(a), **tri_et_mesures(a))
    demandees = cli._colonnes(lex, a)
    if demandees.noms:
        lignes = demandees.restreindre(lignes)
    colonnes = list(demandees.noms)
    if not colonnes:
        vues: dict[str, None] = {}
        for e in lignes:
            vues.update(dict.fromkeys(e))
        colonnes = list(vues)
    fmt = _format(a)
    progression = cli.Progression(len(lignes)) if sys.stderr.isatty() else None
    try:
        n = ecrire_liste(lignes, colonnes, a.sortie, fmt, progression)
    finally:
        if progression is not None:
            progression.terminer()
    if out.json:
        out.donnees({"lignes": n, "fichier": a.sortie, "format": fmt})
    else:
        out.ecrire(f"{n} lignes écrites dans {a.sortie} ({fmt})")


def ajouter_stimuli(commande, options_criteres) -> None:
    """Enregistre la sous-commande stimuli (commande : la fabrique de cli.py)."""
    from . import cli

    p = commande("stimuli", cmd_stimuli, "liste de stimuli filtrée, triée, avec mesures (CSV ou TSV)")
    p.add_argument("sortie", metavar="FICHIER")
    p.add_argument("--format", choices=["csv", "tsv"], default=None,
                   help="défaut : d'après le suffixe de FICHIER (.tsv, .tab, .txt : tsv ; sinon csv)")
    options_criteres(p)
    options_tri(p)
    p.add_argument("--limite", type=cli._limite, default=0, help="nombre maximal de lignes (0 = pas de limite, défaut)")
