# Reads a scrape of quillet-gatewayd's metrics on standard input with a parser that is
# not the service's own (python3-prometheus-client's), and prints what it read: a line
# "# TYPE NAME" per family (the name of a counter without its _total), then one line per
# sample,
#   NAME{LABEL="VALUE",...} VALUE        (NAME VALUE without labels)
# labels ordered by name, values as parsed (unescaped), numbers in %g. Text the parser
# refuses ends it with its exception and a nonzero exit code.
import sys

from prometheus_client.parser import text_string_to_metric_families

for family in text_string_to_metric_families(sys.stdin.read()):
    print(f"# {family.type} {family.name}")
    for sample in family.samples:
        labels = ",".join(f'{name}="{value}"' for name, value in sorted(sample.labels.items()))
        print(f"{sample.name}{{{labels}}} {sample.value:g}" if labels
              else f"{sample.name} {sample.value:g}")
