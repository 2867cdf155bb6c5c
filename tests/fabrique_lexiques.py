"""Small lexicons written twice, as SQLite and as TSV, from the same rows.

None is a NULL in SQLite and an empty cell in TSV, which is how the two kinds of
file express a missing value.
"""

import sqlite3
from pathlib import Path

COLONNES = (
    "ortho", "phone", "lemme", "cgram", "genre", "nombre", "mode", "temps", "personne",
    "freq_opensubs", "multext", "synonymes", "antonymes", "definition", "Remarque",
)

_V = "VER"


def _verbe(ortho, phone, cgram, nombre, mode, temps, personne, freq, multext=""):
    return (ortho, phone, "chanter", cgram, "", nombre, mode, temps, personne, freq, multext, "", "", "", "")


def _mot(ortho, phone, lemme, cgram, genre, nombre, freq, syn="", ant="", definition="", remarque=""):
    return (ortho, phone, lemme, cgram, genre, nombre, "", "", "", freq, "", syn, ant, definition, remarque)


LIGNES = [
    ("chanter", "ʃɑ̃te", "chanter", _V, "", "", "inf", "", "", 30.0, "Vmn----", "entonner; fredonner", "",
     "Emettre des sons musicaux.", ""),
    _verbe("chante", "ʃɑ̃t", _V, "s", "ind", "pre", "1", 50.0, "Vmip1s"),
    _verbe("chante", "ʃɑ̃t", _V, "s", "ind", "pre", "3", 50.0, "Vmip3s"),
    _verbe("chante", "ʃɑ̃tə", _V, "s", "sub", "pre", "3", 7.0),  # schwa variant, subjunctive
    _verbe("chantes", "ʃɑ̃t", _V, "s", "ind", "pre", "2", 5.0),
    _verbe("chantons", "ʃɑ̃tɔ̃", _V, "p", "ind", "pre", "1", 4.0),
    _verbe("chantez", "ʃɑ̃te", _V, "p", "ind", "pre", "2", 3.0),
    _verbe("chantent", "ʃɑ̃t", _V, "p", "ind", "pre", "3", 20.0),
    _verbe("chantions", "ʃɑ̃tjɔ̃", _V, "", "ind", "imp", "", 1.0, "Vmii1p"),  # person from the tag
    _verbe("chanterai", "ʃɑ̃təʁe", "VER:futur", "s", "ind", "fut", "1", 2.0),
    _verbe("chantai", "ʃɑ̃tɛ", "ver", "s", "ind", "pas", "1", 1.0),  # lower-case tag
    _verbe("chantoir", "ʃɑ̃twaʁ", None, "s", "", "", "", 0.5),  # no part of speech
    _verbe(None, "ʃɑ̃t", _V, "s", "ind", "pre", "3", 99.0),  # no spelling
    ("Chanthe", "ʃɑ̃t", "chanthe", "NOM", "f", "s", "", "", "3", 90.0, "", "", "", "", ""),  # a person, not a verb
    _mot("chant", "ʃɑ̃", "chant", "NOM", "m", "s", 12.0, "mélodie;;air; ", "silence",
         "Suite de sons musicaux.", "rare"),
    _mot("chant", "ʃɑ̃", "chant", "NOM", "m", "s", 12.0, "cantique", "", " Suite de sons musicaux. "),
    _mot("Chants", "ʃɑ̃", "chant", "NOM", "m", "p", 3.0),
    ("est", "ɛ", "être", "AUX", "", "s", "ind", "pre", "3", 100.0, "Vaip3s", "", "", "", ""),
    _mot("est", "ɛst", "est", "NOM", "m", "s", 100.0),
    ("été", "ete", "être", "AUX", "m", "s", "par", "pas", "", 40.0, "Vapps-sm", "", "", "", ""),
    _mot("Été", "ete", "été", "NOM", "m", "s", 40.0),
    _mot("sans", None, "sans", "PRE", "", "", 60.0),
    _mot("sans", "", "sans", "PRE", "", "", 10.0),
    _mot("zut", "zyt", "zut", "ONO", "", "", None),
]


def ecrire_sqlite(chemin, colonnes=COLONNES, lignes=LIGNES, table="formes"):
    conn = sqlite3.connect(chemin)
    # Only the frequency has a declared type: other values are stored as given.
    defs = ", ".join(f'"{c}" REAL' if c == "freq_opensubs" else f'"{c}"' for c in colonnes)
    conn.execute(f"CREATE TABLE {table} ({defs})")
    conn.executemany(f"INSERT INTO {table} VALUES ({','.join('?' * len(colonnes))})", lignes)
    conn.commit()
    conn.close()
    return Path(chemin)


def ecrire_tsv(chemin, colonnes=COLONNES, lignes=LIGNES):
    def cellule(v):
        return "" if v is None else str(v)

    texte = "\t".join(colonnes) + "\n" + "".join("\t".join(map(cellule, l)) + "\n" for l in lignes)
    Path(chemin).write_text(texte, encoding="utf-8", newline="")
    return Path(chemin)


def ecrire(dossier, backend, **kw):
    dossier = Path(dossier)
    if backend == "sqlite":
        return ecrire_sqlite(dossier / "lex.sqlite", **kw)
    return ecrire_tsv(dossier / "lex.tsv", **kw)
