"""Lexique francais embarque dans le paquet."""

from __future__ import annotations

from pathlib import Path
from typing import Any

#: Base SQLite livree avec le paquet : les 20 000 formes les plus frequentes et les noms
#: propres (communes, departements, regions). Provenance : donnees/ATTRIBUTION.md.
CHEMIN_LEXIQUE_DEFAUT = Path(__file__).resolve().parent / "donnees" / "lexique_fr_defaut.sqlite"


def lexique_par_defaut(**kwargs: Any):
    """lexique_par_defaut(**kwargs: Any) -> Lexique

    Ouvre le lexique francais embarque (SQLite, 20 000 formes frequentes et noms propres).
    Les arguments nommes (table, precharger) sont transmis au constructeur de Lexique.
    La base porte deja ses index : elle s'ouvre aussi depuis un emplacement en lecture seule.
    """
    from .lexique import Lexique

    if not CHEMIN_LEXIQUE_DEFAUT.is_file():
        # Sans ce test, SQLite creerait un fichier vide a cet endroit avant d'echouer.
        raise FileNotFoundError(f"Lexique embarque introuvable : {CHEMIN_LEXIQUE_DEFAUT}")
    return Lexique(CHEMIN_LEXIQUE_DEFAUT, **kwargs)


__all__ = ["CHEMIN_LEXIQUE_DEFAUT", "lexique_par_defaut"]
