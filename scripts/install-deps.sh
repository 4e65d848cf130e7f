#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and this machine lacks.
set -euo pipefail

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev pkg-config python3 vsmartcard-vpicc python3-pycryptodome
          pcsc-tools pcscd libpcsclite-dev vsmartcard-vpcd)
# The pcscd reader module's clients in CI: OpenSC's tools and pyscard.
packages+=(opensc python3-pyscard)
# Wireshark's tshark reads the capture tests' files back.
packages+=(tshark)
# Packages, man pages, completion, the ABI dump and the unit checks.
packages+=(dpkg-dev debhelper fakeroot lintian abigail-tools scdoc man-db bash-completion zsh
           systemd)

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
