# Typing stub of the _quarvel extension module. Every function returns one str;
# a failure after the arguments were accepted raises PanicException, which
# derives from BaseException (see the README).
from collections.abc import Sequence

__all__ = ["load_flat_json", "parse_to_json", "resolve_json", "flatten_json", "infer_axes_json",
           "check_json", "fmt_source", "fmt_json", "check_file", "fmt_file"]

def load_flat_json(qrv_path: str, config_path: str, entry: str = "main", cache_keys: Sequence[str] = ...) -> str:
    """Source file + TOML configuration -> JSON of the configured, flattened, weight-renamed module."""

def parse_to_json(source: str) -> str:
    """Source text -> JSON form of the module."""

def resolve_json(module_json: str, config_json: str) -> str:
    """Module JSON + configuration JSON object -> JSON of the configured module with inferred axes."""

def flatten_json(module_json: str, entry: str, cache_keys: Sequence[str] = ...) -> str:
    """Module JSON -> JSON of the module flattened into its function `entry`."""

def infer_axes_json(module_json: str) -> str:
    """Module JSON -> the same with the axis sizes of view and tile patterns inferred."""

def check_json(module_json: str) -> str:
    """Module JSON -> JSON check report of errors and constraints."""

def fmt_source(source: str, *, width: int = 100) -> str:
    """Source text -> canonical source; headers longer than `width` get one line per parameter."""

def fmt_json(module_json: str, *, width: int = 100) -> str:
    """Module JSON -> canonical source."""

def check_file(path: str) -> str:
    """Source file -> JSON check report of errors and constraints."""

def fmt_file(path: str, *, width: int = 100) -> str:
    """Source file -> canonical source."""
