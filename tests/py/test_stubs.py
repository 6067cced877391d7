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

    def test_binding_follows_the_stubs(self):
        # The stubs, not the signature texts: what a call may pass and how it is refused.
        valid = {"str": "", "int": 1, "Sequence[str]": []}
        for function in stub_functions(stub_tree()):
            name, a = function.name, function.args
            call = getattr(_velorn, name)
            positional = [arg.arg for arg in a.args]
            required = positional[:len(positional) - len(a.defaults)]
            with self.subTest(name):
                with self.assertRaises(TypeError) as missing:
                    call()
                quoted = [f"'{p}'" for p in required]
                listed = " and ".join(quoted) if len(quoted) <= 2 else (
                    ", ".join(quoted[:-1]) + ", and " + quoted[-1])
                plural = "argument" if len(required) == 1 else "arguments"
                self.assertEqual(str(missing.exception),
                                 f"{name}() missing {len(required)} required positional "
                                 f"{plural}: {listed}")
                with self.assertRaises(TypeError) as extra:
                    call(*[None] * (len(positional) + 1))
                counts = (str(len(positional)) if len(required) == len(positional)
                          else f"from {len(required)} to {len(positional)}")
                self.assertEqual(str(extra.exception),
                                 f"{name}() takes {counts} positional arguments but "
                                 f"{len(positional) + 1} were given")
                # Each parameter by its keyword; wrong from one on, the first of them is named.
                params = a.args + a.kwonlyargs
                for i, param in enumerate(params):
                    given = {p.arg: valid[ast.unparse(p.annotation)] for p in params[:i]}
                    given.update({p.arg: object() for p in params[i:]})
                    with self.assertRaises(TypeError) as wrong:
                        call(**given)
                    self.assertTrue(str(wrong.exception).startswith(f"argument '{param.arg}': "),
                                    str(wrong.exception))

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
