#!/usr/bin/python3
"""Checks every line of tarvino-cli's --json output against docs/tarvino-cli.schema.json.

usage: validate_json.py SCHEMA FILE...   (FILE "-" is standard input)
Exit status 0 when every line of every file is valid, 1 otherwise (each fault is printed).
"""
import json
import sys

import jsonschema


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft7Validator.check_schema(schema)
    validator = jsonschema.Draft7Validator(schema)
    faults = 0
    lines = 0
    for name in sys.argv[2:]:
        stream = sys.stdin if name == "-" else open(name, encoding="utf-8")
        for number, line in enumerate(stream, 1):
            if not line.strip():
                continue
            lines += 1
            try:
                instance = json.loads(line)
            except ValueError as error:
                print(f"{name}:{number}: not JSON: {error}")
                faults += 1
                continue
            for error in validator.iter_errors(instance):
                print(f"{name}:{number}: {error.message}")
                faults += 1
    if lines == 0:
        print("no JSON line to check")
        return 1
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
