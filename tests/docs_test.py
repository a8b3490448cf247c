#!/usr/bin/env python3
"""The README's two set-up commands are the ones CI runs (./test.sh) and
the one that starts the program (./run.sh), and every relative link in the
README and docs/ reaches a file, and a heading where it names one."""
import glob
import os
import re
import sys

root = sys.argv[1]
failures = []


def slug(heading):
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


commands = [line.strip() for line in open(os.path.join(root, "README.md"))
            if re.fullmatch(r"    \./\S+\.sh\s*", line.rstrip("\n"))]
if commands != ["./run.sh", "./test.sh"]:
    failures.append("README's set-up commands are %s, not ./run.sh and ./test.sh" % commands)
ci = [line.strip() for line in open(os.path.join(root, ".ci", "run"))]
if "./test.sh" not in ci:
    failures.append(".ci/run does not call the README's ./test.sh")

for page in [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md"))):
    text = open(page).read()
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if re.match(r"[a-z]+:", target):
            continue
        path, _, anchor = target.partition("#")
        where = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
        name = os.path.relpath(page, root)
        if not os.path.exists(where):
            failures.append("%s: %s does not exist" % (name, target))
        elif anchor and anchor not in {slug(h) for h in re.findall(r"^#+ (.*)$", open(where).read(), re.M)}:
            failures.append("%s: %s names no heading" % (name, target))

for failure in failures:
    print("FAIL", failure)
sys.exit(1 if failures else 0)
