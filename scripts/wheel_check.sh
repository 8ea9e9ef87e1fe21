#!/usr/bin/env bash
# The release wheel (dist/, from scripts/wheel.sh) on a machine without simdjson: installed into a
# fresh virtual environment, then run in a private mount namespace in which the system's
# libsimdjson files are hidden. There the development build must fail to import (so the hiding
# works) while the wheel's command gives the same documents as the development build gives outside
# (describe, version, a build stage of each family, a large payload, a notification), and its demo
# passes. Needs root: unshare and mount.
set -euo pipefail
if [ "${1:-}" != --inside ] && [ -z "${QBO_SETUP_DONE:-}" ]; then
    source "$(dirname "$0")/setup.sh"
fi
cd "$(dirname "$0")/.."

root="$PWD/build/wheel-check"
venv="$root/venv"
dev_python="$PWD/.venv/bin/python"
fail() {
    printf 'wheel_check: %s\n' "$*" >&2
    exit 1
}

# One case a line: a name, then the command's arguments as a JSON list.
cases() {
    python - <<'PY'
import json

config = {"client_id": "cid"}
token = {"access_token": "tk", "token_type": "Bearer", "expires_at": 1}
def build(inp): return json.dumps({"config": config, "token": token, "input": inp})
notification = json.dumps({"token": "s3cr3t", "expected_token": "s3cr3t",
                           "body": '{"nroLote":"77","transaccionId":"TX-1","estado":"PAGADO","importe":"12.50"}'})
for name, args in [
    ("describe", ["describe"]),
    ("version", ["version"]),
    ("scan", ["call", "payouts.scan.build", build({"qr_text": "0002010102"})]),
    # Above the small-text limit: simdjson's own parser reads it.
    ("scan-large", ["call", "payouts.scan.build", build({"qr_text": "0002010102" + "7" * 8000})]),
    ("banks", ["call", "batch.banks.build", build({"branch_code": "SUC-01"})]),
    ("webhook", ["call", "batch.webhook.parse", notification]),
]:
    print(name, json.dumps(args))
PY
}

# Runs each case with COMMAND... and writes its output to DIR/NAME; the documents must say "ok".
run_cases() {
    local dir="$1" name args
    shift
    mkdir -p "$dir"
    while read -r name args; do
        mapfile -t argv < <(python -c 'import json, sys; print(*json.loads(sys.argv[1]), sep="\n")' "$args")
        "$@" "${argv[@]}" </dev/null >"$dir/$name" || fail "$name: exit status $? from $*"
        grep -q '^{"ok":true,' "$dir/$name" || fail "$name: not a success: $(head -c 300 "$dir/$name")"
    done < <(cases)
}

if [ "${1:-}" = --inside ]; then
    # The new mount namespace: hide every directory entry of the system's simdjson library.
    read -r -a dirs <<<"$QBO_SIMDJSON_DIRS"
    i=0
    for dir in "${dirs[@]}"; do
        # An overlay whose upper layer holds a whiteout per entry: the names are gone, not emptied.
        layer="$root/overlay/$i"
        mkdir -p "$layer/upper" "$layer/work"
        for entry in "$dir"/libsimdjson*; do
            mknod "$layer/upper/$(basename "$entry")" c 0 0
        done
        mount -t overlay overlay -o "lowerdir=$dir,upperdir=$layer/upper,workdir=$layer/work" "$dir"
        i=$((i + 1))
        if compgen -G "$dir/libsimdjson*" >/dev/null; then
            fail "still visible: $(echo "$dir"/libsimdjson*)"
        fi
    done
    echo "hidden: libsimdjson* in ${dirs[*]}"

    # The proof that the hiding works: the development build links the system library.
    if out="$("$dev_python" -c 'import quorvel_bo.payouts._native' 2>&1)"; then
        fail "the development build still imports, so the system library is still reachable"
    fi
    grep -q 'libsimdjson.so.*: cannot open shared object file' <<<"$out" || fail "unexpected import failure: $out"
    echo "the development build does not import: $(tail -1 <<<"$out")"

    # Away from the work tree, with nothing on the path but the wheel's environment.
    cd "$root"
    unset PYTHONPATH
    export PATH="$venv/bin:/usr/bin:/bin"
    module="$(python -c 'import quorvel_bo.payouts._native as m; print(m.__file__)')" \
        || fail "the wheel's module does not import without the system's simdjson"
    [[ "$module" == "$venv"/* ]] || fail "the module comes from $module"
    deps="$(ldd "$module")"
    printf 'ldd %s\n%s\n' "${module#"$root"/}" "$deps"
    ! grep -q 'not found' <<<"$deps" || fail "unresolved libraries"
    grep -q "libsimdjson-[0-9a-f]*\.so\.[0-9.]* => $venv/.*/quorvel_bo_payouts\.libs/" <<<"$deps" \
        || fail "simdjson does not come from the wheel"

    run_cases "$root/got" quorvel-payouts
    run_cases "$root/got-module" python -m quorvel_bo.payouts
    # A recognisable tail of the demo is enough here; tests/test_cli.py checks it in detail.
    quorvel-payouts demo >"$root/demo.log" 2>&1 || {
        cat "$root/demo.log"
        fail "quorvel-payouts demo failed"
    }
    grep -q 'all checks passed' "$root/demo.log" || fail "the demo did not say that all checks passed"
    echo "quorvel-payouts demo: $(tail -1 "$root/demo.log")"
    exit 0
fi

wheels=(dist/quorvel_bo_payouts-*-cp310-abi3-manylinux_*_x86_64.whl)
[ "${#wheels[@]}" -eq 1 ] && [ -f "${wheels[0]}" ] || fail "expected one manylinux wheel in dist/: run scripts/wheel.sh"
[ "$(id -u)" -eq 0 ] || fail "needs root (a private mount namespace)"

rm -rf "$root"
mkdir -p "$root"
# The base interpreter, not the development environment's: nothing of it may leak in.
base_python="$("$dev_python" -c 'import sys; print(sys._base_executable)')"
"$base_python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --disable-pip-version-check "${wheels[0]}" 2>&1 | { grep -v 'is ignored' || true; }
echo "installed $(basename "${wheels[0]}") into a fresh virtual environment"

# The documents the development build gives, with the system library in place.
run_cases "$root/want" "$dev_python" -m quorvel_bo.payouts

# Every directory that holds the library by the loader's cache or at the usual place.
mapfile -t found < <({
    ldconfig -p | awk '/libsimdjson/ { print $NF }'
    echo /usr/lib/x86_64-linux-gnu/libsimdjson.so
} | while read -r lib; do [ -e "$lib" ] && dirname "$(readlink -f "$lib")"; done | sort -u)
[ "${#found[@]}" -gt 0 ] || fail "the system's simdjson library is not installed, so there is nothing to hide"
QBO_SIMDJSON_DIRS="${found[*]}" unshare --mount --propagation private -- bash "$0" --inside

for dir in got got-module; do
    diff -r "$root/want" "$root/$dir" >/dev/null || fail "the wheel's documents differ ($dir): diff -r $root/want $root/$dir"
done
echo "wheel check: $(cases | wc -l) documents as the development build gives them, and the demo, without the system's simdjson"
