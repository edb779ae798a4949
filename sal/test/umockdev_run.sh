#!/bin/sh
# Runs a test program inside umockdev's preload library. A sanitizer runtime
# then no longer comes first among the libraries, which it checks by default;
# the check is only a guard against a missing runtime, so it is turned off.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export ASAN_OPTIONS
# The test bed's own thread synchronises in libraries ThreadSanitizer cannot see.
TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$(dirname "$0")/umockdev_tsan.supp"
export TSAN_OPTIONS
exec umockdev-wrapper "$@"
