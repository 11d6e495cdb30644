// vesk_config.h - read access to one named entry of the configuration store.
//
// The store is one INI file whose path is in the environment variable
// VESK_CONFIG. A section header such as [instances.cam1] names an entry; the
// "name = value" lines below it are its attributes (spaces around name and
// value trimmed, lines starting with ';' or '#' are comments, names compared
// exactly; a UTF-8 byte order mark at the start of the file is ignored).
// The file is read when a vesk_config is constructed, so edits
// count at the next lookup. A missing variable, file, entry or attribute
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
