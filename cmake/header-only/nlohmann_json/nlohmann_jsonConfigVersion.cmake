# The version is that of the build machine's copy.
include(/usr/share/cmake/nlohmann_json/nlohmann_jsonConfigVersion.cmake)
