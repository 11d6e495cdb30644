// vesk_config.h - read access to one named entry of the configuration store.
//
// The store is one INI file whose path is in the environment variable
// VESK_CONFIG. A section header such as [instances.cam1] names an entry; the
// "name = value" lines below it are its attributes (spaces around name and
// value trimmed, lines starting with ';' or '#' are comments, names compared
// exactly; a UTF-8 byte order mark at the start of the file is ignored).
// When a name is given more than once in an entry, the last one wins; a
// section header that appears twice adds to the same entry.
// The parsed file is kept for the whole process and reused while the file is
// unchanged (same path, same file, same size and times); a file that was
// edited or replaced is read again at the next lookup (one modified in the
// last few seconds is read at every lookup, as its times may be too coarse
// to tell two writes apart). A vesk_config holds a copy of its entry as it
// was when it was constructed. A missing variable, file, entry or attribute
// gives the empty text; a malformed line is skipped, never fatal.
#ifndef VESK_CONFIG_H
#define VESK_CONFIG_H

#include <utility>
#include <vector>

#include "vesk_export.h"
#include "vesk_string.h"

class VESK_STRING_API vesk_config {
public:
    explicit vesk_config(const vesk_string& entry);
    virtual ~vesk_config();

    vesk_string attr(const vesk_string& name) const;

private:
    std::vector<std::pair<vesk_string, vesk_string>> attributes_;
};

#endif  // VESK_CONFIG_H
