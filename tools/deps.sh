# Installs the Debian packages a command needs, saying what it installs.
# Usage: source tools/deps.sh; faxmail_install_deps test|run|bench|fuzz
faxmail_install_deps() {
  # qtkeychain-qt6-dev: the remembered password in the desktop's secret store,
  # through libsecret (loaded at run time); qt6-translations-l10n: Qt's own
  # dialogs and buttons in Chinese; libqt6sql6-sqlite: the send history
  # (Qt SQL comes with qt6-base-dev).
  local packages=(cmake ninja-build g++ qt6-base-dev libgtest-dev libgmock-dev python3-aiosmtpd mpack libssl-dev openssl ca-certificates locales fonts-wqy-zenhei
                  qtkeychain-qt6-dev libsecret-1-0 qt6-translations-l10n libqt6sql6-sqlite)
  case "${1:-test}" in
    bench) packages+=(postfix curl valgrind stunnel4) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
  esac
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ((${#missing[@]})); then
    echo "== installing Debian packages: ${missing[*]}"
    local sudo=""
    [[ $(id -u) -eq 0 ]] || sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}
