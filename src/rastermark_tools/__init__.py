"""Tools around `rastermark.annotate_scanlines`: readers for machine files,
a per-scanline table, pictures and a command line (`rastermark`)."""

from __future__ import annotations

from .hatches import HatchInfo, label_hatches
from .readers import (
    InputError,
    Layer,
    read_csv,
    read_gcode,
    read_hdf5,
    read_layers,
    read_numpy,
    read_parquet,
    read_scan_path,
    read_slices,
)
from .table import annotate_layer, scanline_table

__all__ = [
    "HatchInfo",
    "InputError",
    "Layer",
    "annotate_layer",
    "label_hatches",
    "read_csv",
    "read_gcode",
    "read_hdf5",
    "read_layers",
    "read_numpy",
    "read_parquet",
    "read_scan_path",
    "read_slices",
    "scanline_table",
]
