// api_requests.cpp - see api_requests.h.
#include "front/web/api_requests.h"

#include <cstdint>
#include <limits>
#include <map>
#include <vector>

namespace vhost {
namespace web {

namespace {

using nlohmann::json;

enum class Type { Int32, Text, Bool };

struct Field {
    const char* name;
    Type type;
};

struct Endpoint {
    std::vector<Field> fields;
    std::function<BackendCall(const json&)> bind;
};

const std::map<std::string, Endpoint>& endpoints() {
    static const std::map<std::string, Endpoint> table = {
        {"/api/gpi",
         {{{"device", Type::Int32}, {"input", Type::Int32}, {"state", Type::Int32}},
          [](const json& b) -> BackendCall {
              const auto device = b["device"].get<std::int32_t>();
              const auto input = b["input"].get<std::int32_t>();
              const auto state = b["state"].get<std::int32_t>();
              return [=](LiveBackend& f) { return f.forceGpi(device, input, state); };
          }}},
        {"/api/info",
         {{{"device", Type::Int32}, {"slot", Type::Int32}, {"text", Type::Text}},
          [](const json& b) -> BackendCall {
              const auto device = b["device"].get<std::int32_t>();
              const auto slot = b["slot"].get<std::int32_t>();
              auto text = b["text"].get<std::string>();
              return [=](LiveBackend& f) { return f.forceInfo(device, slot, text); };
          }}},
        {"/api/param",
         {{{"component", Type::Text}, {"key", Type::Text}},
          [](const json& b) -> BackendCall {
              auto component = b["component"].get<std::string>();
              auto key = b["key"].get<std::string>();
              return [=](LiveBackend& f) { return f.parentRequest(component, key); };
          }}},
        {"/api/event",
         {{{"component", Type::Text}, {"control", Type::Text}, {"key", Type::Text}},
          [](const json& b) -> BackendCall {
              auto component = b["component"].get<std::string>();
              auto control = b["control"].get<std::string>();
              auto key = b["key"].get<std::string>();
              return [=](LiveBackend& f) { return f.controlEvent(component, control, key); };
          }}},
        {"/api/lamp-test",
         {{{"seconds", Type::Int32}},
          [](const json& b) -> BackendCall {
              const auto seconds = b["seconds"].get<std::int32_t>();
              return [=](LiveBackend& f) { return f.lampTest(seconds); };
          }}},
        {"/api/record",
         {{{"on", Type::Bool}},
          [](const json& b) -> BackendCall {
              const bool on = b["on"].get<bool>();
              return [=](LiveBackend& f) { return f.setRecording(on); };
          }}},
    };
    return table;
}

// The first fault of `body` against `fields`, or "" when there is none.
std::string checkFields(const json& body, const std::vector<Field>& fields) {
    if (!body.is_object()) return "the body must be a JSON object";
    for (const auto& field : fields) {
        const auto it = body.find(field.name);
        const std::string name = std::string("\"") + field.name + "\"";
        if (it == body.end()) return "missing field " + name;
        if (field.type == Type::Text) {
            if (!it->is_string()) return name + " must be a string";
            // A plug-in receives every text as a C string, cut at the NUL,
            // and a scenario (so a recording) refuses one.
            if (it->get_ref<const std::string&>().find('\0') != std::string::npos) {
                return name + " holds a NUL character (\\u0000), which no text passed to a "
                              "plug-in can carry";
            }
            continue;
        }
        if (field.type == Type::Bool) {
            if (!it->is_boolean()) return name + " must be true or false";
            continue;
        }
        if (!it->is_number_integer()) return name + " must be an integer";
        const bool fits = it->is_number_unsigned()
                              ? it->get<std::uint64_t>() <=
                                    std::uint64_t(std::numeric_limits<std::int32_t>::max())
                              : it->get<std::int64_t>() >= std::numeric_limits<std::int32_t>::min() &&
                                    it->get<std::int64_t>() <= std::numeric_limits<std::int32_t>::max();
        if (!fits) return name + " is out of range (-2147483648 to 2147483647)";
    }
    for (const auto& item : body.items()) {
        bool known = false;
        for (const auto& field : fields) known = known || item.key() == field.name;
        if (!known) return "unknown field \"" + item.key() + "\"";
    }
    return "";
}

}  // namespace

Outcome errorOutcome(int status, const std::string& message) {
    Outcome outcome;
    outcome.status = status;
    outcome.body = json{{"error", message}};
    return outcome;
}

bool isApiPost(const std::string& path) { return endpoints().count(path) != 0; }

bool readApiPost(const std::string& path, const std::string& body, BackendCall& call,
                 Outcome& refusal) {
    const auto endpoint = endpoints().find(path);
    if (endpoint == endpoints().end()) {
        refusal = errorOutcome(404, "no such endpoint: POST " + path);
        return false;
    }
    const json parsed = json::parse(body, nullptr, false);
    if (parsed.is_discarded()) {
        refusal = errorOutcome(400, "the body is not valid JSON");
        return false;
    }
    const std::string fault = checkFields(parsed, endpoint->second.fields);
    if (!fault.empty()) {
        refusal = errorOutcome(400, fault);
        return false;
    }
    if (path == "/api/gpi") {
        const auto state = parsed["state"].get<std::int64_t>();
        if (state != 0 && state != 1) {
            refusal = errorOutcome(400, "\"state\" must be 0 or 1");
            return false;
        }
    }
    call = endpoint->second.bind(parsed);
    return true;
}

}  // namespace web
}  // namespace vhost
