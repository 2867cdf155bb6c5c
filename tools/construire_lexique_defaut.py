#!/usr/bin/env python3
"""Construit le lexique SQLite embarque dans le paquet (lexique_fr_defaut.sqlite).

Deux etapes :

- ``sources`` (a la main, quand les donnees changent) : depuis le dossier des donnees
  ``lexique_fr`` (lexique_fr.tsv.gz et lexique_fr.sqlite.gz), ecrit les sources
  compressees versionnees dans le depot (donnees/) : lexique_fr.tsv.xz, le TSV entier tel
  quel, et noms_propres.tsv.xz, la table noms_propres de la base en TSV ;
- ``base`` (a chaque construction du paquet, lancee par CMake avec l'interpreteur qui
  construit) : depuis ces sources, ecrit la base SQLite indexee que le paquet installe.

La colonne phone_reversed est calculee avec la segmentation du paquet
(brivane_lexique._utils._tokenize_ipa, le module que la construction vient de compiler) :
les segments de phone, dans l'ordre inverse. La recherche de rimes sur SQLite repose sur
cette colonne, elle doit donc couper les phonemes exactement comme le fait la bibliotheque.

Usage :
    python tools/construire_lexique_defaut.py sources --donnees /chemin/des/donnees
    python tools/construire_lexique_defaut.py base --sortie /tmp/lexique_fr_defaut.sqlite
"""

from __future__ import annotations

import argparse
import csv
import gzip
import io
import sqlite3
import subprocess
import sys
from pathlib import Path
from typing import Callable, Iterator

RACINE = Path(__file__).resolve().parents[1]
SOURCES_DEFAUT = RACINE / "donnees"
FICHIER_FORMES = "lexique_fr.tsv.xz"
FICHIER_NOMS = "noms_propres.tsv.xz"

# Types declares des colonnes, comme dans la base complete : ce sont eux qui decident de
# l'affinite SQLite (un 12.5 lu dans le TSV doit etre stocke en REAL). Une valeur vide d'une
# colonne numerique devient NULL (un filtre "age IS NULL" doit la voir absente).
TYPES_FORMES = {
    "freq_opensubs": "REAL",
    "freq_doc": "REAL",
    "nb_syllabes": "INTEGER",
    "age": "REAL",
    "illustrable": "REAL",
}
TYPES_NOMS = {"population": "INTEGER"}
COLONNES_NOMS = ["lemme", "phone", "type", "code", "departement", "region", "population"]
# Creee vide : aucun dictionnaire de definitions n'est disponible ; le schema est celui de la
# base complete, pour qu'une requete de definitions trouve la table et reponde [].
SQL_DEFINITIONS = (
    "CREATE TABLE definitions (lemme TEXT, cgram TEXT, sens_num INTEGER, definition TEXT, "
    "exemples TEXT, synonymes TEXT, antonymes TEXT, tags TEXT)"
)
# Index crees apres les insertions. Les deux premiers sont ceux que Lexique cree a
# l'ouverture (la base installee peut etre en lecture seule) ; lower(ortho) sert le niveau 1
# (SELECT DISTINCT lower(ortho)) sans tri ; phone sert homophones et les
# formes verbales par prononciation ; phone_reversed (NOCASE, comme LIKE) sert les rimes.
INDEX = (
    "CREATE INDEX idx_formes_ortho_nocase ON formes(ortho COLLATE NOCASE)",
    "CREATE INDEX idx_formes_lemme_nocase ON formes(lemme COLLATE NOCASE)",
    "CREATE INDEX idx_formes_ortho_lower ON formes(lower(ortho))",
    "CREATE INDEX idx_formes_phone ON formes(phone)",
    "CREATE INDEX idx_formes_phone_reversed ON formes(phone_reversed COLLATE NOCASE)",
    "CREATE INDEX idx_noms_propres_lemme_nocase ON noms_propres(lemme COLLATE NOCASE)",
)


def schema(table: str, colonnes: list[str], types: dict[str, str]) -> str:
    defs = ", ".join(f"{c} {types.get(c, 'TEXT')}" for c in colonnes)
    return f"CREATE TABLE {table} ({defs})"


def convertisseur(colonne: str, types: dict[str, str]) -> Callable[[str], object]:
    type_ = types.get(colonne)
    if type_ is None:
        return lambda texte: texte
    lire = float if type_ == "REAL" else int
    return lambda texte: lire(texte) if texte != "" else None


def segmenteur():
    try:
        from brivane_lexique._utils import _tokenize_ipa
    except ImportError as exc:  # pragma: no cover - message pour qui lance le script
        sys.exit(f"brivane_lexique._utils introuvable (construire le paquet, ou PYTHONPATH) : {exc}")
    return _tokenize_ipa


def inverser(tokenize: Callable[[str], list[str]], phone: str) -> str:
    return "".join(reversed(tokenize(phone))) if phone else ""


def lire_xz(chemin: Path) -> str:
    try:
        import lzma
    except ImportError:
        # Interpreteur compile sans liblzma : l'outil xz du systeme fait le meme travail.
        brut = subprocess.run(["xz", "-dc", str(chemin)], check=True, capture_output=True).stdout
    else:
        brut = lzma.decompress(chemin.read_bytes())
    return brut.decode("utf-8")


def lignes_tsv(texte: str, nom: str) -> tuple[list[str], Iterator[list[str]]]:
    lecteur = csv.reader(io.StringIO(texte, newline=""), delimiter="\t")
    entete = [c.strip() for c in next(lecteur)]

    def lignes() -> Iterator[list[str]]:
        for n, ligne in enumerate(lecteur, start=2):
            if len(ligne) != len(entete):
                raise SystemExit(f"{nom}:{n}: {len(ligne)} champs au lieu de {len(entete)}")
            yield ligne

    return entete, lignes()


def rangs(entete: list[str], lignes: Iterator[list[str]], types: dict[str, str], inverse=None):
    # Only the typed columns are converted: the text ones go to SQLite as read.
    conversions = [(i, convertisseur(c, types)) for i, c in enumerate(entete) if c in types]
    i_phone = entete.index("phone")
    for ligne in lignes:
        for i, lire in conversions:
            ligne[i] = lire(ligne[i])
        if inverse is not None:
            ligne.append(inverse(ligne[i_phone]))
        yield ligne


def remplir(conn: sqlite3.Connection, table: str, colonnes: list[str], types: dict[str, str], valeurs) -> None:
    conn.execute(schema(table, colonnes, types))
    marques = ", ".join("?" * len(colonnes))
    conn.executemany(f"INSERT INTO {table} ({', '.join(colonnes)}) VALUES ({marques})", valeurs)


def construire(sources: Path, sortie: Path) -> None:
    tokenize = segmenteur()
    sortie.parent.mkdir(parents=True, exist_ok=True)
    # On ecrit a cote puis on remplace : une construction ratee ne laisse pas un fichier a moitie fait.
    provisoire = sortie.with_name(sortie.name + ".tmp")
    provisoire.unlink(missing_ok=True)
    conn = sqlite3.connect(provisoire, isolation_level=None)
    try:
        # Fichier neuf remplace d'un bloc : ni journal ni synchronisation pendant le remplissage.
        conn.execute("PRAGMA journal_mode=OFF")
        conn.execute("PRAGMA synchronous=OFF")
        conn.execute("BEGIN")
        entete, lignes = lignes_tsv(lire_xz(sources / FICHIER_FORMES), FICHIER_FORMES)
        valeurs = rangs(entete, lignes, TYPES_FORMES, lambda p: inverser(tokenize, p))
        remplir(conn, "formes", entete + ["phone_reversed"], TYPES_FORMES, valeurs)
        entete, lignes = lignes_tsv(lire_xz(sources / FICHIER_NOMS), FICHIER_NOMS)
        if entete != COLONNES_NOMS:
            raise SystemExit(f"{FICHIER_NOMS}: colonnes {entete} au lieu de {COLONNES_NOMS}")
        remplir(conn, "noms_propres", entete, TYPES_NOMS, rangs(entete, lignes, TYPES_NOMS))
        conn.execute(SQL_DEFINITIONS)
        for sql in INDEX:
            conn.execute(sql)
        conn.execute("ANALYZE")
        conn.execute("COMMIT")
        # Journal de rollback ordinaire (pas WAL) : le fichier installe s'ouvre en lecture seule partout.
        conn.execute("PRAGMA journal_mode=DELETE")
    finally:
        conn.close()
    provisoire.replace(sortie)


def ecrire_xz(chemin: Path, texte: str) -> None:
    import lzma

    chemin.write_bytes(lzma.compress(texte.encode("utf-8"), preset=9 | lzma.PRESET_EXTREME))


def texte_noms_propres(base: Path) -> str:
    conn = sqlite3.connect(f"file:{base}?mode=ro", uri=True)
    try:
        (sql,) = conn.execute("SELECT sql FROM sqlite_master WHERE name = 'noms_propres'").fetchone()
        if sql != schema("noms_propres", COLONNES_NOMS, TYPES_NOMS):
            raise SystemExit(f"{base}: schema de noms_propres inattendu : {sql}")
        tampon = io.StringIO(newline="")
        ecrivain = csv.writer(tampon, delimiter="\t", lineterminator="\n")
        ecrivain.writerow(COLONNES_NOMS)
        for ligne in conn.execute(f"SELECT {', '.join(COLONNES_NOMS)} FROM noms_propres ORDER BY rowid"):
            if any(isinstance(v, str) and ("\t" in v or "\n" in v or '"' in v) for v in ligne):
                raise SystemExit(f"{base}: champ de noms_propres non representable en TSV : {ligne}")
            ecrivain.writerow("" if v is None else v for v in ligne)
        return tampon.getvalue()
    finally:
        conn.close()


def preparer_sources(donnees: Path, dossier: Path, tmp: Path) -> None:
    dossier.mkdir(parents=True, exist_ok=True)
    with gzip.open(donnees / "lexique_fr.tsv.gz", "rb") as f:
        ecrire_xz(dossier / FICHIER_FORMES, f.read().decode("utf-8"))
    base = tmp / "lexique_fr.sqlite"
    with gzip.open(donnees / "lexique_fr.sqlite.gz", "rb") as src:
        base.write_bytes(src.read())
    ecrire_xz(dossier / FICHIER_NOMS, texte_noms_propres(base))


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sous = p.add_subparsers(dest="etape", required=True)
    s = sous.add_parser("sources", help="ecrit les sources compressees depuis le dossier des donnees")
    s.add_argument("--donnees", type=Path, required=True, help="dossier de lexique_fr.tsv.gz et lexique_fr.sqlite.gz")
    s.add_argument("--dossier", type=Path, default=SOURCES_DEFAUT)
    b = sous.add_parser("base", help="construit la base SQLite depuis les sources compressees")
    b.add_argument("--sources", type=Path, default=SOURCES_DEFAUT)
    b.add_argument("--sortie", type=Path, required=True)
    a = p.parse_args()
    if a.etape == "sources":
        import tempfile

        with tempfile.TemporaryDirectory() as tmp:
            preparer_sources(a.donnees, a.dossier, Path(tmp))
        for nom in (FICHIER_FORMES, FICHIER_NOMS):
            print(f"{a.dossier / nom} : {(a.dossier / nom).stat().st_size / 1e6:.2f} Mo")
    else:
        construire(a.sources, a.sortie)
        print(f"{a.sortie} : {a.sortie.stat().st_size / 1e6:.2f} Mo")


if __name__ == "__main__":
    main()
