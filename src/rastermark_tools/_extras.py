"""Optional dependencies, imported where they are needed, with a one-line
message naming what to install when they are missing."""

from __future__ import annotations

import importlib
from types import ModuleType

_EXTRA_OF = {
    "pyarrow": "tools",
    "pyarrow.csv": "tools",
    "pyarrow.parquet": "tools",
    "h5py": "tools",
    "matplotlib": "tools",
    "tqdm": "tools",
    "dask.distributed": "dask",
}


class MissingDependency(ImportError):
    """An optional dependency that the requested operation needs is not installed."""


def require(module: str, purpose: str) -> ModuleType:
    try:
        return importlib.import_module(module)
    except ImportError:
        extra = _EXTRA_OF.get(module, "tools")
        package = module.split(".")[0]
        raise MissingDependency(
            f"{purpose} needs {package}: pip install \"rastermark[{extra}]\" (or pip install {package})"
        ) from None
