# Set-up shared by main.sh and test.sh (sourced): system packages, the virtual environment,
# the Python tools and the package itself, each done only when missing or out of date.

set -euo pipefail

QBO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$QBO_ROOT"

qbo_say() { printf '[setup] %s\n' "$*"; }

# One run at a time per work tree: two builds in one build directory corrupt ninja's logs.
# The lock is held until the sourcing script exits.
mkdir -p build
exec {qbo_lock_fd}>build/.lock
if ! flock -n "$qbo_lock_fd"; then
    qbo_say "waiting for another run in this work tree"
    flock "$qbo_lock_fd"
fi

# System packages: the JSON library, GoogleTest, the C++ formatter the tests hold the layout to,
# and PostgreSQL for the ledger's tests (they start their own server from its binaries).
source "$QBO_ROOT/scripts/apt.sh"
qbo_apt_install libsimdjson-dev libgtest-dev clang-format-19 postgresql

# The virtual environment (git-ignored); recreated when its interpreter no longer runs.
QBO_VENV="$QBO_ROOT/.venv"
if ! "$QBO_VENV/bin/python" -c '' 2>/dev/null; then
    qbo_say "creating .venv"
    rm -rf "$QBO_VENV"
    "${QBO_PYTHON:-python3}" -m venv "$QBO_VENV"
fi
export VIRTUAL_ENV="$QBO_VENV"
export PATH="$QBO_VENV/bin:$PATH"
export PIP_DISABLE_PIP_VERSION_CHECK=1
hash -r

# Python tools: the build backend and the dev extra of pyproject.toml, reinstalled when that list changes.
qbo_requirements() {
    python - <<'PY'
import pathlib
try:
    import tomllib
except ModuleNotFoundError:  # Python 3.10
    import tomli as tomllib
data = tomllib.loads(pathlib.Path("pyproject.toml").read_text(encoding="utf-8"))
for req in data["build-system"]["requires"] + data["project"]["optional-dependencies"]["dev"]:
    print(req)
PY
}
python -c 'import tomllib' 2>/dev/null || python -c 'import tomli' 2>/dev/null || python -m pip install -q tomli
mapfile -t qbo_reqs < <(qbo_requirements)
qbo_reqs_stamp="$QBO_VENV/.qbo-requirements"
if [ "$(printf '%s\n' "${qbo_reqs[@]}")" != "$(cat "$qbo_reqs_stamp" 2>/dev/null)" ]; then
    qbo_say "installing Python tools"
    python -m pip install -q "${qbo_reqs[@]}"
    printf '%s\n' "${qbo_reqs[@]}" >"$qbo_reqs_stamp"
fi

# The package, built incrementally (build/<wheel tag>) and installed into .venv when any of its
# sources changed since the last install.
qbo_sources_state() {
    {
        python -c 'import sys; print(sys.version)'
        find CMakeLists.txt pyproject.toml README.md cpp python -type f -not -path '*/__pycache__/*' \
            -printf '%p %s %T@\n' | LC_ALL=C sort
    } | sha256sum
}
qbo_install_stamp="$QBO_VENV/.qbo-installed"
qbo_state="$(qbo_sources_state)"
if [ "$qbo_state" != "$(cat "$qbo_install_stamp" 2>/dev/null)" ] \
    || ! python -c 'import quorvel_bo.payouts' 2>/dev/null; then
    qbo_say "building and installing quorvel-bo-payouts"
    rm -f "$qbo_install_stamp"
    python -m pip install -q --no-build-isolation --no-deps .
    printf '%s\n' "$qbo_state" >"$qbo_install_stamp"
fi
