"""The installed .pyi stubs describe the extension modules as they really are."""

import ast
import importlib
import inspect
import types
from pathlib import Path

import pytest

import brivane_lexique

MODULES = ["lexique", "_recherche", "_loaders", "_phonetique", "_morphologie", "_aliases", "_semantique", "_utils", "_voisinage"]
DOSSIER = Path(brivane_lexique.__file__).resolve().parent


def _parametres(args: ast.arguments) -> list[tuple[str, str, bool]]:
    """(name, kind, has default) of every parameter, in order."""
    positionnels = args.posonlyargs + args.args
    avec_defaut = len(positionnels) - len(args.defaults)
    res = [(a.arg, "pos", i >= avec_defaut) for i, a in enumerate(positionnels)]
    if args.vararg:
        res.append((args.vararg.arg, "*", False))
    res += [(a.arg, "kw", d is not None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    if args.kwarg:
        res.append((args.kwarg.arg, "**", False))
    return res


def _signatures_runtime(objet) -> list[list[tuple[str, str, bool]]]:
    """Parameters read from the signature line(s) that nanobind puts in front of __doc__."""
    signatures = getattr(objet, "__nb_signature__", None)
    if signatures is None:
        # A function called without nanobind's dispatch keeps nanobind's text, signature first.
        if not isinstance(objet, (types.BuiltinFunctionType, types.MethodDescriptorType)):
            return []
        signatures = [(objet.__doc__.split("\n")[0],)]
    res = []
    for sig, *_ in signatures:
        texte = sig if sig.startswith("def ") else "def " + sig
        texte = texte.replace("\\", "").split("\n")[0]
        res.append(_parametres(ast.parse(texte.rstrip(":") + ": ...").body[0].args))
    return res


def _definitions(noeuds) -> dict[str, ast.AST]:
    res = {}
    for n in noeuds:
        if isinstance(n, (ast.FunctionDef, ast.ClassDef)):
            res[n.name] = n
        elif isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name):
            res[n.target.id] = n
        elif isinstance(n, ast.Assign):
            res.update({t.id: n for t in n.targets if isinstance(t, ast.Name)})
    return res


def _noms_publics(objet) -> list[str]:
    return [n for n in vars(objet) if not (n.startswith("__") and n.endswith("__"))]


@pytest.fixture(scope="module", params=MODULES)
def module_et_stub(request):
    chemin = DOSSIER / f"{request.param}.pyi"
    assert chemin.is_file(), f"missing stub {chemin.name}"
    return importlib.import_module(f"brivane_lexique.{request.param}"), ast.parse(chemin.read_text("utf-8"))


def test_py_typed_installe():
    assert (DOSSIER / "py.typed").is_file()


def test_stub_couvre_le_module(module_et_stub):
    module, stub = module_et_stub
    defs = _definitions(stub.body)
    importes = {a.asname or a.name.split(".")[0] for n in stub.body if isinstance(n, (ast.Import, ast.ImportFrom))
                for a in n.names}
    # Every name of the module, its own and those it binds from the package, is declared or imported;
    # standard-library helpers it keeps a reference to (csv, Path) are not part of its interface.
    def du_paquet(objet):
        return getattr(objet, "__module__", None) or getattr(objet, "__name__", "")

    manquants = [n for n in _noms_publics(module) if n not in defs and n not in importes
                 and du_paquet(getattr(module, n)).startswith("brivane_lexique")]
    assert manquants == []
    for nom in _noms_publics(module):
        objet = getattr(module, nom)
        if _signatures_runtime(objet) and getattr(objet, "__module__", None) == module.__name__:
            assert isinstance(defs.get(nom), ast.FunctionDef), nom
            assert _parametres(defs[nom].args) in _signatures_runtime(objet), nom


def test_methodes_de_lexique():
    from brivane_lexique.lexique import Lexique

    stub = ast.parse((DOSSIER / "lexique.pyi").read_text("utf-8"))
    classe = _definitions(stub.body)["Lexique"]
    methodes = _definitions(classe.body)
    for nom in _noms_publics(Lexique):
        objet = inspect.getattr_static(Lexique, nom)
        assert nom in methodes, nom
        runtime = _signatures_runtime(getattr(objet, "__func__", objet))
        if runtime and isinstance(methodes[nom], ast.FunctionDef):
            assert _parametres(methodes[nom].args) in runtime, nom


def test_stub_sans_nom_indefini(module_et_stub):
    """Every dotted name used in an annotation (os.PathLike, sqlite3.Connection...) is imported."""
    _, stub = module_et_stub
    importes = {a.asname or a.name for n in ast.walk(stub) if isinstance(n, ast.Import) for a in n.names}
    importes |= {a.asname or a.name for n in ast.walk(stub) if isinstance(n, ast.ImportFrom) for a in n.names}
    definis = set(_definitions(stub.body)) | importes
    utilises = set()
    for n in ast.walk(stub):
        for ann in [getattr(n, "returns", None), getattr(n, "annotation", None)]:
            if ann is not None:
                utilises |= {x.id for x in ast.walk(ann) if isinstance(x, ast.Name)}
    builtins = set(dir(__import__("builtins")))
    assert utilises - definis - builtins == set()
