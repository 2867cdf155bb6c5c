"""Plain-Python twins of filtering and exporting a lexicon: what one would write without this library.

Same rows, same order, same file formats as `Lexique.filtrer`, `compter` and `exporter`: csv.writer
over dict rows, sqlite3 executemany in 10000-row batches with a commit each, the same PRAGMAs, the
same indexes and VACUUM.
"""

from __future__ import annotations

import csv
import itertools
import sqlite3

from baselines_recherche import get_nb_syllabes as _nb_syllabes

PAS = 5000
LOT = 10000


def _texte(e, nom):
    v = e.get(nom)
    if not v:
        return ""
    return v if isinstance(v, str) else str(v)


def _reel(v):
    try:
        return float(v)
    except (ValueError, TypeError):
        return None


def filtrer(entrees, *, cgram=None, genre=None, nombre=None, freq_min=None, freq_max=None, nb_syllabes=None,
            has_age=None, has_phone=None, limite=100):
    """The in-memory filter, criterion by criterion, over any iterable of entries."""
    res = []
    for e in entrees:
        if cgram is not None and not _texte(e, "cgram").startswith(cgram):
            continue
        if genre is not None and _texte(e, "genre") != genre:
            continue
        if nombre is not None and _texte(e, "nombre") != nombre:
            continue
        f = e.get("freq", 0)
        freq = (_reel(f) or 0.0) if f else 0.0
        if freq_min is not None and freq < freq_min:
            continue
        if freq_max is not None and freq > freq_max:
            continue
        if nb_syllabes is not None and _nb_syllabes(e) != nb_syllabes:
            continue
        if has_age is not None:
            age = e.get("age")
            if (age is not None and age != "") != has_age:
                continue
        if has_phone is not None and bool(_texte(e, "phone").strip()) != has_phone:
            continue
        res.append(e)
        if limite and len(res) >= limite:
            break
    return res


def flux(index):
    return itertools.chain.from_iterable(index.values())


def lignes_memoire(index, colonnes=None, limite=0, callback=None, **criteres):
    """Row source over a loaded ortho index: a fresh dict per matching entry."""
    count = 0
    for e in filtrer(flux(index), limite=limite, **criteres):
        yield {k: v for k, v in e.items() if k in colonnes} if colonnes else dict(e)
        count += 1
        if callback and count % PAS == 0:
            callback(count)


def lignes_sql(conn, table, colonnes=None, limite=0, callback=None):
    """Row source over the lexicon's own connection (no criteria: WHERE 1=1)."""
    toutes = [r[1] for r in conn.execute(f"PRAGMA table_info({table})").fetchall()]
    noms = [c for c in colonnes if c in toutes] if colonnes else toutes
    sql = f"SELECT {', '.join(noms)} FROM {table} WHERE 1=1"
    params = []
    if limite:
        sql += " LIMIT ?"
        params.append(limite)
    count = 0
    for row in conn.execute(sql, params):
        yield dict(zip(noms, row))
        count += 1
        if callback and count % PAS == 0:
            callback(count)


def exporter_csv(chemin, entete, lignes, callback=None):
    count = 0
    with open(chemin, "w", encoding="utf-8", newline="") as f:
        w = csv.writer(f)
        w.writerow(entete)
        for row in lignes:
            w.writerow([row.get(k) for k in entete])
            count += 1
    if callback:
        callback(count)
    return count


def exporter_sqlite(chemin, schema, lignes, callback=None):
    """`schema`: the (name, declared type) pairs of the new table."""
    noms = [n for n, _ in schema]
    conn = sqlite3.connect(str(chemin))
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA synchronous=OFF")
    conn.execute(f"CREATE TABLE formes ({', '.join(f'{n} {t}' for n, t in schema)})")
    conn.commit()
    insertion = f"INSERT INTO formes ({', '.join(noms)}) VALUES ({', '.join('?' * len(noms))})"
    count = 0
    lot = []
    for row in lignes:
        lot.append(tuple(row.get(n) for n in noms))
        count += 1
        if len(lot) >= LOT:
            conn.executemany(insertion, lot)
            conn.commit()
            lot = []
    if lot:
        conn.executemany(insertion, lot)
        conn.commit()
    for nom, suffixe in (("ortho", " COLLATE NOCASE"), ("lemme", " COLLATE NOCASE"), ("phone", ""), ("cgram", "")):
        if nom in noms:
            conn.execute(f"CREATE INDEX IF NOT EXISTS idx_{nom} ON formes({nom}{suffixe})")
    if "illustrable" in noms:
        conn.execute("CREATE INDEX IF NOT EXISTS idx_illustrable ON formes(illustrable)")
    if "nb_syllabes" in noms:
        conn.execute("CREATE INDEX IF NOT EXISTS idx_nb_syllabes ON formes(nb_syllabes)")
    conn.commit()
    conn.execute("VACUUM")
    conn.close()
    if callback:
        callback(count)
    return count
