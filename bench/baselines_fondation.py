"""Plain-Python twins of opening a TSV lexicon: what one would write without this library."""

from __future__ import annotations

import csv
import unicodedata

from brivane_lexique._aliases import FREQ_PRIORITE, resoudre_colonnes


def normaliser(s: str) -> str:
    return unicodedata.normalize("NFC", s).strip().lower()


def _lignes(chemin: str):
    with open(chemin, encoding="utf-8-sig", newline="") as f:
        lecteur = csv.DictReader(f, delimiter="\t")
        mapping = resoudre_colonnes(list(lecteur.fieldnames or []))
        for ligne in lecteur:
            entree = {}
            freq_vue = False
            for col, val in ligne.items():
                canon = mapping.get(col, col)
                if canon == "freq":
                    if not freq_vue:
                        try:
                            entree["freq"] = float(val) if val else 0.0
                        except ValueError:
                            entree["freq"] = 0.0
                        freq_vue = True
                    continue
                entree[canon] = val
            if "freq" not in entree:
                entree["freq"] = 0.0
            yield entree


def charger_formes(chemin: str) -> frozenset:
    with open(chemin, encoding="utf-8-sig", newline="") as f:
        lecteur = csv.DictReader(f, delimiter="\t")
        mapping = resoudre_colonnes(list(lecteur.fieldnames or []))
        colonnes = [c for c in lecteur.fieldnames or [] if mapping.get(c) == "ortho"]
        if not colonnes:
            return frozenset()
        col = colonnes[-1]  # a later column of the same name wins, as in the entries
        return frozenset(normaliser(ligne[col]) for ligne in lecteur if ligne[col])


def charger_index(chemin: str):
    phone, ortho, lemme = {}, {}, {}
    for e in _lignes(chemin):
        o = e.get("ortho") or ""
        if not o:
            continue
        d = dict(e)
        ortho.setdefault(normaliser(o), []).append(d)
        if e.get("phone"):
            phone.setdefault(e["phone"], []).append(d)
        if e.get("lemme"):
            lemme.setdefault(normaliser(e["lemme"]), []).append(d)
    return phone, ortho, lemme


def existe_fonction(formes: frozenset):
    def existe(mot: str) -> bool:
        if not isinstance(mot, str):
            raise TypeError(mot)
        return normaliser(mot) in formes

    return existe


__all__ = ["FREQ_PRIORITE", "charger_formes", "charger_index", "existe_fonction"]
