#!/usr/bin/python3
"""Runs orfeo-cli with --report on the sample books (one page without its mask) and checks every line
against the report's schema, and what the lines say against the run: one entry a page in list order, then
the book, then the run, whose status is the exit status. Then the cases a scheduler meets: a merge whose
second folder's pages have names of their own and one page too many, a book refused, a call refused with
status 2, a stop with pages and a book not started, a name that is not UTF-8, and a dry run over two books.

  report_check.py ORFEO_CLI SCHEMA SAMPLES
"""
import base64
import json
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import jsonschema

cli, schema_path, samples = sys.argv[1:4]
schema = json.loads(pathlib.Path(schema_path).read_text())
jsonschema.Draft7Validator.check_schema(schema)
failures = []


def valid(what, lines):
    objects = []
    for number, line in enumerate(lines, 1):
        try:
            record = json.loads(line)
            jsonschema.validate(record, schema)
            objects.append(record)
        except (ValueError, jsonschema.ValidationError) as error:
            failures.append(f"{what}: line {number} {line!r}: {error}")
    return objects


def report_of(args, **popen):
    """orfeo-cli's report of a call, and the call's outcome."""
    with tempfile.NamedTemporaryFile(suffix=".jsonl") as report:
        run = subprocess.run([cli, "--report", report.name, *args], capture_output=True, **popen)
        lines = pathlib.Path(report.name).read_bytes().decode().splitlines()
    return run, valid(str(args), lines)


def check(what, args, entries, written, status, dry):
    run, objects = report_of(args)
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
    _, objects = report_of(["back", str(empty)])
    if objects[0].get("in_use") is not False or objects[0].get("refused") is not True:
        failures.append(f"refused book: {objects[0]}")

    # A merge whose second folder names its pages its own way and has one page more: each entry takes the
    # first folder's name (as its output does), and the extra page has a line of its own.
    shutil.rmtree(book2 / "new_scans", ignore_errors=True)
    scans = pathlib.Path(work, "scans")
    scans.mkdir()
    firsts = sorted(path.name for path in book.glob("*.tif"))
    for number, name in enumerate(firsts + firsts[:1], 1):
        shutil.copy(book2 / name, scans / f"scan_{number:03}.tif")
    for dry in (False, True):
        _, objects = report_of((["--dry-run"] if dry else []) + ["merge", str(book), str(scans)])
        entries = [record for record in objects if record["type"] == "entry"]
        names = [record["name"] for record in entries]
        outputs = [pathlib.Path(record["output"]).name for record in entries]
        if names != firsts or outputs != firsts:
            failures.append(f"merge names (dry: {dry}): {names}, outputs {outputs}")
        unused = [record for record in objects if record["type"] == "unused"]
        if [pathlib.Path(record["page"]).name for record in unused] != [f"scan_{len(firsts) + 1:03}.tif"]:
            failures.append(f"merge unused (dry: {dry}): {unused}")
        books = [record for record in objects if record["type"] == "book"]
        if not books or books[0]["book2"] != str(scans) + "/" or books[0]["job"] != "merge":
            failures.append(f"merge book line (dry: {dry}): {books}")

    # A call refused with status 2 still writes its report: an earlier one never stands for it.
    run, objects = report_of(["back", str(pathlib.Path(work, "missing"))])
    if run.returncode != 2 or [(o["type"], o["status"], bool(o["error"])) for o in objects] != [("run", 2, True)]:
        failures.append(f"status 2: {run.returncode}, {objects}")

    # A stop: the pages and the books it kept from starting have lines that say so.
    big = pathlib.Path(work, "big")
    (big / "cache" / "automask").mkdir(parents=True)
    page, mask = sorted(book.glob("*.tif"))[1], sorted((book / "cache" / "automask").iterdir())[0]
    for number in range(1, 121):
        os.link(page, big / f"p{number:03}.tif")
        os.link(mask, big / "cache" / "automask" / f"p{number:03}.tif")
    with tempfile.NamedTemporaryFile(suffix=".jsonl") as report:
        call = subprocess.Popen([cli, "-j", "1", "--report", report.name, "back", str(big), str(book)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(2000):
            if (big / "pics" / "p001.tif").exists():
                break
            time.sleep(0.005)
        call.send_signal(signal.SIGINT)
        status = call.wait()
        objects = valid("stop", pathlib.Path(report.name).read_text().splitlines())
    entries = [o for o in objects if o["type"] == "entry"]
    books = [o for o in objects if o["type"] == "book"]
    not_started = [o for o in entries if o["status"] == "not started"]
    if status != 130 or len(books) != 2 or not not_started or books[0]["stopped"] is not True:
        failures.append(f"stop: status {status}, books {books}")
    elif books[1]["started"] is not False or books[1]["entries"] != pages:
        failures.append(f"stop: the book not started: {books[1]}")
    counted = {o["name"] for o in entries if o["book"] == str(big) + "/"}
    if len(counted) != 120:
        failures.append(f"stop: {len(counted)} of 120 pages of the stopped book accounted for")

    # A name that is not UTF-8 stays recoverable.
    odd = pathlib.Path(work, "odd")
    (odd / "cache" / "automask").mkdir(parents=True)
    name = os.fsdecode(b"p\xff.tif")
    shutil.copy(page, odd / name)
    shutil.copy(mask, odd / "cache" / "automask" / name)
    _, objects = report_of(["back", str(odd)])
    entry = objects[0] if objects else {}
    if base64.b64decode(entry.get("page_base64", "")) != os.fsencode(odd / name):
        failures.append(f"not UTF-8: {entry}")

    # A dry run over several books names the book on each line of its standard output.
    out = subprocess.run([cli, "--dry-run", "back", str(book), str(big)], capture_output=True, text=True).stdout
    for line in out.splitlines():
        if not (line.startswith(str(book) + "/: ") or line.startswith(str(big) + "/: ")):
            failures.append(f"dry run over two books: {line!r}")

for failure in failures:
    print("FAIL:", failure, file=sys.stderr)
sys.exit(1 if failures else 0)
