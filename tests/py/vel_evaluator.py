"""What a module computes: a small evaluator over the JSON interchange form.

A body runs its operations in order and a name stands for the latest value written to it
(a parameter's value until the body writes that name); a function returns the latest
values of its declared return names. Values are integers modulo a prime and every map is
a function over them whose result depends on the order of its arguments, so a flat form
that reads the wrong value almost surely computes another result.

Calls bind their arguments to the callee's parameters by position; a loop threads its
output name through its iterations, each a call of its target whose first return is the
next value. A cache operation stands for its slot's value right after it: the init
function's first return for a slot not fed from outside, the incoming value for one that
is, while an extend function's first return becomes the slot's new value (the slot's name
followed by "_new"). A var ending in ".*" names one slot per iteration of the innermost
loop around it.
"""

PRIME = 1_000_003


class Undefined(Exception):
    """A name read before anything wrote it."""


def apply_map(function, values):
    if function == "neg":
        return -values[0] % PRIME
    if function == "sub":
        return (values[0] - sum(values[1:])) % PRIME
    if function == "mul":
        out = 1
        for v in values:
            out = out * v % PRIME
        return out
    if function == "mix":  # weighs each argument by its position
        return sum((3 * k + 1) * v for k, v in enumerate(values, 1)) % PRIME
    return sum(values) % PRIME  # add


class Evaluator:
    def __init__(self, module, cache_keys=(), incoming=None):
        self.functions = module["functions"]
        self.keys = set(cache_keys)
        self.incoming = dict(incoming or {})  # the listed slots' values
        self.slots = {}  # slot name -> latest value, in order of first writing

    def run(self, entry, args):
        """The values of the entry function's declared returns for `args`."""
        return self.call(entry, args, None)

    def call(self, name, args, iteration):
        fn = self.functions[name]
        env = {p["name"]: v for p, v in zip(fn["params"], args)}
        for op in fn["ops"]:
            self.op(op, env, iteration)
        return [read(env, r["name"]) for r in fn["returns"]]

    def op(self, op, env, iteration):
        kind, values = op["kind"], [read(env, a) for a in op["args"]]
        if kind == "map":
            env[op["outputs"][0]] = apply_map(op["function"], values)
        elif kind == "call":
            for name, value in zip(op["outputs"], self.call(op["target"], values, iteration)):
                env[name] = value
        elif kind == "loop":
            x = op["outputs"][0]
            threaded = op["args"].index(x)
            for i in range(op["count"]):
                values[threaded] = self.call(op["target"], values, i)[0]
            env[x] = values[threaded]
        elif kind == "cache":
            env[op["outputs"][0]] = self.cache(op, values, iteration)
        else:
            raise ValueError(f"no meaning for {kind}")

    def cache(self, op, values, iteration):
        s = op["var"]
        if s.endswith(".*") and iteration is not None:
            s = f"{s[:-2]}.{iteration}"
        if s not in self.keys:
            self.slots[s] = self.call(op["init"], values, None)[0]
            return self.slots[s]
        value = self.incoming[s]
        if op.get("extend") is None:
            self.slots[s] = value
        else:
            self.slots[s + "_new"] = self.call(op["extend"], [value] + values, None)[0]
        return value


def read(env, name):
    if not isinstance(name, str):
        raise ValueError("numbers have no meaning here")
    if name not in env:
        raise Undefined(name)
    return env[name]
