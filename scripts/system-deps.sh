#!/usr/bin/env bash
# Installs the Debian/Ubuntu packages that building the VM needs ("run") or
# building and testing it needs ("test"), and only those that are missing.
# Says what it installs and why; installing needs root, so as another user it
# stops with the apt-get command to run instead.
#
# Environment:
#   HEADERS_PYTHON  the Python whose headers the build uses (default python3)
#   VENV_PYTHON     set when the project environment .venv/ is still to be
#                   created with this Python: its venv module must work
set -euo pipefail

purpose=${1:-test}
headers_python=${HEADERS_PYTHON:-python3}
venv_python=${VENV_PYTHON:-}

missing=()
why=()
need() { missing+=("$1"); why+=("  $1: $2"); }

if ! command -v "$headers_python" >/dev/null 2>&1; then
    need python3 "the Python the package is built for ($headers_python not found)"
else
    include=$("$headers_python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    [ -f "$include/Python.h" ] || need python3-dev "Python headers for the extension ($include/Python.h)"
fi
# Debian and Ubuntu ship the venv module's pip bootstrap separately.
if [ -n "$venv_python" ] && command -v "$venv_python" >/dev/null 2>&1 &&
    ! "$venv_python" -c 'import ensurepip' >/dev/null 2>&1; then
    need python3-venv "to create the project environment .venv/ with $venv_python"
fi
command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 || need g++ "a C++20 compiler"
if [ "$purpose" = test ]; then
    [ -f /usr/include/gtest/gtest.h ] || need libgtest-dev "GoogleTest, for the C++ tests"
fi

# Wanted, not needed: xbyak's headers build the machine-code tier on x86-64.
# Without them the build succeeds with the interpreter alone, so failing to
# install them (an old release without the package, no root) is only a note.
install_optional_xbyak() {
    [ "$(uname -m)" = x86_64 ] || return 0
    [ -f /usr/include/xbyak/xbyak.h ] && return 0
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        echo "Note: libxbyak-dev is missing, so the machine-code tier will not be built (sudo apt-get install libxbyak-dev adds it)."
        return 0
    fi
    echo "Installing with apt-get: libxbyak-dev (headers for the machine-code tier)"
    { apt-get install -y -q -o DPkg::Lock::Timeout=600 libxbyak-dev ||
        { apt-get update -q && apt-get install -y -q -o DPkg::Lock::Timeout=600 libxbyak-dev; }; } ||
        echo "Note: libxbyak-dev could not be installed; building without the machine-code tier."
}

if [ ${#missing[@]} -eq 0 ]; then
    echo "System packages for '$purpose': all present"
    install_optional_xbyak
    exit 0
fi

echo "System packages for '$purpose' that are missing:"
printf '%s\n' "${why[@]}"
if ! command -v apt-get >/dev/null 2>&1; then
    echo "No apt-get here: install the equivalents of ${missing[*]} with this system's package manager, then run make again." >&2
    exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "Installing them needs root. Run:  sudo apt-get install ${missing[*]}  (or: sudo make deps), then run make again." >&2
    exit 1
fi
echo "Installing with apt-get: ${missing[*]}"
apt-get update -q
apt-get install -y -q -o DPkg::Lock::Timeout=600 "${missing[@]}"
install_optional_xbyak
