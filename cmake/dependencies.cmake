# Debian packages the engine links (installed by ./run). Each component's dependency is
# added here, linked into the object library so that the shared library, tests and
# benchmarks all see it.
