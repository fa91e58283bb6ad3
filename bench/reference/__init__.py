"""Plain-Python renderings of the four native modules, for the benchmarks only.

Each function takes the same steps as its native twin and makes the same
outside calls (module globals read at each call, imports inside functions at
each call), so that "native / Python" measures only how the steps are run.
Never shipped, never imported by the package.
"""
