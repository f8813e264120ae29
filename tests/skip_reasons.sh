#!/usr/bin/env bash
# Says why each skipped test was skipped, from the JUnit report of a ctest
# run (ctest --output-junit): ctest's own output shows only that it was.
# Each line is the test's name and what it printed, its lines joined.
#   skip_reasons.sh JUNIT_XML
[ -f "${1:-}" ] || exit 0
awk '
  function unescape(s) {
    gsub(/&lt;/, "<", s); gsub(/&gt;/, ">", s); gsub(/&quot;/, "\"", s)
    gsub(/&apos;/, "\047", s); gsub(/&amp;/, "\\&", s)
    return s
  }
  /<testcase / {
    skipped = /status="notrun"/ && !/<\/testcase>/
    match($0, /name="[^"]*"/)
    name = substr($0, RSTART + 6, RLENGTH - 7)
    reading = 0
    why = ""
    next
  }
  skipped && /<system-out>/ { reading = 1; sub(/.*<system-out>/, "") }
  skipped && reading {
    done = sub(/<\/system-out>.*/, "")
    if ($0 != "") why = why (why == "" ? "" : "; ") unescape($0)
    if (done) {
      if (!shown++) print "Skipped tests, and why:"
      print "  " name ": " (why == "" ? "(no reason given)" : why)
      skipped = 0
    }
  }
' "$1"
