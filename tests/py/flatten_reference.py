"""A plain flattener over the JSON interchange form, written for clarity rather than speed.

It follows the flattening step by step: recursive, nothing memoised, every callee expanded
afresh for every call and every iteration, so that the order of its checks is the order in
which a straightforward expansion meets them. The differential test compares it with the
extension module's flatten_json, output and stop messages alike.

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


def resolve_name(name, bindings, dict_bindings, local_prefix, globals_):
    if name in globals_:
        return name
    if name in bindings:
        return bindings[name]
    # Of two dict parameters that match, the longer name decides.
    for p in sorted(dict_bindings, key=lambda p: len(p.encode()), reverse=True):
        w = dict_bindings[p]
        if name == p:
            return w
        if len(name) > len(p) and name.startswith(p) and name[len(p)] == ".":
            return w + name[len(p):]
    return local_prefix + name


# --------------------------------------------------------------------------------------
# Calls and loops


class Expander:
    def __init__(self, module):
        self.functions = module["functions"]
        self.globals = global_names(module)

    def expand(self, name, stack):
        fn = lookup(self.functions, name)
        result, renames = [], {}
        for source in fn["ops"]:
            op = copy.deepcopy(source)
            if renames:
                op["args"] = [renames.get(a, a) if is_name(a) else a for a in op["args"]]
            if op["kind"] == "call":
                if not op["outputs"]:
                    raise Stop(NO_OUTPUTS)
                result += self.inline_call(op, op["outputs"][0], stack)
            elif op["kind"] == "loop":
                result += self.unroll(op, renames, stack)
            else:
                result.append(op)
        return result

    def unroll(self, loop, renames, stack):
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
        result, current = [], x
        for i in range(count):
            output = f"{x}_{i + 1}"
            args = []
            for k, a in enumerate(loop["args"]):
                if k == threaded:
                    args.append(current)
                elif is_name(a) and len(a.encode()) >= 2 and a.endswith(".*"):
                    args.append(f"{a[:-2]}.{i}")
                else:
                    args.append(a)
            call = {"kind": "call", "target": loop["target"], "outputs": [output],
                    "output_types": copy.deepcopy(loop["output_types"]), "args": args}
            for op in self.inline_call(call, f"loop{i}", stack):
                result.append(substitute_cache_var_star(op, i))
            current = output
        renames[x] = current
        return result

    def inline_call(self, call, prefix, stack):
        target = call["target"]
        callee = lookup(self.functions, target)
        if target in stack:
            raise Stop(f"Function '{target}' calls itself and cannot be flattened")
        stack.append(target)
        body = self.expand(target, stack)
        stack.pop()
        bindings, dict_bindings = bind_call(callee, call)
        local_prefix = f"{prefix}."

        def resolve(name):
            return resolve_name(name, bindings, dict_bindings, local_prefix, self.globals)

        copies = []
        for op in body:
            op = copy.deepcopy(op)
            op["outputs"] = [resolve(n) for n in op["outputs"]]
            op["args"] = [resolve(a) if is_name(a) else a for a in op["args"]]
            copies.append(op)
        return copies


def substitute_cache_var_star(op, i):
    if op["kind"] == "cache":
        var = op["var"]
        if len(var.encode()) >= 2 and var.endswith(".*"):
            op["var"] = f"{var[:-2]}.{i}"
    return op


# --------------------------------------------------------------------------------------
# Cache slots and the flat module


def record(params, names, name, ty):
    if name not in names:
        names.add(name)
        params.append({"name": name, "ty": copy.deepcopy(ty)})


def cache_pass(expander, ops, cache_keys):
    result = []
    input_params, output_params, input_names, output_names = [], [], set(), set()
    for op in ops:
        if op["kind"] != "cache":
            result.append(op)
            continue
        types = op["output_types"]
        if not types or types[0] is None:
            raise Stop(CACHE_NEEDS_TYPE)
        ty, s = types[0], op["var"]
        if s in cache_keys:
            record(input_params, input_names, s, ty)
            if op.get("extend") is None:
                record(output_params, output_names, s, ty)
                continue
            n = f"{s}_new"
            record(output_params, output_names, n, ty)
            call = {"kind": "call", "target": op["extend"], "outputs": [n],
                    "output_types": copy.deepcopy(types), "args": [s] + op["args"]}
            result += expander.inline_call(call, n, [])
        else:
            record(output_params, output_names, s, ty)
            call = {"kind": "call", "target": op["init"], "outputs": [s],
                    "output_types": copy.deepcopy(types), "args": list(op["args"])}
            result += expander.inline_call(call, s, [])
    return result, input_params, output_params


def with_extras(base, extras):
    names = {p["name"] for p in base}
    return copy.deepcopy(base) + [p for p in extras if p["name"] not in names]


def flatten(module, entry, cache_keys=()):
    """The flat module of `module` from `entry`, or Stop with the message."""
    expander = Expander(module)
    ops = expander.expand(entry, [entry])
    ops, inputs, outputs = cache_pass(expander, ops, set(cache_keys))
    fn = lookup(module["functions"], entry)
    flat = {"name": fn["name"]}
    if fn.get("comments"):
        flat["comments"] = list(fn["comments"])
    flat["params"] = with_extras(fn["params"], inputs)
    flat["returns"] = with_extras(fn["returns"], outputs)
    flat["ops"] = ops
    out = {}
    if module.get("header_comments"):
        out["header_comments"] = list(module["header_comments"])
    out["functions"] = {entry: flat}
    return out
