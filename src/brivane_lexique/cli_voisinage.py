"""Commandes voisins et mesures de la ligne de commande (voisinage lexical)."""

from __future__ import annotations

import sys

from .cli import EXIT_USAGE, MESURES, ErreurCli, arg, ecrire_csv, entier, tableau

VOISINAGES = ("voisins", "voisins_levenshtein", "voisins_phon", "voisins_phon_levenshtein")


def cmd_voisins(lex, a, out) -> None:
    res = {n: getattr(lex, n)(a.mot, *([a.phone] if "_phon" in n else [])) for n in VOISINAGES}
    out.montrer(res, lambda: tableau(["voisinage", "nombre", "mots"],
                                     ([k, len(v), ", ".join(v)] for k, v in res.items())))


def _mots_du_fichier(chemin: str) -> tuple[list[str], dict[str, str]]:
    """Un mot par ligne (lignes vides ignorees) ; une prononciation peut suivre apres une tabulation."""
    mots, phones = [], {}
    try:
        with open(chemin, encoding="utf-8-sig", newline="") as f:
            for ligne in f:
                mot, _, phone = (t.strip() for t in ligne.rstrip("\r\n").partition("\t"))
                if mot:
                    mots.append(mot)
                if mot and phone:
                    phones[mot] = phone
    except UnicodeDecodeError as exc:
        raise ErreurCli(f"{chemin} n'est pas un texte UTF-8 ({exc.reason}, octet {exc.start})") from None
    return mots, phones


def cmd_mesures(lex, a, out) -> None:
    mots, phones = list(a.mots), {}
    if a.fichier:
        mots_fichier, phones = _mots_du_fichier(a.fichier)
        mots += mots_fichier
    phones.update(dict(a.phone or []))
    if not mots:
        raise ErreurCli("aucun mot : donnez des MOTs ou --fichier", EXIT_USAGE)
    res = lex.mesures(mots, n=a.n, phones=phones or None)
    lignes = lambda mots: ([mot] + [res[mot][k] for k in MESURES] for mot in mots)  # noqa: E731
    if a.fichier and not out.json:
        # Une ligne par mot du fichier, dans son ordre (un mot repete l'est aussi).
        ecrire_csv(sys.stdout, ("mot",) + MESURES, lignes(mots))
    else:
        out.montrer(res, lambda: tableau(("mot",) + MESURES, lignes(res)))


COMMANDES = [
    ("voisins", cmd_voisins, "voisins orthographiques et phonologiques d'un mot ou pseudo-mot", False, [
        arg("mot", metavar="MOT"), arg("--phone", help="prononciation API à utiliser (pour un pseudo-mot)")]),
    ("mesures", cmd_mesures, "OLD20, PLD20, N, points d'unicite, homographes et homophones de mots ou pseudo-mots",
     False, [
         arg("mots", nargs="*", metavar="MOT"),
         arg("--fichier", metavar="MOTS.TXT",
             help="un mot par ligne (une prononciation API peut suivre après une tabulation) ; "
                  "sortie CSV, une ligne par mot du fichier"),
         arg("--phone", nargs=2, action="append", metavar=("MOT", "PHONE"),
             help="prononciation API d'un mot (pour un pseudo-mot) ; répétable"),
         arg("--n", type=entier(1, "n doit valoir au moins 1", "entier attendu : {!r}"), default=20,
             help="nombre de plus proches voisins de OLD/PLD (défaut 20)")]),
]
