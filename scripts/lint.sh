#!/usr/bin/env bash
# Static analysis: clang-tidy with the bug-finding checks of .clang-tidy, then cppcheck, over
# comm/, app/, cli/, tools/ and (with Qt 6) gui/. Builds with clang in $KIVO_LINT_BUILD
# (default build-lint) first, so that generated sources exist. Prints every finding and exits
# non-zero if there was one. Takes about ten minutes on two cores.
set -euo pipefail
# Started with no environment (env -i, a bare service or CI step), bash makes up a PATH for
# itself but passes none on, and cmake cannot find its own modules without one.
export PATH
cd "$(dirname "$0")/.."
build=${KIVO_LINT_BUILD:-build-lint}
scripts/deps.sh clang-tidy cppcheck

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    -DKIVO_BUILD_TESTS=OFF -DKIVO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

sources='^'"$PWD"'/(comm|app|cli|tools|gui)/.*\.cpp$'
tidy_log="$build/clang-tidy.log"
# run-clang-tidy colours its output even into a file.
run-clang-tidy -p "$build" -j "$(nproc)" -quiet "$sources" 2>&1 |
    sed 's/\x1b\[[0-9;]*m//g' >"$tidy_log" || true
cppcheck_log="$build/cppcheck.log"
cppcheck --enable=warning,performance,portability --inline-suppr --quiet -j "$(nproc)" \
    --project="$build/compile_commands.json" --file-filter="comm/*" --file-filter="app/*" \
    --file-filter="cli/*" --file-filter="tools/*" --file-filter="gui/*" \
    --suppress='*:/usr/*' --suppress=virtualCallInConstructor \
    --error-exitcode=1 >"$cppcheck_log" 2>&1 || true

findings=$( (grep -E ': (warning|error):' "$tidy_log" || true; cat "$cppcheck_log") | sort -u)
if [ -n "$findings" ]; then
    echo "$findings"
    echo "lint: findings above (details in $tidy_log and $cppcheck_log)" >&2
    exit 1
fi
echo "lint: clean"
