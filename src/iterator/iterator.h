#pragma once
// The contract every iterator over data objects meets. next() is called by one
// consumer (the host thread); ownership of each object passes to the caller.

#include <cstdint>

#include "object/dataobject.h"

class IDataObjectIterator {
public:
    virtual ~IDataObjectIterator() = default;
    // Starts background work; 0, or -1 with errno.
    virtual int init() = 0;
    // Null when the iteration is over.
    virtual IDataObject* next() = 0;
    // Hands the iterator one more object (its own producers use this).
    virtual void push(IDataObject* object) = 0;

    bool include_errors = false;
    uint64_t length = 0;
};
