"""Times the compiled search functions against plain Python over the real lexicon.

    python bench/bench_recherche.py [repetitions]
"""
import itertools
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import baselines_recherche as base  # noqa: E402
import donnees  # noqa: E402

from brivane_lexique import _utils  # noqa: E402

if not hasattr(_utils, "_tokenize_ipa"):
    _utils._tokenize_ipa = base.segmenter_ipa
    TOKENIZER = "plain-Python segmentation (no _utils._tokenize_ipa in this build)"
else:
    TOKENIZER = "_utils._tokenize_ipa"
from brivane_lexique import _phonetique, _recherche  # noqa: E402
from brivane_lexique.lexique import Lexique  # noqa: E402


def charger():
    """The indexes exactly as a TSV lexicon builds them (shared field texts, real freq)."""
    lex = Lexique(str(donnees.tsv_complet()))
    return lex._get_index_phone(), lex._get_index_ortho()


def mediane(f, n):
    """Median of n calls, after one call that is not timed."""
    f()
    temps = []
    for _ in range(n):
        t = time.perf_counter()
        f()
        temps.append(time.perf_counter() - t)
    return statistics.median(temps)


def flux(index):
    """The stream Lexique.filtrer and compter hand to filtrer."""
    return itertools.chain.from_iterable(index.values())


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    phone, ortho = charger()
    print(f"{sum(map(len, ortho.values()))} entries, {len(ortho)} spellings, {len(phone)} transcriptions")
    print(f"rhyme baseline tokenizer: {TOKENIZER}")
    tok = _utils._tokenize_ipa
    cas = [
        ("rechercher '^ch'", lambda: base.rechercher(ortho, "^ch"), lambda: _recherche.rechercher(ortho, "^ch")),
        ("rechercher 'ment$'", lambda: base.rechercher(ortho, "ment$"), lambda: _recherche.rechercher(ortho, "ment$")),
        ("rechercher 'tion'", lambda: base.rechercher(ortho, "tion"), lambda: _recherche.rechercher(ortho, "tion")),
        ("rechercher '^[bp]r.*er$' (re)", lambda: base.rechercher(ortho, "^[bp]r.*er$"),
         lambda: _recherche.rechercher(ortho, "^[bp]r.*er$")),
        ("rechercher phone 'ʃɑ̃$' (re)", lambda: base.rechercher(phone, "ʃɑ̃$", "phone"),
         lambda: _recherche.rechercher(phone, "ʃɑ̃$", "phone")),
        ("anagrammes 'chien'", lambda: base.anagrammes(ortho, "chien"), lambda: _recherche.anagrammes(ortho, "chien")),
        ("filtrer cgram+nb_syllabes, no limit",
         lambda: base.filtrer(flux(ortho), cgram="NOM", nb_syllabes=2, limite=0),
         lambda: _recherche.filtrer(flux(ortho), cgram="NOM", nb_syllabes=2, limite=0)),
        ("filtrer freq_min+has_phone, no limit",
         lambda: base.filtrer(flux(ortho), freq_min=1.0, has_phone=True, limite=0),
         lambda: _recherche.filtrer(flux(ortho), freq_min=1.0, has_phone=True, limite=0)),
        ("filtrer cgram+genre+nombre, no limit",
         lambda: base.filtrer(flux(ortho), cgram="ADJ", genre="f", nombre="p", limite=0),
         lambda: _recherche.filtrer(flux(ortho), cgram="ADJ", genre="f", nombre="p", limite=0)),
        ("rimes 'ʃɑ̃te' 2", lambda: base.rimes(phone, "ʃɑ̃te", 2, tokenize=tok), lambda: _phonetique.rimes(phone, "ʃɑ̃te")),
        ("contient_son 'ɑ̃'", lambda: base.contient_son(phone, "ɑ̃"), lambda: _phonetique.contient_son(phone, "ɑ̃")),
        ("contient_son 'ʁwa'", lambda: base.contient_son(phone, "ʁwa"), lambda: _phonetique.contient_son(phone, "ʁwa")),
        ("mots_par_syllabes 3", lambda: base.mots_par_syllabes(ortho, 3), lambda: _phonetique.mots_par_syllabes(ortho, 3)),
        ("mots_par_syllabes 2 'ADJ'", lambda: base.mots_par_syllabes(ortho, 2, "ADJ"),
         lambda: _phonetique.mots_par_syllabes(ortho, 2, "ADJ")),
    ]
    print(f"{'query':45} {'python ms':>10} {'C++ ms':>9} {'ratio':>7} {'C++ 1st call ms':>16}")
    for nom, py, cpp in cas:
        # The first call of each query (in this order, on indexes no query has
        # seen yet for the first one) also fills what later calls reuse.
        t = time.perf_counter()
        obtenu = cpp()
        premier = time.perf_counter() - t
        assert [id(e) for e in py()] == [id(e) for e in obtenu], nom
        tp, tc = mediane(py, n), mediane(cpp, n)
        print(f"{nom:45} {tp * 1e3:10.1f} {tc * 1e3:9.1f} {tp / tc:6.1f}x {premier * 1e3:16.1f}")

if __name__ == "__main__":
    main()
