#!/usr/bin/env python3
"""check_schema.py SCHEMA REPORTS: every JSON object in the file REPORTS,
one after the other, is valid under the JSON Schema SCHEMA (draft 2020-12).
Prints each failure; exits 1 when there is one, 0 otherwise."""
import json
import sys

import jsonschema

schema = json.load(open(sys.argv[1], encoding="utf-8"))
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)
text = open(sys.argv[2], encoding="utf-8").read()
decoder, at, count, bad = json.JSONDecoder(), 0, 0, 0
while True:
    while at < len(text) and text[at].isspace():
        at += 1
    if at == len(text):
        break
    report, at = decoder.raw_decode(text, at)
    count += 1
    for error in validator.iter_errors(report):
        bad += 1
        print(f"report {count}: {error.json_path}: {error.message}")
print(f"{count} reports, {bad} failures")
sys.exit(1 if bad or count == 0 else 0)
