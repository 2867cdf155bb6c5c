"""The README's examples run as written.

Python blocks run in order in one namespace; a line ending in `# -> value` must give that value.
In shell blocks each `brivane-lexique` line goes through cli.main; the lines under a `$` prompt are
the output it must print (`...` alone ends the comparison, a line ending in `...` is a prefix), and
`; echo $?` adds stderr and the exit status to what is compared. Other commands (pip, python) are
left to the CI. Each runs on the embedded lexicon, the whole lexique_fr.
"""

import ast
import contextlib
import io
import re
import shlex
from pathlib import Path

import pytest

from brivane_lexique import cli
from brivane_lexique.lexique import Lexique

README = Path(__file__).resolve().parents[1] / "README.md"
BLOC = re.compile(r"^```(\w+)\n(.*?)^```", re.S | re.M)
ATTENDU = re.compile(r"^(?P<code>.*?)#\s*->\s*(?P<valeur>.*)$")


def blocs(langue):
    texte = README.read_text(encoding="utf-8")
    return [(texte[: m.start()].count("\n") + 1, m.group(2)) for m in BLOC.finditer(texte) if m.group(1) == langue]


BLOCS_SH = [b for b in blocs("sh") if "brivane-lexique" in b[1]]


@pytest.fixture
def lexique_du_readme(monkeypatch, tmp_path):
    """Le dossier courant des exemples : vide."""
    monkeypatch.chdir(tmp_path)


def valeur_attendue(texte):
    # "[]   (prose)" : the value is what reads as a literal before the prose.
    for fin in [len(texte), *[m.start() for m in re.finditer(r"\s{2,}\(", texte)]]:
        try:
            return ast.literal_eval(texte[:fin].strip())
        except (ValueError, SyntaxError):
            continue
    raise AssertionError(f"valeur illisible apres '# ->' : {texte!r}")


def instrumenter(code, ligne0):
    """Chaque `expr  # -> valeur` devient une verification, a la meme indentation."""
    lignes = []
    for i, ligne in enumerate(code.splitlines()):
        m = ATTENDU.match(ligne)
        if m:
            retrait = len(ligne) - len(ligne.lstrip())
            expr = m.group("code").strip()
            attendu = valeur_attendue(m.group("valeur"))
            ligne = " " * retrait + f"_verifier({expr}, {attendu!r}, {ligne0 + 1 + i})"
        lignes.append(ligne)
    return "\n".join(lignes)


def _verifier(obtenu, attendu, numero):
    assert obtenu == attendu, f"README.md ligne {numero} : {obtenu!r} au lieu de {attendu!r}"


def test_exemples_python(lexique_du_readme):
    espace = {"_verifier": _verifier, "__name__": "readme"}
    for ligne0, code in blocs("python"):
        exec(compile(instrumenter(code, ligne0), f"README.md:{ligne0}", "exec"), espace)
    fermer = [v for v in espace.values() if isinstance(v, Lexique)]
    for lex in fermer:
        lex.close()


def executer(commande):
    sortie, erreurs = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(sortie), contextlib.redirect_stderr(erreurs):
        try:
            code = cli.main(shlex.split(commande)[1:])
        except SystemExit as fin:  # --version, --help
            code = fin.code
    return code, sortie.getvalue(), erreurs.getvalue()


def commandes(bloc):
    """(commande, lignes montrees ou None, echo du code de sortie) pour chaque brivane-lexique."""
    lignes = bloc.splitlines()
    invites = any(l.startswith("$ ") for l in lignes)
    resultat = []
    for i, ligne in enumerate(lignes):
        if invites and not ligne.startswith("$ "):
            continue
        ligne = ligne.removeprefix("$ ")
        montre = None
        if invites:
            suite = []
            for l in lignes[i + 1:]:
                if l.startswith("$ "):
                    break
                suite.append(l)
            montre = suite or None  # a prompt followed by another: output not shown
        echo = ligne.endswith("; echo $?")
        ligne = ligne.removesuffix("; echo $?")
        for morceau in ligne.split("&&"):
            morceau = re.sub(r"\s+#.*$", "", morceau).strip()
            if morceau.startswith("brivane-lexique"):
                resultat.append((morceau, montre, echo))
    return resultat


def comparer(obtenu, montre, contexte):
    obtenues = obtenu.splitlines()
    for i, attendue in enumerate(montre):
        if attendue == "...":
            return
        assert i < len(obtenues), f"{contexte} : sortie trop courte, {obtenu!r}"
        if attendue.endswith("..."):
            assert obtenues[i].startswith(attendue[:-3]), f"{contexte} : {obtenues[i]!r}"
        else:
            assert obtenues[i].rstrip() == attendue.rstrip(), f"{contexte} : {obtenues[i]!r}"
    assert len(obtenues) == len(montre), f"{contexte} : lignes en trop, {obtenu!r}"


@pytest.mark.parametrize("ligne0, bloc", BLOCS_SH, ids=[f"ligne{n}" for n, _ in BLOCS_SH])
def test_exemples_shell(lexique_du_readme, ligne0, bloc):
    for commande, montre, echo in commandes(bloc):
        code, out, err = executer(commande)
        contexte = f"README.md ligne {ligne0} : {commande}"
        if echo:
            out = out + err + f"{code}\n"
        else:
            assert code == 0, f"{contexte} : code {code}, {err!r}"
        if montre is not None:
            comparer(out, montre, contexte)


def test_le_readme_a_des_exemples_verifies():
    # Guards the extraction itself: a change of fence or prompt style must not empty the test.
    assert len(blocs("python")) >= 10 and len(BLOCS_SH) >= 15
    assert sum(len(commandes(b)) for _, b in BLOCS_SH) >= 40
    assert sum(bool(ATTENDU.match(l)) for _, b in blocs("python") for l in b.splitlines()) >= 15
    demarrage = [c for c, _, _ in commandes(BLOCS_SH[0][1])]
    assert demarrage == ["brivane-lexique rimes chanter"]
