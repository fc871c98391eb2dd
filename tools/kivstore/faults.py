"""Fault rules, request counters and the request journal (shared by all threads)."""

import collections
import fnmatch
import threading
import time

RULE_FIELDS = {
    # matching
    'method': str, 'op': str, 'bucket': str, 'key': str, 'count': int, 'skip': int, 'dialect': str,
    # answers instead of the operation
    'status': int, 'code': str, 'message': str, 'body': str, 'headers': dict,
    'redirect': str, 'redirect_status': int, 'redirect_port': int,
    # changes to the answer of the operation
    'delay_ms': int, 'reset_after': int, 'close_after_header': bool, 'chunked': bool,
    'chunk_size': int, 'connection_close': bool, 'server_time': int,
}


class RuleError(ValueError):
    pass


def check_rule(rule):
    if not isinstance(rule, dict):
        raise RuleError('a rule is a JSON object')
    for name, value in rule.items():
        kind = RULE_FIELDS.get(name)
        if kind is None:
            raise RuleError('unknown rule field %r' % name)
        if kind is int and (isinstance(value, bool) or not isinstance(value, int)):
            raise RuleError('rule field %r takes an integer' % name)
        if kind is not int and not isinstance(value, kind):
            raise RuleError('rule field %r takes a %s' % (name, kind.__name__))
    if 'status' in rule and not 100 <= rule['status'] <= 599:
        raise RuleError('status must be 100..599')
    if 'redirect_status' in rule and rule['redirect_status'] not in (300, 301, 302, 303, 304, 305, 307, 308):
        raise RuleError('redirect_status must be a 3xx code')
    out = dict(rule)
    out.setdefault('method', '*')
    out.setdefault('key', '*')
    out.setdefault('count', 1)
    out.setdefault('skip', 0)
    return out


class Faults:
    def __init__(self, journal_size=10000):
        self._lock = threading.Lock()
        self._rules = []
        self._next_id = 1
        self.counters = collections.Counter()
        self.journal = collections.deque(maxlen=journal_size)
        self._seq = 0
        self.settings = {'list_page_delay_ms': 0}

    # -- rules ---------------------------------------------------------------
    def add(self, rules):
        checked = [check_rule(r) for r in rules]
        with self._lock:
            ids = []
            for r in checked:
                r['id'] = self._next_id
                self._next_id += 1
                self._rules.append(r)
                ids.append(r['id'])
            return ids

    def clear(self):
        with self._lock:
            self._rules.clear()

    def rules(self):
        with self._lock:
            return [dict(r) for r in self._rules]

    def match(self, method, op, bucket, key, dialect):
        """The first armed rule matching the request, consumed by one; or None."""
        if not self._rules:
            return None
        with self._lock:
            for i, r in enumerate(self._rules):
                if r['method'] not in ('*', method):
                    continue
                if 'op' in r and r['op'] != op:
                    continue
                if 'bucket' in r and r['bucket'] != bucket:
                    continue
                if 'dialect' in r and r['dialect'] != dialect:
                    continue
                if not fnmatch.fnmatchcase(key, r['key']):
                    continue
                if r['skip'] > 0:
                    r['skip'] -= 1
                    continue
                if r['count'] > 0:
                    r['count'] -= 1
                    if r['count'] == 0:
                        del self._rules[i]
                return dict(r)
        return None

    # -- counters and journal ------------------------------------------------
    def record(self, entry):
        with self._lock:
            self._seq += 1
            entry['seq'] = self._seq
            entry['time'] = time.time()
            self.counters[entry['op']] += 1
            self.counters['total'] += 1
            self.journal.append(entry)

    def snapshot_counters(self):
        with self._lock:
            return dict(self.counters)

    def reset_counters(self):
        with self._lock:
            self.counters.clear()
            self.journal.clear()

    def requests(self, since=0):
        with self._lock:
            return [dict(e) for e in self.journal if e['seq'] > since]
