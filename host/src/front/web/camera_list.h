// camera_list.h - the cameras an environment INI declares for the tally views.
//
//   [camera.cam2]
//   components = cam2, preview2     the components whose tallies make up the
//                                   camera's, program from one, preview from another
//
// A camera's view shows the strongest of its components' states. Other
// sections belong to other readers of the same file and are skipped.
#ifndef VESK_HOST_FRONT_WEB_CAMERA_LIST_H
#define VESK_HOST_FRONT_WEB_CAMERA_LIST_H

#include <cstddef>
#include <istream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vhost {
namespace web {

struct Camera {
    std::string name;
    std::vector<std::string> components;  // as listed, each once
};

// At most this many components make one camera: a camera is a handful of
// tallies (program, preview, iso), not a facility.
const std::size_t maxComponentsPerCamera = 16;

// Errors are "file:line: message" texts; the cameras are usable only when
// there are none.
std::vector<Camera> parseCameras(std::istream& in, const std::string& file,
                                 std::vector<std::string>& errors);

// The cameras of the INI file at `path` ("" for none: no cameras).
std::vector<Camera> readCameras(const std::string& path, std::vector<std::string>& errors);

// [{"name": ..., "components": [...]}, ...] for the snapshot.
nlohmann::json camerasJson(const std::vector<Camera>& cameras);

}  // namespace web
}  // namespace vhost

#endif  // VESK_HOST_FRONT_WEB_CAMERA_LIST_H
