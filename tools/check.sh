#!/usr/bin/env bash
# The repository's static checks: ruff, mypy, the generated stubs, clang-format and (where a
# compilation database and clang-tidy exist) the naming checks. Exits non-zero when any fails.
#
#   tools/check.sh                 run them all with the tools on PATH
#   VELMORA_CHECK_TOOLS=DIR ...    take the tools from DIR (a virtual environment's bin)
#   VELMORA_CHECK_SKIP="stubs ..." leave these steps out
#   VELMORA_BUILD_DIR=build/dev    the in-place build whose modules the stub check imports and whose
#                                  compile_commands.json clang-tidy reads (default build/dev)
#
# The stub check imports the built modules: build in place first (see CONTRIBUTING.md), or run it
# where the package is installed.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
tools=${VELMORA_CHECK_TOOLS:-}
tool() { if [[ -n "$tools" ]]; then echo "$tools/$1"; else command -v "$1"; fi; }
build=${VELMORA_BUILD_DIR:-build/dev}
python=${PYTHON:-python3}
status=0
step() {
    local name=$1
    shift
    if [[ " ${VELMORA_CHECK_SKIP:-} " == *" $name "* ]]; then
        echo "== $name skipped"
        return 0
    fi
    echo "== $name"
    "$@" || { echo "== $name FAILED"; status=1; }
}
cxx_sources() { git ls-files 'src/*.cpp' 'src/*.hpp'; }

step ruff "$(tool ruff)" check .
step mypy "$(tool mypy)"
step stubs env PYTHONPATH=src "$python" tools/stubgen.py --check
# shellcheck disable=SC2046
step clang-format "$(tool clang-format)" --dry-run --Werror $(cxx_sources)
tidy=$(tool clang-tidy || true)
if [[ -n "$tidy" && -x "$tidy" && -f "$build/compile_commands.json" ]]; then
    tidy_all() {
        local f rc=0
        for f in $(git ls-files 'src/*.cpp'); do "$tidy" --quiet -p "$build" "$f" 2>/dev/null || rc=1; done
        return $rc
    }
    step clang-tidy tidy_all
else
    echo "== clang-tidy skipped (needs clang-tidy and $build/compile_commands.json)"
fi
exit $status
