import gzip
import os
import shutil
from pathlib import Path

import pytest

# The shared data folder sits beside the repository (in CI too); a checkout elsewhere
# (a git worktree, say) names it with BRIVANE_LEXIQUE_DONNEES.
DONNEES = Path(os.environ.get("BRIVANE_LEXIQUE_DONNEES") or Path(__file__).resolve().parents[2] / "shared" / "data")


@pytest.fixture(scope="session")
def dossier_donnees():
    if not DONNEES.is_dir():
        pytest.skip(f"shared data folder not available: {DONNEES} (set BRIVANE_LEXIQUE_DONNEES)")
    return DONNEES


@pytest.fixture(scope="session")
def petit_tsv(dossier_donnees):
    """The 20,000 most frequent rows of the real lexicon (TSV)."""
    return dossier_donnees / "lexique_fr_small.tsv"


@pytest.fixture(scope="session")
def grand_tsv(dossier_donnees, tmp_path_factory):
    """The whole real lexicon, decompressed once per test session."""
    cible = tmp_path_factory.mktemp("donnees") / "lexique_fr.tsv"
    with gzip.open(dossier_donnees / "lexique_fr.tsv.gz", "rb") as src, open(cible, "wb") as dst:
        shutil.copyfileobj(src, dst)
    return cible


@pytest.fixture(scope="session")
def grand_sqlite(dossier_donnees, tmp_path_factory):
    """The whole real lexicon as SQLite, decompressed once per test session."""
    cible = tmp_path_factory.mktemp("donnees") / "lexique_fr.sqlite"
    with gzip.open(dossier_donnees / "lexique_fr.sqlite.gz", "rb") as src, open(cible, "wb") as dst:
        shutil.copyfileobj(src, dst)
    return cible


MODULES = ("_utils", "_aliases", "_loaders", "_recherche", "_phonetique", "_morphologie", "_semantique", "_voisinage", "lexique")


def regler_chemins_rapides(actifs):
    """Sets the fast-path switch of every extension module; returns the previous states."""
    import importlib

    avant = {}
    for nom in MODULES:
        module = importlib.import_module(f"brivane_lexique.{nom}")
        avant[nom] = module._chemins_rapides()
        module._chemins_rapides(actifs)
    return avant


@pytest.fixture(params=[True, False], ids=["rapide", "simple"])
def chemins(request):
    """Runs a test once with the fast paths and once with their plain twins."""
    avant = regler_chemins_rapides(request.param)
    yield request.param
    for nom, etat in avant.items():
        import importlib

        importlib.import_module(f"brivane_lexique.{nom}")._chemins_rapides(etat)
