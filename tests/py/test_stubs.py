"""The type stubs velorn/_velorn.pyi against the module they describe."""

import ast
import inspect
import pathlib
import unittest

import _velorn

STUBS = pathlib.Path(__file__).resolve().parents[2] / "velorn" / "_velorn.pyi"

KINDS = {
    "posonlyargs": inspect.Parameter.POSITIONAL_ONLY,
    "args": inspect.Parameter.POSITIONAL_OR_KEYWORD,
    "kwonlyargs": inspect.Parameter.KEYWORD_ONLY,
}


def stub_tree():
    return ast.parse(STUBS.read_text(encoding="utf-8"), filename=str(STUBS))


def stub_functions(tree):
    return [node for node in tree.body if isinstance(node, ast.FunctionDef)]


def stub_parameters(function):
    """(name, kind, default) per parameter; the default as a value, or `empty`."""
    a = function.args
    positional = a.posonlyargs + a.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults))
    defaults += [ast.literal_eval(d) for d in a.defaults]
    params = []
    for group in ("posonlyargs", "args"):
        for arg in getattr(a, group):
            params.append((arg.arg, KINDS[group], defaults[len(params)]))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        value = inspect.Parameter.empty if default is None else ast.literal_eval(default)
        params.append((arg.arg, KINDS["kwonlyargs"], value))
    if a.vararg or a.kwarg:
        params.append(("*args or **kwargs", None, None))
    return params


def module_parameters(function):
    return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()]


class StubsTest(unittest.TestCase):
    def test_functions_in_the_order_of_all(self):
        tree = stub_tree()
        self.assertEqual([f.name for f in stub_functions(tree)], _velorn.__all__)
        declared = next(
            node.value for node in tree.body
            if isinstance(node, ast.Assign) and node.targets[0].id == "__all__"
        )
        self.assertEqual(ast.literal_eval(declared), _velorn.__all__)

    def test_parameters_match_the_signatures(self):
        for function in stub_functions(stub_tree()):
            with self.subTest(function.name):
                self.assertEqual(
                    stub_parameters(function),
                    module_parameters(getattr(_velorn, function.name)),
                )

    def test_each_function_is_typed_and_documented(self):
        for function in stub_functions(stub_tree()):
            with self.subTest(function.name):
                self.assertEqual(ast.unparse(function.returns), "str")
                annotations = {
                    arg.arg: ast.unparse(arg.annotation)
                    for arg in function.args.args + function.args.kwonlyargs
                }
                expected = {
                    name: {"width": "int", "cache_keys": "Sequence[str]"}.get(name, "str")
                    for name in annotations
                }
                self.assertEqual(annotations, expected)
                doc = ast.get_docstring(function)
                self.assertIn("Raises", doc)
                # which text form comes back
                self.assertRegex(
                    doc, "(?i)canonical vel source text|JSON interchange form|check result")


if __name__ == "__main__":
    unittest.main()
