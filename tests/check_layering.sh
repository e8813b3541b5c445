#!/usr/bin/env bash
# Fails when a library includes a header from a layer above it. The linker cannot see such
# leaks when the included code is header-only. HushnoteApp/main.cpp is the executable, which
# sits above the UI.
set -euo pipefail
root=$1
status=0

forbid() {
    local dir=$1 pattern=$2 why=$3
    [[ -d "$root/$dir" ]] || return 0
    local hits
    hits=$(grep -rnE --include='*.h' --include='*.cpp' "^[[:space:]]*#[[:space:]]*include[[:space:]]*[<\"]($pattern)" \
        "$root/$dir" | grep -v "^$root/HushnoteApp/UI/" | grep -v "^$root/HushnoteApp/main.cpp:" || true)
    if [[ -n "$hits" ]]; then
        echo "$why:"
        echo "$hits"
        status=1
    fi
}

forbid Foundation 'Auralis/|HushnoteCore/|HushnoteApp/|Q[A-Za-z]' "Foundation depends on nothing of ours"
forbid Auralis 'HushnoteCore/|HushnoteApp/|Q[A-Za-z]' "Auralis must not include application code or Qt"
forbid HushnoteCore 'HushnoteApp/|Q[A-Za-z]' "HushnoteCore must not include HushnoteApp or Qt"
forbid HushnoteApp 'HushnoteApp/UI/|Q[A-Za-z]|qt' "Only HushnoteApp/UI may include Qt"

if [[ $status -eq 0 ]]; then
    echo "layering ok"
fi
exit $status
