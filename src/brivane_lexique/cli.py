"""Outil en ligne de commande brivane-lexique : une sous-commande par requete de Lexique.

Sans --lexique, les requetes portent sur le lexique embarque (SQLite). La sortie est un
tableau aligne, ou du JSON avec --json. Les erreurs donnent une ligne sur stderr et un
code de sortie non nul : 2 pour une erreur d'usage, 1 pour une erreur a l'execution.

Les options ont le meme sens quel que soit le backend : l'API garde ses differences
documentees (limite 0, une ligne par orthographe, noms de colonnes, types des valeurs),
et c'est ici qu'elles sont ramenees a une seule lecture.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import csv
import json
import os
import re
import sqlite3
import sys
import time
import unicodedata
from pathlib import Path
from typing import Any, Callable, Iterable, Sequence

PROG = "brivane-lexique"

EXIT_ERREUR = 1
EXIT_USAGE = 2

# Colonnes affichees par defaut (dans cet ordre, quand les resultats les portent) ; les autres
# champs restent accessibles par --colonnes ou --json.
COLONNES_ENTREE = ["ortho", "phone", "lemme", "cgram", "genre", "nombre", "mode", "temps", "personne", "freq"]
COLONNES_NOM_PROPRE = ["lemme", "phone", "type", "code", "departement", "region", "population"]
COLONNES_SENS = ["lemme", "cgram", "sens_num", "definition", "exemples", "synonymes", "antonymes", "tags"]
LARGEUR_MAX_CELLULE = 60

MODES = {"ind": "indicatif", "sub": "subjonctif", "cnd": "conditionnel", "imp": "impératif", "inf": "infinitif",
         "par": "participe"}
TEMPS = {"pre": "présent", "imp": "imparfait", "pas": "passé", "fut": "futur", "": "-"}
# Le "pas" de l'indicatif est le passe simple ; celui du participe, le participe passe.
TEMPS_PAR_MODE = {("ind", "pas"): "passé simple"}
PERSONNES = ["1s", "2s", "3s", "1p", "2p", "3p"]

# Sans limite, pour l'API : un entier que SQLite (LIMIT) et les tranches acceptent.
TOUT = 2**62
# Colonnes de travail de la bibliotheque, absentes des sorties sauf demande explicite.
COLONNES_INTERNES = frozenset({"phone_reversed"})
# Noms canoniques de texte : jamais convertis en nombres (personne vaut "1" partout).
TEXTES_CANONIQUES = frozenset({"ortho", "lemme", "cgram", "genre", "nombre", "mode", "temps", "personne", "phone"})

# Criteres de filtre de l'API : (option, type, metavar, aide) ; puis les paires --has-X / --no-X.
OPTIONS_CRITERES = (
    ("cgram", None, None, "catégorie grammaticale (préfixe : VER, NOM, ADJ...)"),
    ("genre", None, None, "m ou f"),
    ("nombre", None, None, "s ou p"),
    ("freq-min", float, "F", "fréquence minimale (par million de mots)"),
    ("freq-max", float, "F", "fréquence maximale (par million de mots)"),
    ("nb-syllabes", int, "N", "nombre de syllabes"),
    ("age-min", float, "A", "âge d'acquisition minimal"),
    ("age-max", float, "A", "âge d'acquisition maximal"),
    ("illustrable-min", float, "X", "score d'illustrabilité minimal"),
    ("categorie", None, None, "catégorie sémantique exacte"),
)
PRESENCES = (("age", "un âge d'acquisition", "âge d'acquisition"), ("phone", "une prononciation", "prononciation"))
CRITERES = tuple(o[0].replace("-", "_") for o in OPTIONS_CRITERES) + tuple(f"has_{p[0]}" for p in PRESENCES)
# Mesures de voisinage, calculees a la demande (Lexique.mesures), pas lues dans le lexique.
MESURES = ("old20", "pld20", "n_ortho", "n_phon", "pu_ortho", "pu_phon", "homographes", "homophones")
# Criteres de forme et bornes des mesures, passes tels quels a filtrer, compter et exporter.
FORMES = ("nb_lettres_min", "nb_lettres_max", "nb_phonemes_min", "nb_phonemes_max", "nb_syllabes_min",
          "nb_syllabes_max", "motif")
BORNES = tuple(f"{m}_{s}" for m in MESURES for s in ("min", "max")) + ("voisins_min", "voisins_max")


class ErreurCli(Exception):
    """Erreur a signaler en une ligne (code de sortie porte par l'exception)."""

    def __init__(self, message: str, code: int = EXIT_ERREUR) -> None:
        super().__init__(message)
        self.code = code


class _Formateur(argparse.HelpFormatter):
    def add_usage(self, usage, actions, groups, prefix=None):  # type: ignore[override]
        return super().add_usage(usage, actions, groups, "utilisation : " if prefix is None else prefix)


class _Analyseur(argparse.ArgumentParser):
    # Aide en francais : titres des sections, -h et ligne d'usage.
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs["add_help"] = False
        kwargs.setdefault("formatter_class", _Formateur)
        super().__init__(*args, **kwargs)
        self._positionals.title = "arguments"
        self._optionals.title = "options"
        self.add_argument("-h", "--help", action="help", help="affiche cette aide et quitte")

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


def tableau(entetes: Sequence[str], lignes: Iterable[Sequence[Any]]) -> str:
    """Tableau aligne : colonnes separees par deux espaces, nombres cadres a droite."""
    brut = [list(l) for l in lignes]
    cellules = [[_cellule(v) for v in l] for l in brut]
    largeurs = [max([_largeur(h)] + [_largeur(l[i]) for l in cellules]) for i, h in enumerate(entetes)]
    # Une colonne de nombres (vides compris) se cadre a droite ; un booleen n'en est pas un.
    a_droite = [bool(brut) and all(l[i] is None or isinstance(l[i], (int, float)) and not isinstance(l[i], bool)
                                   for l in brut) for i in range(len(entetes))]

    def ligne(valeurs: Sequence[str]) -> str:
        return "  ".join(" " * (largeurs[i] - _largeur(v)) + v if a_droite[i] else v + " " * (largeurs[i] - _largeur(v))
                         for i, v in enumerate(valeurs)).rstrip()

    return "\n".join([ligne(entetes), ligne(["-" * l for l in largeurs])] + [ligne(l) for l in cellules])


def ecrire_csv(flux, colonnes: Sequence[str], lignes: Iterable[Sequence[Any]], delimiteur: str = ",",
               fin: str = "\n", progression: Callable[[int], None] | None = None, total: int = 0) -> int:
    """Ecrit l'en-tete puis les lignes (vide pour None) ; rend le nombre de lignes ecrites."""
    w = csv.writer(flux, delimiter=delimiteur, lineterminator=fin)
    w.writerow(colonnes)
    n = 0
    for n, ligne in enumerate(lignes, 1):
        w.writerow(ligne)  # le module csv ecrit None comme un champ vide
        if progression is not None and (n % 1000 == 0 or n == total):
            progression(n)
    return n


def _dans_l_ordre(d: dict, ordre: Sequence[str] | dict) -> dict:
    return {k: d[k] for k in [k for k in ordre if k in d] + [k for k in d if k not in ordre]}


def ordonner_conjugaison(table: dict[str, dict[str, dict[str, str]]]) -> dict:
    """Modes, temps et personnes dans l'ordre des grammaires (1s 2s 3s 1p 2p 3p)."""
    return {m: {t: _dans_l_ordre(f, PERSONNES) for t, f in _dans_l_ordre(tps, TEMPS).items()}
            for m, tps in _dans_l_ordre(table, MODES).items()}


def tableau_conjugaison(table: dict[str, dict[str, dict[str, str]]]) -> str:
    """Une section par mode ; dans chaque section, une colonne par temps, une ligne par personne."""
    blocs = []
    for mode, temps in ordonner_conjugaison(table).items():
        noms = [TEMPS_PAR_MODE.get((mode, t), TEMPS.get(t, t)) for t in temps]
        cles = list(_dans_l_ordre({c: None for formes in temps.values() for c in formes}, PERSONNES))
        if cles == [""]:
            # Modes impersonnels (infinitif, participes) : une forme par temps, sans grille.
            lignes = [(nom if t else "", formes[""]) for nom, (t, formes) in zip(noms, temps.items())]
            largeur = max(_largeur(l) for l, _ in lignes)
            corps = "\n".join("  " + (l + " " * (largeur - _largeur(l)) + "  " if largeur else "") + f
                              for l, f in lignes)
        else:
            corps = tableau([""] + noms, ([p] + [formes.get(p, "") for formes in temps.values()] for p in cles))
        blocs.append(MODES.get(mode, mode) + "\n" + corps)
    return "\n\n".join(blocs)


class Progression:
    """Barre de progression sur stderr, pilotee par le rappel d'une ecriture (Lexique.exporter) ou des index."""

    def __init__(self, total: int) -> None:
        self.total = total
        self.affichee = False

    def dessiner(self, texte: str, part: float | None = None) -> None:
        plein = int((part or 0.0) * 30)
        sys.stderr.write("\r" + ("" if part is None else f"[{'#' * plein}{'.' * (30 - plein)}] ") + texte)
        sys.stderr.flush()
        self.affichee = True

    def __call__(self, n: int) -> None:
        if self.total:
            self.dessiner(f"{n}/{self.total} lignes", min(n / self.total, 1.0))
        else:
            self.dessiner(f"{n} lignes")

    def terminer(self) -> None:
        if self.affichee:
            sys.stderr.write("\n")
            sys.stderr.flush()


class Sortie:
    """Ecrit les resultats d'une commande en tableau aligne ou en JSON (--json)."""

    def __init__(self, json_: bool, sqlite: bool, convertir_phone: Callable[[str], str] | None) -> None:
        self.json = json_
        self.sqlite = sqlite
        # Ecriture des prononciations affichees (--alphabet) : None les laisse telles quelles.
        self.convertir_phone = convertir_phone

    def montrer(self, valeur: Any, texte: Callable[[], str]) -> None:
        """`valeur` en JSON ; sinon le texte rendu, ou "aucun resultat" pour une liste ou table vide."""
        if self.json:
            print(json.dumps(valeur, ensure_ascii=False, indent=2, default=str))
        elif isinstance(valeur, (list, dict)) and not valeur:
            print("aucun résultat", file=sys.stderr)
        else:
            print(texte())

    def _phone(self, v: Any) -> Any:
        return self.convertir_phone(v) if self.convertir_phone is not None and isinstance(v, str) else v

    def entrees(self, entrees: list[dict], colonnes: Colonnes, preferees: Sequence[str] = COLONNES_ENTREE) -> None:
        if self.convertir_phone is not None:
            entrees = [{**e, "phone": self._phone(e["phone"])} if "phone" in e else e for e in entrees]
        if self.json or not entrees:
            self.montrer(valeurs_json(colonnes.restreindre(entrees), self.sqlite), str)
            return
        # Les memes valeurs qu'en JSON : un nombre lu d'un TSV se cadre a droite comme en SQLite.
        entrees = valeurs_json(entrees, self.sqlite)
        presentes = {k: None for e in entrees for k in e}
        noms = colonnes.noms or [c for c in preferees if c in presentes] or list(presentes)
        print(tableau(noms, ([e.get(colonnes.cles.get(c, c)) for c in noms] for e in entrees)))

    def par_mot(self, entete: str, resultats: dict[str, Any]) -> None:
        if entete == "phone":
            resultats = {m: self._phone(v) for m, v in resultats.items()}
        self.montrer(resultats, lambda: tableau(["mot", entete], resultats.items()))

    def liste(self, valeurs: list[str]) -> None:
        self.montrer(valeurs, lambda: "\n".join(valeurs))


# --------------------------------------------------------------------------- lexique

# Commandes qui ne lisent pas les index d'un lexique CSV/TSV.
SANS_INDEX = frozenset({"existe", "colonnes", "nom-propre"})
# Une construction plus courte que ce delai (secondes) ne montre pas de barre.
DELAI_INDEX = 1.0


def preparer_index(lex, commande: str) -> None:
    """Construit les index d'un lexique CSV/TSV en montrant la progression dans un terminal."""
    if _est_sqlite(lex) or commande in SANS_INDEX or not sys.stderr.isatty():
        return
    barre, debut = Progression(0), time.monotonic()

    def progression(lus: int, taille: int) -> None:
        if time.monotonic() - debut >= DELAI_INDEX:
            part = min(lus / taille, 1.0) if taille else 0.0
            barre.dessiner((f"{int(part * 100):3d} % " if taille else "") + "construction des index", part)

    try:
        lex._charger_index(progression=progression)
    finally:
        barre.terminer()


# L'ordre de Lexique.from_directory.
MOTIFS_LEXIQUE = ("*.db", "*.sqlite", "*.sqlite3", "*.tsv", "*.csv", "*.tsv.gz", "*.csv.gz", "*.tsv.bz2",
                  "*.csv.bz2", "*.tsv.xz", "*.csv.xz")


def _erreurs_de_decompression() -> tuple[type[Exception], ...]:
    # Celles qui ne sont pas des OSError ; un module que la lecture n'a pas importe n'a rien pu lever.
    modules = (("zlib", "error"), ("lzma", "LZMAError"))
    return (EOFError, *(getattr(sys.modules[m], nom) for m, nom in modules if m in sys.modules))


def ouvrir_lexique(chemin: str | None, table: str | None, encodage: str | None = None):
    kwargs: dict[str, Any] = {} if table is None else {"table": table}
    if encodage is not None and chemin is not None:
        try:
            codecs.lookup(encodage)
        except LookupError:
            raise ErreurCli(f"encodage inconnu : {encodage}", EXIT_USAGE) from None
        kwargs["encoding"] = encodage
    if chemin is None:
        from ._defaut import lexique_par_defaut

        return lexique_par_defaut(**kwargs)
    from .lexique import Lexique

    p = Path(chemin)
    if p.is_dir():
        # Le seul fichier lexique du repertoire : from_directory prendrait le premier, et un export
        # range a cote (verbes.sqlite) passerait alors avant le lexique sans que rien ne le dise.
        candidats = [c for motif in MOTIFS_LEXIQUE for c in sorted(p.glob(motif))]
        if not candidats:
            raise FileNotFoundError(f"Aucun fichier lexique trouve dans {p}")
        if len(candidats) > 1:
            noms = ", ".join(c.name for c in candidats)
            raise ErreurCli(f"plusieurs lexiques dans {p} : {noms} ; indiquez le fichier voulu à --lexique",
                            EXIT_USAGE)
        p = candidats[0]
        print(f"{PROG}: lexique ouvert : {p}", file=sys.stderr)
    if not p.exists():
        # Ouvrir un .sqlite absent creerait un fichier vide : on refuse avant.
        raise ErreurCli(f"lexique introuvable : {chemin}")
    try:
        lex = Lexique(p, **kwargs)
    except _erreurs_de_decompression() as exc:
        # Un lexique compresse illisible : le message dit deja le fichier et la ligne.
        raise ErreurCli(str(exc)) from None
    if encodage is None and lex.encodage not in (None, "utf-8"):
        print(f"{PROG}: avertissement : {lex._source} n'est pas en UTF-8, lu en {lex.encodage} "
              "(--encodage pour en choisir un autre)", file=sys.stderr)
    return lex


def _verifier_regex(motif: str) -> None:
    try:
        re.compile(motif, re.IGNORECASE)
    except re.error as exc:
        raise ErreurCli(f"expression régulière invalide {motif!r} : {exc}", EXIT_USAGE) from None


def _criteres(a: argparse.Namespace) -> dict[str, Any]:
    """Les criteres de filtre et les options de selection ; la bibliotheque ignore un critere None."""
    return {n: getattr(a, n) for n in CRITERES + FORMES + BORNES + ("une_par_ortho",)}


def tri_et_mesures(a: argparse.Namespace) -> dict[str, Any]:
    """--tri, et les mesures de --mesures ou nommees dans --colonnes (seules celles-la)."""
    kw: dict[str, Any] = {"tri": a.tri} if a.tri else {}
    demandees = [c for c in (a.colonnes or []) if c in MESURES]
    if a.mesures or demandees:
        kw["mesures"] = demandees or True
    return kw


def _est_sqlite(lex) -> bool:
    return lex._backend == "sqlite"


# --------------------------------------------------------------------------- colonnes


def colonnes_source(lex, table: str | None = None) -> list[str]:
    """Noms des colonnes de la source, sans la lire en entier (PRAGMA ou en-tete)."""
    if _est_sqlite(lex):
        try:
            lignes = lex._get_conn().execute(f"PRAGMA table_info({table or lex._table})").fetchall()
        except sqlite3.Error:
            return []
        return [l[1] for l in lignes]
    from . import _loaders

    encodage = lex.encodage if lex.encodage != "utf-8" else "utf-8-sig"  # utf-8-sig drops a BOM
    return list(_loaders._entete(lex._source, lex._delimiteur, encodage))


class Colonnes:
    """Colonnes demandees par --colonnes : le nom affiche et la cle lue dans les entrees."""

    def __init__(self, noms: list[str], cles: dict[str, str], export: list[str] | None = None) -> None:
        self.noms = noms
        self.cles = cles
        self.export = export

    def restreindre(self, entrees: list[dict]) -> list[dict]:
        if not self.noms:
            return [{k: v for k, v in e.items() if k not in COLONNES_INTERNES} for e in entrees]
        return [{c: e.get(self.cles[c]) for c in self.noms} for e in entrees]


def _colonnes(lex, a, tables: Sequence[str | None] = (None,)) -> Colonnes:
    """Traduit les noms de --colonnes (canoniques ou propres au lexique) ; inconnu : exit 2.

    Les entrees des requetes portent les noms canoniques (freq) ; un export SQLite lit les
    noms physiques (freq_opensubs), un export CSV/TSV les noms canoniques.
    """
    if not a.colonnes:
        return Colonnes([], {})
    from ._aliases import resoudre_colonnes

    sources = list(dict.fromkeys(c for t in tables for c in colonnes_source(lex, t)))
    resolus = resoudre_colonnes(sources)
    # Nom accepte -> cle des entrees ; nom canonique -> premiere colonne source qui le donne.
    # Une mesure, calculee, n'a pas de colonne : elle ne prend que les noms encore libres.
    cles: dict[str, str] = {}
    physiques: dict[str, str] = {}
    for src in (*sources, *MESURES):
        for nom in (src, src.strip().lower(), resolus.get(src, src)):
            cles.setdefault(nom, resolus.get(src, src))
            physiques.setdefault(nom, src)
    if _est_sqlite(lex) and "freq_opensubs" in sources:
        physiques["freq"] = "freq_opensubs"  # la colonne que lisent les requetes SQL
    demandees = [c if c in cles else c.lower() for c in a.colonnes]
    inconnues = [c for c in demandees if c not in cles]
    if inconnues:
        valides = ", ".join(dict.fromkeys([*sources, *resolus.values(), *MESURES]))
        raise ErreurCli(f"colonne inconnue : {', '.join(inconnues)} (colonnes valides : {valides})", EXIT_USAGE)
    # Deux colonnes source pour un meme nom canonique : les entrees n'en gardent qu'une (la
    # premiere frequence d'un CSV/TSV, sinon la derniere). Montrer l'autre sous ce nom
    # serait montrer les valeurs de sa voisine.
    fournisseur: dict[str, str] = {}
    for src in sources:
        if not (resolus[src] == "freq" and not _est_sqlite(lex) and "freq" in fournisseur):
            fournisseur[resolus[src]] = src
    for c in demandees:
        if c != cles[c] and fournisseur.get(cles[c], physiques[c]) != physiques[c]:
            raise ErreurCli(f"colonne {c} : ses valeurs ne sont pas lues par la bibliothèque, "
                            f"{cles[c]} vient de {fournisseur[cles[c]]}", EXIT_USAGE)
    export = [physiques[c] if _est_sqlite(lex) else cles[c] for c in demandees]
    return Colonnes(list(demandees), {c: cles[c] for c in demandees}, list(dict.fromkeys(export)))


_ENTIER = re.compile(r"[+-]?(0|[1-9][0-9]*)")
_REEL = re.compile(r"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?")


def valeurs_json(entrees: list[dict], sqlite: bool) -> list[dict]:
    """Nombres en nombres et vide en null, comme SQLite les donne, quel que soit le backend.

    Un CSV/TSV ne porte que du texte : une colonne (hors noms canoniques de texte) dont
    toutes les valeurs remplies du resultat s'ecrivent comme des nombres devient numerique.
    """
    numeriques: dict[str, type] = {}
    for k in {} if sqlite else dict.fromkeys(k for e in entrees for k in e):
        if k in TEXTES_CANONIQUES or any(not isinstance(e.get(k), (str, type(None))) for e in entrees):
            continue
        valeurs = [e[k].strip() for e in entrees if isinstance(e.get(k), str) and e[k].strip()]
        for motif, type_ in ((_ENTIER, int), (_REEL, float)):
            if all(motif.fullmatch(v) for v in valeurs):
                numeriques[k] = type_
                break

    def valeur(k: str, v: Any) -> Any:
        if not isinstance(v, str):
            return v
        if not v.strip():
            return None
        return numeriques[k](v.strip()) if k in numeriques else v

    return [{k: valeur(k, v) for k, v in e.items()} for e in entrees]


# --------------------------------------------------------------------------- listes de mots


def _cle(champ: str = "ortho") -> Callable[[dict], str]:
    """La cle d'orthographe d'une entree (celle de l'index) ; str() d'une valeur qui n'est pas
    un texte, qu'une colonne SQLite sans type peut rendre."""
    from ._utils import normaliser_ortho

    return lambda e: normaliser_ortho(str(e.get(champ) or ""))


def _freq(e: dict) -> float:
    try:
        return float(e.get("freq") or 0.0)
    except (TypeError, ValueError):
        return 0.0


def meme_phone(r: dict, e: dict) -> bool:
    return r.get("phone") == e.get("phone")


def lister(requete: Callable[[int], list[dict]], limite: int, analyses: bool,
           garder: Callable[[dict], bool] | None = None,
           developper: Callable[[list[dict]], list[dict]] | None = None,
           par_frequence: bool = False) -> list[dict]:
    """Les `limite` premiers resultats (0 : tous), une ligne par orthographe sauf --analyses.

    L'API applique sa limite avant qu'on regroupe ou ecarte des lignes (et certaines
    requetes SQL regroupent elles-memes apres leur LIMIT) : tant que le compte n'y est pas,
    on redemande huit fois plus large, puis sans limite des qu'une reponse n'est pas pleine.
    `developper` remplace chaque orthographe par toutes ses analyses ; `par_frequence`
    reclasse les lignes gardees par frequence decroissante (tri stable).
    """
    cle = _cle()
    demande = TOUT if limite <= 0 else (limite if analyses and garder is None else 4 * limite + 16)
    while True:
        brut = requete(demande)
        lignes = [e for e in brut if garder is None or garder(e)]
        if developper is not None:
            lignes = developper(lignes)
        if not analyses:
            # L'analyse la plus frequente a la place de la premiere vue, qui garde sa place.
            garde: dict[str, dict] = {}
            for e in lignes:
                k = cle(e)
                if k not in garde or _freq(e) > _freq(garde[k]):
                    garde[k] = e
            lignes = list(garde.values())
            if par_frequence:
                lignes.sort(key=lambda e: -_freq(e))
        if limite > 0 and len(lignes) >= limite:
            return lignes[:limite]
        if demande >= TOUT or not brut:
            return lignes
        demande = TOUT if len(brut) < demande or demande > TOUT // 8 else demande * 8


def _liste(lex, a, out: Sortie, requete: Callable[[int], list[dict]],
           garder: Callable[[dict], bool] | None = None,
           meme: Callable[[dict, dict], bool] | None = None, par_frequence: bool = True) -> None:
    """Une liste de mots. `meme` : la requete ne rend en memoire qu'une ligne par orthographe
    (la premiere vue), sa version SQL toutes ; pour --analyses et, hors SQLite, pour garder la
    plus frequente, chaque orthographe est remplacee par ses lignes completes (info) qui
    repondent comme elle a la requete."""
    colonnes = _colonnes(lex, a)
    cle = _cle()

    def developper(lignes: list[dict]) -> list[dict]:
        vues: set[str] = set()
        sortie: list[dict] = []
        for e in lignes:
            if cle(e) not in vues:
                vues.add(cle(e))
                sortie += [r for r in lex.info(str(e.get("ortho") or "")) if meme(r, e)] or [e]
        return sortie

    relire = meme is not None and (a.analyses or not _est_sqlite(lex))
    out.entrees(lister(requete, a.limite, a.analyses, garder, developper if relire else None, par_frequence), colonnes)


# --------------------------------------------------------------------------- sous-commandes


def _par_mot(methode: str, entete: str) -> Callable:
    return lambda lex, a, out: out.par_mot(entete, {m: getattr(lex, methode)(m) for m in a.mots})


def _liste_de(methode: str) -> Callable:
    return lambda lex, a, out: out.liste(getattr(lex, methode)(a.mot))


def cmd_info(lex, a, out: Sortie) -> None:
    out.entrees(lex.info(a.mot), _colonnes(lex, a))


def cmd_homophones(lex, a, out: Sortie) -> None:
    phone = lex.phone_de(a.texte) if a.mot else a.texte
    if phone is None:
        raise ErreurCli(f"prononciation inconnue pour {a.texte!r}")
    _liste(lex, a, out, lambda n: lex.homophones(phone)[:n], par_frequence=False)


def cmd_formes(lex, a, out: Sortie) -> None:
    cle = _cle("lemme")
    lemme = cle({"lemme": a.lemme})
    _liste(lex, a, out, lambda n: lex.formes_de(a.lemme, a.cgram)[:n], par_frequence=False,
           meme=lambda r, e: cle(r) == lemme and (r.get("cgram") or "").startswith(a.cgram or ""))


def cmd_conjuguer(lex, a, out: Sortie) -> None:
    table = lex.conjuguer(a.verbe)
    out.montrer(ordonner_conjugaison(table), lambda: tableau_conjugaison(table))


def cmd_verbes(lex, a, out: Sortie) -> None:
    _liste(lex, a, out, lambda n: lex.verbes_par_phone_et_personne(a.phones, a.personne, a.nombre)[:n],
           meme=lambda r, e: r.get("cgram") in ("VER", "AUX") and r.get("phone") in a.phones
           and str(r.get("personne") or "") == a.personne and (not a.nombre or r.get("nombre") == a.nombre))


def cmd_definitions(lex, a, out: Sortie) -> None:
    sens = lex.definitions(a.mot, a.cgram)
    # La table definitions peut manquer ou etre vide : la colonne definition des formes
    # est alors la seule source.
    textes = lex.definition(a.mot)
    if out.json:
        out.montrer({"definitions": sens, "definition": textes}, str)
    elif sens:
        out.entrees(sens, _colonnes(lex, a, (None, "definitions")), COLONNES_SENS)
    else:
        out.liste(textes)


def cmd_rechercher(lex, a, out: Sortie) -> None:
    _verifier_regex(a.motif)
    meme = meme_phone if a.champ == "phone" else (lambda r, e: True)
    _liste(lex, a, out, lambda n: lex.rechercher(a.motif, a.champ, n), meme=meme)


def cmd_anagrammes(lex, a, out: Sortie) -> None:
    _liste(lex, a, out, lambda n: lex.anagrammes(a.mot, n), meme=lambda r, e: True)


def cmd_rimes(lex, a, out: Sortie) -> None:
    from ._utils import _tokenize_ipa

    phone = lex.phone_de(a.mot)
    n_phonemes = a.nb_phonemes
    if phone is None:
        print(f"prononciation inconnue pour {a.mot!r}", file=sys.stderr)
    else:
        # Un mot plus court que --nb-phonemes rime sur toute sa prononciation (eau : o).
        n_phonemes = min(n_phonemes, len(_tokenize_ipa(phone))) or n_phonemes
    cle = _cle()
    mot = cle({"ortho": a.mot})
    garder = None if a.avec_mot else (lambda e: cle(e) != mot)
    _liste(lex, a, out, lambda n: lex.rimes(a.mot, n_phonemes, n), garder, meme_phone)


def cmd_contient_son(lex, a, out: Sortie) -> None:
    _liste(lex, a, out, lambda n: lex.contient_son(a.son, n), meme=meme_phone)


def _syllabes_de(e: dict) -> int | None:
    try:
        return int(float(e.get("nb_syllabes")))
    except (TypeError, ValueError):
        return None


def cmd_syllabes(lex, a, out: Sortie) -> None:
    _liste(lex, a, out, lambda n: lex.mots_par_syllabes(a.n, a.cgram, n),
           meme=lambda r, e: _syllabes_de(r) == _syllabes_de(e) and (r.get("cgram") or "").startswith(a.cgram or ""))


def cmd_filtrer(lex, a, out: Sortie) -> None:
    requete = lambda n: lex.filtrer(limite=n, **_criteres(a), **tri_et_mesures(a))  # noqa: E731
    out.entrees(lister(requete, a.limite, a.analyses, par_frequence=False), _colonnes(lex, a),
                COLONNES_ENTREE + list(MESURES))


def cmd_compter(lex, a, out: Sortie) -> None:
    n = lex.compter(**_criteres(a))
    out.montrer({"nombre": n}, lambda: str(n))


def cmd_colonnes(lex, a, out: Sortie) -> None:
    colonnes = lex.colonnes()
    lignes = ([c["nom"], c["source"], {"reel": "réel"}.get(c["type"], c["type"]), c["remplies"], c["exemple"],
               "oui" if c["frequence"] else ""] for c in colonnes)
    out.montrer(colonnes, lambda: tableau(["nom", "source", "type", "remplies", "exemple", "fréquence"], lignes))


def ecrire_fichier(out: Sortie, ecrire: Callable[[Progression | None], int], total: Callable[[], int],
                   chemin: str, fmt: str, verbe: str) -> None:
    """Ecrit un fichier (barre de progression dans un terminal), puis dit combien de lignes et ou."""
    progression = Progression(total()) if sys.stderr.isatty() else None
    try:
        n = ecrire(progression)
    finally:
        if progression is not None:
            progression.terminer()
    out.montrer({"lignes": n, "fichier": chemin, "format": fmt}, lambda: f"{n} lignes {verbe} {chemin} ({fmt})")


def cmd_exporter(lex, a, out: Sortie) -> None:
    criteres = _criteres(a)
    colonnes = _colonnes(lex, a).export

    def exporter(progression: Progression | None) -> int:
        return lex.exporter(a.sortie, format=a.format, colonnes=colonnes, limite=a.limite, callback=progression,
                            **criteres, **tri_et_mesures(a))

    total = lambda: min(lex.compter(**criteres), a.limite if a.limite > 0 else TOUT)  # noqa: E731
    ecrire_fichier(out, exporter, total, a.sortie, a.format, "exportées vers")


def cmd_nom_propre(lex, a, out: Sortie) -> None:
    q = a.requete
    if q not in ("existe", "phone") and len(a.arguments) != 1:
        raise ErreurCli(f"nom-propre {q} attend un seul argument", EXIT_USAGE)
    if q == "rechercher":
        _verifier_regex(a.arguments[0])
    if not _est_sqlite(lex):
        print("les noms propres ne sont disponibles que dans un lexique SQLite", file=sys.stderr)
    methode = getattr(lex, f"{q}_nom_propre")
    if q in ("existe", "phone"):
        out.par_mot(q, {m: methode(m) for m in a.arguments})
    else:
        limite = (a.limite or TOUT,) if q in ("rechercher", "rimes") else ()
        out.entrees(methode(a.arguments[0], *limite), _colonnes(lex, a, ("noms_propres",)), COLONNES_NOM_PROPRE)


# --------------------------------------------------------------------------- analyseur


def _liste_colonnes(texte: str) -> list[str]:
    colonnes = [c.strip() for c in texte.split(",") if c.strip()]
    if not colonnes:
        raise argparse.ArgumentTypeError("liste de colonnes vide")
    return colonnes


def entier(minimum: int, message: str, non_entier: str | None = None) -> Callable[[str], int]:
    """Type d'argument : un entier >= minimum ; les messages recoivent le texte donne."""
    def lire(texte: str) -> int:
        try:
            n = int(texte)
        except ValueError:
            raise argparse.ArgumentTypeError((non_entier or message).format(texte)) from None
        if n < minimum:
            raise argparse.ArgumentTypeError(message.format(texte))
        return n
    return lire


# 0 reviendrait a comparer toute la prononciation (les derniers "0" phonemes se lisent
# comme la liste entiere) : on ne l'accepte pas pour eviter le contresens.
_entier_positif = entier(1, "entier >= 1 attendu : {!r}")
# Une limite negative n'a pas le meme sens en SQL et en memoire : refusee ici.
_limite = entier(0, "entier >= 0 attendu (0 : pas de limite) : {!r}")


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("brivane_lexique")
    except PackageNotFoundError:
        return "inconnue (paquet non installé)"


class _ActionVersion(argparse.Action):
    # L'action "version" d'argparse lirait les metadonnees installees a chaque appel de la
    # commande ; celle-ci ne les cherche que si --version est donne.
    def __call__(self, parser, namespace, values, option_string=None) -> None:
        sys.stdout.write(f"{PROG} {_version()}\n")
        parser.exit()


def _options_communes(p: argparse.ArgumentParser) -> None:
    """Options acceptees avant ou apres la sous-commande. Dans les sous-commandes leur
    defaut est SUPPRESS (argument_default du parent), pour ne pas ecraser une valeur donnee avant."""
    p.add_argument("--lexique", metavar="CHEMIN",
                   help="fichier lexique (.sqlite/.db, .tsv, .csv) ou répertoire qui en contient un seul ; "
                        "par défaut le lexique embarqué")
    p.add_argument("--table", help="table des formes (SQLite), défaut : formes")
    p.add_argument("--json", action="store_true", help="sortie JSON (nombres en nombres, valeurs vides en null)")
    p.add_argument("--encodage", metavar="NOM",
                   help="encodage d'un lexique texte (utf-8, cp1252, latin-1...) ; par défaut UTF-8, "
                        "ou cp1252 si le fichier n'est pas de l'UTF-8 valide")
    p.add_argument("--alphabet", choices=["ipa", "lexique"],
                   help="prononciations affichées en API (ipa) ou dans le code de Lexique (lexique) ; "
                        "par défaut telles que le lexique les écrit")


def liste(defaut: int = 50, analyses: bool = True) -> Callable[[argparse.ArgumentParser], None]:
    """--limite (0 : pas de limite) et, pour une liste de mots, --analyses."""
    def ajouter(p: argparse.ArgumentParser) -> None:
        p.add_argument("--limite", type=_limite, default=defaut, metavar="N",
                       help=f"nombre maximal de résultats, 0 pour tous (défaut {defaut})")
        if analyses:
            p.add_argument("--analyses", action="store_true",
                           help="toutes les analyses de chaque mot (sinon une ligne par orthographe, "
                                "la plus fréquente)")
    return ajouter


def options_criteres(p: argparse.ArgumentParser) -> None:
    """Criteres de filtre, de forme et de mesures, et --une-par-ortho (filtrer, compter, exporter, stimuli)."""
    g = p.add_argument_group("critères")
    for nom, type_, metavar, aide in OPTIONS_CRITERES:
        g.add_argument("--" + nom, type=type_, metavar=metavar, help=aide)
    for nom, avec, sans in PRESENCES:
        paire = g.add_mutually_exclusive_group()
        paire.add_argument(f"--has-{nom}", dest=f"has_{nom}", action="store_const", const=True,
                           help=f"seulement les formes avec {avec}")
        paire.add_argument(f"--no-{nom}", dest=f"has_{nom}", action="store_const", const=False,
                           help=f"seulement les formes sans {sans}")
    for nom in FORMES[:-1]:
        g.add_argument("--" + nom.replace("_", "-"), dest=nom, type=int, metavar="N")
    g.add_argument("--motif", metavar="REGEX", help="expression régulière cherchée dans l'orthographe")
    for nom in BORNES:
        g.add_argument("--" + nom.replace("_", "-"), dest=nom, type=float, metavar="X",
                       help="voisins orthographiques (n_ortho)" if nom.startswith("voisins") else None)
    g.add_argument("--une-par-ortho", action="store_true",
                   help="une ligne par orthographe (l'analyse la plus fréquente)")


def options_tri(p: argparse.ArgumentParser) -> None:
    """--tri et --mesures (filtrer, exporter, stimuli)."""
    p.add_argument("--tri", action="append", metavar="COL",
                   help="colonne de tri, répétable ; --tri=-freq pour un ordre décroissant ; "
                        "valeurs vides en dernier")
    p.add_argument("--mesures", action="store_true",
                   help="ajoute les mesures (old20, pld20, n_ortho, n_phon, pu_ortho, pu_phon, "
                        "homographes, homophones) ; nommées dans --colonnes, seules celles-là")


def arg(*noms: str, **options: Any) -> Callable[[argparse.ArgumentParser], None]:
    """Un argument d'une sous-commande, ajoute quand l'analyseur est construit."""
    return lambda p: p.add_argument(*noms, **options)


MOT = arg("mot")
MOTS = arg("mots", nargs="+", metavar="MOT")


def commandes() -> list[tuple]:
    """(nom, fonction, aide, --colonnes ?, arguments) de chaque sous-commande, dans l'ordre de l'aide."""
    from . import cli_stimuli, cli_voisinage

    return [
        ("existe", _par_mot("existe", "existe"), "la forme existe-t-elle ?", False, [MOTS]),
        ("info", cmd_info, "toutes les analyses d'une forme", True, [MOT]),
        ("phone", _par_mot("phone_de", "phone"), "prononciation la plus fréquente", False, [MOTS]),
        ("homophones", cmd_homophones, "mots ayant une prononciation donnée", True, [
            arg("texte", metavar="PHONE", help="prononciation API (ou un mot avec --mot)"),
            arg("--mot", action="store_true", help="PHONE est un mot : prendre sa prononciation"), liste(0)]),
        ("frequence", _par_mot("frequence", "fréquence"), "fréquence maximale d'une forme (par million de mots)",
         False, [MOTS]),
        ("lemme", _par_mot("lemme_de", "lemme"), "lemme le plus fréquent d'une forme", False, [MOTS]),
        ("formes", cmd_formes, "formes fléchies d'un lemme", True, [
            arg("lemme"), arg("--cgram", help="préfixe de catégorie grammaticale (VER, NOM...)"), liste(0)]),
        ("conjuguer", cmd_conjuguer, "table de conjugaison d'un verbe", False, [arg("verbe")]),
        ("verbes", cmd_verbes, "formes verbales par prononciation, personne et nombre", True, [
            arg("phones", nargs="+", metavar="PHONE"), arg("--personne", required=True, choices=["1", "2", "3"]),
            arg("--nombre", default="", choices=["s", "p", ""], help="s ou p (défaut : les deux)"), liste(0)]),
        ("definitions", cmd_definitions, "définitions d'un mot", True,
         [MOT, arg("--cgram", help="catégorie grammaticale exacte")]),
        ("synonymes", _liste_de("synonymes"), "synonymes d'un mot", False, [MOT]),
        ("antonymes", _liste_de("antonymes"), "antonymes d'un mot", False, [MOT]),
        ("rechercher", cmd_rechercher, "recherche par expression régulière", True,
         [arg("motif"), arg("--champ", default="ortho", choices=["ortho", "phone"]), liste()]),
        ("anagrammes", cmd_anagrammes, "anagrammes d'un mot", True, [MOT, liste()]),
        ("rimes", cmd_rimes, "mots qui riment avec un mot (le mot lui-même exclu)", True, [
            MOT, arg("--nb-phonemes", type=_entier_positif, default=2, metavar="N",
                     help="nombre de phonèmes finaux communs (défaut 2 ; toute la prononciation "
                          "d'un mot plus court)"),
            arg("--avec-mot", action="store_true", help="garder le mot lui-même dans la liste"), liste()]),
        ("contient-son", cmd_contient_son, "mots dont la prononciation contient un son", True, [arg("son"), liste()]),
        ("syllabes", cmd_syllabes, "mots d'exactement N syllabes", True, [
            arg("n", type=int, metavar="N"), arg("--cgram", help="préfixe de catégorie grammaticale"), liste()]),
        ("filtrer", cmd_filtrer, "filtre multicritère", True, [options_criteres, options_tri, liste(100)]),
        ("compter", cmd_compter, "nombre de lignes satisfaisant les critères", False, [options_criteres]),
        ("exporter", cmd_exporter, "exporte les lignes filtrées (CSV ou SQLite)", True, [
            arg("sortie", metavar="FICHIER"), arg("--format", default="csv", choices=["csv", "sqlite"]),
            options_criteres, options_tri, liste(0, analyses=False)]),
        ("colonnes", cmd_colonnes, "colonnes du lexique : nom, nom source, type, lignes remplies, exemple, fréquence",
         False, []),
        cli_stimuli.COMMANDE,
        ("nom-propre", cmd_nom_propre, "requêtes sur les noms propres (lexique SQLite)", True, [
            arg("requete", choices=["info", "existe", "phone", "homophones", "rechercher", "rimes"]),
            arg("arguments", nargs="+", metavar="ARG",
                help="nom(s), prononciation, motif ou suffixe phonétique selon la requête"),
            liste(analyses=False)]),
        *cli_voisinage.COMMANDES,
    ]


AIDE_COLONNES = ("colonnes à afficher ou exporter, séparées par des virgules : noms canoniques "
                 "(ortho, phone, freq...) ou noms du lexique (freq_opensubs...) ; voir la commande colonnes")


def construire_analyseur() -> argparse.ArgumentParser:
    parent = argparse.ArgumentParser(add_help=False, argument_default=argparse.SUPPRESS)
    _options_communes(parent)
    racine = _Analyseur(prog=PROG, description="Requêtes sur un lexique français (brivane_lexique).")
    _options_communes(racine)
    racine.add_argument("--version", action=_ActionVersion, nargs=0, default=argparse.SUPPRESS,
                        help="affiche la version du paquet et quitte")
    sous = racine.add_subparsers(dest="commande", metavar="COMMANDE", parser_class=_Analyseur)
    sous.required = True
    for nom, fonction, aide, colonnes, arguments in commandes():
        p = sous.add_parser(nom, parents=[parent], help=aide, description=aide)
        p.set_defaults(fonction=fonction)
        if colonnes:
            p.add_argument("--colonnes", type=_liste_colonnes, metavar="C1,C2", help=AIDE_COLONNES)
        for ajouter in arguments:
            ajouter(p)
    return racine


def main(argv: Sequence[str] | None = None) -> int:
    try:
        a = construire_analyseur().parse_args(argv)
        lex = ouvrir_lexique(a.lexique, a.table, a.encodage)
        try:
            preparer_index(lex, a.commande)
            from ._utils import code_lexique_vers_ipa, ipa_vers_code_lexique

            phone = {("lexique", "ipa"): code_lexique_vers_ipa, ("ipa", "lexique"): ipa_vers_code_lexique}.get(
                (lex.alphabet, a.alphabet))
            a.fonction(lex, a, Sortie(a.json, _est_sqlite(lex), phone))
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
        with contextlib.suppress(OSError, ValueError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrompu", file=sys.stderr)
        return 130
    except FileNotFoundError as exc:
        print(f"{PROG}: {exc.strerror or exc}" + (f" : {exc.filename}" if exc.filename else ""), file=sys.stderr)
        return EXIT_ERREUR
    except Exception as exc:  # derniere barriere : jamais de trace d'appel pour l'utilisateur
        message = " ".join(str(exc).split()) or type(exc).__name__
        attendue = isinstance(exc, (OSError, sqlite3.Error, ValueError, TypeError, UnicodeError, RuntimeError,
                                    AssertionError))
        print(f"{PROG}: {'' if attendue else 'erreur inattendue : '}{type(exc).__name__}: {message}", file=sys.stderr)
        return EXIT_ERREUR


def executer() -> None:
    """Point d'entree de la commande : main(), puis fin du processus sans demontage.

    Le lexique embarque laisse des centaines de milliers de textes que l'interpreteur
    libererait un a un en sortant ; la commande a deja ferme ce qu'elle ouvre, il ne reste
    qu'a vider les sorties et rendre la main au systeme.
    """
    code = main()
    for flux in (sys.stdout, sys.stderr):
        with contextlib.suppress(OSError, ValueError):
            flux.flush()
    os._exit(code)


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
