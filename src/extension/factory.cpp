// Entry points of the loadable component: the host creates the extension by
// class name and destroys it through the same library; tools get the table
// of tool functions.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "extension/tool_interface.h"
#include "extension/zefa.h"
#include "platform/text.h"

namespace {

zefa::ZEFA* AsZefa(host::UnitOperationExtension* extension) {
    return dynamic_cast<zefa::ZEFA*>(extension);
}

// Runs a command on a pipeline unit operation: -1 when it is none, 0 when
// the command raised.
template <class F>
int OnZefa(host::UnitOperationExtension* extension, F&& command) {
    zefa::ZEFA* object = AsZefa(extension);
    if (object == nullptr) return -1;
    try {
        return command(*object);
    } catch (...) {
        return 0;
    }
}

int FormatDouble(double value, char* buffer, std::size_t size) {
    try {
        const std::string text = zefa::FormatDouble(value);
        if (buffer != nullptr && size > 0) std::snprintf(buffer, size, "%s", text.c_str());
        return static_cast<int>(text.size());
    } catch (...) {
        return -1;
    }
}

int OpenConnection(host::UnitOperationExtension* e) {
    return OnZefa(e, [](zefa::ZEFA& z) {
        z.OpenTheConnection(true);
        return z.ServerStateNumber() >= 1 ? 1 : 0;
    });
}
int LoadModel(host::UnitOperationExtension* e) {
    return OnZefa(e, [](zefa::ZEFA& z) { return z.LoadZEFAFile() ? 1 : 0; });
}
int InitializeModel(host::UnitOperationExtension* e) {
    return OnZefa(e, [](zefa::ZEFA& z) { return z.InitializeZEFA() ? 1 : 0; });
}
int CloseConnection(host::UnitOperationExtension* e) {
    return OnZefa(e, [](zefa::ZEFA& z) {
        z.CloseTheConnection();
        return z.ServerStateNumber() == 0 ? 1 : 0;
    });
}
int UpdateStatus(host::UnitOperationExtension* e) {
    return OnZefa(e, [](zefa::ZEFA& z) {
        z.DynamicStatusUpdate();
        return 1;
    });
}
int ServerState(host::UnitOperationExtension* e) {
    return OnZefa(e, [](zefa::ZEFA& z) { return static_cast<int>(z.ServerStateNumber()); });
}
int StartedServerPid(host::UnitOperationExtension* e) {
    return OnZefa(e, [](zefa::ZEFA& z) { return static_cast<int>(z.StartedServerPid()); });
}
long StepTimeOuts(host::UnitOperationExtension* e) {
    zefa::ZEFA* object = AsZefa(e);
    return object == nullptr ? -1L : static_cast<long>(object->StepTimeOuts());
}

int WaitForStep(host::UnitOperationExtension* e) {
    return OnZefa(e, [](zefa::ZEFA& z) { return z.WaitForZEFAToCompleteIntegration() ? 1 : 0; });
}
long BadStepReplies(host::UnitOperationExtension* e) {
    zefa::ZEFA* object = AsZefa(e);
    return object == nullptr ? -1L : static_cast<long>(object->BadStepReplies());
}
// `text` NUL-terminated into `buffer`, cut to `size`; answers its full length.
int CopyText(const std::string& text, char* buffer, std::size_t size) {
    if (buffer != nullptr && size > 0) {
        const std::size_t n = std::min(text.size(), size - 1);
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<int>(text.size());
}
int LeftOutRequests(host::UnitOperationExtension* e, char* buffer, std::size_t size) {
    zefa::ZEFA* object = AsZefa(e);
    if (object == nullptr) return -1;
    std::string text;
    for (const auto& request : object->LeftOutRequests()) {
        if (!text.empty()) text += '\n';
        text += request.front() == ' ' ? request.substr(1) : request;
    }
    return CopyText(text, buffer, size);
}
int Profiles(host::UnitOperationExtension* e, char* buffer, std::size_t size) {
    zefa::ZEFA* object = AsZefa(e);
    if (object == nullptr) return -1;
    std::string text;
    const auto numbers = [](const std::vector<double>& values) {
        std::string list;
        for (double v : values) {
            if (!list.empty()) list += ' ';
            list += zefa::FormatDouble(v);
        }
        return list;
    };
    for (const auto& p : object->FetchedProfiles())
        text += p.branch + '\t' + p.key + '\t' + p.unit + '\t' + numbers(p.x) + '\t' +
                numbers(p.y) + '\n';
    return CopyText(text, buffer, size);
}
int RefreshTrends(host::UnitOperationExtension* e) {
    return OnZefa(e, [](zefa::ZEFA& z) { return z.RefreshTrendsBetweenSteps() ? 1 : 0; });
}
int LaunchServer(host::UnitOperationExtension* e) {
    return OnZefa(e, [](zefa::ZEFA& z) { return z.LaunchServerAhead() ? 1 : 0; });
}

constexpr ZefaToolInterface kToolInterface{
    kZefaToolInterfaceVersion, FormatDouble,    OpenConnection, LoadModel,
    InitializeModel,           CloseConnection, UpdateStatus,   ServerState,
    StartedServerPid,          StepTimeOuts,    WaitForStep,    BadStepReplies,
    LeftOutRequests,           LaunchServer,    Profiles,       RefreshTrends,
};

}  // namespace

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

__attribute__((visibility("default"))) const ZefaToolInterface* ZefaGetToolInterface(
    std::uint32_t version) {
    // A later version's table begins with every earlier one.
    return version >= 1 && version <= kZefaToolInterfaceVersion ? &kToolInterface : nullptr;
}
}
