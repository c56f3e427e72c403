import rastermark

rastermark.annotate_scanlines([0.0, 1.0], [0.0, 1.0])
