#!/usr/bin/env bash
# Installs, when missing, every Debian package nusk needs to build, run and test.
# The one place that lists them: add new needs here and nowhere else.
set -euo pipefail

PACKAGES=(
  cmake g++ pkg-config ninja-build
  qtbase5-dev qtdeclarative5-dev qtquickcontrols2-5-dev libqt5svg5-dev libqt5sql5-sqlite
  qttools5-dev-tools qttools5-dev qttranslations5-l10n
  qml-module-qtquick2 qml-module-qtquick-window2 qml-module-qtquick-controls2
  qml-module-qtquick-templates2 qml-module-qtquick-layouts qml-module-qtquick-shapes
  qml-module-qtqml qml-module-qtqml-statemachine qml-module-qtqml-models2
  libsodium-dev libkf5archive-dev libexif-dev libraw-dev
  p7zip-full ghostscript shared-mime-info xvfb xauth sqlite3
  libbenchmark-dev clang libclang-rt-14-dev
  # scripts/screens.sh: a window manager, so screenshots show real window frames
  openbox
  # program tests: a window closed as a window manager closes it
  libxcb1-dev
  # window tests: clicks as a mouse makes them (the X server's test extension)
  libxcb-xtest0-dev
  # desktop tests: archives made with Python's zipfile, the update site served by http.server
  python3
  # desktop tests: a self-signed certificate for the local update site
  openssl
  imagemagick  # bench/ only: the reference the thumbnail benchmark compares with
  # OpenSSL's libcrypto: SHA-1 and the session cipher where it is faster than libsodium
  libssl-dev
  # fontconfig's configuration loaded ahead while the program starts
  libfontconfig-dev
  # the copy benchmark's comparison: a private sshd for scp and rsync over ssh
  openssh-server openssh-client rsync
  # network tests: the TURN/STUN server, Tor (onion service), namespaces with NAT
  coturn tor nftables iproute2
  # file server tests and bench: FUSE mounts (bindfs over a folder, fusermount3) and the
  # tests' own FUSE file systems that fail a flush or a close (libfuse3)
  bindfs fuse3 libfuse3-dev
  # copy tests: a USB stick's disk in an image file, FAT where the kernel mounts it, else exFAT
  # through FUSE (FUSE's FAT, fusefat, stamps a renamed file anew and counts no free space)
  dosfstools exfatprogs exfat-fuse
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
