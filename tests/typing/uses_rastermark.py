import numpy as np
from numpy.typing import NDArray

import rastermark


def label_layer(x: NDArray[np.float64], y: NDArray[np.float64]) -> NDArray[np.int32]:
    return rastermark.annotate_scanlines(x, y)


def label_layer32(x: NDArray[np.float32], y: NDArray[np.float32]) -> int:
    ids: NDArray[np.int32] = rastermark.annotate_scanlines(x=x, y=y)
    return int(ids.max())


names: list[str] = rastermark.__all__
