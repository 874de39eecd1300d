#!/usr/bin/env bash
# Installs one wheel into a fresh virtual environment for every CPython 3.8 to 3.13 found (pyenv's
# versions, or python3.X on PATH) and runs the whole test suite against each, two at a time.
# Usage: tools/test_wheel_matrix.sh WHEEL [PYTEST ARGS...]; logs in build/matrix/<version>.log.
set -uo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
wheel="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
shift
work="$root/build/matrix"
mkdir -p "$work"

pythons=()
for minor in 8 9 10 11 12 13; do
    found=""
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."$minor".*/bin/python; do
        [ -x "$candidate" ] && found="$candidate"
    done
    [ -z "$found" ] && found="$(command -v python3."$minor" || true)"
    [ -n "$found" ] && pythons+=("$found")
done
if [ ${#pythons[@]} -eq 0 ]; then
    echo "test_wheel_matrix: no CPython 3.8 to 3.13 found" >&2
    exit 2
fi

one() {
    local python="$1" version venv
    shift
    version="$("$python" -c 'import platform; print(platform.python_version())')"
    venv="$work/venv-$version"
    rm -rf "$venv"
    {
        "$python" -m venv "$venv" &&
            "$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$wheel" pytest &&
            # From outside the checkout, so that only the installed package can be imported.
            (cd "$work" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$root/tests" "$@")
    } >"$work/$version.log" 2>&1
    local status=$?
    echo "CPython $version: $([ $status -eq 0 ] && echo passed || echo "FAILED (see $work/$version.log)") - $(tail -1 "$work/$version.log")"
    return $status
}

status=0
for ((i = 0; i < ${#pythons[@]}; i += 2)); do
    one "${pythons[i]}" "$@" &
    first=$!
    second=""
    if [ $((i + 1)) -lt ${#pythons[@]} ]; then
        one "${pythons[i + 1]}" "$@" &
        second=$!
    fi
    wait $first || status=1
    [ -n "$second" ] && { wait $second || status=1; }
done
exit $status
