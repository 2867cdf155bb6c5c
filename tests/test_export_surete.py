"""Exports never destroy a user's file: the lexicon's own files are refused, links and
permissions survive, interrupted or failing exports install nothing, and what killed
exports left behind is cleaned up."""
import os
import signal
import sqlite3
import stat
import subprocess
import sys
import time
from pathlib import Path

import pytest

from brivane_lexique import Lexique, cli

from test_export import COLONNES, LIGNES, creer_sqlite, creer_tsv, lire_csv

POSIX = os.name == "posix"
FORMATS = ["csv", "sqlite"]


def ouvrir(tmp_path, backend):
    if backend == "sqlite":
        return Lexique(creer_sqlite(tmp_path / "lex.sqlite"))
    return Lexique(creer_tsv(tmp_path / "lex.tsv"))


def temporaires(dossier):
    return sorted(n for n in os.listdir(dossier) if ".tmp-" in n)


# ------------------------------------------------------------------ the lexicon's own files

CHEMINS_DE_LA_SOURCE = {
    "meme chemin": lambda src: src,
    "chemin absolu en texte": lambda src: str(src.resolve()),
    "detour par le dossier": lambda src: src.parent / ".." / src.parent.name / src.name,
    "lien dur": lambda src: os.link(src, src.parent / "dur") or src.parent / "dur",
    "lien symbolique relatif": lambda src: os.symlink(src.name, src.parent / "lien") or src.parent / "lien",
}


@pytest.mark.parametrize("format_", FORMATS)
@pytest.mark.parametrize("backend", ["sqlite", "tsv"])
@pytest.mark.parametrize("chemin", CHEMINS_DE_LA_SOURCE.values(), ids=CHEMINS_DE_LA_SOURCE.keys())
def test_la_source_est_refusee_avant_toute_ecriture(tmp_path, backend, format_, chemin):
    lex = ouvrir(tmp_path, backend)
    source = Path(lex._source)
    avant = source.read_bytes()
    try:
        cible = chemin(source)
    except (OSError, NotImplementedError) as e:
        pytest.skip(f"links unavailable here: {e}")
    contenu_dossier = sorted(os.listdir(tmp_path))
    with pytest.raises(ValueError, match="export refuse : la destination est un fichier du lexique lui-meme : ") as e:
        lex.exporter(cible, format=format_, cgram="NOM")
    assert str(cible) in str(e.value)
    assert source.read_bytes() == avant
    assert sorted(os.listdir(tmp_path)) == contenu_dossier
    assert lex.existe("chanter")


def _base_attachee(lex, tmp_path):
    autre = creer_sqlite(tmp_path / "autre.sqlite")
    lex._get_conn().execute("ATTACH DATABASE ? AS autre", (str(autre),))
    return autre, 10.5


def _journal_wal(lex, tmp_path):
    conn = lex._get_conn()
    conn.execute("PRAGMA journal_mode=WAL")
    conn.execute("UPDATE formes SET freq_opensubs = 99 WHERE ortho = 'chat'")
    conn.commit()
    return tmp_path / "lex.sqlite-wal", 99.0


@pytest.mark.parametrize("fichier", [_base_attachee, _journal_wal])
def test_les_autres_fichiers_de_la_connexion_sont_refuses(tmp_path, fichier):
    lex = ouvrir(tmp_path, "sqlite")
    cible, freq = fichier(lex, tmp_path)
    avant = cible.read_bytes()
    with pytest.raises(ValueError, match="fichier du lexique"):
        lex.exporter(cible, format="sqlite")
    assert cible.read_bytes() == avant
    assert lex.info("chat")[0]["freq"] == freq


def test_la_ligne_de_commande_refuse_la_source(tmp_path, capsys):
    source = creer_tsv(tmp_path / "lex.tsv")
    avant = source.read_bytes()
    code = cli.main(["--lexique", str(source), "exporter", str(source), "--cgram", "NOM"])
    err = capsys.readouterr().err
    assert code != 0 and "fichier du lexique" in err and str(source) in err and len(err.splitlines()) == 1
    assert source.read_bytes() == avant


# ------------------------------------------------------------------ what stood at the destination


@pytest.mark.skipif(not POSIX, reason="POSIX permission bits and owners")
@pytest.mark.parametrize("format_", FORMATS)
@pytest.mark.parametrize("mode", [0o600, 0o640, 0o444, 0o2755])
def test_une_destination_garde_ses_droits_et_son_proprietaire(tmp_path, format_, mode):
    lex = ouvrir(tmp_path, "sqlite")
    sortie = tmp_path / "o"
    sortie.write_bytes(b"ancien")
    proprietaire = (os.getuid(), os.getgid())
    if os.geteuid() == 0:
        proprietaire = (12345, 23456)
        os.chown(sortie, *proprietaire)
    os.chmod(sortie, mode)
    assert lex.exporter(sortie, format=format_) == 5
    st = sortie.stat()
    assert stat.S_IMODE(st.st_mode) == mode and (st.st_uid, st.st_gid) == proprietaire
    assert not sortie.read_bytes().startswith(b"ancien")


@pytest.mark.skipif(not POSIX, reason="symbolic links need privileges on Windows")
@pytest.mark.parametrize("format_", FORMATS)
def test_un_lien_est_ecrit_au_travers(tmp_path, format_):
    lex = ouvrir(tmp_path, "tsv")
    (tmp_path / "ailleurs").mkdir()
    (tmp_path / "liens").mkdir()
    cible = tmp_path / "ailleurs" / "f"
    cible.write_bytes(b"ancien")
    os.chmod(cible, 0o600)
    # A chain: an absolute link to a relative one, read from its own folder.
    os.symlink("../ailleurs/f", tmp_path / "liens" / "relatif")
    os.symlink(tmp_path / "liens" / "relatif", tmp_path / "lien")
    assert lex.exporter(tmp_path / "lien", format=format_) == 5
    assert os.readlink(tmp_path / "lien") == str(tmp_path / "liens" / "relatif")
    assert os.readlink(tmp_path / "liens" / "relatif") == "../ailleurs/f"
    assert not cible.read_bytes().startswith(b"ancien") and stat.S_IMODE(cible.stat().st_mode) == 0o600
    assert os.listdir(tmp_path / "ailleurs") == ["f"] and sorted(os.listdir(tmp_path / "liens")) == ["relatif"]


@pytest.mark.skipif(not POSIX, reason="symbolic links need privileges on Windows")
def test_liens_pendants_et_boucles(tmp_path):
    lex = ouvrir(tmp_path, "tsv")
    os.symlink("nouveau.csv", tmp_path / "pendant")
    assert lex.exporter(tmp_path / "pendant") == 5
    assert (tmp_path / "pendant").is_symlink() and len(lire_csv(tmp_path / "nouveau.csv")) == 6
    os.symlink("boucle_b", tmp_path / "boucle_a")
    os.symlink("boucle_a", tmp_path / "boucle_b")
    with pytest.raises(OSError) as e:
        lex.exporter(tmp_path / "boucle_a")
    assert e.value.filename == str(tmp_path / "boucle_a")
    assert temporaires(tmp_path) == []


# ------------------------------------------------------------------ leftovers of killed exports


def pid_mort():
    p = subprocess.Popen([sys.executable, "-c", "pass"])
    p.wait()
    return p.pid


@pytest.mark.parametrize("format_", FORMATS)
def test_les_restes_d_exports_tues_sont_nettoyes(tmp_path, format_):
    lex = ouvrir(tmp_path, "sqlite")
    d = tmp_path / "d"
    d.mkdir()
    mort, vivant = pid_mort(), os.getpid()
    # name -> (seconds since last written, removed by the next export to "o")
    restes = {
        f".o.tmp-{mort}-abcdef": (120, True),
        f".o.tmp-{mort}-abcdef-journal": (120, True),
        ".o.tmp-Xy12ab": (120, True),  # a name without process id
        f".o.tmp-{vivant}-enco01": (120, False),  # its writer is alive
        f".o.tmp-{mort}-recent": (5, False),  # written a moment ago
        f".o.tmp-{vivant}-vieux1": (7200, True),  # not written for two hours
        f".autre.tmp-{mort}-abcdef": (7200, False),  # another destination's
        f".o.tmp{mort}-abcdef": (7200, False),
    }
    maintenant = time.time()
    for nom, (age, _) in restes.items():
        (d / nom).write_bytes(b"x" * 100)
        os.utime(d / nom, (maintenant - age, maintenant - age))
    (d / f".o.tmp-{mort}-dossier").mkdir()
    os.utime(d / f".o.tmp-{mort}-dossier", (maintenant - 7200, maintenant - 7200))
    # A link is no leftover, even one to an old regular file.
    (tmp_path / "vieux").write_bytes(b"x")
    os.utime(tmp_path / "vieux", (maintenant - 7200, maintenant - 7200))
    os.symlink(tmp_path / "vieux", d / f".o.tmp-{mort}-lien")
    os.utime(d / f".o.tmp-{mort}-lien", (maintenant - 7200, maintenant - 7200), follow_symlinks=False)
    assert lex.exporter(d / "o", format=format_) == 5
    gardes = sorted(n for n, (_, retire) in restes.items() if not retire) + [f".o.tmp-{mort}-dossier",
                                                                             f".o.tmp-{mort}-lien", "o"]
    assert sorted(os.listdir(d)) == sorted(gardes)


# ------------------------------------------------------------------ the files written


@pytest.mark.parametrize("backend", ["sqlite", "tsv"])
def test_base_exportee_en_journal_classique(tmp_path, backend):
    lex = ouvrir(tmp_path, backend)
    sortie = tmp_path / "o.sqlite"
    assert lex.exporter(sortie, format="sqlite") == 5
    entete = sortie.read_bytes()[:100]
    assert entete[18:20] == b"\x01\x01"  # rollback journal; a write-ahead log would read 2, 2
    conn = sqlite3.connect(f"{sortie.as_uri()}?mode=ro", uri=True)
    assert conn.execute("PRAGMA journal_mode").fetchone() == ("delete",)
    assert conn.execute("SELECT count(*) FROM formes").fetchone() == (5,)
    conn.close()
    assert sorted(os.listdir(tmp_path)) == sorted(["o.sqlite", "lex." + backend])


@pytest.mark.parametrize("format_", FORMATS)
@pytest.mark.parametrize("backend", ["sqlite", "tsv"])
def test_selection_vide(tmp_path, backend, format_):
    lex = ouvrir(tmp_path, backend)
    sortie = tmp_path / "o"
    assert lex.exporter(sortie, format=format_, cgram="INCONNU") == 0
    noms = COLONNES if backend == "sqlite" else [("freq" if c == "freq_opensubs" else c) for c in COLONNES]
    if format_ == "csv":
        assert lire_csv(sortie) == [noms]
    else:
        conn = sqlite3.connect(sortie)
        assert [r[1] for r in conn.execute("PRAGMA table_info(formes)")] == noms
        assert conn.execute("SELECT count(*) FROM formes").fetchone() == (0,)
        conn.close()


@pytest.mark.parametrize("format_", FORMATS)
@pytest.mark.parametrize("suffixe, separateur", [(".tsv", "\t"), (".csv", ",")])
def test_lexique_sans_entree(tmp_path, format_, suffixe, separateur):
    source = tmp_path / f"vide{suffixe}"
    source.write_text(separateur.join(["\ufeffortho", "phon", "freqfilms2", "nbsyll"]) + "\r\n", encoding="utf-8")
    lex = Lexique(source)
    sortie = tmp_path / "o"
    assert lex.exporter(sortie, format=format_) == 0
    attendu = list(next(iter(Lexique(_avec_une_ligne(tmp_path, source)).filtrer(limite=1))))
    assert attendu[0] == "ortho" and "freq" in attendu
    if format_ == "csv":
        assert lire_csv(sortie) == [attendu]
    else:
        conn = sqlite3.connect(sortie)
        assert [r[1] for r in conn.execute("PRAGMA table_info(formes)")] == attendu
        conn.close()


def _avec_une_ligne(tmp_path, source):
    # The same header with one record: its entry carries the names an empty one would.
    plein = tmp_path / ("plein" + source.suffix)
    separateur = "\t" if source.suffix == ".tsv" else ","
    plein.write_bytes(source.read_bytes() + separateur.join(["chat", "Sa", "3", "1"]).encode() + b"\r\n")
    return plein


# ------------------------------------------------------------------ bad input


@pytest.mark.parametrize("format_", FORMATS)
@pytest.mark.parametrize(
    "chemin, erreur, message",
    [
        ("a\x00b", ValueError, "embedded null byte"),
        (Path("a\x00b"), ValueError, "embedded null byte"),
        ("\ud800", UnicodeEncodeError, "surrogates not allowed"),
    ],
)
def test_chemins_que_open_refuse(tmp_path, monkeypatch, format_, chemin, erreur, message):
    lex = ouvrir(tmp_path, "tsv")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(erreur, match=message):
        lex.exporter(chemin, format=format_)
    with pytest.raises(erreur, match=message):
        open(chemin, "w")
    assert os.listdir(tmp_path) == ["lex.tsv"]


@pytest.mark.skipif(not POSIX, reason="POSIX folder permissions")
@pytest.mark.parametrize("format_", FORMATS)
def test_dossier_en_lecture_seule(tmp_path, format_):
    lex = ouvrir(tmp_path, "tsv")
    d = tmp_path / "ro"
    d.mkdir()
    (d / "o").write_bytes(b"precieux")
    os.chmod(d, 0o555)
    try:
        if os.access(d, os.W_OK):
            pytest.skip("this user writes into read-only folders")
        with pytest.raises(PermissionError) as e:
            lex.exporter(d / "o", format=format_)
        assert e.value.filename == str(d / "o")
        assert os.listdir(d) == ["o"] and (d / "o").read_bytes() == b"precieux"
    finally:
        os.chmod(d, 0o755)


@pytest.mark.skipif(not POSIX, reason="file size limit of POSIX processes")
@pytest.mark.parametrize("format_", FORMATS)
@pytest.mark.parametrize("backend", ["sqlite", "tsv"])
def test_disque_plein(tmp_path, backend, format_):
    # A process allowed to write no more than 64 kB meets what a full disk gives: a write
    # refused part way (EFBIG instead of ENOSPC).
    lignes = [(f"mot{i}", "mo", "mot", "NOM", "m", "s", float(i), 1, None) for i in range(20000)]
    source = (creer_sqlite if backend == "sqlite" else creer_tsv)(tmp_path / f"l.{backend}", lignes)
    sortie = tmp_path / "o"
    sortie.write_bytes(b"precieux")
    script = (
        "import resource, signal, sys\n"
        "from brivane_lexique import Lexique\n"
        "l = Lexique(sys.argv[1]); l.existe('x')\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (65536, resource.RLIM_INFINITY))\n"
        "try:\n"
        "    l.exporter(sys.argv[2], format=sys.argv[3])\n"
        "except Exception as e:\n"
        "    print(type(e).__name__, e)\n"
        "else:\n"
        "    print('ecrit')\n"
    )
    r = subprocess.run([sys.executable, "-c", script, str(source), str(sortie), format_],
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    if format_ == "csv":
        assert r.stdout.startswith("OSError [Errno 27]") and str(sortie) in r.stdout
    else:
        assert r.stdout.split()[0] in ("OperationalError", "DatabaseError")
    assert sortie.read_bytes() == b"precieux"
    assert temporaires(tmp_path) == []


@pytest.mark.parametrize("format_", FORMATS)
@pytest.mark.parametrize("backend", ["sqlite", "tsv"])
@pytest.mark.parametrize("rang", [1, 2, 3])
def test_rappel_qui_leve_a_chaque_position(chemins, tmp_path, backend, format_, rang):
    lignes = [(f"mot{i}", "mo", "mot", "NOM", "m", "s", float(i), 1, None) for i in range(12000)]
    lex = Lexique((creer_sqlite if backend == "sqlite" else creer_tsv)(tmp_path / f"l.{backend}", lignes))
    sortie = tmp_path / "o"
    sortie.write_bytes(b"precieux")
    vus = []

    def rappel(n):
        vus.append(n)
        if len(vus) == rang:
            raise LookupError(n)

    with pytest.raises(LookupError):
        lex.exporter(sortie, format=format_, callback=rappel)
    assert vus == [5000, 10000, 12000][:rang]
    assert sortie.read_bytes() == b"precieux" and temporaires(tmp_path) == []


@pytest.mark.parametrize("format_", FORMATS)
def test_connexion_qui_rend_des_octets(tmp_path, format_):
    lex = ouvrir(tmp_path, "sqlite")
    lex._get_conn().text_factory = bytes
    sortie = tmp_path / "o"
    assert lex.exporter(sortie, format=format_, colonnes=["ortho", "freq_opensubs"]) == 5
    if format_ == "csv":
        assert lire_csv(sortie)[0] == ["ortho", "freq_opensubs"]
    else:
        conn = sqlite3.connect(sortie)
        assert [r[1:3] for r in conn.execute("PRAGMA table_info(formes)")] == [("ortho", "TEXT"),
                                                                              ("freq_opensubs", "REAL")]
        assert conn.execute("SELECT freq_opensubs FROM formes").fetchall() == [(l[6],) for l in LIGNES]
        conn.close()


# ------------------------------------------------------------------ interrupts

INTERRUPTIONS = [("api", "tsv", "csv"), ("api", "sqlite", "sqlite"), ("cli", "tsv", "sqlite"),
                 ("cli", "sqlite", "csv")]


@pytest.mark.skipif(not POSIX, reason="SIGINT sent to another process")
@pytest.mark.parametrize("voie, backend, format_", INTERRUPTIONS)
def test_ctrl_c_pendant_un_export_du_lexique_reel(request, tmp_path, voie, backend, format_):
    source = request.getfixturevalue("grand_tsv" if backend == "tsv" else "grand_sqlite")
    d = tmp_path / "d"
    d.mkdir()
    sortie = d / "o"
    sortie.write_bytes(b"precieux")
    if voie == "api":
        code = (f"from brivane_lexique import Lexique\n"
                f"Lexique({str(source)!r}).exporter({str(sortie)!r}, format={format_!r})\nprint('fini')")
        commande = [sys.executable, "-c", code]
    else:
        commande = [sys.executable, "-m", "brivane_lexique", "--lexique", str(source), "exporter", str(sortie),
                    "--format", format_]
    p = subprocess.Popen(commande, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        # The export has started once its temporary file is there; then it runs for seconds.
        limite = time.monotonic() + 120
        while not temporaires(d) and p.poll() is None and time.monotonic() < limite:
            time.sleep(0.01)
        assert p.poll() is None, p.communicate()
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=60)
    finally:
        if p.poll() is None:
            p.kill()
    if p.returncode == 0:
        # On a busy machine the whole export can fit between two polls: nothing was interrupted.
        pytest.skip("the export ended before the interrupt reached it")
    if voie == "api":
        assert p.returncode == -signal.SIGINT and "KeyboardInterrupt" in err and "fini" not in out
    else:
        assert p.returncode == 130 and err.strip().endswith("brivane-lexique: interrompu")
    assert sortie.read_bytes() == b"precieux" and os.listdir(d) == ["o"]


@pytest.mark.parametrize("format_", FORMATS)
def test_source_sans_chemin(tmp_path, format_):
    # A lexicon whose source no longer names a file (its indexes built) still exports.
    lex = ouvrir(tmp_path, "tsv")
    assert lex.existe("chat") and lex.phone_de("chat") == "ʃa"
    lex._source = None
    assert lex.exporter(tmp_path / "o", format=format_) == 5
