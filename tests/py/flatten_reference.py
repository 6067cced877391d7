"""A plain flattener over the JSON interchange form, written for clarity rather than speed.

It follows the flattening step by step: recursive, nothing memoised, every callee checked
and then walked afresh for every call and every iteration, so that the order of its checks
is the order in which a straightforward expansion meets them. The differential test
compares it with the extension module's flatten_json, output and stop messages alike.

It works in three steps:
- checking meets every stop of expansion, in the order in which expansion meets them;
- building walks the entry once. Every function being inlined is a level (the entry at the
  bottom, then each call, loop iteration and cache slot's body in the one around it), and
  every name read there resolves to what it stands for: a value that an earlier operation of
  the flat function wrote, a text the flat function keeps as it is, or a number. So a value
  is never taken for another of the same text. Each output of a copied operation is a new
  value, with its letters: the names that inlining gives it, the first preferred;
- naming gives each value, in the order written, its pin (the name of a declared return or
  of a cache slot that it is the final value of), else the first of its letters under which
  it captures nothing, else a fresh name.

Modules are the dicts that json.loads makes of the interchange form; names are str, integer
arguments int and float arguments float. The result is the flat module as a dict whose
members stand in the order the writer writes them.
"""

import copy
from dataclasses import dataclass

NO_ENTRY = "no entry found for key"
NO_OUTPUTS = "index out of bounds: the len is 0 but the index is 0"
NO_THREADED_ARG = "Loop must have a threaded arg matching output name"
CACHE_NEEDS_TYPE = "cache slot must have a declared type"
CONFIG_PREFIX = "param."
DICT_DTYPE = "*"
NEW_SUFFIX = "_new"


class Stop(Exception):
    """The flattening stopped; args[0] is its message."""


def lookup(functions, name):
    if name not in functions:
        raise Stop(NO_ENTRY)
    return functions[name]


def is_name(arg):
    return isinstance(arg, str)


def is_dict(param):
    return param["ty"]["dtype"] == DICT_DTYPE


def is_config_name(name):
    return name.startswith(CONFIG_PREFIX)


def starred(name, i):
    """A name ending in ".*" made iteration i's own: its stem, a point and i."""
    if len(name.encode()) >= 2 and name.endswith(".*"):
        return f"{name[:-2]}.{i}"
    return name


# --------------------------------------------------------------------------------------
# Names of the module


def named_dims(ty):
    return [d for d in ty["shape"] if isinstance(d, str)]


def function_dims(fn):
    """The symbolic dimensions of a function's declared types."""
    dims = set()
    for p in fn["params"] + fn["returns"]:
        dims.update(named_dims(p["ty"]))
    for op in fn["ops"]:
        for ty in op["output_types"]:
            if ty is not None:
                dims.update(named_dims(ty))
    return dims


def global_names(module):
    """Arguments that are configuration names or symbolic dimensions of their function."""
    out = set()
    for fn in module["functions"].values():
        dims = function_dims(fn)
        for op in fn["ops"]:
            for arg in op["args"]:
                if is_name(arg) and (is_config_name(arg) or arg in dims):
                    out.add(arg)
    return out


def no_arguments_message(target, params):
    noun = "parameter" if params == 1 else "parameters"
    return f"Call to '{target}' passes no arguments for its {params} {noun}"


def check_binding(callee, call):
    """The stops of binding the callee's parameters to the call's arguments."""
    u, t = len(call["args"]), len(callee["params"])
    if u == 0 and t > 0:
        raise Stop(no_arguments_message(call["target"], t))
    v = u - 1 if u < t else u
    if v > t:
        raise Stop(f"range end index {u} out of range for slice of length {t}")


# --------------------------------------------------------------------------------------
# Checks: every stop that expansion meets, in the order in which it meets them


class Checker:
    def __init__(self, module):
        self.functions = module["functions"]

    def expand(self, name, stack):
        """Meets the stops of expanding `name`; returns nothing."""
        fn = lookup(self.functions, name)
        for op in fn["ops"]:
            if op["kind"] == "call":
                if not op["outputs"]:
                    raise Stop(NO_OUTPUTS)
                self.call(op, stack)
            elif op["kind"] == "loop":
                count, _ = loop_shape(op)
                for i in range(count):
                    self.call({"target": op["target"], "args": op["args"], "outputs": [""]},
                              stack)

    def call(self, call, stack):
        target = call["target"]
        callee = lookup(self.functions, target)
        if target in stack:
            raise Stop(f"Function '{target}' calls itself and cannot be flattened")
        stack.append(target)
        self.expand(target, stack)
        stack.pop()
        check_binding(callee, call)


def loop_shape(loop):
    """(count, threaded position) of a loop, or Stop."""
    count = loop.get("count")
    if isinstance(count, bool) or not isinstance(count, int):
        # A text names the count; anything else that is not a number names it "".
        name = count if isinstance(count, str) else ""
        raise Stop(f"Loop count '{name}' not resolved before flattening")
    if not loop["outputs"]:
        raise Stop(NO_OUTPUTS)
    x = loop["outputs"][0]
    threaded = next((k for k, a in enumerate(loop["args"]) if is_name(a) and a == x), None)
    if threaded is None:
        raise Stop(NO_THREADED_ARG)
    return count, threaded


# --------------------------------------------------------------------------------------
# What a read stands for


END = float("inf")  # where the flat function's returns are read: after every operation


@dataclass(eq=False)
class Value:
    """An output of an operation of the flat function."""

    letters: list  # the names it may take, the first preferred
    written: int  # the operation that writes it
    last: float  # the last operation that reads it (`written` when none), END when returned
    position: int = 0  # among the outputs of its operation, which are written in order
    pin: str = None  # the name of the return it is the final value of, if pinned
    name: str = None  # the name it is given


@dataclass(frozen=True)
class Text:
    """A text that the flat function keeps as it is."""

    text: str


@dataclass(frozen=True)
class Number:
    """An integer or float argument of the module."""

    value: object


@dataclass(frozen=True)
class Special:
    """An argument that is a value, not a name: a loop's threaded value, or an extend
    body's incoming value."""

    ref: object


def first_name(ref):
    """The first name a value goes by, a text's own, or None for a number."""
    if isinstance(ref, Value):
        return ref.letters[0]
    if isinstance(ref, Text):
        return ref.text
    return None


# --------------------------------------------------------------------------------------
# Levels

ENTRY, CALL, ITERATION, SLOT = "entry", "call", "iteration", "slot"


def last_writers(fn):
    """The position of the operation that writes each return last: all outputs of a call
    count, the first of a loop (none when it never runs) and of a cache operation, and all
    outputs of other operations."""
    returns = {r["name"] for r in fn["returns"]}
    out = {}
    for k, op in enumerate(fn["ops"]):
        outputs = op["outputs"]
        if op["kind"] in ("loop", "cache"):
            outputs = outputs[:1]
        if op["kind"] == "loop" and op["count"] == 0:
            outputs = []
        for name in outputs:
            if name in returns:
                out[name] = k
    return out


class Level:
    """One function being inlined: the entry, or a call, an iteration or a slot's body
    bound to the operation `op` at position `at` of the level `caller`."""

    def __init__(self, fn, kind, caller=None, at=None, op=None, prefix=None, args=(),
                 output=None, output_text=None, iteration=None):
        self.fn = fn
        self.kind = kind
        self.caller = caller
        self.at = at
        self.op = op
        self.prefix = prefix
        # Names (str), Number or Special; an iteration's starred names made its own.
        self.args = list(args)
        u, t = len(self.args), len(fn["params"])
        self.given = u - 1 if u < t else u
        self.output = output  # an iteration's or a slot body's output letters
        self.output_text = output_text  # and the text its output goes by at the caller
        self.iteration = iteration
        self.current = {}  # the latest write of each name
        self.numbers = {}  # the iterations numbered so far of the loops over each name
        self.last_writer = last_writers(fn)

    def local(self, text):
        return text if self.kind == ENTRY else f"{self.prefix}.{text}"

    def bound_outputs(self):
        if self.kind == ENTRY:
            return 0
        if self.kind == CALL:
            return min(len(self.op["outputs"]), len(self.fn["returns"]))
        return 1 if self.fn["returns"] else 0

    def bound_return(self, name):
        """The position of the first return named `name`, if it is bound to an output."""
        for j, r in enumerate(self.fn["returns"]):
            if r["name"] == name:
                return j if j < self.bound_outputs() else None
        return None

    def dict_bound(self, pos):
        return (pos < self.given and is_dict(self.fn["params"][pos])
                and is_name(self.args[pos]))

    def in_slot_body(self):
        """Whether a slot's body holds it: its cache operations are copied, not expanded."""
        level = self
        while level is not None:
            if level.kind == SLOT:
                return True
            level = level.caller
        return False

    def innermost_iteration(self):
        """The number of the innermost iteration around it, looking no further out than a
        slot's body, which starts afresh."""
        level = self
        while level is not None and level.kind != SLOT:
            if level.kind == ITERATION:
                return level.iteration
            level = level.caller
        return None


def expansion_size(functions, fn):
    """The operations of a function's expansion, cache operations counting one."""
    size = 0
    for op in fn["ops"]:
        if op["kind"] == "call":
            size += expansion_size(functions, functions[op["target"]])
        elif op["kind"] == "loop":
            if op["count"] > 0:
                size += op["count"] * expansion_size(functions, functions[op["target"]])
        else:
            size += 1
    return size


# --------------------------------------------------------------------------------------
# Building


@dataclass
class FlatOp:
    op: dict  # the operation of the module it copies
    args: list  # what each argument stands for
    outputs: list  # a new Value per output
    var: str = None  # a copied cache operation's var made an iteration's own


class Builder:
    def __init__(self, module, cache_keys):
        self.functions = module["functions"]
        self.globals = global_names(module)
        self.checker = Checker(module)
        self.cache_keys = set(cache_keys)
        self.ops, self.values = [], []
        self.input_params, self.output_params = [], []
        self.input_names, self.output_names = set(), set()
        self.finals = {}  # each extra return's name: what its slot holds last

    # Reading

    def read(self, level, name):
        """What `name` stands for at `level`, before the operation it walks."""
        if name in level.current:
            return level.current[name]
        if level.kind == ENTRY:
            return Text(name)
        for read in (self.read_param, self.read_dict_field, self.read_kept,
                     self.read_unwritten_return):
            found = read(level, name)
            if found is not None:
                return found
        return Text(level.local(name))  # a name nothing defines

    def read_param(self, level, name):
        params = level.fn["params"]
        for pos in reversed(range(len(params))):
            if params[pos]["name"] == name:
                bound = self.binding(level, pos)
                if bound is not None:
                    return bound
        return None

    def binding(self, level, pos):
        """What the parameter at `pos` stands for, or None where it binds nothing here."""
        param = level.fn["params"][pos]["name"]
        if pos >= level.given:
            # The last argument stands for this parameter as itself, a point and its name.
            last = level.args[-1]
            if isinstance(last, Special):
                base = first_name(last.ref)
                return Text(f"{base}.{param}") if base is not None else None
            if is_name(last):
                return self.read(level.caller, f"{last}.{param}")
            return None
        arg = level.args[pos]
        if isinstance(arg, Special):
            return arg.ref
        if isinstance(arg, Number):
            return arg
        if is_dict(level.fn["params"][pos]):
            return None
        return self.read(level.caller, arg)

    def read_dict_field(self, level, name):
        """A dict parameter p bound to W, or a field of it: W and the rest, at the caller;
        the longest p first."""
        params = level.fn["params"]
        matches = [pos for pos, p in enumerate(params) if is_dict(p) and (
            name == p["name"] or name.startswith(p["name"] + "."))]
        matches.sort(key=lambda pos: (len(params[pos]["name"].encode()), pos), reverse=True)
        for pos in matches:
            if level.dict_bound(pos):
                rest = name[len(params[pos]["name"]):]
                return self.read(level.caller, level.args[pos] + rest)
        return None

    def read_kept(self, level, name):
        if name in self.globals or is_config_name(name) or name in function_dims(level.fn):
            return Text(name)
        return None

    def read_unwritten_return(self, level, name):
        """A return bound to an output, read before the body writes it: the output (of
        several returns of that name, the last bound one)."""
        if any(p["name"] == name for p in level.fn["params"]):
            return None
        bound = level.bound_outputs()
        positions = [j for j, r in enumerate(level.fn["returns"])
                     if r["name"] == name and j < bound]
        if not positions:
            return None
        if level.kind == CALL:
            return self.read(level.caller, level.op["outputs"][positions[-1]])
        if level.kind == ITERATION:
            return self.read(level.caller, level.output_text)
        return Text(level.output_text)

    def returned(self, level):
        """What an iteration or a slot's body gives: its first return, or where its function
        has none, what its output's text stands for."""
        if level.fn["returns"]:
            return self.read(level, level.fn["returns"][0]["name"])
        if level.kind == SLOT:
            return Text(level.output_text)
        return self.read(level.caller, level.output_text)

    # Letters

    def write_letters(self, level, k, name):
        """The letters of the value that operation `k` of `level` writes under `name`."""
        if level.kind == ENTRY:
            return [name]
        j = level.bound_return(name)
        if j is not None and level.last_writer.get(name) == k:
            return self.returned_letters(level, j, name)
        return [level.local(name)]

    def returned_letters(self, level, j, local):
        """The letters of a value that `level` returns as its return `j`: its output's,
        the second being its local name `local` where the output has one letter only."""
        output = self.output_letters(level, j)
        return [output[0], output[1] if len(output) > 1 else level.local(local)]

    def output_letters(self, level, j):
        if level.kind == CALL:
            return self.write_letters(level.caller, level.at, level.op["outputs"][j])
        return level.output

    def iteration_output(self, level, k, x, m, last):
        """(letters, text) of the output of iteration number `m` of the loop at `k`."""
        j = level.bound_return(x)
        if last and j is not None and level.last_writer.get(x) == k:
            return self.returned_letters(level, j, f"{x}_{m}"), x
        return [level.local(f"{x}_{m}")], f"{x}_{m}"

    # Walking

    def walk(self, level):
        for k, op in enumerate(level.fn["ops"]):
            if op["kind"] == "call":
                self.inline_call(level, k, op)
            elif op["kind"] == "loop":
                self.unroll(level, k, op)
            elif op["kind"] == "cache" and not level.in_slot_body():
                self.expand_cache(level, k, op)
            else:
                self.emit(level, k, op)

    def emit(self, level, k, op):
        index = len(self.ops)
        args = [self.read(level, a) if is_name(a) else Number(a) for a in op["args"]]
        for ref in args:
            if isinstance(ref, Value):
                ref.last = index
        outputs = [Value(self.write_letters(level, k, n), index, index, m)
                   for m, n in enumerate(op["outputs"])]
        var = None
        iteration = level.innermost_iteration()
        if op["kind"] == "cache" and iteration is not None:
            var = starred(op["var"], iteration)
        self.ops.append(FlatOp(op, args, outputs, var))
        self.values += outputs
        for name, value in zip(op["outputs"], outputs):
            level.current[name] = value

    def inline_call(self, level, k, op):
        callee = self.functions[op["target"]]
        inner = Level(callee, CALL, level, k, op, level.local(op["outputs"][0]),
                      [a if is_name(a) else Number(a) for a in op["args"]])
        self.walk(inner)
        count = min(len(op["outputs"]), len(callee["returns"]))
        # Every return is read before any output is written.
        results = [self.read(inner, callee["returns"][j]["name"]) for j in range(count)]
        for name, result in zip(op["outputs"], results):
            level.current[name] = result

    def unroll(self, level, k, loop):
        count, threaded = loop_shape(loop)
        if count == 0:
            return
        callee = self.functions[loop["target"]]
        x = loop["outputs"][0]
        current = self.read(level, x)
        first = 0
        if expansion_size(self.functions, callee) == 0:
            # A body that writes nothing gives in its last iteration what all of them give.
            first = count - 1
            level.numbers[x] = level.numbers.get(x, 0) + first
        for i in range(first, count):
            level.numbers[x] = level.numbers.get(x, 0) + 1
            letters, text = self.iteration_output(level, k, x, level.numbers[x], i == count - 1)
            args = []
            for pos, a in enumerate(loop["args"]):
                if pos == threaded:
                    args.append(Special(current))
                elif is_name(a):
                    args.append(starred(a, i))
                else:
                    args.append(Number(a))
            inner = Level(callee, ITERATION, level, k, loop, level.local(f"loop{i}"), args,
                          letters, text, i)
            self.walk(inner)
            current = self.returned(inner)
        level.current[x] = current

    # Cache slots

    def expand_cache(self, level, k, op):
        """A cache operation of the entry's expansion: its slot is recorded and its init
        body, or for a listed slot its extend body, takes its place."""
        types = op["output_types"]
        if not types or types[0] is None:
            raise Stop(CACHE_NEEDS_TYPE)
        ty = types[0]
        s = op["var"]
        iteration = level.innermost_iteration()
        if iteration is not None:
            s = starred(s, iteration)
        if s not in self.cache_keys:
            record(self.output_params, self.output_names, s, ty)
            held = self.finals[s] = self.inline_slot(level, k, op, op["init"], s, [])
        else:
            record(self.input_params, self.input_names, s, ty)
            held = Text(s)  # the incoming value, also when the extend body runs
            if op.get("extend") is None:
                record(self.output_params, self.output_names, s, ty)
                self.finals[s] = held
            else:
                n = s + NEW_SUFFIX
                record(self.output_params, self.output_names, n, ty)
                self.finals[n] = self.inline_slot(level, k, op, op["extend"], n,
                                                  [Special(held)])
        if op["outputs"]:
            level.current[op["outputs"][0]] = held

    def inline_slot(self, level, k, op, function, output, extra):
        """The body of `function` in place of the cache operation at `k`, its output the
        slot `output`; what it gives."""
        args = extra + [a if is_name(a) else Number(a) for a in op["args"]]
        self.checker.call({"target": function, "args": args, "outputs": [output]}, [])
        inner = Level(self.functions[function], SLOT, level, k, op, output, args, [output],
                      output)
        self.walk(inner)
        return self.returned(inner)


def record(params, names, name, ty):
    if name not in names:
        names.add(name)
        params.append({"name": name, "ty": copy.deepcopy(ty)})


# --------------------------------------------------------------------------------------
# Naming


class Namer:
    """Chooses the name of every value of a built flat function."""

    def __init__(self, module, builder, params, declared, extras):
        self.values = builder.values
        self.params = params
        self.declared = declared  # (return, what it reads)
        self.extras = extras  # (slot's extra return, what its slot holds last)
        self.kept = builder.globals | set().union(
            *(function_dims(fn) for fn in module["functions"].values()))
        self.text_reads = self.protected_reads(builder.ops)
        self.taken = {}  # each name: the latest value that took it
        # The names of the slots whose last value has no operation: it shows its own name,
        # and no returned value may show the slot's.
        declared_names = {r["name"] for r, _ in declared}
        self.slot_names = {r["name"] for r, ref in extras
                           if r["name"] not in declared_names and not isinstance(ref, Value)}
        self.names = self.all_names(builder.ops)

    def means_something(self, text):
        """A text that means something where the flat function reads it."""
        if any(p["name"] == text for p in self.params):
            return True
        if any(is_dict(p) and text.startswith(p["name"] + ".") for p in self.params):
            return True
        return text in self.kept or is_config_name(text)

    def protected_reads(self, ops):
        """The last reading of each text that means something."""
        reads = {}
        for index, op in enumerate(ops):
            for ref in op.args:
                if isinstance(ref, Text) and self.means_something(ref.text):
                    reads[ref.text] = index
        for _, ref in self.declared + self.extras:
            if isinstance(ref, Text) and self.means_something(ref.text):
                reads[ref.text] = END
        return reads

    def all_names(self, ops):
        """Every name of the flat function: letters, texts, parameters and returns."""
        names = {p["name"] for p in self.params}
        names |= {r["name"] for r, _ in self.declared + self.extras}
        names |= {ref.text for op in ops for ref in op.args if isinstance(ref, Text)}
        names |= {ref.text for _, ref in self.declared + self.extras if isinstance(ref, Text)}
        names |= {letter for v in self.values for letter in v.letters}
        return names

    def run(self):
        for _, ref in self.declared + self.extras:
            if isinstance(ref, Value):
                ref.last = END
        self.pin_returns()
        for v in self.values:
            if v.pin is not None and self.text_reads.get(v.pin, -1) > v.written:
                v.pin = None  # a text of that name is read after it is written
        self.pinned = [v for v in self.values if v.pin is not None]
        for v in self.values:
            v.name = v.pin or next((n for n in v.letters if self.free(v, n)), None)
            if v.name is None:
                v.name = self.fresh(v.letters[-1])
            self.taken[v.name] = v

    def pin_returns(self):
        declared = {r["name"] for r, _ in self.declared}
        for r, ref in self.extras:
            if r["name"] not in declared:
                pin(ref, r["name"])
        for r, ref in self.declared:
            if isinstance(ref, Value) and ref.letters[0] == r["name"]:
                pin(ref, r["name"])
        for r, ref in self.declared:
            pin(ref, r["name"])

    def free(self, v, name):
        if self.text_reads.get(name, -1) > v.written:
            return False
        if v.last == END and name in self.slot_names:
            return False
        earlier = self.taken.get(name)
        if earlier is not None and earlier.last > v.written:
            return False
        # Written over while read: by a later operation, or a later output of its own.
        return not any(p.pin == name and (v.written, v.position) < (p.written, p.position)
                       and p.written < v.last for p in self.pinned)

    def fresh(self, stem):
        n = 1
        while f"{stem}_{n}" in self.names:
            n += 1
        self.names.add(f"{stem}_{n}")
        return f"{stem}_{n}"


def pin(ref, name):
    if isinstance(ref, Value) and ref.pin is None:
        ref.pin = name


# --------------------------------------------------------------------------------------
# The flat module


def shown(ref, name):
    """The name under which a return that reads `ref` stands: for a number, its own."""
    if isinstance(ref, Value):
        return ref.name
    if isinstance(ref, Text):
        return ref.text
    return name


def written_arg(ref):
    if isinstance(ref, Value):
        return ref.name
    if isinstance(ref, Text):
        return ref.text
    return ref.value


def flat_op(op):
    out = copy.deepcopy(op.op)
    if op.var is not None:
        out["var"] = op.var
    out["outputs"] = [v.name for v in op.outputs]
    out["args"] = [written_arg(ref) for ref in op.args]
    return out


def flat_returns(declared, extras):
    """The declared returns, then each slot's, unless a declared return has the slot's name
    or shows the name that the slot's value shows."""
    out, names, shown_names = [], set(), set()
    for r, ref in declared:
        out.append(dict(copy.deepcopy(r), name=shown(ref, r["name"])))
        names.add(r["name"])
        shown_names.add(out[-1]["name"])
    for r, ref in extras:
        if r["name"] not in names and shown(ref, r["name"]) not in shown_names:
            out.append(dict(copy.deepcopy(r), name=shown(ref, r["name"])))
    return out


def with_extras(base, extras):
    names = {p["name"] for p in base}
    return copy.deepcopy(base) + [p for p in extras if p["name"] not in names]


def flatten(module, entry, cache_keys=()):
    """The flat module of `module` from `entry`, or Stop with the message."""
    builder = Builder(module, cache_keys)
    builder.checker.expand(entry, [entry])
    fn = lookup(module["functions"], entry)
    root = Level(fn, ENTRY)
    builder.walk(root)
    params = with_extras(fn["params"], builder.input_params)
    declared = [(r, builder.read(root, r["name"])) for r in fn["returns"]]
    extras = [(r, builder.finals[r["name"]]) for r in builder.output_params]
    Namer(module, builder, params, declared, extras).run()
    flat = {"name": fn["name"]}
    if fn.get("comments"):
        flat["comments"] = list(fn["comments"])
    flat["params"] = params
    flat["returns"] = flat_returns(declared, extras)
    flat["ops"] = [flat_op(op) for op in builder.ops]
    out = {}
    if module.get("header_comments"):
        out["header_comments"] = list(module["header_comments"])
    out["functions"] = {entry: flat}
    return out
