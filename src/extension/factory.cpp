// Entry points of the loadable component: the host creates the extension by
// class name and destroys it through the same library.
#include <cstring>

#include "extension/zefa.h"

extern "C" {

__attribute__((visibility("default"))) host::UnitOperationExtension* ZefaCreateExtension(
    const char* class_name) {
    if (class_name == nullptr || std::strcmp(class_name, "ZEFAPipeline.ZEFA") != 0) return nullptr;
    try {
        return new zefa::ZEFA();
    } catch (...) {
        return nullptr;
    }
}

__attribute__((visibility("default"))) void ZefaDestroyExtension(
    host::UnitOperationExtension* extension) {
    delete extension;
}
}
