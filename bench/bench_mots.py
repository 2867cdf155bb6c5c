"""Word lookups and morphology on the real lexicon: ours against plain Python and bare SQL.

    python bench/bench_mots.py [--tours N] [--mots N]

In memory (TSV source, indexes warmed first), each method is timed against its plain-Python
twin of bench/baselines_mots.py over the same index (target: at least 2 times faster).
On SQLite, each method is timed against the bare statement it runs,
conn.execute(sql, params).fetchall() on a second connection whose rows are sqlite3.Row
(target: at most 1.2 times its time). Both sides of a pair run alternately, round after
round, over the same mixed word list; the table shows median times per call.
"""

from __future__ import annotations

import argparse
import gc
import random
import sqlite3
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import baselines_mots as base  # noqa: E402
import donnees  # noqa: E402

from brivane_lexique import _utils  # noqa: E402
from brivane_lexique.lexique import Lexique  # noqa: E402


# No index serves "phone = ?": each such statement scans the whole table, so fewer calls
# are enough to time it.
PLEIN_BALAYAGE = 60


def listes_de_mots(chemin_sqlite: Path, n: int, graine: int = 7):
    """Half the most frequent spellings, half drawn at random among the others; the
    lemmas and verb lemmas of those words; the transcriptions of the verb forms."""
    conn = sqlite3.connect(chemin_sqlite)
    par_freq = [r[0] for r in conn.execute(
        "SELECT ortho FROM formes GROUP BY lower(ortho) ORDER BY MAX(freq_opensubs) DESC, ortho")]
    hasard = random.Random(graine)
    mots = par_freq[: n // 2] + hasard.sample(par_freq[n // 2:], n - n // 2)
    hasard.shuffle(mots)
    lemmes, verbes, phones = [], [], []
    for mot in mots:
        for lemme, cgram, phone, personne, nombre in conn.execute(
                "SELECT lemme, cgram, phone, personne, nombre FROM formes WHERE ortho = ? COLLATE NOCASE",
                (mot,)):
            lemmes.append(lemme)
            if cgram in ("VER", "AUX"):
                verbes.append(lemme)
                if personne and nombre:
                    phones.append(([phone], personne, nombre))
    conn.close()
    uniques = lambda l: list(dict.fromkeys(l))  # noqa: E731
    return mots, uniques(lemmes), uniques(verbes), phones


def chrono(f, args_list) -> float:
    t0 = time.perf_counter()
    for a in args_list:
        f(*a)
    return (time.perf_counter() - t0) / len(args_list)


def paire(f_nous, f_ref, args_list, tours: int) -> tuple[float, float]:
    """Median per-call time of each side, the two sides alternating round by round."""
    chrono(f_nous, args_list[:50])
    chrono(f_ref, args_list[:50])
    nous, ref = [], []
    gc.collect()
    gc.disable()
    try:
        for i in range(tours):
            if i % 2:
                ref.append(chrono(f_ref, args_list))
                nous.append(chrono(f_nous, args_list))
            else:
                nous.append(chrono(f_nous, args_list))
                ref.append(chrono(f_ref, args_list))
    finally:
        gc.enable()
    return statistics.median(nous), statistics.median(ref)


def ligne(nom, nous, ref, n, cible, sens):
    ratio = ref / nous if sens == "x plus rapide" else nous / ref
    ok = ratio >= cible if sens == "x plus rapide" else ratio <= cible
    print(f"{nom:34s} {n:6d} {nous * 1e6:10.2f} {ref * 1e6:10.2f} {ratio:8.2f}   {sens} (cible {cible}) "
          f"{'ok' if ok else 'MANQUE'}")
    return ok


def en_memoire(lex, mots, lemmes, verbes, tours):
    io, il = lex._get_index_ortho(), lex._get_index_lemme()
    cas = [
        ("info", lex.info, lambda m: base.info(io, m), [(m,) for m in mots]),
        ("frequence", lex.frequence, lambda m: base.frequence(io, m), [(m,) for m in mots]),
        ("phone_de", lex.phone_de, lambda m: base.phone_de(io, m), [(m,) for m in mots]),
        ("lemme_de", lex.lemme_de, lambda m: base.lemme_de(io, m), [(m,) for m in mots]),
        ("formes_de", lex.formes_de, lambda m: base.formes_de(il, m), [(m,) for m in lemmes]),
        ("formes_de(cgram='VER')", lex.formes_de, lambda m, c: base.formes_de(il, m, c),
         [(m, "VER") for m in lemmes]),
        ("conjuguer", lex.conjuguer, lambda m: base.conjuguer(il, m), [(m,) for m in verbes]),
    ]
    print(f"\nEn memoire (TSV) : nous contre Python simple sur le meme index")
    print(f"{'methode':34s} {'appels':>6s} {'nous us':>10s} {'Python us':>10s} {'ratio':>8s}")
    tout_ok = True
    for nom, f, ref, args in cas:
        # The twins must agree before their speeds are compared.
        for a in args[:: max(1, len(args) // 300)]:
            assert f(*a) == ref(*a), (nom, a)
        nous, t_ref = paire(f, ref, args, tours)
        tout_ok &= ligne(nom, nous, t_ref, len(args), 2, "x plus rapide")
    return tout_ok


def en_sql(lex, chemin, mots, lemmes, verbes, phones, tours):
    conn = sqlite3.connect(str(chemin), check_same_thread=False)
    conn.row_factory = sqlite3.Row
    norm = _utils.normaliser_ortho

    def brut(sql, params_de):
        return lambda *a: conn.execute(sql, params_de(*a)).fetchall()

    verbes_sql = ("SELECT ortho, lemme, cgram, personne, nombre, mode, temps, freq_opensubs AS freq, phone "
                  "FROM formes WHERE phone IN ({}) AND cgram IN ('VER', 'AUX') AND personne = ? AND nombre = ? "
                  "ORDER BY freq_opensubs DESC")
    cas = [
        ("info", lex.info, brut("SELECT * FROM formes WHERE ortho = ? COLLATE NOCASE", lambda m: (norm(m),)),
         [(m,) for m in mots]),
        ("homophones", lex.homophones,
         brut("SELECT ortho, cgram, freq_opensubs AS freq, phone FROM formes WHERE phone = ?", lambda p: (p,)),
         [(p[0][0],) for p in phones[:PLEIN_BALAYAGE]]),
        ("frequence", lex.frequence,
         lambda m: conn.execute("SELECT MAX(freq_opensubs) FROM formes WHERE ortho = ? COLLATE NOCASE",
                                (norm(m),)).fetchone(),
         [(m,) for m in mots]),
        ("phone_de", lex.phone_de,
         lambda m: conn.execute("SELECT phone FROM formes WHERE ortho = ? COLLATE NOCASE AND phone != '' "
                                "ORDER BY freq_opensubs DESC LIMIT 1", (norm(m),)).fetchone(),
         [(m,) for m in mots]),
        ("lemme_de", lex.lemme_de, brut("SELECT * FROM formes WHERE ortho = ? COLLATE NOCASE", lambda m: (norm(m),)),
         [(m,) for m in mots]),
        ("formes_de", lex.formes_de, brut("SELECT * FROM formes WHERE lemme = ? COLLATE NOCASE",
                                          lambda m: [norm(m)]), [(m,) for m in lemmes]),
        ("formes_de(cgram='VER')", lex.formes_de,
         brut("SELECT * FROM formes WHERE lemme = ? COLLATE NOCASE AND cgram LIKE ?",
              lambda m, c: [norm(m), c + "%"]), [(m, "VER") for m in lemmes]),
        ("conjuguer", lex.conjuguer,
         brut("SELECT * FROM formes WHERE lemme = ? COLLATE NOCASE AND cgram IN ('VER', 'AUX')",
              lambda m: (norm(m),)), [(m,) for m in verbes]),
        ("verbes_par_phone_et_personne", lex.verbes_par_phone_et_personne,
         lambda ph, p, n: conn.execute(verbes_sql.format(",".join("?" * len(ph))), [*ph, p, n]).fetchall(),
         phones[:PLEIN_BALAYAGE]),
        ("info_nom_propre", lex.info_nom_propre,
         brut("SELECT * FROM noms_propres WHERE lemme = ? COLLATE NOCASE", lambda m: (m,)), [(m,) for m in mots]),
        ("existe_nom_propre", lex.existe_nom_propre,
         lambda m: conn.execute("SELECT 1 FROM noms_propres WHERE lemme = ? COLLATE NOCASE LIMIT 1",
                                (m,)).fetchone(), [(m,) for m in mots]),
    ]
    print(f"\nSQLite : nous contre l'instruction nue (conn.execute(sql, params).fetchall(), lignes sqlite3.Row)")
    print(f"{'methode':34s} {'appels':>6s} {'nous us':>10s} {'SQL us':>10s} {'ratio':>8s}")
    tout_ok = True
    for nom, f, ref, args in cas:
        nous, t_ref = paire(f, ref, args, tours)
        tout_ok &= ligne(nom, nous, t_ref, len(args), 1.2, "x le temps du SQL")
    conn.close()
    return tout_ok


def main():
    sys.stdout.reconfigure(line_buffering=True)
    ap = argparse.ArgumentParser()
    ap.add_argument("--tours", type=int, default=9)
    ap.add_argument("--mots", type=int, default=2000)
    ap.add_argument("--seulement", choices=["memoire", "sql"])
    args = ap.parse_args()
    chemin_sqlite, chemin_tsv = donnees.sqlite_complet(), donnees.tsv_complet()
    mots, lemmes, verbes, phones = listes_de_mots(chemin_sqlite, args.mots)
    print(f"{len(mots)} mots, {len(lemmes)} lemmes, {len(verbes)} verbes, {len(phones)} formes verbales")
    ok = True
    if args.seulement != "sql":
        lex = Lexique(chemin_tsv)
        t0 = time.perf_counter()
        lex._charger_index()
        print(f"index construits en {time.perf_counter() - t0:.2f} s")
        ok &= en_memoire(lex, mots, lemmes, verbes, args.tours)
    if args.seulement != "memoire":
        ok &= en_sql(Lexique(chemin_sqlite), chemin_sqlite, mots, lemmes, verbes, phones, args.tours)
    print("\ntoutes les cibles tenues" if ok else "\ncibles manquees : voir MANQUE")


if __name__ == "__main__":
    main()
