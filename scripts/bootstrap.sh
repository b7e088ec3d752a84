#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks, builds, then runs the sample job or
# every test.
#
#   scripts/bootstrap.sh sample   list the volumes of the bundled sample disk
#   scripts/bootstrap.sh test     run every test suite
set -euo pipefail
cd "$(dirname "$0")/.."

job=${1:-sample}
build=${TREVIK_BUILD_DIR:-build}

packages=(cmake ninja-build g++ pkg-config libgtest-dev libcli11-dev nlohmann-json3-dev
          qt6-base-dev qt6-base-dev-tools libgl-dev libewf-dev libfuse3-dev fuse3)
# Foreign tools the tests compare against (NetBSD makefs, util-linux sfdisk and setpriv,
# The Sleuth Kit, GNU ddrescue, xmllint), strace for the never-write test, clang for the fuzz
# targets, clang-format for the format check.
test_packages=(makefs fdisk util-linux sleuthkit strace clang libclang-rt-14-dev clang-format
               gddrescue ewf-tools bash-completion man-db dpkg-dev file libxml2-utils)
[ "$job" = test ] && packages+=("${test_packages[@]}")

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTREVIK_WERROR=ON
cmake --build "$build" -j "$(nproc)"

case "$job" in
sample)
    cli="$build/src/cli/trevik-cli"
    disk="$build/sample-disk.img"
    "$cli" disks --image "$disk"
    echo
    "$cli" volumes "$disk"
    echo
    "$cli" ls "$disk" --volume 2 -r
    echo
    "$cli" recover "$disk" --volume 2 --to "$build/recovered-sample"
    echo "Recovered into $build/recovered-sample"
    if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
        exec "$build/src/shell/trevik" "$disk"
    fi
    QT_QPA_PLATFORM=offscreen "$build/src/shell/trevik" --screenshots "$build/screenshots" "$disk"
    echo "No display: the window at each step is in $build/screenshots"
    ;;
test)
    QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
    # The core, the CLI and their tests again under AddressSanitizer and UBSan.
    # Unoptimised with line tables only: a third of the compile time of -O2 -g, and the
    # tests' run time is small beside it.
    cmake -S . -B "$build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O0 -g1 -DNDEBUG" \
        -DTREVIK_SANITIZE=ON -DTREVIK_BUILD_GUI=OFF -DTREVIK_BUILD_BENCH=OFF
    cmake --build "$build-asan" -j "$(nproc)"
    ctest --test-dir "$build-asan" --output-on-failure -j "$(nproc)"
    # A short run of every fuzz target (scripts/fuzz.sh 1800 is the long one).
    TREVIK_FUZZ_BUILD_DIR="$build-fuzz" scripts/fuzz.sh "${TREVIK_FUZZ_SECONDS:-25}"
    ;;
*)
    echo "usage: $0 sample|test" >&2
    exit 2
    ;;
esac
