"""Requetes rapides sur des lexiques francais (SQLite, TSV, CSV).

La classe `Lexique` ouvre un fichier lexique et repond aux questions usuelles :
existence d'une forme, prononciation, rimes, anagrammes, conjugaison, filtres,
export. Le coeur est ecrit en C++.
"""

from ._defaut import lexique_par_defaut
from .lexique import Lexique

__all__ = ["Lexique", "lexique_par_defaut"]
