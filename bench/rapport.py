"""Performance report: every query of Lexique and of the modules against what a user would pick instead.

    python bench/rapport.py [--sans-echelle] [--facteurs 2,4,8] [--budget 1.0] [--comparer AUTRE.json]

Runs on the real lexicon of ../shared/data (decompressed into bench/data/ by donnees.py), writes
bench/RESULTS.md and bench/scaling.png. Everything is measured in one run on this machine:
ours (TSV in memory and SQLite), plain Python, pandas, polars and the bare sqlite3 statements.
Opening costs and peak memory are measured in child processes (ru_maxrss belongs to one state).

The measures are also kept in bench/_out/resultats-X.Y.json (X.Y: the running Python). To compare
interpreters, run the report with each, the second time with --comparer naming the first one's file:

    python3.11 bench/rapport.py
    python3.13 bench/rapport.py --comparer bench/_out/resultats-3.11.json

Two such runs are two moments of a shared machine; bench/bench_versions.py measures the same
operations under both interpreters in alternate child processes of one run.
"""

from __future__ import annotations

import argparse
import csv
import gc
import json
import math
import os
import platform
import random
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path
from types import SimpleNamespace

ICI = Path(__file__).resolve().parent
sys.path.insert(0, str(ICI))
import donnees  # noqa: E402

SORTIE = ICI / "_out"
RESULTATS = ICI / "RESULTS.md"
GRAPHE = ICI / "scaling.png"

# ------------------------------------------------------------------ measuring


def _tour(f, args) -> float:
    t = time.perf_counter()
    for a in args:
        f(a)
    return time.perf_counter() - t


def chrono(f, args=(None,), budget=1.0, min_rep=3, max_rep=200):
    """Median time of one call: each run calls f on every argument; one warm-up run first."""
    return duel({"x": (f, args, max_rep)}, budget, min_rep)["x"]


def duel(candidats: dict, budget=1.0, min_rep=3) -> dict:
    """Median time per call of each candidate (f, args, max_rep), their runs interleaved round by round.

    The machine is shared: interleaving makes a burst of outside load hit every candidate alike, so the
    ratios between them hold better than the absolute times.
    """
    reps, temps = {}, {}
    for nom, (f, args, max_rep) in candidats.items():
        d = _tour(f, args)
        lo = min_rep if d < 0.5 else 2
        reps[nom] = max(lo, min(max_rep, int(budget / max(d, 1e-9))))
        temps[nom] = []
    for tour in range(max(reps.values())):
        for nom, (f, args, _) in candidats.items():
            if tour < reps[nom]:
                temps[nom].append(_tour(f, args))
    return {nom: statistics.median(temps[nom]) / len(candidats[nom][1]) for nom in candidats}


def sous_ensemble(f, args, budget: float) -> list:
    """Fewer arguments for a slow per-call operation, so that one run stays near budget/3."""
    if len(args) <= 1:
        return list(args)
    t = time.perf_counter()
    f(args[0])
    d = time.perf_counter() - t
    if d < 2e-3:
        return list(args)
    return list(args[: max(3, int(budget / 3 / d))])


def rss_mo(champ: str = "VmRSS") -> float:
    with open("/proc/self/status") as f:
        for ligne in f:
            if ligne.startswith(champ + ":"):
                return int(ligne.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def pic_mo() -> float:
    """Peak resident size of this process's own memory.

    ru_maxrss of a child started by a large parent keeps the parent's size (Linux folds the address space
    left at exec into it), so the peak is read from VmHWM, which belongs to the new address space alone.
    """
    return rss_mo("VmHWM")


def fmt_t(s: float | None) -> str:
    if s is None or (isinstance(s, float) and math.isnan(s)):
        return "—"
    if s < 1e-6:
        return f"{s * 1e9:.0f} ns"
    if s < 1e-3:
        return f"{s * 1e6:.1f} µs"
    if s < 1:
        return f"{s * 1e3:.1f} ms"
    return f"{s:.2f} s"


def fmt_r(autre: float | None, nous: float | None) -> str:
    if not autre or not nous:
        return "—"
    r = autre / nous
    return f"{r:.1f}×" if r < 100 else f"{r:.0f}×"


# ------------------------------------------------------------ child processes

ETATS = {
    "n1": "ours, TSV level 1 (Lexique(path))",
    "index": "ours, TSV all indexes (Lexique(path, precharger=True))",
    "py_n1": "plain Python, set of spellings (csv.DictReader)",
    "py_index": "plain Python, set + three dict-of-lists indexes",
    "pandas": "pandas.read_csv(sep='\\t')",
    "polars": "polars.read_csv(separator='\\t')",
    "sqlite_n1": "ours, SQLite level 1 (Lexique(path))",
    "sqlite_nu": "bare sqlite3: CREATE INDEX IF NOT EXISTS ×2 + SELECT DISTINCT lower(ortho) into a frozenset",
}


def enfant_etat(etat: str, chemin: str) -> dict:
    import baselines_outils as bo

    if etat in ("n1", "index", "sqlite_n1"):
        from brivane_lexique import Lexique
    elif etat == "pandas":
        import pandas  # noqa: F401
    elif etat == "polars":
        import polars  # noqa: F401
    avant = rss_mo()
    gc.collect()  # what the imports left young is not the build's to collect
    t = time.perf_counter()
    if etat in ("n1", "sqlite_n1"):
        objet = Lexique(chemin)
    elif etat == "index":
        objet = Lexique(chemin, precharger=True)
    elif etat == "py_n1":
        objet = bo.fondation.charger_formes(chemin)
    elif etat == "py_index":
        objet = bo.LexiquePython(chemin)
    elif etat == "pandas":
        objet = bo.pandas_lire(chemin)
    elif etat == "polars":
        objet = bo.polars_lire(chemin)
    else:
        objet = bo.ouvrir_sqlite_nu(chemin)
    # The young objects a build leaves are collected at the next allocation: that
    # pause is part of the build, whoever built.
    gc.collect(0)
    duree = time.perf_counter() - t
    pic = pic_mo()
    del objet
    return {"duree": duree, "pic_mo": pic, "avant_mo": avant}


def lancer_enfant(*args) -> dict:
    r = subprocess.run([sys.executable, __file__, "--enfant", *map(str, args)], capture_output=True, text=True)
    if r.returncode:
        raise RuntimeError(f"child {args} failed:\n{r.stderr[-3000:]}")
    return json.loads(r.stdout.strip().splitlines()[-1])


def mesurer_etats(tsv: Path, sqlite: Path, reps: int) -> dict:
    # Round after round, every state once (the full plain-Python index only in the
    # first round: it takes seconds): the machine's drift falls on all of them alike.
    mes = {etat: [] for etat in ETATS}
    for tour in range(reps):
        for etat in ETATS:
            if etat == "py_index" and tour:
                continue
            mes[etat].append(lancer_enfant("etat", etat, sqlite if etat.startswith("sqlite") else tsv))
    res = {}
    for etat, m in mes.items():
        res[etat] = {"duree": statistics.median(x["duree"] for x in m), "pic_mo": max(x["pic_mo"] for x in m),
                     "avant_mo": min(x["avant_mo"] for x in m), "reps": len(m)}
        print(f"  {etat:10} {fmt_t(res[etat]['duree']):>10} peak {res[etat]['pic_mo']:.0f} MB", flush=True)
    return res


# ---------------------------------------------------------------- query sets


def choisir_mots(lex) -> dict:
    """Deterministic samples of real keys: spellings, pronunciations, lemmas, verbs."""
    ortho = lex._get_index_ortho()
    cles = sorted(ortho)
    pas = max(1, len(cles) // 500)
    mots = [c for c in cles[::pas] if any(e.get("phone") for e in ortho[c])][:500]
    phones = [next(e["phone"] for e in ortho[m] if e.get("phone")) for m in mots]
    lemmes = sorted({normal for m in mots for e in ortho[m] if (normal := (e.get("lemme") or "").lower())})
    lemmes = [lem for lem in lemmes if lem in lex._get_index_lemme()][:300]
    verbes = sorted({e["lemme"] for l in ortho.values() for e in l if e.get("cgram") == "VER"})
    verbes = verbes[:: max(1, len(verbes) // 200)][:200]
    idx_phone = lex._get_index_phone()
    formes_v = [e for v in verbes for e in lex._get_index_lemme()[v]
                if e.get("personne") == "3" and e.get("nombre") == "s" and e.get("mode") == "ind"]
    groupes = [[formes_v[i]["phone"], formes_v[i + 1]["phone"]] for i in range(0, min(len(formes_v) - 1, 400), 2)]
    groupes = [g for g in groupes if all(p in idx_phone for p in g)][:200]
    return {"mots": mots, "phones": phones, "lemmes": lemmes, "verbes": verbes, "groupes": groupes,
            "absents": [m + "zq" for m in mots]}


def operations(ech: dict, sortie: Path):
    """(name, call, arguments, pandas/polars key). Many arguments = per-call time.

    The call is either a function of (lexicon-like object, argument), or, for a per-call lookup, a tuple
    (method name, arguments after the varying one): see lier().
    """
    mots, phones, lemmes, verbes, groupes = (ech[k] for k in ("mots", "phones", "lemmes", "verbes", "groupes"))
    un = [None]
    return [
        ("existe (hit)", ("existe",), mots, "existe"),
        ("existe (miss)", ("existe",), ech["absents"], "existe"),
        ("info", ("info",), mots, "info"),
        ("homophones", ("homophones",), phones, "homophones"),
        ("frequence", ("frequence",), mots, "frequence"),
        ("phone_de", ("phone_de",), mots, "phone_de"),
        ("lemme_de", ("lemme_de",), mots, "lemme_de"),
        ("formes_de", ("formes_de",), lemmes, "formes_de"),
        ("formes_de cgram='VER'", ("formes_de", "VER"), verbes, None),
        ("conjuguer", ("conjuguer",), verbes, "conjuguer"),
        ("verbes_par_phone_et_personne", ("verbes_par_phone_et_personne", "3", "s"), groupes,
         "verbes_par_phone_et_personne"),
        ("definitions", ("definitions",), mots, None),
        ("definition", ("definition",), mots, None),
        ("synonymes", ("synonymes",), mots, "synonymes"),
        ("antonymes", ("antonymes",), mots, None),
        ("rechercher '^ch'", lambda L, a: L.rechercher("^ch"), un, "rechercher_litteral"),
        ("rechercher '^[bp]r.*er$'", lambda L, a: L.rechercher("^[bp]r.*er$"), un, "rechercher"),
        ("rechercher 'tion'", lambda L, a: L.rechercher("tion"), un, None),
        ("rechercher phone 'ʃɑ̃$'", lambda L, a: L.rechercher("ʃɑ̃$", "phone"), un, None),
        ("anagrammes 'chien'", lambda L, a: L.anagrammes("chien"), un, "anagrammes"),
        ("rimes 'chanter'", lambda L, a: L.rimes("chanter"), un, "rimes"),
        ("contient_son 'ʁwa'", lambda L, a: L.contient_son("ʁwa"), un, "contient_son"),
        ("mots_par_syllabes 3", lambda L, a: L.mots_par_syllabes(3), un, "mots_par_syllabes"),
        ("filtrer NOM,f,2 syll (limite 100)", lambda L, a: L.filtrer(cgram="NOM", genre="f", nb_syllabes=2), un,
         "filtrer"),
        ("compter NOM,f,2 syll", lambda L, a: L.compter(cgram="NOM", genre="f", nb_syllabes=2), un, "compter"),
        ("exporter csv cgram='NOM'", lambda L, a: L.exporter(sortie / "nous.csv", cgram="NOM"), un, "exporter_csv"),
        ("exporter sqlite cgram='NOM'", lambda L, a: exporter_sqlite(L, sortie / "nous.sqlite"), un, None),
    ]


def lier(f, objet):
    """The one-argument callable that a run calls for each argument.

    A per-call lookup is timed through the bound method itself (or one lambda frame when it takes more
    arguments), as a user's loop calls it: with the two frames of a lambda calling a lambda, the frames
    cost more than the lookups they wrap, on every side alike, and the ratios said more about the harness
    than about the lookups.
    """
    if isinstance(f, tuple):
        methode = getattr(objet, f[0])
        if len(f) == 1:
            return methode
        suite = f[1:]
        return lambda a: methode(a, *suite)
    return lambda a: f(objet, a)


def exporter_sqlite(L, chemin: Path):
    for suffixe in ("", "-wal", "-shm"):
        Path(str(chemin) + suffixe).unlink(missing_ok=True)
    if hasattr(L, "exporter_sqlite"):
        return L.exporter_sqlite(chemin, cgram="NOM")
    return L.exporter(chemin, format="sqlite", cgram="NOM")


def python_comme_lexique(bo):
    """The plain-Python lexicon with the two method names of Lexique it lacks. A subclass, so that
    every call finds its method as directly as on Lexique (a __getattr__ relay would add the cost of
    a Python call to each plain-Python lookup and flatter our ratios)."""

    class PythonCommeLexique(bo.LexiquePython):
        def definitions(self, mot):
            return []  # a TSV lexicon has no definitions table: nothing to do by hand either

        def exporter(self, chemin, **crit):
            return self.exporter_csv(chemin, **crit)

    return PythonCommeLexique


def operations_nom_propre():
    return [
        ("info_nom_propre", ("info_nom_propre",), ["Paris", "Lyon", "Abancourt", "Nulle-part"]),
        ("existe_nom_propre", ("existe_nom_propre",), ["Paris", "Lyon", "Abancourt", "Nulle-part"]),
        ("phone_nom_propre", ("phone_nom_propre",), ["Paris", "Lyon", "Abancourt", "Nulle-part"]),
        ("homophones_nom_propre", ("homophones_nom_propre",), ["paʁi", "ljɔ̃", "abɑ̃kuʁ"]),
        ("rechercher_nom_propre '^saint'", lambda L, a: L.rechercher_nom_propre("^saint"), [None]),
        ("rimes_nom_propre 'ɛ̃'", lambda L, a: L.rimes_nom_propre("ɛ̃"), [None]),
    ]


# ------------------------------------------------------------ in one process


def comparer_requetes(tsv: Path, sqlite: Path, budget: float) -> dict:
    import baselines_outils as bo
    from brivane_lexique import Lexique

    SORTIE.mkdir(exist_ok=True)
    print("loading: ours (TSV + indexes), ours (SQLite), plain Python, pandas, polars", flush=True)
    nous = Lexique(tsv, precharger=True)
    nous_sql = Lexique(sqlite)
    py = python_comme_lexique(bo)(str(tsv))
    df_pd = bo.pandas_lire(str(tsv))
    df_pl = bo.polars_lire(str(tsv))
    ech = choisir_mots(nous)
    rep = {"mot": "chanter", "phone": "ʃɑ̃te", "lemme": "chanter", "verbe": "chanter", "anagramme": "chien",
           "phones": ech["groupes"][0], "motif": "^[bp]r.*er$", "motif_litteral": "^ch", "son": "ʁwa",
           "sortie_csv": str(SORTIE / "df.csv")}
    ops_pd = bo.pandas_ops(df_pd, rep)
    ops_pl = bo.polars_ops(df_pl, rep)
    conn_nue = bo.connexion_nue(str(sqlite))
    reel = nous_sql._get_conn()

    lignes = []
    for nom, f, args, cle in operations(ech, SORTIE):
        lourd = len(args) == 1
        b = budget * (1.5 if lourd else 0.5)
        r = {"op": nom, "n_args": len(args)}
        args_sql = sous_ensemble(lier(f, nous_sql), args, b)
        # The statements the SQLite path ran, argument by argument, to be replayed bare.
        espion = bo.ConnexionEspion(reel)
        journaux = []
        nous_sql._conn = espion
        try:
            for a in args_sql:
                espion.journal = []
                lier(f, nous_sql)(a)
                journaux.append(espion.journal)
        finally:
            nous_sql._conn = reel
        maxi = 3 if lourd else 200
        cands = {"nous": (lier(f, nous), args, 200), "py": (lier(f, py), args, maxi),
                 "sql": (lier(f, nous_sql), args_sql, 200)}
        if not lourd:
            cands["plancher"] = (lier(f, PLANCHER), args, 200)
        if cle:
            cands["pandas"] = (lambda a: ops_pd[cle](), [None], 15)
            cands["polars"] = (lambda a: ops_pl[cle](), [None], 15)
        r["statements"] = sorted({s for j in journaux for s, _ in j})
        if nom.startswith("exporter"):
            j = journaux[0]
            k = max(i for i, (s, _) in enumerate(j) if s.lstrip().upper().startswith("SELECT"))
            nu = bo.exporter_csv_nu if "csv" in nom else bo.exporter_sqlite_nu

            def rejouer_export(_a, j=j, k=k, nu=nu):
                bo.rejouer(conn_nue, j[:k] + j[k + 1:])
                cible = SORTIE / "nu.out"
                for suffixe in ("", "-wal", "-shm"):
                    Path(str(cible) + suffixe).unlink(missing_ok=True)
                nu(conn_nue, j[k][0], j[k][1], str(cible))

            cands["nu"] = (rejouer_export, [None], 200)
            r["nu_note"] = "statement + csv.writer" if "csv" in nom else "statement + executemany, the same indexes and VACUUM"
        else:
            if any(journaux):
                cands["nu"] = (lambda j: bo.rejouer(conn_nue, j), journaux, 200)
        if lourd:
            r.update(duel(cands, b))
        else:
            # A per-call lookup over a repeated set of words is timed against its twin and the floor
            # alone: rounds of whole-column scans (pandas, polars) or of SQLite in between would evict
            # the words' data from the caches before each of our rounds, and the figure would be that of
            # words met for the first time, which the next section measures on its own.
            r.update(duel({k: cands.pop(k) for k in ("nous", "py", "plancher")}, b))
            r.update(duel(cands, b))
        r["n_args_sql"] = len(args_sql)
        lignes.append(r)
        print(f"  {nom:36} ours {fmt_t(r['nous']):>10}  py {fmt_t(r['py']):>10}  "
              f"pandas {fmt_t(r.get('pandas')):>10}  polars {fmt_t(r.get('polars')):>10}  "
              f"sqlite {fmt_t(r['sql']):>10}  bare {fmt_t(r.get('nu')):>10}", flush=True)

    noms_propres = []
    for nom, f, args in operations_nom_propre():
        r = {"op": nom, "n_args": len(args), "n_args_sql": len(args)}
        espion = bo.ConnexionEspion(reel)
        journaux = []
        nous_sql._conn = espion
        try:
            for a in args:
                espion.journal = []
                lier(f, nous_sql)(a)
                journaux.append(espion.journal)
        finally:
            nous_sql._conn = reel
        r["statements"] = sorted({s for j in journaux for s, _ in j})
        r.update(duel({"sql": (lier(f, nous_sql), args, 200),
                       "nu": (lambda j: bo.rejouer(conn_nue, j), journaux, 200)}, budget * 0.5))
        noms_propres.append(r)
        print(f"  {nom:36} sqlite {fmt_t(r['sql']):>10}  bare {fmt_t(r['nu']):>10}", flush=True)

    print("per-call lookups, every distinct key once", flush=True)
    uniques = sans_repetition(nous, py)
    modules = comparer_modules(nous, tsv, sqlite, ech, budget)
    return {"requetes": lignes, "noms_propres": noms_propres, "modules": modules, "sans_repetition": uniques,
            "taille": {"lignes": sum(map(len, nous._get_index_ortho().values())), "formes": len(nous._formes)}}


LOOKUPS = ("existe", "info", "phone_de", "lemme_de", "formes_de", "conjuguer")


def sans_repetition(nous, py, tranches: int = 40) -> list:
    """Per-call lookups on words that do not repeat: every distinct spelling (lemma, verb) of the lexicon
    looked up once, in a shuffled order, by ours and by the plain-Python twin.

    Each side gets its own fresh copy of every word (a str caches its hash: the second side to see an
    object would not pay for hashing it), and the pass is cut into slices timed in turn, ours first on
    one slice and the twin first on the next, so that the machine's drift falls on both alike.
    """
    io, il = nous._get_index_ortho(), nous._get_index_lemme()
    cles = {"spellings": list(io), "lemmas": list(il),
            "verbs": [l for l, entrees in il.items() if any(e.get("cgram") == "VER" for e in entrees)]}
    quoi = {"existe": "spellings", "info": "spellings", "phone_de": "spellings", "lemme_de": "spellings",
            "formes_de": "lemmas", "conjuguer": "verbs"}
    hasard = random.Random(20261209)
    res = []
    for nom in LOOKUPS:
        mots = list(cles[quoi[nom]])
        hasard.shuffle(mots)
        cotes = {"nous": (getattr(nous, nom), [(m + ".")[:-1] for m in mots]),
                 "py": (getattr(py, nom), [(m + ".")[:-1] for m in mots])}
        temps = {"nous": 0.0, "py": 0.0}
        pas = max(1, -(-len(mots) // tranches))
        for i, debut in enumerate(range(0, len(mots), pas)):
            for qui in (("nous", "py") if i % 2 == 0 else ("py", "nous")):
                f, args = cotes[qui]
                temps[qui] += _tour(f, args[debut:debut + pas])
        r = {"op": nom, "cles": quoi[nom], "n": len(mots), "nous": temps["nous"] / len(mots),
             "py": temps["py"] / len(mots)}
        res.append(r)
        print(f"  {nom:12} {r['n']:7,} {r['cles']:9} ours {fmt_t(r['nous']):>10}  py {fmt_t(r['py']):>10}  "
              f"{fmt_r(r['py'], r['nous'])}", flush=True)
    return res


def comparer_modules(nous, tsv: Path, sqlite: Path, ech: dict, budget: float) -> list:
    """Module functions on our own index objects against the plain-Python twin on the very same objects."""
    import baselines_outils as bo
    from brivane_lexique import _aliases, _loaders, _morphologie, _phonetique, _recherche, _semantique, _utils

    # Column names as producers write them (the lexicon's own, the SQLite table's, other
    # cases and spacing) and raw rows as csv.DictReader hands them to a loader.
    with open(tsv, encoding="utf-8", newline="") as f:
        lecteur = csv.DictReader(f, delimiter="\t")
        lignes_brutes = [ligne for _, ligne in zip(range(2000), lecteur)]
        entete = list(lecteur.fieldnames)
    colonnes_sql = [d[0] for d in bo.connexion_nue(str(sqlite)).execute("SELECT * FROM formes LIMIT 0").description]
    entetes = [entete, colonnes_sql, [c.upper() for c in entete], [f" {c.title()} " for c in colonnes_sql]] * 75
    correspondance = _aliases.resoudre_colonnes(entete)
    csv_complet = donnees.csv_complet()

    io, ip, il = nous._get_index_ortho(), nous._get_index_phone(), nous._get_index_lemme()
    base = bo.recherche
    plat = [e for l in io.values() for e in l]
    entrees_mots = [io[m] for m in ech["mots"]]
    entrees_verbes = [il[v] for v in ech["verbes"]]
    entrees_lemmes = [il[m] for m in ech["lemmes"]]
    textes = [m.upper() + " " for m in ech["mots"] * 4]
    textes = [("" + t).strip() if i % 2 else t for i, t in enumerate(textes)]
    segments = {}

    def segmenter_une_fois(p):
        # What a careful user adds at once: segment each transcription only once.
        s = segments.get(p)
        if s is None:
            s = segments[p] = base.segmenter_ipa(p)
        return s

    un = [None]
    cas = [
        ("_recherche.rechercher '^ch'", lambda a: _recherche.rechercher(io, "^ch"),
         lambda a: base.rechercher(io, "^ch"), un),
        ("_recherche.rechercher 'ment$'", lambda a: _recherche.rechercher(io, "ment$"),
         lambda a: base.rechercher(io, "ment$"), un),
        ("_recherche.rechercher 'tion'", lambda a: _recherche.rechercher(io, "tion"),
         lambda a: base.rechercher(io, "tion"), un),
        ("_recherche.rechercher '^[bp]r.*er$'", lambda a: _recherche.rechercher(io, "^[bp]r.*er$"),
         lambda a: base.rechercher(io, "^[bp]r.*er$"), un),
        ("_recherche.rechercher phone 'ʃɑ̃$'", lambda a: _recherche.rechercher(ip, "ʃɑ̃$", "phone"),
         lambda a: base.rechercher(ip, "ʃɑ̃$", "phone"), un),
        ("_recherche.anagrammes 'chien'", lambda a: _recherche.anagrammes(io, "chien"),
         lambda a: base.anagrammes(io, "chien"), un),
        ("_recherche.filtrer NOM,2 syll, no limit",
         lambda a: _recherche.filtrer(plat, cgram="NOM", nb_syllabes=2, limite=0),
         lambda a: bo.filtrer(plat, cgram="NOM", nb_syllabes=2, limite=0), un),
        ("_recherche.filtrer freq_min+has_phone, no limit",
         lambda a: _recherche.filtrer(plat, freq_min=1.0, has_phone=True, limite=0),
         lambda a: bo.filtrer(plat, freq_min=1.0, has_phone=True, limite=0), un),
        ("_phonetique.rimes 'ʃɑ̃te' 2", lambda a: _phonetique.rimes(ip, "ʃɑ̃te"),
         lambda a: base.rimes(ip, "ʃɑ̃te", 2, tokenize=segmenter_une_fois), un),
        ("_phonetique.contient_son 'ʁwa'", lambda a: _phonetique.contient_son(ip, "ʁwa"),
         lambda a: base.contient_son(ip, "ʁwa"), un),
        ("_phonetique.mots_par_syllabes 3", lambda a: _phonetique.mots_par_syllabes(io, 3),
         lambda a: base.mots_par_syllabes(io, 3), un),
        ("_phonetique.mots_par_syllabes 2 'ADJ'", lambda a: _phonetique.mots_par_syllabes(io, 2, "ADJ"),
         lambda a: base.mots_par_syllabes(io, 2, "ADJ"), un),
        ("_morphologie.conjuguer", _morphologie.conjuguer, bo.conjuguer, entrees_verbes),
        ("_morphologie.formes_de", _morphologie.formes_de, bo.formes_de, entrees_lemmes),
        ("_morphologie.lemme_de", _morphologie.lemme_de, bo.lemme_de, entrees_mots),
        ("_morphologie._personne_nombre_from_entry", _morphologie._personne_nombre_from_entry, bo.personne_nombre,
         [e for l in entrees_verbes for e in l][:2000]),
        ("_semantique.synonymes", _semantique.synonymes, bo.synonymes, entrees_mots),
        ("_semantique.antonymes", _semantique.antonymes, bo.antonymes, entrees_mots),
        ("_semantique.definition", _semantique.definition, bo.definition, entrees_mots),
        ("_utils.normaliser_ortho", _utils.normaliser_ortho, bo.normaliser, textes),
        ("_utils._tokenize_ipa", _utils._tokenize_ipa, bo.tokenize_ipa, ech["phones"]),
        ("_aliases.resoudre_colonnes", _aliases.resoudre_colonnes, bo.resoudre_colonnes, entetes),
        ("_loaders._normaliser_entree", lambda r: _loaders._normaliser_entree(r, correspondance),
         lambda r: bo.normaliser_entree(r, correspondance), lignes_brutes),
        ("_loaders.iter_tsv (full pass)", lambda a: sum(1 for _ in _loaders.iter_tsv(tsv)),
         lambda a: sum(1 for _ in bo.iter_csv(str(tsv), "\t")), un),
        ("_loaders.iter_csv (full pass)", lambda a: sum(1 for _ in _loaders.iter_csv(csv_complet)),
         lambda a: sum(1 for _ in bo.iter_csv(str(csv_complet))), un),
        ("_loaders.iter_sqlite (full pass)", lambda a: sum(1 for _ in _loaders.iter_sqlite(sqlite)),
         lambda a: sum(1 for _ in bo.iter_sqlite(str(sqlite))), un),
    ]
    res = []
    for nom, f, g, args in cas:
        lourd = len(args) == 1
        b = budget * (1.5 if lourd else 0.5)
        r = {"op": nom, "n_args": len(args)}
        cands = {"nous": (f, args, 200), "py": (g, args, 3 if lourd else 200)}
        if not lourd:
            cands["plancher"] = (slice, args, 200)
        r.update(duel(cands, b))
        res.append(r)
        print(f"  {nom:44} ours {fmt_t(r['nous']):>10}  py {fmt_t(r['py']):>10}  {fmt_r(r['py'], r['nous'])}",
              flush=True)
    return res


# ------------------------------------------------------------------- scaling

SUFFIXES_PHONE = ["", "ɛz", "ɔf", "ab", "ik", "up", "ɛl", "ɔs"]


def lexique_agrandi(tsv: Path, facteur: int) -> Path:
    """facteur suffix-varied copies of the lexicon: keys stay distinct, the rows keep their shape."""
    if facteur == 1:
        return tsv
    cible = donnees.ICI / f"lexique_fr_x{facteur}.tsv"
    if cible.exists():
        return cible
    with open(tsv, encoding="utf-8", newline="") as f:
        entete = f.readline().rstrip("\r\n").split("\t")
        lignes = [l.rstrip("\r\n").split("\t") for l in f]
    io, ip, il = (entete.index(c) for c in ("ortho", "phone", "lemme"))
    isy, ins = entete.index("syllabes"), entete.index("nb_syllabes")
    tmp = cible.with_suffix(".part")
    with open(tmp, "w", encoding="utf-8", newline="") as f:
        f.write("\t".join(entete) + "\n")
        for k in range(facteur):
            so, sp = ("zq" + "abcdefgh"[k - 1]) if k else "", SUFFIXES_PHONE[k % len(SUFFIXES_PHONE)]
            for l in lignes:
                if k:
                    l = list(l)
                    l[io] += so
                    if l[il]:
                        l[il] += so
                    if l[ip]:
                        l[ip] += sp
                        l[isy] += "." + sp
                        l[ins] = str(int(l[ins] or 0) + 1)
                f.write("\t".join(l) + "\n")
    tmp.rename(cible)
    return cible


def enfant_echelle(qui: str, chemin: str) -> dict:
    res = {}
    sortie = SORTIE / f"echelle_{qui}.csv"
    if qui == "nous":
        from brivane_lexique import Lexique

        gc.collect()
        t = time.perf_counter()
        lex = Lexique(chemin)
        res["open (level 1)"] = time.perf_counter() - t
        t = time.perf_counter()
        lex._charger_index()
        gc.collect(0)
        res["index (3, one pass)"] = time.perf_counter() - t
        mots = sorted(lex._get_index_ortho())[::997][:300]
        res["existe (per call)"] = chrono(lex.existe, mots, 0.3)
        res["info (per call)"] = chrono(lex.info, mots, 0.3)
        t = time.perf_counter()
        lex.rimes("chanter")
        res["rimes (1st call)"] = time.perf_counter() - t
        q = {
            "rimes": lambda a: lex.rimes("chanter"),
            "rechercher '^ch'": lambda a: lex.rechercher("^ch"),
            "rechercher '^[bp]r.*er$'": lambda a: lex.rechercher("^[bp]r.*er$"),
            "filtrer (limite 100)": lambda a: lex.filtrer(cgram="NOM", genre="f", nb_syllabes=2),
            "compter": lambda a: lex.compter(cgram="NOM", genre="f", nb_syllabes=2),
            "exporter csv NOM": lambda a: lex.exporter(sortie, cgram="NOM"),
        }
    else:
        import polars as pl

        import baselines_outils as bo

        gc.collect()
        t = time.perf_counter()
        df = bo.polars_lire(chemin)
        res["open (level 1)"] = time.perf_counter() - t
        o, p = pl.col("ortho"), pl.col("phone")
        mots = df["ortho"].unique().sort().gather_every(997).head(20).to_list()
        res["existe (per call)"] = chrono(lambda m: df.filter(o == m).height > 0, mots, 0.3, max_rep=5)
        res["info (per call)"] = chrono(lambda m: df.filter(o == m), mots, 0.3, max_rep=5)
        ops = bo.polars_ops(df, {"mot": "chanter", "phone": "ʃɑ̃te", "lemme": "chanter", "verbe": "chanter",
                                 "anagramme": "chien", "phones": [], "motif": "^[bp]r.*er$",
                                 "motif_litteral": "^ch", "son": "ʁwa", "sortie_csv": str(sortie)})
        q = {"rimes": lambda a: ops["rimes"](), "rechercher '^ch'": lambda a: ops["rechercher_litteral"](),
             "rechercher '^[bp]r.*er$'": lambda a: ops["rechercher"](), "filtrer (limite 100)":
             lambda a: ops["filtrer"](), "compter": lambda a: ops["compter"](),
             "exporter csv NOM": lambda a: ops["exporter_csv"]()}
    for nom, f in q.items():
        res[nom] = chrono(f, [None], 1.0, min_rep=2, max_rep=5)
    res["pic_mo"] = pic_mo()
    sortie.unlink(missing_ok=True)
    return res


def mesurer_echelle(tsv: Path, facteurs: list[int]) -> dict:
    res = {}
    for k in facteurs:
        chemin = lexique_agrandi(tsv, k)
        res[k] = {"nous": lancer_enfant("echelle", "nous", chemin), "polars": lancer_enfant("echelle", "polars", chemin),
                  "taille_mo": chemin.stat().st_size / 2**20}
        print(f"  ×{k}: ours open {fmt_t(res[k]['nous']['open (level 1)'])}, "
              f"index {fmt_t(res[k]['nous']['index (3, one pass)'])}, peak {res[k]['nous']['pic_mo']:.0f} MB",
              flush=True)
    return res


def exposant(ts: list[float], ks: list[int]) -> float:
    """Least-squares slope of log(time) against log(size): 1 is linear, 0 constant (all sizes weigh alike,
    so one measure disturbed by the machine's other load bends it less than a two-point ratio would)."""
    pts = [(math.log(k), math.log(t)) for k, t in zip(ks, ts) if t and t > 0]
    if len(pts) < 2:
        return float("nan")
    mx, my = sum(x for x, _ in pts) / len(pts), sum(y for _, y in pts) / len(pts)
    return sum((x - mx) * (y - my) for x, y in pts) / sum((x - mx) ** 2 for x, _ in pts)


def tracer(echelle: dict, chemin: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    facteurs = sorted(echelle)
    ops = [k for k in echelle[facteurs[0]]["nous"] if k != "pic_mo"]
    fig, (g1, g2) = plt.subplots(1, 2, figsize=(14, 6.2))
    cmap = plt.get_cmap("tab10")
    for i, op in enumerate(ops):
        ys = [echelle[k]["nous"][op] for k in facteurs]
        c = cmap(i % 10) if i < 10 else "black"
        g1.plot(facteurs, ys, "o-", color=c, label=op)
        g2.plot(facteurs, [y / ys[0] for y in ys], "o-", color=c, label=op)
        if op in echelle[facteurs[0]]["polars"]:
            yp = [echelle[k]["polars"][op] for k in facteurs]
            g1.plot(facteurs, yp, "x--", color=c, alpha=0.6)
    g2.plot(facteurs, facteurs, "k:", lw=2, label="linear (cost ∝ size)")
    g2.plot(facteurs, [1] * len(facteurs), "k-", lw=0.6, alpha=0.4)
    for g in (g1, g2):
        g.set_xscale("log", base=2)
        g.set_yscale("log")
        g.set_xticks(facteurs, [f"×{k}" for k in facteurs])
        g.set_xlabel("lexicon size (copies of the 442,401-row lexicon)")
        g.grid(True, which="both", alpha=0.3)
    g1.set_ylabel("median time (s), log scale")
    g1.set_title("Ours (solid, ●) and polars (dashed, ×) on the same question")
    g2.set_ylabel("time relative to ×1")
    g2.set_title("Growth of our costs (dotted line: linear)")
    g2.legend(fontsize=8, loc="upper left")
    fig.tight_layout()
    fig.savefig(chemin, dpi=110)
    plt.close(fig)


# -------------------------------------------------------------------- report

# Answers every per-call query with a builtin that does next to nothing (slice takes one to three
# arguments). Timed through the same loop and binding as the query, it gives what the call alone costs:
# the floor under which no implementation of the query can go.
PLANCHER = SimpleNamespace(**{nom: slice for nom in (
    "existe", "info", "homophones", "frequence", "phone_de", "lemme_de", "formes_de", "conjuguer",
    "verbes_par_phone_et_personne", "definitions", "definition", "synonymes", "antonymes")})

# The targets. Per-call lookups: at least 2× their plain-Python twin on a repeated set of words, and never
# slower than it on words that do not repeat. Scans: at least this many times polars on the same question.
# SQLite: within 1.2× of the bare statements. Another interpreter: each figure within 1.3× of 3.11's.
CIBLE_LOOKUP = 2.0
CIBLES_POLARS = {"rimes": 10, "rechercher": 1, "anagrammes": 1, "mots_par_syllabes": 1, "contient_son": 1,
                 "filtrer": 1}
CIBLE_SQL = 1.2
CIBLE_VERSIONS = 1.3


def verdict(ok: bool) -> str:
    return "PASS" if ok else "**FAIL**"


def par_appel(r: dict) -> str:
    return r["op"] + (" *(per call)*" if r["n_args"] > 1 else "")


def section_entete(res: dict) -> list[str]:
    q = res["requetes"]
    return [
        "# Performance report", "",
        f"Generated by `python bench/rapport.py` on {res.get('date') or time.strftime('%Y-%m-%d %H:%M')}, "
        f"{platform.processor() or platform.machine()}, {os.cpu_count()} cores, Python "
        f"{res.get('python', '?')}, commit `{res['commit']}`. Versions: {res['versions']}. Whole run: "
        f"{res['duree_totale'] / 60:.1f} min; load average at the start / end: {res['charge'][0]:.1f} / "
        f"{res['charge'][1]:.1f} (the cores may be shared with other jobs: absolute times are noisy, the "
        "measures of one row are interleaved so their ratios hold better).", "",
        f"Data: `lexique_fr.tsv` / `lexique_fr.sqlite` of ../shared/data: {q['taille']['lignes']:,} rows, "
        f"{q['taille']['formes']:,} distinct spellings. Times are medians of repeated runs after one warm-up "
        "call; when the row says *per call* the operation was run over a list of real keys (hundreds of "
        "spellings, pronunciations, lemmas or verbs sampled through the lexicon, the same list in every run) "
        "and the time is divided by their number. pandas and polars answer the same question on one "
        "representative key (their cost is a scan of the whole column, the same for every key). Ratios are "
        "*their time / our time*: above 1× we are faster.", "",
        "Alternatives: **plain Python** = dict-of-lists indexes loaded with `csv.DictReader` and straightforward "
        "loops (bench/baselines_*.py); **pandas** / **polars** = the idiomatic expression on a DataFrame read "
        "with `read_csv` (`df[df.ortho == w]`, `.str.contains(pat, case=False)`, `.str.endswith(suffix)`, "
        "boolean masks, `len()`, `to_csv` / `write_csv`; bench/baselines_outils.py); **bare SQL** = the exact "
        "statements our SQLite path ran for that call (recorded through a stand-in connection), replayed with "
        "`conn.execute(sql, params).fetchall()` on a plain `sqlite3` connection with `row_factory=sqlite3.Row` "
        "(REGEXP registered as a Python function over `re`).", "",
    ]


def section_ouverture(etats: dict, fails: list) -> list[str]:
    w = ["## Opening a lexicon and peak memory", "",
         "Each state is built in a fresh child process; time excludes the interpreter start and imports; peak "
         "is the high-water mark of that process (`VmHWM`: the same figure as `ru_maxrss`, without the parent's "
         "size that `ru_maxrss` inherits across fork/exec), *added* is peak minus the resident size just before "
         "loading (imports included in the latter).", "",
         "| state | time | peak RSS | added by the state |", "|---|---:|---:|---:|"]
    for k, lib in ETATS.items():
        e = etats[k]
        w.append(f"| {lib} | {fmt_t(e['duree'])} | {e['pic_mo']:.0f} MB | {e['pic_mo'] - e['avant_mo']:.0f} MB |")
    w.append("")
    n1, pol = etats["n1"]["duree"], etats["polars"]["duree"]
    ok = n1 < pol
    w.append(f"- {verdict(ok)} opening a TSV lexicon (level 1, {fmt_t(n1)}) faster than `polars.read_csv` "
             f"({fmt_t(pol)}): ratio {fmt_r(pol, n1)}.")
    if not ok:
        fails.append(f"opening a TSV lexicon (level 1) {fmt_t(n1)} vs polars.read_csv {fmt_t(pol)} "
                     f"({n1 / pol:.2f}× polars's time)")
    w.append(f"- Level 1 against plain Python: {fmt_r(etats['py_n1']['duree'], n1)}; all indexes against plain "
             f"Python: {fmt_r(etats['py_index']['duree'], etats['index']['duree'])}; pandas.read_csv: "
             f"{fmt_r(etats['pandas']['duree'], n1)}.")
    sq, sqn = etats["sqlite_n1"]["duree"], etats["sqlite_nu"]["duree"]
    ok = sq <= CIBLE_SQL * sqn
    w.append(f"- {verdict(ok)} opening a SQLite lexicon ({fmt_t(sq)}) within {CIBLE_SQL}× of the bare "
             f"statements ({fmt_t(sqn)}): {sq / sqn:.2f}×.")
    if not ok:
        fails.append(f"opening a SQLite lexicon: {sq / sqn:.2f}× the bare statements")
    w.append("")
    return w


def cible_tsv(r: dict) -> tuple[str, float | None, float | None]:
    """(what the row's target is, the time of the other side, the ratio it needs), or ("—", None, None)."""
    methode = r["op"].split(" ")[0]
    if methode in LOOKUPS and r["n_args"] > 1:
        return f"≥{CIBLE_LOOKUP:g}× Python", r["py"], CIBLE_LOOKUP
    if methode in CIBLES_POLARS and r.get("polars"):
        return f"≥{CIBLES_POLARS[methode]}× polars", r["polars"], CIBLES_POLARS[methode]
    return "—", None, None


def section_tsv(q: dict, fails: list) -> list[str]:
    w = ["## Lexique queries, TSV backend (in memory, indexes built)", "",
         f"Targets: the per-call lookups ({', '.join(f'`{m}`' for m in LOOKUPS)}) at least {CIBLE_LOOKUP:g}× "
         "their plain-Python twin on this repeated set of words (and never slower on words that do not repeat: "
         "next section); `rimes` at least 10× polars; `rechercher`, `anagrammes`, `mots_par_syllabes`, "
         "`contient_son` and `filtrer` with a limit at least on par with polars. The other rows have no target. "
         "*Call alone* is the same loop calling a builtin that does next to nothing (`slice`) on the same "
         "arguments: the floor under which no implementation of a per-call query can go. A per-call row's "
         "runs alternate with those of its twin and of the call alone only (pandas, polars and SQLite are "
         "timed in rounds of their own), so that the repeated words stay in the caches as in a user's loop.", "",
         "| operation | ours | call alone | plain Python | ratio | pandas | ratio | polars | ratio | target | |",
         "|---|---:|---:|---:|---:|---:|---:|---:|---:|---|:-:|"]
    for r in q["requetes"]:
        cible, autre, seuil = cible_tsv(r)
        v = "—"
        if autre is not None:
            v = verdict(autre / r["nous"] >= seuil)
            if autre / r["nous"] < seuil:
                fails.append(f"{r['op']} (TSV): {autre / r['nous']:.2f}× ({fmt_t(r['nous'])} vs {fmt_t(autre)}), "
                             f"target {cible}")
        w.append(f"| {par_appel(r)} | {fmt_t(r['nous'])} | {fmt_t(r.get('plancher'))} | {fmt_t(r['py'])} | "
                 f"{fmt_r(r['py'], r['nous'])} | {fmt_t(r.get('pandas'))} | {fmt_r(r.get('pandas'), r['nous'])} | "
                 f"{fmt_t(r.get('polars'))} | {fmt_r(r.get('polars'), r['nous'])} | {cible} | {v} |")
    w += ["", "The plain-Python column of `definitions` is an empty function (TSV lexicons have no definitions "
          "table); plain-Python exports use `csv.DictWriter`, and `executemany` into a database with the same "
          "PRAGMAs, indexes and VACUUM as ours. pandas/polars `conjuguer` is the selection of the verb rows with "
          "one row per (mode, tense, person, number); `lemme_de` a group-by sum.", ""]
    return w


def section_sans_repetition(q: dict, fails: list) -> list[str]:
    if not q.get("sans_repetition"):
        return []
    w = ["## Per-call lookups on words that do not repeat", "",
         "Every distinct spelling (for `formes_de` every lemma, for `conjuguer` every verb lemma) of the lexicon "
         "looked up once, in a shuffled order, one pass, by ours and by the plain-Python twin of the table above "
         "(each side on its own fresh copies of the words; the pass cut into 40 slices timed in turn, the side "
         "going first alternating). Target: never slower than the twin (ratio ≥ 1×).", "",
         "| lookup | keys | ours | plain Python | ratio | never slower |", "|---|---:|---:|---:|---:|:-:|"]
    for r in q["sans_repetition"]:
        ok = r["py"] >= r["nous"]
        if not ok:
            fails.append(f"{r['op']} on words that do not repeat: {r['py'] / r['nous']:.2f}× plain Python "
                         f"({fmt_t(r['nous'])} vs {fmt_t(r['py'])})")
        w.append(f"| {r['op']} | {r['n']:,} {r['cles']} | {fmt_t(r['nous'])} | {fmt_t(r['py'])} | "
                 f"{fmt_r(r['py'], r['nous'])} | {verdict(ok)} |")
    w.append("")
    return w


def section_sqlite(q: dict, fails: list) -> list[str]:
    w = ["## Lexique queries, SQLite backend, against the bare statements", "",
         f"Target: within {CIBLE_SQL}× of the bare statements (ratio = ours / bare).", "",
         f"| operation | ours | bare SQL | ours / bare | within {CIBLE_SQL}× | statements run |",
         "|---|---:|---:|---:|:-:|---|"]
    for r in q["requetes"] + q["noms_propres"]:
        if not r.get("nu"):
            w.append(f"| {r['op']} | {fmt_t(r['sql'])} | — | — | — | (no statement) |")
            continue
        ratio = r["sql"] / r["nu"]
        ok = ratio <= CIBLE_SQL
        if not ok:
            fails.append(f"{r['op']} (SQLite): {ratio:.2f}× the bare statement ({fmt_t(r['sql'])} vs "
                         f"{fmt_t(r['nu'])})")
        stm = "<br>".join(f"`{s}`" for s in r["statements"][:3]) + (" …" if len(r["statements"]) > 3 else "")
        if r.get("nu_note"):
            stm += f"<br>(bare = {r['nu_note']})"
        w.append(f"| {par_appel(r)} | {fmt_t(r['sql'])} | {fmt_t(r['nu'])} | {ratio:.2f}× | {verdict(ok)} | {stm} |")
    w.append("")
    return w


def section_modules(q: dict) -> list[str]:
    w = ["## Module functions against plain Python (same index objects for both; no target)", "",
         "| function | ours | call alone | plain Python | ratio |", "|---|---:|---:|---:|---:|"]
    for r in q["modules"]:
        w.append(f"| {par_appel(r)} | {fmt_t(r['nous'])} | {fmt_t(r.get('plancher'))} | {fmt_t(r['py'])} | "
                 f"{fmt_r(r['py'], r['nous'])} |")
    w.append("")
    return w


def section_echelle(res: dict) -> list[str]:
    ech, w, pires = res.get("echelle"), [], []
    res["pires"] = pires
    if ech:
        fs = sorted(ech)
        w += ["## Scaling (TSV backend)", "",
              "Synthetic lexicons made of k suffix-varied copies of the real one (copy k appends a distinct suffix "
              "to `ortho` and `lemme` and a distinct syllable to `phone`, so every key stays distinct and each copy "
              "rhymes only with itself). Ours, then polars on the same question in a separate process. *Exponent* "
              "= least-squares slope of log(time) against log(size) over all sizes: 1 is linear, 0 constant.", "",
              "| operation | " + " | ".join(f"×{k} ({ech[k]['taille_mo']:.0f} MB)" for k in fs)
              + " | exponent | polars " + " | polars ".join(f"×{k}" for k in fs) + " |",
              "|---|" + "---:|" * len(fs) + "---:|" + "---:|" * len(fs)]
        for op in [k for k in ech[fs[0]]["nous"] if k != "pic_mo"]:
            ts = [ech[k]["nous"][op] for k in fs]
            ex = exposant(ts, fs)
            lin = op not in ("existe (per call)", "info (per call)", "filtrer (limite 100)")
            if ex > 1.15 or (not lin and ex > 0.5):
                pires.append((op, ex))
            tp = [fmt_t(ech[k]["polars"].get(op)) for k in fs]
            w.append(f"| {op} | " + " | ".join(fmt_t(t) for t in ts) + f" | {ex:.2f} | " + " | ".join(tp) + " |")
        w += ["| peak RSS | " + " | ".join(f"{ech[k]['nous']['pic_mo']:.0f} MB" for k in fs) + " | "
              f"{exposant([ech[k]['nous']['pic_mo'] for k in fs], fs):.2f} | "
              + " | ".join(f"{ech[k]['polars']['pic_mo']:.0f} MB" for k in fs) + " |", "",
              "![scaling](scaling.png)", ""]
    if res.get("echelle_erreur"):
        w += [f"Scaling table missing: {res['echelle_erreur']}", ""]
    return w


def chiffres(res: dict) -> dict:
    """Our own figures of a run, by row, and polars's (which the interpreter does not change)."""
    q, nous, polars = res["requetes"], {}, {}
    for k in ("n1", "index", "sqlite_n1"):
        nous[f"opening: {ETATS[k]}"] = res["etats"][k]["duree"]
    polars["opening"] = res["etats"]["polars"]["duree"]
    for r in q["requetes"]:
        nous[f"TSV: {par_appel(r)}"] = r["nous"]
        if r.get("polars"):
            polars[r["op"]] = r["polars"]
    for r in q.get("sans_repetition", []):
        nous[f"TSV, words that do not repeat: {r['op']} *(per call)*"] = r["nous"]
    for r in q["requetes"] + q["noms_propres"]:
        nous[f"SQLite: {par_appel(r)}"] = r["sql"]
    for r in q["modules"]:
        nous[f"module: {par_appel(r)}"] = r["nous"]
    return {"nous": nous, "polars": polars}


def section_versions(res: dict, autre: dict | None, fails: list) -> list[str]:
    """Each of our figures under the newer interpreter against the same figure under the older one."""
    if not autre:
        return []
    vieux, neuf = sorted((res, autre), key=lambda x: tuple(int(c) for c in x["python"].split(".")[:2]))
    pv, pn = vieux["python"], neuf["python"]
    cv, cn = chiffres(vieux), chiffres(neuf)
    derive = [cn["polars"][k] / cv["polars"][k] for k in cv["polars"] if cn["polars"].get(k)]
    d = statistics.median(derive) if derive else 1.0
    w = [f"## Python {pn} against Python {pv}", "",
         f"Our figures of this run and of the run on Python {pv if neuf is res else pn} "
         f"(commit `{autre['commit']}`, load average {autre['charge'][0]:.1f} / {autre['charge'][1]:.1f}), "
         f"which are two runs, not one: polars's own figures, which the interpreter does not change, moved by "
         f"{d:.2f}× (median over {len(derive)} figures; range {min(derive, default=1):.2f}–"
         f"{max(derive, default=1):.2f}×) between them, the machine's drift; *÷ drift* divides the ratio by "
         f"that median, for reading only. Target: each figure on Python {pn} within {CIBLE_VERSIONS}× of the "
         f"same figure on Python {pv}, judged on the ratio itself. Two reports run minutes apart disagree by "
         f"more than the interpreters do: `bench/bench_versions.py` times both in alternate child processes "
         f"of one run, best of several rounds, and is the measure to judge this target by.", "",
         f"| figure | Python {pv} | Python {pn} | {pn} / {pv} | ÷ drift | within {CIBLE_VERSIONS}× |",
         "|---|---:|---:|---:|---:|:-:|"]
    for nom, tv in cv["nous"].items():
        tn = cn["nous"].get(nom)
        if not tn or not tv:
            w.append(f"| {nom} | {fmt_t(tv)} | {fmt_t(tn)} | — | — | — |")
            continue
        ratio = tn / tv
        ok = ratio <= CIBLE_VERSIONS
        if not ok:
            fails.append(f"{nom}: {ratio:.2f}× on Python {pn} ({fmt_t(tn)}) against Python {pv} ({fmt_t(tv)})")
        w.append(f"| {nom} | {fmt_t(tv)} | {fmt_t(tn)} | {ratio:.2f}× | {ratio / d:.2f}× | {verdict(ok)} |")
    w.append("")
    return w


def ecrire(res: dict, autre: dict | None = None) -> tuple[str, list[str]]:
    fails: list[str] = []
    q = res["requetes"]
    lignes = (section_entete(res) + section_ouverture(res["etats"], fails) + section_tsv(q, fails)
              + section_sans_repetition(q, fails) + section_sqlite(q, fails) + section_modules(q)
              + section_echelle(res) + section_versions(res, autre, fails))
    return "\n".join(lignes), fails


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--enfant":
        if sys.argv[2] == "etat":
            print(json.dumps(enfant_etat(sys.argv[3], sys.argv[4])))
        else:
            print(json.dumps(enfant_echelle(sys.argv[3], sys.argv[4])))
        return
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sans-echelle", action="store_true", help="skip the scaling table and the plot")
    p.add_argument("--facteurs", default="1,2,4,8", help="sizes of the scaling table (copies of the lexicon)")
    p.add_argument("--budget", type=float, default=0.5, help="seconds of repetitions per measure (roughly)")
    p.add_argument("--depuis-json", nargs="?", type=Path, const=SORTIE / "resultats.json", metavar="FICHIER.json",
                   help="rewrite RESULTS.md and the plot from the measures of a run (by default the last one)")
    p.add_argument("--reps-ouverture", type=int, default=5, help="child processes per opening measure")
    p.add_argument("--comparer", type=Path, metavar="AUTRE.json",
                   help="the measures of a run under another Python (bench/_out/resultats-X.Y.json): adds the "
                        "table of each figure on the newer Python against the older one")
    args = p.parse_args()
    autre = json.loads(args.comparer.read_text(encoding="utf-8")) if args.comparer else None
    if args.depuis_json:
        res = json.loads(args.depuis_json.read_text(encoding="utf-8"))
        if res.get("echelle"):
            res["echelle"] = {int(k): v for k, v in res["echelle"].items()}
            tracer(res["echelle"], GRAPHE)
        publier(res, autre)
        return
    debut = time.perf_counter()
    charge_debut = os.getloadavg()[0]
    tsv, sqlite = donnees.tsv_complet(), donnees.sqlite_complet()
    import pandas
    import polars

    res = {"commit": subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True,
                                    cwd=ICI).stdout.strip(),
           "python": platform.python_version(), "date": time.strftime("%Y-%m-%d %H:%M"),
           "versions": f"pandas {pandas.__version__}, polars {polars.__version__}, "
                       f"SQLite {__import__('sqlite3').sqlite_version}"}
    print("opening and memory (child processes)", flush=True)
    res["etats"] = mesurer_etats(tsv, sqlite, args.reps_ouverture)
    print("queries", flush=True)
    res["requetes"] = comparer_requetes(tsv, sqlite, args.budget)
    if not args.sans_echelle:
        print("scaling", flush=True)
        try:
            res["echelle"] = mesurer_echelle(tsv, [int(k) for k in args.facteurs.split(",")])
            tracer(res["echelle"], GRAPHE)
        except Exception as exc:  # the rest of the report stays worth writing
            import traceback

            traceback.print_exc()
            res["echelle_erreur"] = repr(exc)
    res["duree_totale"] = time.perf_counter() - debut
    res["charge"] = (charge_debut, os.getloadavg()[0])
    texte = json.dumps(res, indent=1, default=str)
    (SORTIE / "resultats.json").write_text(texte, encoding="utf-8")
    (SORTIE / f"resultats-{sys.version_info[0]}.{sys.version_info[1]}.json").write_text(texte, encoding="utf-8")
    publier(res, autre)


def publier(res: dict, autre: dict | None = None) -> None:
    texte, fails = ecrire(res, autre)
    fin = ["## Where we lose", ""]
    if fails:
        fin += ["Short of a target:", ""]
        fin += [f"- FAIL {f}" for f in fails]
    else:
        fin.append("Every target met.")
    fin.append("")
    if res.get("pires"):
        fin += ["Growing worse than expected with the size of the lexicon:", ""]
        fin += [f"- {op}: exponent {ex:.2f}" for op, ex in res["pires"]]
        fin.append("")
    explications = ICI / "LIMITES.md"
    if explications.exists():
        fin += [explications.read_text(encoding="utf-8").strip(), ""]
    RESULTATS.write_text(texte + "\n" + "\n".join(fin), encoding="utf-8")
    print("\n".join(fin))
    print(f"written {RESULTATS} in {res['duree_totale'] / 60:.1f} min")


if __name__ == "__main__":
    main()
