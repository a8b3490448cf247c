#!/usr/bin/env bash
# Fails on any C++ source that clang-format (by .clang-format) would change.
#   format_check.sh CLANG_FORMAT SOURCE_DIR
set -euo pipefail
cd "$2"
find app camera guider indi mainwindow ports runner script theme tests bench -name '*.cpp' -o -name '*.h' | sort | xargs "$1" --dry-run --Werror
