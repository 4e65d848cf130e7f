#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and this machine lacks.
# Usage: scripts/install-deps.sh [all|build|test]: what configuring and building need, what
# only the tests need (installed while the build runs), or both (the default).
set -euo pipefail
set_name="${1:-all}"

build=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
       libbenchmark-dev pkg-config python3 libpcsclite-dev pcscd mold)
# The man pages are generated at build time; the units install where systemd.pc says.
build+=(scdoc systemd)
# The card emulator and pcsc-lite's peers, the pcscd reader module's clients in CI (OpenSC's
# tools and pyscard), and Wireshark's tshark, which reads the capture tests' files back.
test=(vsmartcard-vpicc python3-pycryptodome pcsc-tools vsmartcard-vpcd opensc python3-pyscard
      tshark)
# The package test: Debian's packaging tools, lintian, the ABI checker, man and the shells
# whose completion is checked.
test+=(dpkg-dev debhelper fakeroot lintian abigail-tools man-db bash-completion zsh)
case "$set_name" in
    all) packages=("${build[@]}" "${test[@]}") ;;
    build) packages=("${build[@]}") ;;
    test) packages=("${test[@]}") ;;
    *) echo "usage: $0 [all|build|test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    sudo_cmd=""
    [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
    export DEBIAN_FRONTEND=noninteractive
    # tshark's package asks whether to let non-root users capture: no.
    echo "wireshark-common wireshark-common/install-setuid boolean false" |
        $sudo_cmd debconf-set-selections
    $sudo_cmd apt-get update -q
    $sudo_cmd apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
