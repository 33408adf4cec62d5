#!/usr/bin/env bash
# live_registry_test.sh QELMBAR_EXE JOURNAL_TEST_EXE WORKDIR LIMITED_RUN_EXE
#
# The Windows build of qelmbar on a live registry: Wine's, in a fresh
# prefix under WORKDIR that is removed again (with its wineserver) however
# the test ends.  Drives install, schedule, package add and remove, status
# --json and uninstall as a user would, checks exit statuses and messages
# (a write without an elevated token is refused; LIMITED_RUN_EXE runs the
# tool with the limited token an administrator has without elevation),
# and reads the registry back with Wine's own 'reg query'.  Then runs the
# live target's journal test.  Every Wine call is bounded by a timeout.
set -euo pipefail

exe=$(realpath "$1")
journal=$(realpath "$2")
work=$(realpath -m "$3")
limited=$(realpath "$4")
wine=${QELMBAR_WINE64:-/usr/lib/wine/wine64}
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=wineserver

export WINEPREFIX=$work/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="

cleanup() {
  timeout 60 "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$work"
mkdir -p "$work"
cd "$work"

failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}

timeout 240 "$wine" wineboot --init >/dev/null 2>&1
timeout 120 "$wineserver" -w

# q ARGS...: runs qelmbar.exe; leaves rc, out and err (line ends made Unix).
q() {
  rc=0
  timeout 60 "$wine" "$exe" "$@" >out.txt 2>err.txt || rc=$?
  out=$(tr -d '\r' <out.txt)
  err=$(tr -d '\r' <err.txt)
}
# ql ARGS...: as q, with the limited token of an administrator.
ql() {
  rc=0
  timeout 60 "$wine" "$limited" "$exe" "$@" >out.txt 2>err.txt || rc=$?
  out=$(tr -d '\r' <out.txt)
  err=$(tr -d '\r' <err.txt)
}
# expect STATUS WHAT: the last q ended with STATUS.
expect() {
  [ "$rc" -eq "$1" ] || fail "$2: exit $rc, expected $1; stdout: $out; stderr: $err"
}
# has TEXT PART WHAT
has() {
  case "$1" in *"$2"*) ;; *) fail "$3: '$2' not in: $1" ;; esac
}
# reg_query KEY [ARGS...]: Wine's reg.exe; leaves rc and out.
service='HKLM\System\CurrentControlSet\Services\Qelmbar'
reg_query() {
  rc=0
  timeout 60 "$wine" reg query "$@" >out.txt 2>/dev/null || rc=$?
  out=$(tr -d '\r' <out.txt)
}

printf 'CreateDir("\\??\\C:\\First")\n\n' >first.qbs
printf 'CreateDir("\\??\\C:\\Second")\r\n' >second.qbs
printf 'CreateDir("\\??\\C:\\A")\nDeleteFile("\\??\\C:\\x", true)\n' >invalid.qbs
printf 'CopyFile("\\??\\C:\\a.dll", "\\??\\C:\\b.dll", true)\n' >setup.qbs
printf 'DeleteFile("\\??\\C:\\b.dll")\n' >revert.qbs

q status --json
expect 0 "status before install"
has "$out" '"service":{"installed":false' "status before install"
q schedule first.qbs
expect 1 "schedule before install"
has "$err" "the driver is not installed on the live registry" "schedule before install"
q status --machine somewhere
expect 2 "--machine in the Windows build"
has "$err" "work only in the Linux build" "--machine in the Windows build"

# Without elevation the tool reads, and refuses every write before it
# writes anything.
ql status
expect 0 "status without elevation"
ql install
expect 2 "install without elevation"
has "$err" "needs an elevated prompt" "install without elevation"
has "$err" "Run as administrator" "install without elevation"
reg_query "$service"
[ "$rc" -ne 0 ] || fail "install without elevation created the service key"

q install
expect 0 "install"
has "$err" 'qelmbar.sys is missing' "install warns of the missing image"
reg_query "$service"
expect 0 "reg query of the service"
for line in 'Type    REG_DWORD    0x1' 'Start    REG_DWORD    0x0' 'ErrorControl    REG_DWORD    0x1' \
            'ImagePath    REG_EXPAND_SZ    \SystemRoot\System32\drivers\qelmbar.sys' \
            'Group    REG_SZ    Boot Bus Extender'; do
  has "$out" "$line" "installed service"
done
q install
expect 0 "install again"
has "$out" "already installed" "install again"

q schedule first.qbs
expect 0 "schedule first"
q schedule second.qbs --json
expect 0 "schedule second"
has "$out" '"mode":"append","written":true,"kept":1,"replaced":0,"added":1,"operations":2' "schedule second"
q schedule invalid.qbs
expect 1 "schedule of an invalid script"
has "$err" 'invalid.qbs:2:' "schedule of an invalid script"
reg_query "$service\\Parameters" /v BootTimeOperationsList
has "$out" 'REG_MULTI_SZ    CreateDir("\??\C:\First")\0CreateDir("\??\C:\Second")' "the staged list"

q package add app --setup setup.qbs --revert revert.qbs --boot-timeout 2 --tick-timeout 30
expect 0 "package add"
reg_query "$service\\Parameters\\app"
for line in '(Default)    REG_SZ    Package' 'BootTimeout    REG_DWORD    0x2' \
            'TickTimeout    REG_DWORD    0x1e' 'SetupOperations    REG_MULTI_SZ    CopyFile(' \
            'RevertOperations    REG_MULTI_SZ    DeleteFile('; do
  has "$out" "$line" "the staged package"
done
q package add APP --setup setup.qbs
expect 1 "package add of an existing name"
has "$err" "already holds a package not set up yet named app" "package add of an existing name"

# The driver sets the package up at boot: it records its start counter.
timeout 60 "$wine" reg add "$service\\Parameters\\app" /v StartBootCounter /t REG_DWORD /d 1 /f >/dev/null 2>&1
q status --json
expect 0 "status --json"
has "$out" '"oneShotList":{"present":true,"type":"REG_MULTI_SZ","parses":true,"operations":2' "status --json"
has "$out" '"stagedPackages":1,' "status --json"
has "$out" '{"name":"app","state":"Package","package":true,"setUp":true,"startBootCounter":1,' "status --json"
q package add app --setup setup.qbs --replace
expect 1 "replacing a set-up package"
has "$err" "has been set up and waits to be committed or reverted" "replacing a set-up package"
q package remove app
expect 1 "removing a set-up package"
ql schedule --clear
expect 2 "schedule --clear without elevation"
has "$err" "nothing was changed on" "schedule --clear without elevation"

q uninstall
expect 1 "uninstall with work staged"
has "$err" "holds a one-shot list and 1 package" "uninstall with work staged"
reg_query "$service"
expect 0 "the service after a refused uninstall"

q package remove app --force
expect 0 "package remove --force"
has "$err" "its revert never will" "package remove --force"
q schedule --clear
expect 0 "schedule --clear"
has "$out" "removed the one-shot list (2 operations)" "schedule --clear"
q uninstall --json
expect 0 "uninstall"
has "$out" '"wasInstalled":true,"discardedOneShotList":false,"discardedPackages":0' "uninstall"
reg_query "$service"
[ "$rc" -ne 0 ] || fail "the service key is still there after uninstall"
q status
expect 0 "status after uninstall"
has "$out" "Service: not installed" "status after uninstall"

rc=0
timeout 60 "$wine" "$journal" >out.txt 2>err.txt || rc=$?
[ "$rc" -eq 0 ] || fail "live journal test: $(tr -d '\r' <err.txt)"

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed" >&2
  exit 1
fi
echo "qelmbar.exe on Wine's registry: every check held"
