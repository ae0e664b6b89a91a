#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Sign a Windows file (.exe or .msi) with Authenticode and check it as
Windows would, in the first row's root:

    authenticode.py key EPOCH UNSIGNED SIGNED SIGNATURE   key and chain, PEM, on stdin
    authenticode.py attach SIGNATURE UNSIGNED SIGNED      a detached signature

With the key: SHA-256, at EPOCH, no timestamp (it would change the bytes),
the key in memory only, the signature detached as SIGNATURE too. SIGNED then
verifies against its chain's root, not with a byte changed; without its
signature it is UNSIGNED again (an .msi: its streams); an .exe's digest, as
pefile computes it, is the one signed.
"""
import hashlib
import os
import re
import subprocess
import sys
import tempfile

import olefile
import pefile


def fail(text):
    sys.exit(text)


def osslsigncode(*args, **options):
    done = subprocess.run(["osslsigncode", *args], capture_output=True, text=True, **options)
    said = [line.strip() for line in (done.stdout + done.stderr).splitlines()]
    return done.returncode, next((line for line in said if "MISMATCH" in line or "rror" in line), said[-1:] or [""])


def pe_digest(path):
    """The Authenticode digest of an .exe: all but its checksum, its
    certificate table's entry and the table itself."""
    data, pe = open(path, "rb").read(), pefile.PE(path, fast_load=True)
    checksum = pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
    table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
    entry, start, end = table.get_file_offset(), table.VirtualAddress, table.VirtualAddress + table.Size
    return hashlib.sha256(data[:checksum] + data[checksum + 4:entry] + data[entry + 8:start] + data[end:]).hexdigest()


def streams(path):
    ole = olefile.OleFileIO(path)
    return ole.root.clsid, {"/".join(name): ole.openstream(name).read()
                            for name in ole.listdir(streams=True, storages=False)}


def chain_root(signature, form, tmp):
    """The self-signed certificates a signature carries, in a file, else the
    machine's CA certificates."""
    certificates = subprocess.run(["openssl", "pkcs7", "-print_certs", "-inform", form, "-in", signature],
                                  capture_output=True, text=True).stdout
    roots = [pem for subject, issuer, pem in re.findall(
        r"^subject=([^\n]*)\nissuer=([^\n]*)\n\n?(-----BEGIN CERTIFICATE-----\n.*?-----END CERTIFICATE-----\n)",
        certificates, re.M | re.S) if subject == issuer]
    if not roots:
        return "/etc/ssl/certs/ca-certificates.crt"
    open(f"{tmp}/root.pem", "w").write("".join(roots))
    return f"{tmp}/root.pem"


def check(unsigned, signed, tmp, label):
    if osslsigncode("extract-signature", "-pem", "-in", signed, "-out", f"{tmp}/signature.pem")[0]:
        fail(f"{signed}: no signature")
    ca = chain_root(f"{tmp}/signature.pem", "PEM", tmp)
    failed, why = osslsigncode("verify", "-CAfile", ca, "-in", signed)
    if failed:
        fail(f"{label}: does not verify: {why}")
    changed = bytearray(open(signed, "rb").read())
    changed[os.path.getsize(unsigned) // 2] ^= 1
    open(f"{tmp}/changed", "wb").write(changed)
    if not osslsigncode("verify", "-CAfile", ca, "-in", f"{tmp}/changed")[0]:
        fail(f"{signed}: still verifies with a byte changed")
    osslsigncode("remove-signature", "-in", signed, "-out", f"{tmp}/removed")
    if signed.endswith(".msi"):
        if streams(f"{tmp}/removed") != streams(unsigned):
            fail(f"{signed}: without its signature, its streams are not those of {unsigned}")
        return
    if open(f"{tmp}/removed", "rb").read() != open(unsigned, "rb").read():
        fail(f"{signed}: without its signature, it is not {unsigned}")
    parsed = subprocess.run(["openssl", "asn1parse", "-in", f"{tmp}/signature.pem"], capture_output=True, text=True)
    signed_digest = re.search(r"l= *32 prim: OCTET STRING +\[HEX DUMP\]:([0-9A-F]{64})", parsed.stdout)
    digest = pe_digest(signed)
    if not signed_digest or signed_digest.group(1).lower() != digest:
        fail(f"{signed}: pefile's digest {digest} is not the one signed")


def main():
    mode, args = sys.argv[1], sys.argv[2:]
    with tempfile.TemporaryDirectory() as tmp:
        if mode == "key":
            epoch, unsigned, signed, signature = args
            key = os.memfd_create("key")
            os.write(key, sys.stdin.buffer.read())
            failed, why = osslsigncode("sign", "-certs", f"/proc/self/fd/{key}", "-key", f"/proc/self/fd/{key}",
                                       "-h", "sha256", "-n", "classbanner", "-st", epoch, "-in", unsigned,
                                       "-out", signed, pass_fds=[key])
            if failed or osslsigncode("extract-signature", "-in", signed, "-out", signature)[0]:
                fail(f"{unsigned}: osslsigncode could not sign it: {why}")
        else:
            signature, unsigned, signed = args
            failed, why = osslsigncode("attach-signature", "-sigin", signature, "-CAfile",
                                       chain_root(signature, "DER", tmp), "-in", unsigned, "-out", signed)
            if failed:
                fail(f"{signature} does not fit {unsigned}: {why}")
        label = signed if mode == "key" else f"{os.path.basename(signature)} does not fit {os.path.basename(unsigned)}"
        check(unsigned, signed, tmp, label)


if __name__ == "__main__":
    main()
