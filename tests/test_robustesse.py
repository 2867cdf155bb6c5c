"""Hostile use: threads, the cycle collector, interpreter exit, Ctrl-C and bad input."""
import gc
import gzip
import os
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading
import weakref
from pathlib import Path

import pytest

from brivane_lexique.lexique import Lexique
from fabrique_lexiques import COLONNES, LIGNES, ecrire_sqlite, ecrire_tsv

RACINE_TESTS = Path(__file__).resolve().parent


def ecrire_csv(chemin):
    ecrire_tsv(chemin)
    texte = Path(chemin).read_text(encoding="utf-8").replace("\t", ",")
    Path(chemin).write_text(texte, encoding="utf-8", newline="")
    return Path(chemin)


ECRIVAINS = {"tsv": lambda d: ecrire_tsv(d / "lex.tsv"), "csv": lambda d: ecrire_csv(d / "lex.csv"),
             "sqlite": lambda d: ecrire_sqlite(d / "lex.sqlite")}

# The mix a threaded caller makes: lookups, a regular expression (on SQLite, the
# Python REGEXP function inside SQLite's step), rhymes (index build in memory).
REQUETES = [("existe", ("chanter",)), ("info", ("chant",)), ("phone_de", ("chanter",)),
            ("rechercher", ("^ch",)), ("rimes", ("chanter",)), ("frequence", ("est",)),
            ("homophones", ("ʃɑ̃",)), ("formes_de", ("chanter",)), ("lemme_de", ("chantes",))]


def lancer_script(code, *args, timeout=60):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(RACINE_TESTS), os.environ.get("PYTHONPATH", "")]))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, env=env)


# ---------------------------------------------------------------------------
# Threads


@pytest.mark.parametrize("partage", [True, False], ids=["un-objet", "un-par-fil"])
@pytest.mark.parametrize("backend", ["tsv", "csv", "sqlite"])
def test_huit_fils_sans_verrou(tmp_path, backend, partage):
    source = ECRIVAINS[backend](tmp_path)
    attendu = {nom: getattr(Lexique(source), nom)(*a) for nom, a in REQUETES}
    commun = Lexique(source)
    erreurs, ecarts = [], []

    def travail(graine):
        lex = commun if partage else Lexique(source)
        try:
            for i in range(10_000):
                nom, a = REQUETES[(i * 7 + graine) % len(REQUETES)]
                if getattr(lex, nom)(*a) != attendu[nom]:
                    ecarts.append(nom)
        except BaseException as exc:  # noqa: BLE001 - reported below
            erreurs.append(exc)

    fils = [threading.Thread(target=travail, args=(g,), daemon=True) for g in range(8)]
    for f in fils:
        f.start()
    for f in fils:
        f.join(120)
    assert not any(f.is_alive() for f in fils), "threads still running: a deadlock"
    assert erreurs == [] and ecarts == []


def test_construction_paresseuse_une_seule_fois_sous_concurrence(tmp_path):
    # Eight threads ask a fresh object for its index at once: they all get the one
    # that was stored, not eight different builds.
    lex = Lexique(ecrire_tsv(tmp_path / "lex.tsv"))
    vus = []
    barriere = threading.Barrier(8)

    def travail():
        barriere.wait()
        vus.append(lex._get_index_ortho())

    fils = [threading.Thread(target=travail) for _ in range(8)]
    for f in fils:
        f.start()
    for f in fils:
        f.join(60)
    assert len(vus) == 8 and all(v is lex._index_ortho for v in vus)


@pytest.mark.parametrize("source", ["defaut", "tsv"])
@pytest.mark.parametrize("methode", ["phone_de", "rechercher", "rimes"])
def test_sortie_avec_fils_demons_en_pleine_requete(tmp_path, source, methode):
    chemin = "" if source == "defaut" else ecrire_tsv(tmp_path / "lex.tsv")
    code = """
        import sys, threading, time
        import brivane_lexique
        from brivane_lexique.lexique import Lexique
        lex = Lexique(sys.argv[2]) if sys.argv[2] else brivane_lexique.lexique_par_defaut()
        arg = {"phone_de": "chanter", "rechercher": "^ch", "rimes": "chanter"}[sys.argv[1]]
        def boucle():
            while True:
                getattr(lex, sys.argv[1])(arg)
        for _ in range(3):
            threading.Thread(target=boucle, daemon=True).start()
        time.sleep(0.3)
    """
    for _ in range(3):
        r = lancer_script(code, methode, chemin)
        assert r.returncode == 0, r.stderr[-2000:]
        assert "terminate called" not in r.stderr and "Fatal Python error" not in r.stderr


def test_appel_depuis_un_atexit_pendant_la_sortie(tmp_path):
    # Registered before the library: this handler runs after the library's own, which
    # holds back daemon threads only; the exiting thread itself goes on.
    code = """
        import atexit, sys
        atexit.register(lambda: print("phone", lex.phone_de("chanter")))
        from brivane_lexique.lexique import Lexique
        lex = Lexique(sys.argv[1])
    """
    r = lancer_script(code, ecrire_tsv(tmp_path / "lex.tsv"), timeout=60)
    assert r.returncode == 0 and "phone ʃɑ̃te" in r.stdout, r.stderr[-2000:]


# ---------------------------------------------------------------------------
# Cycle collector and leaks


@pytest.mark.parametrize("backend", ["tsv", "sqlite"])
def test_cycle_par_une_entree_libere(tmp_path, backend):
    lex = Lexique(ECRIVAINS[backend](tmp_path), precharger=True)
    entree = lex.info("chanter")[0]
    entree["moi"] = lex
    ref = weakref.ref(lex)
    del lex, entree
    gc.collect()
    assert ref() is None


def test_cycle_par_une_sous_classe_et_ses_attributs(tmp_path):
    class MonLexique(Lexique):
        pass

    lex = MonLexique(ecrire_sqlite(tmp_path / "lex.sqlite"))
    lex.moi = lex
    lex._formes = frozenset({("x", lex)})  # a cycle through a member the class holds
    ref = weakref.ref(lex)
    del lex
    gc.collect()
    assert ref() is None


def test_mauvais_usages_aleatoires_sans_fuite(tmp_path):
    # Attributes changed between calls, bad arguments, replaced module names: at exit
    # nanobind reports every instance, type or function still alive.
    tsv, base = ecrire_tsv(tmp_path / "lex.tsv"), ecrire_sqlite(tmp_path / "lex.sqlite")
    code = """
        import random, sys
        from brivane_lexique import lexique
        from brivane_lexique.lexique import Lexique
        rnd = random.Random(20)
        objets = [Lexique(sys.argv[1]), Lexique(sys.argv[2])]
        valeurs = [None, 0, -1, 2**70, 1.5, float("nan"), "", "chanter", "\\ud800", "a\\x00b", b"x", [], {},
                   ["ʃɑ̃"], {"a": 1}, object(), objets[0]]
        methodes = ["info", "phone_de", "rimes", "rechercher", "anagrammes", "formes_de", "conjuguer", "filtrer",
                    "compter", "homophones", "contient_son", "mots_par_syllabes", "frequence", "existe",
                    "definitions", "synonymes", "verbes_par_phone_et_personne", "info_nom_propre", "lemme_de"]
        attributs = ["_index_phone", "_index_ortho", "_index_lemme", "_conn", "_backend", "_formes", "_table"]
        for i in range(3000):
            lex = rnd.choice(objets)
            if rnd.random() < 0.1:
                try:
                    setattr(lex, rnd.choice(attributs), rnd.choice(valeurs + [{"chanter": [{"freq": "x"}]}]))
                except Exception:
                    pass
            if rnd.random() < 0.02:
                objets = [Lexique(sys.argv[1]), Lexique(sys.argv[2])]
            try:
                getattr(lex, rnd.choice(methodes))(*[rnd.choice(valeurs) for _ in range(rnd.randint(0, 3))])
            except Exception:
                pass
        print("fini")
    """
    r = lancer_script(code, tsv, base, timeout=120)
    assert r.returncode == 0 and "fini" in r.stdout, r.stderr[-2000:]
    assert "leaked" not in r.stderr, r.stderr[-2000:]


# ---------------------------------------------------------------------------
# Ctrl-C in long loops (the real lexicon)

SCRIPT_INTERRUPTION = """
    import importlib, json, os, subprocess, sys, time
    from brivane_lexique.lexique import Lexique
    from conftest import regler_chemins_rapides

    # Sends SIGINT from another process (as a terminal does: this process's threads
    # would need the interpreter to send it), started once so that no process start
    # delays the signal. It answers with the monotonic time (shared by both processes)
    # at which it sent the signal.
    TIREUR = subprocess.Popen([sys.executable, "-c", "import os, signal, sys, time\\n"
                               "for l in sys.stdin:\\n"
                               "    time.sleep(float(l)); t = time.monotonic()\\n"
                               "    os.kill(int(sys.argv[1]), signal.SIGINT); print(t, flush=True)",
                               str(os.getpid())], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def une_fois(action, apres):
        # SIGINT `apres` seconds into the action: seconds from the signal to the
        # KeyboardInterrupt, or None when the signal left after the action had ended
        # (a busy machine delayed it: nothing was learnt). The sender's time is read
        # only once the interrupt has landed, so that the interrupt cannot fall
        # between reading that time and keeping it.
        TIREUR.stdin.write(f"{apres}\\n")
        TIREUR.stdin.flush()
        fin = recu = None
        try:
            action()
            fin = time.monotonic()
            time.sleep(10.0)  # the signal lands here at the latest
        except KeyboardInterrupt:
            recu = time.monotonic()
        envoi = float(TIREUR.stdout.readline())
        if recu is None or (fin is not None and envoi > fin):
            return None
        return recu - envoi

    def interrompu(action, apres):
        for _ in range(4):
            delai = une_fois(action, apres)
            if delai is not None:
                return delai
        return None

    def duree(action):
        debut = time.perf_counter()
        resultat = action()
        return time.perf_counter() - debut, resultat

    def rapport_de(nom, action, apres):
        try:
            return interrompu(action, apres)
        except KeyboardInterrupt:  # landed between two bytecodes after the action
            return None

    rapport = {}
    rapport["construction"], lex = duree(lambda: Lexique(sys.argv[1]))
    rapport["construction_interrompue"] = rapport_de("c", lambda: Lexique(sys.argv[1]), rapport["construction"] / 3)
    autre = Lexique(sys.argv[1])
    rapport["index"], _ = duree(autre._charger_index)
    del autre
    rapport["index_interrompu"] = rapport_de("i", lex._charger_index, rapport["index"] / 3)
    rapport["index_apres"] = lex._index_ortho is None
    lex._charger_index()
    requetes = {"rechercher": ("^ch.*r$",), "anagrammes": ("chien",), "rimes": ("chanter", 3),
                "contient_son": ("ʒ",), "mots_par_syllabes": (4,), "filtrer": ()}
    for nom, a in requetes.items():
        # The plain code reads every entry on every call: its duration is a cold scan's.
        regler_chemins_rapides(False)
        d, attendu = duree(lambda: getattr(lex, nom)(*a))
        rapport[nom] = (d, rapport_de(nom, lambda: getattr(lex, nom)(*a), d / 4))
        # The fast code, stopped while it builds what it keeps, then asked again.
        regler_chemins_rapides(True)
        rapport_de(nom, lambda: getattr(lex, nom)(*a), d / 4)
        rapport[nom + "_identique"] = getattr(lex, nom)(*a) == attendu
    TIREUR.stdin.close()
    TIREUR.wait()
    print(json.dumps(rapport))
"""


def test_ctrl_c_dans_les_boucles_longues(grand_tsv):
    import json

    r = lancer_script(SCRIPT_INTERRUPTION, grand_tsv, timeout=600)
    assert r.returncode == 0, r.stderr[-3000:]
    rapport = json.loads(r.stdout.strip().splitlines()[-1])
    # A pass long enough to need it is stopped well before its end.
    for etape, longue in (("construction_interrompue", "construction"), ("index_interrompu", "index")):
        if rapport[longue] > 0.2:
            assert rapport[etape] is not None and rapport[etape] < rapport[longue] / 2, (etape, rapport)
    assert rapport["index_apres"], "an interrupted build left an index behind"
    for nom in ("rechercher", "anagrammes", "rimes", "contient_son", "mots_par_syllabes", "filtrer"):
        d, delai = rapport[nom]
        if d > 0.3:
            assert delai is not None and delai < d / 2, (nom, rapport)
        # Stopped midway or not, the next call answers as the plain code does.
        assert rapport[nom + "_identique"], (nom, rapport)


# ---------------------------------------------------------------------------
# Blocking reads (a slow device, a network mount)

# Preloaded into a subprocess: every read() of a file whose name holds ".lent." first
# waits LENT_MS milliseconds in poll(), which a signal cuts short (EINTR), as a read
# of a slow device does. Other reads are left alone.
SHIM_LENT = r"""
#define _GNU_SOURCE
#include <dlfcn.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

ssize_t read(int fd, void *tampon, size_t n) {
    static ssize_t (*vrai)(int, void *, size_t);
    if (!vrai) vrai = (ssize_t (*)(int, void *, size_t))dlsym(RTLD_NEXT, "read");
    char lien[64], cible[4096];
    snprintf(lien, sizeof lien, "/proc/self/fd/%d", fd);
    ssize_t k = readlink(lien, cible, sizeof cible - 1);
    if (k > 0) {
        cible[k] = 0;
        if (strstr(cible, ".lent.") && poll(NULL, 0, atoi(getenv("LENT_MS"))) < 0) return -1;
    }
    return vrai(fd, tampon, n);
}
"""

SCRIPT_LENT = """
    import json, sys, threading, time
    from brivane_lexique.lexique import Lexique

    tics, fin = [], threading.Event()

    def compter():  # a thread that only needs the interpreter now and then
        while not fin.is_set():
            tics.append(time.monotonic())
            time.sleep(0.005)

    threading.Thread(target=compter, daemon=True).start()
    time.sleep(0.05)
    print("pret", flush=True)
    debut = time.monotonic()
    try:
        lex = Lexique(sys.argv[1], precharger=True)
        issue = "fini" if lex.existe("chanter") else "faux"
    except KeyboardInterrupt:
        issue = "interrompu"
    duree = time.monotonic() - debut
    fin.set()
    pendant = [debut] + [t for t in tics if t > debut] + [debut + duree]
    print(json.dumps({"issue": issue, "duree": duree,
                      "ecart": max(b - a for a, b in zip(pendant, pendant[1:]))}))
"""


@pytest.fixture(scope="module")
def shim_lent(tmp_path_factory):
    import shutil

    compilateur = shutil.which("cc") or shutil.which("gcc")
    if not sys.platform.startswith("linux") or not compilateur:
        pytest.skip("needs Linux and a C compiler to make reads slow")
    dossier = tmp_path_factory.mktemp("shim")
    (dossier / "lent.c").write_text(SHIM_LENT)
    r = subprocess.run([compilateur, "-shared", "-fPIC", "-o", str(dossier / "lent.so"), str(dossier / "lent.c"),
                        "-ldl"], capture_output=True, text=True)
    if r.returncode != 0:
        pytest.skip(f"shim not built: {r.stderr[-500:]}")
    return dossier / "lent.so"


def _source_lente(tmp_path, grande):
    # Large enough, the forms pass reads on a thread of its own while this one waits.
    chemin = ecrire_tsv(tmp_path / "lex.lent.tsv")
    if grande:
        texte = chemin.read_text(encoding="utf-8")
        entete, lignes = texte.split("\n", 1)
        chemin.write_text(entete + "\n" + lignes * (1_500_000 // len(lignes) + 1), encoding="utf-8", newline="")
    return chemin


def _precharger(shim):
    # After what is already preloaded (a sanitizer's runtime must come first).
    return " ".join(filter(None, [os.environ.get("LD_PRELOAD", ""), str(shim)]))


def _lancer_lent(shim, source, delai_ms, sigint_apres=None):
    env = dict(os.environ, LD_PRELOAD=_precharger(shim), LENT_MS=str(delai_ms),
               PYTHONPATH=os.pathsep.join([str(RACINE_TESTS), os.environ.get("PYTHONPATH", "")]))
    p = subprocess.Popen([sys.executable, "-c", textwrap.dedent(SCRIPT_LENT), str(source)], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, text=True, env=env)
    try:
        assert p.stdout.readline().strip() == "pret", p.stderr.read()
        if sigint_apres is not None:
            import time

            time.sleep(sigint_apres)
            p.send_signal(signal.SIGINT)
        sortie, erreurs = p.communicate(timeout=120)
    finally:
        p.kill()
    assert p.returncode == 0, erreurs[-3000:]
    import json

    return json.loads(sortie.strip().splitlines()[-1])


@pytest.mark.parametrize("grande", [False, True], ids=["lue-ici", "fil-de-lecture"])
def test_lecture_lente_laisse_tourner_les_autres_fils(tmp_path, shim_lent, grande):
    # Each read waits 0.4 s: a thread that needs the interpreter every 5 ms keeps going
    # while level 1 and the indexes are read.
    r = _lancer_lent(shim_lent, _source_lente(tmp_path, grande), 400)
    assert r["issue"] == "fini", r
    assert r["duree"] > 1.0 and r["ecart"] < 0.3, r


def test_lecture_lente_interrompue_par_ctrl_c(tmp_path, shim_lent):
    # Each read waits 20 s unless a signal comes: SIGINT stops the opening at once,
    # with KeyboardInterrupt, instead of the read being tried again.
    r = _lancer_lent(shim_lent, _source_lente(tmp_path, False), 20_000, sigint_apres=0.5)
    assert r["issue"] == "interrompu" and r["duree"] < 5, r


@pytest.mark.parametrize("delai_ms", [20, 300])
@pytest.mark.parametrize("grande", [False, True], ids=["lue-ici", "fil-de-lecture"])
def test_sortie_pendant_une_lecture_lente(tmp_path, shim_lent, grande, delai_ms):
    # Daemon threads inside a slow read when the interpreter exits: the one taking the
    # interpreter back then is parked, the process ends cleanly.
    code = """
        import sys, threading, time
        from brivane_lexique.lexique import Lexique
        def boucle():
            while True:
                Lexique(sys.argv[1], precharger=True)
        for _ in range(2):
            threading.Thread(target=boucle, daemon=True).start()
        time.sleep(0.5)
    """
    env = dict(os.environ, LD_PRELOAD=_precharger(shim_lent), LENT_MS=str(delai_ms),
               PYTHONPATH=os.pathsep.join([str(RACINE_TESTS), os.environ.get("PYTHONPATH", "")]))
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code), str(_source_lente(tmp_path, grande))],
                       capture_output=True, text=True, timeout=60, env=env)
    assert r.returncode == 0, r.stderr[-2000:]
    assert "terminate called" not in r.stderr and "Fatal Python error" not in r.stderr


# ---------------------------------------------------------------------------
# Bad input

def _fichier(tmp_path, nom, octets):
    chemin = tmp_path / nom
    chemin.write_bytes(octets)
    return chemin


def _fifo(tmp_path, nom):
    chemin = tmp_path / nom
    os.mkfifo(chemin)
    return chemin


def _sqlite_tronque(tmp_path):
    chemin = ecrire_sqlite(tmp_path / "t.sqlite")
    octets = chemin.read_bytes()
    chemin.write_bytes(octets[: len(octets) // 2])
    return chemin


# (source maker, expected exception, text the message must hold, "NOM": the file name)
MAUVAISES_SOURCES = {
    # 0x81 is neither UTF-8 nor cp1252, the fallback of a file that is not UTF-8.
    "utf8-invalide": (lambda t: _fichier(t, "u.tsv", b"ortho\tphon\nch\x81at\tSa\n"), UnicodeDecodeError,
                      "0x81"),
    "champs-en-trop": (lambda t: _fichier(t, "l.tsv", b"ortho\tphon\nchat\tSa\tx\n"), ValueError, "NOM"),
    "dossier-tsv": (lambda t: (t / "d.tsv").mkdir() or t / "d.tsv", IsADirectoryError, "NOM"),
    "dossier-sqlite": (lambda t: (t / "d.sqlite").mkdir() or t / "d.sqlite", IsADirectoryError, "NOM"),
    "fifo-tsv": (lambda t: _fifo(t, "f.tsv"), OSError, "Not a regular file"),
    "fifo-csv": (lambda t: _fifo(t, "f.csv"), OSError, "NOM"),
    "fifo-sqlite": (lambda t: _fifo(t, "f.sqlite"), OSError, "NOM"),
    "sqlite-tronque": (_sqlite_tronque, sqlite3.DatabaseError, "NOM"),
    "sqlite-corrompu": (lambda t: _fichier(t, "c.sqlite", b"SQLite format 3\x00" + b"\xff" * 5000),
                        sqlite3.DatabaseError, "NOM"),
    "pas-une-base": (lambda t: _fichier(t, "p.db", b"pas une base\n" * 100), sqlite3.DatabaseError, "NOM"),
    "sans-table": (lambda t: ecrire_sqlite(t / "s.sqlite", table="autre"), sqlite3.OperationalError, "NOM"),
    "absent-sqlite": (lambda t: t / "absent.sqlite", FileNotFoundError, "NOM"),
    "surrogate-tsv": (lambda t: "a\ud800.tsv", ValueError, "surrogates"),
    "surrogate-sqlite": (lambda t: "a\ud800.sqlite", ValueError, "surrogates"),
    "nul-tsv": (lambda t: "a\x00b.tsv", ValueError, "embedded null"),
    "nul-sqlite": (lambda t: "a\x00b.sqlite", ValueError, "embedded null"),
}


@pytest.mark.parametrize("cas", list(MAUVAISES_SOURCES))
def test_mauvaise_source_une_erreur_claire(tmp_path, cas):
    faire, attendue, texte = MAUVAISES_SOURCES[cas]
    source = faire(tmp_path)
    if isinstance(source, str):  # a path the platform cannot take: fails at once
        with pytest.raises(attendue, match=texte):
            Lexique(source)
        return
    # In a subprocess: a source that blocks must fail the test, not hang it.
    code = """
        import sys
        from brivane_lexique.lexique import Lexique
        try:
            Lexique(sys.argv[1])
        except Exception as exc:
            print(*[c.__name__ for c in type(exc).__mro__], sep=",")
            print(str(exc))
    """
    r = lancer_script(code, source, timeout=30)
    assert r.returncode == 0, r.stderr
    classes, message = r.stdout.split("\n", 1)
    assert attendue.__name__ in classes.split(","), r.stdout
    assert message.count("\n") == 1  # one line
    assert (source.name if texte == "NOM" else texte) in message


@pytest.mark.parametrize("contenu", [b"", b"ortho\tphone\tlemme\n", b"\xef\xbb\xbf", b"ortho\tphone\n\n\n"])
@pytest.mark.parametrize("methode", ["info", "rimes", "rechercher", "anagrammes", "filtrer"])
def test_fichier_vide_ou_entete_seule(tmp_path, contenu, methode):
    lex = Lexique(_fichier(tmp_path, "v.tsv", contenu))
    a = {"info": ("chat",), "rimes": ("chat",), "rechercher": ("a",), "anagrammes": ("chat",), "filtrer": ()}
    assert getattr(lex, methode)(*a[methode]) == []
    assert lex._formes == frozenset()


def test_octets_nuls_et_champ_de_100_mo(tmp_path):
    chemin = tmp_path / "g.tsv"
    with open(chemin, "wb") as f:
        f.write(b"ortho\tphone\tlemme\ndef\x00aut\tx\ty\n")
    assert Lexique(chemin).existe("def\x00aut")
    with open(chemin, "ab") as f:
        f.write(b"chat\t" + b"a" * (100 * 1024 * 1024) + b"\tchat\n")
    with pytest.raises(Exception, match="field larger than field limit") as err:
        Lexique(chemin)
    assert "\n" not in str(err.value) and err.value.__notes__ == [f"fichier : {str(chemin)!r}"]


def test_erreur_de_lecture_nomme_le_fichier_au_premier_index(tmp_path):
    chemin = ecrire_tsv(tmp_path / "lex.tsv")
    lex = Lexique(chemin)
    # Damaged in place, size and times kept: a change the index pass cannot see.
    st = chemin.stat()
    with open(chemin, "r+b") as f:
        f.seek(-9, os.SEEK_END)
        f.write(b"ch\xffat\tSa\n")
    os.utime(chemin, ns=(st.st_atime_ns, st.st_mtime_ns))
    for _ in range(2):  # the same error again: the failed build left nothing behind
        with pytest.raises(UnicodeDecodeError) as err:
            lex.info("chanter")
        assert any(str(chemin) in note for note in err.value.__notes__) and lex._index_ortho is None


# How a file changes under an open lexicon: (new content from the old, replaced by a
# rename rather than rewritten, what the message says of it for an uncompressed file).
CHANGEMENTS = {
    "tronque": (lambda b: b[: len(b) // 2], False, "taille"),
    "reecrit": (lambda b: b.replace(b"chanter", b"chantex"), False, "date de modification"),
    "remplace": (lambda b: b + b.split(b"\n", 1)[1], True, "taille"),
}


@pytest.mark.parametrize("changement", list(CHANGEMENTS))
@pytest.mark.parametrize("nom", ["lex.tsv", "lex.csv", "lex.tsv.gz"])
def test_fichier_change_avant_le_premier_index(tmp_path, chemins, nom, changement):
    chemin = tmp_path / nom
    (ecrire_csv if nom == "lex.csv" else ecrire_tsv)(chemin)
    compresse = nom.endswith(".gz")
    if compresse:
        chemin.write_bytes(gzip.compress(chemin.read_bytes(), mtime=0))
    lex = Lexique(chemin)
    assert lex.existe("chanter")
    changer, renommer, quoi = CHANGEMENTS[changement]
    st = chemin.stat()
    contenu = changer(gzip.decompress(chemin.read_bytes()) if compresse else chemin.read_bytes())
    cible = tmp_path / "autre" if renommer else chemin
    cible.write_bytes(gzip.compress(contenu, mtime=0) if compresse else contenu)
    if renommer:
        os.replace(cible, chemin)
    # Whatever the clock's grain, the writer's time moved on.
    os.utime(chemin, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))
    for _ in range(2):  # refused again: the index stays unbuilt
        with pytest.raises(OSError) as err:
            lex.info("chanter")
        message = str(err.value)
        assert message.startswith(f"{chemin} : fichier modifie depuis l'ouverture du lexique (")
        assert "\n" not in message and lex._index_ortho is None
        assert compresse or quoi in message
    # A lexicon opened on the file as it now is reads it whole.
    assert Lexique(chemin, precharger=True)._index_ortho is not None


def test_fichier_supprime_avant_le_premier_index(tmp_path):
    chemin = ecrire_tsv(tmp_path / "lex.tsv")
    lex = Lexique(chemin)
    chemin.unlink()
    with pytest.raises(FileNotFoundError, match="lex.tsv"):
        lex.info("chanter")


def test_fichier_relu_sans_changement(tmp_path):
    # Opening it again (or reading it) changes neither size nor modification time.
    chemin = ecrire_tsv(tmp_path / "lex.tsv")
    lex = Lexique(chemin)
    Lexique(chemin)
    os.utime(chemin, ns=(chemin.stat().st_atime_ns + 5, chemin.stat().st_mtime_ns))
    assert lex.info("chanter") == Lexique(chemin).info("chanter") != []


@pytest.mark.parametrize("colonne", ["phone", "freq_opensubs", "cgram", "genre", "nombre"])
@pytest.mark.parametrize("methode", ["info", "phone_de", "rimes", "rechercher", "formes_de", "homophones",
                                     "contient_son", "mots_par_syllabes", "filtrer"])
def test_table_sans_une_colonne(tmp_path, colonne, methode):
    garder = [i for i, c in enumerate(COLONNES) if c != colonne]
    base = ecrire_sqlite(tmp_path / "s.sqlite", colonnes=[COLONNES[i] for i in garder],
                         lignes=[tuple(l[i] for i in garder) for l in LIGNES])
    lex = Lexique(base)
    a = {"info": ("chanter",), "phone_de": ("chanter",), "rimes": ("chanter",), "rechercher": ("^ch",),
         "formes_de": ("chanter",), "homophones": ("ʃɑ̃",), "contient_son": ("ʃ",), "mots_par_syllabes": (2,),
         "filtrer": ()}[methode]
    try:
        getattr(lex, methode)(*a)
    except sqlite3.OperationalError as exc:
        # The one acceptable failure: SQLite naming the column the table lacks, then the file.
        assert str(exc) == f"no such column: {colonne} ({str(base)!r})"


class SousLexique(Lexique):
    # Overrides that call the base method: the error crosses two method calls.
    def phone_de(self, mot):
        return super().phone_de(mot)

    def rimes(self, mot, *a, **k):
        return super().rimes(mot, *a, **k)


@pytest.mark.parametrize("classe", [Lexique, SousLexique], ids=["lexique", "sous-classe"])
@pytest.mark.parametrize("colonne, methode, args", [
    ("phone", "phone_de", ("chanter",)), ("phone", "rimes", ("chanter",)), ("phone", "contient_son", ("ʃ",)),
    ("cgram", "conjuguer", ("chanter",)), ("cgram", "homophones", ("ʃɑ̃",)),
    ("freq_opensubs", "frequence", ("chanter",)), ("freq_opensubs", "rechercher", ("^ch",)),
    ("freq_opensubs", "mots_par_syllabes", (2,)),
])
def test_colonne_manquante_nomme_le_fichier(tmp_path, classe, colonne, methode, args):
    garder = [i for i, c in enumerate(COLONNES) if c != colonne]
    base = ecrire_sqlite(tmp_path / "s.sqlite", colonnes=[COLONNES[i] for i in garder],
                         lignes=[tuple(l[i] for i in garder) for l in LIGNES])
    lex = classe(base)
    for _ in range(2):  # named once, whatever the calls it went through
        with pytest.raises(sqlite3.OperationalError) as err:
            getattr(lex, methode)(*args)
        assert str(err.value) == f"no such column: {colonne} ({str(base)!r})"
        assert err.value.sqlite_errorname == "SQLITE_ERROR"
    # Where a missing column means an empty answer, it still does.
    assert lex.rechercher_nom_propre("^a") == []


AUTRES_NOMS = {"phone": "phon", "freq_opensubs": "freqfilms2", "lemme": "lemma"}


@pytest.mark.parametrize("methode, args", [
    ("info", ("chanter",)), ("phone_de", ("chanter",)), ("frequence", ("chanter",)), ("lemme_de", ("chantes",)),
    ("formes_de", ("chanter",)), ("rimes", ("chanter",)), ("homophones", ("ʃɑ̃",)), ("contient_son", ("ʃɑ̃",)),
    ("conjuguer", ("chanter",)), ("existe", ("chanter",)), ("info", ("\ud800",)), ("phone_de", ("\ud800",)),
    ("frequence", ("\ud800",)), ("formes_de", ("\ud800",)),
])
def test_noms_d_un_autre_producteur_en_sql(tmp_path, methode, args):
    # Renamed columns answer as the usual names do; a word no row can hold answers as
    # in memory.
    colonnes = [AUTRES_NOMS.get(c, c) for c in COLONNES]
    base = Lexique(ecrire_sqlite(tmp_path / "a.sqlite", colonnes=colonnes))
    texte = Lexique(ecrire_sqlite(tmp_path / "c.sqlite")) if "\ud800" not in args[0] else \
        Lexique(ecrire_tsv(tmp_path / "a.tsv", colonnes=colonnes))

    def essentiel(r):
        # The two paths differ by contract in fields, order, case and repeats: compare
        # the spellings found.
        if isinstance(r, list):
            return sorted({(e.get("ortho") or "").lower() for e in r})
        return r

    assert essentiel(getattr(base, methode)(*args)) == essentiel(getattr(texte, methode)(*args))
    # Nothing was written into the database for it.
    conn = sqlite3.connect(tmp_path / "a.sqlite")
    assert conn.execute("SELECT count(*) FROM sqlite_master WHERE type = 'view'").fetchone() == (0,)
    conn.close()
