#!/usr/bin/env bash
# Installs, from the distribution's packages, whatever the build and the tests
# need and the machine lacks.
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev libpng-dev libcli11-dev pkg-config python3
          pybind11-dev python3-pybind11 python3-dev python3-numpy python3-pil python3-pytest
          python3-distributed parallel)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
