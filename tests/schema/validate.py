#!/usr/bin/python3
# Validates JSON documents against one of the tools' schemas (docs/schema/) with Debian's
# python3-jsonschema. Usage: validate.py SCHEMA FILE [--lines]
# FILE holds one document, or with --lines one document per line. The bytes must be
# UTF-8 and strict JSON (no NaN or Infinity, no duplicate keys). Exit 0 when every
# document is valid; otherwise each problem is printed and the exit status is 1.
import json
import sys

import jsonschema


def strict_pairs(pairs):
    keys = [k for k, _ in pairs]
    if len(keys) != len(set(keys)):
        raise ValueError("duplicate key in %r" % keys)
    return dict(pairs)


def reject_constant(name):
    raise ValueError("not JSON: " + name)


def main():
    schema_path, data_path = sys.argv[1], sys.argv[2]
    lines = "--lines" in sys.argv[3:]
    with open(schema_path, encoding="utf-8") as f:
        schema = json.load(f)
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    with open(data_path, "rb") as f:
        raw = f.read()
    try:
        text = raw.decode("utf-8", errors="strict")
    except UnicodeDecodeError as e:
        print("not UTF-8: %s" % e)
        return 1
    documents = text.splitlines() if lines else [text]
    if not documents:
        print("no document")
        return 1
    problems = 0
    for n, doc in enumerate(documents, 1):
        try:
            value = json.loads(doc, object_pairs_hook=strict_pairs, parse_constant=reject_constant)
        except ValueError as e:
            print("document %d: %s" % (n, e))
            problems += 1
            continue
        for error in validator.iter_errors(value):
            print("document %d: %s at %s" % (n, error.message, "/".join(str(p) for p in error.absolute_path)))
            problems += 1
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
