"""Differential fuzzing of the CSV/TSV reader against Python's csv module.

Each case is a small file of random bytes built from pieces that stress the reader's
boundaries (quotes, delimiters, every line end, byte-order marks, NUL bytes, invalid
and truncated UTF-8, the host's 8192-byte decoding chunks). The library must give the
same entries, then the same exception, as csv.DictReader over a file opened with
encoding="utf-8-sig" and newline=""; the level-1 pass of a Lexique (spellings only)
must give the same set, or fail with the same kind of error.

    python tools/fuzz_lecteur.py [--cas 1000000] [--graine 0] [--simple]

prints the count of differences and the first few cases that differ (as bytes).
"""
import argparse
import csv
import os
import random
import struct
import sys
import tempfile

from brivane_lexique import _aliases, _loaders, _utils
from brivane_lexique.lexique import Lexique

MORCEAUX = [b"a", b"bc", "é".encode(), "€".encode(), "😀".encode(), b'"', b'""', b'"x"', b"x\"y", b",",
            b"\t", b";", b"\r", b"\n", b"\r\n", b"\r\r", b" ", b"\x00", b"1.5", b" 3 ", b"ortho", b"Ortho",
            b"freq", b"\xef\xbb\xbf", b"\xe2", b"\xe2\x82", b"\xff", b"\xc3", b"\xed\xa0\x80", b"\xf0\x9f\x98",
            b"\xc2\x85", b"\xe2\x80\xa8"]
ENTETES = [b"ortho", b"Word", b"phon", b"lemme", b"freq_opensubs", b"x", b"X ", b'"a""b"', b"cgram", b"ortho"]
FINS = [b"\n", b"\r\n", b"\r", b"\r\r"]


def cas(rnd):
    """(bytes of one file, delimiter)."""
    delim = rnd.choice([",", ",", "\t", ";", "|"])
    d = delim.encode()
    lignes = [d.join(rnd.choice(ENTETES) for _ in range(rnd.randint(1, 4)))]
    for _ in range(rnd.randint(0, 6)):
        lignes.append(b"".join(rnd.choice(MORCEAUX + [d] * 4) for _ in range(rnd.randint(0, 10))))
    donnees = b"".join(l + rnd.choice(FINS) for l in lignes)
    if rnd.random() < 0.4:
        donnees = donnees.rstrip(b"\r\n")
    if rnd.random() < 0.3:
        donnees += rnd.choice([b"\xe2", b"\xe2\x82", b"\xc3", b"\xf0\x9f", b"\r\xe2", b"\r\r\xe2", b"\xff"])
    if rnd.random() < 0.1:
        # Across the host's first decoding chunk.
        coupe = 8192 - rnd.randint(0, 3) - len(lignes[0])
        donnees = lignes[0] + b"\n" + b"y" * max(coupe, 0) + donnees[len(lignes[0]):]
    if rnd.random() < 0.15:
        donnees = b"\xef\xbb\xbf" + donnees
    return donnees, delim


def _reel(valeur):
    if not valeur:
        return 0.0
    try:
        return float(valeur)
    except (ValueError, TypeError):
        return 0.0


def _normaliser(ligne, mapping, priorite):
    entree, trouvee = {}, False
    for col, valeur in ligne.items():
        canon = mapping.get(col, col.lower().strip())
        if canon == "freq":
            if not trouvee:
                entree["freq"], trouvee = _reel(valeur), True
            continue
        entree[canon] = _reel(valeur) if canon in priorite else valeur
    if "freq" not in entree:
        entree["freq"] = next((entree[n] for n in priorite if n in entree), 0.0)
    return entree


def _reference(chemin, delim):
    priorite = list(_aliases.FREQ_PRIORITE)
    with open(chemin, encoding="utf-8-sig", newline="") as f:
        lecteur = csv.DictReader(f, delimiter=delim)
        mapping = None
        for ligne in lecteur:
            if mapping is None:
                mapping = _aliases.resoudre_colonnes(list(lecteur.fieldnames))
            if None in ligne:
                raise ValueError("trop de champs")
            yield _normaliser(ligne, mapping, priorite)


def _comparable(v):
    return ("reel", struct.pack("<d", v)) if isinstance(v, float) else v


def _issue(iterable):
    """(entries, error kind or None): what a caller sees."""
    vues = []
    try:
        for e in iterable:
            vues.append([(k, _comparable(v)) for k, v in e.items()])
    except ValueError as exc:
        # The library's own wording for a record longer than the header.
        if isinstance(exc, UnicodeDecodeError):
            return vues, ("UnicodeDecodeError", exc.args)
        return vues, "ValueError"
    except Exception as exc:  # noqa: BLE001 - the kind of error is what is compared
        return vues, (type(exc).__name__, exc.args)
    return vues, None


def _formes_reference(entrees, erreur):
    if erreur is not None:
        return erreur if isinstance(erreur, str) else erreur[0]
    return {_utils.normaliser_ortho(e["ortho"]) for e in entrees if dict(e).get("ortho")}


def _delimiteur_lu(chemin):
    try:
        return _loaders._delimiteur(chemin)
    except Exception:  # noqa: BLE001 - an unreadable header: the Lexique says why, as csv does
        return ","


def difference(donnees, delim, dossier):
    """None when the library agrees with csv on this file, else a description."""
    chemin = os.path.join(dossier, "f.tsv" if delim == "\t" else "f.csv")
    with open(chemin, "wb") as f:
        f.write(donnees)
    attendu = _issue(_reference(chemin, delim))
    obtenu = _issue(_loaders.iter_csv(chemin, delimiter=delim))
    if obtenu != attendu:
        return f"iter_csv: {obtenu!r} != {attendu!r}"
    # A Lexique given no encoding falls back to cp1252, and a .csv takes the delimiter its
    # header announces: the comparison names UTF-8 and keeps to files read with `delim`.
    if delim == "\t" or (delim == "," and _delimiteur_lu(chemin) == ","):
        entrees = [dict(e) for e in _reference_entrees(attendu)]
        voulu = _formes_reference(entrees, attendu[1])
        try:
            eu = set(Lexique(chemin, encoding="utf-8")._formes)
        except ValueError as exc:
            eu = "UnicodeDecodeError" if isinstance(exc, UnicodeDecodeError) else "ValueError"
        except Exception as exc:  # noqa: BLE001
            eu = type(exc).__name__
        if eu != voulu:
            return f"formes: {eu!r} != {voulu!r}"
    return None


def _reference_entrees(issue):
    for items in issue[0]:
        yield {k: v for k, v in items}


def lancer(n, graine, rapport=sys.stdout, premiers=5):
    """Runs n cases from seed `graine`; returns the list of differing cases."""
    rnd = random.Random(graine)
    differents = []
    with tempfile.TemporaryDirectory() as dossier:
        for i in range(n):
            donnees, delim = cas(rnd)
            d = difference(donnees, delim, dossier)
            if d is not None:
                differents.append((donnees, delim, d))
                if len(differents) <= premiers and rapport:
                    print(f"cas {i}: delim={delim!r} {donnees!r}\n  {d}", file=rapport)
            if rapport and i and i % 10000 == 0:
                print(f"{i} cas, {len(differents)} differences", file=rapport, flush=True)
    return differents


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--cas", type=int, default=1_000_000)
    p.add_argument("--graine", type=int, default=0)
    p.add_argument("--simple", action="store_true", help="fast paths off (BRIVANE_LEXIQUE_SIMPLE)")
    a = p.parse_args()
    if a.simple:
        import importlib

        for nom in ("_utils", "_aliases", "_loaders", "lexique"):
            importlib.import_module(f"brivane_lexique.{nom}")._chemins_rapides(False)
    differents = lancer(a.cas, a.graine)
    print(f"{a.cas} cas, {len(differents)} differences")
    return 1 if differents else 0


if __name__ == "__main__":
    sys.exit(main())
