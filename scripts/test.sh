#!/usr/bin/env bash
# The project's test command: installs what is missing, builds the agent
# (release and ASan+UBSan), checks formatting and runs every test.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

scripts/setup.sh

configure_and_build() {
	local dir=$1
	shift
	cmake -S . -B "$dir" "$@" >/dev/null
	cmake --build "$dir" -j "$(nproc)"
}
configure_and_build build -DCMAKE_BUILD_TYPE=Release
configure_and_build build-asan -DCMAKE_BUILD_TYPE=Debug -DAGENT_SANITIZE=ON

git ls-files -co --exclude-standard -- '*.c' '*.cpp' '*.hpp' '*.h' |
	xargs clang-format --dry-run --Werror

ctest --test-dir build --output-on-failure
ctest --test-dir build-asan --output-on-failure
