"""What a user would write instead of this library, gathered for the report.

Three families, all over the same TSV lexicon:
- plain Python: dict-of-lists indexes loaded with csv.DictReader (as baselines_fondation
  builds them) and straightforward loops (the search loops come from baselines_recherche);
- pandas and polars: the idiomatic dataframe expression a researcher would type for the
  same question (boolean masks, .str methods, len(), to_csv / write_csv);
- bare sqlite3: the statement text a method runs, executed on a plain connection.
"""

from __future__ import annotations

import csv
import functools
import re
import sqlite3
import unicodedata

import baselines_fondation as fondation
import baselines_recherche as recherche

try:  # the word-query twins of their own area, once that area has landed
    import baselines_mots as mots
except ImportError:
    mots = None
try:
    import baselines_export as export
except ImportError:
    export = None

# ------------------------------------------------------------------ plain Python


def normaliser(s: str) -> str:
    return unicodedata.normalize("NFC", s).strip().lower()


def _freq(e) -> float:
    try:
        return float(e.get("freq", 0) or 0)
    except (TypeError, ValueError):
        return 0.0


def texte(e, champ: str) -> str:
    v = e.get(champ)
    return str(v) if v else ""


def personne_nombre(e) -> tuple[str, str]:
    p, n = texte(e, "personne"), texte(e, "nombre")
    if p and n:
        return p, n
    tag = texte(e, "multext")
    if len(tag) > 4 and not p and tag[4] in "123":
        p = tag[4]
    if len(tag) > 5 and not n and tag[5] in "sp":
        n = tag[5]
    return p, n


def conjuguer(entries: list) -> dict:
    table: dict = {}
    for e in entries:
        cg = texte(e, "cgram")
        if not (cg.startswith("VER") or cg.startswith("AUX")):
            continue
        mode, temps, ortho = texte(e, "mode"), texte(e, "temps"), texte(e, "ortho")
        if not mode or not ortho:
            continue
        p, n = personne_nombre(e)
        cle = p + n if p else ""
        table.setdefault(mode, {}).setdefault(temps, {}).setdefault(cle, ortho)
    return table


def formes_de(entries: list, cgram: str | None = None) -> list:
    res, vus = [], set()
    for e in entries:
        if cgram is not None and not texte(e, "cgram").startswith(cgram):
            continue
        o = texte(e, "ortho")
        if not o or o.lower() in vus:
            continue
        vus.add(o.lower())
        res.append(e)
    return res


def lemme_de(entries: list) -> str | None:
    totaux: dict[str, float] = {}
    for e in entries:
        lem = texte(e, "lemme")
        if lem:
            totaux[lem] = totaux.get(lem, 0.0) + _freq(e)
    return max(totaux, key=totaux.__getitem__) if totaux else None


def _liste(entries: list, champ: str) -> list[str]:
    for e in entries:
        v = e.get(champ)
        if v:
            return [p.strip() for p in str(v).split(";") if p.strip()]
    return []


def synonymes(entries: list) -> list[str]:
    return _liste(entries, "synonymes")


def antonymes(entries: list) -> list[str]:
    return _liste(entries, "antonymes")


def definition(entries: list) -> list[str]:
    res, vus = [], set()
    for e in entries:
        v = e.get("definition")
        if v:
            t = str(v).strip()
            if t and t not in vus:
                vus.add(t)
                res.append(t)
    return res


def filtrer(entries, *, cgram=None, genre=None, nombre=None, freq_min=None, freq_max=None, nb_syllabes=None,
            has_phone=None, limite=100) -> list:
    res = []
    for e in entries:
        if cgram is not None and not texte(e, "cgram").startswith(cgram):
            continue
        if genre is not None and texte(e, "genre") != genre:
            continue
        if nombre is not None and texte(e, "nombre") != nombre:
            continue
        f = _freq(e)
        if freq_min is not None and f < freq_min:
            continue
        if freq_max is not None and f > freq_max:
            continue
        if nb_syllabes is not None and recherche.get_nb_syllabes(e) != nb_syllabes:
            continue
        if has_phone is not None and bool(texte(e, "phone").strip()) != has_phone:
            continue
        res.append(e)
        if limite and len(res) >= limite:
            break
    return res



def tokenize_ipa(s: str) -> list[str]:
    return recherche.segmenter_ipa(s)


# Column names and rows as a loader sees them: the alias table is data (the names each
# producer uses), so the twins read it from the module; the rules are written here.
from brivane_lexique._aliases import ALIAS_MAP, FREQ_PRIORITE  # noqa: E402

INVERSE_ALIAS = {alias: canon for canon, noms in ALIAS_MAP.items() for alias in noms}


def resoudre_colonnes(colonnes: list) -> dict:
    res = {}
    for c in colonnes:
        k = c.lower().strip()
        res[c] = INVERSE_ALIAS.get(k, k)
    return res


def _reel(v) -> float:
    if v is None or v == "":
        return 0.0
    try:
        return float(v)
    except (TypeError, ValueError):
        return 0.0


def normaliser_entree(ligne: dict, mapping: dict) -> dict:
    entree, freq_vue = {}, False
    for col, val in ligne.items():
        canon = mapping.get(col) or col.lower().strip()
        if canon == "freq":
            if not freq_vue:
                entree["freq"] = _reel(val)
                freq_vue = True
            continue
        entree[canon] = _reel(val) if canon in FREQ_PRIORITE else val
    if "freq" not in entree:
        entree["freq"] = next((entree[f] for f in FREQ_PRIORITE if f in entree), 0.0)
    return entree


def iter_csv(chemin: str, delimiter: str = ","):
    with open(chemin, encoding="utf-8-sig", newline="") as f:
        lecteur = csv.DictReader(f, delimiter=delimiter)
        mapping = resoudre_colonnes(list(lecteur.fieldnames or []))
        for ligne in lecteur:
            yield normaliser_entree(ligne, mapping)


def iter_sqlite(chemin: str, table: str = "formes"):
    conn = sqlite3.connect(chemin)
    conn.row_factory = sqlite3.Row
    try:
        cur = conn.execute(f"SELECT * FROM {table}")
        mapping = resoudre_colonnes([d[0] for d in cur.description])
        for ligne in cur:
            yield normaliser_entree(dict(ligne), mapping)
    finally:
        conn.close()


class LexiquePython:
    """The in-memory lexicon written in plain Python: one frozenset and three dicts of lists."""

    def __init__(self, chemin: str):
        self.chemin = chemin
        self.formes = fondation.charger_formes(chemin)
        self.phone, self.ortho, self.lemme = fondation.charger_index(chemin)
        self._segments: dict[str, list[str]] = {}
        if mots is not None:
            # Same questions, written by the area that owns them: (function, index it reads).
            for nom, index in (("info", self.ortho), ("frequence", self.ortho), ("phone_de", self.ortho),
                               ("lemme_de", self.ortho), ("formes_de", self.lemme), ("conjuguer", self.lemme)):
                f = getattr(mots, nom, None)
                if f is not None:
                    setattr(self, nom, functools.partial(f, index))

    def existe(self, mot):
        return normaliser(mot) in self.formes

    def info(self, mot):
        return self.ortho.get(normaliser(mot), [])

    def homophones(self, phone):
        return self.phone.get(phone, [])

    def frequence(self, mot):
        return max((_freq(e) for e in self.info(mot)), default=0.0)

    def phone_de(self, mot):
        cands = [(e["phone"], _freq(e)) for e in self.info(mot) if e.get("phone")]
        cands.sort(key=lambda c: -c[1])
        return cands[0][0] if cands else None

    def lemme_de(self, mot):
        return lemme_de(self.info(mot))

    def formes_de(self, lem, cgram=None):
        return formes_de(self.lemme.get(normaliser(lem), []), cgram)

    def conjuguer(self, verbe):
        return conjuguer(self.lemme.get(normaliser(verbe), []))

    def verbes_par_phone_et_personne(self, phones, personne, nombre):
        res, vus = [], set()
        for ph in phones:
            for e in self.phone.get(ph, []):
                if texte(e, "cgram") not in ("VER", "AUX") or texte(e, "personne") != personne:
                    continue
                if nombre and texte(e, "nombre") != nombre:
                    continue
                k = texte(e, "ortho").lower()
                if k not in vus:
                    vus.add(k)
                    res.append(e)
        res.sort(key=lambda e: -_freq(e))
        return res

    def definition(self, mot):
        return definition(self.info(mot))

    def synonymes(self, mot):
        return synonymes(self.info(mot))

    def antonymes(self, mot):
        return antonymes(self.info(mot))

    def rechercher(self, motif, champ="ortho", limite=50):
        return recherche.rechercher(self.phone if champ == "phone" else self.ortho, motif, champ, limite)

    def anagrammes(self, mot, limite=50):
        return recherche.anagrammes(self.ortho, mot, limite)

    def _tok(self, p):
        # What a careful user adds at once: segment each transcription only once.
        s = self._segments.get(p)
        if s is None:
            s = self._segments[p] = recherche.segmenter_ipa(p)
        return s

    def rimes(self, mot, nb_phonemes=2, limite=50):
        return recherche.rimes(self.phone, self.phone_de(mot), nb_phonemes, limite, tokenize=self._tok)

    def contient_son(self, son, limite=50):
        return recherche.contient_son(self.phone, son, limite)

    def mots_par_syllabes(self, n, cgram=None, limite=50):
        return recherche.mots_par_syllabes(self.ortho, n, cgram, limite)

    def _entrees(self):
        return (e for l in self.ortho.values() for e in l)

    def filtrer(self, limite=100, **crit):
        return filtrer(self._entrees(), limite=limite, **crit)

    def compter(self, **crit):
        return len(filtrer(self._entrees(), limite=0, **crit))

    def exporter_csv(self, chemin, **crit):
        lignes = filtrer(self._entrees(), limite=0, **crit)
        with open(chemin, "w", encoding="utf-8", newline="") as f:
            if lignes:
                w = csv.DictWriter(f, fieldnames=list(lignes[0]))
                w.writeheader()
                w.writerows(lignes)
        return len(lignes)

    def exporter_sqlite(self, chemin, **crit):
        lignes = filtrer(self._entrees(), limite=0, **crit)
        cols = list(lignes[0]) if lignes else ["ortho"]
        return ecrire_sqlite(chemin, cols, ([e.get(c) for c in cols] for e in lignes))


def ecrire_sqlite(chemin, cols, lignes) -> int:
    """A new database the way the export writes one: WAL, no sync, one bulk insert, the indexes, VACUUM."""
    conn = sqlite3.connect(chemin)
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("PRAGMA synchronous=OFF")
    conn.execute(f"CREATE TABLE formes ({', '.join(c + ' TEXT' for c in cols)})")
    conn.executemany(f"INSERT INTO formes VALUES ({', '.join('?' * len(cols))})", lignes)
    conn.commit()
    for c, suffixe in (("ortho", " COLLATE NOCASE"), ("lemme", " COLLATE NOCASE"), ("phone", ""), ("cgram", ""),
                       ("illustrable", ""), ("nb_syllabes", "")):
        if c in cols:
            conn.execute(f"CREATE INDEX IF NOT EXISTS idx_{c} ON formes({c}{suffixe})")
    conn.commit()
    conn.execute("VACUUM")
    n = conn.execute("SELECT COUNT(*) FROM formes").fetchone()[0]
    conn.close()
    return n


# ---------------------------------------------------------------------- sqlite3


@functools.lru_cache(maxsize=64)
def _regex(motif: str):
    return re.compile(motif, re.IGNORECASE)


def _regexp(motif, valeur):
    return valeur is not None and _regex(motif).search(str(valeur)) is not None


def connexion_nue(chemin: str) -> sqlite3.Connection:
    """A plain connection as a user opens it, rows addressable by name, with a REGEXP function."""
    conn = sqlite3.connect(chemin)
    conn.row_factory = sqlite3.Row
    conn.create_function("REGEXP", 2, _regexp, deterministic=True)
    return conn


class ConnexionEspion:
    """Stands for the lexicon's connection and writes down every statement with its parameters."""

    def __init__(self, conn: sqlite3.Connection):
        self._conn = conn
        self.journal: list[tuple[str, tuple]] = []

    def execute(self, sql, params=()):
        self.journal.append((sql, tuple(params)))
        return self._conn.execute(sql, params)

    def cursor(self):
        return _CurseurEspion(self._conn.cursor(), self.journal)

    def __getattr__(self, nom):
        return getattr(self._conn, nom)


class _CurseurEspion:
    def __init__(self, cur, journal):
        self._cur, self._journal = cur, journal

    def execute(self, sql, params=()):
        self._journal.append((sql, tuple(params)))
        self._cur.execute(sql, params)
        return self

    def __iter__(self):
        return iter(self._cur)

    def __getattr__(self, nom):
        return getattr(self._cur, nom)

    def __setattr__(self, nom, val):
        if nom in ("_cur", "_journal"):
            object.__setattr__(self, nom, val)
        else:
            setattr(self._cur, nom, val)


def rejouer(conn: sqlite3.Connection, journal) -> int:
    """The bare statements: execute(...).fetchall() each, in the order the method ran them."""
    n = 0
    for sql, params in journal:
        n += len(conn.execute(sql, params).fetchall())
    return n


def ouvrir_sqlite_nu(chemin: str) -> frozenset:
    """Level 1 of a SQLite lexicon by hand: the two indexes, then the distinct lower-case spellings."""
    conn = sqlite3.connect(chemin)
    conn.execute("CREATE INDEX IF NOT EXISTS idx_formes_ortho_nocase ON formes(ortho COLLATE NOCASE)")
    conn.execute("CREATE INDEX IF NOT EXISTS idx_formes_lemme_nocase ON formes(lemme COLLATE NOCASE)")
    formes = frozenset(r[0] for r in conn.execute("SELECT DISTINCT lower(ortho) FROM formes"))
    conn.close()
    return formes


def exporter_csv_nu(conn: sqlite3.Connection, sql: str, params, chemin: str) -> int:
    cur = conn.execute(sql, params)
    n = 0
    with open(chemin, "w", encoding="utf-8", newline="") as f:
        w = csv.writer(f)
        w.writerow([d[0] for d in cur.description])
        for ligne in cur:
            w.writerow(ligne)
            n += 1
    return n


def exporter_sqlite_nu(conn: sqlite3.Connection, sql: str, params, chemin: str) -> int:
    cur = conn.execute(sql, params)
    return ecrire_sqlite(chemin, [d[0] for d in cur.description], (tuple(r) for r in cur))


# ----------------------------------------------------------------------- pandas


def pandas_lire(chemin: str):
    import pandas as pd

    # keep_default_na=False: spellings such as "nan" or "null" must stay words.
    return pd.read_csv(chemin, sep="\t", keep_default_na=False)


def pandas_ops(df, mots: dict) -> dict:
    """The same questions as the lexicon's methods, as one would type them against a DataFrame."""
    w, ph, lem, verbe = mots["mot"], mots["phone"], mots["lemme"], mots["verbe"]

    def phone_de(m):
        sel = df[(df.ortho == m) & (df.phone != "")]
        return sel.sort_values("freq_opensubs", ascending=False, kind="stable").phone.iloc[0] if len(sel) else None

    def top(sel, n=50):
        return sel.drop_duplicates("ortho").sort_values("freq_opensubs", ascending=False, kind="stable").head(n)

    def rimes(m, n=50):
        p = phone_de(m)
        return top(df[df.phone.str.endswith(p[-2:])], n)

    cle = "".join(sorted(mots["anagramme"]))

    def filtre():
        return (df.cgram.str.startswith("NOM")) & (df.genre == "f") & (df.nb_syllabes == 2)

    return {
        "existe": lambda: bool((df.ortho == w).any()),
        "info": lambda: df[df.ortho == w],
        "homophones": lambda: df[df.phone == ph],
        "frequence": lambda: df.loc[df.ortho == w, "freq_opensubs"].max(),
        "phone_de": lambda: phone_de(w),
        "lemme_de": lambda: df[df.ortho == w].groupby("lemme", sort=False).freq_opensubs.sum().idxmax(),
        "formes_de": lambda: df[df.lemme == lem].drop_duplicates("ortho"),
        "conjuguer": lambda: df[(df.lemme == verbe) & df.cgram.isin(["VER", "AUX"])]
        .drop_duplicates(["mode", "temps", "personne", "nombre"]),
        "verbes_par_phone_et_personne": lambda: df[df.phone.isin(mots["phones"]) & df.cgram.isin(["VER", "AUX"])
                                                   & (df.personne == "3") & (df.nombre == "s")],
        "synonymes": lambda: [s for s in df.loc[df.ortho == w, "synonymes"] if s][:1],
        "rechercher": lambda: top(df[df.ortho.str.contains(mots["motif"], case=False, regex=True)]),
        "rechercher_litteral": lambda: top(df[df.ortho.str.contains(mots["motif_litteral"], case=False)]),
        "anagrammes": lambda: df[(df.ortho.str.len() == len(cle))
                                 & (df.ortho.map(lambda s: "".join(sorted(s))) == cle)].drop_duplicates("ortho"),
        "rimes": lambda: rimes(w),
        "contient_son": lambda: top(df[df.phone.str.contains(mots["son"], regex=False)]),
        "mots_par_syllabes": lambda: top(df[df.nb_syllabes == 3]),
        "filtrer": lambda: df[filtre()].head(100),
        "compter": lambda: len(df[filtre()]),
        "exporter_csv": lambda: df[df.cgram.str.startswith("NOM")].to_csv(mots["sortie_csv"], index=False),
    }


# ----------------------------------------------------------------------- polars


def polars_lire(chemin: str):
    import polars as pl

    return pl.read_csv(chemin, separator="\t")


def polars_ops(df, mots: dict) -> dict:
    import polars as pl

    w, ph, lem, verbe = mots["mot"], mots["phone"], mots["lemme"], mots["verbe"]
    o, p, f = pl.col("ortho"), pl.col("phone"), pl.col("freq_opensubs")

    def top(sel, n=50):
        return sel.unique("ortho", keep="first", maintain_order=True).sort(f, descending=True, maintain_order=True).head(n)

    def phone_de(m):
        sel = df.filter((o == m) & (p != "")).sort(f, descending=True, maintain_order=True)
        return sel["phone"][0] if sel.height else None

    def rimes(m, n=50):
        return top(df.filter(p.str.ends_with(phone_de(m)[-2:])), n)

    cle = "".join(sorted(mots["anagramme"]))
    filtre = (pl.col("cgram").str.starts_with("NOM")) & (pl.col("genre") == "f") & (pl.col("nb_syllabes") == 2)

    return {
        "existe": lambda: df.filter(o == w).height > 0,
        "info": lambda: df.filter(o == w),
        "homophones": lambda: df.filter(p == ph),
        "frequence": lambda: df.filter(o == w)["freq_opensubs"].max(),
        "phone_de": lambda: phone_de(w),
        "lemme_de": lambda: df.filter(o == w).group_by("lemme", maintain_order=True).agg(f.sum())
        .sort("freq_opensubs", descending=True, maintain_order=True)["lemme"][0],
        "formes_de": lambda: df.filter(pl.col("lemme") == lem).unique("ortho", keep="first", maintain_order=True),
        "conjuguer": lambda: df.filter((pl.col("lemme") == verbe) & pl.col("cgram").is_in(["VER", "AUX"]))
        .unique(["mode", "temps", "personne", "nombre"], keep="first", maintain_order=True),
        "verbes_par_phone_et_personne": lambda: df.filter(p.is_in(mots["phones"])
                                                          & pl.col("cgram").is_in(["VER", "AUX"])
                                                          & (pl.col("personne") == 3) & (pl.col("nombre") == "s")),
        "synonymes": lambda: df.filter((o == w) & (pl.col("synonymes") != ""))["synonymes"].head(1).to_list(),
        "rechercher": lambda: top(df.filter(o.str.contains("(?i)" + mots["motif"]))),
        "rechercher_litteral": lambda: top(df.filter(o.str.contains("(?i)" + mots["motif_litteral"]))),
        "anagrammes": lambda: df.filter((o.str.len_chars() == len(cle))
                                        & (o.str.split("").list.sort().list.join("") == cle))
        .unique("ortho", keep="first", maintain_order=True),
        "rimes": lambda: rimes(w),
        "contient_son": lambda: top(df.filter(p.str.contains(mots["son"], literal=True))),
        "mots_par_syllabes": lambda: top(df.filter(pl.col("nb_syllabes") == 3)),
        "filtrer": lambda: df.filter(filtre).head(100),
        "compter": lambda: df.filter(filtre).height,
        "exporter_csv": lambda: df.filter(pl.col("cgram").str.starts_with("NOM")).write_csv(mots["sortie_csv"]),
    }
