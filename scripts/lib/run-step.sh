# run_step NAME CAUSES COMMAND [ARG...]
#
# Runs one set-up step quietly: COMMAND's output goes to a log of its own. When
# COMMAND fails, the step's name, the command, the last lines of that log and
# CAUSES (a sentence on what usually makes this step fail) go to standard error,
# and run_step returns COMMAND's exit status. Sourced by scripts/install-deps.

RUN_STEP_TAIL=${RUN_STEP_TAIL:-20}

run_step() {
  local name=$1 causes=$2
  shift 2
  local log status=0
  log=$(mktemp "${TMPDIR:-/tmp}/install-deps-step.XXXXXX") || return 1
  "$@" >"$log" 2>&1 </dev/null || status=$?
  if [ "$status" -ne 0 ]; then
    {
      echo "install-deps: step \"$name\" failed (exit status $status)"
      echo "  command: $*"
      if [ -s "$log" ]; then
        echo "  last $RUN_STEP_TAIL lines of its output:"
        tail -n "$RUN_STEP_TAIL" "$log" | sed 's/^/    /'
      else
        echo "  it printed nothing"
      fi
      echo "  $causes"
    } >&2
  fi
  rm -f "$log"
  return "$status"
}
