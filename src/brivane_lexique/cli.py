"""Outil en ligne de commande brivane-lexique : une sous-commande par requete de Lexique.

Sans --lexique, les requetes portent sur le lexique embarque (SQLite). La sortie est un
tableau aligne, ou du JSON avec --json. Les erreurs donnent une ligne sur stderr et un
code de sortie non nul : 2 pour une erreur d'usage, 1 pour une erreur a l'execution.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import sqlite3
import sys
import unicodedata
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

from . import cli_voisinage

PROG = "brivane-lexique"

EXIT_ERREUR = 1
EXIT_USAGE = 2

# Colonnes affichees par defaut (dans cet ordre, quand les resultats les portent) ; les autres
# champs restent accessibles par --colonnes ou --json.
COLONNES_ENTREE = ["ortho", "phone", "lemme", "cgram", "genre", "nombre", "mode", "temps", "personne", "freq"]
COLONNES_NOM_PROPRE = ["lemme", "phone", "type", "code", "departement", "region", "population"]
COLONNES_SENS = ["lemme", "cgram", "sens_num", "definition", "exemples", "synonymes", "antonymes", "tags"]
LARGEUR_MAX_CELLULE = 60

MODES = {
    "ind": "indicatif",
    "sub": "subjonctif",
    "cnd": "conditionnel",
    "imp": "imperatif",
    "inf": "infinitif",
    "par": "participe",
}
TEMPS = {"pre": "present", "imp": "imparfait", "pas": "passe", "fut": "futur", "": "-"}
# Le "pas" de l'indicatif est le passe simple ; celui du participe, le participe passe.
TEMPS_PAR_MODE = {("ind", "pas"): "passe simple"}
PERSONNES = ["1s", "2s", "3s", "1p", "2p", "3p"]

CRITERES = (
    "cgram", "genre", "nombre", "freq_min", "freq_max", "nb_syllabes",
    "age_min", "age_max", "illustrable_min", "categorie", "has_age", "has_phone",
)


class ErreurCli(Exception):
    """Erreur a signaler en une ligne (code de sortie porte par l'exception)."""

    def __init__(self, message: str, code: int = EXIT_ERREUR) -> None:
        super().__init__(message)
        self.code = code


class _Analyseur(argparse.ArgumentParser):
    # argparse imprime l'usage complet puis l'erreur ; on veut une seule ligne.
    def error(self, message: str) -> None:  # type: ignore[override]
        raise ErreurCli(f"{self.prog}: {message} (voir --help)", EXIT_USAGE)


# --------------------------------------------------------------------------- mise en forme


def _largeur(texte: str) -> int:
    # Les diacritiques combinants de l'API (nasales, etc.) n'occupent pas de colonne.
    return sum(0 if unicodedata.combining(c) else (2 if unicodedata.east_asian_width(c) in "WF" else 1)
               for c in texte)


def _cellule(valeur: Any) -> str:
    if valeur is None:
        return ""
    if isinstance(valeur, bool):
        return "oui" if valeur else "non"
    if isinstance(valeur, float):
        if valeur.is_integer() and abs(valeur) < 1e15:
            return str(int(valeur))
        return f"{valeur:.3f}".rstrip("0").rstrip(".") if abs(valeur) >= 1e-3 else repr(valeur)
    if isinstance(valeur, (list, tuple)):
        return "; ".join(_cellule(v) for v in valeur)
    texte = str(valeur).replace("\t", " ").replace("\r", " ").replace("\n", " ")
    if len(texte) > LARGEUR_MAX_CELLULE:
        texte = texte[: LARGEUR_MAX_CELLULE - 3] + "..."
    return texte


def _est_nombre(valeur: Any) -> bool:
    return isinstance(valeur, (int, float)) and not isinstance(valeur, bool)


def tableau(entetes: Sequence[str], lignes: Iterable[Sequence[Any]]) -> str:
    """Tableau aligne : colonnes separees par deux espaces, nombres cadres a droite."""
    brut = [list(l) for l in lignes]
    cellules = [[_cellule(v) for v in l] for l in brut]
    largeurs = [_largeur(h) for h in entetes]
    for l in cellules:
        for i, c in enumerate(l):
            largeurs[i] = max(largeurs[i], _largeur(c))
    a_droite = [bool(brut) and all(_est_nombre(l[i]) or l[i] is None for l in brut) for i in range(len(entetes))]

    def ligne(valeurs: Sequence[str]) -> str:
        morceaux = []
        for i, v in enumerate(valeurs):
            blanc = " " * (largeurs[i] - _largeur(v))
            morceaux.append(blanc + v if a_droite[i] else v + blanc)
        return "  ".join(morceaux).rstrip()

    sortie = [ligne(list(entetes)), ligne(["-" * l for l in largeurs])]
    sortie += [ligne(l) for l in cellules]
    return "\n".join(sortie)


def _choisir_colonnes(entrees: list[dict], preferees: Sequence[str], demandees: list[str] | None) -> list[str]:
    if demandees:
        return demandees
    presentes: dict[str, None] = {}
    for e in entrees:
        presentes.update(dict.fromkeys(e))
    colonnes = [c for c in preferees if c in presentes]
    return colonnes or list(presentes)


def _restreindre(entrees: list[dict], colonnes: list[str] | None) -> list[dict]:
    if not colonnes:
        return entrees
    return [{c: e.get(c) for c in colonnes} for e in entrees]


# --------------------------------------------------------------------------- sortie


class Sortie:
    def __init__(self, json_: bool) -> None:
        self.json = json_

    def ecrire(self, texte: str) -> None:
        sys.stdout.write(texte + "\n")

    def donnees(self, valeur: Any) -> None:
        self.ecrire(json.dumps(valeur, ensure_ascii=False, indent=2, default=str))

    def vide(self) -> None:
        print("aucun resultat", file=sys.stderr)

    def entrees(self, entrees: list[dict], colonnes: list[str] | None,
                preferees: Sequence[str] = COLONNES_ENTREE) -> None:
        if self.json:
            self.donnees(_restreindre(entrees, colonnes))
        elif not entrees:
            self.vide()
        else:
            cols = _choisir_colonnes(entrees, preferees, colonnes)
            self.ecrire(tableau(cols, ([e.get(c) for c in cols] for e in entrees)))

    def par_mot(self, entete: str, resultats: dict[str, Any]) -> None:
        if self.json:
            self.donnees(resultats)
        else:
            self.ecrire(tableau(["mot", entete], resultats.items()))

    def liste(self, valeurs: list[str]) -> None:
        if self.json:
            self.donnees(valeurs)
        elif not valeurs:
            self.vide()
        else:
            self.ecrire("\n".join(valeurs))


def tableau_conjugaison(table: dict[str, dict[str, dict[str, str]]]) -> str:
    """Une section par mode ; dans chaque section, une colonne par temps, une ligne par personne."""
    ordre_modes = [m for m in MODES if m in table] + [m for m in table if m not in MODES]
    blocs = []
    for mode in ordre_modes:
        temps = table[mode]
        ordre_temps = [t for t in TEMPS if t in temps] + [t for t in temps if t not in TEMPS]
        cles: dict[str, None] = {}
        for t in ordre_temps:
            cles.update(dict.fromkeys(temps[t]))
        ordre_cles = [p for p in PERSONNES if p in cles] + [p for p in cles if p not in PERSONNES]
        if ordre_cles == [""]:
            # Modes impersonnels (infinitif, participes) : une forme par temps, sans grille.
            lignes = [(TEMPS_PAR_MODE.get((mode, t), TEMPS.get(t, t)) if t else "", temps[t][""]) for t in ordre_temps]
            largeur = max(_largeur(l) for l, _ in lignes)
            corps = ["  " + (l + " " * (largeur - _largeur(l)) + "  " if largeur else "") + f for l, f in lignes]
            blocs.append(MODES.get(mode, mode) + "\n" + "\n".join(corps))
            continue
        entetes = [""] + [TEMPS_PAR_MODE.get((mode, t), TEMPS.get(t, t)) for t in ordre_temps]
        lignes = [[p] + [temps[t].get(p, "") for t in ordre_temps] for p in ordre_cles]
        blocs.append(MODES.get(mode, mode) + "\n" + tableau(entetes, lignes))
    return "\n\n".join(blocs)


class Progression:
    """Barre de progression sur stderr, pilotee par le rappel de Lexique.exporter."""

    def __init__(self, total: int, flux=None) -> None:
        self.total = max(total, 0)
        self.flux = flux if flux is not None else sys.stderr
        self.affichee = False

    def __call__(self, n: int) -> None:
        largeur = 30
        if self.total:
            part = min(n / self.total, 1.0)
            plein = int(part * largeur)
            barre = "#" * plein + "." * (largeur - plein)
            self.flux.write(f"\r[{barre}] {n}/{self.total} lignes")
        else:
            self.flux.write(f"\r{n} lignes")
        self.flux.flush()
        self.affichee = True

    def terminer(self) -> None:
        if self.affichee:
            self.flux.write("\n")
            self.flux.flush()


# --------------------------------------------------------------------------- lexique


def ouvrir_lexique(chemin: str | None, table: str | None):
    kwargs: dict[str, Any] = {}
    if table is not None:
        kwargs["table"] = table
    if chemin is None:
        from ._defaut import lexique_par_defaut

        return lexique_par_defaut(**kwargs)
    from .lexique import Lexique

    p = Path(chemin)
    if p.is_dir():
        return Lexique.from_directory(p, **kwargs)
    if not p.exists():
        # Ouvrir un .sqlite absent creerait un fichier vide : on refuse avant.
        raise ErreurCli(f"lexique introuvable : {chemin}")
    return Lexique(p, **kwargs)


def _verifier_regex(motif: str) -> None:
    try:
        re.compile(motif, re.IGNORECASE)
    except re.error as exc:
        raise ErreurCli(f"expression reguliere invalide {motif!r} : {exc}", EXIT_USAGE) from None


def _criteres(a: argparse.Namespace) -> dict[str, Any]:
    return {c: getattr(a, c) for c in CRITERES}


def _est_sqlite(lex) -> bool:
    return getattr(lex, "_backend", None) == "sqlite"


# --------------------------------------------------------------------------- sous-commandes


def cmd_existe(lex, a, out: Sortie) -> None:
    out.par_mot("existe", {m: lex.existe(m) for m in a.mots})


def cmd_info(lex, a, out: Sortie) -> None:
    out.entrees(lex.info(a.mot), a.colonnes)


def cmd_phone(lex, a, out: Sortie) -> None:
    out.par_mot("phone", {m: lex.phone_de(m) for m in a.mots})


def cmd_frequence(lex, a, out: Sortie) -> None:
    out.par_mot("frequence", {m: lex.frequence(m) for m in a.mots})


def cmd_lemme(lex, a, out: Sortie) -> None:
    out.par_mot("lemme", {m: lex.lemme_de(m) for m in a.mots})


def cmd_homophones(lex, a, out: Sortie) -> None:
    phone = a.texte
    if a.mot:
        phone = lex.phone_de(a.texte)
        if phone is None:
            raise ErreurCli(f"prononciation inconnue pour {a.texte!r}")
    out.entrees(lex.homophones(phone), a.colonnes)


def cmd_formes(lex, a, out: Sortie) -> None:
    out.entrees(lex.formes_de(a.lemme, a.cgram), a.colonnes)


def cmd_conjuguer(lex, a, out: Sortie) -> None:
    table = lex.conjuguer(a.verbe)
    if out.json:
        out.donnees(table)
    elif not table:
        out.vide()
    else:
        out.ecrire(tableau_conjugaison(table))


def cmd_verbes(lex, a, out: Sortie) -> None:
    out.entrees(lex.verbes_par_phone_et_personne(a.phones, a.personne, a.nombre), a.colonnes)


def cmd_definitions(lex, a, out: Sortie) -> None:
    sens = lex.definitions(a.mot, a.cgram)
    # La table definitions peut manquer ou etre vide : la colonne definition des formes
    # est alors la seule source.
    textes = lex.definition(a.mot)
    if out.json:
        out.donnees({"definitions": sens, "definition": textes})
    elif sens:
        out.entrees(sens, a.colonnes, COLONNES_SENS)
    else:
        out.liste(textes)


def cmd_synonymes(lex, a, out: Sortie) -> None:
    out.liste(lex.synonymes(a.mot))


def cmd_antonymes(lex, a, out: Sortie) -> None:
    out.liste(lex.antonymes(a.mot))


def cmd_rechercher(lex, a, out: Sortie) -> None:
    _verifier_regex(a.motif)
    out.entrees(lex.rechercher(a.motif, a.champ, a.limite), a.colonnes)


def cmd_anagrammes(lex, a, out: Sortie) -> None:
    out.entrees(lex.anagrammes(a.mot, a.limite), a.colonnes)


def cmd_rimes(lex, a, out: Sortie) -> None:
    if lex.phone_de(a.mot) is None:
        print(f"prononciation inconnue pour {a.mot!r}", file=sys.stderr)
    out.entrees(lex.rimes(a.mot, a.nb_phonemes, a.limite), a.colonnes)


def cmd_contient_son(lex, a, out: Sortie) -> None:
    out.entrees(lex.contient_son(a.son, a.limite), a.colonnes)


def cmd_syllabes(lex, a, out: Sortie) -> None:
    out.entrees(lex.mots_par_syllabes(a.n, a.cgram, a.limite), a.colonnes)


def cmd_filtrer(lex, a, out: Sortie) -> None:
    out.entrees(lex.filtrer(limite=a.limite, **_criteres(a)), a.colonnes)


def cmd_compter(lex, a, out: Sortie) -> None:
    n = lex.compter(**_criteres(a))
    out.donnees({"nombre": n}) if out.json else out.ecrire(str(n))


def cmd_exporter(lex, a, out: Sortie) -> None:
    criteres = _criteres(a)
    progression = None
    if sys.stderr.isatty():
        total = lex.compter(**criteres)
        if a.limite > 0:
            total = min(total, a.limite)
        progression = Progression(total)
    try:
        n = lex.exporter(a.sortie, format=a.format, colonnes=a.colonnes, limite=a.limite,
                         callback=progression, **criteres)
    except sqlite3.OperationalError as exc:
        # Aucune colonne connue : la bibliotheque compose un SELECT ou un CREATE TABLE sans
        # colonne, que SQLite refuse avec une simple erreur de syntaxe.
        if a.colonnes and "syntax error" in str(exc):
            raise ErreurCli(f"aucune des colonnes demandees n'existe dans le lexique : {','.join(a.colonnes)}") from None
        raise
    finally:
        if progression is not None:
            progression.terminer()
    fmt = "sqlite" if a.format == "sqlite" else "csv"
    if out.json:
        out.donnees({"lignes": n, "fichier": a.sortie, "format": fmt})
    else:
        out.ecrire(f"{n} lignes exportees vers {a.sortie} ({fmt})")


def cmd_nom_propre(lex, a, out: Sortie) -> None:
    q = a.requete
    if q not in ("existe", "phone") and len(a.arguments) != 1:
        raise ErreurCli(f"nom-propre {q} attend un seul argument", EXIT_USAGE)
    if q == "rechercher":
        _verifier_regex(a.arguments[0])
    if not _est_sqlite(lex):
        print("les noms propres ne sont disponibles que dans un lexique SQLite", file=sys.stderr)
    if q == "existe":
        out.par_mot("existe", {m: lex.existe_nom_propre(m) for m in a.arguments})
    elif q == "phone":
        out.par_mot("phone", {m: lex.phone_nom_propre(m) for m in a.arguments})
    else:
        arg = a.arguments[0]
        if q == "info":
            res = lex.info_nom_propre(arg)
        elif q == "homophones":
            res = lex.homophones_nom_propre(arg)
        elif q == "rechercher":
            res = lex.rechercher_nom_propre(arg, a.limite)
        else:
            res = lex.rimes_nom_propre(arg, a.limite)
        out.entrees(res, a.colonnes, COLONNES_NOM_PROPRE)


# --------------------------------------------------------------------------- analyseur


def _liste_colonnes(texte: str) -> list[str]:
    colonnes = [c.strip() for c in texte.split(",") if c.strip()]
    if not colonnes:
        raise argparse.ArgumentTypeError("liste de colonnes vide")
    return colonnes


def _entier_positif(texte: str) -> int:
    # 0 reviendrait a comparer toute la prononciation (les derniers "0" phonemes se lisent
    # comme la liste entiere) : on ne l'accepte pas pour eviter le contresens.
    try:
        n = int(texte)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"entier >= 1 attendu : {texte!r}")
    return n


# Options communes acceptees avant ou apres la sous-commande. Dans les sous-commandes
# leur defaut est SUPPRESS, pour ne pas ecraser une valeur donnee avant.
def _options_communes(p: argparse.ArgumentParser, suppress: bool) -> None:
    d = (lambda v: argparse.SUPPRESS) if suppress else (lambda v: v)
    p.add_argument("--lexique", metavar="CHEMIN", default=d(None),
                   help="fichier lexique (.sqlite/.db, .tsv, .csv) ou repertoire ; "
                        "par defaut le lexique embarque")
    p.add_argument("--table", default=d(None), help="table des formes (SQLite), defaut : formes")
    p.add_argument("--json", action="store_true", default=d(False), help="sortie JSON")


def _options_criteres(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("criteres")
    g.add_argument("--cgram", help="categorie grammaticale (prefixe : VER, NOM, ADJ...)")
    g.add_argument("--genre", help="m ou f")
    g.add_argument("--nombre", help="s ou p")
    g.add_argument("--freq-min", type=float, metavar="F")
    g.add_argument("--freq-max", type=float, metavar="F")
    g.add_argument("--nb-syllabes", type=int, metavar="N")
    g.add_argument("--age-min", type=float, metavar="A")
    g.add_argument("--age-max", type=float, metavar="A")
    g.add_argument("--illustrable-min", type=float, metavar="X")
    g.add_argument("--categorie")
    age = g.add_mutually_exclusive_group()
    age.add_argument("--has-age", dest="has_age", action="store_const", const=True, default=None,
                     help="seulement les formes avec un age d'acquisition")
    age.add_argument("--no-age", dest="has_age", action="store_const", const=False,
                     help="seulement les formes sans age d'acquisition")
    phone = g.add_mutually_exclusive_group()
    phone.add_argument("--has-phone", dest="has_phone", action="store_const", const=True, default=None,
                       help="seulement les formes avec une prononciation")
    phone.add_argument("--no-phone", dest="has_phone", action="store_const", const=False,
                       help="seulement les formes sans prononciation")


def construire_analyseur() -> argparse.ArgumentParser:
    parent = argparse.ArgumentParser(add_help=False)
    _options_communes(parent, suppress=True)

    racine = _Analyseur(prog=PROG, description="Requetes sur un lexique francais (brivane_lexique).")
    _options_communes(racine, suppress=False)
    sous = racine.add_subparsers(dest="commande", metavar="COMMANDE", parser_class=_Analyseur)
    sous.required = True

    def commande(nom: str, fonction: Callable, aide: str, colonnes: bool = True) -> argparse.ArgumentParser:
        p = sous.add_parser(nom, parents=[parent], help=aide, description=aide)
        p.set_defaults(fonction=fonction)
        if colonnes:
            p.add_argument("--colonnes", type=_liste_colonnes, metavar="C1,C2",
                           help="colonnes a afficher (separees par des virgules)")
        return p

    def limite(p: argparse.ArgumentParser, defaut: int = 50) -> None:
        p.add_argument("--limite", type=int, default=defaut, help=f"nombre maximal de resultats (defaut {defaut})")

    p = commande("existe", cmd_existe, "la forme existe-t-elle ?", colonnes=False)
    p.add_argument("mots", nargs="+", metavar="MOT")
    p = commande("info", cmd_info, "entrees completes d'une forme")
    p.add_argument("mot")
    p = commande("phone", cmd_phone, "prononciation la plus frequente", colonnes=False)
    p.add_argument("mots", nargs="+", metavar="MOT")
    p = commande("homophones", cmd_homophones, "mots ayant une prononciation donnee")
    p.add_argument("texte", metavar="PHONE", help="prononciation API (ou un mot avec --mot)")
    p.add_argument("--mot", action="store_true", help="PHONE est un mot : prendre sa prononciation")
    p = commande("frequence", cmd_frequence, "frequence maximale d'une forme", colonnes=False)
    p.add_argument("mots", nargs="+", metavar="MOT")
    p = commande("lemme", cmd_lemme, "lemme le plus frequent d'une forme", colonnes=False)
    p.add_argument("mots", nargs="+", metavar="MOT")
    p = commande("formes", cmd_formes, "formes flechies d'un lemme")
    p.add_argument("lemme")
    p.add_argument("--cgram", help="prefixe de categorie grammaticale (VER, NOM...)")
    p = commande("conjuguer", cmd_conjuguer, "table de conjugaison d'un verbe", colonnes=False)
    p.add_argument("verbe")
    p = commande("verbes", cmd_verbes, "formes verbales par prononciation, personne et nombre")
    p.add_argument("phones", nargs="+", metavar="PHONE")
    p.add_argument("--personne", required=True, choices=["1", "2", "3"])
    p.add_argument("--nombre", default="", choices=["s", "p", ""], help="s ou p (defaut : les deux)")
    p = commande("definitions", cmd_definitions, "definitions d'un mot")
    p.add_argument("mot")
    p.add_argument("--cgram", help="categorie grammaticale exacte")
    p = commande("synonymes", cmd_synonymes, "synonymes d'un mot", colonnes=False)
    p.add_argument("mot")
    p = commande("antonymes", cmd_antonymes, "antonymes d'un mot", colonnes=False)
    p.add_argument("mot")
    p = commande("rechercher", cmd_rechercher, "recherche par expression reguliere")
    p.add_argument("motif")
    p.add_argument("--champ", default="ortho", choices=["ortho", "phone"])
    limite(p)
    p = commande("anagrammes", cmd_anagrammes, "anagrammes d'un mot")
    p.add_argument("mot")
    limite(p)
    p = commande("rimes", cmd_rimes, "mots qui riment avec un mot")
    p.add_argument("mot")
    p.add_argument("--nb-phonemes", type=_entier_positif, default=2, metavar="N",
                   help="nombre de phonemes finaux communs (defaut 2)")
    limite(p)
    p = commande("contient-son", cmd_contient_son, "mots dont la prononciation contient un son")
    p.add_argument("son")
    limite(p)
    p = commande("syllabes", cmd_syllabes, "mots d'exactement N syllabes")
    p.add_argument("n", type=int, metavar="N")
    p.add_argument("--cgram", help="prefixe de categorie grammaticale")
    limite(p)
    p = commande("filtrer", cmd_filtrer, "filtre multicritere")
    _options_criteres(p)
    limite(p, 100)
    p = commande("compter", cmd_compter, "nombre de formes satisfaisant les criteres", colonnes=False)
    _options_criteres(p)
    p = commande("exporter", cmd_exporter, "exporte un sous-ensemble filtre (CSV ou SQLite)")
    p.add_argument("sortie", metavar="FICHIER")
    p.add_argument("--format", default="csv", choices=["csv", "sqlite"])
    _options_criteres(p)
    limite(p, 0)
    p = commande("nom-propre", cmd_nom_propre, "requetes sur les noms propres (lexique SQLite)")
    p.add_argument("requete", choices=["info", "existe", "phone", "homophones", "rechercher", "rimes"])
    p.add_argument("arguments", nargs="+", metavar="ARG",
                   help="nom(s), prononciation, motif ou suffixe phonetique selon la requete")
    limite(p)
    cli_voisinage.ajouter_commandes(commande)
    return racine


def main(argv: Sequence[str] | None = None) -> int:
    try:
        a = construire_analyseur().parse_args(argv)
        lex = ouvrir_lexique(a.lexique, a.table)
        try:
            a.fonction(lex, a, Sortie(a.json))
        finally:
            lex.close()
        sys.stdout.flush()
        return 0
    except ErreurCli as exc:
        print(f"{PROG}: {exc}" if not str(exc).startswith(PROG) else str(exc), file=sys.stderr)
        return exc.code
    except BrokenPipeError:
        # Sortie coupee par le lecteur (| head) : rien a signaler. stdout est redirige vers
        # /dev/null pour que sa fermeture a la sortie de l'interpreteur n'echoue pas a son tour.
        try:
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrompu", file=sys.stderr)
        return 130
    except FileNotFoundError as exc:
        print(f"{PROG}: {exc.strerror or exc}" + (f" : {exc.filename}" if exc.filename else ""), file=sys.stderr)
        return EXIT_ERREUR
    except (OSError, sqlite3.Error, ValueError, TypeError, UnicodeError, RuntimeError, AssertionError) as exc:
        message = " ".join(str(exc).split()) or type(exc).__name__
        print(f"{PROG}: {type(exc).__name__}: {message}", file=sys.stderr)
        return EXIT_ERREUR
    except Exception as exc:  # derniere barriere : jamais de trace d'appel pour l'utilisateur
        message = " ".join(str(exc).split()) or type(exc).__name__
        print(f"{PROG}: erreur inattendue : {type(exc).__name__}: {message}", file=sys.stderr)
        return EXIT_ERREUR


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
