// Cursor list of owned records: first/next/at walks with a cursor that
// every operation moves. Stored contiguously so that at() is O(1); the
// results of every operation are those of the doubly linked list it models.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace placidor::trajectory {

template <typename Record>
class RecordList {
public:
    // Takes ownership. When the list cannot grow the record is released and
    // the list is unchanged; the result says whether it was appended.
    bool append(std::unique_ptr<Record> record) {
        try {
            records_.push_back(std::move(record));
        } catch (const std::bad_alloc &) {
            return false;
        }
        cursor_ = static_cast<std::ptrdiff_t>(records_.size()) - 1;
        return true;
    }

    Record *first() {
        cursor_ = records_.empty() ? kNone : 0;
        return current();
    }

    Record *next() {
        if (cursor_ == kNone) return nullptr;
        ++cursor_;
        if (cursor_ >= static_cast<std::ptrdiff_t>(records_.size())) cursor_ = kNone;
        return current();
    }

    // Positions beyond the ends give the nearest end's record.
    Record *at(std::int64_t position) {
        if (records_.empty()) {
            cursor_ = kNone;
            return nullptr;
        }
        const auto last = static_cast<std::int64_t>(records_.size()) - 1;
        cursor_ = static_cast<std::ptrdiff_t>(position < 0 ? 0 : position > last ? last : position);
        return current();
    }

    // Removes the cursor's record; the cursor moves to the following record,
    // or to the preceding one when the last was removed.
    void removeCurrent() {
        if (cursor_ == kNone) return;
        records_.erase(records_.begin() + cursor_);
        if (cursor_ >= static_cast<std::ptrdiff_t>(records_.size()))
            cursor_ = static_cast<std::ptrdiff_t>(records_.size()) - 1;
    }

    void clear() {
        records_.clear();
        records_.shrink_to_fit();
        cursor_ = kNone;
    }

    std::int32_t count() const { return static_cast<std::int32_t>(records_.size()); }
    Record *current() const { return cursor_ == kNone ? nullptr : records_[cursor_].get(); }

    // Direct access for the passes that walk every record in order; does not
    // move the cursor.
    Record &operator[](std::size_t position) { return *records_[position]; }
    const Record &operator[](std::size_t position) const { return *records_[position]; }

private:
    static constexpr std::ptrdiff_t kNone = -1;
    std::vector<std::unique_ptr<Record>> records_;
    std::ptrdiff_t cursor_ = kNone;
};

}  // namespace placidor::trajectory
