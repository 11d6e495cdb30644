// The cameras an environment INI declares, and the viewers of the tally views.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "front/web/camera_list.h"
#include "front/web/viewer_list.h"

namespace {

using namespace vhost::web;

TEST(CameraList, ReadsCamerasAndRefusesWhatAnOperatorWouldMistype) {
    struct Row {
        const char* ini;
        const char* cameras;  // "name:a+b name:c", as read
        const char* error;    // "" for none
    };
    const Row rows[] = {
        {"[camera.cam2]\ncomponents = cam2, preview2\n", "cam2:cam2+preview2", ""},
        {"\xEF\xBB\xBF[camera.c]\ncomponents=a\n[instances.x]\ndevice = 3\n", "c:a", ""},
        {"; none\n[component.cam1]\nparam.x = 1\n", "", ""},
        {"[camera.a]\ncomponents = x\n[camera.b]\n; later\ncomponents = y ,z\n", "a:x b:y+z", ""},
        {"[camera.a]\n", "a:", "test.ini:1: [camera.a] needs components = NAME"},
        {"[camera.a]\ncomponents = \n", "a:", "test.ini:2: an empty component name"},
        {"[camera.a]\ncomponents = x,,y\n", "a:x+y", "test.ini:2: an empty component name"},
        {"[camera.a]\ncomponents = x, x\n", "a:x", "component x is listed twice"},
        {"[camera.a]\ncomponent = x\n", "a:", "test.ini:2: a camera has one setting"},
        {"[camera.a]\ncomponents = x\n[camera.a]\ncomponents = y\n", "a:x a:y", "test.ini:3: camera a is declared twice"},
        {"[camera.]\ncomponents = x\n", ":x", "needs a name without spaces"},
        {"[camera.a b]\ncomponents = x\n", "a b:x", "needs a name without spaces"},
        {"[camera.a/b]\ncomponents = x\n", "a/b:x", "or '/'"},
        // The bound: 16 components make a camera, 17 do not.
        {"[camera.a]\ncomponents = c1,c2,c3,c4,c5,c6,c7,c8,c9,c10,c11,c12,c13,c14,c15,c16\n",
         "a:c1+c2+c3+c4+c5+c6+c7+c8+c9+c10+c11+c12+c13+c14+c15+c16", ""},
        {"[camera.a]\ncomponents = c1,c2,c3,c4,c5,c6,c7,c8,c9,c10,c11,c12,c13,c14,c15,c16,c17\n",
         "a:c1+c2+c3+c4+c5+c6+c7+c8+c9+c10+c11+c12+c13+c14+c15+c16", "at most 16 components"},
    };
    for (const auto& row : rows) {
        std::istringstream in(row.ini);
        std::vector<std::string> errors;
        const auto cameras = parseCameras(in, "test.ini", errors);
        std::string read;
        for (const auto& camera : cameras) {
            if (!read.empty()) read += ' ';
            read += camera.name + ':';
            for (const auto& component : camera.components) {
                if (read.back() != ':') read += '+';
                read += component;
            }
        }
        EXPECT_EQ(read, row.cameras) << row.ini;
        if (*row.error == '\0') {
            EXPECT_TRUE(errors.empty()) << row.ini << (errors.empty() ? "" : errors[0]);
        } else {
            ASSERT_FALSE(errors.empty()) << row.ini;
            EXPECT_NE(errors[0].find(row.error), std::string::npos) << errors[0];
        }
    }
}

TEST(CameraList, AMissingFileIsAnErrorAndNoFileNoCameras) {
    std::vector<std::string> errors;
    EXPECT_TRUE(readCameras("", errors).empty());
    EXPECT_TRUE(errors.empty());
    readCameras("no/such/dir/cameras.ini", errors);
    ASSERT_EQ(errors.size(), 1U);
    EXPECT_NE(errors[0].find("cannot be read"), std::string::npos);
    const auto json = camerasJson({Camera{"cam2", {"cam2", "preview2"}}});
    EXPECT_EQ(json.dump(), R"([{"components":["cam2","preview2"],"name":"cam2"}])");
}

TEST(ViewerList, AStreamNamesItsViewsWithinBounds) {
    const std::string long100(100, 'x');
    struct Row {
        std::string target;
        std::vector<std::string> views;
    };
    const Row rows[] = {
        {"/api/events", {}},
        {"/api/events?token=abc", {}},
        {"/api/events?view=%2Ftally%2Fcam1&token=t&view=/", {"/tally/cam1", "/"}},
        {"/api/events?view=/tally/cam%201&view=/tally/cam+2", {"/tally/cam 1", "/tally/cam 2"}},
        {"/api/events?view=/&view=/&view=", {"/"}},  // each once, none empty
        {"/api/events?view=%zz%4", {"%zz%4"}},       // no escape: as it is
        {"/api/events?view=a%0Ab%00c", {"abc"}},     // no control characters
        {"/api/events?view=" + long100, {long100}},
        {"/api/events?view=" + long100 + "y", {long100}},  // 101: cut to 100
        // 8 views a stream, the 9th left out.
        {"/api/events?view=1&view=2&view=3&view=4&view=5&view=6&view=7&view=8&view=9",
         {"1", "2", "3", "4", "5", "6", "7", "8"}},
    };
    for (const auto& row : rows) EXPECT_EQ(ViewerList::viewsOf(row.target), row.views) << row.target;

    ViewerList list;
    const auto first = list.add("127.0.0.1", {"/tally/cam1"}, 1000);
    list.add("::1", {}, 2000);
    list.remove(first);
    EXPECT_EQ(list.json().dump(), R"([{"address":"::1","since_ms":2000,"views":[]}])");
    EXPECT_EQ(list.size(), 1U);
}

}  // namespace
