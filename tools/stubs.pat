# Pattern file for nanobind's stub generator (see CMakeLists.txt).
# The nb::sig() strings of the bindings name types that the generator cannot
# resolve to a module on its own: import them at the top of the stub.

brivane_lexique\.lexique\.__prefix__:
    \from collections.abc import Callable, Iterator
    \from collections.abc import Iterable

brivane_lexique\._loaders\.__prefix__:
    \from collections.abc import Iterator
    \from pathlib import Path
    \from brivane_lexique._types import EntreeLexicale

brivane_lexique\._voisinage\.__prefix__:
    \from collections.abc import Iterable
