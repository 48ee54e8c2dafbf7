# Shared by the scripts: installs the Debian packages the project needs, when missing.

IBS_PACKAGES=(
  build-essential cmake pkg-config
  libgtest-dev libgmock-dev
  libomniorb4-dev omniidl
  libtinyxml2-dev libsystemd-dev libisal-dev uuid-dev libcli11-dev nlohmann-json3-dev
  libcurl4-openssl-dev libssl-dev
  iproute2 util-linux
  help2man logrotate procps lintian
)

# scripts/fuzz: clang with libFuzzer and the sanitizer runtimes, llvm-symbolizer for traces.
IBS_FUZZ_PACKAGES=(clang libclang-rt-dev llvm)

# The object store the off-host tests and benchmarks run against (scripts/s3-store): a Ceph
# monitor, OSD and RADOS Gateway, and curl and openssl for its first PUT and its TLS
# certificate. Not in the default list: they take a minute to install.
IBS_S3_PACKAGES=(ceph-mon ceph-osd radosgw curl openssl)

# Installs IBS_PACKAGES and any packages given as arguments.
ibs_ensure_packages() {
  local missing=()
  for p in "${IBS_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# Configures and builds into the given folder with the given sanitizer ("" for none).
ibs_build() {
  local dir=$1 sanitize=$2
  # The plain build is the one packaged (and its package tested): it installs under /usr.
  local prefix=/usr/local
  [ -z "$sanitize" ] && prefix=/usr
  cmake -S . -B "$dir" -DIBS_SANITIZE="$sanitize" -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
  cmake --build "$dir" -j"$(nproc)"
}

# Installs the object store's packages (and IBS_PACKAGES). Without recommends: those bring a
# metadata server and a time daemon the store does not need.
ibs_ensure_s3_packages() {
  ibs_ensure_packages "${IBS_S3_PACKAGES[@]}"
}
