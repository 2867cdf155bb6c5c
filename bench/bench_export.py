"""Exporting and filtering the whole lexicon: ours against plain Python, side by side.

    python bench/bench_export.py [--repetitions N]

Reads ../shared/data/lexique_fr.tsv.gz and lexique_fr.sqlite.gz (decompressed once into bench/data/).
Every measure runs in a fresh child process, so that its peak memory (ru_maxrss) is its own; the
files written go to bench/_out/ and are compared (CSV bytes, SQLite schema, indexes and rows).
"""

from __future__ import annotations

import argparse
import json
import sqlite3
import statistics
import subprocess
import sys
import time
from pathlib import Path

ICI = Path(__file__).resolve().parent
sys.path.insert(0, str(ICI))
import donnees  # noqa: E402

SORTIES = ICI / "_out"
FILTRES = [
    ("cgram=VER nb_syllabes=3", {"cgram": "VER", "nb_syllabes": 3}),
    ("cgram=NOM genre=f has_phone", {"cgram": "NOM", "genre": "f", "has_phone": True}),
    ("cgram=ADJ nombre=p freq_min=1", {"cgram": "ADJ", "nombre": "p", "freq_min": 1.0}),
]


def rss_courant_mo() -> float:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 2**20


def remettre_pic_a_zero() -> None:
    """From here on ru_maxrss is the peak of what follows (Linux: clear_refs 5 resets the high-water mark)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass


def enfant(mesure: str, backend: str, format_: str, limite: int) -> dict:
    """One export, ours ("lexique") or the plain-Python twin ("base")."""
    import resource

    import baselines_export as base

    from brivane_lexique import Lexique

    source = donnees.tsv_complet() if backend == "tsv" else donnees.sqlite_complet()
    lex = Lexique(source)
    if backend == "tsv":
        lex._get_index_ortho()  # the indexes are not part of the export
    sortie = SORTIES / f"{mesure}_{backend}_{limite}.{format_}"
    avant = rss_courant_mo()
    remettre_pic_a_zero()
    c0 = time.process_time()
    t0 = time.perf_counter()
    if mesure == "lexique":
        n = lex.exporter(sortie, format=format_, limite=limite)
    else:
        if backend == "tsv":
            index = lex._get_index_ortho()
            lignes = base.lignes_memoire(index, limite=limite)
            premiere = next(iter(next(iter(index.values()))))
            schema = [(k, "TEXT") for k in premiere]
        else:
            conn = lex._get_conn()
            lignes = base.lignes_sql(conn, lex._table, limite=limite)
            schema = [(r[1], r[2]) for r in conn.execute(f"PRAGMA table_info({lex._table})")]
        if format_ == "csv":
            n = base.exporter_csv(sortie, [nom for nom, _ in schema], lignes)
        else:
            sortie.unlink(missing_ok=True)
            n = base.exporter_sqlite(sortie, schema, lignes)
    duree = time.perf_counter() - t0
    return {"duree": duree, "cpu": time.process_time() - c0, "n": n, "rss_avant_mo": avant,
            "rss_max_mo": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024}


def enfant_filtres(repetitions: int) -> dict:
    """In-memory filtrer/compter of a TSV lexicon against the plain filter over the same entries."""
    import baselines_export as base

    from brivane_lexique import Lexique

    lex = Lexique(donnees.tsv_complet())
    index = lex._get_index_ortho()

    def mediane(f):
        f()
        temps = []
        for _ in range(repetitions):
            t = time.perf_counter()
            f()
            temps.append(time.perf_counter() - t)
        return statistics.median(temps)

    res = {}
    for nom, crit in FILTRES:
        attendu = base.filtrer(base.flux(index), limite=0, **crit)
        assert [id(e) for e in lex.filtrer(limite=0, **crit)] == [id(e) for e in attendu], nom
        assert lex.compter(**crit) == len(attendu), nom
        res[nom] = {
            "n": len(attendu),
            "base": mediane(lambda: base.filtrer(base.flux(index), limite=0, **crit)),
            "filtrer": mediane(lambda: lex.filtrer(limite=0, **crit)),
            "compter": mediane(lambda: lex.compter(**crit)),
        }
    return res


def lancer(*args: str) -> dict:
    sortie = subprocess.run([sys.executable, __file__, "--enfant", *args], capture_output=True, text=True)
    if sortie.returncode:
        sys.exit(sortie.stderr)
    return json.loads(sortie.stdout)


def mesurer(mesure, backend, format_, limite, repetitions) -> dict:
    res = [lancer(mesure, backend, format_, str(limite)) for _ in range(repetitions)]
    return {"duree": statistics.median(r["duree"] for r in res), "cpu": statistics.median(r["cpu"] for r in res),
            "n": res[0]["n"],
            "rss_avant_mo": max(r["rss_avant_mo"] for r in res), "rss_max_mo": max(r["rss_max_mo"] for r in res)}


def contenu_sqlite(chemin: Path):
    """Schema, indexes, and a digest of every row with the storage type of each value."""
    import hashlib

    h = hashlib.sha256()
    with sqlite3.connect(chemin) as c:
        schema = c.execute("PRAGMA table_info(formes)").fetchall()
        index = c.execute("SELECT name, sql FROM sqlite_master WHERE type = 'index' ORDER BY name").fetchall()
        types = ", ".join(f"typeof(\"{r[1]}\")" for r in schema)
        for ligne in c.execute(f"SELECT *, {types} FROM formes ORDER BY rowid"):
            h.update(repr(ligne).encode())
    c.close()
    # The quoting of identifiers differs in the statements; the indexed column does not.
    index = [(n, s.replace('"', "")) for n, s in index]
    return schema, index, h.hexdigest()


def verifier(backend: str, format_: str, limite: int) -> bool:
    """Run in a child: the parent's peak memory would be inherited by the next measures."""
    ours = SORTIES / f"lexique_{backend}_{limite}.{format_}"
    base = SORTIES / f"base_{backend}_{limite}.{format_}"
    if format_ == "csv":
        return ours.read_bytes() == base.read_bytes()
    return contenu_sqlite(ours) == contenu_sqlite(base)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--repetitions", type=int, default=1)
    p.add_argument("--enfant", nargs="+")
    args = p.parse_args()
    if args.enfant:
        if args.enfant[0] == "filtres":
            print(json.dumps(enfant_filtres(int(args.enfant[1]))))
        elif args.enfant[0] == "verifier":
            print(json.dumps(verifier(args.enfant[1], args.enfant[2], int(args.enfant[3]))))
        else:
            mesure, backend, format_, limite = args.enfant
            print(json.dumps(enfant(mesure, backend, format_, int(limite))))
        return

    donnees.tsv_complet()
    donnees.sqlite_complet()
    SORTIES.mkdir(exist_ok=True)
    r = args.repetitions
    print(f"Whole-lexicon export, median of {r} run(s), one child process each")
    print(f"{'source -> format':22} {'rows':>7} {'python s':>9} {'ours s':>8} {'ratio':>6}"
          f"   {'python cpu':>10} {'ours cpu':>9} {'ratio':>6}")
    for backend in ("tsv", "sqlite"):
        for format_ in ("csv", "sqlite"):
            b = mesurer("base", backend, format_, 0, r)
            o = mesurer("lexique", backend, format_, 0, r)
            assert b["n"] == o["n"]
            assert lancer("verifier", backend, format_, "0"), f"{backend} -> {format_}: outputs differ"
            print(f"{backend + ' -> ' + format_:22} {o['n']:7d} {b['duree']:9.2f} {o['duree']:8.2f} "
                  f"{b['duree'] / o['duree']:5.1f}x   {b['cpu']:10.2f} {o['cpu']:9.2f} {b['cpu'] / o['cpu']:5.1f}x")

    print("\nRSS of an export from the SQLite backend (MB): RSS when it starts, peak RSS during it;"
          "\nthe full lexicon against a quarter of it (limite)")
    print(f"{'format':8} {'who':8} {'rows':>7} {'start':>7} {'peak':>7} {'rows':>7} {'start':>7} {'peak':>7}")
    total = sqlite3.connect(donnees.sqlite_complet()).execute("SELECT COUNT(*) FROM formes").fetchone()[0]
    for format_ in ("csv", "sqlite"):
        for qui in ("base", "lexique"):
            plein = mesurer(qui, "sqlite", format_, 0, 1)
            quart = mesurer(qui, "sqlite", format_, total // 4, 1)
            print(f"{format_:8} {qui:8} {plein['n']:7d} {plein['rss_avant_mo']:7.1f} {plein['rss_max_mo']:7.1f} "
                  f"{quart['n']:7d} {quart['rss_avant_mo']:7.1f} {quart['rss_max_mo']:7.1f}")

    print(f"\nIn-memory filtrer(limite=0) / compter on the TSV lexicon, median of {max(r, 5)} calls (ms)")
    print(f"{'criteria':32} {'rows':>6} {'python':>8} {'filtrer':>8} {'ratio':>6} {'compter':>8} {'ratio':>6}")
    for nom, m in lancer("filtres", str(max(r, 5))).items():
        print(f"{nom:32} {m['n']:6d} {m['base'] * 1e3:8.1f} {m['filtrer'] * 1e3:8.1f} "
              f"{m['base'] / m['filtrer']:5.1f}x {m['compter'] * 1e3:8.1f} {m['base'] / m['compter']:5.1f}x")


if __name__ == "__main__":
    main()
