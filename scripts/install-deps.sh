#!/usr/bin/env bash
# Installs the Debian packages this repository builds and tests with.
# Idempotent: packages already present are skipped, and `apt-get update` runs at most once,
# only when something is missing. Runs unattended as root (or through sudo when available).
set -euo pipefail

packages=(
  # compiler and build
  g++ cmake ninja-build pkg-config make
  # room protocol
  capnproto libcapnp-dev
  # JSON, command line, logging
  nlohmann-json3-dev libcli11-dev libspdlog-dev libfmt-dev
  # HTTP and URL parsing, hashes, Unicode
  libcurl4-openssl-dev libssl-dev libicu-dev
  # markdown
  libcmark-gfm-dev libcmark-gfm-extensions-dev
  # images and metadata
  libpng-dev libjpeg-dev libwebp-dev libgif-dev libexiv2-dev
  # UUIDs, configuration, compression
  uuid-dev libtomlplusplus-dev libzstd-dev zlib1g-dev
  # tests and benchmarks
  libgtest-dev libgmock-dev libbenchmark-dev
  # the demo reads the scripted participant's JSON lines
  python3
)

# `--fuzz` adds the toolchain for the libFuzzer targets and clang-tidy (not needed to build or test).
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang-16 libclang-rt-16-dev clang-tidy-16)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: every package is present"
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then sudo="sudo"; else
    echo "install-deps: missing ${missing[*]}, and not root to install them" >&2
    exit 1
  fi
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -q
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
