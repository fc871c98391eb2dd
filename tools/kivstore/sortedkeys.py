"""A sorted set of object keys split into bounded chunks.

Insertion and removal cost O(sqrt n) element moves instead of O(n), so a bucket of
a million keys stays cheap to update, and a listing page is a bisect plus a slice.
Python compares str by code point, which for valid Unicode is the UTF-8 byte order
that listings must follow. Not thread-safe: the store serialises access.
"""

from bisect import bisect_left, bisect_right

_LOAD = 1000


class SortedKeys:
    def __init__(self):
        self._lists = []
        self._maxes = []
        self._len = 0

    def __len__(self):
        return self._len

    def __contains__(self, key):
        i = bisect_left(self._maxes, key)
        if i == len(self._maxes):
            return False
        lst = self._lists[i]
        j = bisect_left(lst, key)
        return j < len(lst) and lst[j] == key

    def add(self, key):
        """Inserts key; returns False when it was already there."""
        maxes = self._maxes
        if not maxes:
            self._lists.append([key])
            maxes.append(key)
            self._len = 1
            return True
        i = bisect_left(maxes, key)
        if i == len(maxes):
            i -= 1
            lst = self._lists[i]
            lst.append(key)
            maxes[i] = key
        else:
            lst = self._lists[i]
            j = bisect_left(lst, key)
            if j < len(lst) and lst[j] == key:
                return False
            lst.insert(j, key)
        self._len += 1
        if len(lst) > 2 * _LOAD:
            half = lst[_LOAD:]
            del lst[_LOAD:]
            maxes[i] = lst[-1]
            self._lists.insert(i + 1, half)
            maxes.insert(i + 1, half[-1])
        return True

    def discard(self, key):
        """Removes key; returns False when it was absent."""
        maxes = self._maxes
        i = bisect_left(maxes, key)
        if i == len(maxes):
            return False
        lst = self._lists[i]
        j = bisect_left(lst, key)
        if j == len(lst) or lst[j] != key:
            return False
        del lst[j]
        self._len -= 1
        if not lst:
            del self._lists[i]
            del maxes[i]
        elif j == len(lst):
            maxes[i] = lst[-1]
        return True

    def iter_from(self, key, inclusive=True):
        """Yields keys >= key (or > key), in order. The set must not change meanwhile."""
        maxes = self._maxes
        i = (bisect_left if inclusive else bisect_right)(maxes, key)
        if i == len(maxes):
            return
        lst = self._lists[i]
        j = (bisect_left if inclusive else bisect_right)(lst, key)
        lists = self._lists
        n = len(lists)
        while i < n:
            lst = lists[i]
            for k in range(j, len(lst)):
                yield lst[k]
            i += 1
            j = 0
