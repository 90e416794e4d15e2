// CMyList<T>: doubly linked list whose structure is guarded by a semaphore.
//
// Ownership: the list allocates one node per element with new and frees it
// with delete; it never owns the values. When T is a pointer, whoever takes an
// element off the list frees what it points to.
//
// Thread safety: PushBack, PopFront, Remove, Clear, Head and Count each hold
// `guard` for their whole change, so they may be called from any thread.
// Walking the list does not: a walker copies `head` under the guard (Head())
// and then follows `next` without it, which is only safe while the list's
// outer lock (named where each list is declared) keeps out everyone who
// changes it. Not copyable.
#ifndef KORVANE_SYNC_MYLIST_H
#define KORVANE_SYNC_MYLIST_H

#include <errno.h>
#include <semaphore.h>
#include <stdint.h>

template <typename T>
class CMyList {
public:
    // One element. Public so that users can walk the list.
    struct Node {
        T value;
        Node *prev;
        Node *next;
    };

    // First and last node, null when empty.
    Node *head;
    Node *tail;
    // Binary semaphore (initially 1) held while the structure changes.
    sem_t guard;
    // Number of elements; stops at 0xFFFFFFFF.
    uint32_t count;

    CMyList() : head(nullptr), tail(nullptr), count(0) { sem_init(&guard, 0, 1); }
    // Frees the nodes (not the values) and the semaphore.
    virtual ~CMyList() {
        Clear();
        sem_destroy(&guard);
    }

    CMyList(const CMyList &) = delete;
    CMyList &operator=(const CMyList &) = delete;

    // Appends `value` at the tail.
    void PushBack(T value) {
        Lock();
        Node *node = new Node{value, tail, nullptr};
        if (tail != nullptr) {
            tail->next = node;
        } else {
            head = node;
        }
        tail = node;
        if (count != 0xFFFFFFFFu) count++;
        Unlock();
    }

    // Takes the head element into `out`. 0; 1 if the list is empty (`out`
    // untouched).
    int PopFront(T &out) {
        Lock();
        Node *old = head;
        if (old == nullptr) {
            Unlock();
            return 1;
        }
        out = old->value;
        head = old->next;
        if (head != nullptr) {
            head->prev = nullptr;
        } else {
            tail = nullptr;
        }
        if (count > 0) count--;
        delete old;
        Unlock();
        return 0;
    }

    // Unlinks and frees the node `iterator` points at (not its value) and
    // moves `iterator` on to the node that followed it (null at the end).
    void Remove(Node *&iterator) {
        Lock();
        Node *node = iterator;
        Node *prev = node->prev;
        Node *next = node->next;
        delete node;
        iterator = next;
        if (prev != nullptr) {
            prev->next = next;
        } else {
            head = next;
        }
        if (next == nullptr) {
            tail = prev;
        } else {
            next->prev = prev;
        }
        if (count > 0) count--;
        Unlock();
    }

    // Frees every node (not the values) and leaves the list empty.
    void Clear() {
        Lock();
        Node *node = head;
        while (node != nullptr) {
            Node *next = node->next;
            delete node;
            node = next;
        }
        head = nullptr;
        tail = nullptr;
        count = 0;
        Unlock();
    }

    // The head node as seen under the guard, for walking the list.
    Node *Head() {
        Lock();
        Node *first = head;
        Unlock();
        return first;
    }

    // The tail node as seen under the guard.
    Node *Tail() {
        Lock();
        Node *last = tail;
        Unlock();
        return last;
    }

    // The number of elements as seen under the guard.
    uint32_t Count() {
        Lock();
        uint32_t n = count;
        Unlock();
        return n;
    }

private:
    void Lock() {
        while (sem_wait(&guard) != 0 && errno == EINTR) {
        }
    }
    void Unlock() { sem_post(&guard); }
};

#endif  // KORVANE_SYNC_MYLIST_H
