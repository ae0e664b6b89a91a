# SPDX-License-Identifier: MIT
"""What a run is given, checked once: every bad value the environment can
hold stops the run before anything is built, in one line naming the
variable; good values become typed fields, and nothing else of the
environment is kept."""
import contextlib
import io
import os
import pathlib
import unittest

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric import ed25519

from .config import configure, table
from .run_test import Case


class Configure(Case):
    def setUp(self):
        self.tmp = self.folder()
        (self.tmp / "provenance.pem").write_bytes(ed25519.Ed25519PrivateKey.generate().private_bytes(
            serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))

    def configured(self, env, targets=("amd64",), versions=("0.0.1", "0.0.1-1")):
        said = io.StringIO()
        with contextlib.redirect_stdout(said):
            config = configure(table(), targets, *versions, "0" * 40, "1765000000", env)
        self.said = said.getvalue()
        return config

    def test_bad_values(self):
        unreadable = self.tmp / "unreadable.pem"
        unreadable.write_text("a key")
        unreadable.chmod(0)
        for env, want in (
                ({"CLASSBANNER_SIGNING_KEY": str(self.tmp / "none.asc")}, "CLASSBANNER_SIGNING_KEY="),
                ({"CLASSBANNER_PROVENANCE_KEY": str(self.tmp)}, "no file this user can read"),
                ({"CLASSBANNER_AUTHENTICODE_SIGNATURES": str(self.tmp / "none")}, "no such folder"),
                ({"CLASSBANNER_PREVIOUS": str(self.tmp / "provenance.pem")}, "CLASSBANNER_PREVIOUS="),
                ({"CLASSBANNER_URL": "http://classbanner.example"}, "not an https:// URL"),
                ({"CLASSBANNER_URL": "https://classbanner.example/$(reboot)"}, "not an https:// URL"),
                ({"CLASSBANNER_MIRROR": "http://deb.debian.org/debian ftp://old.example/debian"},
                 "ftp://old.example/debian: not an http(s):// or file:// URL, nor a folder"),
                ({"CLASSBANNER_KEEP_INPUTS": str(self.tmp / "provenance.pem")}, "not a folder"),
                ({"CLASSBANNER_PREVIOUS": str(self.tmp)}, "needs CLASSBANNER_SIGNING_KEY")):
            with self.subTest(env):
                self.assertStops(want, self.configured, env)
        if os.getuid():  # root reads any file
            self.assertStops("no file this user can read", self.configured,
                             {"CLASSBANNER_PROVENANCE_KEY": str(unreadable)})

    def test_rows_and_versions(self):
        self.assertStops("win65: no such row in cmake/targets.txt", self.configured, {}, ("amd64", "win65"))
        self.assertStops("debian/changelog is for 0.0.2-1, not for 0.0.1", self.configured, {},
                         versions=("0.0.1", "0.0.2-1"))

    def test_good_values_typed(self):
        kept = self.tmp / "kept"
        self.addCleanup(os.chdir, os.getcwd())
        os.chdir(self.tmp)
        config = self.configured({
            "CLASSBANNER_PROVENANCE_KEY": "provenance.pem",
            "CLASSBANNER_URL": "https://classbanner.example/download/", "CLASSBANNER_KEEP_INPUTS": str(kept),
            "CLASSBANNER_MIRROR": f"http://deb.debian.org/debian {self.tmp}", "CLASSBANNER_ROOTS": str(self.tmp),
            "CLASSBANNER_SIGNNG_KEY": "a typo", "PATH": "/bin"}, ("win64", "amd64"))
        self.assertEqual(config.provenance_key, str(self.tmp / "provenance.pem"), "a path made absolute")
        self.assertEqual(config.url, "https://classbanner.example/download")
        self.assertEqual((config.keep_inputs, config.roots), (kept, self.tmp))
        self.assertEqual(config.mirrors, ("http://deb.debian.org/debian", str(self.tmp)))
        self.assertEqual(config.targets, ("amd64", "win64"), "in the table's order")
        self.assertIsNone(config.signing_key)
        self.assertIn("CLASSBANNER_SIGNNG_KEY: not a variable the release reads", self.said)
        self.assertFalse(hasattr(config, "env"), "stages see no environment")

    def test_roots_cached_under_the_users_cache(self):
        self.assertEqual(self.configured({"XDG_CACHE_HOME": str(self.tmp)}).roots, self.tmp / "classbanner/roots")
        self.assertEqual(self.configured({}).roots, pathlib.Path.home() / ".cache/classbanner/roots")


if __name__ == "__main__":
    unittest.main()
