#!/bin/sh
# The object-store tests' fixture: starts (or stops) the store in DIR. Without the store's
# packages the start is skipped (exit 77) and the tests skip themselves, unless IBS_S3_TESTS
# is set: then a store that cannot start fails the run.
#   store-fixture.sh start|stop DIR
store="$(dirname "$0")/../../scripts/s3-store"
case "$1" in
  start)
    "$store" start "$2"
    rc=$?
    if [ $rc -eq 3 ] && [ -z "${IBS_S3_TESTS:-}" ]; then
      "$store" stop "$2" 2>/dev/null  # no credentials of an earlier run left to find
      echo "object-store tests skipped: install the packages (scripts/lib.sh: ibs_ensure_s3_packages)"
      exit 77
    fi
    exit $rc
    ;;
  stop) exec "$store" stop "$2" ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 2 ;;
esac
