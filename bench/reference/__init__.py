"""Plain-Python renderings of the four native modules: the benchmark's Python
side, and the oracles the fuzz targets compare the native functions with.

Each function takes the same steps as its native twin and makes the same
outside calls (module globals read at each call, imports inside functions at
each call), so that "native / Python" measures only how the steps are run.
The fuzz targets import them as they stand; what only fuzzing needs (input
generation, a fake signing core's answers) stays in fuzz/. Never shipped,
never imported by the package.
"""
