#!/usr/bin/env bash
# The systemd units as installed: systemd-analyze verify must pass them
# without a single complaint, pipd-sink's with the example Snapcast drop-in
# too. The programs are installed into a scratch directory and the units
# checked with their paths pointed there.
set -euo pipefail
build=$1
if ! command -v systemd-analyze >/dev/null; then
    echo "systemd-analyze is missing (Debian package systemd)" >&2
    exit 1
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
DESTDIR=$scratch/root cmake --install "$build" >/dev/null
bindir=$(sed -n 's/^ExecStart=\(.*\)\/pipd$/\1/p' "$build/packaging/pipd.service")
status=0
for unit in pipd.service pipd-sink.service pipd-web.service; do
    installed=$(find "$scratch/root" -path "*/lib/systemd/system/$unit")
    [ -n "$installed" ] || { echo "$unit is not installed" >&2; exit 1; }
    sed "s|^ExecStart=$bindir/|ExecStart=$scratch/root$bindir/|" "$installed" >"$scratch/$unit"
done
dropin=$(find "$scratch/root" -path "*/doc/pipd/examples/snapcast.conf")
[ -n "$dropin" ] || { echo "the Snapcast drop-in is not installed" >&2; exit 1; }
mkdir "$scratch/with-snapcast" "$scratch/with-snapcast/pipd-sink.service.d"
cp "$scratch/pipd-sink.service" "$scratch/with-snapcast/"
sed "s|^ExecStart=$bindir/|ExecStart=$scratch/root$bindir/|" "$dropin" \
    >"$scratch/with-snapcast/pipd-sink.service.d/snapcast.conf"
for unit in pipd.service pipd-sink.service pipd-web.service with-snapcast/pipd-sink.service; do
    out=$(systemd-analyze verify "$scratch/$unit" 2>&1) || status=1
    if [ -n "$out" ]; then
        echo "$out" >&2
        status=1
    fi
done
for f in lib/tmpfiles.d/pipd.conf lib/sysusers.d/pipd.conf; do
    [ -n "$(find "$scratch/root" -path "*/$f")" ] || { echo "$f is not installed" >&2; status=1; }
done
[ $status -eq 0 ] && echo "units verified: pipd.service pipd-sink.service (also with the Snapcast drop-in) pipd-web.service"
exit $status
