// page_files.h - the files of the live page, built into the binary.
//
// The build turns every file of page/ into a byte array (embed_page.cmake),
// so the server reads nothing from disk while it serves.
#ifndef VESK_HOST_FRONT_WEB_PAGE_FILES_H
#define VESK_HOST_FRONT_WEB_PAGE_FILES_H

#include <cstddef>
#include <string>

namespace vhost {
namespace web {

struct PageFile {
    const char* path;         // "/app.js"; index.html is served as "/"
    const char* contentType;  // "text/javascript; charset=utf-8"
    const unsigned char* data;
    std::size_t size;
};

// The file served at `path`, or null.
const PageFile* findPageFile(const std::string& path);

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_PAGE_FILES_H
