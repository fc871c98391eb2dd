"""XML texts of the service: escaping for answers and tolerant readers for request bodies."""

import re
import xml.etree.ElementTree as ET

_ESC = {'&': '&amp;', '<': '&lt;', '>': '&gt;', '"': '&quot;', "'": '&apos;'}
# Control characters become character references: raw CR would be folded into LF by
# XML parsers, and the others are not allowed as raw text at all.
for _c in range(0x20):
    _ESC[chr(_c)] = '&#x%X;' % _c
_ESC['\x7f'] = '&#x7F;'
_ESC_TABLE = str.maketrans(_ESC)
_NEEDS_ESC = re.compile(r'[&<>"\'\x00-\x1f\x7f]')


def esc(text):
    text = str(text)
    if _NEEDS_ESC.search(text) is None:
        return text
    return text.translate(_ESC_TABLE)


_ENTITY = re.compile(r'&(amp|lt|gt|quot|apos|#[0-9]{1,7}|#x[0-9A-Fa-f]{1,6});')
_NAMED = {'amp': '&', 'lt': '<', 'gt': '>', 'quot': '"', 'apos': "'"}


def _entity(m):
    name = m.group(1)
    if name in _NAMED:
        return _NAMED[name]
    code = int(name[2:], 16) if name[1] == 'x' else int(name[1:])
    if code == 0 or code > 0x10FFFF or 0xD800 <= code <= 0xDFFF:
        return m.group(0)
    return chr(code)


def unescape(text):
    """Resolves the five named entities and character references; any other '&' stays as is."""
    if '&' not in text:
        return text
    return _ENTITY.sub(_entity, text)


def doc(root, inner, ns=None):
    attr = ' xmlns="%s"' % ns if ns else ''
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<%s%s>%s</%s>' % (root, attr, inner, root)).encode('utf-8')


def elem(name, value):
    return '<%s>%s</%s>' % (name, esc(value), name)


class MalformedXML(ValueError):
    pass


def _text(body):
    try:
        return body.decode('utf-8')
    except UnicodeDecodeError:
        raise MalformedXML('the body is not UTF-8') from None


_OBJECT = re.compile(r'<Object>(.*?)</Object>', re.S)
_KEY = re.compile(r'<Key>(.*?)</Key>', re.S)
_QUIET = re.compile(r'<Quiet>\s*([A-Za-z]+)\s*</Quiet>')


def parse_delete(body, limit=1000):
    """Reads a multi-object delete body: (quiet, [keys]).

    Read by pattern, not by an XML parser, so that a key sent without escaping
    ("a&b") is still found; escaped keys are unescaped.
    """
    text = _text(body)
    if not re.search(r'<Delete[\s>]', text) or '</Delete>' not in text:
        raise MalformedXML('no Delete element')
    keys = []
    for obj in _OBJECT.finditer(text):
        m = _KEY.search(obj.group(1))
        if m is None:
            raise MalformedXML('an Object without Key')
        keys.append(unescape(m.group(1)))
    if not keys:
        raise MalformedXML('no Object to delete')
    if len(keys) > limit:
        raise MalformedXML('more than %d objects' % limit)
    q = _QUIET.search(text)
    quiet = q is not None and q.group(1).lower() == 'true'
    return quiet, keys


def _local(tag):
    return tag.rsplit('}', 1)[-1]


def parse_complete(body):
    """Reads a multipart completion body: [(part number, etag)] in body order."""
    text = _text(body)
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        raise MalformedXML(str(e)) from None
    if _local(root.tag) != 'CompleteMultipartUpload':
        raise MalformedXML('root is not CompleteMultipartUpload')
    parts = []
    for part in root:
        if _local(part.tag) != 'Part':
            continue
        num = etag = None
        for child in part:
            name = _local(child.tag)
            if name == 'PartNumber':
                num = (child.text or '').strip()
            elif name == 'ETag':
                etag = (child.text or '').strip()
        if num is None or etag is None or not num.isdigit():
            raise MalformedXML('a Part needs PartNumber and ETag')
        parts.append((int(num), etag))
    return parts
