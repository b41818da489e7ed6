#!/usr/bin/env python3
"""The English translation is complete and sound for the texts in the sources today.

check_translation.py LUPDATE SRC_DIR TS_FILE

Runs lupdate over SRC_DIR/ui and SRC_DIR/app into a copy of TS_FILE (the checked-in file stays as
it is), then fails for every text that has no finished translation (a new tr() text nobody has
translated yet: run `make ts-update` and translate it) and for every translation whose
placeholders differ from its source's (%1..%9 as a set; %d, %s and %% in order), since a lost
placeholder drops a number or a name from what the user sees.
"""
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

lupdate, src, ts = sys.argv[1:4]


def placeholders(text):
    numbered = sorted(set(re.findall(r"%L?\d", text)))
    printf = re.findall(r"%[ds%]", text)
    return numbered, printf


with tempfile.TemporaryDirectory() as tmp:
    copy = tmp + "/velmora_en.ts"
    shutil.copy(ts, copy)
    run = subprocess.run([lupdate, "-silent", "-locations", "none", "-no-obsolete", "-I", src,
                          src + "/ui", src + "/app", "-ts", copy], capture_output=True, text=True)
    if run.returncode != 0:
        print(run.stdout + run.stderr)
        sys.exit("lupdate failed")
    root = ET.parse(copy).getroot()

problems = []
count = 0
for context in root.iter("context"):
    name = context.findtext("name")
    for message in context.iter("message"):
        count += 1
        source = message.findtext("source") or ""
        translation = message.find("translation")
        text = translation.text or "" if translation is not None else ""
        if translation is None or translation.get("type") in ("unfinished", "vanished", "obsolete") or not text:
            problems.append("untranslated [%s] %r" % (name, source))
        elif placeholders(source) != placeholders(text):
            problems.append("placeholders differ [%s] %r -> %r" % (name, source, text))

for p in problems:
    print(p)
print("%d texts, %d problems" % (count, len(problems)))
sys.exit(1 if problems or count == 0 else 0)
