#!/bin/sh
# Runs a program under umockdev-wrapper, which preloads umockdev's library
# to divert /sys, /dev and their ioctls into the program's test bed. The
# preloaded library then comes before a sanitizer's runtime in the library
# list, which AddressSanitizer refuses by default; the order does no harm
# here, since umockdev's library only forwards calls.
# ThreadSanitizer cannot see inside the uninstrumented libudev that both
# umockdev and libusb use: tsan.supp beside this script says so.
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$(dirname "$0")/tsan.supp"
export ASAN_OPTIONS TSAN_OPTIONS
exec umockdev-wrapper "$@"
