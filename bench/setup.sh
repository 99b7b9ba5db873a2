#!/usr/bin/env bash
# Installs what the benchmark suite compares against, only when missing:
# Lua 5.4 and LuaJIT (Debian/Ubuntu packages, needs root) and matplotlib for
# bench/plot.py. The VM itself: python -m pip install . (from the repository).
# gcc is expected to be there already (the VM's build needs a compiler).
set -euo pipefail
cd "$(dirname "$0")"
PYTHON=${PYTHON:-python3}

missing=()
command -v lua5.4 >/dev/null 2>&1 || missing+=(lua5.4)
command -v luajit >/dev/null 2>&1 || missing+=(luajit)
if [ ${#missing[@]} -gt 0 ]; then
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "setup.sh: please install ${missing[*]} (no apt-get here); the suite shows them as n/a meanwhile" >&2
    else
        SUDO=""
        [ "$(id -u)" -ne 0 ] && SUDO=sudo
        $SUDO apt-get update -q
        $SUDO apt-get install -y -q "${missing[@]}"
    fi
fi

if ! "$PYTHON" -c "import matplotlib" >/dev/null 2>&1; then
    "$PYTHON" -m pip install -q -r requirements.txt
fi
echo "lua5.4: $(command -v lua5.4 || echo missing), luajit: $(command -v luajit || echo missing), matplotlib: $("$PYTHON" -c 'import matplotlib; print(matplotlib.__version__)' 2>/dev/null || echo missing)"
