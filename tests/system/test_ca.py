#!/usr/bin/python3
"""Makes the certificates that tests of HTTPS and WSS on loopback need, with the
openssl command, into one folder:

  ca.crt                      the test certificate authority (give it to the program
                              with SSL_CERT_FILE on Linux; under Wine add it to the
                              host's store, which Wine copies)
  localhost.crt/.key          for localhost and 127.0.0.1, signed by ca.crt
  otherhost.crt/.key          for other.example only, signed by ca.crt: a certificate
                              for another host
  untrusted.crt/.key          for localhost and 127.0.0.1, signed by another authority
                              that nothing trusts

Usage: test_ca.py DIR     (the folder is made if needed; existing files are replaced)
"""

import os
import subprocess
import sys
import tempfile


def openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.PIPE)


def make_ca(folder, name, subject):
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30",
            "-subj", f"/CN={subject}", "-keyout", f"{name}.key", "-out", f"{name}.crt",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)


def make_leaf(folder, name, ca, alt_names):
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-subj", f"/CN={alt_names[0][4:]}",
            "-keyout", f"{name}.key", "-out", f"{name}.csr", cwd=folder)
    with tempfile.NamedTemporaryFile("w", dir=folder, suffix=".ext", delete=False) as ext:
        ext.write("basicConstraints=CA:FALSE\n"
                  "keyUsage=digitalSignature,keyEncipherment\n"
                  "extendedKeyUsage=serverAuth\n"
                  f"subjectAltName={','.join(alt_names)}\n")
    try:
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{ca}.crt", "-CAkey", f"{ca}.key",
                "-CAcreateserial", "-days", "30", "-extfile", ext.name, "-out", f"{name}.crt",
                cwd=folder)
    finally:
        os.unlink(ext.name)
        os.unlink(os.path.join(folder, f"{name}.csr"))


def make_all(folder):
    os.makedirs(folder, exist_ok=True)
    make_ca(folder, "ca", "strikewell test CA")
    make_ca(folder, "untrusted-ca", "strikewell untrusted test CA")
    make_leaf(folder, "localhost", "ca", ["DNS:localhost", "IP:127.0.0.1"])
    make_leaf(folder, "otherhost", "ca", ["DNS:other.example"])
    make_leaf(folder, "untrusted", "untrusted-ca", ["DNS:localhost", "IP:127.0.0.1"])


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    make_all(sys.argv[1])
