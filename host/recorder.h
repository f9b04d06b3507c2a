// SPDX-License-Identifier: Apache-2.0
// The host's recorders (traces, error messages, show-builder calls, PAC
// notifications) keep their records in bounded rings, and only while
// recording is on: a process that never asks keeps nothing, however long it
// runs.
#pragma once

#include <string.h>

#include <cstddef>
#include <cstdint>
#include <deque>

namespace ksh {

// Zeroes n bytes; unlike memset, never dropped as a dead store.
inline void wipe(void *p, size_t n) {
    if (p != nullptr && n != 0) explicit_bzero(p, n);
}

// Records per ring while recording is on; 0 while it is off. The first call
// reads KSH_RECORD and KSH_RECORD_CAPACITY, unless ksh_set_recording came
// first.
size_t record_capacity();

class RingBase {
  public:
    // Drops the oldest records, wiped, until at most n are left.
    virtual void trim(size_t n) = 0;

  protected:
    ~RingBase() = default;
};

// Remembers a ring, so that a new capacity reaches it.
void enroll(RingBase *ring);

// The most recent records, oldest first. A record with a wipe() member has it
// called before the record goes (for memory of its own); others are zeroed.
template <class T>
class Ring final : public RingBase {
  public:
    // Room for a new, value-initialised record at the newest end (the oldest
    // is dropped when the ring is full), or null while recording is off.
    T *add() {
        const size_t cap = record_capacity();
        if (cap == 0) return nullptr;
        if (q_ == nullptr) {
            q_ = new std::deque<T>();
            enroll(this);
        }
        trim(cap - 1);
        return &q_->emplace_back();
    }
    void trim(size_t n) override {
        while (size() > n) {
            wipe_record(q_->front());
            q_->pop_front();
            ++dropped_;
        }
    }
    // Wipes and forgets every record and the drop count.
    void clear() {
        trim(0);
        dropped_ = 0;
    }
    size_t size() const { return q_ != nullptr ? q_->size() : 0; }
    // Records stay where they are until dropped or cleared.
    T *at(size_t i) { return i < size() ? &(*q_)[i] : nullptr; }
    uint64_t dropped() const { return dropped_; }

  private:
    static void wipe_record(T &r) {
        if constexpr (requires { r.wipe(); }) {
            r.wipe();
        } else {
            wipe(&r, sizeof r);
        }
    }
    // Made at the first record: the library calls the platform before static
    // constructors have run, so the ring itself is constant-initialised.
    std::deque<T> *q_ = nullptr;
    uint64_t dropped_ = 0;
};

}  // namespace ksh
