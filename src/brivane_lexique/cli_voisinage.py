"""Commandes `voisins` et `mesures` de la ligne de commande (voisinage lexical)."""

from __future__ import annotations

import argparse
import csv
import sys
from typing import Any, Callable

CLES = ("old20", "pld20", "n_ortho", "n_phon", "pu_ortho", "pu_phon", "homographes", "homophones")


def _cellule_csv(valeur: Any) -> Any:
    return "" if valeur is None else valeur


def cmd_voisins(lex, a, out) -> None:
    phone = a.phone
    res = {
        "voisins": lex.voisins(a.mot),
        "voisins_levenshtein": lex.voisins_levenshtein(a.mot),
        "voisins_phon": lex.voisins_phon(a.mot, phone),
        "voisins_phon_levenshtein": lex.voisins_phon_levenshtein(a.mot, phone),
    }
    if out.json:
        out.donnees(res)
        return
    from .cli import tableau

    out.ecrire(tableau(["voisinage", "nombre", "mots"], ([k, len(v), ", ".join(v)] for k, v in res.items())))


def _mots_du_fichier(chemin: str) -> tuple[list[str], dict[str, str]]:
    """Un mot par ligne (lignes vides ignorees) ; une prononciation peut suivre apres une tabulation."""
    from .cli import ErreurCli

    mots, phones = [], {}
    try:
        with open(chemin, encoding="utf-8-sig", newline="") as f:
            for ligne in f:
                mot, _, phone = ligne.rstrip("\r\n").partition("\t")
                mot, phone = mot.strip(), phone.strip()
                if not mot:
                    continue
                mots.append(mot)
                if phone:
                    phones[mot] = phone
    except UnicodeDecodeError as exc:
        raise ErreurCli(f"{chemin} n'est pas un texte UTF-8 ({exc.reason}, octet {exc.start})") from None
    return mots, phones


def cmd_mesures(lex, a, out) -> None:
    from .cli import ErreurCli, tableau

    mots, phones = list(a.mots), {}
    if a.fichier:
        mots_fichier, phones = _mots_du_fichier(a.fichier)
        mots += mots_fichier
    phones.update(dict(a.phone or []))
    if not mots:
        raise ErreurCli("aucun mot : donnez des MOTs ou --fichier", 2)
    res = lex.mesures(mots, n=a.n, phones=phones or None)
    if out.json:
        out.donnees(res)
    elif a.fichier:
        # Une ligne par mot du fichier, dans son ordre (un mot repete l'est aussi).
        ecrivain = csv.writer(sys.stdout, lineterminator="\n")
        ecrivain.writerow(("mot",) + CLES)
        for mot in mots:
            ecrivain.writerow([mot] + [_cellule_csv(res[mot][k]) for k in CLES])
    else:
        out.ecrire(tableau(("mot",) + CLES, ([mot] + [m[k] for k in CLES] for mot, m in res.items())))


def _n(texte: str) -> int:
    try:
        n = int(texte)
    except ValueError:
        raise argparse.ArgumentTypeError(f"entier attendu : {texte!r}") from None
    if n < 1:
        raise argparse.ArgumentTypeError("n doit valoir au moins 1")
    return n


def ajouter_commandes(commande: Callable[..., argparse.ArgumentParser]) -> None:
    """Declare les commandes voisins et mesures aupres de l'analyseur de la ligne de commande."""
    p = commande("voisins", cmd_voisins, "voisins orthographiques et phonologiques d'un mot ou pseudo-mot",
                 colonnes=False)
    p.add_argument("mot", metavar="MOT")
    p.add_argument("--phone", help="prononciation API à utiliser (pour un pseudo-mot)")
    p = commande("mesures", cmd_mesures,
                 "OLD20, PLD20, N, points d'unicite, homographes et homophones de mots ou pseudo-mots",
                 colonnes=False)
    p.add_argument("mots", nargs="*", metavar="MOT")
    p.add_argument("--fichier", metavar="MOTS.TXT",
                   help="un mot par ligne (une prononciation API peut suivre après une tabulation) ; "
                        "sortie CSV, une ligne par mot du fichier")
    p.add_argument("--phone", nargs=2, action="append", metavar=("MOT", "PHONE"),
                   help="prononciation API d'un mot (pour un pseudo-mot) ; répétable")
    p.add_argument("--n", type=_n, default=20, help="nombre de plus proches voisins de OLD/PLD (défaut 20)")
