#!/usr/bin/env python3
"""End-to-end checks of the built tollcount on real print files and on damaged input."""
import json
import os
import random
import subprocess
import sys
import tempfile
import unittest

TOLLCOUNT = None
TESTDATA = None

# Languages whose segment names the job's language before its reader runs.
CLAIMED = {"PCL", "POSTSCRIPT", "XPS"}
SIGNATURES = [b"\x1bE", b"%-12345X", b"\x1b%-12345X\n@PJL ", b"%!PS", b"%PDF-1.7", b"%%XRXbegin",
              b"\x1b[K", b"\x1b@", b"\x1b\x01", b"@PJL", b"!R!", b"ZIMF", b"\x01\x00\xce\xda\xde\xfa",
              b"JZJZ", b"\x81\x81", b"\xff\x05\xffU", b"DMCS", b"\xcd\xca\x10", b"$", b"\x03;",
              b",XQX", b"\x04", b"<?xml", b"PK\x03\x04", b"#PDF-BANNER"]


def manifest():
    with open(os.path.join(TESTDATA, "manifest.jsonl"), encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


class TollcountTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.machine = os.path.join(self.tmp.name, "machine")
        self.temp = os.path.join(self.tmp.name, "temp")
        os.makedirs(self.temp)

    def tearDown(self):
        self.tmp.cleanup()

    def run_tool(self, *args, stdin=None, input_bytes=None):
        env = dict(os.environ, TOLLGATE_MACHINE=self.machine, TMPDIR=self.temp)
        done = subprocess.run([TOLLCOUNT, *args], stdin=stdin, input=input_bytes,
                              capture_output=True, env=env, timeout=60, cwd=self.tmp.name)
        self.assertGreaterEqual(done.returncode, 0, "killed by a signal: %r" % (args,))
        return done

    def json_rows(self, done):
        return [json.loads(line) for line in done.stdout.decode("utf-8").splitlines()]

    def write(self, name, data):
        path = os.path.join(self.tmp.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_real_files_name_their_language(self):
        for entry in manifest():
            with self.subTest(file=entry["file"]):
                path = os.path.join(TESTDATA, entry["file"])
                text = entry["language"] == "TEXT"
                done = self.run_tool("--json", *(["--text"] if text else []), path)
                self.assertIn(done.returncode, (0, 1), done.stderr)
                [row] = self.json_rows(done)
                self.assertEqual(row["file"], path)
                if row["result"] == 0 or entry["first_signature"] in CLAIMED:
                    self.assertEqual(row["language"], entry["language"])
                if text:
                    self.assertEqual(row["result"], 0)
                    self.assertEqual(row["pages"], entry["pages"])
        # Nothing was written on the simulated machine.
        self.assertFalse(os.path.exists(self.machine))

    def test_postscript_and_pcl5_files_agree_with_the_manifest(self):
        checked = 0
        for entry in manifest():
            if entry["language"] not in ("POSTSCRIPT", "PCL"):
                continue
            with self.subTest(file=entry["file"]):
                path = os.path.join(TESTDATA, entry["file"])
                [row] = self.json_rows(self.run_tool("--json", path))
                self.assertEqual(row["result"], 0)
                self.assertEqual(row["language"], entry["language"])
                self.assertEqual((row["pages"], row["copies"], row["duplex"]),
                                 (entry["pages"], entry["copies"], entry["duplex"]))
                # Neither language states the colour of the job in its data.
                if row["colourKnown"]:
                    self.assertEqual(row["colour"], entry["colour"])
                checked += 1
        self.assertGreaterEqual(checked, 5)

    def test_pclxl_files_agree_with_the_manifest_on_pages_and_copies(self):
        # Colour pages follow the reader's exact grey test: the colour driver paints grey text
        # as RGB (76, 77, 76), which counts as colour, so only the sum is checked against the
        # manifest's pages.
        checked = 0
        for entry in manifest():
            if entry["language"] != "PCLXL":
                continue
            with self.subTest(file=entry["file"]):
                path = os.path.join(TESTDATA, entry["file"])
                [row] = self.json_rows(self.run_tool("--json", path))
                self.assertEqual(row["result"], 0)
                self.assertEqual(row["language"], "PCLXL")
                self.assertEqual((row["pages"], row["copies"], row["duplex"]),
                                 (entry["pages"], entry["copies"], entry["duplex"]))
                self.assertEqual(row["colourPages"] + row["monoPages"], entry["pages"])
                if entry["colour_pages"] == 0 and "mono" in entry["producer"]:
                    self.assertEqual(row["colourPages"], 0)
                checked += 1
        self.assertGreaterEqual(checked, 4)

    def test_pdf_and_vendor_streams_agree_with_the_manifest(self):
        # Streams that state the colour of their pages (ZjStream planes, QPDL bands, or the
        # PJL header before them) must state the truth; the others leave it unknown.
        checked = 0
        for entry in manifest():
            if entry["language"] != "Unknown" or "HP-GL/2" in entry["stream"]:
                continue
            with self.subTest(file=entry["file"]):
                path = os.path.join(TESTDATA, entry["file"])
                [row] = self.json_rows(self.run_tool("--json", path))
                self.assertEqual(row["result"], 0)
                self.assertEqual((row["pages"], row["copies"]), (entry["pages"], entry["copies"]))
                if row["colourKnown"]:
                    self.assertEqual(row["colour"], entry["colour"])
                if row["colourPages"] + row["monoPages"] > 0:
                    self.assertEqual(row["colourPages"], entry["colour_pages"])
                checked += 1
        self.assertGreaterEqual(checked, 12)

    def test_plotter_jobs_are_one_page_whatever_their_size(self):
        # A header that enters HP-GL/2 makes the job one page and nothing after it is read,
        # also when the job is longer than one read window.
        checked = 0
        for entry in manifest():
            if "HP-GL/2" not in entry["stream"]:
                continue
            with self.subTest(file=entry["file"]):
                path = os.path.join(TESTDATA, entry["file"])
                self.assertGreater(os.path.getsize(path), 20480)
                done = self.run_tool("--json", path)
                self.assertEqual(done.returncode, 0, done.stderr)
                [row] = self.json_rows(done)
                self.assertEqual((row["result"], row["pages"], row["copies"]),
                                 (0, entry["pages"], entry["copies"]))
                checked += 1
        self.assertGreaterEqual(checked, 1)

    def test_json_has_every_count(self):
        done = self.run_tool("--json", os.path.join(TESTDATA, "d02.ps2write.ps"))
        [row] = self.json_rows(done)
        self.assertEqual(set(row), {
            "file", "result", "language", "pages", "copies", "holdMode", "colourKnown", "colour",
            "duplex", "colourPages", "monoPages", "paperName", "documentName", "mediaSize",
            "measure", "unitsPerMeasureX", "unitsPerMeasureY", "orientation"})

    def test_table_and_exit_status(self):
        text = os.path.join(TESTDATA, "text-3ff.txt")
        done = self.run_tool("--text", "--lines", "60", text)
        self.assertEqual(done.returncode, 0)
        lines = done.stdout.decode().splitlines()
        self.assertEqual(lines[0], "file\tlanguage\tpages\tcopies\tcolour\tduplex\tresult")
        self.assertEqual(lines[1], text + "\tTEXT\t3\t1\tunknown\tno\tcounted")
        empty = self.write("empty.spl", b"")
        self.assertEqual(self.run_tool(empty).returncode, 0)
        done = self.run_tool(empty, self.write("bare.spl", b"PCL is not a signature"))
        self.assertEqual(done.returncode, 1)
        missing = os.path.join(self.tmp.name, "missing.spl")
        done = self.run_tool("--json", missing, empty)
        self.assertEqual(done.returncode, 2)
        self.assertIn(("tollcount: %s: cannot read: " % missing).encode(), done.stderr)
        self.assertEqual([r["file"] for r in self.json_rows(done)], [empty])
        done = self.run_tool("--lines", "5", empty)
        self.assertEqual(done.returncode, 2)
        self.assertIn(b"Usage: tollcount", done.stderr)

    def test_initial_language_is_tried_first(self):
        # HP-GL/2 needs no reader: tried first it makes the job one page.
        path = os.path.join(TESTDATA, "d02.ps2write.ps")
        [row] = self.json_rows(self.run_tool("--json", "--language", "hpgl", path))
        self.assertEqual((row["result"], row["pages"], row["language"]), (0, 1, "Unknown"))
        # A first language that is not understood leaves the data to detection from its start.
        plain = self.json_rows(self.run_tool("--json", path))
        tried = self.json_rows(self.run_tool("--json", "--language", "PCLXL", path))
        self.assertEqual(tried, plain)

    def test_standard_input_from_a_pipe_and_a_file(self):
        path = os.path.join(TESTDATA, "d02.ps2write.ps")
        with open(path, "rb") as f:
            data = f.read()
        expected = self.json_rows(self.run_tool("--json", path))[0]
        piped = self.json_rows(self.run_tool("--json", "-", input_bytes=data))[0]
        with open(path, "rb") as f:
            redirected = self.json_rows(self.run_tool("--json", "-", stdin=f))[0]
        for row in (piped, redirected):
            self.assertEqual(row["file"], "-")
            row["file"] = expected["file"]
            self.assertEqual(row, expected)
        text = self.run_tool("--text", "--json", "-", input_bytes=b"a\n" * 132)
        self.assertEqual(self.json_rows(text)[0]["pages"], 2)
        self.assertEqual(os.listdir(self.temp), [])  # the copy of standard input is gone

    def test_damaged_and_random_input_is_never_fatal(self):
        rng = random.Random(4)
        files = []
        for entry in manifest():
            with open(os.path.join(TESTDATA, entry["file"]), "rb") as f:
                data = f.read()
            for cut in sorted({0, 1, 2, 5, 9, 13, 100, 4097, 20480, 20481, len(data) // 2,
                               len(data) - 1}):
                files.append(self.write("%s.%d" % (entry["file"], cut), data[:cut]))
        for k in range(40):
            prefix = SIGNATURES[k % len(SIGNATURES)] if k < 2 * len(SIGNATURES) else b""
            body = bytes(rng.getrandbits(8) for _ in range(rng.randrange(1, 60000)))
            files.append(self.write("random.%d" % k, b"\0" * (k % 3) + prefix + body))
        files.append(self.write("zeros", b"\0" * 3000000))
        for start in range(0, len(files), 40):
            batch = files[start:start + 40]
            done = self.run_tool("--json", *batch)
            self.assertIn(done.returncode, (0, 1), done.stderr)
            rows = self.json_rows(done)
            self.assertEqual([r["file"] for r in rows], batch)
        zeros = self.json_rows(self.run_tool("--json", files[-1]))[0]
        self.assertEqual((zeros["result"], zeros["pages"], zeros["copies"]), (0, 0, 1))


if __name__ == "__main__":
    TOLLCOUNT = sys.argv.pop(1)
    TESTDATA = sys.argv.pop(1)
    unittest.main()
