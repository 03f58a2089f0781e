# Sourced by the build scripts: compile through ccache when it is there, with
# paths taken relative to the checkout so that clones share the cache.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(pwd)}
  export CCACHE_NOHASHDIR=1
fi
