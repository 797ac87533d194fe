#!/usr/bin/env python3
"""Writes the seed corpora of the fuzzers (fuzz/corpus/<target>/).

Run from the repository root when a reader's input format changes; it needs
the openssl command. Keys and certificates are made afresh, so the files
change on every run: commit them only when the seeds must change.
"""
import base64
import os
import struct
import subprocess
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def put(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, check=True, capture_output=True).stdout


def der_len(n):
    if n < 128:
        return bytes([n])
    body = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(body)]) + body


def der_int(value, pad=0, long_len=False):
    body = value.to_bytes(max(1, (value.bit_length() + 8) // 8), "big")
    body = b"\x00" * pad + body
    length = (b"\x81" + bytes([len(body)])) if long_len and len(body) < 128 else der_len(len(body))
    return b"\x02" + length + body


def rsa_parts(tmp, bits):
    key = os.path.join(tmp, f"rsa{bits}.pem")
    openssl("genrsa", "-traditional", "-out", key, str(bits))
    text = openssl("rsa", "-in", key, "-noout", "-text").decode()
    parts, name = {}, None
    for line in text.splitlines():
        if line.startswith("publicExponent"):
            parts["e"] = int(line.split()[1])
        elif not line.startswith(" ") and ":" in line:
            name = line.split(":")[0]
            parts[name] = ""
        elif name and line.startswith(" "):
            parts[name] += line.strip().replace(":", "")
    names = ["modulus", "privateExponent", "prime1", "prime2", "exponent1", "exponent2",
             "coefficient"]
    n, d, p, q, dp, dq, qinv = (int(parts[k], 16) for k in names)
    return key, dict(n=n, e=parts["e"], d=d, p=p, q=q, dp=dp, dq=dq, qinv=qinv)


def le(value, width):
    return value.to_bytes(width, "little")


def store_file(body, version=2, generation=7):
    """A software-token store file around `body` (softtoken/README.md)."""
    import hashlib
    if version == 1:
        return (b"OBKEYTOK" + le(1, 4) + le(len(body), 4) + hashlib.sha256(body).digest()
                + body)
    covered = le(generation, 8) + body
    return b"OBKEYTOK" + le(version, 4) + le(len(body), 4) + hashlib.sha256(covered).digest() \
        + covered


def store_seeds(key_der, cert_der):
    pin = bytes(range(16)) + bytes(range(32)) + le(1, 4)
    head = bytes(range(100, 116)) + pin + pin + bytes([10])
    no_files = le(0, 2)
    files = le(3, 2) + le(1, 4) + le(200, 4) + b"\x00" * 200 + le(2, 4) + le(5, 4) + b"KEEP!" \
        + le(0x80000000, 4) + le(0, 4)
    container = (b"\x01" + bytes([7]) + b"SIG_one" + le(0, 2) + le(0, 2)
                 + le(len(key_der), 2) + key_der + le(len(cert_der), 2) + cert_der)
    put("store_parse_fuzz", "empty", store_file(head + b"\x00\x00" + no_files))
    put("store_parse_fuzz", "files", store_file(head + b"\x00\x00" + files))
    put("store_parse_fuzz", "key-and-cert", store_file(head + container + b"\x00" + files))
    put("store_parse_fuzz", "version1", store_file(head + container + b"\x00" + no_files, 1))
    # Version 3: a token key block, then key pairs with a form byte each.
    wrap = b"\x01" + bytes(range(16)) + le(1, 4) + bytes(range(60))
    sealed = (b"\x01" + bytes([3]) + b"SIG" + b"\x00" + le(0, 2)
              + b"\x02" + le(4, 2) + b"\x30\x02\x02\x00" + le(40, 2) + bytes(40) + le(0, 2))
    put("store_parse_fuzz", "version3", store_file(head + wrap + sealed + b"\x00" + files, 3))
    put("store_parse_fuzz", "version3-clear-key",
        store_file(head + b"\x00" + b"\x01" + bytes([3]) + b"ENC" + b"\x01" + le(len(key_der), 2)
                   + key_der + le(0, 2) + b"\x00" + le(0, 2) + b"\x00" + no_files, 3))


def main():
    with tempfile.TemporaryDirectory() as tmp:
        key_pem, k = rsa_parts(tmp, 1024)
        key512_pem, k512 = rsa_parts(tmp, 512)
        pkcs8_pem = openssl("pkey", "-in", key_pem)
        pub_pem = openssl("rsa", "-in", key_pem, "-pubout")
        cert_pem = openssl("req", "-new", "-x509", "-key", key_pem, "-subj",
                           "/C=CN/O=Orbisoft/CN=obkey seed", "-days", "3650")
        cert_der = openssl("x509", "-outform", "DER", data=cert_pem)
        cert_file = os.path.join(tmp, "cert.pem")
        with open(cert_file, "wb") as f:
            f.write(cert_pem)
        p7_pem = openssl("crl2pkcs7", "-nocrl", "-certfile", cert_file)
        p7_der = openssl("pkcs7", "-outform", "DER", data=p7_pem)

        n, e, h = 128, k["e"], 64
        private_blob = (bytes([7, 2, 0, 0, 0, 0xA4, 0, 0]) + b"RSA2" + struct.pack("<II", 1024, e)
                        + le(k["n"], n) + le(k["p"], h) + le(k["q"], h) + le(k["dp"], h)
                        + le(k["dq"], h) + le(k["qinv"], h) + le(k["d"], n))
        public_blob = (bytes([6, 2, 0, 0, 0, 0xA4, 0, 0]) + b"RSA1" + struct.pack("<II", 1024, e)
                       + le(k["n"], n))

        # private-key blob conversion
        put("pvk_blob_fuzz", "rsa1024", private_blob)
        put("pvk_blob_fuzz", "truncated", private_blob[:100])
        put("pvk_blob_fuzz", "public", public_blob)

        # the token's DER key reader: strict, and the padded form obkey writes
        ints = [0, k["n"], e, k["d"], k["p"], k["q"], k["dp"], k["dq"], k["qinv"]]
        strict = b"".join(der_int(v) for v in ints)
        put("rsa_der_fuzz", "strict", b"\x30" + der_len(len(strict)) + strict)
        padded = b"".join(der_int(v, pad=1 if i % 2 else 0, long_len=(i == 2))
                          for i, v in enumerate(ints))
        put("rsa_der_fuzz", "padded", b"\x30\x82" + len(padded).to_bytes(2, "big") + padded)
        k2 = [0, k512["n"], k512["e"], k512["d"], k512["p"], k512["q"], k512["dp"], k512["dq"],
              k512["qinv"]]
        small = b"".join(der_int(v) for v in k2)
        put("rsa_der_fuzz", "rsa512", b"\x30" + der_len(len(small)) + small)

        # obkeyctl's readers: a selector byte, then the input
        put("obkeyctl_blobs_fuzz", "private-pkcs1", b"\x00" + open(key_pem, "rb").read())
        put("obkeyctl_blobs_fuzz", "private-pkcs8", b"\x00" + pkcs8_pem)
        put("obkeyctl_blobs_fuzz", "public-blob", b"\x01" + public_blob)
        put("obkeyctl_blobs_fuzz", "public-pem", b"\x02" + pub_pem)
        put("obkeyctl_blobs_fuzz", "cert-pem-as-key", b"\x02" + cert_pem)
        put("obkeyctl_blobs_fuzz", "cert-pem", b"\x03" + cert_pem)
        put("obkeyctl_blobs_fuzz", "cert-der", b"\x03" + cert_der)

        # the enrollment stand-in's installation readers
        put("enroll_install_fuzz", "pkcs7-pem", p7_pem)
        put("enroll_install_fuzz", "pkcs7-base64", base64.encodebytes(p7_der))
        put("enroll_install_fuzz", "cert-base64", base64.b64encode(cert_der))
        put("enroll_install_fuzz", "short", "TWFu")

    # request subjects
    subjects = {
        "slash": "/C=CN/O=Orbisoft/CN=Zhang San",
        "rfc4514": "CN=Zhang San, OU=Signing, O=Orbisoft, C=CN",
        "escapes": "/O=A\\/B\\=C/CN=x\\\\y",
        "utf8": "/CN=\xe5\xbc\xa0\xe4\xb8\x89/emailAddress=a@b.cn",
        "oid": "/2.5.4.3=by number/serialNumber=123456",
        "blanks": "  CN = padded  ,O=\tOrg\t",
    }
    for name, text in subjects.items():
        put("enroll_subject_fuzz", name, text.encode("latin-1"))

    # the configuration file
    section = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\orbisoft\\Implement Type]"
    configs = {
        "plain": f"Windows Registry Editor Version 5.00\r\n\r\n{section}\r\n\"USBKEY\"=\"XCSP_KEY_0\"\r\n",
        "lower-case": section.lower() + "\n\"usbkey\"=\"XCSP_KEY_12\"\n",
        "escapes": section + "\n\"USBKEY\"=\"a\\\\\\\"cdefgh5\"\n",
        "dword": section + "\n\"USBKEY\"=dword:00000005\n",
        "zero-first": section + "\n\"USBKEY\"=\"\x00XCSP_KEY_1\"\n",
        "two-sections": "[HKEY_LOCAL_MACHINE\\SOFTWARE\\other]\n\"USBKEY\"=\"XCSP_KEY_9\"\n"
                        + section + "\n\"Other\"=\"x\"\n\"USBKEY\"=\"XCSP_KEY_-3\"\n",
    }
    for name, text in configs.items():
        put("config_fuzz", name, text.encode("latin-1"))

    # key names and labels: property, capacity, [200-byte directory], name
    directory = bytearray(200)
    for i, label in enumerate([b"LAB_USERCERT_SIG", b"KEEP", b"LAB_USERCERT_ENC"]):
        directory[20 * i] = 0x55
        directory[20 * i + 1:20 * i + 1 + len(label)] = label
    put("names_fuzz", "container", b"\x07\x04SIG_ENC_container")
    put("names_fuzz", "key-name", b"\x07\x04ENC_box\\01")
    put("names_fuzz", "long-name", b"\x03\x04" + b"S" * 150)
    put("names_fuzz", "directory", b"\x08\x02" + bytes(directory) + b"KEEP")
    put("names_fuzz", "full-directory", b"\x06\x04" + b"U" * 200 + b"NEW")

    # ciphers: mode, key length - 1, split, key, data
    key24 = bytes(range(1, 25))
    data = b"obkey seed data, 32 bytes long!!"
    for mode in range(5):
        put("cipher_roundtrip_fuzz", f"mode{mode}", bytes([mode, 23, 13]) + key24 + data)
    put("cipher_roundtrip_fuzz", "two-key", bytes([1, 15, 5]) + key24[:16] + data[:17])
    # alg, mode, key length, capacity, direction, key, data
    for alg in range(3):
        put("symmetric_fuzz", f"alg{alg}", bytes([alg, 1, 24, 40, 0]) + key24 + data)
    put("symmetric_fuzz", "short-out", bytes([0, 4, 16, 3, 1]) + key24[:16] + data)

    # multi-precision: digit counts, then the numbers
    def be(value, width):
        return value.to_bytes(width, "big")

    n1024 = k["n"]
    put("mp_div_fuzz", "rsa", bytes([64, 32]) + be(n1024, 128) + be(k["d"] * k["p"], 256))
    put("mp_div_fuzz", "top-digit-ones", bytes([4, 2]) + b"\xff" * 8 + b"\xfe" * 16)
    put("mp_div_fuzz", "top-bit-only", bytes([8, 3]) + b"\x80" + b"\x00" * 11 + b"\xff" * 32)
    put("mp_div_fuzz", "one-digit", bytes([129, 0]) + b"\x00\x00\x00\x07" + b"\xab" * 520)
    put("mp_modexp_fuzz", "rsa-public", bytes([32, 1, 0]) + be(n1024, 128)
        + be(65537, 128) + be(k["d"], 128))
    put("mp_modexp_fuzz", "rsa-private", bytes([32, 7, 0]) + be(n1024, 128) + be(k["d"], 128)
        + be(12345678901234567890, 128))
    put("mp_modexp_fuzz", "even", bytes([4, 2, 0]) + be(2**100 + 2, 16) + be(3**20, 16)
        + be(7**30, 16))
    put("mp_modexp_fuzz", "widest", bytes([64, 2, 1]) + b"\xff" * 260 + b"\x01" * 260
        + b"\x5a" * 260)

    # XML answers
    answers = {
        "answer": "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<root>"
                  "<certKmcReq1>MIIBCgKCAQEA</certKmcReq1><certKmcReq2>AQAB</certKmcReq2>"
                  "<certKmcReq3>x</certKmcReq3><certKmcRep1>MIIC\nAQAB</certKmcRep1>"
                  "<certKmcRep2>y</certKmcRep2><certKmcRep3>z</certKmcRep3></root>",
        "nested": "<root><b><certKmcRep1>deep</certKmcRep1></b><certKmcRep1>near</certKmcRep1></root>",
        "cdata": "<root><certKmcRep1><![CDATA[MIIB<&>]]></certKmcRep1></root>",
        "entities": "<root><certKmcRep1>a&amp;b&lt;c&#x41;&#66;</certKmcRep1></root>",
        "attributes": "<root xmlns=\"urn:x\" a='1'><certKmcRep1 id=\"2\">v</certKmcRep1></root>",
        "comment": "<!-- answer --><root><certKmcRep1>xyz</certKmcRep1></root>",
        "gbk": "<?xml version=\"1.0\" encoding=\"GBK\"?><root><certKmcRep1>\xca\xa7\xb0\xdc</certKmcRep1></root>",
        "long": "<root><certKmcRep1>" + "A" * 5000 + "</certKmcRep1></root>",
        "broken": "<root><certKmcRep1>xyz</certKmcRep1>",
    }
    for name, text in answers.items():
        put("xml_answer_fuzz", name, text.encode("latin-1"))

    with tempfile.TemporaryDirectory() as tmp:
        key_pem, _ = rsa_parts(tmp, 1024)
        key_der = openssl("rsa", "-in", key_pem, "-traditional", "-outform", "DER")
        cert_pem = openssl("req", "-new", "-x509", "-key", key_pem, "-subj",
                           "/CN=obkey store seed", "-days", "3650")
        store_seeds(key_der, openssl("x509", "-outform", "DER", data=cert_pem))


if __name__ == "__main__":
    main()
