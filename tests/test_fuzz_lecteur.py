"""The reader against Python's csv on seeded random files (tools/fuzz_lecteur.py runs more)."""
import importlib.util
import random
from pathlib import Path

import pytest

_spec = importlib.util.spec_from_file_location(
    "fuzz_lecteur", Path(__file__).resolve().parents[1] / "tools" / "fuzz_lecteur.py")
fuzz = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(fuzz)


@pytest.mark.parametrize("graine", range(4))
def test_lecteur_comme_csv_sur_des_fichiers_aleatoires(tmp_path, graine, chemins):
    assert fuzz.lancer(400, graine, rapport=None) == []


@pytest.mark.parametrize("fin", [b"\r\r\xe2", b"\r\r\r\xe2", b"\r\r\xe2\x82", b"\r\n\r\xe2", b"\r\r\xf0\x9f\x98",
                                 b"\r\r\xff", b"\r\r", b"\r\r\r"])
@pytest.mark.parametrize("avant", [b"chat", b'"chat"', b"chat,x", b""])
def test_fin_de_ligne_retenue_puis_utf8_tronque(tmp_path, avant, fin, chemins):
    # A record ending in "\r", another "\r", then bytes that do not decode: the host
    # yields the record before it raises.
    for entete in (b"ortho\n", b"ortho,x\r\n", b"\xef\xbb\xbfortho\r"):
        donnees = entete + avant + fin
        assert fuzz.difference(donnees, ",", str(tmp_path)) is None, donnees


def test_le_generateur_couvre_les_cas_delicats():
    # The cases the fuzzing is meant to reach do come out of it.
    rnd = random.Random(0)
    vus = [fuzz.cas(rnd)[0] for _ in range(3000)]
    assert any(b"\r\r\xe2" in v for v in vus)
    assert any(len(v) > 8192 for v in vus)
    assert any(v.startswith(b"\xef\xbb\xbf") for v in vus)
