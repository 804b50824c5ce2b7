# Sourced by the CLI tests: run zerloctl ($ZERLOCTL) and compare its whole
# output and exit status; failures are counted in $failures.
#   check NAME EXPECTED_EXIT EXPECTED_OUTPUT -- ARGS...
failures=0

check() {
    name=$1 want_exit=$2 want=$3
    shift 4
    got=$("$ZERLOCTL" "$@" 2>&1)
    status=$?
    if [ "$status" -ne "$want_exit" ] || [ "$got" != "$want" ]; then
        printf 'FAIL %s: zerloctl %s\n  exit %s (want %s)\n  got:\n%s\n  want:\n%s\n' \
            "$name" "$*" "$status" "$want_exit" "$got" "$want"
        failures=$((failures + 1))
    fi
}
