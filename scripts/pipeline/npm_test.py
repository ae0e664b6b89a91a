# SPDX-License-Identifier: MIT
"""A package pinned from npm, offline: a cached tarball whose bytes are the
ones its integrity hash pins is taken without the network; one whose bytes
are not is refused, named, and removed, so that the next run fetches it
again; an integrity of another algorithm is refused."""
import base64
import hashlib
import unittest

from .npm import pinned
from .run_test import Case

DATA = b"a package's tarball"
INTEGRITY = "sha512-" + base64.b64encode(hashlib.sha512(DATA).digest()).decode()


class Pinned(Case):
    def cached(self, data):
        cache = self.folder()
        tarball = cache / f"axe-core-4.0.0-{hashlib.sha256(INTEGRITY.encode()).hexdigest()[:16]}.tgz"
        tarball.write_bytes(data)
        return cache, tarball

    def test_cached_as_pinned(self):
        cache, tarball = self.cached(DATA)
        self.assertEqual(pinned("axe-core", "4.0.0", INTEGRITY, cache), tarball)

    def test_cached_bytes_changed(self):
        cache, tarball = self.cached(DATA + b" changed")
        self.assertStops("axe-core 4.0.0: its tarball is not the one its integrity hash pins", pinned, "axe-core",
                         "4.0.0", INTEGRITY, cache)
        self.assertFalse(tarball.exists(), "removed, to be fetched again")

    def test_integrity_of_another_algorithm(self):
        self.assertStops("is not a sha512 one", pinned, "axe-core", "4.0.0", "sha1-AAAA", self.folder())


if __name__ == "__main__":
    unittest.main()
