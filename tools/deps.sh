# Installs the Debian packages a command needs, saying what it installs.
# Usage: source tools/deps.sh; faxmail_install_deps test|run|bench|fuzz|package
faxmail_install_deps() {
  # qtkeychain-qt6-dev: the remembered password in the desktop's secret store,
  # through libsecret (loaded at run time); qt6-translations-l10n: Qt's own
  # dialogs and buttons in Chinese; libphonenumber-dev: fax numbers as people
  # write them, their places (its geocoder) and country names (ICU);
  # libetpan-dev: the confirmation watch's IMAP client; dovecot-imapd: the real
  # IMAP server its tests start; libqt6sql6-sqlite: the send history (Qt SQL
  # comes with qt6-base-dev); libmagic-dev: an attachment's media type from
  # its content; python3: the build writes the texts' catalogue with it.
  local packages=(cmake ninja-build g++ python3 qt6-base-dev libgtest-dev libgmock-dev python3-aiosmtpd mpack libssl-dev openssl ca-certificates locales fonts-wqy-zenhei
                  qtkeychain-qt6-dev libsecret-1-0 qt6-translations-l10n libphonenumber-dev libicu-dev
                  pkg-config libetpan-dev dovecot-imapd libqt6sql6-sqlite libmagic-dev)
  case "${1:-test}" in
    # SpamAssassin scores the messages the tests send, as a receiving system would;
    # faketime moves the clock past the watch's answer period and the outbox's
    # due and give-up times; a private session
    # bus (dbus-daemon) and dbus-monitor (dbus-bin) see its desktop notifications.
    test) packages+=(spamassassin faketime dbus-daemon dbus-bin) ;;
    bench) packages+=(postfix curl valgrind stunnel4 time) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    # The .deb and Debian's own checks of it; man-db and bash-completion for the install test.
    package) packages+=(dpkg-dev file librsvg2-bin lintian desktop-file-utils appstream devscripts man-db bash-completion) ;;
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
  faxmail_make_locales
}

# The locales the program is used in, which the tests run under: a fresh
# Debian has only C and C.UTF-8.
faxmail_make_locales() {
  local sudo=""
  [[ $(id -u) -eq 0 ]] || sudo=sudo
  local have
  have=$(locale -a 2>/dev/null)
  grep -qx 'zh_CN.utf8' <<<"$have" || { echo "== making the locale zh_CN.UTF-8"; $sudo localedef -i zh_CN -f UTF-8 zh_CN.UTF-8; }
  grep -qx 'zh_CN.gbk' <<<"$have" || { echo "== making the locale zh_CN.GBK"; $sudo localedef -i zh_CN -f GBK zh_CN.GBK; }
}
