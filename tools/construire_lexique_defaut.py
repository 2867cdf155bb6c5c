#!/usr/bin/env python3
"""Construit le lexique SQLite embarque dans le paquet (lexique_fr_defaut.sqlite).

Entrees :
- le TSV des 20 000 formes les plus frequentes (lexique_fr_small.tsv) -> table formes ;
- la base complete decompressee (lexique_fr.sqlite) -> noms_propres (recopiee telle
  quelle) et le schema de la table definitions (creee vide).

La colonne phone_reversed est calculee avec la segmentation du paquet
(brivane_lexique._utils._tokenize_ipa) : les segments de phone, dans l'ordre inverse.
La recherche de rimes sur SQLite repose sur cette colonne, elle doit donc couper les
phonemes exactement comme le fait la bibliotheque.

Usage :
    python tools/construire_lexique_defaut.py \
        --tsv /chemin/lexique_fr_small.tsv --base /tmp/lexique_fr.sqlite \
        --sortie src/brivane_lexique/donnees/lexique_fr_defaut.sqlite
"""

from __future__ import annotations

import argparse
import csv
import gzip
import shutil
import sqlite3
import sys
import tempfile
from pathlib import Path

RACINE = Path(__file__).resolve().parents[1]
SORTIE_DEFAUT = RACINE / "src" / "brivane_lexique" / "donnees" / "lexique_fr_defaut.sqlite"

# Types declares des colonnes de formes, comme dans la base complete : ce sont eux qui
# decident de l'affinite SQLite (un 12.5 lu dans le TSV doit etre stocke en REAL).
TYPES_FORMES = {
    "freq_opensubs": "REAL",
    "freq_doc": "REAL",
    "nb_syllabes": "INTEGER",
    "age": "REAL",
    "illustrable": "REAL",
}
# Colonnes sans source reelle : NULL plutot que '' (un filtre "age IS NULL" doit les voir absentes).
NULL_SI_VIDE = {"age", "illustrable"}


def _tokenize():
    try:
        from brivane_lexique._utils import _tokenize_ipa
    except ImportError as exc:  # pragma: no cover - message pour l'utilisateur du script
        sys.exit(f"brivane_lexique doit etre installe (pip install .) : {exc}")
    return _tokenize_ipa


def _valeur(colonne: str, texte: str):
    if texte == "":
        return None if colonne in NULL_SI_VIDE or colonne in TYPES_FORMES else ""
    type_ = TYPES_FORMES.get(colonne)
    if type_ == "REAL":
        return float(texte)
    if type_ == "INTEGER":
        return int(texte)
    return texte


def _ouvrir_base(chemin: Path, tmp: Path) -> Path:
    if chemin.suffix == ".gz":
        cible = tmp / chemin.stem
        with gzip.open(chemin, "rb") as src, open(cible, "wb") as dst:
            shutil.copyfileobj(src, dst)
        return cible
    return chemin


def construire(tsv: Path, base: Path, sortie: Path) -> None:
    tokenize_ipa = _tokenize()
    sortie.parent.mkdir(parents=True, exist_ok=True)
    # On ecrit a cote puis on remplace : une construction ratee ne laisse pas un fichier a moitie fait.
    provisoire = sortie.with_name(sortie.name + ".tmp")
    provisoire.unlink(missing_ok=True)

    with open(tsv, encoding="utf-8-sig", newline="") as f:
        lecteur = csv.reader(f, delimiter="\t")
        entete = [c.strip() for c in next(lecteur)]
        lignes = list(lecteur)

    colonnes = entete + ["phone_reversed"]
    defs = ", ".join(f"{c} {TYPES_FORMES.get(c, 'TEXT')}" for c in colonnes)
    i_phone = entete.index("phone")

    conn = sqlite3.connect(provisoire)
    try:
        conn.execute("PRAGMA journal_mode=DELETE")
        conn.execute(f"CREATE TABLE formes ({defs})")
        inserer = f"INSERT INTO formes ({', '.join(colonnes)}) VALUES ({', '.join('?' * len(colonnes))})"
        rangs = []
        for n, ligne in enumerate(lignes, start=2):
            if len(ligne) != len(entete):
                raise SystemExit(f"{tsv}:{n}: {len(ligne)} champs au lieu de {len(entete)}")
            valeurs = [_valeur(c, v) for c, v in zip(entete, ligne)]
            phone = ligne[i_phone]
            valeurs.append("".join(reversed(tokenize_ipa(phone))) if phone else "")
            rangs.append(valeurs)
        conn.executemany(inserer, rangs)
        conn.execute("CREATE INDEX idx_formes_ortho_nocase ON formes(ortho COLLATE NOCASE)")
        conn.execute("CREATE INDEX idx_formes_lemme_nocase ON formes(lemme COLLATE NOCASE)")

        with tempfile.TemporaryDirectory() as tmp:
            chemin_base = _ouvrir_base(base, Path(tmp))
            conn.execute("ATTACH DATABASE ? AS complet", (f"file:{chemin_base}?mode=ro",))
            for table in ("noms_propres", "definitions"):
                (sql,) = conn.execute(
                    "SELECT sql FROM complet.sqlite_master WHERE type = 'table' AND name = ?", (table,)
                ).fetchone()
                conn.execute(sql)
            conn.execute("INSERT INTO noms_propres SELECT * FROM complet.noms_propres")
            for (sql,) in conn.execute(
                "SELECT sql FROM complet.sqlite_master WHERE type = 'index' AND tbl_name = 'noms_propres'"
                " AND sql IS NOT NULL"
            ).fetchall():
                conn.execute(sql)
            conn.commit()
            conn.execute("DETACH DATABASE complet")
        conn.execute("VACUUM")
        conn.execute("PRAGMA journal_mode=DELETE")
    finally:
        conn.close()
    provisoire.replace(sortie)


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--tsv", type=Path, required=True, help="lexique_fr_small.tsv")
    p.add_argument("--base", type=Path, required=True, help="lexique_fr.sqlite (ou .sqlite.gz)")
    p.add_argument("--sortie", type=Path, default=SORTIE_DEFAUT)
    a = p.parse_args()
    construire(a.tsv, a.base, a.sortie)
    taille = a.sortie.stat().st_size
    print(f"{a.sortie} : {taille / 1e6:.2f} Mo")


if __name__ == "__main__":
    main()
