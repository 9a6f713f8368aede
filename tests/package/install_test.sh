#!/usr/bin/env bash
# Installs the package built by tools/package on this machine, uses the
# installed program, its man page and its completion, then removes the
# package and checks that none of its files is left. Needs root.
#   tests/package/install_test.sh [build-package/faxmail_*.deb]
set -euo pipefail
cd "$(dirname "$0")/../.."
deb=$(realpath "${1:-$(ls build-package/faxmail_*.deb | head -n 1)}")
sudo=""
[[ $(id -u) -eq 0 ]] || sudo=sudo
fail() { echo "install test: $*" >&2; exit 1; }

echo "== installing $deb"
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$deb" >/dev/null
files=$(dpkg-query -L faxmail | while read -r f; do [[ -f $f ]] && echo "$f"; done)
[[ -n $files ]] || fail "dpkg lists no files of faxmail"

# The installed program, with settings of its own.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home XDG_CONFIG_HOME=$home/.config
[[ $(command -v faxmail) == /usr/bin/faxmail ]] || fail "faxmail is not /usr/bin/faxmail on the PATH"
faxmail --version | grep -q 'Morvane' || fail "faxmail --version"
faxmail coverage 001-212-1234567 | grep -q '@12121234567\.' || fail "faxmail coverage 001-212-1234567"
# The history's SQLite driver is a plugin the package must pull in.
faxmail history --json >/dev/null || fail "faxmail history (the SQLite driver)"
# The outbox's timer runs the installed program's flush.
grep -qx 'ExecStart=/usr/bin/faxmail outbox --flush' /usr/lib/systemd/user/faxmail-outbox.service || fail "faxmail-outbox.service"
grep -qx 'OnUnitActiveSec=10min' /usr/lib/systemd/user/faxmail-outbox.timer || fail "faxmail-outbox.timer"
faxmail outbox --flush || fail "faxmail outbox --flush with an empty outbox"
[[ $(man -w faxmail) == /usr/share/man/man1/faxmail.1.gz ]] || fail "man -w faxmail: $(man -w faxmail 2>&1)"

# "faxmail se<TAB>" through bash-completion, in an empty folder so no file name competes.
completed=$(cd "$home" && bash --norc -c '
  source /usr/share/bash-completion/bash_completion
  _completion_loader faxmail
  COMP_WORDS=(faxmail se); COMP_CWORD=1; COMP_LINE="faxmail se"; COMP_POINT=${#COMP_LINE}
  $(complete -p faxmail | sed -n "s/.*-F \([^ ]*\) .*/\1/p") faxmail se faxmail
  echo "${COMPREPLY[*]}"')
[[ $completed == send ]] || fail "faxmail se<TAB> completes to '$completed', not 'send'"

echo "== removing faxmail"
DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq faxmail >/dev/null
left=$(while read -r f; do [[ -e $f ]] && echo "$f"; done <<<"$files" || true)
[[ -z $left ]] || fail "files left after removal: $left"
echo "== installed, used and removed faxmail_*.deb: all checks passed"
