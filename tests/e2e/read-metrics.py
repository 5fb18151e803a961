#!/usr/bin/env python3
"""Reads a metrics file with the Prometheus client's own parser of the text format and prints,
one per line, "family NAME TYPE" for each family that has a HELP text, and "NAME{LABELS} VALUE"
for each sample, labels sorted. A family without HELP or a file the parser rejects fails (1).
Exits 77 when the parser is not installed."""
import sys

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("python3-prometheus-client is not installed")
    sys.exit(77)

with open(sys.argv[1], encoding="utf-8") as f:
    text = f.read()
try:
    for family in text_string_to_metric_families(text):
        if not family.documentation:
            print("no HELP for " + family.name)
            sys.exit(1)
        print("family %s %s" % (family.name, family.type))
        for sample in family.samples:
            labels = ",".join('%s="%s"' % kv for kv in sorted(sample.labels.items()))
            value = sample.value
            print("%s{%s} %s" % (sample.name, labels, "%d" % value if value == int(value) else repr(value)))
except ValueError as error:
    print("not the text format: %s" % error)
    sys.exit(1)
