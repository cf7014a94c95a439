#!/usr/bin/env bash
# Fails, naming the places, when a C++ file of the tree differs from the project's .clang-format.
#   format_check.sh SOURCE_DIR
set -euo pipefail
cd "$1"
mapfile -t files < <(find app bench chooser cli fuzz process protocol run samples scan tests worker \( -name '*.cpp' -o -name '*.h' \) | sort)
if ! clang-format --dry-run --Werror "${files[@]}"; then
  echo "Some files differ from .clang-format; format them with: clang-format -i FILE..." >&2
  exit 1
fi
echo "${#files[@]} files follow .clang-format."
