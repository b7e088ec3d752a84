#!/usr/bin/env bash
# The Debian package: built by cpack, its dependencies as a fresh Debian 12 needs them
# (apt can resolve them), and the programs it holds run: trevik-cli --version, and the
# window's screenshots of the sample disk.
set -euo pipefail
build=${1:?usage: package_test.sh BUILD_DIR SAMPLE_DISK}
disk=${2:?}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
(cd "$build" && cpack -G DEB -B "$work" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/trevik_*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for needed in libewf2 libfuse3-3 libqt6widgets6 qt6-qpa-plugins fuse3 libc6; do
    [[ ", $depends," == *", $needed"[\ ,]* ]] || { echo "missing dependency: $needed"; exit 1; }
done
# apt finds every dependency (simulated: nothing is installed).
apt-get install -s -q "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }
# The files a user expects, where Debian puts them.
contents=$(dpkg-deb -c "$deb")
for path in ./usr/bin/trevik ./usr/bin/trevik-cli ./usr/share/man/man1/trevik-cli.1 \
    ./usr/share/man/man1/trevik.1 ./usr/share/bash-completion/completions/trevik-cli \
    ./usr/share/applications/trevik.desktop ./usr/share/mime/packages/trevik.xml \
    ./usr/share/doc/trevik/manual/index.html ./usr/share/doc/trevik/manual/images/browse.png; do
    grep -q " $path\$" <<<"$contents" || { echo "not in the package: $path"; exit 1; }
done
# The programs as installed run.
dpkg-deb -x "$deb" "$work/root"
"$work/root/usr/bin/trevik-cli" --version | grep -q "^trevik-cli "
QT_QPA_PLATFORM=offscreen QT_LOGGING_RULES='qt.qpa.*=false' \
    "$work/root/usr/bin/trevik" --screenshots "$work/shots" "$disk" >/dev/null
[ -s "$work/shots/browse.png" ]
echo "package: $(basename "$deb") ok"
