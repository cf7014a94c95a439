#!/usr/bin/python3
"""Runs orfeo-cli with --report on the sample books (one page without its mask) and checks every line
against the report's schema, and what the lines say against the run: one entry a page in list order, then
the book, then the run, whose status is the exit status.

  report_check.py ORFEO_CLI SCHEMA SAMPLES
"""
import json
import pathlib
import shutil
import subprocess
import sys
import tempfile

import jsonschema

cli, schema_path, samples = sys.argv[1:4]
schema = json.loads(pathlib.Path(schema_path).read_text())
jsonschema.Draft7Validator.check_schema(schema)
failures = []


def check(what, args, entries, written, status, dry):
    with tempfile.NamedTemporaryFile(suffix=".jsonl") as report:
        run = subprocess.run([cli, "--report", report.name, *args], capture_output=True)
        lines = pathlib.Path(report.name).read_text().splitlines()
    objects = []
    for number, line in enumerate(lines, 1):
        try:
            record = json.loads(line)
            jsonschema.validate(record, schema)
            objects.append(record)
        except (ValueError, jsonschema.ValidationError) as error:
            failures.append(f"{what}: line {number} {line!r}: {error}")
    if not objects:
        failures.append(f"{what}: no report ({run.stderr!r})")
        return
    kinds = [record["type"] for record in objects]
    if kinds != ["entry"] * entries + ["book", "run"]:
        failures.append(f"{what}: objects {kinds}")
    if run.returncode != status or objects[-1].get("status") != status:
        failures.append(f"{what}: status {run.returncode}, reported {objects[-1].get('status')}, wanted {status}")
    shown = [record["status"] for record in objects if record["type"] == "entry"]
    done = ("would be written" if dry else "written")
    if shown.count(done) != written or objects[-1]["written"] != written:
        failures.append(f"{what}: statuses {shown}, run {objects[-1]}")
    names = [record["name"] for record in objects if record["type"] == "entry"]
    if names != sorted(names):
        failures.append(f"{what}: entries out of order {names}")


with tempfile.TemporaryDirectory() as work:
    book, book2 = pathlib.Path(work, "a book"), pathlib.Path(work, "book2")
    shutil.copytree(pathlib.Path(samples, "book"), book)
    shutil.copytree(pathlib.Path(samples, "book2"), book2)
    for made in (book / "pics", book2 / "new_scans"):
        shutil.rmtree(made, ignore_errors=True)
    masks = sorted((book / "cache" / "automask").iterdir())
    masks[0].unlink()  # one page without its mask
    pages = len(masks)
    check("dry back", ["--dry-run", "back", str(book)], pages, pages - 1, 1, True)
    check("back", ["back", str(book)], pages, pages - 1, 1, False)
    check("dry merge", ["--dry-run", "merge", str(book), str(book2)], pages, pages - 1, 1, True)
    check("merge", ["merge", str(book), str(book2)], pages, pages - 1, 1, False)
    # On standard output the report is all there is: every line one of its objects.
    for args in (["--report", "-", "-v", "back", str(book)], ["--report", "-", "--dry-run", "back", str(book)]):
        out = subprocess.run([cli, *args], capture_output=True, text=True).stdout.splitlines()
        try:
            for line in out:
                jsonschema.validate(json.loads(line), schema)
        except (ValueError, jsonschema.ValidationError) as error:
            failures.append(f"{args}: standard output carries more than the report: {error}")
        if not out or json.loads(out[-1])["type"] != "run":
            failures.append(f"{args}: standard output ends with {out[-1:]}")
    empty = pathlib.Path(work, "empty")
    empty.mkdir()
    check("refused", ["back", str(empty)], 0, 0, 1, False)  # "No scans are yet loaded."
    check("dry refused", ["--dry-run", "back", str(empty)], 0, 0, 1, True)

for failure in failures:
    print("FAIL:", failure, file=sys.stderr)
sys.exit(1 if failures else 0)
