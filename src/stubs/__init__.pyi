"""A library for processing and annotating raster scanlines in powder bed fusion data."""

from typing import Final

import numpy as np
from numpy.typing import NDArray

__all__: Final[list[str]]

def annotate_scanlines(
    x: NDArray[np.float64] | NDArray[np.float32],
    y: NDArray[np.float64] | NDArray[np.float32],
) -> NDArray[np.int32]:
    """Annotate in-memory scanline data from 1D x and y coordinate arrays.

    Args:
        x (ndarray): 1D numpy array of x-coordinates (float32 or float64).
        y (ndarray): 1D numpy array of y-coordinates (float32 or float64).

    Returns:
        ndarray: 1D numpy array of scanline_id assignments (int32).
    """
