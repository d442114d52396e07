#!/usr/bin/env bash
# Installs the Debian packages the build needs, only when some are missing.
# `setup.sh fuzz` also installs clang and its libFuzzer runtime (only `make fuzz` needs them).
# `setup.sh browser` installs what the HTML report's browser test needs (.ci/run calls it).
set -euo pipefail
packages=(g++ cmake ninja-build make libspdlog-dev libfmt-dev libcli11-dev
          libsqlite3-dev libgtest-dev libgmock-dev libbenchmark-dev
          python3-dev python3-numpy python3-structlog python3-pytest python3-pandas python3-venv pybind11-dev
          python3-setuptools python3-wheel python3-pip python3-mypy python3-nbconvert python3-ipykernel)
[ "${1:-}" = fuzz ] && packages+=(clang-14 libclang-rt-14-dev)
# `setup.sh browser`: Chromium for the report's browser test, and node/npm when there is none.
if [ "${1:-}" = browser ]; then
  packages+=(chromium)
  command -v npm >/dev/null 2>&1 || packages+=(nodejs npm)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "setup: installing ${missing[*]}" >&2
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
