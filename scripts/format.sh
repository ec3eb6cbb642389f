#!/usr/bin/env bash
# Formats every C++ file of the tree with the project's .clang-format.
set -euo pipefail
cd "$(dirname "$0")/.."
git ls-files --cached --others --exclude-standard -- '*.cpp' '*.h' | xargs -r clang-format -i --style=file
