"""quillan/_core.pyi against the module and the shapes of its results."""

import ast
import inspect
import pathlib

import pytest

import quillan
import quillan._core as core
from quillan.sim import data

STUB = ast.parse((pathlib.Path(quillan.__file__).parent / "_core.pyi").read_text())
CLASSES = {n.name: n for n in STUB.body if isinstance(n, ast.ClassDef)}
FUNCTIONS = {n.name: n for n in STUB.body if isinstance(n, ast.FunctionDef)}
METHODS = {
    n.name: n for n in CLASSES["TdxClient"].body if isinstance(n, ast.FunctionDef) and n.name != "__new__"
}


def params(node: ast.FunctionDef) -> list[str]:
    return [a.arg for a in node.args.args]


def fields(name: str) -> list[str]:
    return [n.target.id for n in CLASSES[name].body if isinstance(n, ast.AnnAssign)]


@pytest.mark.parametrize(
    "owner, name", [(core.TdxClient, n) for n in sorted(METHODS)] + [(core, n) for n in sorted(FUNCTIONS)]
)
def test_signatures(owner, name):
    stub = (METHODS if owner is core.TdxClient else FUNCTIONS)[name]
    assert list(inspect.signature(getattr(owner, name)).parameters) == params(stub)


def test_stub_and_module_have_the_same_members():
    assert {n for n in dir(core.TdxClient) if not n.startswith("_")} == set(METHODS)
    assert set(core.__all__) == set(FUNCTIONS) | {"TdxClient"}


@pytest.mark.parametrize(
    "name, result",
    [
        ("SecurityBar", lambda: data.security_bars(9, 1, "600036", 0, 1)[0]),
        ("SecurityQuote", lambda: data.security_quotes([(1, "600036")])[0]),
        ("Transaction", lambda: data.transaction_data(1, "600036", 0, 1)[0]),
        ("FinanceInfo", lambda: data.finance_info(1, "600036")),
        ("CompanyInfoEntry", lambda: data.company_info_category(1, "600036")[0]),
        # Every layout of the events, in the order of first appearance.
        ("XdxrRecord", lambda: {k: 0 for e in data.xdxr_info(0, "000001") for k in e}),
    ],
)
def test_result_shapes(name, result):
    keys = list(result())
    if name == "XdxrRecord":
        assert sorted(keys) == sorted(fields(name)) and keys[:5] == fields(name)[:5]
    else:
        assert keys == fields(name)


def test_columnar_stub_names_every_member():
    import quillan._columnar as columnar

    stub = ast.parse((pathlib.Path(quillan.__file__).parent / "_columnar.pyi").read_text())
    declared = {n.name for n in stub.body if isinstance(n, ast.FunctionDef | ast.ClassDef)}
    assert set(columnar.__all__) == declared
