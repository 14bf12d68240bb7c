#!/usr/bin/python3
"""Prints a dpkg status file of what debootstrap's minbase variant holds
(packages of Priority required, apt, and what they depend on), taken from
this machine's own status, so that apt-get -s can show what installing a
package adds to a minimal Debian."""
import re

status = {}
provided = {}
for entry in open("/var/lib/dpkg/status").read().split("\n\n"):
    if m := re.search(r"^Package: (\S+)", entry, re.M):
        status[m.group(1)] = entry
        for line in re.findall(r"^Provides: (.*)$", entry, re.M):
            for name in line.split(","):
                provided.setdefault(name.split()[0], m.group(1))
wanted = {n for n, e in status.items() if re.search(r"^Priority: required", e, re.M)} | {"apt"}
todo = list(wanted)
while todo:
    for line in re.findall(r"^(?:Pre-)?Depends: (.*)$", status.get(todo.pop(), ""), re.M):
        for choice in line.split(","):
            # The first alternative this machine has.
            for name in (a.split()[0].split(":")[0] for a in choice.split("|")):
                if name := name if name in status else provided.get(name):
                    if name not in wanted:
                        wanted.add(name)
                        todo.append(name)
                    break
print("\n\n".join(status[n] for n in sorted(wanted)) + "\n")
