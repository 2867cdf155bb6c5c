"""Straightforward plain-Python versions of the in-memory search functions, for timing."""
import re
import unicodedata


def cle_freq(e):
    return -float(e.get("freq", 0) or 0)


def get_nb_syllabes(e):
    brut = e.get("nb_syllabes") or e.get("nbsyll")
    if brut is not None:
        try:
            return int(brut)
        except (ValueError, TypeError):
            pass
    syll = e.get("syllabes") or e.get("syll") or ""
    if not isinstance(syll, str):
        syll = str(syll)
    return syll.count(".") + 1 if syll else None


def rechercher(index, pattern, champ="ortho", limite=50):
    try:
        rx = re.compile(pattern, re.IGNORECASE)
    except re.error:
        return []
    results, seen = [], set()
    for entries in index.values():
        for e in entries:
            v = e.get(champ) or ""
            if not isinstance(v, str):
                v = str(v)
            if not v or not rx.search(v):
                continue
            k = (e.get("ortho") or "").lower()
            if k in seen:
                continue
            seen.add(k)
            results.append(e)
    results.sort(key=cle_freq)
    return results[:limite]


def anagrammes(ortho_index, mot, limite=50):
    mot_lower = mot.strip().lower()
    mot_sorted = sorted(mot_lower)
    results = []
    for ortho, entries in ortho_index.items():
        if ortho == mot_lower:
            continue
        if sorted(ortho) == mot_sorted and entries:
            results.append(entries[0])
    results.sort(key=cle_freq)
    return results[:limite]


def filtrer(entries_iter, *, cgram=None, genre=None, nombre=None, freq_min=None, nb_syllabes=None,
            has_phone=None, limite=100):
    results = []
    for e in entries_iter:
        if cgram is not None and not (e.get("cgram") or "").startswith(cgram):
            continue
        if genre is not None and (e.get("genre") or "") != genre:
            continue
        if nombre is not None and (e.get("nombre") or "") != nombre:
            continue
        try:
            freq = float(e.get("freq", 0) or 0)
        except (ValueError, TypeError):
            freq = 0.0
        if freq_min is not None and freq < freq_min:
            continue
        if nb_syllabes is not None and get_nb_syllabes(e) != nb_syllabes:
            continue
        if has_phone is not None and bool((e.get("phone") or "").strip()) != has_phone:
            continue
        results.append(e)
        if limite and len(results) >= limite:
            break
    return results


def _garder(entries, seen, results):
    for e in entries:
        k = (e.get("ortho") or "").lower()
        if k and k not in seen:
            seen.add(k)
            results.append(e)


def rimes(phone_index, mot_phone, nb_phonemes=2, limite=50, tokenize=None):
    if not mot_phone:
        return []
    segments = tokenize(mot_phone)
    if len(segments) < nb_phonemes:
        return []
    suffixe = segments[-nb_phonemes:]
    results, seen = [], set()
    for phone, entries in phone_index.items():
        ps = tokenize(phone)
        if len(ps) < nb_phonemes or ps[-nb_phonemes:] != suffixe:
            continue
        _garder(entries, seen, results)
    results.sort(key=cle_freq)
    return results[:limite]


def contient_son(phone_index, son, limite=50):
    if not son:
        return []
    results, seen = [], set()
    for phone, entries in phone_index.items():
        if son in phone:
            _garder(entries, seen, results)
    results.sort(key=cle_freq)
    return results[:limite]


def mots_par_syllabes(ortho_index, n, cgram=None, limite=50):
    results, seen = [], set()
    for entries in ortho_index.values():
        for e in entries:
            if cgram is not None and not (e.get("cgram") or "").startswith(cgram):
                continue
            if get_nb_syllabes(e) != n:
                continue
            k = (e.get("ortho") or "").lower()
            if k and k not in seen:
                seen.add(k)
                results.append(e)
    results.sort(key=cle_freq)
    return results[:limite]


def segmenter_ipa(texte):
    """Segmentation of IPA text: marks and modifier letters stay with their phoneme."""
    segs, lier = [], False
    for c in texte:
        cp = ord(c)
        if segs and (lier or unicodedata.category(c) in ("Mn", "Mc", "Me") or cp in (0x2D0, 0x2D1)
                     or 0x2B0 <= cp <= 0x2B8 or 0x2E0 <= cp <= 0x2E4):
            segs[-1] += c
        else:
            segs.append(c)
        lier = cp in (0x361, 0x35C)
    return segs
