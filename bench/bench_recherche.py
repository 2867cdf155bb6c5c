"""Times the compiled search functions against plain Python over the real lexicon.

    python bench/bench_recherche.py [repetitions]
"""
import csv
import gzip
import shutil
import statistics
import sys
import tempfile
import time
import unicodedata
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import baselines_recherche as base  # noqa: E402

from brivane_lexique import _utils  # noqa: E402

SOURCE = Path(__file__).resolve().parents[2] / "shared" / "data" / "lexique_fr.tsv.gz"
if not hasattr(_utils, "_tokenize_ipa"):
    _utils._tokenize_ipa = base.segmenter_ipa
    TOKENIZER = "plain-Python segmentation (no _utils._tokenize_ipa in this build)"
else:
    TOKENIZER = "_utils._tokenize_ipa"
from brivane_lexique import _phonetique, _recherche  # noqa: E402


def charger():
    with tempfile.TemporaryDirectory() as d:
        tsv = Path(d) / "lexique_fr.tsv"
        with gzip.open(SOURCE, "rb") as src, open(tsv, "wb") as dst:
            shutil.copyfileobj(src, dst)
        phone, ortho = {}, {}
        with open(tsv, encoding="utf-8-sig", newline="") as f:
            for row in csv.DictReader(f, delimiter="\t"):
                row["freq"] = float(row.pop("freq_opensubs") or 0)
                phone.setdefault(row["phone"], []).append(row)
                ortho.setdefault(unicodedata.normalize("NFC", row["ortho"]).strip().lower(), []).append(row)
    return phone, ortho


def mediane(f, n):
    f()  # first call: warms caches (and fills the segmentation memory of rimes)
    temps = []
    for _ in range(n):
        t = time.perf_counter()
        f()
        temps.append(time.perf_counter() - t)
    return statistics.median(temps)


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
         lambda: base.filtrer((e for l in ortho.values() for e in l), cgram="NOM", nb_syllabes=2, limite=0),
         lambda: _recherche.filtrer((e for l in ortho.values() for e in l), cgram="NOM", nb_syllabes=2, limite=0)),
        ("filtrer freq_min+has_phone, list, no limit",
         lambda: base.filtrer(flat, freq_min=1.0, has_phone=True, limite=0),
         lambda: _recherche.filtrer(flat, freq_min=1.0, has_phone=True, limite=0)),
        ("rimes 'ʃɑ̃te' 2", lambda: base.rimes(phone, "ʃɑ̃te", 2, tokenize=tok), lambda: _phonetique.rimes(phone, "ʃɑ̃te")),
        ("contient_son 'ɑ̃'", lambda: base.contient_son(phone, "ɑ̃"), lambda: _phonetique.contient_son(phone, "ɑ̃")),
        ("contient_son 'ʁwa'", lambda: base.contient_son(phone, "ʁwa"), lambda: _phonetique.contient_son(phone, "ʁwa")),
        ("mots_par_syllabes 3", lambda: base.mots_par_syllabes(ortho, 3), lambda: _phonetique.mots_par_syllabes(ortho, 3)),
        ("mots_par_syllabes 2 'ADJ'", lambda: base.mots_par_syllabes(ortho, 2, "ADJ"),
         lambda: _phonetique.mots_par_syllabes(ortho, 2, "ADJ")),
    ]
    flat = [e for l in ortho.values() for e in l]
    print(f"{'query':45} {'python ms':>10} {'C++ ms':>9} {'ratio':>7}")
    for nom, py, cpp in cas:
        assert [id(e) for e in py()] == [id(e) for e in cpp()], nom
        tp, tc = mediane(py, n), mediane(cpp, n)
        print(f"{nom:45} {tp * 1e3:10.1f} {tc * 1e3:9.1f} {tp / tc:6.1f}x")


if __name__ == "__main__":
    main()
