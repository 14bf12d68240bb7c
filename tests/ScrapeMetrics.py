#!/usr/bin/python3
"""Scrapes 127.0.0.1:PORT/metrics and prints, for the tests, what
Debian's Prometheus client parser reads in it (families, samples with their
labels and values as Python literals) and the status of requests that must
fail. Exits 1 on text that is not UTF-8 or a line the 0.0.4 format does not
allow, which that lax parser would let through."""
import re
import sys
import urllib.error
import urllib.request

from prometheus_client.parser import text_string_to_metric_families

base = "http://127.0.0.1:%s" % sys.argv[1]
# Straight to the server, whatever proxy the environment names.
opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def status(path, method="GET", data=None):
    try:
        with opener.open(urllib.request.Request(base + path, method=method, data=data)) as reply:
            return reply.status
    except urllib.error.HTTPError as error:
        return error.code


with opener.open(base + "/metrics") as reply:
    print("content-type", reply.headers["Content-Type"])
    text = reply.read().decode("utf-8")

NAME = r"[a-zA-Z_:][a-zA-Z0-9_:]*"
LABEL = r'[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*"'
SAMPLE = re.compile(r"%s(?:\{%s(?:,%s)*\})? (?:-?[0-9]+(?:\.[0-9]+)?|NaN|[+-]Inf)" % (NAME, LABEL, LABEL))
COMMENT = re.compile(r"# (?:HELP %s .+|TYPE %s (?:counter|gauge))" % (NAME, NAME))
if not text.endswith("\n"):
    print("malformed: no line end at the end")
    sys.exit(1)
for line in text[:-1].split("\n"):
    if not SAMPLE.fullmatch(line) and not COMMENT.fullmatch(line):
        print("malformed:", repr(line))
        sys.exit(1)

for family in text_string_to_metric_families(text):
    print("family", family.name, family.type)
    for sample in family.samples:
        labels = "".join(" %s=%r" % item for item in sorted(sample.labels.items()))
        print("sample %s%s %r" % (sample.name, labels, sample.value))
print("status /other", status("/other"))
print("status POST /metrics", status("/metrics", "POST", b"x=1"))
