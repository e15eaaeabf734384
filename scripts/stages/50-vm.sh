# The CSI capture path against the real kernel's V4L2 and videobuf2 code: Debian's kernel with vivid
# under qemu (tests/vm/run). Fails on any mismatch. When qemu or the Debian packages cannot be had it
# prints one line saying the stage did not run and exits 77, which scripts/test reports as not run.
set -uo pipefail
cd "$ZENTROX_ROOT"

if ! command -v qemu-system-x86_64 >/dev/null; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "vm: installing qemu-system-x86"
  if ! { $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends qemu-system-x86 >/dev/null; }; then
    echo "vm: did not run: qemu-system-x86 cannot be installed"
    exit 77
  fi
fi

# The capture program was built with the C++ suites; the run brings it up to date there.
ZENTROX_VM_BUILD="${ZENTROX_VM_BUILD:-$ZENTROX_ROOT/build/test}" tests/vm/run
status=$?
case $status in
  0) echo "vm: every case passed" ;;
  77) ;;
  *) echo "vm: FAILED with status $status" ;;
esac
exit $status
