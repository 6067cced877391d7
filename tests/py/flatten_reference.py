"""A plain flattener over the JSON interchange form, written for clarity rather than speed.

It follows the flattening step by step: recursive, nothing memoised, every callee checked
and then walked afresh for every call and every iteration, so that the order of its checks
is the order in which a straightforward expansion meets them. While it walks, each name is
rewritten outward through the levels of inlined calls as it is met, so that it means its
latest definition. The differential test compares it with the extension module's
flatten_json, output and stop messages alike.

Modules are the dicts that json.loads makes of the interchange form; names are str, integer
arguments int and float arguments float. The result is the flat module as a dict whose
members stand in the order the writer writes them.
"""

import copy

NO_ENTRY = "no entry found for key"
NO_OUTPUTS = "index out of bounds: the len is 0 but the index is 0"
NO_THREADED_ARG = "Loop must have a threaded arg matching output name"
CACHE_NEEDS_TYPE = "cache slot must have a declared type"
CONFIG_PREFIX = "param."
DICT_DTYPE = "*"


class Stop(Exception):
    """The flattening stopped; args[0] is its message."""


def lookup(functions, name):
    if name not in functions:
        raise Stop(NO_ENTRY)
    return functions[name]


def is_name(arg):
    return isinstance(arg, str)


# --------------------------------------------------------------------------------------
# Names


def named_dims(ty):
    return [d for d in ty["shape"] if isinstance(d, str)]


def global_names(module):
    """Arguments that are configuration names or symbolic dimensions of their function."""
    out = set()
    for fn in module["functions"].values():
        dims = set()
        for p in fn["params"] + fn["returns"]:
            dims.update(named_dims(p["ty"]))
        for op in fn["ops"]:
            for ty in op["output_types"]:
                if ty is not None:
                    dims.update(named_dims(ty))
        for op in fn["ops"]:
            for arg in op["args"]:
                if is_name(arg) and (arg.startswith(CONFIG_PREFIX) or arg in dims):
                    out.add(arg)
    return out


def no_arguments_message(target, params):
    noun = "parameter" if params == 1 else "parameters"
    return f"Call to '{target}' passes no arguments for its {params} {noun}"


def bind_call(callee, call):
    """(bindings, dict_bindings) of one call of `callee`."""
    args, params, returns = call["args"], callee["params"], callee["returns"]
    u, t = len(args), len(params)
    if u == 0 and t > 0:
        raise Stop(no_arguments_message(call["target"], t))
    v = u - 1 if u < t else u
    if v > t:
        raise Stop(f"range end index {u} out of range for slice of length {t}")
    bindings, dict_bindings = {}, {}
    for i in range(v):
        arg = args[i]
        if not is_name(arg):
            continue
        p = params[i]
        if p["ty"]["dtype"] == DICT_DTYPE:
            dict_bindings[p["name"]] = arg
        else:
            bindings[p["name"]] = arg
    if 1 <= u < t and is_name(args[u - 1]):
        last = args[u - 1]
        for p in params[u - 1:]:
            bindings[p["name"]] = f"{last}.{p['name']}"
    param_names = {p["name"] for p in params}
    for r, output in zip(returns, call["outputs"]):
        if r["name"] not in param_names:
            bindings[r["name"]] = output
    return bindings, dict_bindings


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
        bind_call(callee, call)


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
# Building: a name means its latest definition


def liveness(fn):
    """(last writer of each return, last read of each parameter). A loop that never runs
    writes nothing; a read counts twice the index, one more for a call or a loop, and a
    loop's threaded argument does not count."""
    returns = {r["name"] for r in fn["returns"]}
    params = {p["name"] for p in fn["params"]}
    writer, read = {}, {}
    for i, op in enumerate(fn["ops"]):
        outputs = op["outputs"][:1] if op["kind"] in ("loop", "cache") else op["outputs"]
        if op["kind"] == "loop" and op["count"] == 0:
            outputs = []  # it never runs
        for name in outputs:
            if name in returns:
                writer[name] = i
        threaded = None
        if op["kind"] == "loop":
            threaded = next((k for k, a in enumerate(op["args"])
                             if is_name(a) and a == op["outputs"][0]), None)
        for k, arg in enumerate(op["args"]):
            if is_name(arg) and arg in params and k != threaded:
                read[arg] = 2 * i + (1 if op["kind"] in ("call", "loop") else 0)
    return writer, read


class Level:
    """One function being walked: the root, or one inlined call."""

    def __init__(self, fn=None, call=None, prefix=""):
        self.root = call is None
        self.fn = fn
        self.pos = 0
        self.bindings, self.dicts = bind_call(fn, call) if call else ({}, {})
        self.prefix = "" if self.root else prefix + "."
        self.outputs = list(call["outputs"]) if call else []
        self.iteration = call.get("iteration") if call else None
        self.current = {}  # name -> (text, final)
        self.numbers = {}
        self.writer, self.read = liveness(fn) if fn else ({}, {})

    def held_by_other(self, text, name):
        return any(t == text and not final and n != name
                   for n, (t, final) in self.current.items())

    def bound_return(self, name):
        if self.root:
            return None
        for j, r in enumerate(self.fn["returns"][:len(self.outputs)]):
            if r["name"] == name:
                return j
        return None

    def writes_output(self, name):
        j = self.bound_return(name)
        if j is None or self.writer.get(name) != self.pos:
            return None
        for p in self.fn["params"]:
            p = p["name"]
            if self.bindings.get(p) == self.outputs[j] and p not in self.current:
                if p != name and p in {r["name"] for r in self.fn["returns"]}:
                    return None  # it may yet be returned as it came
                if self.read.get(p, -1) > 2 * self.pos:
                    return None
        return j

    def dict_match(self, name):
        for p in sorted(self.dicts, key=lambda p: len(p.encode()), reverse=True):
            w = self.dicts[p]
            if name == p:
                return w
            if len(name) > len(p) and name.startswith(p) and name[len(p)] == ".":
                return w + name[len(p):]
        return None


class Builder:
    def __init__(self, module, cache_keys):
        self.module = module
        self.functions = module["functions"]
        self.globals = global_names(module)
        self.checker = Checker(module)
        self.cache_keys = set(cache_keys)
        self.input_params, self.output_params = [], []
        self.input_names, self.output_names = set(), set()

    # Names, one level at a time; the second value is False when the name is final.

    def read_level(self, level, name):
        if name in self.globals:
            return name, False
        if name in level.current:
            text, final = level.current[name]
            return text, not level.root and not final
        if level.root:
            return name, False
        if name in level.bindings:
            return level.bindings[name], True
        field = level.dict_match(name)
        if field is not None:
            return field, True
        return level.prefix + name, True

    def write_level(self, level, name):
        if name in self.globals:
            return name, False
        record = (name in level.current or name in level.bindings
                  or level.bound_return(name) is not None
                  or (not level.root and level.dict_match(name) is not None))
        j = level.writes_output(name)
        target = level.outputs[j] if j is not None else level.prefix + name
        renewed = False
        while level.held_by_other(target, name):
            level.numbers[name] = level.numbers.get(name, 0) + 1
            target = f"{level.prefix}{name}_{level.numbers[name]}"
            renewed = True
        if record or renewed:
            level.current[name] = (target, False)
            return target, not level.root
        return level.prefix + name, not level.root

    def resolve(self, levels, name, write=False):
        for level in reversed(levels):
            name, more = (self.write_level if write else self.read_level)(level, name)
            if not more:
                break
        return name

    # Walking

    def walk(self, levels, out, scan):
        level = levels[-1]
        for pos, op in enumerate(level.fn["ops"]):
            level.pos = pos
            if op["kind"] == "call":
                self.inline(levels, op, op["outputs"][0], out, scan)
            elif op["kind"] == "loop":
                self.unroll(levels, op, out, scan)
            elif op["kind"] == "cache" and scan:
                self.expand_cache(levels, op, out)
            else:
                out.append(self.resolved(levels, op))

    def resolved(self, levels, op, outputs=True):
        op = copy.deepcopy(op)
        op["args"] = [self.resolve(levels, a) if is_name(a) else a for a in op["args"]]
        if outputs:
            op["outputs"] = [self.resolve(levels, n, True) for n in op["outputs"]]
        if op["kind"] == "cache":
            inner = next((l.iteration for l in reversed(levels) if l.iteration is not None),
                         None)
            if inner is not None:
                substitute_cache_var_star(op, inner)
        return op

    def inline(self, levels, call, prefix, out, scan, rebinds=None):
        inner = Level(self.functions[call["target"]], call, prefix)
        levels.append(inner)
        self.walk(levels, out, scan)
        levels.pop()
        outer = levels[-1]
        moved = []
        for j, r in enumerate(inner.fn["returns"][:len(inner.outputs)]):
            output = inner.outputs[j]
            text, more = self.read_level(inner, r["name"])
            if (more and text == output) or output in self.globals:
                continue
            if more:
                text, more = self.read_level(outer, text)
            moved.append((output, (text, not more and not outer.root)))
        for name, entry in moved:
            outer.current[name] = entry
        if rebinds is not None and rebinds not in self.globals:
            text, more = self.read_level(outer, call["outputs"][0])
            outer.current[rebinds] = (text, not more and not outer.root)

    def unroll(self, levels, loop, out, scan):
        level = levels[-1]
        count, threaded = loop_shape(loop)
        x = loop["outputs"][0]
        current = x
        for i in range(count):
            last = i + 1 == count
            if last and level.writes_output(x) is not None:
                output = x
            else:
                level.numbers[x] = level.numbers.get(x, 0) + 1
                output = f"{x}_{level.numbers[x]}"
            args = []
            for k, a in enumerate(loop["args"]):
                if k == threaded:
                    args.append(current)
                elif is_name(a) and len(a.encode()) >= 2 and a.endswith(".*"):
                    args.append(f"{a[:-2]}.{i}")
                else:
                    args.append(a)
            call = {"kind": "call", "target": loop["target"], "outputs": [output],
                    "output_types": copy.deepcopy(loop["output_types"]), "args": args,
                    "iteration": i}
            rebinds = x if last and output != x else None
            self.inline(levels, call, f"loop{i}", out, scan, rebinds)
            current = output

    # Cache slots

    def inline_slot(self, cache, function, output, args, out):
        call = {"kind": "call", "target": function, "outputs": [output],
                "output_types": copy.deepcopy(cache["output_types"]), "args": args}
        self.checker.call(call, [])
        levels = [Level()]
        self.inline(levels, call, output, out, False)
        return self.resolve(levels, output)

    def expand_cache(self, levels, op, out):
        holder = self.expand_slot(levels, op, out)
        level = levels[-1]
        if op["outputs"] and op["outputs"][0] not in self.globals:
            level.current[op["outputs"][0]] = (holder, not level.root)

    def expand_slot(self, levels, op, out):
        """Expands a cache operation; the text that holds its slot's value afterwards."""
        slot = self.resolved(levels, op, outputs=False)
        types = slot["output_types"]
        if not types or types[0] is None:
            raise Stop(CACHE_NEEDS_TYPE)
        ty, s = types[0], slot["var"]
        if s in self.cache_keys:
            record(self.input_params, self.input_names, s, ty)
            if slot.get("extend") is None:
                record(self.output_params, self.output_names, s, ty)
            else:
                n = f"{s}_new"
                record(self.output_params, self.output_names, n, ty)
                self.inline_slot(slot, slot["extend"], n, [s] + slot["args"], out)
            return s
        record(self.output_params, self.output_names, s, ty)
        return self.inline_slot(slot, slot["init"], s, list(slot["args"]), out)


def substitute_cache_var_star(op, i):
    if op["kind"] == "cache":
        var = op["var"]
        if len(var.encode()) >= 2 and var.endswith(".*"):
            op["var"] = f"{var[:-2]}.{i}"
    return op


# --------------------------------------------------------------------------------------
# The flat module


def record(params, names, name, ty):
    if name not in names:
        names.add(name)
        params.append({"name": name, "ty": copy.deepcopy(ty)})


def with_extras(base, extras):
    names = {p["name"] for p in base}
    return copy.deepcopy(base) + [p for p in extras if p["name"] not in names]


def flatten(module, entry, cache_keys=()):
    """The flat module of `module` from `entry`, or Stop with the message."""
    builder = Builder(module, cache_keys)
    builder.checker.expand(entry, [entry])
    fn = lookup(module["functions"], entry)
    levels, ops = [Level(fn)], []
    builder.walk(levels, ops, True)
    returns = copy.deepcopy(fn["returns"])
    for r in returns:
        r["name"] = builder.resolve(levels, r["name"])
    flat = {"name": fn["name"]}
    if fn.get("comments"):
        flat["comments"] = list(fn["comments"])
    flat["params"] = with_extras(fn["params"], builder.input_params)
    flat["returns"] = with_extras(returns, builder.output_params)
    flat["ops"] = ops
    out = {}
    if module.get("header_comments"):
        out["header_comments"] = list(module["header_comments"])
    out["functions"] = {entry: flat}
    return out
