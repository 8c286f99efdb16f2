// A thread's spare lists, lent to one reader at a time.
#pragma once

#include <cstddef>
#include <memory>

namespace klov {

// The lists a reader fills (T) are kept by its thread between calls, with
// their room: allocating the lists of a small text costs more than filling
// them, and the page faults of a fresh megabyte more than writing into it.
// They are lent, not moved in and out, so a call on a small text pays one
// flag for them.  A reader that comes while they are out (a text read inside
// the reading of another) gets lists of its own.
// T provides clear(), which empties its lists and keeps their room, and
// room(), the bytes they hold: past kKept, they are freed on return.
template <class T, std::size_t kKept = std::size_t{8} << 20>
class ThreadSpare {
public:
    ThreadSpare() : slot_(&slot()) {
        if (slot_->lent) {
            slot_ = nullptr;
            own_ = std::make_unique<T>();
            lists_ = own_.get();
        } else {
            slot_->lent = true;
            lists_ = &slot_->lists;
            lists_->clear();
        }
    }
    ~ThreadSpare() {
        if (slot_ == nullptr) return;
        if (lists_->room() > kKept) *lists_ = T();
        slot_->lent = false;
    }
    ThreadSpare(const ThreadSpare&) = delete;
    ThreadSpare& operator=(const ThreadSpare&) = delete;

    T& operator*() const { return *lists_; }
    T* operator->() const { return lists_; }

private:
    struct Slot {
        T lists;
        bool lent = false;
    };
    static Slot& slot() {
        thread_local Slot s;
        return s;
    }

    Slot* slot_;  // null when the lists are this reader's own
    std::unique_ptr<T> own_;
    T* lists_;
};

}  // namespace klov
