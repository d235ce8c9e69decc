# Validates the JSON on standard input against the schema named by the argument (JSON Schema
# draft 2020-12, Debian's python3-jsonschema); the schema itself is checked first.
import json
import sys

import jsonschema

schema = json.load(open(sys.argv[1], encoding="utf-8"))
jsonschema.Draft202012Validator.check_schema(schema)
jsonschema.Draft202012Validator(schema).validate(json.load(sys.stdin))
