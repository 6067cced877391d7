"""What a module computes, read as terms: an evaluator over the JSON interchange form that
keeps every name's meaning apart, whatever the names.

Values are opaque terms, hash-consed so that equal terms have equal ids: an operation of a
primitive kind makes, for its output number m, the term (kind, payload as canonical JSON,
ids of its inputs, m); free symbols, numbers, the entry's inputs and the incoming values of
listed cache slots are the leaves. Two modules agree when their results are the same ids.

An activation of a function has the values its body wrote, its parameters' bindings and its
caller's activation. A name means, the first rule that applies:
1. the latest value this body wrote under it;
2. a bound parameter's value;
3. for a dict parameter p bound by position to the name W, p itself or a name that begins
   with p and a point (the longest such p first): the text W followed by the rest of the
   name, read in the caller;
4. a name beginning with "param." or a named dimension of the function's own declared
   types: the symbol of that name;
5. in the entry function only, a name that begins with a dict parameter's name and a point:
   its symbol (a weight reference); in a flat function, which keeps its weight references
   as texts and may have had them renamed, any name;
6. otherwise nothing: the read raises Undefined.

A parameter bound to a name argument reads that name in the caller when it is read; the
caller's values cannot change while its callee runs, so this is the value at the time of
the call.
"""

import json

PRIMITIVE = {"view", "map", "fold", "tile", "read", "write", "contract", "literal", "iota",
             "random"}
NOT_PAYLOAD = {"kind", "outputs", "output_types", "args", "comments"}


class Undefined(Exception):
    """A name that no rule gives a value."""


class Unsupported(Exception):
    """A module outside what the reading covers (a form that stops flattening, a cache
    operation in an init or extend body, a loop without a threaded argument)."""


class Terms:
    """Hash-consed terms: each distinct key tuple gets one small int id."""

    def __init__(self):
        self.ids = {}
        self.keys = []

    def make(self, *key):
        found = self.ids.get(key)
        if found is None:
            found = self.ids[key] = len(self.keys)
            self.keys.append(key)
        return found

    def sym(self, name):
        return self.make("sym", name)

    def is_number(self, term):
        return self.keys[term][0] in ("int", "float")

    def number(self, value):
        # 2 and 2.0 stay apart; repr keeps 0.0 and -0.0 apart too.
        if isinstance(value, float):
            return self.make("float", repr(value))
        return self.make("int", value)

    def show(self, term, depth=4):
        """A term as readable text, nested terms shown down to `depth`."""
        if not isinstance(term, int):
            return str(term)
        key = self.keys[term]
        if key[0] in ("sym", "int", "float", "in", "incoming"):
            return f"{key[0]}({key[1]})"
        kind, payload, inputs, m = key
        inner = ", ".join(self.show(i, depth - 1) for i in inputs) if depth else "..."
        shown = f"{kind}{payload}({inner})"
        return f"{shown}#{m}" if m else shown


def is_dict(param):
    return param["ty"]["dtype"] == "*"


def named_dims(fn):
    """The symbolic dimensions of a function's declared types."""
    types = [p["ty"] for p in fn["params"] + fn["returns"]]
    types += [ty for op in fn["ops"] for ty in op.get("output_types", []) if ty]
    return {d for ty in types for d in ty["shape"] if isinstance(d, str)}


class Activation:
    def __init__(self, fn, bindings, caller, iteration, in_cache_body=False):
        self.fn = fn
        self.env = {}
        self.bindings = bindings  # name -> ("value", id) | ("alias", text) | ("dict", text)
        self.dicts = sorted(((p, w) for p, (kind, w) in bindings.items() if kind == "dict"),
                            key=lambda pw: -len(pw[0]))
        self.dims = named_dims(fn)
        self.caller = caller
        self.iteration = iteration  # of the innermost loop around it, through calls
        self.in_cache_body = in_cache_body


class Reading:
    """One reading of a module from its entry function, with the given cache keys.

    `weight_name` maps the text of a free name read in the entry to the text of its
    symbol (the weight renaming of a flat module made from files)."""

    def __init__(self, module, terms, keys=(), weight_name=None, flat=False):
        self.functions = module["functions"]
        self.flat = flat
        self.terms = terms
        self.keys = set(keys)
        self.weight_name = weight_name or (lambda name: name)
        self.slots = {}  # slot name -> its latest value
        self.inputs = {}  # the entry's inputs by name

    def run(self, entry, extras=()):
        """The values of the entry's declared returns, its parameters bound to the inputs
        by position and the names in `extras` after them to those slots' incoming values."""
        fn = self.functions[entry]
        inputs = [self.terms.make("in", i) for i in range(len(fn["params"]))]
        inputs += [self.terms.make("incoming", name) for name in extras]
        names = [p["name"] for p in fn["params"]] + list(extras)
        self.inputs = dict(zip(names, inputs))
        bindings = {name: ("value", v) for name, v in self.inputs.items()}
        act = Activation(fn, bindings, None, None)
        self.body(act)
        return [self.read(act, r["name"]) for r in fn["returns"]]

    # Names

    def read(self, act, name):
        while True:
            if name in act.env:
                return act.env[name]
            bound = act.bindings.get(name)
            if bound is not None:
                kind, what = bound
                if kind == "value":
                    return what
                act, name = act.caller, what  # an alias, or a dict parameter itself
                continue
            field = self.dict_field(act, name)
            if field is not None:
                act, name = act.caller, field
                continue
            if name.startswith("param.") or name in act.dims:
                return self.terms.sym(name)
            if act.caller is None and (self.flat or self.entry_field(act, name)):
                return self.terms.sym(self.weight_name(name))
            raise Undefined(name)

    @staticmethod
    def entry_field(act, name):
        return any(is_dict(p) and name.startswith(p["name"] + ".") for p in act.fn["params"])

    def dict_field(self, act, name):
        for p, w in act.dicts:
            if name.startswith(p + "."):
                return w + name[len(p):]
        return None

    def arg(self, act, atom):
        if isinstance(atom, str):
            return self.read(act, atom)
        return self.terms.number(atom)

    # Calls

    def bind(self, fn, items):
        """Binds a callee's parameters to `items`, each ("name", text) or ("value", id)."""
        params = fn["params"]
        u, t = len(items), len(params)
        if u > t or (u == 0 and t > 0):
            raise Unsupported(f"a call of {fn['name']} with {u} arguments for {t} parameters")
        bindings = {}
        for param, (kind, what) in zip(params, items[:u - 1 if u < t else u]):
            if kind == "name":
                kind = "dict" if is_dict(param) else "alias"
            bindings[param["name"]] = (kind, what)
        last_kind, last = items[-1] if items else (None, None)
        if u < t and last_kind == "name":
            for param in params[u - 1:]:
                bindings[param["name"]] = ("alias", f"{last}.{param['name']}")
        return bindings

    def call(self, target, items, caller, iteration, wanted, in_cache_body=False):
        """The first `wanted` returns of `target` called with `items` from `caller`."""
        fn = self.functions.get(target)
        if fn is None:
            raise Unsupported(f"no function {target}")
        act = Activation(fn, self.bind(fn, items), caller, iteration, in_cache_body)
        self.body(act)
        return [self.read(act, r["name"]) for r in fn["returns"][:wanted]]

    def items(self, args):
        return [("name", a) if isinstance(a, str) else ("value", self.terms.number(a))
                for a in args]

    # Operations

    def body(self, act):
        for op in act.fn["ops"]:
            kind = op["kind"]
            if kind in PRIMITIVE:
                self.primitive(act, op)
            elif kind == "call":
                self.call_op(act, op)
            elif kind == "loop":
                self.loop(act, op)
            elif kind == "cache":
                self.cache(act, op)
            else:
                raise Unsupported(f"no meaning for {kind}")

    def primitive(self, act, op):
        payload = {k: v for k, v in op.items() if k not in NOT_PAYLOAD and v != {}}
        text = json.dumps(payload, sort_keys=True, separators=(",", ":"))
        inputs = tuple(self.arg(act, a) for a in op["args"])
        for m, name in enumerate(op["outputs"]):
            act.env[name] = self.terms.make(op["kind"], text, inputs, m)

    def call_op(self, act, op):
        outputs = op["outputs"]
        if not outputs:
            raise Unsupported("a call without outputs")
        # All returns are read before any output is written: a return may stand for the
        # caller's name that an output overwrites.
        values = self.call(op["target"], self.items(op["args"]), act, act.iteration,
                           len(outputs), act.in_cache_body)
        for name, value in zip(outputs, values):
            act.env[name] = value

    def loop(self, act, op):
        outputs, args, count = op["outputs"], op["args"], op["count"]
        if not outputs or not isinstance(count, int):
            raise Unsupported("a loop without outputs or with a named count")
        x = outputs[0]
        threaded = next((j for j, a in enumerate(args) if a == x), None)
        if threaded is None:
            raise Unsupported("a loop without a threaded argument")
        if count == 0:
            return
        current = self.read(act, x)
        for i in range(count):
            items = self.items([starred(a, i) for a in args])
            items[threaded] = ("value", current)
            returned = self.call(op["target"], items, act, i, 1, act.in_cache_body)
            if not returned:
                raise Unsupported("a loop over a function without returns")
            current = returned[0]
        act.env[x] = current

    def cache(self, act, op):
        if act.in_cache_body:
            raise Unsupported("a cache operation in an init or extend body")
        s = op["var"]
        if s.endswith(".*") and act.iteration is not None:
            s = starred(s, act.iteration)
        items = self.items(op["args"])
        if s not in self.keys:
            value = self.slots[s] = self.first_return(op["init"], items, act)
        else:
            # An entry parameter of the slot's name takes the slot's place.
            value = self.inputs[s] if s in self.inputs else self.terms.make("incoming", s)
            if op.get("extend") is None:
                self.slots[s] = value
            else:
                items = [("value", value)] + items
                self.slots[s + "_new"] = self.first_return(op["extend"], items, act)
        if op["outputs"]:
            act.env[op["outputs"][0]] = value

    def first_return(self, target, items, act):
        values = self.call(target, items, act, act.iteration, 1, in_cache_body=True)
        if not values:
            raise Unsupported(f"{target} returns nothing")
        return values[0]


def starred(name, i):
    """A name ending in ".*" in iteration i: its stem, a point and i."""
    if isinstance(name, str) and len(name) >= 2 and name.endswith(".*"):
        return f"{name[:-2]}.{i}"
    return name


def meanings(module, flat, entry, keys, weight_name=None):
    """(the module's values, the flat form's values): the declared returns by position,
    then each cache slot's latest value in the module against the flat return that shows
    it. Raises Undefined or Unsupported for a module outside the reading."""
    terms = Terms()
    source = Reading(module, terms, keys, weight_name)
    expected = source.run(entry)
    # A flat function returns names only: a number that a call's parameter stands for has
    # none to be returned under.
    if any(terms.is_number(value) for value in [*expected, *source.slots.values()]):
        raise Undefined("a number returned")
    flat_fn = flat["functions"][entry]
    fn = module["functions"][entry]
    extras = [p["name"] for p in flat_fn["params"][len(fn["params"]):]]
    values = Reading(flat, terms, flat=True).run(entry, extras)
    declared = len(fn["returns"])
    got, slot_returns = values[:declared], values[declared:]
    # A slot's return has the slot's name, or, where no operation writes the slot's value,
    # that value's own name, in the order of the slots; it is left out where a declared
    # return has the slot's name or shows its value.
    rest = list(zip((r["name"] for r in flat_fn["returns"][declared:]), slot_returns))
    declared_names = {r["name"] for r in fn["returns"]}
    for name, value in source.slots.items():
        if name in declared_names:
            continue
        expected.append(value)
        if rest and rest[0][1] == value:
            got.append(rest.pop(0)[1])
        elif value in got[:declared]:
            got.append(value)
        elif rest and rest[0][0] == name:
            got.append(rest.pop(0)[1])
        else:
            got.append(f"no return for slot {name}")
    expected += ["no slot"] * len(rest)
    got += [value for _, value in rest]
    return terms, expected, got
