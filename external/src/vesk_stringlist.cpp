#include "vesk_stringlist.h"

vesk_stringlistIterator::vesk_stringlistIterator(const vesk_string* position)
    : position_(position) {}
bool vesk_stringlistIterator::operator!=(const vesk_stringlistIterator& other) const {
    return position_ != other.position_;
}
const vesk_string& vesk_stringlistIterator::operator*() const { return *position_; }
vesk_stringlistIterator& vesk_stringlistIterator::operator++() {
    ++position_;
    return *this;
}

vesk_stringlist::vesk_stringlist() = default;
vesk_stringlist::vesk_stringlist(const vesk_stringlist& other) = default;
vesk_stringlist::~vesk_stringlist() = default;
vesk_stringlist& vesk_stringlist::operator=(const vesk_stringlist& other) = default;

vesk_stringlist::vesk_stringlist(const char* text, char separator) {
    if (text == nullptr || *text == '\0') return;
    const char* start = text;
    for (const char* p = text;; ++p) {
        if (*p == separator || *p == '\0') {
            items_.emplace_back(start, static_cast<int>(p - start));
            if (*p == '\0') break;
            start = p + 1;
        }
    }
}

vesk_stringlist& vesk_stringlist::operator<<(const vesk_string& item) {
    items_.push_back(item);
    return *this;
}

vesk_string vesk_stringlist::toString(char separator) const {
    vesk_string result;
    const char joint[2] = {separator, '\0'};
    for (size_t i = 0; i < items_.size(); ++i) {
        if (i != 0) result += joint;
        result += items_[i];
    }
    return result;
}

int vesk_stringlist::count() const { return static_cast<int>(items_.size()); }

vesk_stringlistIterator vesk_stringlist::begin() const {
    return vesk_stringlistIterator(items_.data());
}
vesk_stringlistIterator vesk_stringlist::end() const {
    return vesk_stringlistIterator(items_.data() + items_.size());
}
