# Reads a scrape of quillet-gatewayd's metrics on standard input with a parser that is
# not the service's own (python3-prometheus-client's), and prints what it read: a line
# "# TYPE NAME" per family (the name of a counter without its _total), then one line per
# sample,
#   NAME{LABEL="VALUE",...} VALUE        (NAME VALUE without labels)
# labels ordered by name, values as parsed (unescaped), numbers whole when they are, else
# as Python writes a float back (every digit it needs). Text the parser refuses ends it
# with its exception and a nonzero exit code.
import sys

from prometheus_client.parser import text_string_to_metric_families


def shown(value):
    return str(int(value)) if value.is_integer() and abs(value) < 2**53 else repr(value)


for family in text_string_to_metric_families(sys.stdin.read()):
    print(f"# {family.type} {family.name}")
    for sample in family.samples:
        labels = ",".join(f'{name}="{value}"' for name, value in sorted(sample.labels.items()))
        print(f"{sample.name}{{{labels}}} {shown(sample.value)}" if labels
              else f"{sample.name} {shown(sample.value)}")
