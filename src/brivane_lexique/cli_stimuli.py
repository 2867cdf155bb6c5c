"""Commande stimuli de la ligne de commande : une liste filtree, triee, avec mesures,
ecrite dans un fichier CSV ou TSV."""

from __future__ import annotations

import contextlib
import os
import tempfile
from pathlib import Path

from .cli import (TOUT, _colonnes, _criteres, _limite, arg, ecrire_csv, ecrire_fichier, options_criteres,
                  options_tri, tri_et_mesures)


def ecrire_liste(lignes: list[dict], colonnes: list[str], chemin: str, fmt: str, progression=None) -> int:
    """Ecrit les lignes a cote de la destination puis la remplace : une erreur laisse l'ancien fichier."""
    cible = Path(chemin)
    try:
        fd, temporaire = tempfile.mkstemp(prefix=f".{cible.name}.", suffix=".partiel", dir=cible.parent)
    except OSError as exc:
        # Le fichier temporaire n'est qu'un moyen : l'erreur nomme la destination demandee.
        raise type(exc)(exc.errno, exc.strerror, chemin) from None
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="") as f:
            ecrire_csv(f, colonnes, ([ligne.get(c) for c in colonnes] for ligne in lignes),
                       "\t" if fmt == "tsv" else ",", "\n" if fmt == "tsv" else "\r\n", progression, len(lignes))
        os.replace(temporaire, cible)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporaire)
        raise
    return len(lignes)


def cmd_stimuli(lex, a, out) -> None:
    lignes = lex.filtrer(limite=a.limite or TOUT, **_criteres(a), **tri_et_mesures(a))
    demandees = _colonnes(lex, a)
    if demandees.noms:
        lignes = demandees.restreindre(lignes)
    colonnes = list(demandees.noms) or list({k: None for e in lignes for k in e})
    fmt = a.format or ("tsv" if Path(a.sortie).suffix.lower() in (".tsv", ".tab", ".txt") else "csv")
    ecrire_fichier(out, lambda progression: ecrire_liste(lignes, colonnes, a.sortie, fmt, progression),
                   lambda: len(lignes), a.sortie, fmt, "écrites dans")


COMMANDE = ("stimuli", cmd_stimuli, "liste de stimuli filtrée, triée, avec mesures (CSV ou TSV)", True, [
    arg("sortie", metavar="FICHIER"),
    arg("--format", choices=["csv", "tsv"],
        help="défaut : d'après le suffixe de FICHIER (.tsv, .tab, .txt : tsv ; sinon csv)"),
    options_criteres, options_tri,
    arg("--limite", type=_limite, default=0, help="nombre maximal de lignes (0 = pas de limite, défaut)")])
