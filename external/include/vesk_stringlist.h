// vesk_stringlist.h - an ordered list of texts and its iterator.
//
// vesk_stringlist(text, separator): the empty text gives an empty list;
// otherwise one item per piece between separators, empty pieces included.
// toString(separator) joins the items with the separator between neighbours,
// so a list of one empty item gives the empty text.
#ifndef VESK_STRINGLIST_H
#define VESK_STRINGLIST_H

#include <vector>

#include "vesk_export.h"
#include "vesk_string.h"

class VESK_STRING_API vesk_stringlistIterator {
public:
    explicit vesk_stringlistIterator(const vesk_string* position);
    bool operator!=(const vesk_stringlistIterator& other) const;
    const vesk_string& operator*() const;
    vesk_stringlistIterator& operator++();

private:
    const vesk_string* position_;
};

class VESK_STRING_API vesk_stringlist {
public:
    vesk_stringlist();
    vesk_stringlist(const vesk_stringlist& other);
    vesk_stringlist(const char* text, char separator);
    virtual ~vesk_stringlist();

    vesk_stringlist& operator=(const vesk_stringlist& other);
    vesk_stringlist& operator<<(const vesk_string& item);

    vesk_string toString(char separator) const;
    int count() const;

    vesk_stringlistIterator begin() const;
    vesk_stringlistIterator end() const;

private:
    std::vector<vesk_string> items_;
};

#endif  // VESK_STRINGLIST_H
