#!/usr/bin/env bash
# The product uses no exceptions: no object of it may call anything that
# throws (operator new, the library's __throw_* helpers, a throw of its own)
# or unwind through it. A std:: container slipping in shows up here.
#   no_throw_test.sh NM OBJECT-OR-ARCHIVE...
set -euo pipefail
nm=$1
shift
throwing='operator new|__cxa_throw|__cxa_allocate_exception|std::__throw_|_Unwind_Resume'
found=$("$nm" -A -C -u "$@" | grep -E "$throwing" || true)
if [[ -n $found ]]; then
  echo "product code that can throw:" >&2
  echo "$found" >&2
  exit 1
fi
