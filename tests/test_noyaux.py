"""The core's kernels against plain Python, with the fast paths on and off: the
code-point search behind contient_son, and the CSV writer's quoting test and
float text behind exporter."""
import csv
import io
import random
import struct

import pytest

from brivane_lexique import Lexique, _phonetique

# Code points of every width a str may hold, so that keys are read as 1, 2 and 4 bytes.
POINTS = ["a", "ʃ", "ɑ", "\u0303", "é", "t", "😀", "\x00", "ÿ"]


@pytest.mark.parametrize("graine", range(6))
def test_recherche_de_points_comme_in(graine, chemins):
    rnd = random.Random(graine)
    alphabet = POINTS[: rnd.choice([2, 5, 6, 9])]
    # Keys of every length around the 8-code-point steps, laid end to end by the scan.
    index = {}
    for i in range(300):
        phone = "".join(rnd.choice(alphabet) for _ in range(rnd.randrange(20)))
        index.setdefault(phone, []).append({"ortho": f"m{i}", "phone": phone})
    for _ in range(30):
        son = "".join(rnd.choice(alphabet) for _ in range(rnd.choice([1, 1, 2, 2, 3])))
        obtenu = {e["ortho"] for e in _phonetique.contient_son(index, son, 10**6)}
        assert obtenu == {e["ortho"] for phone, es in index.items() if son in phone for e in es}, son


def champ_aleatoire(rnd):
    if rnd.random() < 0.25:
        return struct.unpack("<d", rnd.randbytes(8))[0] if rnd.random() < 0.5 else rnd.uniform(-1e6, 1e6)
    # A special character (or none) at any place of texts around the 8-byte steps.
    texte = "".join(rnd.choice("abé ") for _ in range(rnd.randrange(20)))
    k = rnd.randrange(len(texte) + 1)
    return texte[:k] + rnd.choice(["", "", ",", '"', "\r", "\n", ";"]) + texte[k:]


@pytest.mark.parametrize("graine", range(4))
def test_export_csv_comme_le_module_csv(tmp_path, graine, chemins):
    rnd = random.Random(graine)
    noms = [f"c{i}" for i in range(6)]
    lignes = [[champ_aleatoire(rnd) for _ in noms] for _ in range(300)]

    class Source(Lexique):
        def _iter_filtered_rows(self, **kw):
            return iter([dict(zip(noms, l)) for l in lignes])

    source = tmp_path / "lex.tsv"
    source.write_text("ortho\nchat\n", encoding="utf-8")
    sortie = tmp_path / "o.csv"
    Source(source).exporter(sortie, colonnes=noms)
    attendu = io.StringIO(newline="")
    w = csv.writer(attendu, lineterminator="\r\n")
    w.writerow(noms)
    w.writerows(lignes)
    assert sortie.read_bytes() == attendu.getvalue().encode("utf-8")
