#include "plugin_object.h"

namespace vhost {

std::unique_ptr<PluginObject> PluginObject::create(vesk_factory_fn factory,
                                                   vesk_client_callback& host,
                                                   const char* panelPath) {
    vesk_client_callback* object = factory(&host, panelPath);
    if (object == nullptr) return nullptr;
    return std::unique_ptr<PluginObject>(new PluginObject(object));
}

PluginObject::~PluginObject() { delete object_; }

char* PluginObject::notify(void* data, int type) { return object_->notify(data, type); }

}  // namespace vhost
