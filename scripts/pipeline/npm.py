# SPDX-License-Identifier: MIT
"""A package from the npm registry, pinned by version and integrity hash:
fetched once, checked, and cached by that hash."""
import base64
import hashlib
import ssl
import urllib.error
import urllib.request

from .base import Stop

REGISTRY = "https://registry.npmjs.org"


def fetch(url):
    """URL's bytes. The integrity hash, not the connection, is what the
    release trusts: where this machine trusts no certificate of the
    registry's (a proxy's own CA, say), the bytes are fetched all the same,
    and said so, and checked against the hash before anything uses them."""
    for context in (None, ssl._create_unverified_context()):
        try:
            with urllib.request.urlopen(url, timeout=60, context=context) as answer:
                return answer.read(64 << 20)
        except urllib.error.URLError as fault:
            if context is None and isinstance(fault.reason, ssl.SSLCertVerificationError):
                print(f"release: {url}: its certificate is not one this machine trusts "
                      f"({fault.reason.verify_message}); "
                      "taken on its integrity hash alone", flush=True)
                continue
            raise Stop(f"{url}: cannot be fetched ({fault})")
        except OSError as fault:
            raise Stop(f"{url}: cannot be fetched ({fault})")


def pinned(name, version, integrity, cache):
    """The tarball of NAME at VERSION, from CACHE, else fetched from the
    registry into it; either way, its bytes checked against INTEGRITY
    (sha512-BASE64, as package-lock.json records it)."""
    algorithm, _, digest = integrity.partition("-")
    if algorithm != "sha512":
        raise Stop(f"{name} {version}: integrity {integrity} is not a sha512 one")
    tarball = cache / f"{name}-{version}-{hashlib.sha256(integrity.encode()).hexdigest()[:16]}.tgz"
    if tarball.exists():
        data = tarball.read_bytes()
    else:
        data = fetch(f"{REGISTRY}/{name}/-/{name}-{version}.tgz")
    if base64.b64encode(hashlib.sha512(data).digest()).decode() != digest:
        tarball.unlink(missing_ok=True)
        raise Stop(f"{name} {version}: its tarball is not the one its integrity hash pins ({integrity})")
    if not tarball.exists():
        cache.mkdir(parents=True, exist_ok=True)
        tarball.with_suffix(".part").write_bytes(data)
        tarball.with_suffix(".part").rename(tarball)
    return tarball
