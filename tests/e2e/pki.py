"""Throw-away certificates for the TLS tests, made with the openssl program:
a CA, the server's certificate for 127.0.0.1, client certificates, an
RFC 3820 proxy certificate and a CRL.

    pki = make_pki(directory)
    pki["server"], pki["server_key"], pki["ca"], pki["ann"], pki["ann_key"], ...
"""

import os
import subprocess

SUBJECTS = {
    "ann": "/O=Orvel Test/CN=Ann Example",
    "stranger": "/O=Orvel Test/CN=Somebody Else",
    "revoked": "/O=Orvel Test/CN=Revoked Person",
}


def _openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, capture_output=True)


def _write(path, text):
    with open(path, "w") as f:
        f.write(text)


def _issue(d, name, subject, issuer, extensions, serial):
    _openssl("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
             name + "-key.pem", "-out", name + ".csr", "-subj", subject, cwd=d)
    _write(os.path.join(d, name + ".ext"), extensions)
    _openssl("x509", "-req", "-in", name + ".csr", "-CA", issuer + ".pem", "-CAkey", issuer + "-key.pem",
             "-set_serial", str(serial), "-days", "2", "-extfile", name + ".ext", "-out", name + ".pem", cwd=d)


def make_pki(d):
    _openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", "ca-key.pem", "-out", "ca.pem", "-days", "2", "-subj", "/O=Orvel Test/CN=Test CA",
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             cwd=d)
    _issue(d, "server", "/CN=127.0.0.1", "ca", "basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
           "subjectAltName=IP:127.0.0.1,DNS:localhost\n", 2)
    client = "basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n" \
             "extendedKeyUsage=clientAuth\n"
    for serial, name in enumerate(SUBJECTS, start=3):
        _issue(d, name, SUBJECTS[name], "ca", client, serial)
    # A proxy of ann's: her subject plus one CN, signed by her own key.
    _issue(d, "ann-proxy", SUBJECTS["ann"] + "/CN=4711", "ann",
           "keyUsage=critical,digitalSignature,keyEncipherment\n"
           "proxyCertInfo=critical,language:id-ppl-inheritAll\n", 4711)
    with open(os.path.join(d, "ann-proxy-chain.pem"), "w") as out:
        for part in ("ann-proxy.pem", "ann.pem"):
            with open(os.path.join(d, part)) as f:
                out.write(f.read())
    # A CRL that revokes "revoked".
    _write(os.path.join(d, "index.txt"), "")
    _write(os.path.join(d, "crlnumber"), "01\n")
    _write(os.path.join(d, "ca.cnf"), "[ca]\ndefault_ca = test\n[test]\ndatabase = index.txt\n"
           "crlnumber = crlnumber\ndefault_md = sha256\ndefault_crl_days = 2\n")
    _openssl("ca", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca-key.pem", "-revoke", "revoked.pem", cwd=d)
    _openssl("ca", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca-key.pem", "-gencrl", "-out", "crl.pem",
             cwd=d)
    files = {"ca": "ca.pem", "server": "server.pem", "server_key": "server-key.pem", "crl": "crl.pem",
             "ann_proxy": "ann-proxy-chain.pem", "ann_proxy_key": "ann-proxy-key.pem"}
    for name in SUBJECTS:
        files[name] = name + ".pem"
        files[name + "_key"] = name + "-key.pem"
    return {k: os.path.join(d, v) for k, v in files.items()}
