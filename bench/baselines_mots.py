"""Plain-Python twins of the in-memory word queries of Lexique.

Each function takes the index the method reads (`lex._get_index_ortho()` or
`lex._get_index_lemme()`) and the method's arguments, and returns what the method
returns, written the obvious way: this is the speed a user would get without the
library's C++ paths.
"""

from __future__ import annotations

import unicodedata


def normaliser(mot: str) -> str:
    return unicodedata.normalize("NFC", mot).strip().lower()


def _texte(e: dict, champ: str) -> str:
    v = e.get(champ)
    return str(v) if v else ""


def info(index_ortho: dict, mot: str) -> list:
    return list(index_ortho.get(normaliser(mot), ()))


def frequence(index_ortho: dict, mot: str) -> float:
    entrees = index_ortho.get(normaliser(mot))
    if not entrees:
        return 0.0
    return max(float(e.get("freq", 0)) for e in entrees)


def phone_de(index_ortho: dict, mot: str):
    candidats = [(e["phone"], float(e.get("freq", 0))) for e in index_ortho.get(normaliser(mot), ()) if e.get("phone")]
    if not candidats:
        return None
    candidats.sort(key=lambda c: -c[1])
    return candidats[0][0]


def lemme_de(index_ortho: dict, mot: str):
    entrees = index_ortho.get(normaliser(mot), ())
    totaux: dict[str, float] = {}
    for e in entrees:
        lemme = _texte(e, "lemme")
        if not lemme:
            continue
        try:
            f = float(e.get("freq") or 0)
        except (TypeError, ValueError):
            f = 0.0
        totaux[lemme] = totaux.get(lemme, 0.0) + f
    if not totaux:
        return None
    return max(totaux, key=totaux.__getitem__)  # the first of equal totals


def formes_de(index_lemme: dict, lemme: str, cgram: str | None = None) -> list:
    res, vues = [], set()
    for e in index_lemme.get(normaliser(lemme), ()):
        if cgram is not None and not _texte(e, "cgram").startswith(cgram):
            continue
        ortho = _texte(e, "ortho")
        if not ortho:
            continue
        cle = ortho.lower()
        if cle not in vues:
            vues.add(cle)
            res.append(e)
    return res


def _personne_nombre(e: dict) -> tuple[str, str]:
    p, n = _texte(e, "personne"), _texte(e, "nombre")
    if p and n:
        return p, n
    tag = e.get("multext")
    if not tag:
        return p, n
    tag = str(tag)
    if len(tag) > 4 and not p and tag[4] in "123":
        p = tag[4]
    if len(tag) > 5 and not n and tag[5] in "sp":
        n = tag[5]
    return p, n


def conjuguer(index_lemme: dict, verbe: str) -> dict:
    table: dict = {}
    for e in index_lemme.get(normaliser(verbe), ()):
        cgram = _texte(e, "cgram")
        if not (cgram.startswith("VER") or cgram.startswith("AUX")):
            continue
        mode, temps, ortho = _texte(e, "mode"), _texte(e, "temps"), _texte(e, "ortho")
        if not mode or not ortho:
            continue
        p, n = _personne_nombre(e)
        cle = p + n if p and n else p
        table.setdefault(mode, {}).setdefault(temps, {}).setdefault(cle, ortho)
    return table
