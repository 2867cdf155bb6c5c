"""Lexique.colonnes() on SQLite: filled counts and examples against a plain reading of the table."""
import sqlite3

import pytest

from brivane_lexique import Lexique

# Per column: values in row order. Blanks, NULLs and numbers stored in text columns mix.
COLONNES = {
    "ortho": ["chat", "chien", "rat", "pie"],
    "lemme": ["chat", "chien", "rat", "pie"],
    "phone": ["ʃa", "ʃjɛ̃", "ʁa", "pi"],
    "vide": [None, "", "  ", "\t"],
    "tardive": [None, " ", None, "x y"],
    "nombres": [3, None, 2.5, "7"],
    'mot "cle"': ["", "a", "b", None],
    "select": [None, None, None, None],
}


def reference(conn):
    """(source, remplies, exemple) as Python reads the rows: filled = not NULL and not blank."""
    res = []
    lignes = conn.execute("SELECT * FROM formes ORDER BY rowid").fetchall()
    for i, nom in enumerate(COLONNES):
        remplies = [r[i] for r in lignes if r[i] is not None and str(r[i]).strip(" ")]
        res.append((nom, len(remplies), remplies[0] if remplies else None))
    return res


@pytest.mark.parametrize("vide", [False, True], ids=["rows", "no row"])
def test_colonnes_sqlite_comptes_et_exemples(tmp_path, vide):
    chemin = tmp_path / "l.sqlite"
    conn = sqlite3.connect(chemin)
    conn.execute("CREATE TABLE formes (" + ", ".join('"' + n.replace('"', '""') + '"' for n in COLONNES) + ")")
    if not vide:
        conn.executemany(f"INSERT INTO formes VALUES ({', '.join('?' * len(COLONNES))})", zip(*COLONNES.values()))
    conn.commit()
    attendu = reference(conn)
    conn.close()
    decrites = Lexique(chemin).colonnes()
    assert [(c["source"], c["remplies"], c["exemple"]) for c in decrites] == attendu
    assert [c["type"] for c in decrites] == ["texte"] * len(COLONNES)
