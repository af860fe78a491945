#!/usr/bin/env bash
# One end-to-end case of the Windows program under Wine against the demo box:
#   tests/e2e/wine_e2e.sh report-success | report-not-genuine | report-download |
#                         report-no-installer | report-box-error | interactive
# Run by CTest inside the private network namespace of scripts/test-windows.sh,
# whose wineserver, WINEPREFIX and Xvfb display it uses. The environment names
# the programs: OSTREVANE_E2E_SETUP (the program built with the test trust),
# OSTREVANE_E2E_DEMO_BOX and OSTREVANE_E2E_TRUST_DIR (a Linux build's demo box
# and its trust material), OSTREVANE_E2E_INSTALLER (the Windows stand-in that
# the box serves as its installer: it records how it was started).
set -euo pipefail
wine=/usr/lib/wine/wine64
case=${1:?usage: wine_e2e.sh CASE}

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
[ "${OSTREVANE_WINE_NAMESPACE:-}" = private ] ||
  fail "runs only in the private network namespace of scripts/test-windows.sh"

scratch=$(mktemp -d)
box_pid=
program_pid=
cleanup() {
  [ -n "$program_pid" ] && kill "$program_pid" 2>/dev/null
  [ -n "$box_pid" ] && kill "$box_pid" 2>/dev/null && wait "$box_pid" 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

# Returns the Windows name of a Unix path (Wine's drive Z: is the root).
windows_path() {
  printf 'Z:%s' "${1//\//\\}"
}

start_box() {
  "$OSTREVANE_E2E_DEMO_BOX" --trust "$OSTREVANE_E2E_TRUST_DIR" \
    --installer-file "$OSTREVANE_E2E_INSTALLER" "$@" >"$scratch/box.out" 2>"$scratch/box.err" &
  box_pid=$!
  for _ in $(seq 100); do
    grep -qx ready "$scratch/box.out" && return 0
    kill -0 "$box_pid" 2>/dev/null || fail "the demo box did not start: $(cat "$scratch/box.err")"
    sleep 0.1
  done
  fail "the demo box was not ready within 10 s"
}

# The user's working folder of the Windows program, in the Wine prefix.
working_folder() {
  local temp
  temp=$("$wine" cmd /c echo %TEMP% 2>/dev/null | tr -d '\r')
  printf '%s/ostrevane-setup' "$(/usr/lib/wine/wine64 winepath -u "$temp" 2>/dev/null)"
}

# The French messages as the report writes them, escapes included.
not_genuine='L'\''appareil qui a répondu n'\''est pas un boîtier Ostrevane authentique. Rien n'\''a été installé.\n\nContactez Ostrevane : support@ostrevane.fr.'
box_error='Le boîtier a répondu par une erreur. Rien n'\''a été installé.\n\nRéessayez ; si cela se reproduit, contactez Ostrevane : support@ostrevane.fr.'
no_installer='Le boîtier ne propose pas d'\''installation valide. Rien n'\''a été installé.\n\nContactez Ostrevane : support@ostrevane.fr.'
download='Le téléchargement depuis le boîtier a été interrompu. Vérifiez que cet ordinateur reste relié au réseau du cabinet, puis réessayez.'

failure() {
  printf '{"code":"%s","detail":"%s","message":"%s","ok":false}' "$1" "$2" "$3"
}

report_case() {
  local expected_code=$1 expected=$2
  shift 2
  start_box "$@"
  local report=$scratch/report.json code=0
  # Wine now and then loses a program while it starts: a run that wrote no
  # report is started again, up to three times in all.
  for attempt in 1 2 3; do
    code=0
    "$wine" "$OSTREVANE_E2E_SETUP" --report "$(windows_path "$report")" || code=$?
    [ -f "$report" ] && break
    echo "no report after start $attempt of 3 (exit code $code)" >&2
  done
  [ -f "$report" ] || fail "the program wrote no report"
  echo "report: $(cat "$report")"
  echo "exit code: $code"
  printf '%s' "$expected" | cmp -s - "$report" || fail "the report differs; expected: $expected"
  [ "$code" -eq "$expected_code" ] || fail "exit code $code, expected $expected_code"
  local folder
  folder=$(working_folder)
  if [ -d "$folder" ] && [ -n "$(ls -A "$folder")" ]; then
    fail "files left in the working folder $folder: $(ls -A "$folder")"
  fi
}

interactive_case() {
  start_box --paced
  local record=$scratch/installer-record
  export OSTREVANE_TEST_RECORD
  OSTREVANE_TEST_RECORD=$(windows_path "$record")
  "$wine" "$OSTREVANE_E2E_SETUP" &
  program_pid=$!
  # The progress dialog is an X window named after its title while the
  # attempt runs (the paced box makes that several seconds).
  local seen=false
  while kill -0 "$program_pid" 2>/dev/null; do
    if xwininfo -root -tree 2>/dev/null | grep -q '"Ostrevane": ('; then
      seen=true
    fi
    sleep 0.1
  done
  local code=0
  wait "$program_pid" || code=$?
  program_pid=
  echo "exit code: $code"
  $seen || fail "no dialog window titled \"Ostrevane\" was seen"
  [ "$code" -eq 0 ] || fail "exit code $code, expected 0"
  [ -f "$record" ] || fail "the installer did not run"
  # The record's first field is the installer's raw command line.
  local command_line
  command_line=$(tr '\0' '\n' <"$record" | head -n 1)
  echo "installer command line: $command_line"
  [[ "$command_line" =~ ^\"[A-Z]:\\.*\\ostrevane-setup\\Ostrevane-Setup-1\.4\.2\.exe\"\ /S\ /R$ ]] ||
    fail "the installer's command line is not '\"...\\ostrevane-setup\\Ostrevane-Setup-1.4.2.exe\" /S /R'"
  local folder
  folder=$(working_folder)
  [ ! -e "$folder/Ostrevane-Setup-1.4.2.exe" ] || fail "the installer was not deleted after its run"
}

digest=$(sha256sum "$OSTREVANE_E2E_INSTALLER" | cut -d ' ' -f 1)
empty_digest=e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855
case "$case" in
  report-success)
    report_case 0 '{"installer":"Ostrevane-Setup-1.4.2.exe","ok":true,"webview2":false}' ;;
  report-not-genuine)
    report_case 1 "$(failure not_genuine \
      "certificate verify failed (unable to get local issuer certificate)" "$not_genuine")" \
      --foreign-cert ;;
  report-download)
    report_case 1 "$(failure download "sha256 $digest, the manifest says $empty_digest" \
      "$download")" --bad-digest ;;
  report-no-installer)
    report_case 1 "$(failure no_installer "bad signature: The signature verification failed" \
      "$no_installer")" --bad-signature ;;
  report-box-error)
    report_case 1 "$(failure box_error \
      "/desktop/Ostrevane-Setup-1.4.2.exe: HTTP 503 Service Unavailable" "$box_error")" \
      --file-status 503 ;;
  interactive) interactive_case ;;
  *) fail "unknown case $case" ;;
esac
echo "PASSED: $case"
