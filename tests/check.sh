# What the shell tests share, sourced by them: a scratch folder removed on exit, and named checks counted, each
# failure named, the total printed by `finish`, which fails when any check did.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() {  # name, command...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); else echo "FAILED: $name"; failed=$((failed + 1)); fi
}
finish() {
  echo "$passed passed, $failed failed"
  ((failed == 0))
}
