#!/bin/bash
# The programs' command lines as a user meets them: --help and -h (exit 0,
# the usage on standard output), --version (the project's version), the
# options read one way in all three option-taking programs (getopt_long:
# --opt value, --opt=value, "--" ends the options, the same words for the
# same mistake), the client's usage errors (exit 2, nothing on standard
# output, the reason on standard error), and zornfhost's refusal to run
# without an adapter pair.
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
cli=$build/tools/solvarin-cli/solvarin-cli

# "program|--help's first line|the unknown argument|what standard error says of it"
while IFS='|' read -r program usage bad said; do
  [ -z "$program" ] && continue
  name=$(basename "$program")
  for help in --help -h; do
    expect_eq "$name $help" "$(status_of "$build/$program" "$help")" 0
    grep -q "^$usage" "$work/out" || fail "$name $help: no usage line '$usage'"
    expect_eq "$name: $help writes nothing on stderr" "$(cat "$work/err")" ""
  done
  expect_eq "$name $bad" "$(status_of "$build/$program" "$bad")" 2
  grep -q -- "$said" "$work/err" || fail "$name $bad: stderr does not say '$said'"
  expect_eq "$name $bad writes nothing on stdout" "$(cat "$work/out")" ""
done <<'TABLE'
Service/solvarind|usage: solvarind |--bogus|unknown argument '--bogus'
host/zornfhost|usage: zornfhost |--bogus|unrecognized option '--bogus'
tools/gwsim/gwsim|usage: gwsim |--bogus|unrecognized option '--bogus'
tools/solvarin-cli/solvarin-cli|usage: solvarin-cli |--bogus|unrecognized option '--bogus'
TABLE

for program in Service/solvarind host/zornfhost tools/gwsim/gwsim tools/solvarin-cli/solvarin-cli; do
  name=$(basename "$program")
  expect_eq "$name --version" "$(status_of "$build/$program" --version)" 0
  expect_eq "$name's version" "$(cat "$work/out")" "$name $version"
done

# The same mistakes get the same answers; --opt=value is read as --opt value,
# "--" ends the options. Nothing starts: each is refused before it would.
# "program|arguments|what standard error says"
while IFS='|' read -r program args said; do
  [ -z "$program" ] && continue
  name=$(basename "$program")
  read -r -a argv <<<"$args"
  expect_eq "$name $args" "$(status_of "$build/$program" "${argv[@]}")" 2
  grep -q -F -- "$said" "$work/err" || fail "$name $args: stderr does not say '$said'"
  expect_eq "$name $args writes nothing on stdout" "$(cat "$work/out")" ""
done <<'TABLE'
host/zornfhost|--workers|option '--workers' requires an argument
tools/gwsim/gwsim|--workers|option '--workers' requires an argument
tools/solvarin-cli/solvarin-cli|--gateway|option '--gateway' requires an argument
host/zornfhost|--adapter tap0:eth0 --workers=99|zornfhost: --workers 99: not a count from 0 to 16
host/zornfhost|--adapter=tap0|zornfhost: --adapter tap0: not TAP:UPLINK
host/zornfhost|--adapter tap0:eth0 -- extra|zornfhost: unexpected argument 'extra'
tools/gwsim/gwsim|--variant=15|gwsim: --variant 15: not 16 or 17
tools/gwsim/gwsim|-- extra|gwsim: unexpected argument 'extra'
tools/solvarin-cli/solvarin-cli|--gateway=203.0.113.1 --profile-type=5 connect|--profile-type 5: not a profile type: 0 (certificate) or 1 (ephemeral key)
tools/solvarin-cli/solvarin-cli|--gateway 203.0.113.1 --profile-type -1 up|--profile-type -1: not a profile type
tools/solvarin-cli/solvarin-cli|--tunnel-group abcdefghijklmnopqrstu status|--tunnel-group abcdefghijklmnopqrstu: longer than 20 characters
tools/solvarin-cli/solvarin-cli|--gateway 203.0.113.300 status|--gateway 203.0.113.300: not an IPv4 address
tools/solvarin-cli/solvarin-cli|--profile-type 1 connect|connect needs the gateway: --gateway A.B.C.D (or --profile FILE)
tools/solvarin-cli/solvarin-cli|--profile-type 1 connect-alt|connect-alt needs the gateway
tools/solvarin-cli/solvarin-cli|up|up needs the gateway
tools/solvarin-cli/solvarin-cli|--gateway 203.0.113.1 up now|up: unexpected now
tools/solvarin-cli/solvarin-cli|--gateway 203.0.113.1 connect x|connect: x is not a number
tools/solvarin-cli/solvarin-cli|request|request needs a command code
tools/solvarin-cli/solvarin-cli|request 18 zero|request: zero is not a number
tools/solvarin-cli/solvarin-cli|listen|listen needs a value
tools/solvarin-cli/solvarin-cli|status --xml|status: unexpected --xml (status takes only --json)
tools/solvarin-cli/solvarin-cli|status --json extra|status: unexpected extra
tools/solvarin-cli/solvarin-cli|interrupt now|interrupt: unexpected now
tools/solvarin-cli/solvarin-cli|- status|-: unexpected status
tools/solvarin-cli/solvarin-cli|-- --gateway 203.0.113.1 connect|unknown action --gateway
tools/solvarin-cli/solvarin-cli|--kind 256 status|--kind 256: out of range
TABLE

# zornfhost without an adapter pair could carry no tunnel: one line that
# says what to put in /etc/default/zornfhost, and a failure status.
expect_eq "zornfhost without an adapter" "$(status_of "$build/host/zornfhost" --syslog)" 2
expect_eq "its refusal's lines" "$(wc -l <"$work/err")" 1
grep -q -F 'ZORNFHOST_OPTS="--adapter TAP:UPLINK" in /etc/default/zornfhost' "$work/err" ||
  fail "the refusal does not say what to put in /etc/default/zornfhost"

# The client's errors go to standard error, so that a pipe reads only what it
# asked for: without a daemon (or as a user it does not serve) status --json
# writes nothing on standard output.
[ "$(status_of "$cli" status --json)" != 0 ] || fail "status --json without a daemon it serves succeeded"
expect_eq "status --json's output when it fails" "$(cat "$work/out")" ""
grep -q "^error: " "$work/err" || fail "status --json's failure is not on standard error"

# The daemon takes one argument: anything after run_as_process is refused too.
expect_eq "solvarind run_as_process extra" "$(status_of "$build/Service/solvarind" run_as_process extra)" 2
grep -q "unknown argument 'extra'" "$work/err" || fail "the extra argument is not named"
# The client's help lists its exit statuses and examples.
status_of "$cli" --help >/dev/null
grep -q "^  3  no daemon" "$work/out" || fail "solvarin-cli --help lists no exit statuses"
grep -q "^Examples:" "$work/out" || fail "solvarin-cli --help shows no examples"
expect_eq "solvarin-cli without an action" "$(status_of "$cli")" 2
echo "PASS"
