#!/usr/bin/env bash
# Builds the library's reference documentation from its public headers with Doxygen, into
# build-docs/html (or the directory given as the first argument). Installs Doxygen with apt-get
# when it is missing. Fails on any Doxygen warning, so that a broken reference is noticed.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build-docs}

if ! command -v doxygen >/dev/null; then
    scripts/deps.sh doxygen
fi
mkdir -p "$out"
{
    cat docs/Doxyfile
    echo "OUTPUT_DIRECTORY = $out"
    echo "PROJECT_NUMBER = $(sed -n 's/^project(brinomar VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)"
} | doxygen -
echo "Reference written to $out/html/index.html"
