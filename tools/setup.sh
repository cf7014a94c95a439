# Shared by tools/run and tools/test: installs the Debian packages Orfeo needs (only those missing) and
# builds into build/. Sourced, not run.

ORFEO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ORFEO_PACKAGES=(
  cmake make g++             # the build
  clang-format               # tests: every C++ file follows .clang-format
  universal-ctags            # tests: no function of the programs is longer than 60 lines
  libfreeimage-dev           # reading and writing images
  libtiff-dev                # the strip copy, its checks, and silencing libtiff's console noise
  zlib1g-dev                 # the strip copy proves Deflate strips whole before it copies them
  libjpeg-dev                # the strip copy proves JPEG strips' codes; tests: JPEGs with restart markers
  libtbb-dev                 # oneTBB: the batch jobs' pipeline over every core
  libseccomp-dev             # the page workers confine themselves with a seccomp filter
  libcli11-dev               # orfeo-cli's argument parsing
  nlohmann-json3-dev         # orfeo-cli's report (JSON Lines)
  python3-jsonschema         # tests: the report against its schema
  qt6-base-dev               # the desktop tool (Qt 6 Widgets) and its tests (Qt Test)
  qt6-qpa-plugins            # Qt's window-system plugins, offscreen included (tests, screenshots)
  fonts-dejavu-core          # a font for Qt to draw text with when nothing else is installed
  xvfb openbox               # the desktop journey test: an X display and a window manager, as people have
  xdotool x11-utils          # the desktop journey test: mouse and keys, window names and places
  imagemagick                # the desktop journey test: reads the screen (and takes the screenshots in docs/)
  at-spi2-core dbus-x11      # the desktop journey test: an accessibility bus on a session bus of its own
  python3-pyatspi            # the desktop journey test: reads and names windows as screen readers do
  libgtest-dev               # tests
  strace                     # tests: that each page's folder is flushed after its rename
  openssh-server parallel    # tests: the many-machine recipes, over an ssh server of the test's own
  rsync                      # tests: the recipe that carries books to the hosts (parallel --transferfile)
  jq                         # tests: the recipes' lines that list the books to look at, from their reports
  munge slurmctld slurmd     # tests: the Slurm recipe, on munged, slurmctld and slurmd of the test's own
  slurm-client               # tests: the Slurm recipe's sbatch, scontrol, squeue and scancel
  libbenchmark-dev           # benchmarks
  dpkg-dev                   # the Debian package: dpkg-shlibdeps finds its library dependencies (CPack)
  file                       # the Debian package: CPack tells the programs from the data files with it
  desktop-file-utils         # package tests: desktop-file-validate checks the desktop entry
  appstream                  # package tests: appstreamcli checks the AppStream metainfo
  groff-base                 # package tests: groff checks the manual pages for warnings
  man-db                     # package tests: man and lexgrog check the manual pages as man shows them
  bash-completion            # package tests: the helpers orfeo-cli's completion script runs on
)

orfeo_install_packages() {
  local missing=() package
  for package in "${ORFEO_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$package")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Orfeo needs these Debian packages; install them, then run this again:" >&2
    echo "  sudo apt-get install ${missing[*]}" >&2
    exit 1
  fi
  echo "Installing ${missing[*]} ..." >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# orfeo_build_programs DIR: only the programs, orfeo-cli and orfeo; the tests and benchmarks are left to
# tools/test.
orfeo_build_programs() {
  local dir=$1
  cmake -S "$ORFEO_ROOT" -B "$ORFEO_ROOT/$dir" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$ORFEO_ROOT/$dir" -j "$(nproc)" --target orfeo-cli orfeo
}

# orfeo_build DIR [CMAKE OPTIONS...]
orfeo_build() {
  local dir=$1
  shift
  cmake -S "$ORFEO_ROOT" -B "$ORFEO_ROOT/$dir" -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  cmake --build "$ORFEO_ROOT/$dir" -j "$(nproc)"
}
