"""Helpers shared by the tests of the configuration and of the road from files."""

import contextlib
import os
import sys

UNWRAP = "called `Result::unwrap()` on an `Err` value: "


@contextlib.contextmanager
def quiet_fd2():
    """Sends what is written to file descriptor 2 (the failure reports) nowhere."""
    sys.stderr.flush()
    saved = os.dup(2)
    with open(os.devnull, "wb") as sink:
        os.dup2(sink.fileno(), 2)
        try:
            yield
        finally:
            os.dup2(saved, 2)
            os.close(saved)


def panic_message(call, *args, **kwargs):
    """The message of the PanicException that the call raises."""
    with quiet_fd2():
        try:
            call(*args, **kwargs)
        except BaseException as exc:  # PanicException derives from BaseException only
            if type(exc).__name__ != "PanicException":
                raise
            return exc.args[0]
    raise AssertionError("no PanicException")


def json_error(message, line, column):
    """The failure message of a JSON text that cannot be read."""
    shown = message.replace("\\", "\\\\").replace('"', '\\"')
    return f'{UNWRAP}Error("{shown}", line: {line}, column: {column})'
