#!/usr/bin/env bash
# Writes the seed corpus of the sacd fuzz target into DIR: small disc images
# made by the tests' image writer (fuzz/make_sacd_seeds.cpp).
# usage: fuzz/make_sacd_seeds.sh DIR
set -euo pipefail
out=${1:?usage: make_sacd_seeds.sh DIR}
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"${CXX:-c++}" -std=c++20 -O1 -I"$root" -I"$root/tests" -I"$root/src" -DPIPD_SOURCE_DIR="\"$root\"" "$root/fuzz/make_sacd_seeds.cpp" -o "$work/make_sacd_seeds"
"$work/make_sacd_seeds" "$out"
