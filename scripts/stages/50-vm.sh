# The CSI capture path against the real kernel's V4L2 and videobuf2 code: Debian's kernel with vivid
# under qemu (tests/vm/run). Fails on any mismatch. When qemu or the Debian packages cannot be had it
# prints one line saying the stage did not run and exits 77, which scripts/test reports as not run
# (and, with CI=true, as a failure).
set -uo pipefail
cd "$ZENTROX_ROOT"

# qemu, and what tests/vm/run unpacks the kernel's modules with (xz, zstd, objcopy). The kernel and
# busybox are downloaded by the run itself (apt-get download), never installed.
need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
command -v xz >/dev/null || need+=(xz-utils)
command -v zstd >/dev/null || need+=(zstd)
command -v objcopy >/dev/null || need+=(binutils)
if [ ${#need[@]} -gt 0 ]; then
  echo "vm: installing ${need[*]}"
  if ! scripts/deps "${need[@]}"; then
    echo "vm: did not run: ${need[*]} cannot be installed"
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
