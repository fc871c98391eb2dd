"""A test CA and a server certificate for the endpoint names, made with the openssl command."""

import ipaddress
import os
import subprocess


def _run(args, cwd):
    subprocess.run(['openssl'] + args, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def san_list(endpoints, extra_hosts=()):
    names = ['localhost']
    for ep in endpoints:
        names += [ep, '*.' + ep]
    names += list(extra_hosts)
    out = []
    for n in dict.fromkeys(names):
        out.append('DNS:' + n)
    out.append('IP:127.0.0.1')
    return out


def ensure_certificates(tls_dir, endpoints, extra_hosts=()):
    """Returns (ca file, certificate file, key file), making them when missing or stale."""
    os.makedirs(tls_dir, exist_ok=True)
    ca, ca_key = os.path.join(tls_dir, 'ca.pem'), os.path.join(tls_dir, 'ca.key')
    crt, key = os.path.join(tls_dir, 'server.pem'), os.path.join(tls_dir, 'server.key')
    names = ','.join(san_list(endpoints, extra_hosts))
    stamp = os.path.join(tls_dir, 'names.txt')
    try:
        with open(stamp) as f:
            if f.read() == names and all(os.path.exists(p) for p in (ca, ca_key, crt, key)):
                return ca, crt, key
    except FileNotFoundError:
        pass
    for n in names.split(','):
        if n.startswith('IP:'):
            ipaddress.ip_address(n[3:])
    ec = ['-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes']
    if not (os.path.exists(ca) and os.path.exists(ca_key)):
        _run(['req', '-x509'] + ec + ['-keyout', 'ca.key', '-out', 'ca.pem', '-days', '3650',
                                      '-subj', '/CN=kivstore test CA',
                                      '-addext', 'basicConstraints=critical,CA:TRUE',
                                      '-addext', 'keyUsage=critical,keyCertSign,cRLSign'], tls_dir)
    with open(os.path.join(tls_dir, 'server.ext'), 'w') as f:
        f.write('subjectAltName=%s\nbasicConstraints=CA:FALSE\n'
                'keyUsage=critical,digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' % names)
    _run(['req'] + ec + ['-keyout', 'server.key', '-out', 'server.csr', '-subj', '/CN=' + (endpoints[0] if endpoints else 'localhost')], tls_dir)
    _run(['x509', '-req', '-in', 'server.csr', '-CA', 'ca.pem', '-CAkey', 'ca.key', '-CAcreateserial',
          '-out', 'server.pem', '-days', '825', '-extfile', 'server.ext'], tls_dir)
    with open(stamp, 'w') as f:
        f.write(names)
    return ca, crt, key
