#!/bin/bash
# The programs' command lines as a user meets them: --help (exit 0, the
# usage on standard output), --version (the project's version), and an
# unknown option or argument (exit 2, the usage or a pointer to it on
# standard error, nothing started).
set -euo pipefail
build=${1:?usage: command_lines_test.sh BUILD_DIR VERSION}
version=${2:?usage: command_lines_test.sh BUILD_DIR VERSION}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  for f in "$work"/*; do echo "== $f"; tail -n 20 "$f"; done
  exit 1
}
expect_eq() {  # what got want
  [ "$2" = "$3" ] || fail "$1: got '$2', want '$3'"
}
status_of() {  # command...: its exit status, output in $work/out and $work/err
  local s=0
  timeout 10 "$@" >"$work/out" 2>"$work/err" </dev/null || s=$?
  echo "$s"
}

# "program|--help's first line|the unknown argument|what standard error says of it"
while IFS='|' read -r program usage bad said; do
  [ -z "$program" ] && continue
  name=$(basename "$program")
  expect_eq "$name --help" "$(status_of "$build/$program" --help)" 0
  grep -q "^$usage" "$work/out" || fail "$name --help: no usage line '$usage'"
  expect_eq "$name: --help writes nothing on stderr" "$(cat "$work/err")" ""
  expect_eq "$name $bad" "$(status_of "$build/$program" "$bad")" 2
  grep -q -- "$said" "$work/err" || fail "$name $bad: stderr does not say '$said'"
done <<'TABLE'
Service/solvarind|usage: solvarind |--bogus|unknown argument '--bogus'
host/zornfhost|usage: zornfhost |--bogus|usage: zornfhost
tools/gwsim/gwsim|usage: gwsim |--bogus|usage: gwsim
tools/solvarin-cli/solvarin-cli|usage: solvarin-cli |--bogus|unknown option --bogus
TABLE

for program in Service/solvarind host/zornfhost tools/gwsim/gwsim; do
  name=$(basename "$program")
  expect_eq "$name --version" "$(status_of "$build/$program" --version)" 0
  expect_eq "$name's version" "$(cat "$work/out")" "$name $version"
done

# The daemon takes one argument: anything after run_as_process is refused too.
expect_eq "solvarind run_as_process extra" "$(status_of "$build/Service/solvarind" run_as_process extra)" 2
grep -q "unknown argument 'extra'" "$work/err" || fail "the extra argument is not named"
# The client's help lists its exit statuses and examples.
status_of "$build/tools/solvarin-cli/solvarin-cli" --help >/dev/null
grep -q "^  3  no daemon" "$work/out" || fail "solvarin-cli --help lists no exit statuses"
grep -q "^Examples:" "$work/out" || fail "solvarin-cli --help shows no examples"
expect_eq "solvarin-cli without an action" "$(status_of "$build/tools/solvarin-cli/solvarin-cli")" 2
echo "PASS"
