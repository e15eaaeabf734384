# The AdvSIMD HQVGA conversions of AArch64 boards, cross-compiled and run under qemu's user-mode
# emulation against the scalar reference (tests/aarch64/run). Exit 77 (not run) when the cross
# compiler or qemu cannot be installed.
set -uo pipefail
cd "$ZENTROX_ROOT"
tests/aarch64/run
status=$?
case $status in
  0) echo "aarch64: every check passed" ;;
  77) ;;
  *) echo "aarch64: FAILED with status $status" ;;
esac
exit $status
