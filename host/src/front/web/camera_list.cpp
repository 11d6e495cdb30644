// camera_list.cpp - see camera_list.h.
#include "front/web/camera_list.h"

#include <algorithm>
#include <fstream>
#include <set>

#include "front/json_text.h"

namespace vhost {
namespace web {

namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::string located(const std::string& file, int line, const std::string& message) {
    return file + ":" + std::to_string(line) + ": " + message;
}

}  // namespace

std::vector<Camera> parseCameras(std::istream& in, const std::string& file,
                                 std::vector<std::string>& errors) {
    std::vector<Camera> cameras;
    std::set<std::string> names;
    bool inCamera = false;
    int sectionLine = 0;
    const auto finish = [&] {
        if (inCamera && cameras.back().components.empty()) {
            errors.push_back(located(file, sectionLine, "[camera." + cameras.back().name +
                                                            "] needs components = NAME, NAME, ..."));
        }
    };
    std::string line;
    for (int lineNo = 1; std::getline(in, line); ++lineNo) {
        if (lineNo == 1 && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
        const std::string text = trimmed(line);
        if (text.empty() || text[0] == ';' || text[0] == '#') continue;
        if (text[0] == '[') {
            finish();
            inCamera = text.compare(0, 8, "[camera.") == 0 && text.back() == ']';
            if (!inCamera) continue;
            const std::string name = trimmed(text.substr(8, text.size() - 9));
            sectionLine = lineNo;
            if (name.empty() || name.find_first_of(" \t/") != std::string::npos) {
                errors.push_back(located(file, lineNo, "[camera.NAME] needs a name without spaces or '/'"));
            } else if (!names.insert(name).second) {
                errors.push_back(located(file, lineNo, "camera " + name + " is declared twice"));
            }
            cameras.push_back(Camera{name, {}});
            continue;
        }
        if (!inCamera) continue;
        const auto equals = text.find('=');
        const std::string key = trimmed(text.substr(0, equals));
        if (equals == std::string::npos || key != "components") {
            errors.push_back(located(file, lineNo, "a camera has one setting: components = NAME, NAME, ..."));
            continue;
        }
        std::vector<std::string>& components = cameras.back().components;
        components.clear();
        std::string rest = text.substr(equals + 1) + ",";
        for (auto comma = rest.find(','); comma != std::string::npos; comma = rest.find(',')) {
            const std::string component = trimmed(rest.substr(0, comma));
            rest.erase(0, comma + 1);
            if (component.empty()) {
                errors.push_back(located(file, lineNo, "an empty component name in the list"));
            } else if (std::find(components.begin(), components.end(), component) != components.end()) {
                errors.push_back(located(file, lineNo, "component " + component + " is listed twice"));
            } else if (components.size() == maxComponentsPerCamera) {
                errors.push_back(located(file, lineNo, "a camera has at most " +
                                                           std::to_string(maxComponentsPerCamera) +
                                                           " components"));
                break;
            } else {
                components.push_back(component);
            }
        }
    }
    finish();
    return cameras;
}

std::vector<Camera> readCameras(const std::string& path, std::vector<std::string>& errors) {
    if (path.empty()) return {};
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        errors.push_back(path + ": cannot be read");
        return {};
    }
    return parseCameras(in, path, errors);
}

nlohmann::json camerasJson(const std::vector<Camera>& cameras) {
    nlohmann::json list = nlohmann::json::array();
    for (const Camera& camera : cameras) {
        nlohmann::json components = nlohmann::json::array();
        for (const auto& component : camera.components) components.push_back(utf8Text(component));
        list.push_back({{"name", utf8Text(camera.name)}, {"components", components}});
    }
    return list;
}

}  // namespace web
}  // namespace vhost
