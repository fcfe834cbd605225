#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the demo need, then configures and builds.
# Idempotent: packages already present are not fetched again. Run as root on Debian 12.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential cmake pkg-config git
  nlohmann-json3-dev libcpp-httplib-dev libopencv-dev
  libavformat-dev libavcodec-dev libavutil-dev libswscale-dev ffmpeg
  libcurl4-openssl-dev libgtest-dev libgmock-dev libbenchmark-dev
  python3-onnx python3-numpy python3-opencv
  xvfb xauth libx11-dev wrk curl
  clang libclang-rt-14-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ "${1:-}" = "--packages-only" ]; then exit 0; fi

BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} ${CMAKE_EXTRA:-} >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
