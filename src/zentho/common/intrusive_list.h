#pragma once

namespace zentho {

// A node of an intrusive circular doubly linked list; a node in no list points
// to itself both ways. T is the type that derives from the node.
template <typename T>
struct intrusive_list_node {
    T* prev;
    T* next;

    // The derived object is not built yet here: its address is only stored.
    __attribute__((no_sanitize("vptr"))) intrusive_list_node() : prev(self()), next(self()) {}
    intrusive_list_node(const intrusive_list_node&) = delete;
    intrusive_list_node& operator=(const intrusive_list_node&) = delete;

    __attribute__((no_sanitize("vptr"))) T* self() { return static_cast<T*>(this); }
    bool single() const { return next == static_cast<const T*>(this); }

    // Inserts t just before this node (at the tail when this node is a list head).
    void insert_before(T* t) {
        t->prev = prev;
        t->next = self();
        prev->next = t;
        prev = t;
    }
    // Unlinks this node; returns its former successor, or null when it was alone.
    T* remove_from_list() {
        if (single()) return nullptr;
        T* n = next;
        prev->next = next;
        next->prev = prev;
        prev = next = self();
        return n;
    }
};

}  // namespace zentho
