"""The vel toolchain: parse, format, check, specialise and flatten vel modules.

Every function takes `str` arguments (vel source text, a file path, a JSON document, an
entry function's name) and returns one new `str`: canonical vel source text, the JSON
interchange form of a module, or the JSON form of a check result. JSON results are compact
(no white space).

Failures. A wrong argument raises `TypeError` (messages such as "argument 'path': 'int'
object cannot be converted to 'PyString'"); a `width` below 0 or of 2**64 and more raises
`OverflowError`; a `str` holding a lone surrogate raises `UnicodeEncodeError`. No input is
read before every argument is accepted.

Every other failure (source that does not parse, JSON that cannot be read, a file that
cannot be read, a module that cannot be flattened, ...) raises
`pyo3_runtime.PanicException` with the message as its single argument, after a report
naming the thread, the source location and the message has been written to standard error
(file descriptor 2). `PanicException` derives from `BaseException`, not from `Exception`:
`except Exception` does not catch it. The module does not export the class; catch it by
name::

    try:
        text = _velorn.fmt_source(source)
    except BaseException as exc:
        if type(exc).__name__ != "PanicException":
            raise
        message = exc.args[0]
"""

from collections.abc import Sequence

__all__ = [
    "load_flat_json",
    "parse_to_json",
    "resolve_json",
    "flatten_json",
    "infer_axes_json",
    "check_json",
    "fmt_source",
    "fmt_json",
    "check_file",
    "fmt_file",
]

def load_flat_json(
    vel_path: str, config_path: str, entry: str = "main", cache_keys: Sequence[str] = ...
) -> str:
    """The flat module of a vel source file, specialised by a TOML configuration file.

    Parses the file at `vel_path`; substitutes the values of the tables [shape], [scalar]
    and [vector] of the file at `config_path` for the `param.` dimensions and loop counts;
    fills in the axis sizes of view and tile patterns; flattens from the function `entry`
    (calls inlined, loops unrolled, cache slots expanded, the slots named in `cache_keys`
    fed from outside); renames the `weights.` references by the table [weights].

    Returns the flat module in the JSON interchange form: one function, keyed `entry`.

    Raises TypeError for a wrong argument (`cache_keys` given as a `str` among them) and
    PanicException when a file cannot be read or parsed or the module cannot be flattened
    (for instance "no entry found for key" when `entry` is not a function of the module).
    """

def parse_to_json(source: str) -> str:
    """The JSON interchange form of the module parsed from vel source text.

    Raises TypeError for a non-`str` argument and PanicException with the parser's
    message when the text does not parse.
    """

def resolve_json(module_json: str, config_json: str) -> str:
    """A module specialised by configuration values, with its axes filled in.

    `module_json` is a module in the JSON interchange form; `config_json` is one flat JSON
    object of names to an integer, a float or an array of numbers, such as
    '{"d_model": 8, "eps": 1e-05}' (not the TOML file's {"shape": {...}} tables). A
    dimension `param.NAME` becomes the number under NAME (a float truncated), a loop count
    `NAME` or `param.NAME` the integer under NAME; then the axis sizes of view and tile
    patterns are filled in.

    Returns the module in the JSON interchange form.

    Raises TypeError for a non-`str` argument and PanicException when either document
    cannot be read ("called `Result::unwrap()` on an `Err` value: Error(...)").
    """

def flatten_json(module_json: str, entry: str, cache_keys: Sequence[str] = ...) -> str:
    """The flat form of a module from one entry function.

    Every call is inlined under hierarchical names ("blk.t"), every loop unrolled, and
    every cache operation replaced by its init function's body or, for a slot named in
    `cache_keys`, by its extend function's body; each slot becomes an extra return, each
    listed one also an extra parameter. No configuration is substituted and no axes are
    filled in: loop counts must already be numbers.

    Returns the flat module in the JSON interchange form: one function, keyed `entry`.

    Raises TypeError for a wrong argument (`cache_keys` given as a `str` or a `set` among
    them) and PanicException when the JSON cannot be read or the module cannot be
    flattened ("no entry found for key", "Loop count 'n' not resolved before flattening",
    ...).
    """

def infer_axes_json(module_json: str) -> str:
    """A module with the axis sizes of its view and tile patterns filled in.

    Each view or tile whose axes are empty, whose pattern holds "->" and whose first output
    has a declared type gets the sizes that the declared type (and, for a parenthesized
    group, the first input's shape) gives the axes of the pattern's right side. Nothing is
    substituted.

    Returns the module in the JSON interchange form.

    Raises TypeError for a non-`str` argument and PanicException when the JSON cannot be
    read or an operation has no output types.
    """

def check_json(module_json: str) -> str:
    """The check result of a module given in the JSON interchange form.

    Returns compact JSON: {"errors": [...], "constraints": {"params": [...], "weights":
    {...}}}; the findings about the module are the texts of "errors", not exceptions.

    Raises TypeError for a non-`str` argument and PanicException when the JSON cannot be
    read or an operation has no outputs or no output types.
    """

def fmt_source(source: str, *, width: int = 100) -> str:
    """Canonical vel source text of vel source text.

    A function header longer than `width` bytes is split into one parameter per line.

    Raises TypeError for a wrong argument, OverflowError for a `width` below 0 or of 2**64
    and more, and PanicException with the parser's message when the text does not parse.
    """

def fmt_json(module_json: str, *, width: int = 100) -> str:
    """Canonical vel source text of a module given in the JSON interchange form.

    A function header longer than `width` bytes is split into one parameter per line.

    Raises TypeError for a wrong argument, OverflowError for a `width` below 0 or of 2**64
    and more, and PanicException when the JSON cannot be read.
    """

def check_file(path: str) -> str:
    """The check result of the vel source file at `path`, as compact JSON.

    Returns {"errors": [...], "constraints": {"params": [...], "weights": {...}}}.

    Raises TypeError for a non-`str` argument and PanicException when the file cannot be
    read as UTF-8 text, does not parse, or holds an operation without outputs or output
    types.
    """

def fmt_file(path: str, *, width: int = 100) -> str:
    """Canonical vel source text of the vel source file at `path`.

    A function header longer than `width` bytes is split into one parameter per line.

    Raises TypeError for a wrong argument, OverflowError for a `width` below 0 or of 2**64
    and more, and PanicException when the file cannot be read as UTF-8 text or does not
    parse.
    """
