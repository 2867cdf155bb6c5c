"""The entries of the CSV/TSV pass and the bulk passes of _loaders (forms set, three
indexes): each fast path against its plain twin (the `chemins` fixture) and against
plain Python."""
import gc
import importlib
import random
from collections.abc import Mapping

import pytest

from brivane_lexique import _loaders
from brivane_lexique.lexique import Lexique
from test_csv_equivalence import texte_aleatoire, verifier_identique
from test_lexique import ref_formes_et_index
from test_loaders import base, lu_par_le_module


def ecrire(chemin, texte):
    chemin.write_bytes(texte.encode("utf-8") if isinstance(texte, str) else texte)
    return chemin


def memes_index(obtenus, attendus):
    for obtenu, attendu in zip(obtenus, attendus):
        assert list(obtenu) == list(attendu) and obtenu == attendu


@pytest.mark.parametrize("delim", [",", "\t", "é"])
@pytest.mark.parametrize("encodage", ["utf-8-sig", "latin-1"])
def test_entrees_comme_dictreader(tmp_path, chemins, delim, encodage):
    rnd = random.Random(ord(delim))
    chemin = tmp_path / "g.csv"
    for _ in range(40):
        ecrire(chemin, texte_aleatoire(rnd, delim))
        verifier_identique(chemin, delimiter=delim, encoding=encodage)


@pytest.mark.parametrize("lignes, champs", [
    # The same word on consecutive lines: every repeated field, whatever its length.
    (["chanta,VER,chanter", "chante,VER,chanter"], ["cgram", "lemme"]),
    # Short values come back far apart (the parts of speech of a sorted lexicon).
    (["chanta,VER,chanter", "chat,NOM,chat", "chante,VER,chanter"], ["cgram"]),
])
def test_valeurs_et_cles_partagees(tmp_path, chemins, lignes, champs):
    chemin = ecrire(tmp_path / "l.csv", "\n".join(["ortho,cgram,lemme", *lignes, ""]))
    entrees = list(_loaders.iter_csv(chemin))
    a, b = entrees[0], entrees[-1]
    assert all(a[c] is b[c] for c in champs) and list(a)[0] is list(b)[0]


@pytest.fixture(scope="module")
def reference_petit(petit_tsv):
    return ref_formes_et_index(petit_tsv, "\t")


def test_passes_du_petit_lexique(petit_tsv, reference_petit, chemins):
    # (Megabytes: with the fast paths, level 1 is read on a thread of its own.)
    formes, index = reference_petit
    assert _loaders._formes(petit_tsv, "\t", None) == formes
    assert _loaders._formes_de(_loaders.iter_tsv(petit_tsv), None) == formes
    phone, ortho, lemme = _loaders._index(petit_tsv, "\t", None)
    memes_index((phone, ortho, lemme), index)
    memes_index(_loaders._index_de(_loaders.iter_tsv(petit_tsv), None), index)
    # One dict per line, shared by the three indexes.
    par_id = {id(e) for l in ortho.values() for e in l}
    assert all(id(e) in par_id for l in (*phone.values(), *lemme.values()) for e in l)
    assert len(par_id) == sum(map(len, ortho.values()))


@pytest.mark.parametrize("contenu, erreur, motif", [
    ("ortho\tlemme\nchat\tchat\n" * 3 + "chien\tchien\tx\n", ValueError, "ligne 7 : 3 champs pour 2"),
    (b"ortho\nchat\n" + "é".encode() * 5000 + b"\xe9\n", UnicodeDecodeError, "invalid continuation"),
    ("", None, None),
    ("ortho\n\n\n", None, None),
])
def test_erreurs_et_sources_vides(tmp_path, chemins, contenu, erreur, motif):
    chemin = ecrire(tmp_path / "e.tsv", contenu)
    for passe in (_loaders._formes, _loaders._index):
        if erreur is None:
            assert passe(chemin, "\t", None) in (frozenset(), ({}, {}, {}))
            continue
        with pytest.raises(erreur, match=motif):
            passe(chemin, "\t", None)
        assert gc.isenabled()
    if erreur:
        with pytest.raises(erreur):
            Lexique(chemin, precharger=True, encoding="utf-8")


def test_normaliser_entree_remplace_suivi_par_les_passes(tmp_path, monkeypatch, chemins):
    chemin = ecrire(tmp_path / "l.tsv", "ortho\tlemme\nChat\tchat\n")
    monkeypatch.setattr(_loaders, "_normaliser_entree",
                        lambda row, mapping: {"ortho": row["ortho"] + "s", "lemme": "L", "freq": "2"})
    attendu = {"ortho": "Chats", "lemme": "L", "freq": 2.0}
    assert _loaders._formes(chemin, "\t", None) == {"chats"} == Lexique(chemin)._formes
    assert _loaders._index(chemin, "\t", None) == ({}, {"chats": [attendu]}, {"l": [attendu]})


class Ligne(Mapping):
    def __init__(self, d):
        self.d = d

    def __getitem__(self, k):
        return self.d[k]

    def __iter__(self):
        return iter(self.d)

    def __len__(self):
        return len(self.d)


def test_index_d_entrees_quelconques(chemins):
    entrees = [{"ortho": "Chat", "phone": "ʃa", "lemme": "Chat", "freq": "2"}, {"ortho": "", "phone": "x"},
               {"ortho": "chat", "freq": "x"}, {"ortho": "chat", "freq": 10 ** 400, "phone": "ʃa"},
               Ligne({"ortho": " Chien ", "phone": "", "lemme": None, "freq": 3})]
    phone, ortho, lemme = _loaders._index_de(entrees, None)
    assert list(ortho) == ["chat", "chien"] and [e["freq"] for e in ortho["chat"]] == [2.0, 0.0, 0.0]
    assert phone == {"ʃa": [ortho["chat"][0], ortho["chat"][2]]} and list(lemme) == ["chat"]
    assert all(type(e) is dict and e is not s for e, s in zip(ortho["chat"], entrees[::2]))
    assert ortho["chien"] == [{"ortho": " Chien ", "phone": "", "lemme": None, "freq": 3.0}]
    vus = []
    _, ortho, lemme = _loaders._index_de(entrees, lambda s: vus.append(s) or s.upper())
    assert list(ortho) == ["CHAT", " CHIEN "] and list(lemme) == ["CHAT"] and len(vus) == 5
    assert _loaders._formes_de(entrees, None) == {"chat", "chien"}


@pytest.mark.parametrize("colonnes, lignes", [
    ("ortho TEXT, cgram TEXT, lemme TEXT, freq_opensubs REAL, nb INTEGER",
     ["'chat', 'NOM', 'chat', 12.5, 1", "'chats', 'NOM', 'chat', NULL, 2", "'œuf', '', NULL, 'x', -4"]),
    ("ortho, \"Col\" TEXT, b BLOB, freq_lm10, ortho2", ["7, '', x'00ff', 2, 1", "x'61', 'a', 1, '', NULL"]),
])
def test_sqlite_comme_le_module(tmp_path, chemins, colonnes, lignes):
    chemin = base(tmp_path, colonnes, lignes)
    assert list(_loaders.iter_sqlite(chemin)) == lu_par_le_module(chemin)


def test_entrees_independantes_les_unes_des_autres(tmp_path, chemins):
    # Each entry is a dict of its own: changing one leaves the next ones as read.
    noms = [f"c{i}" for i in range(35)]
    lignes = ["ortho,cgram,lemme,freq_opensubs," + ",".join(noms)]
    lignes += [f"m{i % 3},NOM,{'l' if i % 2 else 'k'},{i % 2}," + ",".join(["v"] * 35) for i in range(6)]
    chemin = ecrire(tmp_path / "l.csv", "\n".join(lignes) + "\nseul\n")
    attendues = [dict(e) for e in _loaders.iter_csv(chemin)]
    vues = []
    for e in _loaders.iter_csv(chemin):
        vues.append(dict(e))
        e["cgram"] = "X"
        e.pop("lemme")
        e.clear()
    assert vues == attendues and attendues[-1]["cgram"] is None and attendues[-1]["freq"] == 0.0
    assert [e["freq"] for e in attendues[:4]] == [0.0, 1.0, 0.0, 1.0]


@pytest.mark.parametrize("defaut", [None, b"a\tb\tc\td\te\n", b"ab\xff\tc\n", b"\t\t\"x\n"])
def test_grand_fichier_lu_a_part_comme_sur_place(tmp_path, defaut):
    """Level 1 of a file of megabytes: read on a thread of its own, or on the
    caller's with the fast paths off, the same set or the same error."""
    from conftest import regler_chemins_rapides

    rnd = random.Random(3)
    # Lower-case ASCII (copied as it is), and what must go through the text rules.
    debuts = ["Chat", "été", "ΣΟΦΙΑ", "e", " e", "\x1ce", "Ǆ", "e\u0301"]
    fins = ["", " ", "\x1f"]
    lignes = [f"{rnd.choice(debuts)}{i % 7000}{rnd.choice(fins)}\tʃa\tx\n" for i in range(70000)]
    octets = ("ortho\tphone\tlemme\n" + "".join(lignes)).encode()
    coupure = octets.index(b"\n", len(octets) * 3 // 4) + 1
    chemin = ecrire(tmp_path / "g.tsv", octets[:coupure] + (defaut or b"") + octets[coupure:])
    issues = []
    for actifs in (True, False):
        avant = regler_chemins_rapides(actifs)
        try:
            issues.append(_loaders._formes(chemin, "\t", None))
        except Exception as exc:  # noqa: BLE001 - the error itself is compared
            issues.append((type(exc), str(exc)))
        finally:
            for nom, etat in avant.items():
                importlib.import_module(f"brivane_lexique.{nom}")._chemins_rapides(etat)
    assert issues[0] == issues[1]
    assert isinstance(issues[0], frozenset) is (defaut is None)


@pytest.mark.parametrize("contenu", ["Word,freq\na,1\n", "Word,freq\n"])
def test_mapping_refuse_a_la_premiere_ligne(tmp_path, monkeypatch, chemins, contenu):
    chemin = ecrire(tmp_path / "l.csv", contenu)
    monkeypatch.setattr(_loaders, "resoudre_colonnes", lambda noms: list(noms))
    appels = [lambda: list(_loaders.iter_csv(chemin)), lambda: _loaders._formes(chemin, ",", None),
              lambda: _loaders._index(chemin, ",", None)]
    for appel in appels:
        if "a,1" in contenu:
            with pytest.raises(TypeError, match="Argument 'mapping' has incorrect type"):
                appel()
        else:
            assert appel() in ([], frozenset(), ({}, {}, {}))


@pytest.mark.parametrize("source", ["csv", "sqlite", "ligne"])
def test_freq_prise_d_une_colonne_est_sa_valeur(tmp_path, monkeypatch, chemins, source):
    # The frequency taken from a priority column is that column's own value object.
    monkeypatch.setattr(_loaders, "resoudre_colonnes", lambda noms: {})
    lignes = [("chat", "12,5"), ("chien", "3"), ("œuf", "")]
    if source == "csv":
        texte = "ortho,freq_opensubs\n" + "".join(f'{o},"{f}"\n' for o, f in lignes)
        entrees = list(_loaders.iter_csv(ecrire(tmp_path / "l.csv", texte)))
    elif source == "sqlite":
        chemin = base(tmp_path, "ortho TEXT, freq_opensubs TEXT", [f"'{o}', '{f}'" for o, f in lignes])
        entrees = list(_loaders.iter_sqlite(chemin))
    else:
        entrees = [_loaders._normaliser_entree({"ortho": o, "freq_opensubs": f}, {}) for o, f in lignes]
    assert [e["freq"] for e in entrees] == [12.5, 3.0, 0.0]
    assert all(e["freq"] is e["freq_opensubs"] and list(e) == ["ortho", "freq_opensubs", "freq"] for e in entrees)


@pytest.mark.parametrize("alias, texte", [
    ("U8", "ortho,lemme\nété,été\n"), ("UTF_8", "\ufeffortho\nx\n"), ("utf_8_sig", "\ufeffortho\nœuf\n"),
    ("L1", "ortho\nété\r\nà\n"), ("iso-8859-1", "ortho;x\nça;\xa0\n"), ("windows-1252", "ortho\n€uro\n"),
    ("mac-roman", "ortho\nπ\n"),
])
def test_alias_de_codec_lus_comme_le_module_csv(tmp_path, chemins, alias, texte):
    # Whatever a codec is called, its files read as Python's csv reads them.
    chemin = ecrire(tmp_path / "l.csv", texte.encode(alias))
    verifier_identique(chemin, delimiter=";" if ";" in texte else ",", encoding=alias)


def _places(index_trois):
    # Where each entry sits in the three indexes: (index, key, position) per entry.
    places = {}
    for n, index in enumerate(index_trois):
        for cle, liste in index.items():
            for i, e in enumerate(liste):
                places.setdefault(id(e), []).append((n, cle, i))
    return sorted(places.values(), key=repr)


@pytest.mark.parametrize("source", ["tsv", "entrees"])
@pytest.mark.parametrize("normaliser", [None, str.upper])
def test_index_cles_entrelacees_rapide_comme_simple(tmp_path, source, normaliser):
    """Keys met again after others, runs of one word, keys of other types: the lists
    made once the pass is over hold the entries the plain pass appends, in order."""
    from conftest import regler_chemins_rapides

    rnd = random.Random(7)
    lignes = [(rnd.choice(["chat", "Chat", "chien", " rat", "été", "Été"]), rnd.choice(["ʃa", "ʁa", 7, "", "ʃa"]),
               rnd.choice(["chat", "", "rat"]), str(i)) for i in range(400)]
    lignes += [("seul", "sœl", "seul", "1")] * 5
    if source == "tsv":
        chemin = ecrire(tmp_path / "l.tsv", "ortho\tphone\tlemme\tfreq\n" + "".join("\t".join(map(str, l)) + "\n"
                                                                             for l in lignes))
    issues = []
    for actifs in (True, False):
        avant = regler_chemins_rapides(actifs)
        try:
            if source == "tsv":
                issues.append(_loaders._index(chemin, "\t", normaliser))
            else:
                issues.append(_loaders._index_de([dict(zip(("ortho", "phone", "lemme", "freq"), l)) for l in lignes],
                                                 normaliser))
        finally:
            for nom, etat in avant.items():
                importlib.import_module(f"brivane_lexique.{nom}")._chemins_rapides(etat)
    rapide, simple = issues
    memes_index(rapide, simple)
    assert _places(rapide) == _places(simple)
    assert all(type(l) is list for index in rapide for l in index.values())


@pytest.mark.parametrize("ligne_fautive", [3, 300, 600])
def test_index_ligne_fautive_meme_erreur(tmp_path, chemins, ligne_fautive):
    # Records read by lots before their dicts are made: a bad record still raises what
    # the plain pass raises, wherever it falls in a lot.
    lignes = [f"m{i}\tʃa\tm\t{i}" for i in range(700)]
    lignes[ligne_fautive] += "\tde trop"
    chemin = ecrire(tmp_path / "l.tsv", "ortho\tphone\tlemme\tfreq\n" + "\n".join(lignes) + "\n")
    with pytest.raises(ValueError, match=f"ligne {ligne_fautive + 2} :"):
        _loaders._index(chemin, "\t", None)


@pytest.mark.parametrize("actif", [True, False])
def test_passe_d_index_et_ramasse_miettes(petit_tsv, reference_petit, chemins, actif):
    # The pass leaves the process's collector as the caller set it: a callback run
    # during the pass finds it so and may run a collection without harm to the indexes.
    # (The plain pass reports once, at its end.)
    etats = []

    def progression(lus, taille):
        etats.append(gc.isenabled())
        gc.collect()

    if not actif:
        gc.disable()
    try:
        index = _loaders._index(petit_tsv, "\t", None, progression=progression)
    finally:
        gc.enable()
    memes_index(index, reference_petit[1])
    assert len(etats) >= (2 if chemins else 1) and set(etats) == {actif}
