#!/usr/bin/env bash
# Runs clang-tidy (the checks in .clang-tidy) over the project's own sources, tests and fuzz
# targets left out, using the compile commands of a configured build folder. Exits non-zero on
# any finding. Usage: scripts/lint.sh [BUILD_DIR] [FILE_REGEX]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build}"
regex="${2:-/(listener|oozaf|tools|engine|frontends|web|toolkit)/(src/)?[^/]+\.cpp$}"
if [ ! -f "$build/compile_commands.json" ]; then
    echo "lint: $build/compile_commands.json is missing; configure the build first" >&2
    exit 2
fi
exec run-clang-tidy -quiet -p "$build" -j "$(nproc)" "$regex"
