"""Authenticode signing for tests, with osslsigncode and a throwaway
certificate that openssl makes in the test's scratch folder."""
import shutil
import struct
import subprocess
from pathlib import Path

TOOLS = ("osslsigncode", "openssl")


def missing_tool():
    return next((t for t in TOOLS if shutil.which(t) is None), None)


def make_certificate(folder):
    """A self-signed code-signing certificate and its key: (cert, key)."""
    folder = Path(folder)
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                    "-subj", "/CN=grelm test publisher", "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    return cert, key


def sign(cert, key, unsigned, signed):
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "grelm test",
                    "-in", unsigned, "-out", signed], check=True, capture_output=True)


def verify(cert, program):
    """osslsigncode's verdict on program's signature, trusting cert:
    (status, its report)."""
    r = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", program],
                       capture_output=True)
    return r.returncode, (r.stdout + r.stderr).decode(errors="replace")


def certificate_table(data):
    """Where a PE file's headers put its certificate table: (offset, size)."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    dirs = 96 if struct.unpack_from("<H", data, optional)[0] == 0x10B else 112
    return struct.unpack_from("<II", data, optional + dirs + 4 * 8)


def without_checksum(program, length):
    """The first length bytes of a program, the header checksum it starts
    with zeroed: mkinstaller writes each installer's own over the stub's,
    as signing does."""
    at = struct.unpack_from("<I", program, 0x3C)[0] + 24 + 64
    return program[:at] + bytes(4) + program[at + 4:length]
