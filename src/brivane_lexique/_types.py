"""Declarations de types partagees par les modules du paquet."""

from typing import Any, Dict

#: Une entree lexicale : nom de champ canonique -> valeur (texte, entier, reel ou None),
#: dans l'ordre d'insertion. Les entrees sont de simples dict.
EntreeLexicale = Dict[str, Any]

__all__ = ["EntreeLexicale"]
