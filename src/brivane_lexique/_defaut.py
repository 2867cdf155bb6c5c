"""Lexique francais embarque dans le paquet."""

from __future__ import annotations

from pathlib import Path
from typing import Any

#: Base SQLite installee avec le paquet, construite a la compilation depuis les sources
#: compressees du depot : le lexique_fr entier (442 401 formes) et les noms propres
#: (communes, departements, regions). Provenance et licences : donnees/ATTRIBUTION.md.
CHEMIN_LEXIQUE_DEFAUT = Path(__file__).resolve().parent / "donnees" / "lexique_fr_defaut.sqlite"


def lexique_par_defaut(**kwargs: Any):
    """lexique_par_defaut(**kwargs: Any) -> Lexique

    Ouvre le lexique francais embarque (SQLite) : le lexique_fr entier, 442 401 formes
    flechies (345 205 orthographes), et 37 725 noms propres (communes, departements, regions).
    Licences des donnees (distinctes de celle du code) : donnees/ATTRIBUTION.md du paquet.
    Les arguments nommes (table, precharger) sont transmis au constructeur de Lexique.
    La base porte deja ses index : elle s'ouvre aussi depuis un emplacement en lecture seule.
    """
    from .lexique import Lexique

    if not CHEMIN_LEXIQUE_DEFAUT.is_file():
        # Sans ce test, SQLite creerait un fichier vide a cet endroit avant d'echouer.
        raise FileNotFoundError(f"Lexique embarque introuvable : {CHEMIN_LEXIQUE_DEFAUT}")
    return Lexique(CHEMIN_LEXIQUE_DEFAUT, **kwargs)


__all__ = ["CHEMIN_LEXIQUE_DEFAUT", "lexique_par_defaut"]
